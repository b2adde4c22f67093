#include "tools/vci_devices.h"

#include "monitoring/path_rules.h"

namespace {

constexpr wchar_t kRegistrations[] = L"SOFTWARE\\PassThruSupport.04.04";
constexpr DWORD kFieldChars = 260;
// The view of the registrations whose libraries this VciCheck can load: the
// 32-bit one for VciCheck.exe, the native one for VciCheck64.exe.
constexpr REGSAM kOwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

// Owns an open registry key.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  // Opens `path` under `parent` for reading in `view` (our own architecture's unless said).
  bool Open(HKEY parent, const wchar_t* path, REGSAM view = kOwnView) {
    return RegOpenKeyExW(parent, path, 0, KEY_READ | view, &key_) == ERROR_SUCCESS;
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Reads a string value of at most 260 characters; empty when missing, of
// another type or too long.
std::wstring ReadString(HKEY key, const wchar_t* name) {
  wchar_t buffer[kFieldChars + 1] = {};
  DWORD type = 0;
  DWORD bytes = kFieldChars * sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return L"";
  buffer[bytes / sizeof(wchar_t)] = L'\0';
  return buffer;
}

bool FileExists(const std::wstring& path) {
  if (!varrow::PlainFilePath(path)) return false;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::wstring ResolveLibrary(const std::wstring& path) {
  if (FileExists(path)) {
    wchar_t full[MAX_PATH] = {};
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full) : path;
  }
  std::vector<wchar_t> variable(32768);
  const DWORD n = GetEnvironmentVariableW(L"PATH", variable.data(), static_cast<DWORD>(variable.size()));
  if (n == 0 || n >= variable.size()) return L"";
  for (const std::wstring& candidate : varrow::PathSearchCandidates(path, variable.data()))
    if (FileExists(candidate)) return candidate;
  return L"";
}

std::vector<Device> RegisteredDevices() { return RegisteredDevices(kOwnView, kRegistrations); }

std::vector<Device> RegisteredDevices(REGSAM view, const wchar_t* registrations) {
  std::vector<Device> devices;
  Key root;
  if (!root.Open(HKEY_LOCAL_MACHINE, registrations, view)) return devices;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD chars = 256;
    const LONG rc = RegEnumKeyExW(root.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    Key sub;
    if (!sub.Open(root.get(), name, view)) continue;
    devices.push_back({name, ReadString(sub.get(), L"Vendor"), ReadString(sub.get(), L"Name"),
                       ReadString(sub.get(), L"FunctionLibrary")});
  }
  return devices;
}

int ListDevices(void (*print)(const std::wstring&)) {
  const std::vector<Device> devices = RegisteredDevices();
  if (devices.empty()) {
    print(L"No J2534 04.04 device is registered (HKLM\\SOFTWARE\\PassThruSupport.04.04, 32-bit view).\n");
    return 0;
  }
  print(L"Registered J2534 04.04 devices (32-bit view):\n");
  for (const Device& d : devices) {
    const std::wstring found = ResolveLibrary(d.library);
    const std::wstring where = found.empty() ? d.library : found;
    const std::wstring aside = varrow::AsidePath(where);
    const bool monitored = where.find(L'\\') != std::wstring::npos && FileExists(aside);
    print(L"\n  " + d.key + L"\n    vendor:   " + d.vendor + L"\n    name:     " + d.name +
          L"\n    library:  " + where + (found.empty() ? L"  (missing)" : L"  (found)") +
          L"\n    monitor:  " + (monitored ? L"on (the library is set aside as " + aside + L")" : L"off") +
          L"\n");
  }
  return 0;
}
