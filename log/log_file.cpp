// The writer's log file (writer thread, or the exit flush): opened without
// following links, checked to be still the one at its path, locked by byte
// ranges far beyond its end, started afresh once per process when asked, and
// each batch written over the closing pieces of the file or appended.
#include "log/log_writer.h"

#include <algorithm>
#include <cstdio>

namespace monitor {

namespace {

// Writes `text` whole at the file pointer; false when it cannot.
bool WriteWhole(HANDLE file, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 24));
    if (!WriteFile(file, text.data() + done, chunk, &wrote, nullptr) || wrote == 0) return false;
    done += wrote;
  }
  return true;
}

constexpr DWORD kFileLockWaitMs = 5000;       // another writer holding the file this long: not this batch
// What a writer needs of its file: read the closing tags, write over them, append.
constexpr DWORD kFileAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

enum Complaint { kOpen = 1, kLock = 2, kWrite = 4 };

bool LockOnce(HANDLE file, DWORD offset, bool exclusive, DWORD* error) {
  OVERLAPPED at{};
  at.Offset = offset;
  at.OffsetHigh = kLogLockOffsetHigh;
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (LockFileEx(file, flags, 0, 1, 0, &at)) return true;
  *error = GetLastError();
  return false;
}

void Unlock(HANDLE file, DWORD offset) {
  OVERLAPPED at{};
  at.Offset = offset;
  at.OffsetHigh = kLogLockOffsetHigh;
  UnlockFileEx(file, 0, 1, 0, &at);
}

// The folder part of `path` up to and including its last separator (empty when none).
std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace

HANDLE HoldLogFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), kFileAccess, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  DWORD error = 0;
  if (!LockOnce(file, kLogBatchLockOffset, true, &error)) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

bool LogWriter::StillAtPath() const {
  FILE_STANDARD_INFO standard{};
  if (GetFileInformationByHandleEx(file_, FileStandardInfo, &standard, sizeof standard) &&
      (standard.DeletePending || standard.NumberOfLinks == 0)) {
    return false;  // deleted, gone once the last handle is closed
  }
  HANDLE probe = CreateFileW(fullPath_.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;  // deleted or moved away
  }
  BY_HANDLE_FILE_INFORMATION ours{}, there{};
  bool same = true;  // when it cannot be told, keep the file
  if (GetFileInformationByHandle(file_, &ours) && GetFileInformationByHandle(probe, &there)) {
    same = ours.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
           ours.nFileIndexHigh == there.nFileIndexHigh && ours.nFileIndexLow == there.nFileIndexLow;
  }
  CloseHandle(probe);
  return same;
}

bool LogWriter::OpenFile() {
  if (file_ != INVALID_HANDLE_VALUE) {
    // Looked up by path once per round of batches (a lookup costs more than a
    // batch of entries); at exit never (it allocates).
    if (exiting_ || !checkPath_) return true;
    checkPath_ = false;
    if (StillAtPath()) return true;
    CloseFile();  // deleted, moved or replaced: the file at the path is the log now
  }
  // At process exit only a file already open is written: opening one resolves
  // paths and allocates, and the heap's lock may be held by a thread gone.
  if (exiting_ || refused_ != LinkProblem::None) return false;
  if (fullPath_.empty()) {
    wchar_t full[MAX_PATH * 2];
    const DWORD n = GetFullPathNameW(options_.path.c_str(), MAX_PATH * 2, full, nullptr);
    fullPath_ = (n == 0 || n >= MAX_PATH * 2) ? options_.path : std::wstring(full);
  }
  // Never through a link: no folder is made below one, the file itself is
  // opened rather than followed when it is one, and the file opened must be
  // the one at the path, under that one name.
  if (CreateLogFolders(FolderOf(fullPath_)) == LinkProblem::FolderIsLink) {
    Refuse(LinkProblem::FolderIsLink);
    return false;
  }
  LogSecurity security(false);
  if (security.Attributes() == nullptr) {  // never a file with a looser list than ours
    lastError_ = GetLastError();
    Complain(kOpen, L"cannot build the access list of the log file", lastError_);
    return false;
  }
  HANDLE file = CreateFileW(fullPath_.c_str(), kFileAccess, kShareAll, security.Attributes(), OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    lastError_ = GetLastError();
    Complain(kOpen, L"cannot open the log file", lastError_);
    return false;
  }
  const LinkProblem problem = CheckOpenedLog(file, fullPath_);
  if (problem != LinkProblem::None) {
    CloseHandle(file);
    Refuse(problem);
    return false;
  }
  file_ = file;
  present_ = false;
  sessionOpen_ = false;
  complained_ &= ~kOpen;
  return true;
}

void LogWriter::CloseFile() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);  // its locks go with it
  file_ = INVALID_HANDLE_VALUE;
  present_ = false;
  sessionOpen_ = false;
}

bool LogWriter::LockRange(DWORD offset, bool exclusive, DWORD waitMs) const {
  DWORD error = 0;
  const ULONGLONG until = GetTickCount64() + waitMs;
  for (DWORD pause = 0;; pause = std::min<DWORD>(pause + 1, 10)) {
    if (LockOnce(file_, offset, exclusive, &error)) return true;
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_SHARING_VIOLATION && error != ERROR_IO_PENDING) {
      return false;
    }
    if (GetTickCount64() >= until) return false;
    Sleep(pause);
  }
}

bool LogWriter::FirstInProcess() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file_, &info)) return true;
  wchar_t name[96];
  swprintf(name, 96, L"Local\\OvraLogStarted-%08lX-%08lX-%08lX%08lX",
           static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(info.dwVolumeSerialNumber),
           static_cast<unsigned long>(info.nFileIndexHigh), static_cast<unsigned long>(info.nFileIndexLow));
  HANDLE known = OpenMutexW(SYNCHRONIZE, FALSE, name);
  if (known != nullptr) {
    CloseHandle(known);
    return false;
  }
  // Kept until the process ends, on purpose: the monitor may be unloaded and
  // loaded again within the process, and its file is started afresh once.
  CreateMutexW(nullptr, FALSE, name);
  return true;
}

bool LogWriter::WriteText(const std::string& before, const std::string& entries) {
  if (!OpenFile()) return false;
  // At process exit another writer's batch is not waited for.
  if (!LockRange(kLogBatchLockOffset, true, exiting_ ? 0 : kFileLockWaitMs)) {
    lastError_ = GetLastError() != 0 ? GetLastError() : ERROR_LOCK_VIOLATION;
    Complain(kLock, L"another writer holds the log file", lastError_);
    return false;
  }
  std::string notes;
  if (!present_) {
    // This writer's first batch on this handle: is another writer on the file?
    DWORD error = 0;
    const bool alone = LockOnce(file_, kLogPresenceLockOffset, true, &error);
    if (alone) Unlock(file_, kLogPresenceLockOffset);
    if (!overwriteDecided_) {
      overwriteDecided_ = true;
      if (options_.overwrite && FirstInProcess()) {
        if (alone) {
          pendingTruncate_ = true;
        } else {
          notes = Note("Overwrite", "another program is logging to this file: this session is appended");
        }
      }
    }
    present_ = LockOnce(file_, kLogPresenceLockOffset, false, &error);
  }
  bool ok = false;
  do {
    if (pendingTruncate_) {
      LARGE_INTEGER zero{};
      if (!SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN)) break;
      if (!SetEndOfFile(file_)) {
        // A viewer has the file mapped: it cannot be cut, so this session is appended.
        if (GetLastError() != ERROR_USER_MAPPED_FILE) break;
        notes += Note("Overwrite", "another program has this file mapped (a viewer): this session is appended");
      }
      pendingTruncate_ = false;
      sessionOpen_ = false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_, &size)) break;
    FileEnd end;
    end.size = static_cast<std::uint64_t>(size.QuadPart);
    const std::string fileTail = FileTail(options_.format);
    const std::string closing = SessionTail(options_.format) + fileTail;
    std::string last;
    if (!closing.empty() && end.size >= closing.size()) {
      LARGE_INTEGER at;
      at.QuadPart = static_cast<LONGLONG>(end.size - closing.size());
      last.resize(closing.size());
      DWORD got = 0;
      if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) ||
          !ReadFile(file_, last.data(), static_cast<DWORD>(last.size()), &got, nullptr)) {
        break;
      }
      last.resize(got);
    }
    end.endsWithOwnSession = sessionOpen_ && end.size == lastEnd_ && last == closing;
    end.endsWithFileTail = !fileTail.empty() && last.size() >= fileTail.size() &&
                           last.compare(last.size() - fileTail.size(), fileTail.size(), fileTail) == 0;
    // A block after another writer's is marked as the continuation of this session.
    SessionInfo session = options_.session;
    session.continued = blocks_ > 0;
    // The head, the entries and the closing pieces, one after the other (the
    // entries are not copied again to join them).
    BatchFrame frame = FrameBatch(options_.format, end, session, options_.title);
    frame.head += notes;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(frame.offset);
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) break;
    if (!WriteWhole(file_, frame.head) || !WriteWhole(file_, before) || !WriteWhole(file_, entries) ||
        !WriteWhole(file_, frame.tail)) {
      break;
    }
    if (!end.endsWithOwnSession) ++blocks_;
    lastEnd_ = frame.offset + frame.head.size() + before.size() + entries.size() + frame.tail.size();
    sessionOpen_ = true;
    ok = true;
  } while (false);
  const DWORD error = GetLastError();
  Unlock(file_, kLogBatchLockOffset);
  if (!ok) {
    lastError_ = error;
    Complain(kWrite, L"cannot write the log file", error);
    // Reopen next time: the file may have been replaced or the disk freed.
    CloseFile();
  } else {
    complained_ &= ~(kWrite | kLock);
  }
  return ok;
}

void LogWriter::Complain(int kind, const wchar_t* what, DWORD error) {
  if ((complained_ & kind) != 0 || exiting_) return;
  complained_ |= kind;
  wchar_t line[MAX_PATH * 2 + 200];
  swprintf(line, sizeof line / sizeof line[0],
           L"[%hs monitor] %ls %ls (error %lu); calls are forwarded unchanged, entries are kept for a "
           L"while and then counted as lost in a note of the log\n",
           options_.api.c_str(), what, options_.path.c_str(), static_cast<unsigned long>(error));
  OutputDebugStringW(line);
}

}  // namespace monitor
