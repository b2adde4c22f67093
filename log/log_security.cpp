#include "log/log_security.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>


namespace monitor {

namespace {

// Authenticated users and OWNER RIGHTS (S-1-3-4), on a log file: read (data,
// attributes, extended attributes, the access list), write, append, wait on it.
// On a folder: list, create files, traverse, read its attributes and access list;
// never create subfolders (FILE_ADD_SUBDIRECTORY is FILE_APPEND_DATA's bit), delete
// children, delete, re-permission or take over.
constexpr wchar_t kFileText[] =
    L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008F;;;AU)(A;;0x12008F;;;S-1-3-4)";
constexpr wchar_t kFolderText[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
    L"(A;;0x1200AB;;;AU)(A;OIIO;0x12008F;;;AU)"
    L"(A;;0x1200AB;;;S-1-3-4)(A;OIIO;0x12008F;;;S-1-3-4)";

bool SameText(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
             CSTR_EQUAL;
}

// `path` without the \\?\ (or \\?\UNC\) prefix GetFinalPathNameByHandleW puts on it.
std::wstring Plain(std::wstring path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + path.substr(8);
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
  return path;
}

// `path` with each existing part in its long form (8.3 names expanded), or as it is.
std::wstring LongForm(const std::wstring& path) {
  std::wstring out(MAX_PATH * 2, L'\0');
  const DWORD n = GetLongPathNameW(path.c_str(), out.data(), static_cast<DWORD>(out.size()));
  if (n == 0 || n >= out.size()) return path;
  out.resize(n);
  return out;
}

// The length of the root of full path `path`: "C:\" or "\\server\share\", with
// the \\?\ or \\?\UNC\ prefix when it has one; 0 when it has none of these.
std::size_t RootLength(const std::wstring& path) {
  std::size_t at = 0;
  bool share = false;
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    at = 8;
    share = true;
  } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
    at = 4;
  } else if (path.compare(0, 2, L"\\\\") == 0) {
    at = 2;
    share = true;
  }
  if (!share) return path.size() >= at + 3 && path[at + 1] == L':' && path[at + 2] == L'\\' ? at + 3 : 0;
  const std::size_t server = path.find(L'\\', at);
  if (server == std::wstring::npos) return path.size();
  const std::size_t end = path.find(L'\\', server + 1);
  return end == std::wstring::npos ? path.size() : end + 1;
}

// The process-wide record of refused logs: a small named section per process,
// made at the first refusal and kept (one handle) until the process ends.
struct RefusalSlot {
  volatile LONG state;  // 0 free, 1 being filled, 2 in use
  LONG problem;
  volatile LONGLONG lost;
  wchar_t path[MAX_PATH];
};
constexpr int kRefusalSlots = 8;
struct RefusalTable {
  RefusalSlot slots[kRefusalSlots];
};

void RefusalName(wchar_t (&name)[64]) {
  swprintf(name, 64, L"Local\\OvraLogRefusals-%08lX", static_cast<unsigned long>(GetCurrentProcessId()));
}

// The table mapped (and its handle in `*section`), or null; `create` makes it when missing.
RefusalTable* MapRefusals(bool create, HANDLE* section) {
  wchar_t name[64];
  RefusalName(name);
  HANDLE handle = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
  if (handle == nullptr && create) {
    // Kept open on purpose until the process ends: the record outlives the
    // library that made it, so that the next library loaded reports it.
    HANDLE kept = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(RefusalTable), name);
    if (kept == nullptr) return nullptr;
    handle = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
  }
  if (handle == nullptr) return nullptr;
  void* view = MapViewOfFile(handle, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(RefusalTable));
  if (view == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  *section = handle;
  return static_cast<RefusalTable*>(view);
}

void UnmapRefusals(RefusalTable* table, HANDLE section) {
  UnmapViewOfFile(table);
  CloseHandle(section);
}

}  // namespace

const wchar_t* LogSecurityText(bool folder) { return folder ? kFolderText : kFileText; }

LogSecurity::LogSecurity(bool folder) {
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(LogSecurityText(folder), SDDL_REVISION_1, &descriptor_,
                                                           nullptr)) {
    attributes_.lpSecurityDescriptor = descriptor_;
  } else {
    descriptor_ = nullptr;
  }
}

LogSecurity::~LogSecurity() {
  if (descriptor_ != nullptr) LocalFree(descriptor_);
}

const char* LinkProblemText(LinkProblem problem) {
  switch (problem) {
    case LinkProblem::None: return "no problem";
    case LinkProblem::FolderIsLink: return "a folder on its path is a link (junction or symbolic link)";
    case LinkProblem::FileIsLink: return "the file is a link (symbolic link or other reparse point)";
    case LinkProblem::Elsewhere: return "the file opened is not at the path asked for (a link on the way)";
    case LinkProblem::SeveralNames: return "the file has more than one name (hard link)";
    case LinkProblem::NoFolder: return "its folder cannot be made";
  }
  return "refused";
}

LinkProblem CreateLogFolders(const std::wstring& folder) {
  std::wstring path = folder;
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  const std::size_t root = RootLength(path + L"\\");
  if (root == 0) return LinkProblem::NoFolder;
  LogSecurity security(true);
  // From the root down: an existing part must be a plain folder; a missing one
  // is made with the folder descriptor (and then checked like the others).
  for (std::size_t end = root; end <= path.size() && end != std::wstring::npos;) {
    std::size_t next = path.find(L'\\', end);
    if (next == std::wstring::npos) next = path.size();
    if (next > end) {
      const std::wstring part = path.substr(0, next);
      DWORD attributes = GetFileAttributesW(part.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (security.Attributes() == nullptr) return LinkProblem::NoFolder;  // never with a looser list
        if (!CreateDirectoryW(part.c_str(), security.Attributes()) && GetLastError() != ERROR_ALREADY_EXISTS) {
          return LinkProblem::NoFolder;
        }
        attributes = GetFileAttributesW(part.c_str());
      }
      if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return LinkProblem::NoFolder;
      }
      if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return LinkProblem::FolderIsLink;
    }
    end = next + 1;
  }
  return LinkProblem::None;
}

LinkProblem CheckOpenedLog(HANDLE file, const std::wstring& asked) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info)) {
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return LinkProblem::FileIsLink;
    if (info.nNumberOfLinks > 1) return LinkProblem::SeveralNames;
  }
  std::wstring final(MAX_PATH * 2, L'\0');
  DWORD n = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
  if (n >= final.size()) {
    final.resize(n + 1);
    n = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
  }
  if (n == 0 || n >= final.size()) return LinkProblem::None;  // the file system cannot tell: the checks above stand
  final.resize(n);
  final = Plain(final);
  const std::wstring plain = Plain(asked);
  if (SameText(final, plain) || SameText(final, LongForm(plain))) return LinkProblem::None;
  // A mapped network drive is reported by its share: compare what follows the roots.
  const std::size_t root = RootLength(plain);
  if (root == 3 && plain[1] == L':') {
    const wchar_t drive[4] = {plain[0], L':', L'\\', L'\0'};
    if (GetDriveTypeW(drive) == DRIVE_REMOTE) {
      const std::size_t finalRoot = RootLength(final);
      if (finalRoot != 0 && SameText(final.substr(finalRoot), plain.substr(root))) return LinkProblem::None;
    }
  }
  return LinkProblem::Elsewhere;
}

void NoteRefusedLog(const std::wstring& path, LinkProblem problem, std::uint64_t lost) noexcept {
  HANDLE section = nullptr;
  RefusalTable* table = MapRefusals(true, &section);
  if (table == nullptr) return;
  const std::size_t length = std::min<std::size_t>(path.size(), MAX_PATH - 1);
  RefusalSlot* slot = nullptr;
  for (RefusalSlot& s : table->slots) {
    if (s.state == 2 && s.problem == static_cast<LONG>(problem) && wcsncmp(s.path, path.c_str(), length) == 0 &&
        s.path[length] == L'\0') {
      slot = &s;
      break;
    }
  }
  for (int i = 0; slot == nullptr && i < kRefusalSlots; ++i) {
    RefusalSlot& s = table->slots[i];
    if (InterlockedCompareExchange(&s.state, 1, 0) != 0) continue;
    wmemcpy(s.path, path.c_str(), length);
    s.path[length] = L'\0';
    s.problem = static_cast<LONG>(problem);
    InterlockedExchange(&s.state, 2);
    slot = &s;
  }
  if (slot != nullptr) InterlockedExchangeAdd64(&slot->lost, static_cast<LONGLONG>(lost));
  UnmapRefusals(table, section);
}

std::vector<std::string> TakeRefusalNotes() {
  std::vector<std::string> notes;
  HANDLE section = nullptr;
  RefusalTable* table = MapRefusals(false, &section);
  if (table == nullptr) return notes;
  try {
    for (RefusalSlot& s : table->slots) {
      if (s.state != 2) continue;
      const LONGLONG lost = InterlockedExchange64(&s.lost, 0);
      if (lost <= 0) continue;
      const std::wstring path(s.path, wcsnlen(s.path, MAX_PATH - 1));
      const LONG problem = s.problem;
      const char* why = problem >= 0 && problem <= static_cast<LONG>(LinkProblem::NoFolder)
                            ? LinkProblemText(static_cast<LinkProblem>(problem))
                            : "refused";
      notes.push_back("the log file " + PathUtf8(path) + " was refused: " + why + "; " + std::to_string(lost) +
                      " entries not logged");
    }
  } catch (...) {
  }
  UnmapRefusals(table, section);
  return notes;
}

std::string PathUtf8(const std::wstring& path) {
  if (path.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), out.data(), n, nullptr,
                        nullptr);
  }
  return out;
}

}  // namespace monitor
