// The recorded scenario, pure: which logs it takes or refuses and why, and
// what it answers (occurrences in turn, several answers with their timing,
// raw frames, periodic traffic), in front of the vehicle model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/scenario/scenario.h"
#include "simulator/vehicle/vehicle.h"
#include "simulator/vehicle/vehicle_node.h"

namespace {

using namespace simulator;
using B = std::vector<std::uint8_t>;

// A J2534 message field as the monitor writes it.
std::string Msg(const char* protocol, unsigned rxStatus, unsigned timestamp, const std::string& hex) {
  const std::size_t size = (hex.size() + 1) / 3;
  char head[200];
  std::snprintf(head, sizeof head,
                "protocol %s, RxStatus 0x%08X (x), TxFlags 0x00000000 (none), Timestamp %u us, DataSize %zu, "
                "ExtraDataIndex 0\nData: ",
                protocol, rxStatus, timestamp, size);
  return head + hex;
}
std::string XmlEntry(const char* function, const std::string& msg, unsigned process = 7) {
  return "<entry time=\"t\" elapsed_us=\"1\" process=\"" + std::to_string(process) + "\" thread=\"8\" function=\"" +
         function + "\" phase=\"call\" decoded=\"new attribute\">\n  <field name=\"ChannelID\">2</field>\n" +
         "  <decoded>an element of a newer monitor</decoded>\n  <field name=\"Msg\">" + msg + "</field>\n</entry>\n";
}
std::string XmlSession(const char* api, const std::string& entries) {
  return std::string("<session start=\"s\" process=\"7\" program=\"p\" api=\"") + api + "\" library=\"l\">\n" + entries +
         "</session>\n";
}
std::string XmlLog(const std::string& sessions) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<log title=\"t\">\n" + sessions + "</log>\n";
}
std::string Write(const std::string& hex, unsigned process = 7) {
  return XmlEntry("PassThruWriteMsgs", Msg("ISO15765", 0, 0, hex), process);
}
std::string Read(unsigned rx, unsigned ts, const std::string& hex, const char* protocol = "ISO15765") {
  return XmlEntry("PassThruReadMsgs", Msg(protocol, rx, ts, hex));
}

// A session: VIN twice with other answers, a request answered "pending"
// then positively, a functional request answered by two ECUs, raw CAN
// frames, and a periodic frame sent unasked.
const std::string kJ2534Entries =
    Write("00 00 07 E0 09 02") + Read(0x08, 1000, "00 00 07 E0") + Read(0, 1500, "00 00 07 E8 49 02 01 41") +
    Write("00 00 07 E0 09 02") + Read(0x08, 2000, "00 00 07 E0") + Read(0, 2100, "00 00 07 E8 49 02 01 42") +
    Write("00 00 07 E0 31 01") + Read(0x08, 3000, "00 00 07 E0") + Read(0, 3050, "00 00 07 E8 7F 31 78") +
    Read(0, 103050, "00 00 07 E8 71 01") + Write("00 00 07 DF 01 00") + Read(0, 4000, "00 00 07 E8 41 00 01") +
    Read(0, 4010, "00 00 07 E9 41 00 02") +
    XmlEntry("PassThruWriteMsgs", Msg("CAN", 0, 0, "00 00 07 E0 02 10 03 00 00 00 00 00")) +
    Read(0, 5000, "00 00 07 E8 06 50 03 00 32 01 F4 AA", "CAN") +
    Read(0, 9000000, "00 00 01 00 11", "CAN") + Read(0, 9100000, "00 00 01 00 12", "CAN") +
    Read(0, 9300000, "00 00 01 00 13", "CAN");
const std::string kPduEntries =
    "<entry function=\"PDUSetComParam\" phase=\"call\" process=\"9\">\n<field name=\"hCLL\">1</field>\n"
    "<field name=\"ParamItem\">CP_CanPhysReqId (0x00000302) PDU_PT_UNUM32 class 3 = 2016 (0x000007E0)</field>\n"
    "</entry>\n"
    "<entry function=\"PDUSetComParam\" phase=\"call\" process=\"9\">\n<field name=\"hCLL\">1</field>\n"
    "<field name=\"ParamItem\">CP_CanRespUSDTId (0x00000303) PDU_PT_UNUM32 class 3 = 2024 (0x000007E8)</field>\n"
    "</entry>\n"
    "<entry function=\"PDUStartComPrimitive\" phase=\"call\" process=\"9\">\n<field name=\"hCLL\">1</field>\n"
    "<field name=\"CoPData\">2 bytes: 09 02</field>\n<field name=\"hCoP\">5</field>\n</entry>\n"
    "<entry function=\"PDUGetEventItem\" phase=\"call\" process=\"9\">\n"
    "<field name=\"Event\">PDU_IT_RESULT, hCoP 5, CoPTag NULL, Timestamp 3613 us</field>\n"
    "<field name=\"Result\">RxFlag none, UniqueRespIdentifier 1, AcceptanceId 0, TxMsgDoneTimestamp 3000 us, "
    "StartMsgTimestamp 3613 us</field>\n<field name=\"Data\">3 bytes: 49 02 01</field>\n</entry>\n";

// The CSV form of two entries, with a column a newer monitor adds.
std::string CsvLog(const char* api) {
  auto row = [](const char* function, const std::string& msg) {
    std::string args = "ChannelID: 2\nMsg: ";
    for (char c : msg) {
      args += c;
      if (c == '\n') args += "  ";
    }
    std::string quoted;
    for (char c : args) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return std::string("2026-01-01 00:00:00.000001,5,7,8,") + function + ",call,\"" + quoted +
           "\",STATUS_NOERROR,3,\"decoded, text\"\r\n";
  };
  return "Time,Elapsed (us),Process,Thread,Function,Phase,Arguments,Result,Duration (us),Decoded\r\n"
         "2026-01-01 00:00:00.000000,,7,,(session),note,\"program: p\n" +
         std::string(api) + " library: l\",,\r\n" + row("PassThruWriteMsgs", Msg("ISO15765", 0, 0, "00 00 07 E0 09 02")) +
         row("PassThruReadMsgs", Msg("ISO15765", 0, 700, "00 00 07 E8 49 02 01 43"));
}

TEST(Scenario, TakesMonitorLogsAndRefusesTheOthersSayingWhy) {
  const std::string j2534 = XmlLog(XmlSession("J2534", kJ2534Entries));
  const std::string both = XmlLog(XmlSession("PDU", kPduEntries) + XmlSession("J2534", kJ2534Entries));
  struct Row {
    const char* what;
    std::string text;
    ScenarioApi api;
    const char* error;  // null: taken
  } rows[] = {
      {"J2534 XML", j2534, ScenarioApi::J2534, nullptr},
      {"both APIs, J2534 taken", both, ScenarioApi::J2534, nullptr},
      {"both APIs, D-PDU taken", both, ScenarioApi::Pdu, nullptr},
      {"J2534 CSV with an extra column", CsvLog("J2534"), ScenarioApi::J2534, nullptr},
      {"a J2534 log for D-PDU", j2534, ScenarioApi::Pdu, "no D-PDU session"},
      {"a D-PDU CSV log for J2534", CsvLog("PDU"), ScenarioApi::J2534, "no J2534 session"},
      {"XML cut inside an entry", j2534.substr(0, j2534.size() / 2), ScenarioApi::J2534, "truncated"},
      {"XML without its end", j2534.substr(0, j2534.size() - 7), ScenarioApi::J2534, "truncated"},
      {"CSV cut inside a quoted cell", CsvLog("J2534").substr(0, CsvLog("J2534").size() - 40), ScenarioApi::J2534,
       "truncated"},
      {"an empty file", "", ScenarioApi::J2534, "not an XML or CSV monitor log"},
      {"an HTML log", "<!DOCTYPE html>\n<html>", ScenarioApi::J2534, "not an XML or CSV monitor log"},
      {"other XML", "<?xml version=\"1.0\"?>\n<other/>\n", ScenarioApi::J2534, "not a monitor log"},
      {"a session without requests", XmlLog(XmlSession("J2534", "")), ScenarioApi::J2534, "no answered request"},
  };
  for (const Row& row : rows) {
    Scenario scenario;
    std::string error;
    const bool taken = scenario.Parse(row.text, row.api, &error);
    EXPECT_EQ(taken, row.error == nullptr) << row.what << ": " << error;
    if (row.error != nullptr) {
      EXPECT_NE(error.find(row.error), std::string::npos) << row.what << ": " << error;
    } else {
      EXPECT_GT(scenario.requests(), 0u) << row.what;
    }
  }
}

TEST(Scenario, AnswersAsRecorded) {
  Scenario j2534, pdu, csv;
  std::string error;
  ASSERT_TRUE(j2534.Parse(XmlLog(XmlSession("PDU", kPduEntries) + XmlSession("J2534", kJ2534Entries)),
                          ScenarioApi::J2534, &error)) << error;
  ASSERT_TRUE(pdu.Parse(XmlLog(XmlSession("PDU", kPduEntries)), ScenarioApi::Pdu, &error)) << error;
  ASSERT_TRUE(csv.Parse(CsvLog("J2534"), ScenarioApi::J2534, &error)) << error;
  struct Row {
    const char* what;
    Scenario* scenario;
    ScenarioLevel level;
    std::uint32_t id;
    B request;
    std::uint32_t speed;
    bool answered;
    std::vector<ScenarioAnswer> expected;
  } rows[] = {
      {"first occurrence", &j2534, ScenarioLevel::Payload, 0x7E0, {0x09, 0x02}, 100, true, {{0x7E8, 500, {0x49, 0x02, 0x01, 0x41}}}},
      {"second occurrence", &j2534, ScenarioLevel::Payload, 0x7E0, {0x09, 0x02}, 100, true, {{0x7E8, 100, {0x49, 0x02, 0x01, 0x42}}}},
      {"then over again", &j2534, ScenarioLevel::Payload, 0x7E0, {0x09, 0x02}, 100, true, {{0x7E8, 500, {0x49, 0x02, 0x01, 0x41}}}},
      {"pending, then the answer", &j2534, ScenarioLevel::Payload, 0x7E0, {0x31, 0x01}, 100, true,
       {{0x7E8, 50, {0x7F, 0x31, 0x78}}, {0x7E8, 100050, {0x71, 0x01}}}},
      {"at half speed", &j2534, ScenarioLevel::Payload, 0x7E0, {0x31, 0x01}, 50, true,
       {{0x7E8, 100, {0x7F, 0x31, 0x78}}, {0x7E8, 200100, {0x71, 0x01}}}},
      {"at once", &j2534, ScenarioLevel::Payload, 0x7E0, {0x31, 0x01}, 0, true,
       {{0x7E8, 0, {0x7F, 0x31, 0x78}}, {0x7E8, 0, {0x71, 0x01}}}},
      {"functional: both ECUs in order", &j2534, ScenarioLevel::Payload, 0x7DF, {0x01, 0x00}, 100, true,
       {{0x7E8, 0, {0x41, 0x00, 0x01}}, {0x7E9, 10, {0x41, 0x00, 0x02}}}},
      {"a raw frame", &j2534, ScenarioLevel::Frame, 0x7E0, {0x02, 0x10, 0x03, 0, 0, 0, 0, 0}, 100, true,
       {{0x7E8, 0, {0x06, 0x50, 0x03, 0x00, 0x32, 0x01, 0xF4, 0xAA}}}},
      {"another id", &j2534, ScenarioLevel::Payload, 0x7E1, {0x09, 0x02}, 100, false, {}},
      {"other bytes", &j2534, ScenarioLevel::Payload, 0x7E0, {0x09, 0x04}, 100, false, {}},
      {"a frame is no payload", &j2534, ScenarioLevel::Payload, 0x7E0, {0x02, 0x10, 0x03, 0, 0, 0, 0, 0}, 100, false, {}},
      {"D-PDU: the link's ids and times", &pdu, ScenarioLevel::Payload, 0x7E0, {0x09, 0x02}, 100, true,
       {{0x7E8, 613, {0x49, 0x02, 0x01}}}},
      {"CSV", &csv, ScenarioLevel::Payload, 0x7E0, {0x09, 0x02}, 100, true, {{0x7E8, 0, {0x49, 0x02, 0x01, 0x43}}}},
  };
  for (const Row& row : rows) {
    std::vector<ScenarioAnswer> answers;
    EXPECT_EQ(row.scenario->Answer(row.level, row.id, row.request, row.speed, &answers), row.answered) << row.what;
    if (row.answered) {
      EXPECT_EQ(answers, row.expected) << row.what;
    }
  }
  // The frames of id 100 came unasked: periodic, with their rhythm, and no answer.
  ASSERT_EQ(j2534.periodic().size(), 1u);
  const std::vector<ScenarioAnswer> periodic = {
      {0x100, 0, {0x11}}, {0x100, 100000, {0x12}}, {0x100, 200000, {0x13}}};
  EXPECT_EQ(j2534.periodic()[0], periodic);
}

TEST(Scenario, StandsInFrontOfTheVehicle) {
  auto scenario = std::make_shared<Scenario>();
  std::string error;
  ASSERT_TRUE(scenario->Parse(XmlLog(XmlSession("J2534", kJ2534Entries)), ScenarioApi::J2534, &error));
  const B vinRequest = {0x09, 0x02}, pidRequest = {0x01, 0x0D};
  Vehicle builtIn;
  const std::size_t builtInAnswers = builtIn.Request(0x7E0, pidRequest, 0).size();
  ASSERT_EQ(builtInAnswers, 1u);
  struct Row {
    bool only;
    B request;
    std::vector<Reply> expected;  // null answers: the built-in vehicle's count is checked
    std::size_t count;
  } rows[] = {
      {false, vinRequest, {{0x7E8, 1, {0x49, 0x02, 0x01, 0x41}}}, 1},
      {false, pidRequest, {}, builtInAnswers},
      {true, pidRequest, {}, 0},
  };
  for (const Row& row : rows) {
    Vehicle vehicle;
    vehicle.SetScenario(scenario, row.only, 100);
    const std::vector<Reply> replies = vehicle.Request(0x7E0, row.request, 0);
    EXPECT_EQ(replies.size(), row.count) << row.only;
    if (!row.expected.empty()) {
      EXPECT_EQ(replies, row.expected);
    }
  }
}

// On the bus: a raw frame answered frame by frame at the recorded times, a
// whole payload answered through the ECU's transport, and the periodic frames
// at their rhythm; nothing before its time (time is an argument: exact).
TEST(Scenario, ReplaysOnTheBusAtTheRecordedTimes) {
  // Frames of id 100 come unasked before the requests, during one and after
  // them: all of them are periodic traffic, none is an answer.
  const std::string entries =
      Read(0, 500, "00 00 01 00 11", "CAN") +
      XmlEntry("PassThruWriteMsgs", Msg("CAN", 0, 0, "00 00 07 E0 02 3E 00 00 00 00 00 00")) +
      Read(0x01, 1000, "00 00 07 E0 02 3E 00 00 00 00 00 00", "CAN") +
      Read(0, 21000, "00 00 07 E8 02 7E 00 00 00 00 00 00", "CAN") +
      Read(0, 51000, "00 00 07 E8 03 7F 3E 78 00 00 00 00", "CAN") + Write("00 00 07 E0 22 F1 90") +
      Read(0x08, 60000, "00 00 07 E0") + Read(0, 90000, "00 00 07 E8 62 F1 90 41") +
      Read(0, 100500, "00 00 01 00 12", "CAN") + Read(0, 8000000, "00 00 01 00 13", "CAN");
  VehicleNode node;
  auto scenario = std::make_shared<Scenario>();
  std::string error;
  ASSERT_TRUE(scenario->Parse(XmlLog(XmlSession("J2534", entries)), ScenarioApi::J2534, &error)) << error;
  node.vehicle().SetScenario(scenario, true, 100);
  node.StartScenario(0);
  auto frame = [](std::uint32_t id, B data) {
    CanFrame f;
    f.id = id;
    f.size = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data);
    return f;
  };
  struct Row {
    const char* what;
    std::uint64_t atUs;
    B sent;  // a frame from the tester to 7E0 (empty: none)
    std::vector<std::pair<std::uint32_t, B>> expected;
  } rows[] = {
      {"the first periodic frame at once", 0, {}, {{0x100, {0x11}}}},
      {"a recorded raw frame: nothing at once", 1000, {0x02, 0x3E, 0x00, 0, 0, 0, 0, 0}, {}},
      {"nothing before the first answer's time", 20999, {}, {}},
      {"the first answer 20 ms after the request", 21000, {}, {{0x7E8, {0x02, 0x7E, 0x00, 0, 0, 0, 0, 0}}}},
      {"the second 50 ms after it", 51000, {}, {{0x7E8, {0x03, 0x7F, 0x3E, 0x78, 0, 0, 0, 0}}}},
      {"the next periodic frame 100 ms after the first", 100000, {}, {{0x100, {0x12}}}},
      {"a recorded payload: nothing at once", 110000, {0x03, 0x22, 0xF1, 0x90}, {}},
      {"its answer 30 ms later, as a single frame", 140000, {}, {{0x7E8, {0x04, 0x62, 0xF1, 0x90, 0x41}}}},
      {"an unknown request: no answer (ScenarioOnly)", 210000, {0x02, 0x3E, 0x80}, {}},
  };
  for (const Row& row : rows) {
    std::vector<CanFrame> out;
    if (!row.sent.empty()) node.OnFrame(frame(0x7E0, row.sent), row.atUs, out);
    else node.RunDue(row.atUs, out);
    // Frames compared without the transport's padding after a single frame's bytes.
    auto unpadded = [](B data) {
      while (data.size() > static_cast<std::size_t>(data[0] & 0x0F) + 1 && data.back() == 0) data.pop_back();
      return data;
    };
    std::vector<std::pair<std::uint32_t, B>> got, expected;
    for (const CanFrame& f : out) got.push_back({f.id, unpadded(B(f.data, f.data + f.size))});
    for (const auto& [id, data] : row.expected) expected.push_back({id, unpadded(data)});
    EXPECT_EQ(got, expected) << row.what;
  }
}

}  // namespace
