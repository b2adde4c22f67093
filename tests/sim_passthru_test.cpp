// The simulated VCI, loaded as an application loads it (LoadLibrary of
// OvraSimPT32.dll beside the test program, GetProcAddress of the exports):
// the J2534 rules, ISO 15765 flow control both ways, the vehicle behind it
// and its fault settings.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "passthru/j2534.h"
#include "simulator/fault_settings.h"
#include "simulator/vehicle/vehicle.h"
#include "tests/helpers/process_footprint.h"
#include "tests/test_support.h"
#include "hosted/arch.h"

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
    path = path.substr(0, path.rfind(L'\\') + 1) + L"OvraSimPT" VARROW_BITS_TEXT L".dll";
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
    for (const PassThruMsg& m : ReadAll(ch, 0, 0)) got.push_back({m.RxStatus, Bytes(m.Data + 4, m.Data + m.DataSize)});
    return got;
  }
  // Reads until `count` messages came or `timeoutMs` passed (0: what is queued now).
  std::vector<PassThruMsg> ReadAll(ULong ch, ULong count, ULong timeoutMs) {
    std::vector<PassThruMsg> got;
    static PassThruMsg msgs[8];
    for (;;) {
      ULong n = count == 0 ? 8 : std::min<ULong>(8, count - static_cast<ULong>(got.size()));
      const Long code = sim_.Read(ch, msgs, &n, timeoutMs);
      for (ULong i = 0; i < n && i < 8; ++i) got.push_back(msgs[i]);
      if (code != STATUS_NOERROR || (count != 0 && got.size() >= count)) return got;
    }
  }
  // Connects an ISO15765 channel (with flow-control filters response/request)
  // or a CAN channel (with pass filters on the ids).
  ULong Channel(ULong protocol, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& pairs) {
    ULong ch = 0, filter = 0;
    EXPECT_EQ(sim_.Connect(device_, protocol, 0, 500000, &ch), STATUS_NOERROR);
    for (const auto& [response, request] : pairs) {
      PassThruMsg mask = Msg(protocol, 0xFFFFFFFF, {}), pattern = Msg(protocol, response, {}),
                  flow = Msg(protocol, request, {}, ISO15765_FRAME_PAD);
      EXPECT_EQ(sim_.StartFilter(ch, protocol == ISO15765 ? FLOW_CONTROL_FILTER : PASS_FILTER, &mask,
                                 &pattern, protocol == ISO15765 ? &flow : nullptr, &filter),
                STATUS_NOERROR);
    }
    return ch;
  }
  Long Send(ULong ch, const PassThruMsg& m, ULong timeoutMs = 0) {
    PassThruMsg copy = m;
    ULong one = 1;
    return sim_.Write(ch, &copy, &one, timeoutMs);
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
      {"flow control on CAN", sim_.StartFilter(can, FLOW_CONTROL_FILTER, &m, &m, &m, &out), ERR_INVALID_FILTER_ID},
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

// What a message read says of itself: RxStatus, ExtraDataIndex and the data
// after the CAN id.
struct Seen {
  ULong rxStatus, extraDataIndex;
  std::uint32_t id;
  Bytes data;
  bool operator==(const Seen& o) const {
    return rxStatus == o.rxStatus && extraDataIndex == o.extraDataIndex && id == o.id && data == o.data;
  }
};
std::vector<Seen> Look(const std::vector<PassThruMsg>& msgs) {
  std::vector<Seen> seen;
  for (const PassThruMsg& m : msgs)
    seen.push_back({m.RxStatus, m.ExtraDataIndex,
                    (std::uint32_t{m.Data[0]} << 24) | (m.Data[1] << 16) | (m.Data[2] << 8) | m.Data[3],
                    Bytes(m.Data + 4, m.Data + std::min<ULong>(m.DataSize, kMaxDataSize))});
  return seen;
}
Bytes Frame(Bytes b) {
  b.resize(8, 0x00);
  return b;
}

TEST_F(SimPassThru, IsoChannelCarriesSingleAndSegmentedMessagesWithIndications) {
  ULong ch = 0;
  PassThruMsg request = Msg(ISO15765, 0x7E0, {0x22, 0xF1, 0x90}, ISO15765_FRAME_PAD);
  // A request longer than a single frame, segmented by the channel (wrong length: NRC 0x13).
  PassThruMsg longRequest = Msg(ISO15765, 0x7E0, Bytes(20, 0x22), ISO15765_FRAME_PAD);
  ULong one = 1;
  ASSERT_EQ(sim_.Connect(device_, ISO15765, 0, 500000, &ch), STATUS_NOERROR);
  // Without a flow-control filter a single frame goes out, a segmented message does not.
  EXPECT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  EXPECT_EQ(one, 1u);
  EXPECT_EQ(sim_.Write(ch, &longRequest, &one, 0), ERR_NO_FLOW_CONTROL);
  EXPECT_EQ(one, 0u);
  sim_.Disconnect(ch);
  ch = IsoChannel();
  SConfig setBs[] = {{ISO15765_BS, 2}, {ISO15765_STMIN, 5}, {LOOPBACK, 0}};
  SConfigList set{3, setBs};
  ASSERT_EQ(sim_.Ioctl(ch, SET_CONFIG, &set, nullptr), STATUS_NOERROR);

  one = 1;
  ASSERT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  // Indications carry no data (ExtraDataIndex 0), received messages end where their data ends.
  const Bytes answer = Join({0x62, 0xF1, 0x90}, Vin());
  const std::vector<Seen> vin = {
      {TX_INDICATION, 0, 0x7E0, {}},
      {START_OF_MESSAGE, 0, 0x7E8, {}},
      {0, 4 + 20, 0x7E8, answer},
  };
  const std::vector<Seen> got = Look(ReadAll(ch, 3, 5000));
  EXPECT_EQ(got, vin);
  one = 1;
  ASSERT_EQ(sim_.Write(ch, &longRequest, &one, 0), STATUS_NOERROR);
  const std::vector<Seen> refused = {{TX_INDICATION, 0, 0x7E0, {}}, {0, 7, 0x7E8, {0x7F, 0x22, 0x13}}};
  EXPECT_EQ(Look(ReadAll(ch, 2, 5000)), refused);

  SConfig get[] = {{ISO15765_BS, 0}, {ISO15765_STMIN, 0}, {DATA_RATE, 0}, {LOOPBACK, 9}};
  SConfigList list{4, get};
  ASSERT_EQ(sim_.Ioctl(ch, GET_CONFIG, &list, nullptr), STATUS_NOERROR);
  EXPECT_EQ(get[0].Value, 2u);
  EXPECT_EQ(get[1].Value, 5u);
  EXPECT_EQ(get[2].Value, 500000u);
  EXPECT_EQ(get[3].Value, 0u);
}

// The most common OBD-II recipe: a flow-control filter per ECU, a functional
// request to 7DF (no filter of its own), the answers of both ECUs.
TEST_F(SimPassThru, FunctionalRequestNeedsNoFlowControlFilterAndBothEcusAnswer) {
  const ULong ch = Channel(ISO15765, {{0x7E8, 0x7E0}, {0x7E9, 0x7E1}});
  ASSERT_EQ(Send(ch, Msg(ISO15765, 0x7DF, {0x01, 0x1C}, ISO15765_FRAME_PAD)), STATUS_NOERROR);
  const std::vector<Seen> obd = {
      {TX_INDICATION, 0, 0x7DF, {}},
      {0, 7, 0x7E8, {0x41, 0x1C, 0x06}},
      {0, 7, 0x7E9, {0x41, 0x1C, 0x06}},
  };
  EXPECT_EQ(Look(ReadAll(ch, 3, 5000)), obd);
}

TEST_F(SimPassThru, FilterTypesAndFlagsFollowTheProtocol) {
  ULong iso = 0, can = 0, id = 0;
  ASSERT_EQ(sim_.Connect(device_, ISO15765, 0, 500000, &iso), STATUS_NOERROR);
  ASSERT_EQ(sim_.Connect(device_, CAN, 0, 500000, &can), STATUS_NOERROR);
  PassThruMsg isoMask = Msg(ISO15765, 0xFFFFFFFF, {}), isoPattern = Msg(ISO15765, 0x7E8, {}),
              isoFlow = Msg(ISO15765, 0x7E0, {}, ISO15765_FRAME_PAD),
              isoFlow29 = Msg(ISO15765, 0x7E0, {}, TX_CAN_29BIT_ID),
              functional = Msg(ISO15765, 0x7DF, {}), canMask = Msg(CAN, 0xFFFFFFFF, {}),
              canPattern = Msg(CAN, 0x7E8, {});
  struct Row {
    const char* what;
    ULong channel, type;
    PassThruMsg *mask, *pattern, *flow;
    Long expected;
  } rows[] = {
      {"pass filter on ISO15765", iso, PASS_FILTER, &isoMask, &isoPattern, nullptr, ERR_INVALID_FILTER_ID},
      {"block filter on ISO15765", iso, BLOCK_FILTER, &isoMask, &isoPattern, nullptr, ERR_INVALID_FILTER_ID},
      {"flow control on CAN", can, FLOW_CONTROL_FILTER, &canMask, &canPattern, &canPattern, ERR_INVALID_FILTER_ID},
      {"29-bit flow control for an 11-bit pattern", iso, FLOW_CONTROL_FILTER, &isoMask, &isoPattern, &isoFlow29, ERR_INVALID_MSG},
      {"flow control", iso, FLOW_CONTROL_FILTER, &isoMask, &isoPattern, &isoFlow, STATUS_NOERROR},
      {"the same pattern again", iso, FLOW_CONTROL_FILTER, &isoMask, &isoPattern, &functional, ERR_NOT_UNIQUE},
      {"functional: pattern is its flow-control id", iso, FLOW_CONTROL_FILTER, &isoMask, &functional, &functional, STATUS_NOERROR},
      {"pass filter on CAN", can, PASS_FILTER, &canMask, &canPattern, nullptr, STATUS_NOERROR},
  };
  for (const Row& r : rows)
    EXPECT_EQ(sim_.StartFilter(r.channel, r.type, r.mask, r.pattern, r.flow, &id), r.expected) << r.what;
  // The functional filter receives single frames sent to 7DF (here by the CAN channel).
  ASSERT_EQ(Send(can, Msg(CAN, 0x7DF, Frame({0x02, 0x3E, 0x80}))), STATUS_NOERROR);
  const std::vector<Seen> heard = {{0, 6, 0x7DF, {0x3E, 0x80}}};
  EXPECT_EQ(Look(ReadAll(iso, 0, 0)), heard);
}

// The channel as a sender, with the test as the receiver: a CAN channel on
// the same bus sees the frames sent to 7A0 (no ECU there) and answers with
// the flow-control frames of each row.
TEST_F(SimPassThru, SenderHonoursTheReceiversFlowControl) {
  const ULong iso = Channel(ISO15765, {{0x7A8, 0x7A0}});
  const ULong can = Channel(CAN, {{0x7A0, 0}});
  auto sequenceNumbers = [](const std::vector<Seen>& frames) {
    std::vector<int> numbers;
    for (const Seen& f : frames) numbers.push_back(f.data.empty() ? -1 : f.data[0]);
    return numbers;
  };
  Bytes payload(40);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(Send(iso, Msg(ISO15765, 0x7A0, payload, ISO15765_FRAME_PAD)), STATUS_NOERROR);
  struct Row {
    const char* what;
    Bytes flowControl;
    std::vector<int> frames;  // first bytes of the frames that follow at once
  } rows[] = {
      {"block size 2: two frames, then the sender waits", {0x30, 0x02, 0x00}, {0x21, 0x22}},
      {"wait: nothing", {0x31, 0x00, 0x00}, {}},
      {"continue, block size 0: the rest", {0x30, 0x00, 0x00}, {0x23, 0x24, 0x25}},
      {"a flow control nobody waits for: nothing", {0x30, 0x00, 0x00}, {}},
  };
  EXPECT_EQ(sequenceNumbers(Look(ReadAll(can, 0, 0))), std::vector<int>{0x10}) << "the first frame";
  for (const Row& r : rows) {
    ASSERT_EQ(Send(can, Msg(CAN, 0x7A8, Frame(r.flowControl))), STATUS_NOERROR);
    EXPECT_EQ(sequenceNumbers(Look(ReadAll(can, 0, 0))), r.frames) << r.what;
  }
  std::vector<Seen> done = {{TX_INDICATION, 0, 0x7A0, {}}};
  EXPECT_EQ(Look(ReadAll(iso, 0, 0)), done);

  // Overflow ends the message: no more frames, no indication; the next one goes.
  ASSERT_EQ(Send(iso, Msg(ISO15765, 0x7A0, payload, ISO15765_FRAME_PAD)), STATUS_NOERROR);
  ASSERT_EQ(Send(can, Msg(CAN, 0x7A8, Frame({0x32, 0x00, 0x00}))), STATUS_NOERROR);
  EXPECT_EQ(sequenceNumbers(Look(ReadAll(can, 0, 0))), std::vector<int>{0x10});
  EXPECT_TRUE(ReadAll(iso, 0, 0).empty());

  // 130 bytes: 18 consecutive frames, the sequence number wraps from F to 0;
  // a separation time of 10 ms keeps them at least 10 ms apart.
  Bytes longPayload(130, 0x5A);
  ASSERT_EQ(Send(iso, Msg(ISO15765, 0x7A0, longPayload, ISO15765_FRAME_PAD)), STATUS_NOERROR);
  ASSERT_EQ(sequenceNumbers(Look(ReadAll(can, 0, 0))), std::vector<int>{0x10});
  ASSERT_EQ(Send(can, Msg(CAN, 0x7A8, Frame({0x30, 0x00, 0x0A}))), STATUS_NOERROR);
  const std::vector<PassThruMsg> frames = ReadAll(can, 18, 10000);
  const std::vector<int> wrapped = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29,
                                    0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x20, 0x21, 0x22};
  EXPECT_EQ(sequenceNumbers(Look(frames)), wrapped);
  for (std::size_t i = 1; i < frames.size(); ++i)
    EXPECT_GE(frames[i].Timestamp - frames[i - 1].Timestamp, 10000u) << "frame " << i;
  done = {{TX_INDICATION, 0, 0x7A0, {}}};
  EXPECT_EQ(Look(ReadAll(iso, 1, 5000)), done);

  // No flow control at all: a blocking write runs out of time, nothing counted as sent.
  PassThruMsg unanswered = Msg(ISO15765, 0x7A0, payload, ISO15765_FRAME_PAD);
  ULong one = 1;
  EXPECT_EQ(sim_.Write(iso, &unanswered, &one, 100), ERR_TIMEOUT);
  EXPECT_EQ(one, 0u);
}

// As a receiver the channel announces its own ISO15765_BS and ISO15765_STMIN,
// and the ECU keeps them: frames seen on a CAN channel beside it.
TEST_F(SimPassThru, ReceiverAnnouncesItsBlockSizeAndSeparationTime) {
  const ULong iso = Channel(ISO15765, {{0x7E8, 0x7E0}});
  const ULong can = Channel(CAN, {{0x7E0, 0}, {0x7E8, 0}});
  SConfig params[] = {{ISO15765_BS, 2}, {ISO15765_STMIN, 7}};
  SConfigList list{2, params};
  ASSERT_EQ(sim_.Ioctl(iso, SET_CONFIG, &list, nullptr), STATUS_NOERROR);
  // VIN and serial number: 35 bytes, a first frame and five consecutive frames.
  ASSERT_EQ(Send(iso, Msg(ISO15765, 0x7E0, {0x22, 0xF1, 0x90, 0xF1, 0x8C}, ISO15765_FRAME_PAD)), STATUS_NOERROR);
  const std::vector<Seen> answer = Look(ReadAll(iso, 3, 5000));  // indication, first frame, the answer
  ASSERT_EQ(answer.size(), 3u);
  EXPECT_EQ(answer[2].data.size(), 35u);
  const std::vector<PassThruMsg> frames = ReadAll(can, 0, 0);
  const std::vector<Seen> seen = Look(frames);
  std::vector<int> firstBytes;
  for (const Seen& f : seen) firstBytes.push_back(f.data.empty() ? -1 : f.data[0]);
  // Request, first frame, then two frames per flow control.
  EXPECT_EQ(firstBytes, (std::vector<int>{0x05, 0x10, 0x30, 0x21, 0x22, 0x30, 0x23, 0x24, 0x30, 0x25}));
  ASSERT_EQ(seen.size(), 10u);
  for (std::size_t i : {2u, 5u, 8u}) EXPECT_EQ(seen[i].data, Frame({0x30, 0x02, 0x07})) << i;
  for (std::size_t i : {4u, 7u})  // within a block (after a flow control the next frame may go at once)
    EXPECT_GE(frames[i].Timestamp - frames[i - 1].Timestamp, 7000u) << "frame " << i;
}

TEST_F(SimPassThru, CanChannelFiltersLoopsBackAndSendsPeriodicMessages) {
  ULong ch = 0, pass = 0, block = 0, periodic = 0;
  ASSERT_EQ(sim_.Connect(device_, CAN, 0, 500000, &ch), STATUS_NOERROR);
  PassThruMsg request = Msg(CAN, 0x7DF, {0x02, 0x01, 0x1C, 0, 0, 0, 0, 0});
  ULong one = 1;
  ASSERT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  EXPECT_TRUE(Drain(ch).empty()) << "no filter: nothing is received";

  PassThruMsg mask = Msg(CAN, 0xFFFFFFFF, {}), pattern = Msg(CAN, 0x7E8, {});
  ASSERT_EQ(sim_.StartFilter(ch, PASS_FILTER, &mask, &pattern, nullptr, &pass), STATUS_NOERROR);
  ASSERT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  const std::vector<std::pair<ULong, Bytes>> answer = {{0, {0x03, 0x41, 0x1C, 0x06, 0, 0, 0, 0}}};
  EXPECT_EQ(Drain(ch), answer);

  PassThruMsg blockMask = Msg(CAN, 0xFFFFFFFF, {0xFF}), blockPattern = Msg(CAN, 0x7E8, {0x03});
  ASSERT_EQ(sim_.StartFilter(ch, BLOCK_FILTER, &blockMask, &blockPattern, nullptr, &block), STATUS_NOERROR);
  ASSERT_EQ(sim_.Write(ch, &request, &one, 0), STATUS_NOERROR);
  EXPECT_TRUE(Drain(ch).empty()) << "the block filter wins over the pass filter";
  ASSERT_EQ(sim_.StopFilter(ch, block), STATUS_NOERROR);

  SConfig loop{LOOPBACK, 1};
  SConfigList list{1, &loop};
  ASSERT_EQ(sim_.Ioctl(ch, SET_CONFIG, &list, nullptr), STATUS_NOERROR);
  PassThruMsg tester = Msg(CAN, 0x7DF, {0x02, 0x3E, 0x80, 0, 0, 0, 0, 0});
  // The longest interval: the echo of the first message comes when it is
  // started, not a minute later (the read would time out first).
  ASSERT_EQ(sim_.StartPeriodic(ch, &tester, &periodic, 65535), STATUS_NOERROR);
  PassThruMsg echo{};
  one = 1;
  ASSERT_EQ(sim_.Read(ch, &echo, &one, 10000), STATUS_NOERROR);
  EXPECT_EQ(echo.RxStatus, ULong{TX_MSG_TYPE});
  EXPECT_EQ(echo.ExtraDataIndex, echo.DataSize);
  EXPECT_EQ(Bytes(echo.Data, echo.Data + echo.DataSize), Bytes(tester.Data, tester.Data + 12));
  EXPECT_EQ(sim_.StopPeriodic(ch, periodic), STATUS_NOERROR);

  char firmware[kTextChars], dll[kTextChars], api[kTextChars];
  ASSERT_EQ(sim_.ReadVersion(device_, firmware, dll, api), STATUS_NOERROR);
  EXPECT_STREQ(api, "04.04");
  ULong millivolts = 0;
  ASSERT_EQ(sim_.Ioctl(device_, READ_VBATT, nullptr, &millivolts), STATUS_NOERROR);
  EXPECT_GE(millivolts, 12400u);
  EXPECT_LE(millivolts, 12800u);
}

// The fault settings, as an application developer sets them in the registry:
// taken at the next PassThruConnect.
TEST_F(SimPassThru, FaultSettingsTakeEffectAtConnect) {
  varrow::test::ScratchRegistry scratch;
  ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, scratch.User()), ERROR_SUCCESS);
  struct Row {
    const char* what;
    DWORD delayMs, unansweredPercent, pending;
    std::vector<Bytes> answers;  // after the transmit indication
    ULong minimumGapUs;          // from the indication to the last answer
  } rows[] = {
      {"healthy", 0, 0, 0, {{0x7E, 0x00}}, 0},
      {"two pending answers", 0, 0, 2, {{0x7F, 0x3E, 0x78}, {0x7F, 0x3E, 0x78}, {0x7E, 0x00}}, 200000},
      {"delay", 300, 0, 0, {{0x7E, 0x00}}, 300000},
      {"every request unanswered", 0, 100, 0, {}, 0},
  };
  for (const Row& r : rows) {
    varrow::RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, simulator::kSimulatorKey, KEY_SET_VALUE), ERROR_SUCCESS);
    ASSERT_EQ(varrow::WriteDword(key.Get(), L"ResponseDelayMs", r.delayMs), ERROR_SUCCESS);
    ASSERT_EQ(varrow::WriteDword(key.Get(), L"UnansweredPercent", r.unansweredPercent), ERROR_SUCCESS);
    ASSERT_EQ(varrow::WriteDword(key.Get(), L"PendingResponses", r.pending), ERROR_SUCCESS);
    const ULong ch = Channel(ISO15765, {{0x7E8, 0x7E0}});
    ASSERT_EQ(Send(ch, Msg(ISO15765, 0x7E0, {0x3E, 0x00}, ISO15765_FRAME_PAD)), STATUS_NOERROR);
    // Unanswered: the read waits its whole (short) time for an answer that
    // must not come (a healthy answer takes no time at all).
    const std::vector<PassThruMsg> got =
        ReadAll(ch, static_cast<ULong>(1 + (r.answers.empty() ? 1 : r.answers.size())),
                r.answers.empty() ? 300 : 5000);
    std::vector<Bytes> answers;
    for (std::size_t i = 1; i < got.size(); ++i) answers.push_back(Bytes(got[i].Data + 4, got[i].Data + got[i].DataSize));
    EXPECT_EQ(answers, r.answers) << r.what;
    ASSERT_FALSE(got.empty()) << r.what;
    EXPECT_EQ(got[0].RxStatus, ULong{TX_INDICATION}) << r.what;
    EXPECT_GE(got.back().Timestamp - got[0].Timestamp, r.minimumGapUs) << r.what;
    EXPECT_EQ(sim_.Disconnect(ch), STATUS_NOERROR);
  }
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
}

// Applications that load the library per session: a thousand cycles of
// LoadLibrary, PassThruOpen, PassThruClose and FreeLibrary keep nothing of
// it (handles, heaps, address space), directly or through a thread of their own.
TEST(SimPassThruCycles, LoadOpenCloseFreeKeepsNothing) {
  varrow::test::ScratchDir dir;
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring built = exe;
  built = built.substr(0, built.rfind(L'\\') + 1) + L"OvraSimPT" VARROW_BITS_TEXT L".dll";
  const std::wstring path = dir / L"Cycle.dll";
  ASSERT_TRUE(CopyFileW(built.c_str(), path.c_str(), FALSE));
  constexpr int kCycles = 1000, kWarm = 10;
  varrow::test::Footprint first;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr) << cycle;
    PassThruOpenFn open = nullptr;
    PassThruCloseFn close = nullptr;
    Bind(module, "PassThruOpen", open);
    Bind(module, "PassThruClose", close);
    ULong device = 0;
    ASSERT_EQ(open(nullptr, &device), STATUS_NOERROR) << cycle;
    ASSERT_EQ(close(device), STATUS_NOERROR) << cycle;
    ASSERT_TRUE(FreeLibrary(module));
    ASSERT_TRUE(varrow::test::WaitUntilUnloaded(path, 20000)) << "still loaded, cycle " << cycle;
    if (cycle == kWarm) first = varrow::test::TakeFootprint();
  }
  const varrow::test::Footprint last = varrow::test::TakeFootprint();
  EXPECT_EQ(last.handles, first.handles) << "handles after " << kWarm << " and " << kCycles << " cycles";
  EXPECT_EQ(last.heaps, first.heaps);
  EXPECT_LE(last.bytes, first.bytes + (256u << 10)) << "address space after " << kWarm << " and " << kCycles;
}

}  // namespace
