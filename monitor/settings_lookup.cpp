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

std::wstring Canonical(const std::wstring& path) {
  wchar_t full[MAX_PATH * 2];
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  if (n == 0 || n >= MAX_PATH * 2) return path;
  wchar_t longer[MAX_PATH * 2];
  DWORD m = GetLongPathNameW(full, longer, MAX_PATH * 2);
  if (m == 0 || m >= MAX_PATH * 2) return full;
  return longer;
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
bool ReadMessageSize(HKEY root, const std::wstring& path, std::int32_t index, DWORD* size) {
  RegKey key;
  if (key.Open(root, path, KEY_READ) != ERROR_SUCCESS) return false;
  wchar_t name[32];
  swprintf(name, 32, L"MessageSize%02d", static_cast<int>(index));
  return varrow::ReadDword(key.Get(), name, size) == ERROR_SUCCESS;
}

std::wstring DefaultOutputFile(HKEY machine, const std::wstring& library, std::int32_t format,
                               DefaultLogName defaultName) {
  std::wstring location;
  RegKey vendor;
  if (vendor.Open(machine, varrow::ProductPath(), KEY_READ) == ERROR_SUCCESS) {
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
  wchar_t pathVariable[32768];
  const DWORD n = GetEnvironmentVariableW(L"PATH", pathVariable, 32768);
  if (n == 0 || n >= 32768) return {};
  for (const std::wstring& candidate : varrow::PathSearchCandidates(registered, pathVariable)) {
    if (FileExists(candidate)) return candidate;
  }
  return {};
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = Canonical(a);
  const std::wstring y = Canonical(b);
  return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(),
                              static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
}

MonitorSettings LookUpSettings(const wchar_t* apiName, const std::wstring& ownPath,
                               const std::vector<std::wstring>& registered,
                               const SettingsRoots& roots, DefaultLogName defaultName) {
  if (defaultName == nullptr) defaultName = &varrow::DefaultJ2534LogName;
  MonitorSettings s;
  const std::wstring apiPath = varrow::ProductPath({kMonitoring, apiName});
  // Candidates: every registration that resolves to our own file, then our own path.
  std::vector<std::wstring> candidates;
  for (const std::wstring& path : registered) {
    const std::wstring resolved = ResolveRegisteredPath(path);
    if (!resolved.empty() && SamePath(resolved, ownPath)) candidates.push_back(resolved);
  }
  candidates.push_back(ownPath);
  s.library = candidates.front();
  std::int32_t sizeIndex = 0;
  for (const std::wstring& candidate : candidates) {
    const std::wstring keyName = varrow::SettingsKeyName(candidate);
    RegKey key;
    if (keyName.empty() ||
        key.Open(roots.user, apiPath + L"\\" + keyName, KEY_READ) != ERROR_SUCCESS) {
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
    if (defaults.Open(roots.machine, varrow::FactoryPath({kMonitoring, apiName}), KEY_READ) ==
        ERROR_SUCCESS) {
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
    if (ReadMessageSize(roots.user, apiPath, sizeIndex, &size) ||
        ReadMessageSize(roots.user, apiPath + L"\\MessageSizes", sizeIndex, &size) ||
        ReadMessageSize(roots.machine, varrow::FactoryPath({kMonitoring, apiName, L"MessageSizes"}),
                        sizeIndex, &size)) {
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
