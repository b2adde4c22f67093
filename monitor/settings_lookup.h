// Where a monitor library finds its logging settings: the per-user settings
// subkey that Varrow writes for the registered library path that resolves to
// the monitor's own file, or, when the running user has none, the machine
// defaults with the default log file the monitoring page would show.
// Shared by the J2534 and D-PDU monitors (the API's subkey name is a parameter).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace monitor {

struct MonitorSettings {
  std::wstring outputFile;
  std::int32_t outputFormat = 1;  // 1 ASCII, 2 XML, 3 CSV, 4 HTML
  bool overwrite = true;
  bool logEntryExit = false;
  bool logDebugView = false;
  bool disableErrBufferEmpty = true;
  std::uint32_t messageSizeLimit = 0;  // bytes of data logged per message; 0: all
  std::int32_t storeWithPrimaryApi = -1;
  bool fromUser = false;        // false: the machine defaults
  std::wstring library;         // the registered library path that matched (or our own)
  std::wstring settingsKey;     // the per-user subkey name looked for
};

// The registry roots to read (tests pass scratch keys).
struct SettingsRoots {
  HKEY machine = HKEY_LOCAL_MACHINE;
  HKEY user = HKEY_CURRENT_USER;
};

// The view of the machine hive that holds the package's machine values
// (LogFileLocation, the brand, DefaultSettings): the 32-bit installer writes
// them to the 32-bit view (WOW6432Node on 64-bit Windows), so the 64-bit
// monitor reads them there too. The flag names a 32-bit process's own view
// and means nothing on 32-bit Windows: both monitors pass it. (The J2534
// registrations and the D-PDU vendor key are read in the monitor's own view:
// each architecture's libraries are registered in its own.)
constexpr REGSAM kPackageMachineView = KEY_WOW64_32KEY;

// The user key (below Monitoring) of the per-implementation settings of API
// `apiName` ("J2534 API", "PDU API") for a library of this build's
// architecture: the name itself for 32-bit libraries, the name and " (64-bit)"
// for 64-bit ones. The message-size list stays under the plain name, shared.
std::wstring SettingsApiKey(const std::wstring& apiName);

// The FunctionLibrary of every device key under SOFTWARE\PassThruSupport.04.04.
std::vector<std::wstring> RegisteredJ2534Libraries(HKEY machine);

// A registered path as Varrow holds it: the path itself when a file exists
// there, else the first PATH folder that holds it; empty when neither.
std::wstring ResolveRegisteredPath(const std::wstring& registered);
// True when both name the same file: full, long paths compared without regard to case.
bool SamePath(const std::wstring& a, const std::wstring& b);

// Whether a file exists (tests pass their own to see which paths are looked at).
using FileCheck = bool (*)(const std::wstring& path);
// The registrations among `registered` that name the monitor's own file at
// `ownPath`, as Varrow holds them (a name found on PATH as the path found).
// Cheapest first, so that stale or unreachable registrations cost nothing:
// full paths compared as text; when none matches, full paths of our file name
// (or a short 8.3 name) compared in their long form; when none matches either,
// bare names of our file name searched on `pathVariable`, stopping at the
// first folder that holds the name.
std::vector<std::wstring> OwnRegistrations(const std::vector<std::wstring>& registered,
                                           const std::wstring& ownPath,
                                           const std::wstring& pathVariable,
                                           const FileCheck& exists);

// The default log file of a library before the format's extension, from the
// machine's LogFileLocation (empty when it does not fit).
using DefaultLogName = std::wstring (*)(const std::wstring& logFileLocation,
                                        const std::wstring& library);

// The settings for the monitor library at `ownPath` of API `apiName` ("J2534 API").
// `registered` are the candidate library paths (those naming our own file as
// OwnRegistrations finds them, first with settings wins; our own path when none does). Never fails: missing values keep the
// initial values; the output file is always set (`defaultName`, which the API's
// page shows, and at worst a file in the temporary folder).
MonitorSettings LookUpSettings(const wchar_t* apiName, const std::wstring& ownPath,
                               const std::vector<std::wstring>& registered,
                               const SettingsRoots& roots, DefaultLogName defaultName = nullptr);

// The folder part of `path` up to and including its last "\" (empty when none).
std::wstring FolderOf(const std::wstring& path);
// Creates `folder` and every missing parent. True when it exists afterwards.
bool CreateFolderChain(const std::wstring& folder);

}  // namespace monitor
