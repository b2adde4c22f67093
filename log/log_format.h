// The four log formats: the pieces a log file is made of and where a batch of
// entries goes, so that a file stays readable after every batch and after the
// host program is killed. Free of Windows headers (fuzzed natively).
//
// A file is: FileHead, then sessions, then FileTail. A session is SessionHead,
// entries, SessionTail. Every batch ends the file with SessionTail + FileTail
// (XML: "</session></log>", HTML: "</table></body></html>"); the next batch of
// the same session overwrites those closing pieces, and a batch of another
// session (another process, or a second monitor sharing the file) overwrites
// FileTail only and opens a session of its own.
#pragma once

#include <cstdint>
#include <string>

#include "log/log_entry.h"
#include "log/log_formats.h"

namespace monitor {

// The format of an OutputFormat setting; ASCII for a value outside 1..4.
LogFormat FormatFromSetting(std::int32_t setting);

// Written once at the start of an empty file ("title" names the log).
std::string FileHead(LogFormat format, const std::string& title);
// Ends the file after every batch (empty for ASCII and CSV).
std::string FileTail(LogFormat format);
// Opens a session / closes it (the closing piece is empty for ASCII and CSV).
std::string SessionHead(LogFormat format, const SessionInfo& session);
std::string SessionTail(LogFormat format);
// One entry, whole (ends with a line break), with its decoded conversation
// (entry.conversation) where it has one.
std::string RenderEntry(LogFormat format, const LogEntry& entry);
// The same appended to `out`; `scratch` is working room of kRenderScratch
// texts kept from one entry to the next (the writer's: nothing allocated per
// entry once they have grown).
inline constexpr int kRenderScratch = 3;
void AppendEntry(LogFormat format, const LogEntry& entry, std::string* out, std::string* scratch);
// One line for the debugger output: the entry without line breaks.
std::string DebugLine(const std::string& api, const LogEntry& entry);

// What the end of the file looks like before a batch.
struct FileEnd {
  std::uint64_t size = 0;
  bool endsWithFileTail = false;        // the last bytes are FileTail
  bool endsWithOwnSession = false;      // ... SessionTail + FileTail of our own open session
};
// Where a batch goes and what is written there (one write).
struct BatchPlan {
  std::uint64_t offset = 0;
  std::string bytes;
};
// What goes around a batch's entries, and where: the plan below without the
// entries (the writer writes the three pieces in turn, without joining them).
struct BatchFrame {
  std::uint64_t offset = 0;
  std::string head;  // FileHead and SessionHead where they are due
  std::string tail;  // SessionTail + FileTail
};
BatchFrame FrameBatch(LogFormat format, const FileEnd& end, const SessionInfo& session,
                      const std::string& title);
// The plan for `entries` (rendered entries, concatenated): an empty file gets
// FileHead first; our own open session is continued over its closing pieces;
// another file end gets a new session (over FileTail when the file ends with
// it, else after whatever the file holds).
BatchPlan PlanBatch(LogFormat format, const FileEnd& end, const SessionInfo& session,
                    const std::string& title, const std::string& entries);

}  // namespace monitor
