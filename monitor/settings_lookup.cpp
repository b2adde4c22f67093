#include "monitor/settings_lookup.h"

#include "monitoring/format_rules.h"
#include "monitoring/path_rules.h"
#include "settings/registry.h"

namespace monitor {

namespace {

using varrow::RegKey;

constexpr wchar_t kPassThruKey[] = L"SOFTWARE\\PassThruSupport.04.04";
constexpr wchar_t kMonitoring[] = L"Monitoring";

bool FileExists(const std::wstring& path) {
  if (!varrow::PlainFilePath(path)) return false;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The full path of `path` (a pure text operation: no file is touched), or
// `path` itself when it has none.
std::wstring FullPath(const std::wstring& path) {
  const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0 || n > 32768) return path;
  std::wstring full(n, L'\0');
  const DWORD m = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  if (m == 0 || m >= n) return path;
  full.resize(m);
  return full;
}

// The full, long form of `path` (short 8.3 names expanded: this touches the disk).
std::wstring Canonical(const std::wstring& path) {
  const std::wstring full = FullPath(path);
  const DWORD n = GetLongPathNameW(full.c_str(), nullptr, 0);
  if (n == 0 || n > 32768) return full;
  std::wstring longer(n, L'\0');
  const DWORD m = GetLongPathNameW(full.c_str(), longer.data(), n);
  if (m == 0 || m >= n) return full;
  longer.resize(m);
  return longer;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The process's PATH, on the heap (it may hold 32,767 characters).
std::wstring PathVariable() {
  const DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (n == 0 || n > 32768) return {};
  std::wstring value(n, L'\0');
  const DWORD m = GetEnvironmentVariableW(L"PATH", value.data(), n);
  if (m == 0 || m >= n) return {};
  value.resize(m);
  return value;
}

// A registration that names a file by a drive or UNC path, not relative to PATH.
bool IsFullPath(const std::wstring& path) {
  return path.find(L':') != std::wstring::npos || path.compare(0, 2, L"\\\\") == 0;
}

std::wstring FileNameOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void ReadFlag(HKEY key, const wchar_t* name, bool* out) {
  DWORD value = 0;
  if (varrow::ReadDword(key, name, &value) == ERROR_SUCCESS) *out = value != 0;
}
void ReadInt(HKEY key, const wchar_t* name, std::int32_t* out) {
  DWORD value = 0;
  if (varrow::ReadDword(key, name, &value) == ERROR_SUCCESS) *out = static_cast<std::int32_t>(value);
}

// The monitoring values of an open settings key (a missing value keeps its field).
void ReadValues(HKEY key, MonitorSettings* s, std::int32_t* messageSizeIndex, bool readFile) {
  ReadInt(key, L"OutputFormat", &s->outputFormat);
  ReadFlag(key, L"Overwrite", &s->overwrite);
  ReadFlag(key, L"LogEntryExit", &s->logEntryExit);
  ReadFlag(key, L"LogDebugView", &s->logDebugView);
  ReadFlag(key, L"DisableErrBufferEmpty", &s->disableErrBufferEmpty);
  ReadInt(key, L"MessageSize", messageSizeIndex);
  ReadInt(key, L"StoreWithPrimaryAPI", &s->storeWithPrimaryApi);
  if (readFile) {
    std::wstring file;
    if (varrow::ReadString(key, L"OutputFile", &file) == ERROR_SUCCESS) s->outputFile = file;
  }
}

// Entry `index` of a message-size list held as MessageSizeNN values of `key`.
bool ReadMessageSize(HKEY root, const std::wstring& path, std::int32_t index, DWORD* size,
                     REGSAM view = 0) {
  RegKey key;
  if (key.Open(root, path, KEY_READ | view) != ERROR_SUCCESS) return false;
  wchar_t name[32];
  swprintf(name, 32, L"MessageSize%02d", static_cast<int>(index));
  return varrow::ReadDword(key.Get(), name, size) == ERROR_SUCCESS;
}

std::wstring DefaultOutputFile(HKEY machine, const std::wstring& library, std::int32_t format,
                               DefaultLogName defaultName) {
  std::wstring location;
  RegKey vendor;
  if (vendor.Open(machine, varrow::ProductPath(), KEY_READ | kPackageMachineView) == ERROR_SUCCESS) {
    if (varrow::ReadString(vendor.Get(), L"LogFileLocation", &location) != ERROR_SUCCESS) {
      location.clear();
    }
  }
  std::wstring name;
  if (!location.empty()) name = defaultName(location, library);
  if (name.empty()) {
    // No log folder configured: the temporary folder rather than no log at all.
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    name = defaultName(n != 0 && n <= MAX_PATH ? temp : L"C:\\", library);
  }
  return varrow::ApplyFormatExtension(name, format);
}

}  // namespace

std::wstring SettingsApiKey(const std::wstring& apiName) {
  return sizeof(void*) == 8 ? apiName + L" (64-bit)" : apiName;
}

std::vector<std::wstring> RegisteredJ2534Libraries(HKEY machine) {
  std::vector<std::wstring> libraries;
  RegKey root;
  if (root.Open(machine, kPassThruKey, KEY_READ) != ERROR_SUCCESS) return libraries;
  for (DWORD index = 0; index < 1000; ++index) {
    std::wstring name;
    const LONG rc = varrow::EnumSubkey(root.Get(), index, &name);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    RegKey device;
    if (device.Open(root.Get(), name, KEY_READ) != ERROR_SUCCESS) continue;
    std::wstring library;
    if (varrow::ReadString(device.Get(), L"FunctionLibrary", &library) == ERROR_SUCCESS &&
        !library.empty()) {
      libraries.push_back(library);
    }
  }
  return libraries;
}

std::wstring ResolveRegisteredPath(const std::wstring& registered) {
  if (FileExists(registered)) return registered;
  for (const std::wstring& candidate : varrow::PathSearchCandidates(registered, PathVariable())) {
    if (FileExists(candidate)) return candidate;
  }
  return {};
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return SameText(Canonical(a), Canonical(b));
}

std::vector<std::wstring> OwnRegistrations(const std::vector<std::wstring>& registered,
                                           const std::wstring& ownPath,
                                           const std::wstring& pathVariable,
                                           const FileCheck& exists) {
  std::vector<std::wstring> own;
  // Full paths by their text first: no file is touched, however stale the others.
  const std::wstring ownFull = FullPath(ownPath);
  for (const std::wstring& path : registered) {
    if (IsFullPath(path) && SameText(FullPath(path), ownFull)) own.push_back(path);
  }
  if (!own.empty()) return own;
  // Then other spellings of full paths (8.3 names): only those that could be us.
  const std::wstring ownLong = Canonical(ownPath);
  const std::wstring ownName = FileNameOf(ownLong);
  for (const std::wstring& path : registered) {
    if (!IsFullPath(path)) continue;
    const std::wstring name = FileNameOf(path);
    if (name.find(L'~') == std::wstring::npos && !SameText(name, ownName)) continue;
    if (exists(path) && SameText(Canonical(path), ownLong)) own.push_back(path);
  }
  if (!own.empty()) return own;
  // Last, names found on PATH: the first folder that holds the name is what the
  // registration means; the search ends as soon as our own file is found.
  for (const std::wstring& path : registered) {
    if (IsFullPath(path) || path.empty()) continue;
    if (path.find_first_of(L"\\/") == std::wstring::npos && !SameText(path, ownName)) continue;
    for (const std::wstring& candidate : varrow::PathSearchCandidates(path, pathVariable)) {
      if (!exists(candidate)) continue;
      if (SameText(Canonical(candidate), ownLong)) {
        own.push_back(candidate);
        return own;
      }
      break;  // another file of that name comes first on PATH
    }
  }
  return own;
}

MonitorSettings LookUpSettings(const wchar_t* apiName, const std::wstring& ownPath,
                               const std::vector<std::wstring>& registered,
                               const SettingsRoots& roots, DefaultLogName defaultName) {
  if (defaultName == nullptr) defaultName = &varrow::DefaultJ2534LogName;
  MonitorSettings s;
  const std::wstring apiPath = varrow::ProductPath({kMonitoring, apiName});
  const std::wstring settingsPath = varrow::ProductPath({kMonitoring, SettingsApiKey(apiName)});
  // Candidates: the registrations that name our own file, then our own path.
  std::vector<std::wstring> candidates =
      OwnRegistrations(registered, ownPath, PathVariable(), &FileExists);
  candidates.push_back(ownPath);
  s.library = candidates.front();
  std::int32_t sizeIndex = 0;
  for (const std::wstring& candidate : candidates) {
    const std::wstring keyName = varrow::SettingsKeyName(candidate);
    RegKey key;
    if (keyName.empty() ||
        key.Open(roots.user, settingsPath + L"\\" + keyName, KEY_READ) != ERROR_SUCCESS) {
      continue;
    }
    s.fromUser = true;
    s.library = candidate;
    s.settingsKey = keyName;
    ReadValues(key.Get(), &s, &sizeIndex, true);
    break;
  }
  if (!s.fromUser) {
    s.settingsKey = varrow::SettingsKeyName(s.library);
    RegKey defaults;
    if (defaults.Open(roots.machine, varrow::FactoryPath({kMonitoring, apiName}),
                      KEY_READ | kPackageMachineView) == ERROR_SUCCESS) {
      ReadValues(defaults.Get(), &s, &sizeIndex, false);
    }
  }
  if (s.outputFile.empty()) {
    s.outputFile = DefaultOutputFile(roots.machine, s.library, s.outputFormat, defaultName);
  }
  // The message size: a position in the user's list (the copy Varrow saves next to
  // the settings, else its MessageSizes section), else in the machine's list.
  if (sizeIndex > 0 && sizeIndex < 10) {
    DWORD size = 0;
    if ((settingsPath != apiPath && ReadMessageSize(roots.user, settingsPath, sizeIndex, &size)) ||
        ReadMessageSize(roots.user, apiPath, sizeIndex, &size) ||
        ReadMessageSize(roots.user, apiPath + L"\\MessageSizes", sizeIndex, &size) ||
        ReadMessageSize(roots.machine, varrow::FactoryPath({kMonitoring, apiName, L"MessageSizes"}),
                        sizeIndex, &size, kPackageMachineView)) {
      s.messageSizeLimit = size;
    }
  }
  return s;
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool CreateFolderChain(const std::wstring& folder) {
  std::wstring path = folder;
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  if (path.empty()) return true;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const std::wstring parent = FolderOf(path);
  if (!parent.empty() && parent.size() < path.size() && !CreateFolderChain(parent)) return false;
  return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace monitor
