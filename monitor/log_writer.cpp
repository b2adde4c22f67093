#include "monitor/log_writer.h"

#include <algorithm>
#include <cstdio>

#include "monitor/log_format.h"
#include "monitor/log_security.h"
#include "hosted/module_release.h"
#include "monitor/precise_time.h"
#include "monitor/settings_lookup.h"
#include "monitor/split_heap.h"
#include "monitor/text_rules.h"
#include "monitor/win_text.h"

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

constexpr std::size_t kBatchEntries = 4096;   // entries rendered and written at once at most ...
// ... and the text a batch ends at: large messages (a 4 KB one renders to about
// 14 KB) must not ask a 32-bit host for one block of a hundred megabytes.
constexpr std::size_t kBatchTextBytes = 4u << 20;
constexpr std::size_t kKeptBatchRoom = 4u << 20;     // a batch's text room kept for the next one at most
constexpr std::size_t kKeptScratchRoom = 256u << 10;  // room of the entry being rendered kept at most
constexpr DWORD kFileLockWaitMs = 5000;       // another writer holding the file this long: not this batch
// What a writer needs of its file: read the closing tags, write over them, append.
constexpr DWORD kFileAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

enum Complaint { kOpen = 1, kLock = 2, kWrite = 4 };

std::uint64_t NowLocalFileTime() {
  FILETIME utc;
  PreciseSystemTime(&utc);
  FILETIME local;
  if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
  return (static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
}

std::string EntryFieldBytes(const LogEntry& e) {
  std::string s = e.function + e.result;
  for (const Field& f : e.fields) s += f.name + f.value;
  return s;
}

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

}  // namespace

std::size_t ReadyEntry::Bytes() const { return sizeof *this + EntryFieldBytes(entry_).size(); }

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

LogWriter::LogWriter(WriterOptions options) : options_(std::move(options)) {
  // Held for a push or a swap only: contended briefly, so spin rather than sleep.
  InitializeCriticalSectionAndSpinCount(&queueLock_, 4000);
  InitializeCriticalSection(&writeLock_);
  InitializeCriticalSectionAndSpinCount(&garbageLock_, 4000);
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

LogWriter::~LogWriter() {
  // Destroyed when the library is let go (the writer thread then holds it no
  // longer, so it has ended) and by the tests once the thread has ended.
  for (;;) {
    EnterCriticalSection(&queueLock_);
    const bool running = running_;
    LeaveCriticalSection(&queueLock_);
    if (!running) break;
    Sleep(5);
  }
  CloseFile();
  if (thread_ != nullptr) CloseHandle(thread_);
  if (wake_ != nullptr) CloseHandle(wake_);
  garbage_.clear();
  DeleteCriticalSection(&garbageLock_);
  DeleteCriticalSection(&writeLock_);
  DeleteCriticalSection(&queueLock_);
}

bool LogWriter::Submit(std::unique_ptr<EntrySource> entry) noexcept {
  if (!entry) return false;
  bool start = false;
  bool urgent = false;
  try {
    const std::size_t bytes = entry->Bytes();
    EnterCriticalSection(&queueLock_);
    if (queue_.size() >= options_.maxEntries || queuedBytes_ + bytes > options_.maxBytes) {
      ++droppedSinceLast_;
      LeaveCriticalSection(&queueLock_);
      ++dropped_;
      return false;
    }
    try {
      queue_.push_back(std::move(entry));
    } catch (...) {
      ++droppedSinceLast_;
      LeaveCriticalSection(&queueLock_);
      ++dropped_;
      return false;
    }
    queuedBytes_ += bytes;
    start = !running_;
    if (start) {
      running_ = true;
      endNow_ = false;
    }
    // Half full: wake the writer now (once, when the queue crosses the mark).
    urgent = queue_.size() == options_.maxEntries / 2 ||
             (queuedBytes_ * 2 >= options_.maxBytes && (queuedBytes_ - bytes) * 2 < options_.maxBytes);
    LeaveCriticalSection(&queueLock_);
  } catch (...) {
    ++dropped_;
    return false;
  }
  ++queued_;
  CollectGarbage();
  if (start) {
    StartThread();
  } else if (urgent) {
    SetEvent(wake_);
  }
  return true;
}

void LogWriter::StartThread() noexcept {
  // The thread keeps this module loaded while it runs, and lets it go when it ends.
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&LogWriter::ThreadMain),
                     &module);
  HANDLE thread = CreateThread(nullptr, 0, &LogWriter::ThreadMain, this, 0, nullptr);
  if (thread == nullptr) {
    if (module != nullptr && module != GetModuleHandleW(nullptr)) FreeLibrary(module);
    EnterCriticalSection(&queueLock_);
    running_ = false;  // the next entry tries again
    LeaveCriticalSection(&queueLock_);
    return;
  }
  EnterCriticalSection(&queueLock_);
  HANDLE previous = thread_;  // a thread that has ended or is ending
  thread_ = thread;
  LeaveCriticalSection(&queueLock_);
  if (previous != nullptr) CloseHandle(previous);
}

void LogWriter::CollectGarbage() noexcept {
  // Twice what an entry adds: the list shrinks, and no call pays for many
  // frees at once (after a batch, the next calls share them).
  constexpr int kPerCall = 2;
  std::unique_ptr<EntrySource> doomed[kPerCall];
  int n = 0;
  if (!TryEnterCriticalSection(&garbageLock_)) return;  // never wait for it
  while (n < kPerCall && !garbage_.empty()) {
    doomed[n++] = std::move(garbage_.back());
    garbage_.pop_back();
  }
  LeaveCriticalSection(&garbageLock_);
  // The entries are destroyed here, outside the lock, by the thread that queued such entries.
}

DWORD WINAPI LogWriter::ThreadMain(void* self) {
  try {
    MarkWriterThread(true);  // the text work allocates from a heap of its own
    static_cast<LogWriter*>(self)->Run();
  } catch (...) {
  }
  MarkWriterThread(false);
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&LogWriter::ThreadMain), &module);
  if (module != nullptr && module != GetModuleHandleW(nullptr)) {
    ReleaseThreadRuntimeData(module);  // this thread leaves the library for good
    FreeLibraryAndExitThread(module, 0);
  }
  return 0;
}

void LogWriter::Run() {
  DWORD idle = 0;
  for (;;) {
    const DWORD woken = WaitForSingleObject(wake_, options_.periodMs);
    std::uint64_t dropped = 0;
    EnterCriticalSection(&queueLock_);
    TakeQueue(&taken_, &dropped);
    const bool nothing = taken_.empty() && dropped == 0;
    if (nothing && (endNow_ || idle >= options_.idleExitMs)) {
      running_ = false;
      endNow_ = false;
      LeaveCriticalSection(&queueLock_);
      // The room kept for rendering goes back to the writer's heap before the writer ends.
      EnterCriticalSection(&writeLock_);
      ReleaseRoom(true);
      LeaveCriticalSection(&writeLock_);
      // Calls have stopped: what the callers did not free is freed now.
      EnterCriticalSection(&garbageLock_);
      Queue rest;
      std::swap(rest, garbage_);
      LeaveCriticalSection(&garbageLock_);
      return;
    }
    LeaveCriticalSection(&queueLock_);
    if (nothing && carry_.empty()) {
      idle = woken == WAIT_OBJECT_0 ? 0 : idle + options_.periodMs;
      continue;
    }
    idle = 0;
    EnterCriticalSection(&writeLock_);
    WriteAll(taken_, dropped, false);
    LeaveCriticalSection(&writeLock_);
  }
}

void LogWriter::TakeQueue(Queue* taken, std::uint64_t* dropped) {
  taken->clear();
  std::swap(queue_, *taken);  // O(1) under the lock; the queue keeps the spare room
  queuedBytes_ = 0;
  *dropped = droppedSinceLast_;
  droppedSinceLast_ = 0;
}

void LogWriter::WriteAll(Queue& taken, std::uint64_t dropped, bool atExit) {
  checkPath_ = true;
  const std::unique_ptr<EntrySource>* first = taken.data();
  const std::unique_ptr<EntrySource>* end = first + taken.size();
  do {
    const std::unique_ptr<EntrySource>* last =
        first + std::min<std::size_t>(static_cast<std::size_t>(end - first), kBatchEntries);
    first = WriteBatch(first, last, dropped);
    dropped = 0;
  } while (first != end);
  if (atExit) {
    // Another thread may have died holding the garbage lock, or the callers'
    // heap: the entries stay where they are until the process is gone.
    for (std::unique_ptr<EntrySource>& entry : taken) static_cast<void>(entry.release());
    taken.clear();
    return;
  }
  // The entries go to the callers, who free them where they were allocated.
  EnterCriticalSection(&garbageLock_);
  if (garbage_.empty()) {
    std::swap(garbage_, taken);
  } else {
    for (std::unique_ptr<EntrySource>& entry : taken) garbage_.push_back(std::move(entry));
  }
  LeaveCriticalSection(&garbageLock_);
  taken.clear();
}

std::string LogWriter::Note(const char* name, const std::string& text) const {
  LogEntry note;
  note.time = WallTimeFromFileTime(NowLocalFileTime());
  note.processId = GetCurrentProcessId();
  note.threadId = GetCurrentThreadId();
  note.function = "(monitor)";
  note.phase = Phase::Note;
  note.fields.push_back({name, text});
  if (options_.debugView && !exiting_) OutputDebugStringA(DebugLine(options_.api, note).c_str());
  return RenderEntry(options_.format, note);
}

const std::unique_ptr<EntrySource>* LogWriter::WriteBatch(const std::unique_ptr<EntrySource>* first,
                                                         const std::unique_ptr<EntrySource>* last,
                                                         std::uint64_t dropped) {
  // Notes of logs refused in this process go into the first log that opens.
  if (refused_ == LinkProblem::None && !exiting_ && OpenFile()) {
    try {
      for (const std::string& note : TakeRefusalNotes()) refusalNotes_ += Note("Refused", note);
    } catch (...) {
    }
  }
  if (refused_ != LinkProblem::None) {
    // Logging to this file has stopped: the entries are counted, not rendered.
    const std::uint64_t count = static_cast<std::uint64_t>(last - first);
    LoseRefused(count, dropped);
    ++batches_;
    requested_ += count;
    return last;
  }
  std::uint64_t rendered = 0;
  std::string& entries = batchText_;  // its room is kept from one batch to the next
  entries.clear();
  try {
    entries.reserve(static_cast<std::size_t>(last - first) * 384);  // about an 8-byte write's: few regrowths
  } catch (...) {
  }
  const std::unique_ptr<EntrySource>* source = first;
  for (; source != last && entries.size() < kBatchTextBytes; ++source) {
    try {
      LogEntry& entry = scratchEntry_;
      (*source)->Build(&entry);
      try {
        decoder_.Decode(&entry);
      } catch (...) {
        entry.conversation = Conversation();  // out of memory: the entry goes without its decoded text
      }
      AppendEntry(options_.format, entry, &entries, scratchText_);
      if (options_.debugView) OutputDebugStringA(DebugLine(options_.api, entry).c_str());
      ++rendered;
    } catch (...) {
    }
  }
  const std::uint64_t count = static_cast<std::uint64_t>(source - first);
  dropped_ += count - rendered;
  queueLost_ += dropped + (count - rendered);
  std::string text = refusalNotes_;
  if (queueLost_ != 0) {
    text += Note("Dropped", std::to_string(queueLost_) + " entries not logged (queue full or no memory)");
  }
  if (unwritableLost_ != 0) {
    text += Note("Unwritten", std::to_string(unwritableLost_) +
                                  " entries not logged: the log file could not be written (error " +
                                  std::to_string(lastError_) + ")");
  }
  // The notes and the carried entries come first; the batch's text is written as it is.
  text += carry_;
  if (WriteText(text, entries)) {
    written_ += carryCount_ + rendered;
    carry_.clear();
    carryCount_ = 0;
    queueLost_ = 0;
    unwritableLost_ = 0;
    refusalNotes_.clear();
  } else if (refused_ != LinkProblem::None) {
    LoseRefused(rendered, 0);
  } else if (carry_.size() + entries.size() <= options_.maxCarryBytes) {
    // Kept for the next batch (a file held without write sharing, a moment's lock).
    carry_ += entries;
    carryCount_ += rendered;
  } else {
    // Lost, counted, and noted in the first batch that can be written.
    const std::uint64_t lost = carryCount_ + rendered;
    dropped_ += lost;
    unwritten_ += lost;
    unwritableLost_ += lost;
    carry_.clear();
    carryCount_ = 0;
  }
  ++batches_;
  requested_ += count;
  // Room grown by large entries is not kept.
  if (entries.capacity() > kKeptBatchRoom) std::string().swap(entries);
  std::size_t room = 0;
  for (const std::string& text : scratchText_) room += text.capacity();
  for (const auto* fields : {&scratchEntry_.fields, &scratchEntry_.spareFields}) {
    for (const Field& field : *fields) room += field.name.capacity() + field.value.capacity();
  }
  for (const auto* frames : {&scratchEntry_.frames, &scratchEntry_.spareFrames}) {
    for (const DiagFrame& frame : *frames) room += frame.bytes.capacity();
  }
  if (room > kKeptScratchRoom) ReleaseRoom(false);
  return source;
}

void LogWriter::LoseRefused(std::uint64_t entries, std::uint64_t dropped) {
  // What was carried and what was dropped or unwritten before go with them.
  const std::uint64_t lost = entries + carryCount_;
  dropped_ += lost;
  unwritten_ += lost;
  const std::uint64_t total = lost + dropped + queueLost_ + unwritableLost_;
  carry_.clear();
  carryCount_ = 0;
  queueLost_ = 0;
  unwritableLost_ = 0;
  if (total != 0 && !exiting_) NoteRefusedLog(fullPath_, refused_, total);
}

void LogWriter::Refuse(LinkProblem problem) {
  refused_ = problem;
  if (exiting_) return;
  try {
    const std::string line = "[" + options_.api + " monitor] refused the log file " + Utf8(fullPath_) + ": " +
                             LinkProblemText(problem) +
                             ". Nothing is written to it while this library stays loaded; calls are forwarded "
                             "unchanged, and the entries lost are counted in a note of the next log written\n";
    OutputDebugStringA(line.c_str());
  } catch (...) {
  }
}

void LogWriter::ReleaseRoom(bool batch) noexcept {
  if (batch) std::string().swap(batchText_);
  for (std::string& text : scratchText_) std::string().swap(text);
  scratchEntry_ = LogEntry();
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

void LogWriter::Flush(DWORD waitMs) noexcept {
  const std::uint64_t target = queued_.load();
  SetEvent(wake_);
  const ULONGLONG until = GetTickCount64() + waitMs;
  while (requested_.load() < target && GetTickCount64() < until) {
    bool idle = false;
    EnterCriticalSection(&queueLock_);
    idle = !running_ && queue_.empty();
    LeaveCriticalSection(&queueLock_);
    if (idle) break;
    Sleep(1);
    SetEvent(wake_);
  }
}

void LogWriter::Finish(DWORD waitMs) noexcept {
  HANDLE thread = nullptr;
  EnterCriticalSection(&queueLock_);
  if (running_ && thread_ != nullptr) {
    endNow_ = true;
    DuplicateHandle(GetCurrentProcess(), thread_, GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0);
  }
  LeaveCriticalSection(&queueLock_);
  if (thread == nullptr) return;
  SetEvent(wake_);
  // Outside the loader lock: the thread writes the queue, lets the module go and ends.
  WaitForSingleObject(thread, waitMs);
  CloseHandle(thread);
}

void LogWriter::FlushAtProcessExit() noexcept {
  try {
    exiting_ = true;
    if (!TryEnterCriticalSection(&queueLock_)) return;  // the writer thread died holding it
    Queue all;
    std::uint64_t dropped = 0;
    TakeQueue(&all, &dropped);
    LeaveCriticalSection(&queueLock_);
    if (all.empty() && dropped == 0 && carry_.empty() && queueLost_ == 0 && unwritableLost_ == 0) return;
    // Nothing is opened now: without a file open, what is queued is left to the process's end.
    if (file_ == INVALID_HANDLE_VALUE) {
      for (std::unique_ptr<EntrySource>& entry : all) static_cast<void>(entry.release());
      return;
    }
    if (!TryEnterCriticalSection(&writeLock_)) return;  // it died in the middle of a batch
    WriteAll(all, dropped, true);
    LeaveCriticalSection(&writeLock_);
  } catch (...) {
  }
}

WriterStats LogWriter::Stats() const {
  WriterStats s;
  s.queued = queued_.load();
  s.written = written_.load();
  s.dropped = dropped_.load();
  s.batches = batches_.load();
  s.unwritten = unwritten_.load();
  return s;
}

}  // namespace monitor
