// One monitor serving both J2534 versions, end to end in this process: a copy
// registered under PassThruSupport.04.04 stands in for the 04.04 stand-in
// original, one registered under PassThruSupport.05.00 for the 05.00 one. One
// table of calls runs in both versions, each call through the monitor with
// that version's signature: it must reach the original unchanged, come back
// unchanged, and be logged by its version's names in every format.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "hosted/arch.h"
#include "monitoring/path_rules.h"
#include "tests/monitor_fixture.h"

namespace varrow {
namespace {

using passthru::ApiVersion;
using passthru::Long;
using passthru::ULong;
namespace v04 = passthru;
namespace v05 = passthru::v05;

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// The log once it holds `what` (the writer thread may still be at it); at most 20 s.
std::string LogWith(const std::wstring& path, const std::string& what) {
  std::string text;
  const ULONGLONG until = GetTickCount64() + 20000;
  while (!(test::ReadFileText(path, &text) && Has(text, what)) && GetTickCount64() < until) Sleep(5);
  return text;
}

// A session through one monitor copy, in one version.
struct Session {
  bool v05 = false;
  test::PassThruApi a4;
  test::PassThruApi05 a5;
  fake::State* original = nullptr;
  ULong device = 0, channel = 0;
  std::uint8_t buffers[4][64] = {};
  // A 05.00 message of `size` bytes (byte i = seed + i) in buffer `k`.
  v05::PassThruMsg Msg5(int k, ULong size, std::uint8_t seed, ULong protocol = v05::CAN) {
    v05::PassThruMsg m{};
    m.ProtocolID = protocol;
    m.DataBuffer = buffers[k];
    m.DataBufferSize = sizeof buffers[k];
    m.DataLength = size;
    for (ULong i = 0; i < size; ++i) buffers[k][i] = static_cast<std::uint8_t>(seed + i);
    return m;
  }
};

// One call of the table: made in each version by `run` (which checks what
// passed through), logged with the texts of its version.
struct Step {
  const char* what;
  void (*run)(Session& s);
  const char* logged[2];  // 04.04, 05.00; null: nothing of its own
  bool distinct;          // the other version's text must not be in the log
};

const Step kSteps[] = {
    {"open",
     [](Session& s) {
       s.device = 0xdeadbeef;
       EXPECT_EQ(s.v05 ? s.a5.Open(fake::kDeviceName, &s.device) : s.a4.Open(nullptr, &s.device), 0);
       EXPECT_EQ(s.device, fake::kDeviceId);
       EXPECT_EQ(s.original->pointers[1], &s.device);
     },
     {"PassThruOpen", "Fake VCI 05"}, false},
    {"version",
     [](Session& s) {
       char fw[80] = {}, dll[80] = {}, api[80] = {};
       EXPECT_EQ((s.v05 ? s.a5.ReadVersion : s.a4.ReadVersion)(s.device, fw, dll, api), 0);
       EXPECT_STREQ(api, s.v05 ? "05.00" : "04.04");
     },
     {"04.04", "05.00"}, true},
    {"battery",
     [](Session& s) {
       ULong mv = 0, pin = 16;
       v05::ResourceStruct battery{v05::J1962_CONNECTOR, 1, &pin};
       EXPECT_EQ(s.v05 ? s.a5.Ioctl(s.device, v05::READ_PIN_VOLTAGE, &battery, &mv)
                       : s.a4.Ioctl(s.device, v04::READ_VBATT, nullptr, &mv), 0);
       EXPECT_EQ(mv, fake::kBatteryMillivolts);
       EXPECT_EQ(s.original->pointers[0], s.v05 ? static_cast<void*>(&battery) : nullptr);
     },
     {"READ_VBATT", "READ_PIN_VOLTAGE"}, true},
    {"connect",
     [](Session& s) {
       ULong pins[] = {6, 14};
       const v05::ResourceStruct can{v05::J1962_CONNECTOR, 2, pins};
       EXPECT_EQ(s.v05 ? s.a5.Connect(s.device, v05::CAN, v05::CONNECT_CAN_29BIT_ID, 500000, can, &s.channel)
                       : s.a4.Connect(s.device, v04::ISO15765, v04::CONNECT_CAN_29BIT_ID, 500000, &s.channel), 0);
       EXPECT_EQ(s.channel, fake::kChannelId);
       EXPECT_EQ(s.original->args[2], 0x100u);
       EXPECT_EQ(s.original->args[3], 500000u);
       if (s.v05) {
         EXPECT_TRUE(s.original->args[4] == 1 && s.original->args[5] == 2 && s.original->pointers[0] == pins);
       }
     },
     {"ISO15765", "J1962_CONNECTOR, NumOfResources 2: 6, 14"}, false},
    {"filter",
     [](Session& s) {
       ULong filter = 0;
       if (s.v05) {
         v05::PassThruMsg mask = s.Msg5(0, 4, 0xF0), pattern = s.Msg5(1, 4, 0x10);
         EXPECT_EQ(s.a5.StartMsgFilter(s.channel, v05::PASS_FILTER, &mask, &pattern, &filter), 0);
         EXPECT_EQ(s.original->pointers[1], &pattern);
       } else {
         v04::PassThruMsg mask = test::CanMessage(4, 0xF0), pattern = test::CanMessage(4, 0x10),
                          flow = test::CanMessage(4, 0x20);
         EXPECT_EQ(s.a4.StartMsgFilter(s.channel, v04::FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter), 0);
         EXPECT_EQ(s.original->pointers[2], &flow);
       }
       EXPECT_EQ(filter, fake::kFilterId);
     },
     {"FLOW_CONTROL_FILTER", "PASS_FILTER"}, true},
    {"send",
     [](Session& s) {
       ULong count = 2;
       if (s.v05) {
         v05::PassThruMsg msgs[2] = {s.Msg5(0, 8, 1), s.Msg5(1, 8, 2)};
         EXPECT_EQ(s.a5.QueueMsgs(s.channel, msgs, &count), 0);
         EXPECT_EQ(s.original->pointers[0], msgs);
       } else {
         v04::PassThruMsg msgs[2] = {test::CanMessage(8, 1), test::CanMessage(8, 2)};
         EXPECT_EQ(s.a4.WriteMsgs(s.channel, msgs, &count, 0), 0);
         EXPECT_EQ(s.original->pointers[0], msgs);
       }
       EXPECT_EQ(count, 2u);
     },
     {"PassThruWriteMsgs", "PassThruQueueMsgs"}, true},
    {"read",
     [](Session& s) {
       s.original->readAvailable = 1;
       s.original->readDataSize = 8;
       ULong count = 4;
       if (s.v05) {
         v05::PassThruMsg read[4] = {s.Msg5(0, 0, 0), s.Msg5(1, 0, 0), s.Msg5(2, 0, 0), s.Msg5(3, 0, 0)};
         EXPECT_EQ(s.a5.ReadMsgs(s.channel, read, &count, 0), 0);
         EXPECT_TRUE(read[0].DataLength == 8 && read[0].DataBuffer == s.buffers[0] && s.buffers[0][7] == 7);
       } else {
         static v04::PassThruMsg read[4];
         EXPECT_EQ(s.a4.ReadMsgs(s.channel, read, &count, 0), 0);
         EXPECT_EQ(read[0].DataSize, 8u);
       }
       EXPECT_EQ(count, 1u);
     },
     {"DataSize 8, ExtraDataIndex 0", "DataLength 8, ExtraDataIndex 8, DataBufferSize 64"}, true},
    {"configuration",
     [](Session& s) {
       v04::SConfig get[2] = {{v04::DATA_RATE, 0}, {v04::ISO15765_STMIN, 0}};
       v04::SConfigList list{2, get};
       EXPECT_EQ((s.v05 ? s.a5.Ioctl : s.a4.Ioctl)(s.channel, v04::GET_CONFIG, &list, nullptr), 0);
       EXPECT_EQ(get[1].Value, 310u);
     },
     {"ISO15765_STMIN = 310", "ISO15765_STMIN = 310"}, false},
    {"voltage",
     [](Session& s) {
       ULong pin = 12;
       EXPECT_EQ(s.v05 ? s.a5.SetProgrammingVoltage(s.device, {v05::J1962_CONNECTOR, 1, &pin}, 18000)
                       : s.a4.SetProgrammingVoltage(s.device, 12, 18000), 0);
       if (s.v05) {
         EXPECT_EQ(s.original->pointers[0], &pin);
       }
       EXPECT_EQ(s.original->args[s.v05 ? 3 : 2], 18000u);
     },
     {"PinNumber", "J1962_CONNECTOR, NumOfResources 1: 12"}, true},
    {"a code named otherwise",
     [](Session& s) {
       s.original->forcedResult = 0x17;
       EXPECT_EQ((s.v05 ? s.a5.Disconnect : s.a4.Disconnect)(99), 0x17);
       s.original->forcedResult = -1;
     },
     {"ERR_NO_FLOW_CONTROL", "ERR_MSG_NOT_ALLOWED"}, true},
    {"new functions",
     [](Session& s) {
       ULong count = 0;
       if (!s.v05) {  // a 04.04 original without them: not supported
         EXPECT_EQ(s.a5.ScanForDevices(&count), v04::ERR_NOT_SUPPORTED);
         return;
       }
       v05::SDevice device{};
       EXPECT_TRUE(s.a5.ScanForDevices(&count) == 0 && count == 1);
       EXPECT_EQ(s.a5.GetNextDevice(&device), 0);
       EXPECT_STREQ(device.DeviceName, fake::kDeviceName);
       v05::Iso15765ChannelDescriptor d{0, v05::ISO15765_FRAME_PAD, {0, 0, 7, 0xE0, 0}, {0, 0, 7, 0xE8, 0}};
       ULong logical = 0;
       EXPECT_EQ(s.a5.LogicalConnect(s.channel, v05::ISO15765_LOGICAL, 0, &d, &logical), 0);
       EXPECT_TRUE(logical == fake::kLogicalChannelId && s.original->pointers[0] == &d);
       ULong ids[2] = {s.channel, logical};
       v05::SChannelSet set{2, 1, ids};
       EXPECT_EQ(s.a5.Select(&set, v05::READABLE_TYPE, 100), 0);
       EXPECT_TRUE(set.ChannelCount == 1 && set.ChannelList == ids);
       s.original->readDataSize = 100;  // into a 16-byte buffer: 16 bytes of it
       v05::PassThruMsg small = s.Msg5(0, 0, 0);
       small.DataBufferSize = 16;
       count = 1;
       EXPECT_EQ(s.a5.ReadMsgs(logical, &small, &count, 0), v05::ERR_BUFFER_TOO_SMALL);
       EXPECT_TRUE(count == 1 && small.DataLength == 100 && s.buffers[0][16] == 0);
       EXPECT_EQ(s.a5.LogicalDisconnect(logical), 0);
     },
     {"PassThruScanForDevices", "LocalAddress 00 00 07 E0 00, RemoteAddress 00 00 07 E8 00"}, false},
    {"close",
     [](Session& s) {
       char error[80] = {};
       EXPECT_EQ((s.v05 ? s.a5.GetLastError : s.a4.GetLastError)(error), 0);
       EXPECT_STREQ(error, fake::kLastError);
       EXPECT_EQ((s.v05 ? s.a5.Close : s.a4.Close)(s.device), 0);
     },
     {"PassThruClose", "PassThruClose"}, false},
};

// What the 05.00 log holds beyond the table's own texts.
const char* const kOnlyIn05[] = {
    "DEVICE_AVAILABLE, DEVICE_DLL_FW_COMPATIBLE, DEVICE_CONN_WIRED, ConnectSpeed 480000000",
    "ChannelCount 2, ChannelThreshold 1, ChannelList: 34, 85",
    "ChannelCount 1, ChannelThreshold 1, ChannelList: 34",
    "READABLE_TYPE",
    "ERR_BUFFER_TOO_SMALL",
    "DataLength 100 (beyond its buffer: 16 bytes in it)",
    "PassThruLogicalDisconnect",
};

class MonitorV05 : public ::testing::Test {
 protected:
  test::ScratchDir dir;
  test::RedirectedRegistry reg;
};

TEST_F(MonitorV05, OneMonitorServesBothVersionsByTheirNamesInEveryFormat) {
  const char* const extensions[] = {"", ".txt", ".xml", ".csv", ".html"};
  for (int version = 0; version < 2; ++version) {
    for (DWORD format = 1; format <= 4; ++format) {
      SCOPED_TRACE(std::to_string(version) + " format " + std::to_string(format));
      const std::wstring name = L"Vci" + std::to_wstring(version) + std::to_wstring(format) + L".dll";
      const std::wstring library = test::InstallMonitor(dir, reg.Machine(), name, true,
                                                        version == 1 ? ApiVersion::k0500 : ApiVersion::k0404);
      const std::string ext = extensions[format];
      const std::wstring log = dir / (L"log" + name + std::wstring(ext.begin(), ext.end()));
      test::WriteUserSettings(reg.User(), library, log, format);
      Session s;
      s.v05 = version == 1;
      ASSERT_TRUE(s.v05 ? s.a5.Load(library) : s.a4.Load(library));
      if (!s.v05) {
        ASSERT_TRUE(s.a5.Load(library));  // it exports the 05.00 names in a 04.04 session too
      }
      s.original = test::FakeStateOf(library);
      ASSERT_NE(s.original, nullptr);
      for (const Step& step : kSteps) {
        SCOPED_TRACE(step.what);
        step.run(s);
      }
      const std::string text = LogWith(log, "PassThruClose");
      for (const Step& step : kSteps) {
        EXPECT_TRUE(Has(text, step.logged[version])) << step.logged[version];
        if (step.distinct) {
          EXPECT_FALSE(Has(text, step.logged[1 - version])) << step.logged[1 - version];
        }
      }
      for (const char* only : kOnlyIn05) EXPECT_EQ(Has(text, only), s.v05) << only;
      if (format == 2) {
        EXPECT_EQ(test::XmlProblem(text), "");
      }
      if (format == 3) {
        std::vector<std::vector<std::string>> rows;
        ASSERT_TRUE(test::ParseCsv(text, &rows));
        for (const auto& row : rows) EXPECT_EQ(row.size(), 10u);
      }
    }
  }
}

// A session of a 05.00 client on the simulated 05.00 VCI: discovery, a CAN
// channel, an ISO 15765 logical channel to the engine, an OBD request queued,
// a select until the answer waits, the answer read, the VIN read into a buffer
// too small for it; each call's code and outputs as a line.
std::vector<std::string> SimulatedSession(const test::PassThruApi05& api) {
  std::vector<std::string> lines;
  Long rc = 0;  // each call made before its outputs are read
  const auto line = [&](const char* what, const std::string& out = "") {
    lines.push_back(std::string(what) + " " + std::to_string(rc) + " " + out);
  };
  ULong count = 0, device = 0, can = 0, engine = 0;
  rc = api.ScanForDevices(&count), line("scan", std::to_string(count));
  v05::SDevice found{};
  rc = api.GetNextDevice(&found), line("next", std::string(found.DeviceName) + " " + std::to_string(found.DeviceAvailable));
  rc = api.Open("OVRA VCI 05", &device), line("open");
  ULong pins[2] = {6, 14};
  rc = api.Connect(device, v05::CAN, 0, 500000, {v05::J1962_CONNECTOR, 2, pins}, &can), line("connect");
  v05::Iso15765ChannelDescriptor d{v05::ISO15765_FRAME_PAD, v05::ISO15765_FRAME_PAD, {0, 0, 7, 0xE8, 0}, {0, 0, 7, 0xE0, 0}};
  rc = api.LogicalConnect(can, v05::ISO15765_LOGICAL, 0, &d, &engine), line("logical");
  std::uint8_t out[8] = {0, 0, 7, 0xE0, 0x09, 0x02}, in[4128];
  for (const ULong room : {4128u, 8u}) {  // the VIN: whole, then into 8 bytes
    v05::PassThruMsg request{v05::ISO15765_LOGICAL, 0, 0, v05::ISO15765_FRAME_PAD, 0, 6, 0, out, sizeof out};
    ULong one = 1;
    rc = api.QueueMsgs(engine, &request, &one), line("queue", std::to_string(one));
    // The indication that the request went, then the answer (a message longer than an id).
    for (int k = 0; k < 3; ++k) {
      ULong ids[1] = {engine};
      v05::SChannelSet set{1, 1, ids};
      rc = api.Select(&set, v05::READABLE_TYPE, 5000), line("select", std::to_string(set.ChannelCount));
      std::memset(in, 0, sizeof in);
      v05::PassThruMsg answer{};
      answer.DataBuffer = in;
      answer.DataBufferSize = room;
      one = 1;
      rc = api.ReadMsgs(engine, &answer, &one, 5000);
      const ULong got = std::min<ULong>(answer.DataLength, room);  // the VIN's text after 4 + 3 bytes
      line("read", std::to_string(one) + " " + std::to_string(answer.DataLength) + " " +
                       (got > 7 ? std::string(reinterpret_cast<const char*>(in + 7), got - 7) : ""));
      if (answer.DataLength > 5 || rc != 0) break;
    }
  }
  rc = api.LogicalDisconnect(engine), line("unlogical");
  rc = api.Disconnect(can), line("disconnect");
  rc = api.Close(device), line("close");
  return lines;
}

// The simulated 05.00 VCI answers alike with and without the monitor in front
// of it, in every format, and the log names every call by its 05.00 name.
TEST_F(MonitorV05, TheSimulatedVciAnswersAlikeThroughTheMonitorInEveryFormat) {
  const std::wstring simulated = test::BinFolder() + L"\\OvraSim05PT" VARROW_BITS_TEXT L".dll";
  const char* const extensions[] = {"", ".txt", ".xml", ".csv", ".html"};
  for (DWORD format = 1; format <= 4; ++format) {
    SCOPED_TRACE(format);
    const std::wstring name = L"Sim" + std::to_wstring(format) + L".dll";
    const std::wstring library = test::InstallMonitor(dir, reg.Machine(), name, true, ApiVersion::k0500);
    ASSERT_TRUE(CopyFileW(simulated.c_str(), AsidePath(library).c_str(), FALSE));
    const std::string ext = extensions[format];
    const std::wstring log = dir / (L"sim" + std::wstring(ext.begin(), ext.end()));
    test::WriteUserSettings(reg.User(), library, log, format);
    test::PassThruApi05 direct, monitored;
    ASSERT_TRUE(direct.Load(simulated) && monitored.Load(library));
    const std::vector<std::string> expected = SimulatedSession(direct);
    EXPECT_EQ(SimulatedSession(monitored), expected);
    const auto said = [&expected](const std::string& l) {
      return std::find(expected.begin(), expected.end(), l) != expected.end();
    };
    EXPECT_TRUE(said("scan 0 1") && said("next 0 OVRA VCI 05 1"));
    EXPECT_TRUE(said("read 0 1 24 WOVRA00SIM0000001"));  // 4 bytes of id, 49 02 01, the VIN
    EXPECT_TRUE(said("read 35 1 24 W"));                 // ERR_BUFFER_TOO_SMALL: 8 bytes of it
    const std::string text = LogWith(log, "PassThruClose");
    for (const char* call : {"PassThruScanForDevices", "PassThruGetNextDevice", "J1962_CONNECTOR, NumOfResources 2: 6, 14",
                             "ISO15765_LOGICAL", "RemoteAddress 00 00 07 E0 00", "PassThruQueueMsgs", "READABLE_TYPE",
                             "ERR_BUFFER_TOO_SMALL", "DataLength 24 (beyond its buffer: 8 bytes in it)",
                             "PassThruLogicalDisconnect", "PassThruClose"}) {
      EXPECT_TRUE(Has(text, call)) << call;
    }
  }
}

}  // namespace
}  // namespace varrow
