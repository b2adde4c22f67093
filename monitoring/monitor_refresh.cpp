#include "monitoring/monitor_refresh.h"

#include <shlobj.h>

#include "monitoring/discovery.h"
#include "monitoring/file_steps.h"
#include "monitoring/leftover_rules.h"
#include "monitoring/path_rules.h"
#include "settings/owned_handle.h"

namespace varrow {

namespace {

// The list file is small: a longer one is not ours and is not read.
constexpr DWORD kMaxListBytes = 64 * 1024;
constexpr wchar_t kByteOrderMark = 0xFEFF;

const wchar_t* KindWord(ApiKind kind) { return kind == ApiKind::PDU ? L"PDU" : L"J2534"; }

// "C:\..." or "\\server\...": the list never names a file relative to anything.
bool IsFullPath(std::wstring_view path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
    const wchar_t drive = path[0];
    return (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
  }
  return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
}

// The library registered under `key`, when it stands set aside now.
void AddWhenMonitored(HKEY key, ApiKind kind, std::vector<MonitoredLibrary>* out) {
  std::wstring library;
  if (ReadString(key, L"FunctionLibrary", &library) != ERROR_SUCCESS) return;
  (void)FindLibraryOnPath(&library);  // a bare name becomes the path found
  if (!IsFullPath(library) || !FitsField(library)) return;
  const std::wstring aside = AsidePath(library);
  if (aside.empty() || !FitsField(aside) || !FileExistsAt(aside)) return;
  out->push_back({kind, std::move(library)});
}

// The machine's monitor library of `kind`, or empty.
std::wstring MonitorLibraryOf(const RegistryRoots& roots, ApiKind kind) {
  RegKey defaults;
  std::wstring monitor;
  if (defaults.Open(roots.machine, FactoryPath({L"Monitoring", ApiKindName(kind)}), KEY_READ) !=
          ERROR_SUCCESS ||
      ReadString(defaults.Get(), L"MonitorLibrary", &monitor) != ERROR_SUCCESS) {
    return {};
  }
  return monitor;
}

DWORD WriteList(const std::wstring& listFile, const std::wstring& text) {
  const std::wstring folder = FolderOf(listFile);
  if (!folder.empty()) {
    const int rc = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS && rc != ERROR_FILE_EXISTS) {
      return static_cast<DWORD>(rc);
    }
  }
  const std::wstring content = std::wstring(1, kByteOrderMark) + text;
  const DWORD bytes = static_cast<DWORD>(content.size() * sizeof(wchar_t));
  if (bytes > kMaxListBytes) return ERROR_BUFFER_OVERFLOW;
  const KernelHandle file(CreateFileW(listFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  DWORD written = 0;
  if (!WriteFile(file.Get(), content.data(), bytes, &written, nullptr)) return GetLastError();
  if (written != bytes) return ERROR_WRITE_FAULT;
  if (!FlushFileBuffers(file.Get())) return GetLastError();
  return ERROR_SUCCESS;
}

// Reads the list file into *text (ERROR_FILE_NOT_FOUND when there is none).
DWORD ReadList(const std::wstring& listFile, std::wstring* text) {
  const KernelHandle file(CreateFileW(listFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD code = GetLastError();
    return code == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : code;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size)) return GetLastError();
  if (size.QuadPart > kMaxListBytes || size.QuadPart % sizeof(wchar_t) != 0) {
    return ERROR_INVALID_DATA;
  }
  std::wstring content(static_cast<std::size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
  DWORD read = 0;
  if (!content.empty() &&
      !ReadFile(file.Get(), content.data(), static_cast<DWORD>(size.QuadPart), &read, nullptr)) {
    return GetLastError();
  }
  content.resize(read / sizeof(wchar_t));
  if (!content.empty() && content[0] == kByteOrderMark) content.erase(0, 1);
  *text = std::move(content);
  return ERROR_SUCCESS;
}

}  // namespace

std::vector<MonitoredLibrary> FindMonitoredLibraries(const RegistryRoots& roots) {
  std::vector<MonitoredLibrary> found;
  RegKey registrations;
  if (registrations.Open(roots.machine, kJ2534RegistrationPath, KEY_READ) == ERROR_SUCCESS) {
    for (DWORD index = 0; found.size() < kMaxMonitoredLibraries; ++index) {
      std::wstring name;
      const LONG rc = EnumSubkey(registrations.Get(), index, &name);
      if (rc == ERROR_MORE_DATA) continue;
      if (rc != ERROR_SUCCESS) break;
      RegKey device;
      if (device.Open(registrations.Get(), name, KEY_READ) != ERROR_SUCCESS) continue;
      AddWhenMonitored(device.Get(), ApiKind::J2534, &found);
    }
  }
  RegKey pdu;
  if (found.size() < kMaxMonitoredLibraries &&
      pdu.Open(roots.machine, ProductPath({kPduSupportSection}), KEY_READ) == ERROR_SUCCESS) {
    AddWhenMonitored(pdu.Get(), ApiKind::PDU, &found);
  }
  return found;
}

std::wstring FormatMonitoredList(const std::vector<MonitoredLibrary>& libraries) {
  std::wstring text;
  for (const MonitoredLibrary& entry : libraries) {
    text += KindWord(entry.kind);
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
    if (word == L"J2534") {
      entry.kind = ApiKind::J2534;
    } else if (word == L"PDU") {
      entry.kind = ApiKind::PDU;
    } else {
      continue;
    }
    if (!IsFullPath(path) || !FitsField(path) || path.find(L'\t') != std::wstring_view::npos) {
      continue;
    }
    entry.library.assign(path);
    libraries.push_back(std::move(entry));
  }
  return libraries;
}

DWORD SwitchOffForUpgrade(const RegistryRoots& roots, const std::wstring& listFile,
                          std::vector<std::wstring>* failed) {
  const std::vector<MonitoredLibrary> monitored = FindMonitoredLibraries(roots);
  // A list left by an upgrade that did not finish keeps its libraries: they
  // were put back then and are to be switched on again too.
  std::wstring earlier;
  std::vector<MonitoredLibrary> listed;
  if (ReadList(listFile, &earlier) == ERROR_SUCCESS) listed = ParseMonitoredList(earlier);
  for (const MonitoredLibrary& entry : monitored) {
    bool known = false;
    for (const MonitoredLibrary& other : listed) {
      known = known || CompareStringOrdinal(entry.library.c_str(), -1, other.library.c_str(), -1,
                                            TRUE) == CSTR_EQUAL;
    }
    if (!known && listed.size() < kMaxMonitoredLibraries) listed.push_back(entry);
  }
  // The list first: a library put back without a record would lose its monitoring.
  const DWORD written = WriteList(listFile, FormatMonitoredList(listed));
  if (written != ERROR_SUCCESS) return written;
  for (const MonitoredLibrary& entry : monitored) {
    if (PutLibraryBack(entry.library, AsidePath(entry.library)) != ERROR_SUCCESS) {
      failed->push_back(entry.library);
    }
  }
  return ERROR_SUCCESS;
}

DWORD SwitchOnAfterUpgrade(const RegistryRoots& roots, const std::wstring& listFile,
                           std::vector<std::wstring>* failed) {
  std::wstring text;
  const DWORD read = ReadList(listFile, &text);
  if (read == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (read != ERROR_SUCCESS) return read;
  for (const MonitoredLibrary& entry : ParseMonitoredList(text)) {
    const std::wstring aside = AsidePath(entry.library);
    if (aside.empty() || FileExistsAt(aside)) continue;  // monitored already
    const std::wstring monitor = MonitorLibraryOf(roots, entry.kind);
    if (!FileExistsAt(entry.library) || monitor.empty() || !FileExistsAt(monitor) ||
        SetLibraryAside(entry.library, aside) != ERROR_SUCCESS ||
        InstallMonitorCopy(monitor, entry.library, aside) != ERROR_SUCCESS) {
      failed->push_back(entry.library);
    }
  }
  (void)DeleteFileW(listFile.c_str());
  const std::wstring folder = FolderOf(listFile);
  if (!folder.empty()) (void)RemoveDirectoryW(folder.c_str());  // only when empty
  return ERROR_SUCCESS;
}

}  // namespace varrow
