// One logged call of a monitored programming interface, independent of the
// interface: when, who, which function, its arguments as named decoded fields,
// its result and how long it took. The J2534 monitor fills it; the renderers of
// log/log_format.h turn it into text. Free of Windows headers.
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

// A message of the diagnostic conversation, as an entry carries it for the
// writer thread to decode.
enum class FrameKind : std::uint8_t {
  Can,       // a raw CAN frame: 4 bytes of CAN id, then up to 8 (64) data bytes
  Iso15765,  // a whole ISO 15765 message: 4 bytes of CAN id, then the payload
  Payload,   // the payload alone (D-PDU ComPrimitive data, result items)
};
struct DiagFrame {
  FrameKind kind = FrameKind::Payload;
  std::string label;            // the field it belongs to ("Msg[1]", "CoPData")
  std::uint32_t channel = 0;    // the channel or link (keys the reassembly)
  bool sent = false;            // from the application (else received; an indication: transmission done)
  bool echo = false;            // a received copy of a sent frame (loopback)
  bool extendedId = false;      // a 29-bit CAN id
  bool extendedAddress = false; // ISO 15765 extended addressing: one address byte first
  bool indication = false;      // an ISO 15765 indication without payload
  std::vector<std::uint8_t> bytes;
  std::uint32_t total = 0;      // bytes the message had, when the logged message size cut it
};

// The decoded conversation of an entry: one line per frame, and what the
// HTML log filters and marks by.
struct Conversation {
  std::string text;      // lines joined by '\n'; empty: nothing decoded
  std::string ecu;       // the ECUs talked to or heard ("ECU 1;ECU 2")
  std::string nrcs;      // negative response codes seen, as hex, space-separated
  bool negative = false; // a negative response
  bool pending = false;  // a "response pending"
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
  std::string link;            // the channel or link the call is about ("channel 2"), or empty
  std::vector<DiagFrame> frames;  // messages to decode (J2534 CAN / ISO 15765, D-PDU data)
  Conversation conversation;   // their decoded text (filled on the writer thread)
  // Fields and frames no longer in use, kept with their room for the next
  // entry built into this one (the writer's); never rendered.
  std::vector<Field> spareFields;
  std::vector<DiagFrame> spareFrames;
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
