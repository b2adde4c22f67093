#include "installer/pdu_root_file.h"

#include <vector>

#include "monitoring/path_rules.h"
#include "settings/native_files.h"
#include "settings/owned_handle.h"

namespace varrow {
namespace {

constexpr wchar_t kPduKey[] = L"SOFTWARE\\D-PDU API";
constexpr wchar_t kRootValue[] = L"Root File";
constexpr wchar_t kInstallerKey[] = L"SOFTWARE\\OVRA\\Installer";
constexpr wchar_t kVendorKey[] = L"SOFTWARE\\OVRA";
constexpr DWORD kValueChars = 32767;

REGSAM View(bool native64) { return native64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }
std::wstring RecordKey(bool native64) {
  return std::wstring(kInstallerKey) + (native64 ? L"\\PduRoot64" : L"\\PduRoot32");
}

std::string Utf8(const std::wstring& s) {
  if (s.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// Owns an open registry key.
struct Key {
  HKEY key = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (key != nullptr) RegCloseKey(key);
  }
};

// A string value of at most kValueChars characters (REG_EXPAND_SZ expanded);
// ERROR_FILE_NOT_FOUND when absent, ERROR_INVALID_DATA for another type.
LONG ReadString(HKEY key, const wchar_t* name, std::wstring* out) {
  std::vector<wchar_t> buffer(kValueChars + 1);
  DWORD type = 0, bytes = kValueChars * sizeof(wchar_t);
  const LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  buffer[bytes / sizeof(wchar_t)] = L'\0';
  std::wstring value = buffer.data();
  if (type == REG_EXPAND_SZ) {
    std::vector<wchar_t> expanded(kValueChars + 1);
    const DWORD n = ExpandEnvironmentStringsW(value.c_str(), expanded.data(), kValueChars);
    if (n == 0 || n > kValueChars) return ERROR_INVALID_DATA;
    value = expanded.data();
  }
  *out = std::move(value);
  return ERROR_SUCCESS;
}

LONG WriteString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Deletes `path` under `machine` when it holds neither values nor subkeys.
void DeleteIfEmpty(HKEY machine, const wchar_t* path, REGSAM view) {
  Key key;
  if (RegOpenKeyExW(machine, path, 0, KEY_READ | view, &key.key) != ERROR_SUCCESS) return;
  DWORD subkeys = 1, values = 1;
  if (RegQueryInfoKeyW(key.key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS || subkeys != 0 || values != 0)
    return;
  (void)RegDeleteKeyExW(machine, path, view, 0);
}

// True when the open `file` is the file at `path` itself, as far as the file
// system can tell: its final path (every link on the way resolved) is `path`
// in its long form. Some platforms (Wine) show a link to a file only this way.
bool OpenedItself(HANDLE file, const std::wstring& path) {
  std::vector<wchar_t> final(kValueChars + 1), asked(kValueChars + 1);
  DWORD n = GetFinalPathNameByHandleW(file, final.data(), kValueChars, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= kValueChars) return true;  // cannot tell: the other checks stand
  std::wstring resolved(final.data(), n);
  if (resolved.compare(0, 8, L"\\\\?\\UNC\\") == 0) resolved = L"\\\\" + resolved.substr(8);
  else if (resolved.compare(0, 4, L"\\\\?\\") == 0) resolved = resolved.substr(4);
  n = GetLongPathNameW(path.c_str(), asked.data(), kValueChars);
  const std::wstring plain = n > 0 && n < kValueChars ? std::wstring(asked.data(), n) : path;
  return resolved.size() == plain.size() &&
         CompareStringOrdinal(resolved.c_str(), static_cast<int>(resolved.size()), plain.c_str(),
                              static_cast<int>(plain.size()), TRUE) == CSTR_EQUAL;
}

// The root file, opened for reading and writing without following a link.
struct RootFile {
  KernelHandle handle;
  bool exists = false;
  std::string bytes;
  const wchar_t* refused = nullptr;  // why it is left alone
  DWORD code = ERROR_SUCCESS;        // a failure of the machine
};

RootFile OpenRoot(const std::wstring& path) {
  RootFile file;
  if (!PlainFilePath(path)) {
    file.refused = L"not a full file path";
    return file;
  }
  const DWORD byPath = GetFileAttributesW(path.c_str());
  if (byPath == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) file.code = error;
    return file;
  }
  if (byPath & FILE_ATTRIBUTE_REPARSE_POINT) {
    file.refused = L"a link";
    return file;
  }
  if (byPath & FILE_ATTRIBUTE_DIRECTORY) {
    file.refused = L"a folder";
    return file;
  }
  file.handle = KernelHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.handle || !GetFileInformationByHandle(file.handle.Get(), &info)) {
    file.code = GetLastError();
    return file;
  }
  file.exists = true;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    file.refused = L"a link";
    return file;
  }
  if (!OpenedItself(file.handle.Get(), path)) {
    file.refused = L"a link, or in a folder reached through one";
    return file;
  }
  if (info.nNumberOfLinks > 1) {
    file.refused = L"a file with more than one name (a hard link)";
    return file;
  }
  if (info.nFileSizeHigh != 0 || info.nFileSizeLow > pduroot::kMaxRootFileBytes) {
    file.refused = L"larger than 1 MiB";
    return file;
  }
  file.bytes.resize(info.nFileSizeLow);
  DWORD read = 0;
  if (!ReadFile(file.handle.Get(), file.bytes.data(), info.nFileSizeLow, &read, nullptr)) {
    file.code = GetLastError();
    return file;
  }
  file.bytes.resize(read);
  return file;
}

// Makes the file (and its folder, one level) where there is none.
DWORD CreateRoot(const std::wstring& path, RootFile* file) {
  const std::size_t slash = path.rfind(L'\\');
  if (slash != std::wstring::npos && slash > 2) {
    const std::wstring folder = path.substr(0, slash);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && !CreateDirectoryW(folder.c_str(), nullptr)) return GetLastError();
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)))
      return ERROR_ACCESS_DENIED;
  }
  file->handle = KernelHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file->handle ? ERROR_SUCCESS : GetLastError();
}

DWORD WriteAll(const RootFile& file, const std::string& bytes) {
  DWORD written = 0;
  if (SetFilePointer(file.handle.Get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !WriteFile(file.handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !SetEndOfFile(file.handle.Get()) || !FlushFileBuffers(file.handle.Get()))
    return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
  return ERROR_SUCCESS;
}

// Keeps what the view held before this setup's first edit (never replaces a record).
DWORD Remember(HKEY machine, bool native64, const std::wstring& path, const RootFile& file, bool valuePresent,
               const std::wstring& value) {
  Key key;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExW(machine, RecordKey(native64).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                            nullptr, &key.key, &disposition);
  if (rc != ERROR_SUCCESS) return rc;
  if (disposition == REG_OPENED_EXISTING_KEY) return ERROR_SUCCESS;
  rc = WriteString(key.key, L"File", path);
  if (rc == ERROR_SUCCESS && file.exists)
    rc = RegSetValueExW(key.key, L"Before", 0, REG_BINARY, reinterpret_cast<const BYTE*>(file.bytes.data()),
                        static_cast<DWORD>(file.bytes.size()));
  if (rc == ERROR_SUCCESS && valuePresent) rc = WriteString(key.key, L"Value", value);
  return rc;
}

PduRootReport Report(PduRootStep step, const std::wstring& file, const std::wstring& why = L"",
                     DWORD code = ERROR_SUCCESS) {
  return {step, file, why, code};
}

std::wstring Wide(const char* text) {
  std::wstring out;
  for (; text != nullptr && *text != '\0'; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace

PduRootReport AddPduRootEntry(HKEY machine, const PduRootTarget& target) {
  Key key;
  LONG rc = RegCreateKeyExW(machine, kPduKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | View(target.native64),
                            nullptr, &key.key, nullptr);
  if (rc != ERROR_SUCCESS) return Report(PduRootStep::kFailed, L"", L"the D-PDU API key", rc);
  std::wstring value;
  rc = ReadString(key.key, kRootValue, &value);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
    return Report(PduRootStep::kRefused, L"", L"the Root File value is not a string of at most 32767 characters", rc);
  const bool valuePresent = rc == ERROR_SUCCESS;
  const std::wstring path = valuePresent && !value.empty() ? value : target.defaultFile;
  NativeFiles native(target.native64);
  RootFile file = OpenRoot(path);
  if (file.refused != nullptr) return Report(PduRootStep::kRefused, path, file.refused);
  if (file.code != ERROR_SUCCESS) return Report(PduRootStep::kFailed, path, L"reading it", file.code);
  const pduroot::Edit edit = pduroot::AddOrUpdate(file.bytes, target.entry);
  if (edit.outcome == pduroot::Outcome::kRefused) return Report(PduRootStep::kRefused, path, Wide(edit.problem));
  if (edit.outcome == pduroot::Outcome::kUnchanged && path == value) return Report(PduRootStep::kUnchanged, path);
  rc = Remember(machine, target.native64, path, file, valuePresent, value);
  if (rc != ERROR_SUCCESS) return Report(PduRootStep::kFailed, path, L"keeping what was there for a rollback", rc);
  const bool existed = file.exists;
  if (!existed && (rc = CreateRoot(path, &file)) != ERROR_SUCCESS)
    return Report(PduRootStep::kFailed, path, L"making it", rc);
  if ((rc = WriteAll(file, edit.text)) != ERROR_SUCCESS) return Report(PduRootStep::kFailed, path, L"writing it", rc);
  if (path != value && (rc = WriteString(key.key, kRootValue, path)) != ERROR_SUCCESS)
    return Report(PduRootStep::kFailed, path, L"the Root File value", rc);
  bool had = false;
  for (const pduroot::EntrySpan& e : pduroot::ScanRootFile(file.bytes).entries)
    had = had || e.shortName == target.entry.shortName;
  return Report(had ? PduRootStep::kUpdated : PduRootStep::kAdded, path);
}

PduRootReport RemovePduRootEntry(HKEY machine, const PduRootTarget& target) {
  Key key;
  LONG rc = RegOpenKeyExW(machine, kPduKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | View(target.native64), &key.key);
  if (rc == ERROR_FILE_NOT_FOUND) return Report(PduRootStep::kNothing, L"");
  if (rc != ERROR_SUCCESS) return Report(PduRootStep::kFailed, L"", L"the D-PDU API key", rc);
  std::wstring path;
  rc = ReadString(key.key, kRootValue, &path);
  if (rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && path.empty())) return Report(PduRootStep::kNothing, L"");
  if (rc != ERROR_SUCCESS) return Report(PduRootStep::kRefused, L"", L"the Root File value is not a string", rc);
  NativeFiles native(target.native64);
  RootFile file = OpenRoot(path);
  if (file.refused != nullptr) return Report(PduRootStep::kRefused, path, file.refused);
  if (file.code != ERROR_SUCCESS) return Report(PduRootStep::kFailed, path, L"reading it", file.code);
  if (!file.exists) return Report(PduRootStep::kNothing, path);
  const pduroot::Edit edit = pduroot::RemoveEntry(file.bytes, target.entry.shortName);
  if (edit.outcome == pduroot::Outcome::kRefused) return Report(PduRootStep::kRefused, path, Wide(edit.problem));
  if (edit.outcome == pduroot::Outcome::kUnchanged) return Report(PduRootStep::kNothing, path);
  rc = Remember(machine, target.native64, path, file, true, path);
  if (rc != ERROR_SUCCESS) return Report(PduRootStep::kFailed, path, L"keeping what was there for a rollback", rc);
  // Made by the package and nothing added since: the file and the value go.
  if (edit.text == pduroot::EmptyRootFile() && _wcsicmp(path.c_str(), target.defaultFile.c_str()) == 0) {
    file.handle = KernelHandle();
    if (!DeleteFileW(path.c_str())) return Report(PduRootStep::kFailed, path, L"deleting it", GetLastError());
    const std::size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) RemoveDirectoryW(path.substr(0, slash).c_str());  // when empty
    (void)RegDeleteValueW(key.key, kRootValue);
    RegCloseKey(key.key);
    key.key = nullptr;
    DeleteIfEmpty(machine, kPduKey, View(target.native64));
    return Report(PduRootStep::kFileRemoved, path);
  }
  if ((rc = WriteAll(file, edit.text)) != ERROR_SUCCESS) return Report(PduRootStep::kFailed, path, L"writing it", rc);
  return Report(PduRootStep::kRemoved, path);
}

PduRootReport RestorePduRoot(HKEY machine, bool native64) {
  Key record;
  if (RegOpenKeyExW(machine, RecordKey(native64).c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &record.key) != ERROR_SUCCESS)
    return Report(PduRootStep::kNothing, L"");
  std::wstring path, value;
  if (ReadString(record.key, L"File", &path) != ERROR_SUCCESS || !PlainFilePath(path))
    return Report(PduRootStep::kRefused, L"", L"the record names no file");
  const bool hadValue = ReadString(record.key, L"Value", &value) == ERROR_SUCCESS;
  DWORD type = 0, bytes = 0;
  const bool hadFile = RegQueryValueExW(record.key, L"Before", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
                       type == REG_BINARY && bytes <= pduroot::kMaxRootFileBytes;
  std::string before(hadFile ? bytes : 0, '\0');
  if (hadFile && RegQueryValueExW(record.key, L"Before", nullptr, &type, reinterpret_cast<BYTE*>(before.data()),
                                  &bytes) != ERROR_SUCCESS)
    return Report(PduRootStep::kFailed, path, L"reading the record", ERROR_INVALID_DATA);
  NativeFiles native(native64);
  RootFile file = OpenRoot(path);
  if (file.refused != nullptr) return Report(PduRootStep::kRefused, path, file.refused);
  DWORD rc = ERROR_SUCCESS;
  if (hadFile) {
    if (!file.exists) rc = CreateRoot(path, &file);
    if (rc == ERROR_SUCCESS) rc = WriteAll(file, before);
  } else if (file.exists) {
    file.handle = KernelHandle();
    if (!DeleteFileW(path.c_str())) rc = GetLastError();
    const std::size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) RemoveDirectoryW(path.substr(0, slash).c_str());  // when empty
  }
  Key key;
  if (RegCreateKeyExW(machine, kPduKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE | View(native64), nullptr,
                      &key.key, nullptr) == ERROR_SUCCESS) {
    if (hadValue) (void)WriteString(key.key, kRootValue, value);
    else (void)RegDeleteValueW(key.key, kRootValue);
    RegCloseKey(key.key);
    key.key = nullptr;
    if (!hadValue) DeleteIfEmpty(machine, kPduKey, View(native64));
  }
  return Report(rc == ERROR_SUCCESS ? PduRootStep::kRestored : PduRootStep::kFailed, path, L"putting it back", rc);
}

void ForgetPduRootRecords(HKEY machine) {
  for (const bool native64 : {false, true})
    (void)RegDeleteKeyExW(machine, RecordKey(native64).c_str(), KEY_WOW64_32KEY, 0);
  DeleteIfEmpty(machine, kInstallerKey, KEY_WOW64_32KEY);
  DeleteIfEmpty(machine, kVendorKey, KEY_WOW64_32KEY);
}

bool ParsePduRootTargets(const std::wstring& data, std::vector<PduRootTarget>* targets) {
  std::vector<std::wstring> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = data.find(L'|', start);
    fields.push_back(data.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start));
    if (bar == std::wstring::npos) break;
    start = bar + 1;
  }
  if (fields.size() % 5 != 0 || fields.size() > 10) return false;
  targets->clear();
  for (std::size_t i = 0; i < fields.size(); i += 5) {
    if (fields[i] != L"32" && fields[i] != L"64") return false;
    for (std::size_t k = 1; k < 5; ++k)
      if (!PlainFilePath(fields[i + k])) return false;
    PduRootTarget t;
    t.native64 = fields[i] == L"64";
    t.defaultFile = fields[i + 1];
    t.entry.description = "OVRA VCI D-PDU API (simulated VCI)";
    t.entry.supplier = "OVRA";
    t.entry.libraryUri = pduroot::FileUri(Utf8(fields[i + 2]));
    t.entry.moduleUri = pduroot::FileUri(Utf8(fields[i + 3]));
    t.entry.cableUri = pduroot::FileUri(Utf8(fields[i + 4]));
    targets->push_back(std::move(t));
  }
  return true;
}

const wchar_t* PduRootStepName(PduRootStep step) {
  switch (step) {
    case PduRootStep::kAdded: return L"our entry added";
    case PduRootStep::kUpdated: return L"our entry updated";
    case PduRootStep::kUnchanged: return L"our entry already there";
    case PduRootStep::kRemoved: return L"our entry removed";
    case PduRootStep::kFileRemoved: return L"our entry removed, with the file and value the package had made";
    case PduRootStep::kRestored: return L"put back as it was before the setup";
    case PduRootStep::kNothing: return L"nothing to do";
    case PduRootStep::kRefused: return L"left alone";
    case PduRootStep::kFailed: return L"failed";
  }
  return L"?";
}

}  // namespace varrow
