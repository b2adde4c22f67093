// The simulated VCI as a J2534 05.00 library (OvraSim05PT32.dll or
// OvraSim05PT64.dll beside the test program, loaded as an application loads it): its 05.00 rules in one
// table, and the rules it shares with the 04.04 library (OvraSimPT32.dll) in
// one table run over both (OvraSimPT32/64.dll). No timing: time-outs of 0, or a wait that ends
// with a satisfied threshold.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hosted/arch.h"
#include "passthru/j2534.h"
#include "passthru/j2534_v05.h"

namespace {

namespace v05 = passthru::v05;
using passthru::Long;
using passthru::ULong;
using Bytes = std::vector<std::uint8_t>;

HMODULE Beside(const wchar_t* name) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path = exe;
  return LoadLibraryW((path.substr(0, path.rfind(L'\\') + 1) + name).c_str());
}
template <typename Fn>
Fn Get(HMODULE m, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

// The 05.00 library's exports and a session on it: the device open, a CAN
// channel, logical channels to the engine (7E8/7E0) and the gearbox (7E9/7E1).
struct Sim05 {
  HMODULE m = Beside(L"OvraSim05PT" VARROW_BITS_TEXT L".dll");
  v05::PassThruScanForDevicesFn Scan = Get<v05::PassThruScanForDevicesFn>(m, "PassThruScanForDevices");
  v05::PassThruGetNextDeviceFn Next = Get<v05::PassThruGetNextDeviceFn>(m, "PassThruGetNextDevice");
  v05::PassThruOpenFn Open = Get<v05::PassThruOpenFn>(m, "PassThruOpen");
  v05::PassThruCloseFn Close = Get<v05::PassThruCloseFn>(m, "PassThruClose");
  v05::PassThruConnectFn Connect = Get<v05::PassThruConnectFn>(m, "PassThruConnect");
  v05::PassThruDisconnectFn Disconnect = Get<v05::PassThruDisconnectFn>(m, "PassThruDisconnect");
  v05::PassThruLogicalConnectFn Logical = Get<v05::PassThruLogicalConnectFn>(m, "PassThruLogicalConnect");
  v05::PassThruLogicalDisconnectFn Unlogical = Get<v05::PassThruLogicalDisconnectFn>(m, "PassThruLogicalDisconnect");
  v05::PassThruSelectFn Select = Get<v05::PassThruSelectFn>(m, "PassThruSelect");
  v05::PassThruReadMsgsFn Read = Get<v05::PassThruReadMsgsFn>(m, "PassThruReadMsgs");
  v05::PassThruQueueMsgsFn Queue = Get<v05::PassThruQueueMsgsFn>(m, "PassThruQueueMsgs");
  v05::PassThruStartMsgFilterFn Filter = Get<v05::PassThruStartMsgFilterFn>(m, "PassThruStartMsgFilter");
  v05::PassThruIoctlFn Ioctl = Get<v05::PassThruIoctlFn>(m, "PassThruIoctl");
  ULong device = 0, can = 0, engine = 0, gearbox = 0;
  ULong canPins[2] = {6, 14};
  std::uint8_t buffer[4128] = {};

  Long ConnectCan(ULong* id, ULong pinA = 6, ULong pinB = 14) {
    canPins[0] = pinA;
    canPins[1] = pinB;
    return Connect(device, v05::CAN, 0, 500000, v05::ResourceStruct{v05::J1962_CONNECTOR, 2, canPins}, id);
  }
  Long LogicalTo(ULong physical, ULong local, ULong remote, ULong* id, ULong protocol = v05::ISO15765_LOGICAL) {
    v05::Iso15765ChannelDescriptor d{};
    d.LocalTxFlags = d.RemoteTxFlags = v05::ISO15765_FRAME_PAD;
    for (int i = 0; i < 4; ++i) {
      d.LocalAddress[i] = static_cast<std::uint8_t>(local >> (24 - 8 * i));
      d.RemoteAddress[i] = static_cast<std::uint8_t>(remote >> (24 - 8 * i));
    }
    return Logical(physical, protocol, 0, &d, id);
  }
  bool Start() {
    return m != nullptr && Open("OVRA VCI 05", &device) == 0 && ConnectCan(&can) == 0 &&
           LogicalTo(can, 0x7E8, 0x7E0, &engine) == 0 && LogicalTo(can, 0x7E9, 0x7E1, &gearbox) == 0;
  }
  // Queues `payload` to `id` on `channel` (protocol `protocol`, DataBufferSize `room`).
  Long Send(ULong channel, ULong id, const Bytes& payload, ULong protocol = v05::ISO15765_LOGICAL, ULong room = 4128) {
    static std::uint8_t out[4128];
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(id >> (24 - 8 * i));
    std::memcpy(out + 4, payload.data(), payload.size());
    v05::PassThruMsg msg{protocol, 0, 0, v05::ISO15765_FRAME_PAD, 0, static_cast<ULong>(4 + payload.size()), 0, out, room};
    ULong one = 1;
    return Queue(channel, &msg, &one);
  }
  // Reads one message into `msg` (its buffer: `buffer`, `room` bytes).
  Long ReadOne(ULong channel, v05::PassThruMsg* msg, ULong timeoutMs, ULong room = 4128) {
    *msg = v05::PassThruMsg{};
    msg->DataBuffer = buffer;
    msg->DataBufferSize = room;
    ULong one = 1;
    return Read(channel, msg, &one, timeoutMs);
  }
  // Selects over `ids` with `threshold`; the channels with messages come back in `ids`.
  Long SelectOn(std::vector<ULong>& ids, ULong threshold, ULong timeoutMs, ULong type = v05::READABLE_TYPE) {
    v05::SChannelSet set{static_cast<ULong>(ids.size()), threshold, ids.data()};
    const Long code = Select(&set, type, timeoutMs);
    ids.resize(set.ChannelCount);
    return code;
  }
};

// A call's code, or -1 when it succeeded but `ok` (its outputs' check) failed.
Long Then(Long code, bool ok) { return code != 0 ? code : (ok ? 0 : -1); }

struct Rule {
  const char* what;
  std::function<Long(Sim05&)> call;
  Long expected;
};

TEST(Sim05PassThru, KeepsTheRulesOf0500) {
  Sim05 s;
  ASSERT_TRUE(s.Start());
  v05::SDevice found{};
  v05::PassThruMsg msg{};
  std::vector<ULong> set;
  ULong id = 0, value = 0, count = 0;
  ULong battery[] = {16}, noPin[] = {7};
  v05::ResourceStruct pin16{v05::J1962_CONNECTOR, 1, battery}, pin7{v05::J1962_CONNECTOR, 1, noPin};
  v05::SConfig params[] = {{v05::ISO15765_BS, 0}};
  v05::SConfigList config{1, params};
  const std::vector<Rule> rules = {
      // Discovery: one device, in use while open; then the list is at its end until scanned again.
      {"scan", [&](Sim05& d) { const Long c = d.Scan(&count); return Then(c, count == 1); }, 0},
      {"next device", [&](Sim05& d) {
         const Long c = d.Next(&found);
         return Then(c, std::string(found.DeviceName) == "OVRA VCI 05" && found.DeviceAvailable == v05::DEVICE_IN_USE &&
                            found.DeviceConnectMedia == v05::DEVICE_CONN_WIRED); }, 0},
      {"no next device", [&](Sim05& d) { return d.Next(&found); }, v05::ERR_EXCEEDED_LIMIT},
      {"open by another name", [&](Sim05& d) { return d.Open("OVRA VCI", &id); }, v05::ERR_OPEN_FAILED},
      {"open with the J2534-1: prefix (open already)", [&](Sim05& d) { return d.Open("J2534-1:OVRA VCI 05", &id); }, v05::ERR_DEVICE_IN_USE},
      {"open without a name", [&](Sim05& d) { return d.Open(nullptr, &id); }, v05::ERR_NULL_PARAMETER},
      // Physical and logical channels.
      {"CAN on other pins", [&](Sim05& d) { return d.ConnectCan(&id, 3, 11); }, v05::ERR_PIN_NOT_SUPPORTED},
      {"a second CAN channel", [&](Sim05& d) { return d.ConnectCan(&id); }, v05::ERR_RESOURCE_CONFLICT},
      {"logical ids apart", [&](Sim05& d) { return d.can != d.engine && d.engine != d.gearbox && d.can != d.gearbox ? 0 : -1; }, 0},
      {"logical on a logical channel", [&](Sim05& d) { return d.LogicalTo(d.engine, 0x7EA, 0x7E2, &id); }, v05::ERR_LOG_CHAN_NOT_ALLOWED},
      {"logical of another protocol", [&](Sim05& d) { return d.LogicalTo(d.can, 0x7EA, 0x7E2, &id, v05::CAN); }, v05::ERR_LOG_CHAN_NOT_ALLOWED},
      {"logical to the same ECU twice", [&](Sim05& d) { return d.LogicalTo(d.can, 0x7E8, 0x7E0, &id); }, v05::ERR_NOT_UNIQUE},
      {"PassThruDisconnect of a logical channel", [&](Sim05& d) { return d.Disconnect(d.engine); }, v05::ERR_INVALID_CHANNEL_ID},
      {"PassThruLogicalDisconnect of a physical one", [&](Sim05& d) { return d.Unlogical(d.can); }, v05::ERR_INVALID_CHANNEL_ID},
      {"a flow-control filter", [&](Sim05& d) { return d.Filter(d.can, 3, &msg, &msg, &id); }, v05::ERR_FILTER_TYPE_NOT_SUPPORTED},
      // Queue, select, read.
      {"select on a quiet channel", [&](Sim05& d) { set = {d.gearbox}; return d.SelectOn(set, 1, 0); }, v05::ERR_BUFFER_EMPTY},
      {"queue the VIN request", [&](Sim05& d) { return d.Send(d.engine, 0x7E0, {0x09, 0x02}); }, 0},
      {"select: the engine's channel has its transmit indication",
       [&](Sim05& d) { set = {d.gearbox, d.engine}; const Long c = d.SelectOn(set, 1, 0); return Then(c, set == std::vector<ULong>{d.engine}); }, 0},
      {"select with a threshold above the count", [&](Sim05& d) { set = {d.engine}; return d.SelectOn(set, 2, 0); }, v05::ERR_EXCEEDED_LIMIT},
      {"select of another type", [&](Sim05& d) { set = {d.engine}; return d.SelectOn(set, 1, 0, 2); }, v05::ERR_SELECT_TYPE_NOT_SUPPORTED},
      {"select an unknown channel", [&](Sim05& d) { set = {d.engine, 999}; return d.SelectOn(set, 1, 0); }, v05::ERR_INVALID_CHANNEL_ID},
      {"a too-small buffer: cut, counted, whole length told",
       [&](Sim05& d) { d.buffer[2] = 0xAA; const Long c = d.ReadOne(d.engine, &msg, 0, 2);
         return c == v05::ERR_BUFFER_TOO_SMALL && msg.DataLength == 4 && msg.RxStatus == v05::TX_INDICATION_SUCCESS &&
                d.buffer[1] == 0x00 && d.buffer[2] == 0xAA ? c : -1; }, v05::ERR_BUFFER_TOO_SMALL},
      {"select waits for a satisfied threshold: the answer",
       [&](Sim05& d) { set = {d.engine}; return d.SelectOn(set, 1, 5000); }, 0},
      {"read the VIN", [&](Sim05& d) {
         for (int i = 0; i < 3 && d.ReadOne(d.engine, &msg, 5000) == 0; ++i)
           if (msg.DataLength == 4 + 20 && d.buffer[4] == 0x49 && msg.ProtocolID == v05::ISO15765_LOGICAL)
             return std::memcmp(d.buffer + 7, "WOVRA00SIM0000001", 17) == 0 ? 0 : -1;
         return -2; }, 0},
      {"a message longer than its buffer", [&](Sim05& d) { return d.Send(d.engine, 0x7E0, {0x3E, 0x00}, v05::ISO15765_LOGICAL, 5); }, v05::ERR_INVALID_MSG},
      {"a CAN message on a logical channel", [&](Sim05& d) { return d.Send(d.engine, 0x7E0, {0x3E, 0x00}, v05::CAN); }, v05::ERR_MSG_PROTOCOL_ID},
      // Ioctl targets: the device, a physical, a logical channel.
      {"battery on pin 16", [&](Sim05& d) {
         const Long c = d.Ioctl(d.device, v05::READ_PIN_VOLTAGE, &pin16, &value); return Then(c, value > 11000 && value < 13000); }, 0},
      {"pin voltage on a channel", [&](Sim05& d) { return d.Ioctl(d.can, v05::READ_PIN_VOLTAGE, &pin16, &value); }, v05::ERR_INVALID_DEVICE_ID},
      {"pin voltage of pin 7", [&](Sim05& d) { return d.Ioctl(d.device, v05::READ_PIN_VOLTAGE, &pin7, &value); }, v05::ERR_PIN_NOT_SUPPORTED},
      {"programming voltage with an input", [&](Sim05& d) { return d.Ioctl(d.device, v05::READ_PROG_VOLTAGE, &pin16, &value); }, v05::ERR_NULL_REQUIRED},
      {"block size on the logical channel", [&](Sim05& d) { return d.Ioctl(d.engine, v05::GET_CONFIG, &config, nullptr); }, 0},
      {"block size on the physical channel", [&](Sim05& d) { return d.Ioctl(d.can, v05::GET_CONFIG, &config, nullptr); }, v05::ERR_IOCTL_PARAM_ID_NOT_SUPPORTED},
      {"an unknown control", [&](Sim05& d) { return d.Ioctl(d.engine, 0x7777, nullptr, nullptr); }, v05::ERR_IOCTL_ID_NOT_SUPPORTED},
      {"clear the logical channel's queue", [&](Sim05& d) { return d.Ioctl(d.engine, v05::CLEAR_RX_QUEUE, nullptr, nullptr); }, 0},
      // Closed: every call says so.
      {"close", [&](Sim05& d) { return d.Close(d.device); }, 0},
      {"connect while closed", [&](Sim05& d) { return d.ConnectCan(&id); }, v05::ERR_DEVICE_NOT_OPEN},
      {"select while closed", [&](Sim05& d) { set = {d.engine}; return d.SelectOn(set, 1, 0); }, v05::ERR_DEVICE_NOT_OPEN},
  };
  for (const Rule& rule : rules) EXPECT_EQ(rule.call(s), rule.expected) << rule.what;
}

// The rules both versions share, each run over the 04.04 library (an
// ISO15765 channel with flow-control filters 7E8/7E0, 7E9/7E1) and the 05.00
// library (a logical channel per ECU): same codes (0x17 is
// ERR_NO_FLOW_CONTROL in one and ERR_MSG_NOT_ALLOWED in the other), the same
// messages.
struct Shared {
  std::function<Long(ULong id, const Bytes& payload, ULong protocolOffset)> send;
  // Reads one message with timeout `ms` of the ECU `ecu` (0 engine, 1
  // gearbox), or of an unknown channel; its RxStatus, ExtraDataIndex and data.
  std::function<Long(int ecu, ULong ms, ULong* status, ULong* extra, Bytes* data)> read;
  std::function<Long()> close;
};

Shared Over0404(std::vector<ULong>* channels) {
  static HMODULE m = Beside(L"OvraSimPT" VARROW_BITS_TEXT L".dll");
  static auto open = Get<passthru::PassThruOpenFn>(m, "PassThruOpen");
  static auto connect = Get<passthru::PassThruConnectFn>(m, "PassThruConnect");
  static auto filter = Get<passthru::PassThruStartMsgFilterFn>(m, "PassThruStartMsgFilter");
  static auto write = Get<passthru::PassThruWriteMsgsFn>(m, "PassThruWriteMsgs");
  static auto readMsgs = Get<passthru::PassThruReadMsgsFn>(m, "PassThruReadMsgs");
  static auto closeDevice = Get<passthru::PassThruCloseFn>(m, "PassThruClose");
  static passthru::PassThruMsg msg;
  auto message = [](ULong id, const Bytes& payload, ULong protocol) {
    msg = passthru::PassThruMsg{protocol, 0, passthru::ISO15765_FRAME_PAD, 0, static_cast<ULong>(4 + payload.size()), 0, {}};
    for (int i = 0; i < 4; ++i) msg.Data[i] = static_cast<std::uint8_t>(id >> (24 - 8 * i));
    std::memcpy(msg.Data + 4, payload.data(), payload.size());
    return &msg;
  };
  ULong device = 0, ch = 0, filterId = 0;
  EXPECT_EQ(open(nullptr, &device), 0);
  EXPECT_EQ(connect(device, passthru::ISO15765, 0, 500000, &ch), 0);
  for (ULong ecu = 0; ecu < 2; ++ecu) {
    passthru::PassThruMsg mask = *message(0xFFFFFFFF, {}, passthru::ISO15765), pattern = *message(0x7E8 + ecu, {}, passthru::ISO15765);
    EXPECT_EQ(filter(ch, passthru::FLOW_CONTROL_FILTER, &mask, &pattern, message(0x7E0 + ecu, {}, passthru::ISO15765), &filterId), 0);
  }
  channels->assign({ch, ch});
  return {[=](ULong id, const Bytes& payload, ULong offset) {
            ULong one = 1;
            return write(ch, message(id, payload, passthru::ISO15765 - offset), &one, 0);
          },
          [=](int ecu, ULong ms, ULong* status, ULong* extra, Bytes* data) {
            ULong one = 1;
            const Long code = readMsgs(ecu < 0 ? 999 : ch, &msg, &one, ms);
            *status = msg.RxStatus, *extra = msg.ExtraDataIndex;
            data->assign(msg.Data, msg.Data + (code == 0 ? msg.DataSize : 0));
            return code;
          },
          [=] { return closeDevice(device); }};
}

Shared Over0500(Sim05& s) {
  EXPECT_TRUE(s.Start());
  Sim05* d = &s;
  return {[=](ULong id, const Bytes& payload, ULong offset) {
            return d->Send(id == 0x7E1 ? d->gearbox : d->engine, id, payload, v05::ISO15765_LOGICAL - offset);
          },
          [=](int ecu, ULong ms, ULong* status, ULong* extra, Bytes* data) {
            v05::PassThruMsg msg{};
            const Long code = d->ReadOne(ecu < 0 ? 999 : ecu == 0 ? d->engine : d->gearbox, &msg, ms);
            *status = msg.RxStatus, *extra = msg.ExtraDataIndex;
            data->assign(d->buffer, d->buffer + (code == 0 ? msg.DataLength : 0));
            return code;
          },
          [=] { return d->Close(d->device); }};
}

TEST(SimPassThruVersions, ShareTheirRules) {
  Sim05 s05;
  std::vector<ULong> ignored;
  const std::pair<const char*, Shared> versions[] = {{"04.04", Over0404(&ignored)}, {"05.00", Over0500(s05)}};
  for (const auto& [version, api] : versions) {
    ULong status = 0, extra = 0;
    Bytes data;
    const Bytes functionalIndication = {0, 0, 0x07, 0xDF};
    const std::vector<Rule> rules = {
        {"nothing to read", [&](Sim05&) { return api.read(0, 0, &status, &extra, &data); }, passthru::ERR_BUFFER_EMPTY},
        {"an unknown channel", [&](Sim05&) { return api.read(-1, 0, &status, &extra, &data); }, passthru::ERR_INVALID_CHANNEL_ID},
        {"a message of another protocol", [&](Sim05&) { return api.send(0x7E0, {0x3E, 0x00}, 1); }, passthru::ERR_MSG_PROTOCOL_ID},
        {"a segmented message with no way back", [&](Sim05&) { return api.send(0x7E3, Bytes(20, 0x22), 0); }, 0x17},
        {"a functional single frame needs none", [&](Sim05&) { return api.send(0x7DF, {0x01, 0x1C}, 0); }, 0},
        {"its transmit indication: no data", [&](Sim05&) {
           const Long c = api.read(0, 0, &status, &extra, &data);
           return Then(c, status == 0x08 && extra == 0 && data == functionalIndication); }, 0},
        {"the engine's answer", [&](Sim05&) {
           const Long c = api.read(0, 5000, &status, &extra, &data);
           return Then(c, status == 0 && extra == 7 && data == Bytes{0, 0, 7, 0xE8, 0x41, 0x1C, 0x06}); }, 0},
        {"the gearbox's answer", [&](Sim05&) {
           const Long c = api.read(1, 5000, &status, &extra, &data);
           return Then(c, data == Bytes{0, 0, 7, 0xE9, 0x41, 0x1C, 0x06}); }, 0},
    };
    for (const Rule& rule : rules) EXPECT_EQ(rule.call(s05), rule.expected) << version << ": " << rule.what;
    EXPECT_EQ(api.close(), 0) << version;
  }
}

}  // namespace
