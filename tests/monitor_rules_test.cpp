// The monitor's pure rules: names of codes and flags, hex dumps and foreign
// texts, escaping, the message capture's bounds, and where a batch goes in a
// log file so that the file stays readable.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "log/diag_decode.h"
#include "monitor/j2534/j2534_record.h"
#include "log/log_format.h"
#include "log/log_html.h"
#include "log/precise_time.h"
#include "monitor/settings_lookup.h"
#include "log/text_rules.h"
#include "passthru/names.h"
#include "tests/monitor_fixture.h"

namespace varrow {
namespace {

using namespace passthru;
using namespace monitor;

TEST(MonitorRules, NamesCodesIdsAndFlags) {
  struct Case {
    std::string actual, expected;
  } cases[] = {
      {ReturnCodeName(STATUS_NOERROR), "STATUS_NOERROR"},
      {ReturnCodeName(ERR_BUFFER_EMPTY), "ERR_BUFFER_EMPTY"},
      {ReturnCodeName(ERR_INVALID_DEVICE_ID), "ERR_INVALID_DEVICE_ID"},
      {ReturnCodeName(0x1B), "0x0000001B"},
      {ReturnCodeName(-1), "0xFFFFFFFF"},
      {ProtocolName(ISO15765), "ISO15765"},
      {ProtocolName(CAN), "CAN"},
      {ProtocolName(0x8004), "vendor 0x8004"},
      {ProtocolName(0x0B), "0xB"},
      {IoctlName(READ_PROG_VOLTAGE), "READ_PROG_VOLTAGE"},
      {IoctlName(0x06), "vendor 0x6"},
      {ParameterName(ISO15765_WFT_MAX), "ISO15765_WFT_MAX"},
      {ParameterName(W0), "W0"},
      {ParameterName(0x02), "0x2"},
      {FilterTypeName(FLOW_CONTROL_FILTER), "FLOW_CONTROL_FILTER"},
      {ConnectFlagsText(0), "0x00000000 (none)"},
      {ConnectFlagsText(CONNECT_CAN_29BIT_ID | CAN_ID_BOTH), "0x00000900 (CAN_29BIT_ID|CAN_ID_BOTH)"},
      {TxFlagsText(ISO15765_FRAME_PAD | 0x10000000), "0x10000040 (ISO15765_FRAME_PAD|0x10000000)"},
      {RxStatusText(TX_MSG_TYPE | TX_INDICATION), "0x00000009 (TX_MSG_TYPE|TX_INDICATION)"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected);
}

TEST(MonitorRules, HexTextsAndEscaping) {
  const std::uint8_t bytes[] = {0x00, 0x7E, 0xFF, 0x10, 0x01};
  EXPECT_EQ(HexDump(bytes, 5, 0), "00 7E FF 10 01");
  EXPECT_EQ(HexDump(bytes, 5, 2), "00 7E\nFF 10\n01");
  EXPECT_EQ(HexDump(nullptr, 5, 0), "");
  const char unterminated[4] = {'a', '\x01', '\\', 'b'};
  EXPECT_EQ(PrintableText(unterminated, 4), "a\\x01\\x5Cb");  // never past the limit
  EXPECT_EQ(PrintableText("ab\0cd", 5), "ab");
  EXPECT_EQ(XmlEscape("a<b>&\"'\x01\xC3\xA9\xFF"), "a&lt;b&gt;&amp;&quot;&#39;?\xC3\xA9?");
  EXPECT_EQ(HtmlEscape("x\ny"), "x<br>\ny");
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\"\nnow"), "\"say \"\"hi\"\"\nnow\"");
  EXPECT_EQ(CsvField(" padded"), "\" padded\"");
  EXPECT_EQ(TimeText(WallTimeFromFileTime(116444736000000000ull + 123456789)),
            "1970-01-01 00:00:12.345678");
}

TEST(MonitorRules, MessagesAreCappedAndMarked) {
  static PassThruMsg msg;
  msg = test::CanMessage(12, 0xA0);
  msg.RxStatus = START_OF_MESSAGE;
  CapturedMsg whole = CaptureMessage(msg, 0);
  EXPECT_EQ(whole.data.size(), 12u);
  EXPECT_EQ(MessageText(whole),
            "protocol CAN, RxStatus 0x00000002 (START_OF_MESSAGE), TxFlags 0x00000040 "
            "(ISO15765_FRAME_PAD), Timestamp 0 us, DataSize 12, ExtraDataIndex 0\n"
            "Data: A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB");
  EXPECT_NE(MessageText(CaptureMessage(msg, 4)).find("Data (4 of 12 bytes): A0 A1 A2 A3"),
            std::string::npos);
  msg.DataSize = 0xFFFFFFFF;  // an application's nonsense: never read past the data
  const CapturedMsg capped = CaptureMessage(msg, 0);
  EXPECT_EQ(capped.data.size(), kMaxDataSize);
  EXPECT_NE(MessageText(capped).find("DataSize 4294967295 (exceeds 4128: capped)"), std::string::npos);
  const SConfig list[3] = {{DATA_RATE, 500000}, {0x9999, 1}, {LOOPBACK, 0}};
  EXPECT_EQ(ConfigListText(list, 1000, 2), "NumOfParams 1000\nDATA_RATE = 500000\n0x9999 = 1\n(998 more not logged)");
  EXPECT_EQ(ConfigListText(nullptr, 2, 2), "NumOfParams 2, ConfigPtr NULL");
  const std::uint8_t key[] = {0x55, 0x08};
  EXPECT_EQ(ByteArrayText(key, 2, 2), "NumOfBytes 2: 55 08");
}

TEST(MonitorRules, BatchesKeepEveryFormatReadable) {
  SessionInfo a, b;
  a.processId = 1;
  a.program = "app <1>.exe";
  b.processId = 2;
  LogEntry e;
  e.function = "PassThruOpen";
  e.fields = {{"pName", "NULL"}, {"Msg", "line 1\nline 2, \"quoted\""}};
  e.result = "ERR_FAILED";
  e.failed = true;
  e.durationMicros = 5;
  for (LogFormat format : {LogFormat::Ascii, LogFormat::Xml, LogFormat::Csv, LogFormat::Html}) {
    SCOPED_TRACE(static_cast<int>(format));
    const std::string entry = RenderEntry(format, e);
    std::string file;
    bool ownSession = false;
    // a's batch, a's batch, b's batch (another writer), a's batch again.
    for (const SessionInfo* session : {&a, &a, &b, &a}) {
      const std::string closing = SessionTail(format) + FileTail(format);
      FileEnd end;
      end.size = file.size();
      end.endsWithOwnSession = session == &a && ownSession;
      end.endsWithFileTail = file.size() >= FileTail(format).size() &&
                             file.compare(file.size() - FileTail(format).size(), std::string::npos,
                                          FileTail(format)) == 0;
      const BatchPlan plan = PlanBatch(format, end, *session, "J2534 API log", entry);
      ASSERT_LE(plan.offset, file.size());
      file = file.substr(0, plan.offset) + plan.bytes;
      ownSession = session == &a;
      EXPECT_EQ(file.substr(file.size() - closing.size()), closing);
      if (format == LogFormat::Xml) {
        EXPECT_EQ(test::XmlProblem(file), "");
      }
    }
    if (format == LogFormat::Xml || format == LogFormat::Html || format == LogFormat::Ascii) {
      const std::string head = format == LogFormat::Html ? "<h2>Session" : format == LogFormat::Xml ? "<session " : "=== Session";
      int sessions = 0;
      for (std::size_t at = file.find(head); at != std::string::npos; at = file.find(head, at + 1)) ++sessions;
      EXPECT_EQ(sessions, 3);  // a, b, a again after b
    }
    if (format == LogFormat::Csv) {
      std::vector<std::vector<std::string>> rows;
      ASSERT_TRUE(test::ParseCsv(file, &rows));
      ASSERT_EQ(rows.size(), 8u);  // header, 3 session rows, 4 entries
      for (const auto& row : rows) EXPECT_EQ(row.size(), static_cast<std::size_t>(kCsvColumnCount));
      EXPECT_EQ(rows[2][6], "pName: NULL\nMsg: line 1\n  line 2, \"quoted\"");
    }
  }
}

// The writer builds every entry into one and renders into one batch with the
// same working room: whatever came before, each renders as a fresh one would.
TEST(MonitorRules, EntriesBuiltIntoOneRenderAsFreshOnes) {
  const auto message = [](std::uint32_t protocol, std::vector<std::uint8_t> data, std::uint32_t limit) {
    static PassThruMsg msg;
    msg = test::CanMessage(0, 0);
    msg.ProtocolID = protocol;
    msg.DataSize = static_cast<ULong>(data.size());
    std::memcpy(msg.Data, data.data(), data.size());
    return CaptureMessage(msg, limit);
  };
  const auto record = [](J2534Function function, Phase phase, std::vector<PendingField> fields, bool result,
                         passthru::Long rc) {
    J2534Record r;
    r.localFileTime = 133000000000000000ull;
    r.function = function;
    r.phase = phase;
    r.fields = std::move(fields);
    r.hasResult = result;
    r.result = rc;
    r.durationMicros = result ? 7 : -1;
    return r;
  };
  PendingField read{"Msg", "", {}, 1};
  read.messages = {message(ISO15765, {0, 0, 7, 0xE9, 0x62, 0xF1, 0x90, 0x57, 0x4F, 0x56}, 6),
                   message(ISO15765, {0, 0, 7, 0xE8, 0x7F, 0x22, 0x31}, 0),
                   message(CAN, {0, 0, 7, 0xE8, 0x03, 0x7F, 0x22, 0x78}, 0)};
  PendingField write{"Msg", "", {message(ISO15765, {0, 0, 7, 0xE0, 0x22, 0xF1, 0x90}, 0)}, 0};
  const J2534Record shapes[] = {
      record(J2534Function::ReadMsgs, Phase::Call, {{"ChannelID", "2", {}, 0}, read}, true, ERR_TIMEOUT),
      record(J2534Function::Ioctl, Phase::Call, {{"IoctlID", "READ_VBATT", {}, 0}}, true, STATUS_NOERROR),
      record(J2534Function::WriteMsgs, Phase::Entry, {{"ChannelID", "1", {}, 0}, {"NumMsgs (to send)", "1", {}, 0}, write},
             false, 0),
      record(J2534Function::WriteMsgs, Phase::Exit, {{"NumMsgs (sent)", "1", {}, 0}}, true, STATUS_NOERROR),
  };
  LogEntry reused;
  std::string batch[4], scratch[kRenderScratch];
  std::string fresh[4];
  ConversationDecoder reusedDecoder, freshDecoder;
  for (int shape : {0, 2, 3, 0, 1, 2, 3, 1}) {
    BuildEntry(shapes[shape], &reused);
    reusedDecoder.Decode(&reused);
    LogEntry entry = BuildEntry(shapes[shape]);
    freshDecoder.Decode(&entry);
    for (int format = 1; format <= 4; ++format) {
      AppendEntry(static_cast<LogFormat>(format), reused, &batch[format - 1], scratch);
      fresh[format - 1] += RenderEntry(static_cast<LogFormat>(format), entry);
    }
  }
  for (int format = 0; format < 4; ++format) EXPECT_EQ(batch[format], fresh[format]) << "format " << format + 1;
  EXPECT_NE(fresh[1].find("negative=\"1\""), std::string::npos);  // the shapes decode to something
}

// The HTML page's script has the browser read everything after the head as
// one comment, and sits in a <script> element: whatever texts are logged,
// nothing the writer writes there ends the comment, and the script holds
// nothing that ends its element or opens a comment.
TEST(MonitorRules, HtmlLogKeepsTheCommentOpen) {
  for (const std::string text : {"-->", "a--!>b", "--><script>x</script><!--", "-- >", "\n-->\n"}) {
    SCOPED_TRACE(text);
    LogEntry e;
    e.function = text;
    e.fields = {{text, text}};
    e.result = text;
    e.failed = true;
    e.link = text;
    e.conversation = {text, text, text, true, true};
    SessionInfo session;
    session.program = text;
    session.library = text;
    session.api = text;
    session.continued = true;
    const std::string head = FileHead(LogFormat::Html, text);
    const std::string after = head.substr(head.find("</script>") + 9) + SessionHead(LogFormat::Html, session) +
                              RenderEntry(LogFormat::Html, e) + SessionTail(LogFormat::Html) + FileTail(LogFormat::Html);
    EXPECT_EQ(after.find("-->"), std::string::npos) << after;
    EXPECT_EQ(after.find("--!>"), std::string::npos) << after;
  }
  const std::string script = HtmlLogScript();
  EXPECT_EQ(script.find("</"), std::string::npos);
  EXPECT_EQ(script.find("<!--"), std::string::npos);
}

// The clock: ticks to microseconds exactly for any uptime (× 1,000,000 first
// overflows after 7 days at 14.3 MHz), and local time that follows a change of
// the offset (daylight saving) from the next second on.
constexpr std::uint64_t kSecond = 10000000, kChange = 13400000000ull * kSecond;
std::int64_t SummerFromTheChange(std::uint64_t utc) { return (utc >= kChange ? 7200 : 3600) * std::int64_t{kSecond}; }

TEST(MonitorRules, TimeConversions) {
  const std::int64_t f = 14318180;
  const std::uint64_t micros[][3] = {{0, 10, 0}, {14318180, 14318180, 1000000}, {7, 3, 2333333},
                                     {14318180ull * 86400 * 30 + 7159090, 14318180, 2592000500000ull}};
  for (const auto& row : micros) EXPECT_EQ(TicksToMicros(row[0], row[1]), row[2]) << row[0];
  EXPECT_EQ(TicksToMicros(-5, f), 0u);
  EXPECT_EQ(TicksToMicros(5, 0), 0u);
  LocalClock clock(&SummerFromTheChange);
  const std::uint64_t hour = 3600 * kSecond;
  const std::uint64_t local[][2] = {{kChange - 2 * kSecond, hour}, {kChange + kSecond / 2, 2 * hour},
                                    {kChange + 5 * kSecond, 2 * hour}};  // utc, offset
  for (const auto& row : local) EXPECT_EQ(clock.Local(row[0]), row[0] + row[1]) << row[0];
}

// The registrations naming the monitor's own file, and the files looked at to
// find them (a set stands for the disk): full paths as text first; PATH only
// for names of its own file, and only up to the first folder holding the name.
std::set<std::wstring> g_files;
std::vector<std::wstring> g_looked;
bool ExistsInSet(const std::wstring& path) {
  g_looked.push_back(path);
  return g_files.count(path) != 0;
}

TEST(MonitorRules, OwnRegistrationCheapestFirst) {
  using List = std::vector<std::wstring>;
  const struct { List registered, files, expected, looked; } rows[] = {
      {{L"Z:\\gone\\Old.dll", L"Own.dll", L"\\\\server\\share\\Own.dll", L"C:\\VCI\\own.dll"}, {}, {L"C:\\VCI\\own.dll"}, {}},
      {{L"Other.dll", L"OWN.DLL", L"Own.dll"}, {L"C:\\vci\\OWN.DLL"}, {L"C:\\vci\\OWN.DLL"},
       {L"C:\\net\\OWN.DLL", L"C:\\vci\\OWN.DLL"}},
      {{L"Own.dll"}, {L"C:\\net\\Own.dll", L"C:\\vci\\Own.dll"}, {}, {L"C:\\net\\Own.dll"}},
      {{L"D:\\x\\Else.dll", L"D:\\x\\OWN~1.DLL"}, {}, {}, {L"D:\\x\\OWN~1.DLL"}},
  };
  for (const auto& row : rows) {
    g_files = std::set<std::wstring>(row.files.begin(), row.files.end());
    g_looked.clear();
    EXPECT_EQ(OwnRegistrations(row.registered, L"C:\\vci\\Own.dll", L"C:\\net;C:\\vci\\;C:\\later", &ExistsInSet),
              row.expected);
    EXPECT_EQ(g_looked, row.looked);
  }
}

}  // namespace
}  // namespace varrow
