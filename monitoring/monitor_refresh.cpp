#include "monitoring/monitor_refresh.h"

#include <cstdint>

#include "monitoring/discovery.h"
#include "monitoring/file_steps.h"
#include "monitoring/leftover_rules.h"
#include "monitoring/monitor_choice.h"
#include "monitoring/path_rules.h"
#include "settings/owned_handle.h"

namespace varrow {

namespace {

// The number in a kept copy's leftover name: its process part is 0, which no
// running program has, so the program's clean-up may delete a forgotten one.
constexpr std::uint64_t kKeptCopyUnique = 0x5E7C0B1ULL;
// Registrations looked at, at most.
constexpr DWORD kMaxRegistrations = 1024;

std::wstring KindWord(ApiKind kind, RegistryView view) {
  std::wstring word = kind == ApiKind::PDU ? L"PDU" : L"J2534";
  if (view == RegistryView::k64) word += kNativeViewKeySuffix;
  return word;
}

// The path through which the entry's files are reached.
std::wstring FileOf(const MonitoredLibrary& entry) { return FileSystemPath(entry.library, entry.view); }

// "C:\..." or "\\server\...": the list never names a file relative to anything.
bool IsFullPath(std::wstring_view path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
    const wchar_t drive = path[0];
    return (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
  }
  return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
}

// The library registered under `key`, when it stands set aside now.
void AddWhenMonitored(HKEY key, ApiKind kind, RegistryView view, std::vector<MonitoredLibrary>* out) {
  std::wstring library;
  if (ReadString(key, L"FunctionLibrary", &library) != ERROR_SUCCESS) return;
  (void)FindLibraryOnPath(&library, view);  // a bare name becomes the path found
  if (!IsFullPath(library) || !FitsField(library)) return;
  const std::wstring aside = FileSystemPath(AsidePath(library), view);
  if (aside.empty() || !FitsField(aside) || !FileExistsAt(aside)) return;
  out->push_back({kind, std::move(library), view});
}

// The machine's monitor library of `kind` for the library file at `file`
// (its machine type, the entry's view), or empty when none fits.
std::wstring MonitorLibraryOf(const RegistryRoots& roots, const MonitoredLibrary& entry,
                              const std::wstring& file) {
  RegKey defaults;
  std::wstring monitor, monitor64;
  if (defaults.Open(roots.machine, FactoryPath({L"Monitoring", ApiKindName(entry.kind)}), KEY_READ) !=
      ERROR_SUCCESS) {
    return {};
  }
  (void)ReadString(defaults.Get(), L"MonitorLibrary", &monitor);
  (void)ReadString(defaults.Get(), L"MonitorLibrary64", &monitor64);
  ApiImplementation record;
  (void)record.SetMonitorLibrary(monitor);
  (void)record.SetMonitorLibrary64(monitor64);
  record.SetView(entry.view);
  return ChooseMonitor(record, file).monitor;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The list from the machine hive (empty when there is none or it is not ours).
std::vector<MonitoredLibrary> ReadList(const RegistryRoots& roots) {
  RegKey product;
  std::wstring text;
  if (product.Open(roots.machine, ProductPath(), KEY_QUERY_VALUE) != ERROR_SUCCESS ||
      ReadString(product.Get(), kMonitoredListValue, &text, kMaxMonitoredListChars) != ERROR_SUCCESS) {
    return {};
  }
  return ParseMonitoredList(text);
}

DWORD WriteList(const RegistryRoots& roots, const std::vector<MonitoredLibrary>& libraries) {
  const std::wstring text = FormatMonitoredList(libraries);
  if (text.size() >= kMaxMonitoredListChars) return ERROR_BUFFER_OVERFLOW;
  RegKey product;
  const LONG rc = product.Create(roots.machine, ProductPath(), KEY_SET_VALUE);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  return static_cast<DWORD>(WriteString(product.Get(), kMonitoredListValue, text));
}

// True when `key` has neither values nor subkeys.
bool EmptyKey(HKEY key) {
  DWORD subkeys = 0, values = 0;
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
         subkeys == 0 && values == 0;
}

// Deletes the list; then the product's key, and the vendor's, when the list
// was all that kept them (a removal has deleted the package's values by then).
void DeleteList(const RegistryRoots& roots) {
  RegKey product;
  if (product.Open(roots.machine, ProductPath(), KEY_SET_VALUE | KEY_QUERY_VALUE) != ERROR_SUCCESS) {
    return;
  }
  if (RegDeleteValueW(product.Get(), kMonitoredListValue) != ERROR_SUCCESS) return;  // none: fine
  const bool empty = EmptyKey(product.Get());
  product.Close();
  RegKey vendor;
  if (!empty || vendor.Open(roots.machine, JoinPath({kSoftware, kVendor}), KEY_QUERY_VALUE) != ERROR_SUCCESS ||
      RegDeleteKeyW(vendor.Get(), kProduct) != ERROR_SUCCESS || !EmptyKey(vendor.Get())) {
    return;
  }
  vendor.Close();
  RegKey software;
  if (software.Open(roots.machine, kSoftware, KEY_QUERY_VALUE) == ERROR_SUCCESS) {
    (void)RegDeleteKeyW(software.Get(), kVendor);
  }
}

// The entry's library is registered under `key` (FunctionLibrary; a bare name as found on PATH).
bool RegisteredUnder(HKEY key, const MonitoredLibrary& entry) {
  std::wstring registered;
  if (ReadString(key, L"FunctionLibrary", &registered) != ERROR_SUCCESS) return false;
  (void)FindLibraryOnPath(&registered, entry.view);
  return SameText(registered, entry.library);
}

// A listed library that may be switched on again: registered now, at its path,
// nothing set aside.
bool MayMonitorAgain(const RegistryRoots& roots, const MonitoredLibrary& entry) {
  const std::wstring library = FileOf(entry), aside = AsidePath(library);
  return RegisteredNow(roots, entry) && !aside.empty() && FitsField(aside) &&
         !FileExistsAt(aside) && FileExistsAt(library);
}

// Moves a file without replacing one (SetLibraryAside is exactly that).
DWORD Move(const std::wstring& from, const std::wstring& to) { return SetLibraryAside(from, to); }

}  // namespace

std::vector<MonitoredLibrary> FindMonitoredLibraries(const RegistryRoots& roots) {
  std::vector<MonitoredLibrary> found;
  for (const MachineViewRoot& source : MachineViews(roots)) {
    for (J2534Version version : {J2534Version::k0404, J2534Version::k0500}) {
      RegKey registrations;
      if (registrations.Open(source.root, J2534RegistrationPath(version), KEY_READ | source.access) !=
          ERROR_SUCCESS) {
        continue;
      }
      for (DWORD index = 0; found.size() < kMaxMonitoredLibraries; ++index) {
        std::wstring name;
        const LONG rc = EnumSubkey(registrations.Get(), index, &name);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        RegKey device;
        if (device.Open(registrations.Get(), name, KEY_READ | source.access) != ERROR_SUCCESS) continue;
        AddWhenMonitored(device.Get(), ApiKind::J2534, source.view, &found);
      }
    }
  }
  for (const MachineViewRoot& source : MachineViews(roots)) {
    RegKey pdu;
    if (found.size() < kMaxMonitoredLibraries &&
        pdu.Open(source.root, ProductPath({kPduSupportSection}), KEY_READ | source.access) ==
            ERROR_SUCCESS) {
      AddWhenMonitored(pdu.Get(), ApiKind::PDU, source.view, &found);
    }
  }
  return found;
}

std::wstring FormatMonitoredList(const std::vector<MonitoredLibrary>& libraries) {
  std::wstring text;
  for (const MonitoredLibrary& entry : libraries) {
    text += KindWord(entry.kind, entry.view);
    text += L'\t';
    text += entry.library;
    text += L"\r\n";
  }
  return text;
}

std::vector<MonitoredLibrary> ParseMonitoredList(std::wstring_view text) {
  std::vector<MonitoredLibrary> libraries;
  while (!text.empty() && libraries.size() < kMaxMonitoredLibraries) {
    const std::size_t end = text.find(L'\n');
    std::wstring_view line = text.substr(0, end);
    text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
    const std::size_t tab = line.find(L'\t');
    if (tab == std::wstring_view::npos) continue;
    const std::wstring_view word = line.substr(0, tab);
    const std::wstring_view path = line.substr(tab + 1);
    MonitoredLibrary entry;
    bool known = false;
    for (ApiKind kind : {ApiKind::J2534, ApiKind::PDU}) {
      for (RegistryView view : {RegistryView::k32, RegistryView::k64}) {
        if (word != KindWord(kind, view)) continue;
        entry.kind = kind;
        entry.view = view;
        known = true;
      }
    }
    if (!known) continue;
    if (!IsFullPath(path) || !FitsField(path) || path.find(L'\t') != std::wstring_view::npos) {
      continue;
    }
    entry.library.assign(path);
    libraries.push_back(std::move(entry));
  }
  return libraries;
}

std::wstring KeptCopyPath(const std::wstring& library) {
  return LeftoverPath(library, kKeptCopyUnique);
}

bool RegisteredNow(const RegistryRoots& roots, const MonitoredLibrary& entry) {
  for (const MachineViewRoot& source : MachineViews(roots)) {
    if (source.view != entry.view) continue;
    if (entry.kind == ApiKind::PDU) {
      RegKey pdu;
      return pdu.Open(source.root, ProductPath({kPduSupportSection}), KEY_READ | source.access) ==
                 ERROR_SUCCESS &&
             RegisteredUnder(pdu.Get(), entry);
    }
    for (J2534Version version : {J2534Version::k0404, J2534Version::k0500}) {
      RegKey registrations;
      if (registrations.Open(source.root, J2534RegistrationPath(version), KEY_READ | source.access) !=
          ERROR_SUCCESS) {
        continue;
      }
      for (DWORD index = 0; index < kMaxRegistrations; ++index) {
        std::wstring name;
        const LONG rc = EnumSubkey(registrations.Get(), index, &name);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        RegKey device;
        if (device.Open(registrations.Get(), name, KEY_READ | source.access) == ERROR_SUCCESS &&
            RegisteredUnder(device.Get(), entry)) {
          return true;
        }
      }
    }
  }
  return false;
}

DWORD SwitchOffForSetup(const RegistryRoots& roots, std::vector<std::wstring>* failed) {
  const std::vector<MonitoredLibrary> monitored = FindMonitoredLibraries(roots);
  // A list left by a setup that did not finish keeps its libraries: they
  // were put back then and are to be switched on again too.
  std::vector<MonitoredLibrary> listed = ReadList(roots);
  for (const MonitoredLibrary& entry : monitored) {
    bool known = false;
    for (const MonitoredLibrary& other : listed) {
      known = known || (SameText(entry.library, other.library) && entry.view == other.view);
    }
    if (!known && listed.size() < kMaxMonitoredLibraries) listed.push_back(entry);
  }
  // The list first: a library put back without a record would lose its monitoring.
  const DWORD written = WriteList(roots, listed);
  if (written != ERROR_SUCCESS) return written;
  for (const MonitoredLibrary& entry : monitored) {
    const std::wstring library = FileOf(entry);
    const std::wstring aside = AsidePath(library), kept = KeptCopyPath(library);
    (void)DeleteFileW(kept.c_str());  // a copy a setup that did not finish kept
    DWORD code = kept.empty() ? ERROR_FILENAME_EXCED_RANGE : Move(library, kept);
    if (code == ERROR_SUCCESS) {
      code = Move(aside, library);
      if (code != ERROR_SUCCESS && Move(kept, library) != ERROR_SUCCESS) {
        code = PutLibraryBack(library, aside);  // the copy is somewhere else now
      }
    } else {
      code = PutLibraryBack(library, aside);  // no copy kept: the rollback copies one
    }
    if (code != ERROR_SUCCESS) failed->push_back(entry.library);
  }
  return ERROR_SUCCESS;
}

DWORD SwitchOnAfterUpgrade(const RegistryRoots& roots, std::vector<std::wstring>* failed,
                           std::vector<std::wstring>* refused) {
  for (const MonitoredLibrary& entry : ReadList(roots)) {
    const std::wstring library = FileOf(entry);
    const std::wstring aside = AsidePath(library);
    if (!MayMonitorAgain(roots, entry)) {
      if (aside.empty() || !FileExistsAt(aside)) refused->push_back(entry.library);
      continue;  // (set aside: monitored already)
    }
    const std::wstring monitor = MonitorLibraryOf(roots, entry, library);
    if (monitor.empty() || !FileExistsAt(monitor) ||
        SetLibraryAside(library, aside) != ERROR_SUCCESS ||
        InstallMonitorCopy(monitor, library, aside) != ERROR_SUCCESS) {
      failed->push_back(entry.library);
    }
  }
  return ERROR_SUCCESS;
}

void SwitchOffAfterRollback(const RegistryRoots& roots, std::vector<std::wstring>* failed) {
  for (const MonitoredLibrary& entry : ReadList(roots)) {
    const std::wstring library = FileOf(entry);
    const std::wstring aside = AsidePath(library);
    if (!RegisteredNow(roots, entry) || aside.empty() || !FileExistsAt(aside)) continue;
    if (PutLibraryBack(library, aside) != ERROR_SUCCESS) failed->push_back(entry.library);
  }
}

void RestoreMonitoring(const RegistryRoots& roots, std::vector<std::wstring>* failed,
                       std::vector<std::wstring>* refused) {
  for (const MonitoredLibrary& entry : ReadList(roots)) {
    const std::wstring library = FileOf(entry);
    const std::wstring aside = AsidePath(library), kept = KeptCopyPath(library);
    if (!MayMonitorAgain(roots, entry)) {
      if (aside.empty() || !FileExistsAt(aside)) refused->push_back(entry.library);
      continue;  // (set aside: monitored already)
    }
    DWORD code = SetLibraryAside(library, aside);
    if (code == ERROR_SUCCESS) {
      if (!kept.empty() && FileExistsAt(kept)) {
        code = Move(kept, library);
        if (code != ERROR_SUCCESS) (void)Move(aside, library);  // in its place, unmonitored
      } else {
        // The library stands set aside now: its header there chooses.
        const std::wstring monitor = MonitorLibraryOf(roots, entry, aside);
        code = monitor.empty() ? ERROR_FILE_NOT_FOUND : InstallMonitorCopy(monitor, library, aside);
        if (code != ERROR_SUCCESS && !FileExistsAt(library)) (void)Move(aside, library);
      }
    }
    if (code != ERROR_SUCCESS) failed->push_back(entry.library);
  }
  DeleteList(roots);
}

void ForgetMonitoredList(const RegistryRoots& roots) {
  for (const MonitoredLibrary& entry : ReadList(roots)) {
    const std::wstring library = FileOf(entry);
    const std::wstring kept = KeptCopyPath(library);
    if (kept.empty() || !FileExistsAt(kept) || DeleteFileW(kept.c_str())) continue;
    (void)MoveFileExW(kept.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);  // loaded: at restart
  }
  DeleteList(roots);
}

}  // namespace varrow
