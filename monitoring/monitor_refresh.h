// Monitoring across an upgrade or a removal of the package: before the
// package's files go, every monitored J2534 and PDU library is put back in its
// place and a list of them kept where only administrators can write; after an
// upgrade's new files are in place, monitoring is switched on again for each
// with the new monitor library. A setup that fails and rolls back switches it
// on again with the very copies that were there. No monitored library is left
// behind a monitor copy of the old version, and the package's own libraries
// are in their places when the installer replaces them. These steps run as
// the system account: the list is never taken on trust, each entry must be a
// library registered now.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "monitoring/api_implementation.h"
#include "settings/registry.h"

namespace varrow {

// A library that monitoring had set aside, by its registered path and the
// registry view it is registered in (file steps reach a native-view library
// through FileSystemPath).
struct MonitoredLibrary {
  ApiKind kind = ApiKind::J2534;
  std::wstring library;
  RegistryView view = RegistryView::k32;
};

// The list holds at most this many libraries (the J2534 table's and both
// D-PDU ones fit).
constexpr std::size_t kMaxMonitoredLibraries = 64;

// The registered J2534 libraries of both versions (full paths, or bare names
// found on PATH) and the PDU library whose set-aside file exists now, in
// registry order, the 32-bit view's before the native view's.
std::vector<MonitoredLibrary> FindMonitoredLibraries(const RegistryRoots& roots);

// The list as text, one line per library: "J2534" or "PDU" (followed by
// " (64-bit)" for the native view), a tab, the path.
std::wstring FormatMonitoredList(const std::vector<MonitoredLibrary>& libraries);
// The list back from its text. Lines of another form, paths that do not fit
// 260 characters or are not full paths, and lines beyond kMaxMonitoredLibraries
// are dropped.
std::vector<MonitoredLibrary> ParseMonitoredList(std::wstring_view text);

// The list lies in the machine hive, where only administrators can write:
// <machine>\SOFTWARE\OVRA\OVRA_VCI, value kMonitoredListValue (REG_SZ, the
// text of FormatMonitoredList, at most kMaxMonitoredListChars characters).
inline constexpr wchar_t kMonitoredListValue[] = L"SetupMonitoredLibraries";
constexpr std::size_t kMaxMonitoredListChars = 32 * 1024;

// The name beside `library` under which a switch-off for setup keeps the
// monitor copy until the setup is over (a leftover name of no running
// process, so that the program's clean-up deletes one a setup forgot).
std::wstring KeptCopyPath(const std::wstring& library);

// True when `entry` names the library of a J2534 registration of either
// version (FunctionLibrary, a bare name found on PATH) or the PDU library
// setting of the machine now, in the entry's view.
bool RegisteredNow(const RegistryRoots& roots, const MonitoredLibrary& entry);

// Before the package's files go (an upgrade's or a removal's): adds the
// monitored libraries to the list (those of a list left by a setup that did
// not finish stay on it), then puts each back, the monitor copy kept at
// KeptCopyPath (one a program has loaded can be renamed). Returns the Win32
// code of writing the list (nothing is put back when that fails); a library
// that cannot be put back stays monitored and is named in *failed.
DWORD SwitchOffForSetup(const RegistryRoots& roots, std::vector<std::wstring>* failed);

// After the upgrade's new files are in place: switches monitoring on again
// with the machine's monitor library of its kind and of the library's machine
// type (DefaultSettings\Monitoring\<kind>\MonitorLibrary or MonitorLibrary64,
// ChooseMonitor's rule; a library that no monitor fits is failed) for each library of the
// list that is still registered (RegisteredNow), stands at its path and has
// nothing at its set-aside path; any other entry is named in *refused and not
// touched. One that cannot be switched on stays in its place (monitoring off)
// and is named in *failed. The list stays for ForgetMonitoredList or the
// rollback. Returns the Win32 code of reading the list (ERROR_SUCCESS without one).
DWORD SwitchOnAfterUpgrade(const RegistryRoots& roots, std::vector<std::wstring>* failed,
                           std::vector<std::wstring>* refused);

// Rollback of SwitchOnAfterUpgrade: each library of the list that is
// registered and set aside is put back (its new monitor copy deleted).
void SwitchOffAfterRollback(const RegistryRoots& roots, std::vector<std::wstring>* failed);

// Rollback of SwitchOffForSetup: each library of the list that is registered,
// stands at its path and has nothing at its set-aside path is set aside again
// and its kept copy moved back (or, when none was kept, the machine's monitor
// library copied); then the list goes. A library set aside already is left as
// it is; other entries that do not pass are named in *refused, those that
// fail in *failed.
void RestoreMonitoring(const RegistryRoots& roots, std::vector<std::wstring>* failed,
                       std::vector<std::wstring>* refused);

// Once the setup is over: the kept copies of the listed libraries are deleted
// (one still loaded at the next restart) and the list goes.
void ForgetMonitoredList(const RegistryRoots& roots);

}  // namespace varrow
