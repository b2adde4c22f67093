// Fuzz target of the monitor's Windows-free rules: the names of codes and
// flags, hex dumps and foreign texts, XML/HTML/CSV escaping, the message
// capture, the entry renderers and where a batch goes in a log file. Each rule
// is run on the input and its promises are checked (the 05.00 names, messages
// in caller-owned buffers and structures too); a broken promise aborts
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
#include "monitor/j2534/j2534_text_v05.h"
#include "log/log_format.h"
#include "log/text_rules.h"
#include "passthru/names.h"
#include "passthru/names_v05.h"

namespace {

constexpr int kRules = 6;
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

bool Printable(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c >= 0x7F) return false;
  }
  return !text.empty();
}

// 05.00: every version's names are printable, and the codes 05.00 renamed read
// by 05.00's names; a message is captured within DataLength, its buffer's size,
// 4128 and the message size; the structures' texts read no further than they state.
void Version05(const std::uint8_t* data, std::size_t size) {
  namespace v05 = passthru::v05;
  for (std::size_t at = 0; at + 4 <= size && at < 32; at += 4) {
    const std::uint32_t v = Word(data, size, at);
    for (const auto version : {passthru::ApiVersion::k0404, passthru::ApiVersion::k0500}) {
      const passthru::VersionNames& names = passthru::NamesOf(version);
      std::string flags;
      names.appendRxStatus(&flags, v);
      names.appendTxFlags(&flags, v);
      for (const std::string& text : {names.returnCode(static_cast<passthru::Long>(v)), names.protocol(v),
                                      names.ioctl(v), names.parameter(v), names.filterType(v),
                                      names.connectFlags(v), flags}) {
        PROMISE("Version05 names", Printable(text));
      }
    }
  }
  PROMISE("Version05 names", passthru::NamesOf(passthru::ApiVersion::k0500).returnCode(0x17) == "ERR_MSG_NOT_ALLOWED");
  PROMISE("Version05 names", passthru::NamesOf(passthru::ApiVersion::k0404).returnCode(0x17) == "ERR_NO_FLOW_CONTROL");

  // A message whose buffer is as large as its DataBufferSize says; DataLength any.
  std::vector<std::uint8_t> buffer(Word(data, size, 0) % 5000);
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = data[i % size];
  v05::PassThruMsg msg{};
  msg.ProtocolID = Word(data, size, 4);
  msg.RxStatus = Word(data, size, 8);
  msg.DataLength = Word(data, size, 12) % 9000;
  msg.DataBuffer = buffer.empty() ? nullptr : buffer.data();
  msg.DataBufferSize = static_cast<passthru::ULong>(buffer.size());
  const std::uint32_t limit = Word(data, size, 16) % 5000;
  const monitor::CapturedMsg captured = monitor::CaptureMessage(msg, limit);
  PROMISE("Version05 capture", captured.data.size() <= std::min<std::size_t>(msg.DataLength, buffer.size()));
  PROMISE("Version05 capture", captured.data.size() <= passthru::kMaxDataSize);
  if (limit != 0) PROMISE("Version05 capture", captured.data.size() <= limit);
  const std::string text = monitor::MessageText(captured);
  PROMISE("Version05 capture", (msg.DataLength > msg.DataBufferSize) == (text.find("beyond its buffer") != std::string::npos));

  // The structures, each over memory exactly as large as it states.
  std::vector<passthru::ULong> ids(Word(data, size, 20) % 300);
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = Word(data, size, i % size);
  const v05::ResourceStruct resources{Word(data, size, 24), static_cast<passthru::ULong>(ids.size()),
                                      ids.empty() ? nullptr : ids.data()};
  PROMISE("Version05 resources", Printable(monitor::ResourceText(resources)));
  const v05::SChannelSet set{Word(data, size, 28), Word(data, size, 32), ids.empty() ? nullptr : ids.data()};
  PROMISE("Version05 channel set", Printable(monitor::ChannelSetText(set, static_cast<passthru::ULong>(ids.size()))));
  std::vector<std::uint8_t> raw(std::max(sizeof(v05::SDevice), v05::kDescriptorBytes));
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = data[(i + 3) % size];
  const std::string descriptor = monitor::DescriptorText(raw.data() + raw.size() - v05::kDescriptorBytes,
                                                         v05::ISO15765_LOGICAL);
  PROMISE("Version05 descriptor", Printable(descriptor) && descriptor.find("RemoteAddress") != std::string::npos);
  v05::SDevice device;
  std::memcpy(&device, raw.data(), sizeof device);
  PROMISE("Version05 device", Printable(monitor::DeviceText(device)));
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
    case 5: Version05(rest, restSize); break;
  }
  return 0;
}
