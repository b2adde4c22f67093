// The simulated VCI, loaded as an application loads it (LoadLibrary of
// OvraSimPT32.dll beside the test program, GetProcAddress of the exports),
// and the simulated ECU's answers.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "passthru/j2534.h"
#include "simulator/ecu.h"

namespace {

using namespace passthru;
using Bytes = std::vector<std::uint8_t>;

// The library's exports, bound once for the suite.
struct Sim {
  HMODULE module = nullptr;
  PassThruOpenFn Open;
  PassThruCloseFn Close;
  PassThruConnectFn Connect;
  PassThruDisconnectFn Disconnect;
  PassThruReadMsgsFn Read;
  PassThruWriteMsgsFn Write;
  PassThruStartPeriodicMsgFn StartPeriodic;
  PassThruStopPeriodicMsgFn StopPeriodic;
  PassThruStartMsgFilterFn StartFilter;
  PassThruStopMsgFilterFn StopFilter;
  PassThruSetProgrammingVoltageFn SetVoltage;
  PassThruReadVersionFn ReadVersion;
  PassThruGetLastErrorFn LastError;
  PassThruIoctlFn Ioctl;
};

template <typename Fn>
void Bind(HMODULE m, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  ASSERT_NE(fn, nullptr) << name;
}

class SimPassThru : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path = exe;
    path = path.substr(0, path.rfind(L'\\') + 1) + L"OvraSimPT32.dll";
    sim_.module = LoadLibraryW(path.c_str());
    ASSERT_NE(sim_.module, nullptr);
    Bind(sim_.module, "PassThruOpen", sim_.Open);
    Bind(sim_.module, "PassThruClose", sim_.Close);
    Bind(sim_.module, "PassThruConnect", sim_.Connect);
    Bind(sim_.module, "PassThruDisconnect", sim_.Disconnect);
    Bind(sim_.module, "PassThruReadMsgs", sim_.Read);
    Bind(sim_.module, "PassThruWriteMsgs", sim_.Write);
    Bind(sim_.module, "PassThruStartPeriodicMsg", sim_.StartPeriodic);
    Bind(sim_.module, "PassThruStopPeriodicMsg", sim_.StopPeriodic);
    Bind(sim_.module, "PassThruStartMsgFilter", sim_.StartFilter);
    Bind(sim_.module, "PassThruStopMsgFilter", sim_.StopFilter);
    Bind(sim_.module, "PassThruSetProgrammingVoltage", sim_.SetVoltage);
    Bind(sim_.module, "PassThruReadVersion", sim_.ReadVersion);
    Bind(sim_.module, "PassThruGetLastError", sim_.LastError);
    Bind(sim_.module, "PassThruIoctl", sim_.Ioctl);
  }
  void SetUp() override {
    ASSERT_NE(sim_.module, nullptr);
    ASSERT_EQ(sim_.Open(nullptr, &device_), STATUS_NOERROR);
  }
  void TearDown() override { sim_.Close(device_); }

  static PassThruMsg Msg(ULong protocol, std::uint32_t id, const Bytes& data, ULong txFlags = 0) {
    PassThruMsg m{};
    m.ProtocolID = protocol;
    m.TxFlags = txFlags;
    m.Data[0] = static_cast<std::uint8_t>(id >> 24);
    m.Data[1] = static_cast<std::uint8_t>(id >> 16);
    m.Data[2] = static_cast<std::uint8_t>(id >> 8);
    m.Data[3] = static_cast<std::uint8_t>(id);
    std::memcpy(m.Data + 4, data.data(), data.size());
    m.DataSize = static_cast<ULong>(4 + data.size());
    return m;
  }
  // An ISO15765 channel with the flow-control filter 7E8/7E0.
  ULong IsoChannel() {
    ULong ch = 0, filter = 0;
    EXPECT_EQ(sim_.Connect(device_, ISO15765, 0, 500000, &ch), STATUS_NOERROR);
    PassThruMsg mask = Msg(ISO15765, 0xFFFFFFFF, {}), pattern = Msg(ISO15765, 0x7E8, {}),
                flow = Msg(ISO15765, 0x7E0, {}, ISO15765_FRAME_PAD);
    EXPECT_EQ(sim_.StartFilter(ch, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter), STATUS_NOERROR);
    return ch;
  }
  // Every message queued now: (RxStatus, data after the identifier).
  std::vector<std::pair<ULong, Bytes>> Drain(ULong ch) {
    std::vector<std::pair<ULong, Bytes>> got;
    static PassThruMsg msgs[8];
    ULong n = 8;
    while (sim_.Read(ch, msgs, &n, 0) == STATUS_NOERROR && n > 0) {
      for (ULong i = 0; i < n; ++i)
        got.push_back({msgs[i].RxStatus, Bytes(msgs[i].Data + 4, msgs[i].Data + msgs[i].DataSize)});
      n = 8;
    }
    return got;
  }

  static Sim sim_;
  ULong device_ = 0;
};
Sim SimPassThru::sim_;

Bytes Vin() { return Bytes(simulator::kSimulatedVin, simulator::kSimulatedVin + 17); }
Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SimulatedEcu, AnswersItsServicesAndRefusesTheRest) {
  struct Case {
    std::uint32_t id;
    Bytes request, answer;
  } cases[] = {
      {0x7E0, {0x01, 0x00}, {0x41, 0x00, 0x00, 0x10, 0x00, 0x00}},
      {0x7DF, {0x01, 0x0C}, {0x41, 0x0C, 0x0C, 0x80}},  // 800 rpm
      {0x7E0, {0x01, 0x00, 0x0C}, {0x41, 0x00, 0x00, 0x10, 0x00, 0x00, 0x0C, 0x0C, 0x80}},
      {0x7E0, {0x01, 0x05}, {0x7F, 0x01, 0x31}},
      {0x7DF, {0x01, 0x05}, {}},  // functional requests get no negative answer
      {0x7E0, {0x09, 0x02}, Join({0x49, 0x02, 0x01}, Vin())},
      {0x7E0, {0x10, 0x03}, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}},
      {0x7E0, {0x10, 0x07}, {0x7F, 0x10, 0x12}},
      {0x7E0, {0x3E, 0x00}, {0x7E, 0x00}},
      {0x7E0, {0x3E, 0x80}, {}},  // positive answer suppressed
      {0x7E0, {0x22, 0xF1, 0x90}, Join({0x62, 0xF1, 0x90}, Vin())},
      {0x7E0, {0x22, 0xF1, 0x91}, {0x7F, 0x22, 0x31}},
      {0x7E0, {0x22, 0xF1}, {0x7F, 0x22, 0x13}},
      {0x7E0, {0x27, 0x01}, {0x7F, 0x27, 0x11}},
      {0x7E1, {0x01, 0x00}, {}},  // another ECU's id
  };
  for (const Case& c : cases)
    EXPECT_EQ(simulator::EcuRespond(c.id, c.request), c.answer)
        << std::hex << c.id << " request " << int{c.request[0]};
}

TEST_F(SimPassThru, ReturnsTheStandardCodesForBadArguments) {
  ULong can = 0, out = 0;
  ASSERT_EQ(sim_.Connect(device_, CAN, 0, 500000, &can), STATUS_NOERROR);
  PassThruMsg m = Msg(CAN, 0x7E0, {0x02, 0x01, 0x0C});
  PassThruMsg iso = Msg(ISO15765, 0x7E0, {0x01, 0x00});
  ULong one = 1, room = 1, roomTimed = 1;
  SConfig bad{ISO15765_BS, 8};
  SConfigList badList{1, &bad};
  struct Row {
    const char* what;
    Long code, expected;
  } rows[] = {
      {"second open", sim_.Open(nullptr, &out), ERR_DEVICE_IN_USE},
      {"open without id", sim_.Open(nullptr, nullptr), ERR_NULL_PARAMETER},
      {"connect bad device", sim_.Connect(99, CAN, 0, 500000, &out), ERR_INVALID_DEVICE_ID},
      {"connect J1850", sim_.Connect(device_, J1850VPW, 0, 10400, &out), ERR_NOT_SUPPORTED},
      {"connect vendor protocol", sim_.Connect(device_, 0x8001, 0, 500000, &out), ERR_INVALID_PROTOCOL_ID},
      {"connect bad flags", sim_.Connect(device_, ISO15765, ISO9141_NO_CHECKSUM, 500000, &out), ERR_INVALID_FLAGS},
      {"connect bad rate", sim_.Connect(device_, ISO15765, 0, 83333, &out), ERR_INVALID_BAUDRATE},
      {"connect twice", sim_.Connect(device_, CAN, 0, 500000, &out), ERR_CHANNEL_IN_USE},
      {"connect without id", sim_.Connect(device_, ISO15765, 0, 500000, nullptr), ERR_NULL_PARAMETER},
      {"write bad channel", sim_.Write(77, &m, &one, 0), ERR_INVALID_CHANNEL_ID},
      {"write NULL", sim_.Write(can, nullptr, &one, 0), ERR_NULL_PARAMETER},
      {"write other protocol", sim_.Write(can, &iso, &one, 0), ERR_MSG_PROTOCOL_ID},
      {"read NULL count", sim_.Read(can, &m, nullptr, 0), ERR_NULL_PARAMETER},
      {"read empty", sim_.Read(can, &m, &room, 0), ERR_BUFFER_EMPTY},
      {"read empty until the timeout", sim_.Read(can, &m, &roomTimed, 30), ERR_BUFFER_EMPTY},
      {"filter NULL", sim_.StartFilter(can, PASS_FILTER, nullptr, &m, nullptr, &out), ERR_NULL_PARAMETER},
      {"flow control on CAN", sim_.StartFilter(can, FLOW_CONTROL_FILTER, &m, &m, &m, &out), ERR_NOT_SUPPORTED},
      {"stop unknown filter", sim_.StopFilter(can, 42), ERR_INVALID_FILTER_ID},
      {"stop unknown periodic", sim_.StopPeriodic(can, 42), ERR_INVALID_MSG_ID},
      {"periodic too fast", sim_.StartPeriodic(can, &m, &out, 1), ERR_INVALID_TIME_INTERVAL},
      {"ioctl unknown", sim_.Ioctl(can, 0x8123, nullptr, nullptr), ERR_INVALID_IOCTL_ID},
      {"vbatt NULL", sim_.Ioctl(device_, READ_VBATT, nullptr, nullptr), ERR_NULL_PARAMETER},
      {"config NULL", sim_.Ioctl(can, GET_CONFIG, nullptr, nullptr), ERR_NULL_PARAMETER},
      {"ISO15765_BS on CAN", sim_.Ioctl(can, SET_CONFIG, &badList, nullptr), ERR_NOT_SUPPORTED},
      {"programming pin", sim_.SetVoltage(device_, 3, 12000), ERR_PIN_INVALID},
      {"version NULL", sim_.ReadVersion(device_, nullptr, nullptr, nullptr), ERR_NULL_PARAMETER},
      {"disconnect bad id", sim_.Disconnect(1234), ERR_INVALID_CHANNEL_ID},
      {"close bad id", sim_.Close(55), ERR_INVALID_DEVICE_ID},
  };
  for (const Row& r : rows) EXPECT_EQ(r.code, r.expected) << r.what;
  EXPECT_EQ(room + roomTimed, 0u) << "nothing read is what the count says";
  char text[kTextChars + 8];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(sim_.LastError(text), STATUS_NOERROR);
  EXPECT_STREQ(text, "Unknown device id");
  EXPECT_EQ(text[kTextChars], 'x');  // never past the 80 characters
}

TEST_F(SimPassThru, IsoChannelCarriesSingleAndSegmentedMessagesWithIndications) {
  ULong ch = 0;
  PassThruMsg request = Msg(ISO15765, 0x7E0, {0x22, 0xF1, 0x90}, ISO15765_FRAME_PAD);
  ULong one = 1;
  ASSERT_EQ(sim_.Connect(device_, ISO15765, 0, 500000, &ch), STATUS_NOERROR);
  EXPECT_EQ(sim_.Write(ch, &request, &one, 0), ERR_NO_FLOW_CONTROL);
  EXPECT_EQ(one, 0u);
  sim_.Disconnect(ch);
  ch = IsoChannel();
  SConfig setBs[] = {{ISO15765_BS, 2}, {ISO15765_STMIN, 5}, {LOOPBACK, 0}};
  SConfigList set{3, setBs};
  ASSERT_EQ(sim_.Ioctl(ch, SET_CONFIG, &set, nullptr), STATUS_NOERROR);

  one = 1;
  ASSERT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  // A request longer than a single frame, segmented by the channel (wrong length: NRC 0x13).
  PassThruMsg longRequest = Msg(ISO15765, 0x7E0, Bytes(20, 0x22), ISO15765_FRAME_PAD);
  ASSERT_EQ(sim_.Write(ch, &longRequest, &one, 0), STATUS_NOERROR);
  const std::vector<std::pair<ULong, Bytes>> expected = {
      {TX_INDICATION, {}},
      {START_OF_MESSAGE, {}},
      {0, Join({0x62, 0xF1, 0x90}, Vin())},
      {TX_INDICATION, {}},
      {0, {0x7F, 0x22, 0x13}},
  };
  EXPECT_EQ(Drain(ch), expected);

  SConfig get[] = {{ISO15765_BS, 0}, {ISO15765_STMIN, 0}, {DATA_RATE, 0}, {LOOPBACK, 9}};
  SConfigList list{4, get};
  ASSERT_EQ(sim_.Ioctl(ch, GET_CONFIG, &list, nullptr), STATUS_NOERROR);
  EXPECT_EQ(get[0].Value, 2u);
  EXPECT_EQ(get[1].Value, 5u);
  EXPECT_EQ(get[2].Value, 500000u);
  EXPECT_EQ(get[3].Value, 0u);
}

TEST_F(SimPassThru, CanChannelFiltersLoopsBackAndSendsPeriodicMessages) {
  ULong ch = 0, pass = 0, block = 0, periodic = 0;
  ASSERT_EQ(sim_.Connect(device_, CAN, 0, 500000, &ch), STATUS_NOERROR);
  PassThruMsg request = Msg(CAN, 0x7DF, {0x02, 0x01, 0x0C, 0, 0, 0, 0, 0});
  ULong one = 1;
  ASSERT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  EXPECT_TRUE(Drain(ch).empty()) << "no filter: nothing is received";

  PassThruMsg mask = Msg(CAN, 0xFFFFFFFF, {}), pattern = Msg(CAN, 0x7E8, {});
  ASSERT_EQ(sim_.StartFilter(ch, PASS_FILTER, &mask, &pattern, nullptr, &pass), STATUS_NOERROR);
  ASSERT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  const std::vector<std::pair<ULong, Bytes>> answer = {{0, {0x04, 0x41, 0x0C, 0x0C, 0x80, 0, 0, 0}}};
  EXPECT_EQ(Drain(ch), answer);

  PassThruMsg blockMask = Msg(CAN, 0xFFFFFFFF, {0xFF}), blockPattern = Msg(CAN, 0x7E8, {0x04});
  ASSERT_EQ(sim_.StartFilter(ch, BLOCK_FILTER, &blockMask, &blockPattern, nullptr, &block), STATUS_NOERROR);
  ASSERT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  EXPECT_TRUE(Drain(ch).empty()) << "the block filter wins over the pass filter";
  ASSERT_EQ(sim_.StopFilter(ch, block), STATUS_NOERROR);

  SConfig loop{LOOPBACK, 1};
  SConfigList list{1, &loop};
  ASSERT_EQ(sim_.Ioctl(ch, SET_CONFIG, &list, nullptr), STATUS_NOERROR);
  PassThruMsg tester = Msg(CAN, 0x7DF, {0x02, 0x3E, 0x80, 0, 0, 0, 0, 0});
  ASSERT_EQ(sim_.StartPeriodic(ch, &tester, &periodic, 20), STATUS_NOERROR);
  // The periodic thread wakes the waiting read: the echo comes well before the timeout.
  PassThruMsg echo{};
  one = 1;
  ASSERT_EQ(sim_.Read(ch, &echo, &one, 10000), STATUS_NOERROR);
  EXPECT_EQ(echo.RxStatus, ULong{TX_MSG_TYPE});
  EXPECT_EQ(Bytes(echo.Data, echo.Data + echo.DataSize), Bytes(tester.Data, tester.Data + 12));
  EXPECT_EQ(sim_.StopPeriodic(ch, periodic), STATUS_NOERROR);

  char firmware[kTextChars], dll[kTextChars], api[kTextChars];
  ASSERT_EQ(sim_.ReadVersion(device_, firmware, dll, api), STATUS_NOERROR);
  EXPECT_STREQ(api, "04.04");
  ULong millivolts = 0;
  ASSERT_EQ(sim_.Ioctl(device_, READ_VBATT, nullptr, &millivolts), STATUS_NOERROR);
  EXPECT_EQ(millivolts, 12600u);
}

}  // namespace
