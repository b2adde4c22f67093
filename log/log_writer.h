// The log writer of a monitor library: the calling thread only puts an entry
// into a bounded queue; a writer thread renders the entries and writes them to
// the log file in batches. When the queue is full, entries are dropped and
// counted, and the count is logged. The file is shared: each batch is written
// under a lock on the file itself (a byte range far beyond its end), which
// every writer of the file takes whatever path it knows the file by, in this
// process or another, in any session or account. A second range is held
// shared by every writer that has the file open, so that Overwrite starts a
// file afresh only when no other writer is on it. Entries that cannot be
// written (the file held without write sharing, a full disk) are kept for the
// next batch within a bound, the rest counted and noted in the log. A log
// reached through a link (a junction or symbolic link on its path, a hard
// link at its name) is refused: nothing is written to it, and the entries
// lost are counted in a note of the next log written in the process.
// Interface-neutral: it knows log entries, not J2534.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>
#include <memory>
#include <string>

#include "log/diag_decode.h"
#include "log/log_entry.h"
#include "log/log_format.h"
#include "log/log_security.h"

namespace monitor {

// An entry as queued: captured cheaply on the calling thread, turned into a
// LogEntry on the writer thread.
class EntrySource {
 public:
  virtual ~EntrySource() = default;
  // Bytes held (for the queue's bound).
  virtual std::size_t Bytes() const = 0;
  // The entry to render, into `entry`: every member set (the writer builds
  // every entry into one, whose texts keep their room). May throw
  // (std::bad_alloc); the writer then counts it as dropped.
  virtual void Build(LogEntry* entry) const = 0;
};

// An entry that is already complete.
class ReadyEntry : public EntrySource {
 public:
  explicit ReadyEntry(LogEntry entry) : entry_(std::move(entry)) {}
  std::size_t Bytes() const override;
  void Build(LogEntry* entry) const override { *entry = entry_; }

 private:
  LogEntry entry_;
};

struct WriterOptions {
  std::wstring path;                 // the log file (its folder is created when missing)
  LogFormat format = LogFormat::Ascii;
  bool overwrite = true;             // start the file afresh at this process's first batch,
                                     // unless another writer is logging to it then
  bool debugView = false;            // also send each entry to the debugger output
  std::string api = "J2534";         // names the monitor in debugger lines
  std::string title = "J2534 API log";
  SessionInfo session;
  // A burst of calls faster than the writer (tens of thousands back to back)
  // waits in the queue rather than being dropped; the bytes bound the memory.
  std::size_t maxEntries = 131072;   // queue bound in entries ...
  std::size_t maxBytes = 64u << 20;  // ... and in bytes
  std::size_t maxCarryBytes = 8u << 20;  // rendered entries kept while the file cannot be written
  DWORD periodMs = 20;               // the writer writes at least this often
  DWORD idleExitMs = 3000;           // and ends after this long without entries
};

// Process-wide counters of a writer, for tests and benchmarks.
struct WriterStats {
  std::uint64_t queued = 0;
  std::uint64_t written = 0;
  std::uint64_t dropped = 0;
  std::uint64_t batches = 0;
  std::uint64_t unwritten = 0;  // of the dropped: lost because the file could not be written
};

// The byte ranges a writer locks in its log file, far beyond the end of any
// log: the batch range (exclusive while a batch is written) and the presence
// range (shared while a writer has the file open).
constexpr DWORD kLogLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLogBatchLockOffset = 0;
constexpr DWORD kLogPresenceLockOffset = 1;

// Opens (or creates) the log file `path` and takes its batch lock, as another
// writer in the middle of a batch would; closing the handle lets it go. For
// the tests and the benchmarks. INVALID_HANDLE_VALUE when it cannot.
HANDLE HoldLogFile(const std::wstring& path);

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
  // The session's end (a device closed, the library about to be let go):
  // writes what is queued and ends the writer thread, waiting at most `waitMs`
  // for it to be gone, so that it no longer holds this module. The next entry
  // starts it again. Never from DllMain. Never throws.
  void Finish(DWORD waitMs) noexcept;
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
  void StartThread() noexcept;
  using Queue = std::vector<std::unique_ptr<EntrySource>>;
  // Swaps the queued entries into `taken` (empty, its room kept for the queue)
  // and takes the dropped count; the caller holds the queue lock.
  void TakeQueue(Queue* taken, std::uint64_t* dropped);
  // Renders and writes entries [first, last) in batches (the caller owns writeLock_).
  // At process exit (`atExit`) the written entries are left to the process's end.
  void WriteAll(Queue& taken, std::uint64_t dropped, bool atExit);
  // Renders entries from `first` until `last` or until the text passes its
  // bound, writes them as one batch, and returns where it stopped.
  const std::unique_ptr<EntrySource>* WriteBatch(const std::unique_ptr<EntrySource>* first,
                                                 const std::unique_ptr<EntrySource>* last, std::uint64_t dropped);
  // The log is refused (a link): logging to it stops, and it is said on the debugger output.
  void Refuse(LinkProblem problem);
  // Counts `entries` (and what was carried, dropped or unwritten) as lost to
  // the refusal, for the note of the next log written in this process.
  void LoseRefused(std::uint64_t entries, std::uint64_t dropped);
  // A note of the monitor itself, rendered.
  std::string Note(const char* name, const std::string& text) const;
  bool OpenFile();
  // Opens the log on the thread of a round's first entry rather than leaving
  // it to the writer thread: a program that ends at once still leaves its
  // log, as at process exit only a file already open is written.
  void OpenFileFirst() noexcept;
  void CloseFile();
  bool StillAtPath() const;
  bool LockRange(DWORD offset, bool exclusive, DWORD waitMs) const;
  // Whether this process has not yet started the open file afresh or written
  // to it (a marker per process and file that outlives this module on purpose).
  bool FirstInProcess() const;
  // Writes `before` (notes, carried entries) and `entries` as one batch.
  bool WriteText(const std::string& before, const std::string& entries);
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
  bool endNow_ = false;        // Finish: end the thread once the queue is written
  HANDLE thread_ = nullptr;    // the writer thread last started (queue lock)
  HANDLE wake_ = nullptr;      // auto-reset: write now
  // The file's side, the writer thread's (or the exit flush's) under writeLock_.
  HANDLE file_ = INVALID_HANDLE_VALUE;
  bool present_ = false;       // the presence range is held on file_
  std::uint64_t lastEnd_ = 0;  // where our last batch ended
  bool sessionOpen_ = false;   // our session is open at lastEnd_
  int blocks_ = 0;             // session blocks opened so far (later ones are continuations)
  std::wstring fullPath_;      // the file's full path
  bool checkPath_ = true;          // whether the open file is still the one at the path is to be checked
  bool overwriteDecided_ = false;  // the overwrite step was decided for this writer
  bool pendingTruncate_ = false;   // start the file afresh before the next batch
  std::string carry_;          // rendered entries not yet written (bounded)
  std::uint64_t carryCount_ = 0;
  std::uint64_t queueLost_ = 0;      // entries dropped (queue full, not rendered), to note
  std::uint64_t unwritableLost_ = 0; // entries lost to an unwritable file, to note
  DWORD lastError_ = 0;        // why the file could not be written
  bool exiting_ = false;       // process exit: only a file already open, no waiting
  LinkProblem refused_ = LinkProblem::None;  // the log was refused: nothing is written to it
  std::string refusalNotes_;   // notes of refused logs, until written
  int complained_ = 0;         // failure kinds already reported
  std::atomic<std::uint64_t> queued_{0}, written_{0}, dropped_{0}, batches_{0}, unwritten_{0};
  std::atomic<std::uint64_t> requested_{0};
  // The entry being rendered and the renderer's working room, kept from one
  // entry to the next (writeLock_).
  LogEntry scratchEntry_;
  std::string scratchText_[kRenderScratch];
  std::string batchText_;      // the batch's rendered entries
  // Gives the rendering room back (with the batch's text when `batch`).
  void ReleaseRoom(bool batch) noexcept;
  ConversationDecoder decoder_;  // the writer's, under writeLock_ (multi-frame messages span batches)
};

}  // namespace monitor
