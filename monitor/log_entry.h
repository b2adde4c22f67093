// One logged call of a monitored programming interface, independent of the
// interface: when, who, which function, its arguments as named decoded fields,
// its result and how long it took. The J2534 monitor fills it; the renderers of
// monitor/log_format.h turn it into text. Free of Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace monitor {

// A wall-clock time to the microsecond (local time of the machine).
struct WallTime {
  std::uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint32_t microsecond = 0;
};

// What an entry stands for: a whole call, its start or its return (the "log
// entry and exit" option), or a note of the monitor itself (dropped entries).
enum class Phase { Call, Entry, Exit, Note };

// One decoded argument or output. `value` may hold several lines ('\n').
struct Field {
  std::string name;
  std::string value;
};

struct LogEntry {
  WallTime time;
  std::uint64_t elapsedMicros = 0;  // since the process's first logged call
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;
  std::string function;
  Phase phase = Phase::Call;
  std::vector<Field> fields;
  std::string result;          // the return code by name; empty at a call's start
  bool failed = false;         // the result is an error (shown standing out)
  std::int64_t durationMicros = -1;  // -1: none (a call's start, a note)
};

// The log file formats (the OutputFormat setting).
enum class LogFormat { Ascii = 1, Xml = 2, Csv = 3, Html = 4 };

// What heads one session (one process's use of one log file).
struct SessionInfo {
  WallTime start;
  std::uint32_t processId = 0;
  std::string program;  // the host program's path (UTF-8)
  std::string library;  // the monitored library's path (UTF-8)
  std::string api;      // "J2534", "PDU"
  // The block continues this session after another writer's entries (the
  // same start and process as the block that opened it).
  bool continued = false;
};

}  // namespace monitor
