#include "monitoring/maintenance.h"

#include <windows.h>

#include <optional>

#include "monitoring/api_implementation.h"
#include "monitoring/discovery.h"
#include "monitoring/file_steps.h"
#include "monitoring/leftover_rules.h"
#include "monitoring/library_swap.h"
#include "monitoring/monitor_choice.h"
#include "monitoring/pe_rules.h"

namespace varrow {

namespace {

constexpr wchar_t kRp1210File[] = L"RP121032.ini";
constexpr wchar_t kRp1210Section[] = L"RP1210Support";
constexpr wchar_t kRp1210Key[] = L"APIImplementations";
// The list is read into a bounded buffer; a list that fills it is cut, and its
// last, possibly cut, name is then dropped rather than taken for another library.
constexpr DWORD kRp1210ListChars = 32768;
// Subkey names under the users' hive root.
constexpr std::size_t kUserHiveNameChars = kFieldChars;

// A folder of at most 259 characters, or empty when the call fails or it does not fit.
std::wstring FolderFrom(UINT (WINAPI *query)(LPWSTR, UINT)) {
  wchar_t buffer[kFieldChars] = {};
  const UINT chars = query(buffer, static_cast<UINT>(kFieldChars));
  if (chars == 0 || chars >= kFieldChars) return {};
  return std::wstring(buffer, chars);
}

// A path that names its drive or server ("C:\dir\x.dll", "\\server\share\x.dll").
bool IsFullPath(const std::wstring& path) {
  const wchar_t drive = path.empty() ? L'\0' : path[0];
  const bool letter = (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
  if (path.size() >= 3 && letter && path[1] == L':' && path[2] == L'\\') return true;
  return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
}

// A registered library, its set-aside path and its API (RP1210 has no monitor
// library of Varrow's). Both paths are file-system paths (FileSystemPath):
// a native-view library in System32 is reached through Sysnative.
struct LibraryPlace {
  std::wstring library;
  std::wstring aside;
  std::optional<ApiKind> kind;
};

// Which registered libraries to take: all (a bare name is looked for on PATH),
// or, where a PATH search would cost too much, those registered by full path.
enum class Search { kPath, kFullPathsOnly };

// The library registered under `key` (value FunctionLibrary), when it can be
// restored. A full path counts also when nothing stands at it any more (a
// switch-on that failed half way).
void AddRegisteredLibrary(HKEY key, Search search, std::optional<ApiKind> kind, RegistryView view,
                          std::vector<LibraryPlace>* places) {
  std::wstring library;
  if (ReadString(key, L"FunctionLibrary", &library) != ERROR_SUCCESS) return;
  if (search == Search::kFullPathsOnly && !IsFullPath(library)) return;
  // May replace a bare name by the path found. A full path with a drive is
  // never looked for on PATH and counts whether or not a file stands at it:
  // its existence check would change nothing, so it is not made.
  const bool drivePath = IsFullPath(library) && library.find(L':') != std::wstring::npos;
  const bool found = search == Search::kPath && !drivePath && FindLibraryOnPath(&library, view);
  if (library.find(L'\\') == std::wstring::npos) return;
  // Nothing at the path: only a full path ("C:\..." or "\\server\..."), never a
  // relative one, which would name a file of this process's folder.
  if (!found && !IsFullPath(library)) return;
  library = FileSystemPath(library, view);
  std::wstring aside = AsidePath(library);
  if (aside.empty()) return;
  places->push_back({std::move(library), std::move(aside), kind});
}

void AddRp1210(const MachineLayout& layout, std::vector<LibraryPlace>* places) {
  if (layout.systemDir.empty()) return;
  for (const std::wstring& name : ReadRp1210Implementations(layout.windowsDir)) {
    const std::wstring library = layout.systemDir + L"\\" + name + L".dll";
    const std::wstring aside = layout.systemDir + L"\\_" + name + L".dll";
    if (!FitsField(aside)) continue;  // never cut into another file's name
    places->push_back({library, aside, std::nullopt});
  }
}

// The J2534 libraries of both versions and the PDU library, each view in turn.
void AddJ2534AndPdu(const MachineLayout& layout, Search search, std::vector<LibraryPlace>* places) {
  for (const MachineViewRoot& source : MachineViews(layout.roots)) {
    for (J2534Version version : {J2534Version::k0404, J2534Version::k0500}) {
      RegKey registration;
      if (registration.Open(source.root, J2534RegistrationPath(version),
                            KEY_READ | source.access) != ERROR_SUCCESS) {
        continue;
      }
      for (DWORD index = 0;; ++index) {
        std::wstring name;
        const LONG rc = EnumSubkey(registration.Get(), index, &name);
        if (rc == ERROR_MORE_DATA) continue;  // a name too long to hold: skip that device
        if (rc != ERROR_SUCCESS) break;
        RegKey device;
        if (device.Open(registration.Get(), name, KEY_READ | source.access) != ERROR_SUCCESS)
          continue;
        AddRegisteredLibrary(device.Get(), search, ApiKind::J2534, source.view, places);
      }
    }
  }
  for (const MachineViewRoot& source : MachineViews(layout.roots)) {
    RegKey support;
    if (support.Open(source.root, ProductPath({kPduSupportSection}), KEY_READ | source.access) !=
        ERROR_SUCCESS) {
      continue;
    }
    AddRegisteredLibrary(support.Get(), search, ApiKind::PDU, source.view, places);
  }
}

// Every registered RP1210, J2534 and PDU library, in that order.
std::vector<LibraryPlace> RegisteredLibraries(const MachineLayout& layout, Search search) {
  std::vector<LibraryPlace> places;
  AddRp1210(layout, &places);
  AddJ2534AndPdu(layout, search, &places);
  return places;
}

// Deletes the leftovers in the folders of `places`, each folder once.
void DeleteLeftoversBeside(const std::vector<LibraryPlace>& places) {
  std::vector<std::wstring> folders;
  for (const LibraryPlace& place : places) {
    const std::wstring folder = FolderOf(place.library);
    if (folder.empty()) continue;
    bool seen = false;
    for (const std::wstring& other : folders) {
      seen = seen || CompareStringOrdinal(folder.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    if (seen) continue;
    folders.push_back(folder);
    DeleteLeftoversIn(folder);
  }
}

}  // namespace

MachineLayout MachineLayout::Real() {
  MachineLayout layout;
  layout.roots = RegistryRoots::Real();
  layout.windowsDir = FolderFrom(GetSystemWindowsDirectoryW);
  layout.systemDir = FolderFrom(GetSystemDirectoryW);
  return layout;
}

bool RestoreLibrary(const std::wstring& library, const std::wstring& aside) {
  return RestoreLibrary(library, aside, nullptr);
}

bool RestoreLibrary(const std::wstring& library, const std::wstring& aside, LibraryRepair* repair) {
  if (repair != nullptr) repair->outcome = LibraryRepair::Outcome::kFilledMeanwhile;
  if (library.empty() || aside.empty() || !FitsField(library) || !FitsField(aside)) return false;
  if (!FileExistsAt(aside)) return true;  // nothing set aside
  bool pathWasEmpty = false;
  const DWORD code = PutLibraryBack(library, aside, &pathWasEmpty);
  if (repair != nullptr && pathWasEmpty) {
    repair->library = library;
    repair->code = code;
    repair->outcome = code == ERROR_SUCCESS ? LibraryRepair::Outcome::kLibraryPutBack
                                            : LibraryRepair::Outcome::kFailed;
  }
  return code == ERROR_SUCCESS;
}

std::vector<std::wstring> ReadRp1210Implementations(const std::wstring& windowsDir) {
  std::vector<std::wstring> names;
  if (windowsDir.empty()) return names;
  const std::wstring file = windowsDir + L"\\" + kRp1210File;
  if (!FitsField(file)) return names;
  std::wstring list(kRp1210ListChars, L'\0');
  const DWORD chars = GetPrivateProfileStringW(kRp1210Section, kRp1210Key, L"", list.data(),
                                               kRp1210ListChars, file.c_str());
  const bool cut = chars >= kRp1210ListChars - 1;
  list.resize(chars < kRp1210ListChars ? chars : kRp1210ListChars - 1);

  return SplitRp1210List(list, cut);
}

void DisableAllMonitoring(const MachineLayout& layout, std::vector<LibraryRepair>* repairs) {
  const std::vector<LibraryPlace> places = RegisteredLibraries(layout, Search::kPath);
  for (const LibraryPlace& place : places) {
    LibraryRepair repair;
    (void)RestoreLibrary(place.library, place.aside, &repair);  // failures are silent here
    if (repairs != nullptr && repair.outcome != LibraryRepair::Outcome::kFilledMeanwhile) {
      repairs->push_back(std::move(repair));
    }
  }
  DeleteLeftoversBeside(places);
}

namespace {

// The machine default monitor of an API for the machine type of the library
// set aside at `aside` (MonitorLibrary for i386, MonitorLibrary64 for AMD64);
// empty when there is none or the type is neither, so that the copy fails and
// the library is put back: never a monitor of the other machine type.
std::wstring MonitorLibraryOf(const MachineLayout& layout, ApiKind kind, const std::wstring& aside) {
  std::uint16_t machine = 0;
  if (!ReadLibraryMachine(aside, &machine)) return {};
  const wchar_t* value = machine == kMachineI386    ? L"MonitorLibrary"
                         : machine == kMachineAmd64 ? L"MonitorLibrary64"
                                                    : nullptr;
  std::wstring monitor;
  RegKey defaults;
  if (value == nullptr ||
      defaults.Open(layout.roots.machine, FactoryPath({L"Monitoring", ApiKindName(kind)}),
                    KEY_READ) != ERROR_SUCCESS ||
      ReadString(defaults.Get(), value, &monitor) != ERROR_SUCCESS) {
    monitor.clear();
  }
  return monitor;
}

// RepairEmptyLibraryPaths over the J2534 and PDU libraries among `places`.
std::vector<LibraryRepair> RepairEmptyLibraryPathsOf(const MachineLayout& layout,
                                                     const std::vector<LibraryPlace>& places) {
  std::vector<LibraryRepair> repairs;
  for (const LibraryPlace& place : places) {
    if (!place.kind || !LibraryPathEmpty(place.library, place.aside)) continue;
    // Without a monitor library to copy the copy fails, and the library is put back.
    LibraryRepair repair =
        RepairByMonitorCopy(MonitorLibraryOf(layout, *place.kind, place.aside), place.library,
                            place.aside);
    if (repair.outcome != LibraryRepair::Outcome::kFilledMeanwhile) repairs.push_back(repair);
  }
  return repairs;
}

}  // namespace

std::vector<LibraryRepair> RepairEmptyLibraryPaths(const MachineLayout& layout) {
  return RepairEmptyLibraryPathsOf(layout, RegisteredLibraries(layout, Search::kFullPathsOnly));
}

std::vector<LibraryRepair> StartUpMaintenance(const MachineLayout& layout) {
  const std::vector<LibraryPlace> places = RegisteredLibraries(layout, Search::kFullPathsOnly);
  std::vector<LibraryRepair> repairs = RepairEmptyLibraryPathsOf(layout, places);
  DeleteLeftoversBeside(places);
  return repairs;
}

void DeleteMonitorLeftovers(const MachineLayout& layout) {
  DeleteLeftoversBeside(RegisteredLibraries(layout, Search::kFullPathsOnly));
}

void UninstallUserSettings(const MachineLayout& layout) {
  for (DWORD index = 0;; ++index) {
    std::wstring hive;
    const LONG rc = EnumSubkey(layout.roots.users, index, &hive, kUserHiveNameChars);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    RegKey vendor;
    if (vendor.Open(layout.roots.users, JoinPath({hive, kSoftware, kVendor}), KEY_ALL_ACCESS) !=
        ERROR_SUCCESS) {
      continue;  // no vendor tree in this hive
    }
    (void)DeleteTree(vendor.Get(), kProduct);  // silent on failure
  }
  DisableAllMonitoring(layout);
}

namespace {
void ReportOnDebuggerOutput(const std::vector<LibraryRepair>& repairs) {
  for (const LibraryRepair& repair : repairs) {
    const std::wstring line = L"Varrow disable: " + RepairText(repair) + L"\n";
    OutputDebugStringW(line.c_str());
  }
}
}  // namespace

void DisableAllMonitoring() {
  std::vector<LibraryRepair> repairs;
  DisableAllMonitoring(MachineLayout::Real(), &repairs);
  ReportOnDebuggerOutput(repairs);
}
void UninstallUserSettings() { UninstallUserSettings(MachineLayout::Real()); }
void DeleteMonitorLeftovers() { DeleteMonitorLeftovers(MachineLayout::Real()); }
std::vector<LibraryRepair> StartUpMaintenance() { return StartUpMaintenance(MachineLayout::Real()); }

}  // namespace varrow
