#include "settings/registry.h"


#include <vector>

namespace varrow {

bool IsRunningUnderWow64() {
  // Looked up by name: absent from the oldest systems, and then there is no 64-bit view.
  using IsWow64Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return false;
  const auto isWow64 =
      reinterpret_cast<IsWow64Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  BOOL wow64 = FALSE;
  return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64 != FALSE;
}

RegistryRoots RegistryRoots::Real() {
  RegistryRoots roots;
  if (IsRunningUnderWow64()) roots.machine64 = HKEY_LOCAL_MACHINE;
  return roots;
}

RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    Close();
    key_ = other.Release();
  }
  return *this;
}

HKEY RegKey::Release() {
  HKEY key = key_;
  key_ = nullptr;
  return key;
}

void RegKey::Close() {
  if (key_ != nullptr) {
    DWORD saved = GetLastError();
    RegCloseKey(key_);
    SetLastError(saved);
    key_ = nullptr;
  }
}

LONG RegKey::Open(HKEY parent, const std::wstring& path, REGSAM access) {
  Close();
  if (parent == nullptr) return ERROR_INVALID_HANDLE;
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(parent, path.c_str(), 0, access, &key);
  if (rc == ERROR_SUCCESS) key_ = key;
  return rc;
}

LONG RegKey::Create(HKEY parent, const std::wstring& path, REGSAM access, DWORD options,
                    bool* created) {
  Close();
  if (parent == nullptr) return ERROR_INVALID_HANDLE;
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, options, access, nullptr, &key,
                            &disposition);
  if (rc == ERROR_SUCCESS) {
    key_ = key;
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
  }
  return rc;
}

LONG ReadDword(HKEY key, const wchar_t* name, DWORD* out) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  DWORD value = 0;
  DWORD size = sizeof(value);
  LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (size != sizeof(value)) return ERROR_INVALID_DATA;
  *out = value;
  return ERROR_SUCCESS;
}

LONG ReadString(HKEY key, const wchar_t* name, std::wstring* out, std::size_t fieldChars) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (fieldChars == 0) return ERROR_INVALID_PARAMETER;
  // One spare character so that an unterminated value of the full field size
  // is still seen whole and can be judged by its length.
  std::vector<wchar_t> buffer(fieldChars + 1, L'\0');
  DWORD size = static_cast<DWORD>(fieldChars * sizeof(wchar_t));
  LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                             &size);
  if (rc != ERROR_SUCCESS) return rc;
  std::size_t chars = size / sizeof(wchar_t);
  std::size_t length = 0;
  while (length < chars && buffer[length] != L'\0') ++length;
  if (length >= fieldChars) return ERROR_MORE_DATA;
  out->assign(buffer.data(), length);
  return ERROR_SUCCESS;
}

LONG WriteDword(HKEY key, const wchar_t* name, DWORD value) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}

LONG WriteString(HKEY key, const wchar_t* name, const std::wstring& value) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LONG EnumSubkey(HKEY key, DWORD index, std::wstring* name, std::size_t maxChars) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  std::vector<wchar_t> buffer(maxChars + 1, L'\0');
  DWORD chars = static_cast<DWORD>(maxChars);
  LONG rc = RegEnumKeyExW(key, index, buffer.data(), &chars, nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  if (chars >= maxChars) return ERROR_MORE_DATA;
  name->assign(buffer.data(), chars);
  return ERROR_SUCCESS;
}

LONG EnumValueName(HKEY key, DWORD index, std::wstring* name, std::size_t maxChars) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  std::vector<wchar_t> buffer(maxChars + 1, L'\0');
  DWORD chars = static_cast<DWORD>(maxChars);
  LONG rc = RegEnumValueW(key, index, buffer.data(), &chars, nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  if (chars >= maxChars) return ERROR_MORE_DATA;
  name->assign(buffer.data(), chars);
  return ERROR_SUCCESS;
}

LONG DeleteTree(HKEY parent, const std::wstring& name) {
  if (parent == nullptr) return ERROR_INVALID_HANDLE;
  // advapi32's own: the monitor libraries share this file and must not load
  // shlwapi (and with it user32) into their host.
  return RegDeleteTreeW(parent, name.c_str());
}

LONG DeleteKey(HKEY parent, const std::wstring& name) {
  if (parent == nullptr) return ERROR_INVALID_HANDLE;
  return RegDeleteKeyW(parent, name.c_str());
}

std::wstring JoinPath(std::initializer_list<std::wstring> parts) {
  std::wstring path;
  for (const std::wstring& part : parts) {
    if (part.empty()) continue;
    if (!path.empty()) path += L'\\';
    path += part;
  }
  return path;
}

std::wstring ProductPath(std::initializer_list<std::wstring> parts) {
  std::wstring path = JoinPath({kSoftware, kVendor, kProduct});
  for (const std::wstring& part : parts) {
    if (part.empty()) continue;
    path += L'\\';
    path += part;
  }
  return path;
}

std::wstring FactoryPath(std::initializer_list<std::wstring> parts) {
  std::wstring path = ProductPath({kDefaultSettings});
  for (const std::wstring& part : parts) {
    if (part.empty()) continue;
    path += L'\\';
    path += part;
  }
  return path;
}

}  // namespace varrow
