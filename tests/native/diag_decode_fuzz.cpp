// Fuzz target of the decoded conversation: payloads of any bytes, sequences of
// CAN frames and ISO 15765 messages (the reassembly across them), and entries
// that carry the decoded text through the four renderers. A decoder never
// fails: its text is printable ASCII of bounded length, the messages it keeps
// stay within their bound, and the renderers keep their columns.
//
// VARROW_FUZZ_RULE=<n> restricts the run to one rule (0..kRules-1); otherwise
// the first input byte chooses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/diag_decode.h"
#include "log/log_format.h"
#include "tests/native/fuzz_promise.h"

namespace {

constexpr int kRules = 3;
int g_rule = -1;

void Printable(const char* rule, const std::string& text, std::size_t bound) {
  PROMISE(rule, !text.empty() && text.size() <= bound);
  for (char c : text) PROMISE(rule, (c >= 0x20 && c < 0x7F) || c == '\n');
}

// Any payload reads as words or bytes.
void Payloads(const std::uint8_t* data, std::size_t size) {
  monitor::ServiceMarks marks;
  Printable("ServiceText", monitor::ServiceText(data, size, &marks), 2000);
  PROMISE("ServiceText", marks.nrc >= -1 && marks.nrc <= 0xFF);
  PROMISE("ServiceText", !(marks.negative && marks.pending));
}

// Frames cut from the input: a header byte picks the kind, the channel and one
// of a few CAN ids, so that messages of several streams interleave.
void Frames(const std::uint8_t* data, std::size_t size) {
  static const std::uint32_t kIds[] = {0x7DF, 0x7E0, 0x7E8, 0x7E9, 0x18DB33F1, 0x18DA10F1, 0x18DAF110, 0x123};
  monitor::ConversationDecoder decoder;
  std::size_t at = 0;
  while (at + 2 <= size) {
    const std::uint8_t head = data[at];
    const std::size_t length = data[at + 1] % 14;
    at += 2;
    monitor::DiagFrame frame;
    frame.kind = static_cast<monitor::FrameKind>(head % 3);
    frame.channel = (head >> 2) & 3;
    frame.echo = (head & 0x10) != 0;
    frame.extendedAddress = (head & 0x20) != 0;
    const std::uint32_t id = kIds[(head >> 5) & 7];
    frame.extendedId = id > 0x7FF;
    if (frame.kind != monitor::FrameKind::Payload && (head & 0x80) == 0) {
      frame.bytes = {static_cast<std::uint8_t>(id >> 24), static_cast<std::uint8_t>(id >> 16),
                     static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
    }
    for (std::size_t i = 0; i < length && at < size; ++i) frame.bytes.push_back(data[at++]);
    monitor::Conversation conversation;
    Printable("FrameText", decoder.FrameText(frame, &conversation), 2200);
    PROMISE("FrameText", decoder.Streams() <= monitor::ConversationDecoder::kMaxStreams);
  }
}

// An entry with a decoded conversation keeps every format's shape.
void Entries(const std::uint8_t* data, std::size_t size) {
  monitor::LogEntry e;
  e.function = "PassThruReadMsgs";
  e.link = "channel " + std::to_string(data[0]);
  monitor::DiagFrame frame;
  frame.kind = monitor::FrameKind::Iso15765;
  frame.label = "Msg";
  frame.bytes.assign(data, data + size);
  e.frames.push_back(frame);
  e.frames.push_back(frame);
  monitor::ConversationDecoder decoder;
  decoder.Decode(&e);
  for (int f = 1; f <= 4; ++f) {
    const std::string entry = monitor::RenderEntry(static_cast<monitor::LogFormat>(f), e);
    PROMISE("RenderEntry", !entry.empty() && entry.back() == '\n');
    if (f == static_cast<int>(monitor::LogFormat::Csv)) {
      int columns = 1;
      bool quoted = false;
      for (char c : entry) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) ++columns;
      }
      PROMISE("RenderEntry csv", !quoted && columns == monitor::kCsvColumnCount);
    }
    if (f == static_cast<int>(monitor::LogFormat::Html)) {
      PROMISE("RenderEntry html", entry.find("<script") == std::string::npos);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* rule = std::getenv("VARROW_FUZZ_RULE")) g_rule = std::atoi(rule) % kRules;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int rule = g_rule >= 0 ? g_rule : data[0] % kRules;
  const std::uint8_t* rest = data + 1;
  const std::size_t restSize = size - 1;
  switch (rule) {
    case 0: Payloads(rest, restSize); break;
    case 1: Frames(rest, restSize); break;
    case 2: Entries(rest, restSize); break;
  }
  return 0;
}
