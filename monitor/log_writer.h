// The log writer of a monitor library: the calling thread only puts an entry
// into a bounded queue; a writer thread renders the entries and writes them to
// the log file in batches. When the queue is full, entries are dropped and
// counted, and the count is logged. The file is shared: each batch is written
// under a named mutex derived from the file's full path, so that several
// writers (monitors in one process or in several) never tear each other's
// entries. Interface-neutral: it knows log entries, not J2534.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>
#include <memory>
#include <string>

#include "monitor/diag_decode.h"
#include "monitor/log_entry.h"

namespace monitor {

// An entry as queued: captured cheaply on the calling thread, turned into a
// LogEntry on the writer thread.
class EntrySource {
 public:
  virtual ~EntrySource() = default;
  // Bytes held (for the queue's bound).
  virtual std::size_t Bytes() const = 0;
  // The entry to render. May throw (std::bad_alloc); the writer then counts it as dropped.
  virtual LogEntry Build() const = 0;
};

// An entry that is already complete.
class ReadyEntry : public EntrySource {
 public:
  explicit ReadyEntry(LogEntry entry) : entry_(std::move(entry)) {}
  std::size_t Bytes() const override;
  LogEntry Build() const override { return entry_; }

 private:
  LogEntry entry_;
};

struct WriterOptions {
  std::wstring path;                 // the log file (its folder is created when missing)
  LogFormat format = LogFormat::Ascii;
  bool overwrite = true;             // start the file afresh at this process's first batch
  bool debugView = false;            // also send each entry to the debugger output
  std::string api = "J2534";         // names the monitor in debugger lines
  std::string title = "J2534 API log";
  SessionInfo session;
  std::size_t maxEntries = 16384;    // queue bound in entries ...
  std::size_t maxBytes = 64u << 20;  // ... and in bytes
  DWORD periodMs = 20;               // the writer writes at least this often
  DWORD idleExitMs = 3000;           // and ends after this long without entries
};

// Process-wide counters of a writer, for tests and benchmarks.
struct WriterStats {
  std::uint64_t queued = 0;
  std::uint64_t written = 0;
  std::uint64_t dropped = 0;
  std::uint64_t batches = 0;
};

class LogWriter {
 public:
  explicit LogWriter(WriterOptions options);
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Queues an entry without touching the file; starts the writer thread when
  // it is not running. False when the entry was dropped (queue full). Never throws.
  bool Submit(std::unique_ptr<EntrySource> entry) noexcept;
  // Asks the writer thread to write what is queued now, and waits until it has
  // (at most `waitMs`). Never throws.
  void Flush(DWORD waitMs) noexcept;
  // At process exit (DLL_PROCESS_DETACH with lpReserved set): the writer thread
  // is gone, possibly holding a lock. Writes what is queued from the calling
  // thread, taking no lock that may be held and never waiting for a thread.
  void FlushAtProcessExit() noexcept;
  // What was queued, written and dropped so far.
  WriterStats Stats() const;
  const WriterOptions& Options() const { return options_; }

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();
  using Queue = std::vector<std::unique_ptr<EntrySource>>;
  // Swaps the queued entries into `taken` (empty, its room kept for the queue)
  // and takes the dropped count; the caller holds the queue lock.
  void TakeQueue(Queue* taken, std::uint64_t* dropped);
  // Renders and writes entries [first, last) in batches (the caller owns writeLock_).
  void WriteAll(Queue& taken, std::uint64_t dropped);
  void WriteBatch(const std::unique_ptr<EntrySource>* first, const std::unique_ptr<EntrySource>* last,
                  std::uint64_t dropped);
  bool OpenFile();
  bool WriteText(const std::string& entries);
  void Complain(int kind, const wchar_t* what, DWORD error);

  WriterOptions options_;
  CRITICAL_SECTION queueLock_;
  CRITICAL_SECTION writeLock_;
  Queue queue_;
  Queue taken_;                // the writer's side of the queue (swapped)
  // Written entries, destroyed by the calling threads a few at a time: their
  // memory belongs to the callers' heap, which the writer then never locks.
  CRITICAL_SECTION garbageLock_;
  Queue garbage_;
  void CollectGarbage() noexcept;
  std::size_t queuedBytes_ = 0;
  std::uint64_t droppedSinceLast_ = 0;
  bool running_ = false;
  HANDLE wake_ = nullptr;      // auto-reset: write now
  HANDLE fileMutex_ = nullptr; // named, from the file's path
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::uint64_t lastEnd_ = 0;  // where our last batch ended
  bool sessionOpen_ = false;   // our session is open at lastEnd_
  std::wstring fullPath_;      // the open file's full path, which names its mutexes
  bool startedFile_ = false;   // the overwrite step was decided for this process
  bool pendingTruncate_ = false;  // start the file afresh before the next batch
  bool exiting_ = false;       // process exit: wait briefly for the file mutex
  HANDLE startedMarker_ = nullptr;
  int complained_ = 0;         // failure kinds already reported
  std::atomic<std::uint64_t> queued_{0}, written_{0}, dropped_{0}, batches_{0};
  std::atomic<std::uint64_t> requested_{0};
  ConversationDecoder decoder_;  // the writer's, under writeLock_ (multi-frame messages span batches)
};

// The name of the mutex that guards the log file `path` ("Local\OvraLog-<hash>"),
// from its full path folded to upper case; `scope` tells apart the process-wide
// marker of an overwritten file.
std::wstring LogMutexName(const std::wstring& fullPath, const wchar_t* scope, DWORD processId);

}  // namespace monitor
