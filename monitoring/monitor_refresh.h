// Monitoring across an upgrade of the package: before the old package's files
// go, every monitored J2534 and PDU library is put back in its place and the
// list of them kept in a file; once the new files are in place, monitoring is
// switched on again for each with the new monitor library. No monitored
// library is then left behind a monitor copy of the old version, and the
// package's own libraries are in their places when the installer replaces them.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "monitoring/api_implementation.h"
#include "settings/registry.h"

namespace varrow {

// A library that monitoring had set aside, by its registered path.
struct MonitoredLibrary {
  ApiKind kind = ApiKind::J2534;
  std::wstring library;
};

// The list file holds at most this many libraries (20 J2534 ones and the PDU one fit).
constexpr std::size_t kMaxMonitoredLibraries = 64;

// The registered J2534 libraries (full paths, or bare names found on PATH) and
// the PDU library whose set-aside file exists now, in registry order.
std::vector<MonitoredLibrary> FindMonitoredLibraries(const RegistryRoots& roots);

// The list as text, one line per library: "J2534" or "PDU", a tab, the path.
std::wstring FormatMonitoredList(const std::vector<MonitoredLibrary>& libraries);
// The list back from its text. Lines of another form, paths that do not fit
// 260 characters or are not full paths, and lines beyond kMaxMonitoredLibraries
// are dropped.
std::vector<MonitoredLibrary> ParseMonitoredList(std::wstring_view text);

// Before the upgrade: writes the list of the monitored libraries to `listFile`
// (its folder is made; the libraries of a list left by an upgrade that did not
// finish stay on it), then puts each back (PutLibraryBack: a monitor copy
// that a program has loaded is renamed aside and deleted when free). Returns
// the Win32 code of writing the list (nothing is put back when that fails);
// a library that cannot be put back stays monitored and is named in *failed.
DWORD SwitchOffForUpgrade(const RegistryRoots& roots, const std::wstring& listFile,
                          std::vector<std::wstring>* failed);

// After the upgrade: switches monitoring on again for each library of
// `listFile` with the machine's monitor library of its kind
// (DefaultSettings\Monitoring\<kind>\MonitorLibrary), then deletes the list
// and its folder when empty. No list: nothing to do. A library already set
// aside, or missing, is skipped; one that cannot be switched on stays in its
// place (monitoring off) and is named in *failed. Returns the Win32 code of
// reading the list (ERROR_SUCCESS also without a list).
DWORD SwitchOnAfterUpgrade(const RegistryRoots& roots, const std::wstring& listFile,
                           std::vector<std::wstring>* failed);

}  // namespace varrow
