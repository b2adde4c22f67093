// The large HTML log of the browser benchmark: many entries written through
// the monitor's own renderers and batch plan, as the writer would: two
// sessions, two channels, two ECUs, the decoded conversation, failed calls,
// negative responses, "response pending", a dropped-entries note and a text
// that the writer escapes among ordinary reads and writes. tests/browser/
// opens it in Chromium and prints how long the page takes to open and to filter.
// Built natively (no Windows headers):
//   html_log_bench <entries> <file>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/diag_decode.h"
#include "log/log_format.h"

using namespace monitor;

namespace {

DiagFrame Frame(const char* label, std::uint32_t channel, std::initializer_list<std::uint8_t> bytes) {
  DiagFrame f;
  f.kind = FrameKind::Iso15765;
  f.label = label;
  f.channel = channel;
  f.bytes = bytes;
  return f;
}

LogEntry Make(std::size_t i, ConversationDecoder& decoder) {
  LogEntry e;
  e.time = {2026, 12, 7, 10, static_cast<std::uint16_t>(i / 60000 % 60), static_cast<std::uint16_t>(i / 1000 % 60),
            static_cast<std::uint32_t>(i % 1000 * 1000)};
  e.elapsedMicros = i * 1000;
  e.processId = 4242;
  e.threadId = 7;
  const std::uint32_t channel = 1 + i % 2;
  e.link = "channel " + std::to_string(channel);
  e.fields.push_back({"ChannelID", std::to_string(channel)});
  e.result = "STATUS_NOERROR";
  e.durationMicros = 40;
  const std::uint8_t ecu = 0xE8 + i % 2;
  switch (i % 10) {
    case 0:
    case 2:
    case 4:
      e.function = "PassThruWriteMsgs";
      e.fields.push_back({"Msg", "protocol ISO15765\nData: 00 00 07 E0 22 F1 90"});
      e.frames.push_back(Frame("Msg", channel, {0, 0, 7, 0xE0, 0x22, 0xF1, 0x90}));
      break;
    case 1:
    case 3:
      e.function = "PassThruReadMsgs";
      e.fields.push_back({"Msg", "protocol ISO15765\nData: 00 00 07 E8 41 0C 32 00"});
      e.frames.push_back(Frame("Msg", channel, {0, 0, 7, ecu, 0x41, 0x0C, 0x32, 0x00}));
      break;
    case 5:
      e.function = "PassThruReadMsgs";
      e.fields.push_back({"Msg", "protocol ISO15765\nData: 00 00 07 E8 7F 22 31"});
      e.frames.push_back(Frame("Msg", channel, {0, 0, 7, ecu, 0x7F, 0x22, 0x31}));
      break;
    case 6:
      e.function = "PassThruReadMsgs";
      e.fields.push_back({"Msg", "protocol ISO15765\nData: 00 00 07 E8 7F 22 78"});
      e.frames.push_back(Frame("Msg", channel, {0, 0, 7, ecu, 0x7F, 0x22, 0x78}));
      break;
    case 7:
      e.function = "PassThruReadMsgs";
      e.fields.push_back({"Timeout", "100"});
      e.result = "ERR_TIMEOUT";
      e.failed = true;
      break;
    case 8:
      e.function = "PassThruIoctl";
      e.fields.push_back({"IoctlID", "READ_VBATT"});
      break;
    default:
      e.function = "PassThruStartMsgFilter";
      break;
  }
  if (i % 5000 == 1500) {  // text that the writer escapes, on the second page
    e.function = "PassThruGetLastError";
    e.fields = {{"ErrorDescription", "\"<timeout> & 'retry'\""}};
    e.frames.clear();
    e.link.clear();
    e.result = "STATUS_NOERROR";
    e.failed = false;
  }
  if (i % 5000 == 500) {  // one on the first page
    e = LogEntry();
    e.function = "(monitor)";
    e.phase = Phase::Note;
    e.fields.push_back({"Dropped", "3 entries not logged (queue full or log not writable)"});
  }
  decoder.Decode(&e);
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: html_log_bench <entries> <file>\n");
    return 2;
  }
  const std::size_t count = std::strtoul(argv[1], nullptr, 10);
  std::string file;
  ConversationDecoder decoder;
  for (int s = 0; s < 2; ++s) {
    SessionInfo session;
    session.processId = 4242 + s;
    session.program = "C:\\Tools\\Diag.exe";
    session.library = "C:\\VCI\\J2534.dll";
    session.api = "J2534";
    bool own = false;
    const std::size_t entries = s == 0 ? count - count / 2 : count / 2;
    for (std::size_t first = 0; first < entries; first += 512) {
      std::string batch;
      for (std::size_t i = first; i < entries && i < first + 512; ++i) batch += RenderEntry(LogFormat::Html, Make(i, decoder));
      FileEnd end;
      end.size = file.size();
      end.endsWithOwnSession = own;
      end.endsWithFileTail = !file.empty();
      const BatchPlan plan = PlanBatch(LogFormat::Html, end, session, "J2534 API log", batch);
      file.resize(plan.offset);
      file += plan.bytes;
      own = true;
    }
  }
  FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fclose(out) != 0) {
    std::fprintf(stderr, "html_log_bench: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
