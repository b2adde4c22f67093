#include "monitor/log_writer.h"

#include <algorithm>
#include <cstdio>

#include "monitor/log_format.h"
#include "monitor/precise_time.h"
#include "monitor/settings_lookup.h"
#include "monitor/split_heap.h"
#include "monitor/text_rules.h"
#include "monitor/win_text.h"

namespace monitor {

namespace {

constexpr std::size_t kBatchEntries = 512;  // entries rendered and written at once at most
constexpr DWORD kFileMutexWaitMs = 5000;    // another writer holding the file this long: give up the batch

enum Complaint { kOpen = 1, kMutex = 2, kWrite = 4 };

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

}  // namespace

std::size_t ReadyEntry::Bytes() const { return sizeof *this + EntryFieldBytes(entry_).size(); }

std::wstring LogMutexName(const std::wstring& fullPath, const wchar_t* scope, DWORD processId) {
  const std::wstring folded = UpperInvariant(fullPath);
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a over the UTF-16 units
  for (wchar_t c : folded) {
    hash ^= static_cast<std::uint16_t>(c);
    hash *= 1099511628211ull;
  }
  wchar_t name[96];
  swprintf(name, 96, L"Local\\OvraLog%ls-%08lX-%016llX", scope, static_cast<unsigned long>(processId),
           static_cast<unsigned long long>(hash));
  return name;
}

LogWriter::LogWriter(WriterOptions options) : options_(std::move(options)) {
  // Held for a push or a swap only: contended briefly, so spin rather than sleep.
  InitializeCriticalSectionAndSpinCount(&queueLock_, 4000);
  InitializeCriticalSection(&writeLock_);
  InitializeCriticalSectionAndSpinCount(&garbageLock_, 4000);
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

LogWriter::~LogWriter() {
  // A monitor library never destroys its writer; tests do, once the thread has ended.
  for (;;) {
    EnterCriticalSection(&queueLock_);
    const bool running = running_;
    LeaveCriticalSection(&queueLock_);
    if (!running) break;
    Sleep(5);
  }
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  if (fileMutex_ != nullptr) CloseHandle(fileMutex_);
  if (startedMarker_ != nullptr) CloseHandle(startedMarker_);
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
    if (start) running_ = true;
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
    // The thread keeps this module loaded while it runs, and lets it go when it ends.
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&LogWriter::ThreadMain), &module);
    HANDLE thread = CreateThread(nullptr, 0, &LogWriter::ThreadMain, this, 0, nullptr);
    if (thread != nullptr) {
      CloseHandle(thread);
    } else {
      if (module != nullptr && module != GetModuleHandleW(nullptr)) FreeLibrary(module);
      EnterCriticalSection(&queueLock_);
      running_ = false;  // the next entry tries again
      LeaveCriticalSection(&queueLock_);
    }
  } else if (urgent) {
    SetEvent(wake_);
  }
  return true;
}

void LogWriter::CollectGarbage() noexcept {
  constexpr int kPerCall = 4;  // more than a call adds (entry and exit): the list shrinks
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
  if (module != nullptr && module != GetModuleHandleW(nullptr)) FreeLibraryAndExitThread(module, 0);
  return 0;
}

void LogWriter::Run() {
  DWORD idle = 0;
  for (;;) {
    const DWORD woken = WaitForSingleObject(wake_, options_.periodMs);
    std::uint64_t dropped = 0;
    EnterCriticalSection(&queueLock_);
    TakeQueue(&taken_, &dropped);
    if (taken_.empty() && dropped == 0 && idle >= options_.idleExitMs) {
      running_ = false;
      LeaveCriticalSection(&queueLock_);
      // Calls have stopped: what the callers did not free is freed now.
      EnterCriticalSection(&garbageLock_);
      Queue rest;
      std::swap(rest, garbage_);
      LeaveCriticalSection(&garbageLock_);
      return;
    }
    LeaveCriticalSection(&queueLock_);
    if (taken_.empty() && dropped == 0) {
      idle = woken == WAIT_OBJECT_0 ? 0 : idle + options_.periodMs;
      continue;
    }
    idle = 0;
    EnterCriticalSection(&writeLock_);
    WriteAll(taken_, dropped);
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

void LogWriter::WriteAll(Queue& taken, std::uint64_t dropped) {
  const std::unique_ptr<EntrySource>* first = taken.data();
  const std::unique_ptr<EntrySource>* end = first + taken.size();
  do {
    const std::unique_ptr<EntrySource>* last =
        first + std::min<std::size_t>(static_cast<std::size_t>(end - first), kBatchEntries);
    WriteBatch(first, last, dropped);
    dropped = 0;
    first = last;
  } while (first != end);
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

void LogWriter::WriteBatch(const std::unique_ptr<EntrySource>* first,
                           const std::unique_ptr<EntrySource>* last, std::uint64_t dropped) {
  const std::size_t count = static_cast<std::size_t>(last - first);
  std::string text;
  std::uint64_t failedBuilds = 0;
  std::string entries;
  for (const std::unique_ptr<EntrySource>* source = first; source != last; ++source) {
    try {
      const LogEntry entry = (*source)->Build();
      entries += RenderEntry(options_.format, entry);
      if (options_.debugView) OutputDebugStringA(DebugLine(options_.api, entry).c_str());
    } catch (...) {
      ++failedBuilds;
    }
  }
  if (dropped != 0 || failedBuilds != 0) {
    LogEntry note;
    note.time = WallTimeFromFileTime(NowLocalFileTime());
    note.processId = GetCurrentProcessId();
    note.threadId = GetCurrentThreadId();
    note.function = "(monitor)";
    note.phase = Phase::Note;
    note.fields.push_back({"Dropped", std::to_string(dropped + failedBuilds) +
                                          " entries not logged (queue full or log not writable)"});
    text = RenderEntry(options_.format, note);
    if (options_.debugView) OutputDebugStringA(DebugLine(options_.api, note).c_str());
  }
  text += entries;
  if (WriteText(text)) {
    written_ += count - failedBuilds;
    dropped_ += failedBuilds;
  } else {
    // Counted, and reported in the first batch that can be written.
    dropped_ += count;
    if (TryEnterCriticalSection(&queueLock_)) {
      droppedSinceLast_ += count + dropped;
      LeaveCriticalSection(&queueLock_);
    }
  }
  ++batches_;
  requested_ += count;
}

bool LogWriter::OpenFile() {
  if (file_ != INVALID_HANDLE_VALUE) return true;
  wchar_t full[MAX_PATH * 2];
  const DWORD n = GetFullPathNameW(options_.path.c_str(), MAX_PATH * 2, full, nullptr);
  const std::wstring path = (n == 0 || n >= MAX_PATH * 2) ? options_.path : std::wstring(full);
  CreateFolderChain(FolderOf(path));
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Complain(kOpen, L"cannot open the log file", GetLastError());
    return false;
  }
  if (fileMutex_ == nullptr) {
    fileMutex_ = CreateMutexW(nullptr, FALSE, LogMutexName(path, L"File", 0).c_str());
  }
  if (fileMutex_ == nullptr) {
    Complain(kMutex, L"cannot create the log file's mutex", GetLastError());
    CloseHandle(file);
    return false;
  }
  file_ = file;
  fullPath_ = path;
  complained_ &= ~kOpen;
  return true;
}

bool LogWriter::WriteText(const std::string& entries) {
  if (!OpenFile()) return false;
  const DWORD waited = WaitForSingleObject(fileMutex_, exiting_ ? 200 : kFileMutexWaitMs);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    Complain(kMutex, L"another writer holds the log file", waited);
    return false;
  }
  if (!startedFile_) {
    startedFile_ = true;
    // Overwrite: the first writer of this process to reach the file starts it
    // afresh. Decided while the file's mutex is held, so that another monitor
    // of this process (the D-PDU one storing with the J2534 data) never has a
    // batch in the file before it is started afresh.
    startedMarker_ = CreateMutexW(nullptr, FALSE,
                                  LogMutexName(fullPath_, L"Started", GetCurrentProcessId()).c_str());
    const bool first = startedMarker_ != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    if (options_.overwrite && first) pendingTruncate_ = true;
  }
  bool ok = false;
  do {
    if (pendingTruncate_) {
      LARGE_INTEGER zero{};
      if (!SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(file_)) break;
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
    const BatchPlan plan = PlanBatch(options_.format, end, options_.session, options_.title, entries);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(plan.offset);
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) break;
    std::size_t done = 0;
    while (done < plan.bytes.size()) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(plan.bytes.size() - done, 1u << 24));
      if (!WriteFile(file_, plan.bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) break;
      done += wrote;
    }
    if (done != plan.bytes.size()) break;
    lastEnd_ = plan.offset + plan.bytes.size();
    sessionOpen_ = true;
    ok = true;
  } while (false);
  const DWORD error = GetLastError();
  ReleaseMutex(fileMutex_);
  if (!ok) {
    Complain(kWrite, L"cannot write the log file", error);
    // Reopen next time: the file may have been replaced or the disk freed.
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    sessionOpen_ = false;
  } else {
    complained_ &= ~kWrite;
  }
  return ok;
}

void LogWriter::Complain(int kind, const wchar_t* what, DWORD error) {
  if ((complained_ & kind) != 0) return;
  complained_ |= kind;
  wchar_t line[MAX_PATH * 2 + 200];
  swprintf(line, sizeof line / sizeof line[0],
           L"[%hs monitor] %ls %ls (error %lu); calls are forwarded unchanged, entries are counted as "
           L"dropped\n",
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

void LogWriter::FlushAtProcessExit() noexcept {
  try {
    exiting_ = true;
    if (!TryEnterCriticalSection(&queueLock_)) return;  // the writer thread died holding it
    Queue all;
    std::uint64_t dropped = 0;
    TakeQueue(&all, &dropped);
    LeaveCriticalSection(&queueLock_);
    if (all.empty() && dropped == 0) return;
    if (!TryEnterCriticalSection(&writeLock_)) return;  // it died in the middle of a batch
    WriteAll(all, dropped);
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
  return s;
}

}  // namespace monitor
