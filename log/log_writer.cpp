// The writer's face to the monitors: made and destroyed with the library,
// entries handed in on the calling threads, flushes and the session's end.
// The thread runs in log_queue.cpp, the file in log_file.cpp, the batches and
// notes in log_session.cpp.
#include "log/log_writer.h"

namespace monitor {

namespace {

std::string EntryFieldBytes(const LogEntry& e) {
  std::string s = e.function + e.result;
  for (const Field& f : e.fields) s += f.name + f.value;
  return s;
}

}  // namespace

std::size_t ReadyEntry::Bytes() const { return sizeof *this + EntryFieldBytes(entry_).size(); }

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
    OpenFileFirst();
    StartThread();
  } else if (urgent) {
    SetEvent(wake_);
  }
  return true;
}

void LogWriter::OpenFileFirst() noexcept {
  if (exiting_) return;
  try {
    EnterCriticalSection(&writeLock_);
    if (file_ == INVALID_HANDLE_VALUE) static_cast<void>(OpenFile());
    LeaveCriticalSection(&writeLock_);
  } catch (...) {
    LeaveCriticalSection(&writeLock_);  // the writer thread tries again
  }
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
