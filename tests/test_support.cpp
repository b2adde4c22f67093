#include "tests/test_support.h"

#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace varrow::test {

namespace {
std::atomic<unsigned> g_counter{0};

std::wstring UniqueSuffix() {
  wchar_t text[64];
  swprintf(text, 64, L"%lu_%lu_%u", GetCurrentProcessId(), GetTickCount(), g_counter++);
  return text;
}
}  // namespace

ScratchRegistry::ScratchRegistry() {
  path_ = L"Software\\VarrowTests\\" + UniqueSuffix();
  (void)machine_.Create(HKEY_CURRENT_USER, path_ + L"\\machine", KEY_ALL_ACCESS);
  (void)user_.Create(HKEY_CURRENT_USER, path_ + L"\\user", KEY_ALL_ACCESS);
  (void)users_.Create(HKEY_CURRENT_USER, path_ + L"\\users", KEY_ALL_ACCESS);
  roots_.machine = machine_.Get();
  roots_.user = user_.Get();
  roots_.users = users_.Get();
}

ScratchRegistry::~ScratchRegistry() {
  machine_.Close();
  user_.Close();
  users_.Close();
  SHDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
}

ScratchDir::ScratchDir() {
  wchar_t temp[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, temp);
  std::wstring base(temp, n);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  path_ = base + L"\\varrow_test_" + UniqueSuffix();
  CreateDirectoryW(path_.c_str(), nullptr);
}

void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = dir + L"\\" + name;
      SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(dir.c_str());
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::string PeFile(unsigned machine, const std::string& rest) {
  std::string bytes(0x48, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = 0x40;  // the signature follows the DOS header
  bytes[0x40] = 'P';
  bytes[0x41] = 'E';
  bytes[0x44] = static_cast<char>(machine & 0xFF);
  bytes[0x45] = static_cast<char>(machine >> 8);
  return bytes + rest;
}

namespace {
bool IsFakeLibrary(const std::wstring& path, const std::string& bytes) {
  return path.size() >= 4 && _wcsicmp(path.c_str() + path.size() - 4, L".dll") == 0 &&
         bytes.compare(0, 2, "MZ") != 0;
}
}  // namespace

bool WriteFileText(const std::wstring& path, const std::string& given) {
  const std::string bytes = IsFakeLibrary(path, given) ? PeFile(0x014C, given) : given;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool ReadFileText(const std::wstring& path, std::string* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes->append(chunk, read);
  CloseHandle(file);
  const std::string fakeHeader = PeFile(0x014C);
  if (bytes->compare(0, fakeHeader.size(), fakeHeader) == 0) bytes->erase(0, fakeHeader.size());
  return true;
}

bool FileExists(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeDir(const std::wstring& path) {
  std::size_t pos = 0;
  while ((pos = path.find(L'\\', pos + 1)) != std::wstring::npos) {
    CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void SetRaw(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type,
            const void* data, DWORD bytes) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
  }
}

void SetDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value) {
  SetRaw(root, path, name, REG_DWORD, &value, sizeof(value));
}

void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  SetRaw(root, path, name, REG_SZ, value.c_str(),
         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool ValueExists(HKEY root, const std::wstring& path, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

namespace {
void Dump(HKEY key, const std::wstring& prefix, std::wstring* out) {
  std::vector<std::wstring> values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameChars = 16384;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
      break;
    std::vector<BYTE> data(bytes + 2);
    DWORD size = bytes;
    nameChars = 16384;
    RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data.data(), &size);
    std::wstring line = prefix + L":" + name + L"=" + std::to_wstring(type) + L":";
    for (DWORD b = 0; b < size; ++b) {
      wchar_t hex[4];
      swprintf(hex, 4, L"%02x", data[b]);
      line += hex;
    }
    values.push_back(line);
  }
  std::sort(values.begin(), values.end());
  for (auto& v : values) *out += v + L"\n";
  std::vector<std::wstring> subkeys;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    subkeys.push_back(name);
  }
  std::sort(subkeys.begin(), subkeys.end());
  for (auto& s : subkeys) {
    *out += prefix + L"\\" + s + L"\n";
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, s.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
      Dump(child, prefix + L"\\" + s, out);
      RegCloseKey(child);
    }
  }
}
}  // namespace

std::wstring Snapshot(HKEY root, const std::wstring& path) {
  std::wstring out;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return L"<missing>";
  Dump(key, L"", &out);
  RegCloseKey(key);
  return out;
}

}  // namespace varrow::test
