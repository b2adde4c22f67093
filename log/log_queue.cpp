// The writer's queue and its thread: the thread is started by the first entry
// queued, takes the queue at every wake-up, hands the entries to the batches
// (log_session.cpp) and ends after a while without entries; written entries
// go back to the calling threads, who free them on their own heap.
#include "log/log_writer.h"

#include "hosted/module_release.h"
#include "log/writer_thread.h"

namespace monitor {

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

}  // namespace monitor
