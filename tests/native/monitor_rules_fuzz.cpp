// Fuzz target of the monitor's Windows-free rules: the names of codes and
// flags, hex dumps and foreign texts, XML/HTML/CSV escaping, the message
// capture, the entry renderers and where a batch goes in a log file. Each rule
// is run on the input and its promises are checked; a broken promise aborts
// (and the sanitizers catch any bad access).
//
// VARROW_FUZZ_RULE=<n> restricts the run to one rule (0..kRules-1); otherwise
// the first input byte chooses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/native/fuzz_promise.h"
#include "monitor/j2534/j2534_record.h"
#include "log/log_format.h"
#include "log/text_rules.h"
#include "passthru/names.h"

namespace {

constexpr int kRules = 5;
int g_rule = -1;


std::uint32_t Word(const std::uint8_t* data, std::size_t size, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | (at + i < size ? data[at + i] : 0);
  return value;
}

// Every name is printable, and a flags text names each bit it was given.
void Names(const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; at + 4 <= size && at < 64; at += 4) {
    const std::uint32_t v = Word(data, size, at);
    for (const std::string& text :
         {passthru::ReturnCodeName(static_cast<passthru::Long>(v)), passthru::ProtocolName(v),
          passthru::IoctlName(v), passthru::ParameterName(v), passthru::FilterTypeName(v),
          passthru::ConnectFlagsText(v), passthru::TxFlagsText(v), passthru::RxStatusText(v)}) {
      PROMISE("Names", !text.empty());
      for (char c : text) PROMISE("Names", c >= 0x20 && c < 0x7F);
    }
    const std::string flags = passthru::RxStatusText(v);
    PROMISE("Names", flags.compare(0, 10, "0x" + passthru::Hex(v, 8)) == 0);
    PROMISE("Names", (v == 0) == (flags.find("(none)") != std::string::npos));
  }
}

// Escaped texts hold no markup of their own; CSV fields read back as written.
void Escaping(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string xml = monitor::XmlEscape(text);
  for (std::size_t i = 0; i < xml.size(); ++i) {
    PROMISE("XmlEscape", xml[i] != '<' && xml[i] != '>' && xml[i] != '"');
    const auto c = static_cast<unsigned char>(xml[i]);
    PROMISE("XmlEscape", c >= 0x20 || c == '\t' || c == '\n' || c == '\r');
    if (xml[i] == '&') PROMISE("XmlEscape", xml.find(';', i) != std::string::npos);
  }
  const std::string html = monitor::HtmlEscape(text);
  PROMISE("HtmlEscape", html.find('<') == std::string::npos || html.find("<br>") != std::string::npos);
  const std::string csv = monitor::CsvField(text);
  if (!csv.empty() && csv[0] == '"') {
    PROMISE("CsvField", csv.size() >= 2 && csv.back() == '"');
    for (std::size_t i = 1; i + 1 < csv.size(); ++i) {
      if (csv[i] == '"') {
        PROMISE("CsvField", i + 2 < csv.size() && csv[i + 1] == '"');
        ++i;
      }
    }
  } else {
    PROMISE("CsvField", csv.find_first_of(",\"\r\n") == std::string::npos);
  }
  const std::string printable = monitor::PrintableText(reinterpret_cast<const char*>(data), size);
  for (char c : printable) PROMISE("PrintableText", c >= 0x20 && c < 0x7F);
  const std::string hex = monitor::HexDump(data, size, data[0] % 40);
  PROMISE("HexDump", size == 0 ? hex.empty() : hex.size() == size * 3 - 1);
}

// A message of any header is captured within its bounds.
void Messages(const std::uint8_t* data, std::size_t size) {
  static passthru::PassThruMsg msg;
  std::memset(&msg, 0, sizeof msg);
  std::memcpy(&msg, data, std::min(size, sizeof msg));
  const std::uint32_t limit = Word(data, size, 24) % 5000;
  const monitor::CapturedMsg captured = monitor::CaptureMessage(msg, limit);
  PROMISE("CaptureMessage", captured.data.size() <= passthru::kMaxDataSize);
  PROMISE("CaptureMessage", captured.data.size() <= msg.DataSize);
  if (limit != 0) PROMISE("CaptureMessage", captured.data.size() <= limit);
  const std::string text = monitor::MessageText(captured);
  PROMISE("MessageText", (msg.DataSize > passthru::kMaxDataSize) ==
                             (text.find("capped") != std::string::npos));
  passthru::SConfig items[8];
  std::memcpy(items, data, std::min(size, sizeof items));
  const std::uint32_t count = Word(data, size, 0);
  const std::string list = monitor::ConfigListText(items, count, std::min<std::uint32_t>(count, 8));
  PROMISE("ConfigListText", list.compare(0, 11, "NumOfParams") == 0);
}

monitor::LogEntry EntryOf(const std::uint8_t* data, std::size_t size) {
  monitor::LogEntry e;
  e.time = monitor::WallTimeFromFileTime((static_cast<std::uint64_t>(Word(data, size, 0)) << 32) |
                                         Word(data, size, 4));
  e.function = std::string(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 40));
  e.phase = static_cast<monitor::Phase>(data[0] % 4);
  for (std::size_t at = 0; at < size; at += 37) {
    const std::size_t n = std::min<std::size_t>(37, size - at);
    e.fields.push_back({std::string(reinterpret_cast<const char*>(data + at), n / 3),
                        std::string(reinterpret_cast<const char*>(data + at + n / 3), n - n / 3)});
  }
  e.result = std::string(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 12));
  e.failed = (data[0] & 1) != 0;
  e.durationMicros = static_cast<std::int64_t>(Word(data, size, 8)) - 1000;
  return e;
}

// Every format's entry is whole: CSV has the fixed columns, XML and HTML
// entries hold no unescaped markup of the data, and batches keep the closing pieces last.
void Rendering(const std::uint8_t* data, std::size_t size) {
  const monitor::LogEntry e = EntryOf(data, size);
  monitor::SessionInfo session;
  session.program = std::string(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 30));
  for (int f = 1; f <= 4; ++f) {
    const auto format = static_cast<monitor::LogFormat>(f);
    const std::string entry = monitor::RenderEntry(format, e);
    PROMISE("RenderEntry", !entry.empty() && entry.back() == '\n');
    if (format == monitor::LogFormat::Csv) {
      int columns = 1;
      bool quoted = false;
      for (char c : entry) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) ++columns;
      }
      PROMISE("RenderEntry csv", !quoted && columns == monitor::kCsvColumnCount);
    }
    std::string file;
    for (std::size_t round = 0; round < 3; ++round) {
      monitor::FileEnd end;
      end.size = file.size();
      end.endsWithOwnSession = (data[round % size] & 1) != 0;
      end.endsWithFileTail = (data[round % size] & 2) != 0;
      const monitor::BatchPlan plan = monitor::PlanBatch(format, end, session, "log", entry);
      PROMISE("PlanBatch", plan.offset <= file.size());
      file = file.substr(0, plan.offset) + plan.bytes;
      const std::string closing = monitor::SessionTail(format) + monitor::FileTail(format);
      PROMISE("PlanBatch", file.size() >= closing.size() &&
                               file.compare(file.size() - closing.size(), closing.size(), closing) == 0);
    }
  }
  (void)monitor::DebugLine("J2534", e);
}

// Calendar times are valid dates.
void Times(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t t = (static_cast<std::uint64_t>(Word(data, size, 0)) << 32) | Word(data, size, 4);
  const monitor::WallTime w = monitor::WallTimeFromFileTime(t);
  PROMISE("WallTime", w.month >= 1 && w.month <= 12 && w.day >= 1 && w.day <= 31);
  PROMISE("WallTime", w.hour < 24 && w.minute < 60 && w.second < 60 && w.microsecond < 1000000);
  PROMISE("WallTime", monitor::TimeText(w).size() == 26);
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
    case 0: Names(rest, restSize); break;
    case 1: Escaping(rest, restSize); break;
    case 2: Messages(rest, restSize); break;
    case 3: Rendering(rest, restSize); break;
    case 4: Times(rest, restSize); break;
  }
  return 0;
}
