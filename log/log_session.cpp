// The writer's batches (writer thread, or the exit flush): entries rendered
// into the batch text within its bound, the monitor's own notes (dropped and
// unwritten counts, refused logs) and the refusal of a log reached through a link.
#include "log/log_writer.h"

#include <algorithm>

#include "log/precise_time.h"
#include "log/text_rules.h"

namespace monitor {

namespace {

constexpr std::size_t kBatchEntries = 4096;   // entries rendered and written at once at most ...
// ... and the text a batch ends at: large messages (a 4 KB one renders to about
// 14 KB) must not ask a 32-bit host for one block of a hundred megabytes.
constexpr std::size_t kBatchTextBytes = 4u << 20;
constexpr std::size_t kKeptBatchRoom = 4u << 20;     // a batch's text room kept for the next one at most
constexpr std::size_t kKeptScratchRoom = 256u << 10;  // room of the entry being rendered kept at most

std::uint64_t NowLocalFileTime() {
  FILETIME utc;
  PreciseSystemTime(&utc);
  FILETIME local;
  if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
  return (static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
}

}  // namespace

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
  note.function = kNoteFunction;
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
    const std::string line = "[" + options_.api + " monitor] refused the log file " + PathUtf8(fullPath_) + ": " +
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

}  // namespace monitor
