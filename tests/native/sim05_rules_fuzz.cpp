// Fuzz target of the simulated VCI's 05.00 rules, free of Windows headers:
// the 05.00 device (over the 04.04 device and the vehicle) driven by random
// 05.00 calls with hostile arguments. Its promises: discovery gives one
// device and then says the list is at its end; nothing is written past a
// message's DataBufferSize, past the messages asked for or past a select set;
// a cut message ends its read with ERR_BUFFER_TOO_SMALL and keeps its whole
// length; channel ids are never given twice; select answers with ids of its
// set only; nothing is due before a later time once everything due has run.
//
// VARROW_FUZZ_RULE is accepted for the runner's sake (one rule: 0).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "simulator/j2534_v05/sim05_device.h"
#include "tests/native/fuzz_promise.h"

namespace {

using namespace simulator;
namespace v05 = passthru::v05;
using passthru::ULong;

constexpr std::uint8_t kGuard = 0xA5;
constexpr ULong kRoom = 64;  // bytes of each message buffer before its guard

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::uint32_t Word() { return Byte() | (Byte() << 8) | (std::uint32_t{Byte()} << 16) | (std::uint32_t{Byte()} << 24); }
  bool done() const { return at >= size; }
};

void PutId(std::uint8_t* bytes, std::uint32_t id) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(id >> (24 - 8 * i));
}

void DeviceCalls(Input& in) {
  Sim05Device device;
  v05::SDevice found{};
  PROMISE("Discovery", device.GetNextDevice(&found) == v05::ERR_BUFFER_EMPTY);
  ULong deviceId = 0, count = 0;
  PROMISE("Discovery", device.ScanForDevices(&count) == v05::STATUS_NOERROR && count == 1);
  PROMISE("Discovery", device.GetNextDevice(&found) == v05::STATUS_NOERROR &&
                           std::strcmp(found.DeviceName, kDevice05Name) == 0);
  PROMISE("Discovery", device.GetNextDevice(&found) == v05::ERR_EXCEEDED_LIMIT);
  std::vector<ULong> ids = {kSimDeviceId};
  std::set<ULong> live;
  std::uint64_t now = 0;
  static std::uint8_t buffers[4][kRoom + 8];
  ULong pins[2] = {6, 14};
  while (!in.done()) {
    const std::uint8_t op = in.Byte() % 11;
    const ULong id = (in.Byte() & 7) == 7 ? in.Word() : ids[in.Byte() % ids.size()];
    now += in.Byte() * 500u;
    pins[0] = (in.Byte() & 3) ? 6 : in.Byte();
    const v05::ResourceStruct resources{(in.Byte() & 7) ? ULong{v05::J1962_CONNECTOR} : in.Byte(), in.Byte() % 4 == 0 ? 1u : 2u, pins};
    std::uint8_t bytes[18] = {};  // as long as the largest DataBufferSize below
    PutId(bytes, (in.Byte() & 1) ? 0x7E0 + in.Byte() % 3 : (in.Byte() & 1) ? 0x7DF : in.Word());
    for (int i = 4; i < 18; ++i) bytes[i] = in.Byte();
    v05::PassThruMsg m{(in.Byte() & 1) ? ULong{v05::ISO15765_LOGICAL} : in.Byte() % 8u, 0, 0,
                       (in.Byte() & 1) ? ULong{v05::ISO15765_FRAME_PAD} : in.Word(), 0, in.Byte() % 18u, 0, bytes,
                       in.Byte() % 18u};
    ULong out = 0xDEADBEEF;
    switch (op) {
      case 0: device.Open((in.Byte() & 3) ? kDevice05Name : "J2534-1:X", &deviceId); break;
      case 1:
        if (device.Connect(id, (in.Byte() & 3) ? ULong{v05::CAN} : in.Byte(), in.Word() & 0x900, 500000, resources, &out) == 0) {
          PROMISE("ChannelIds", live.insert(out).second);
          ids.push_back(out);
        }
        break;
      case 2: {
        std::uint8_t descriptor[v05::kDescriptorBytes];
        for (std::uint8_t& b : descriptor) b = in.Byte();
        if (in.Byte() & 1) {  // a plausible one: 7E8+n / 7E0+n, padded
          v05::Iso15765ChannelDescriptor d{v05::ISO15765_FRAME_PAD, v05::ISO15765_FRAME_PAD, {}, {}};
          const std::uint32_t n = in.Byte() % 12;
          PutId(d.LocalAddress, 0x7E8 + n);
          PutId(d.RemoteAddress, 0x7E0 + n);
          std::memcpy(descriptor, &d, sizeof descriptor);
        }
        if (device.LogicalConnect(id, (in.Byte() & 3) ? ULong{v05::ISO15765_LOGICAL} : in.Byte(), in.Byte() & 1, descriptor, &out) == 0) {
          PROMISE("ChannelIds", live.insert(out).second);
          ids.push_back(out);
        }
        break;
      }
      case 3: {
        ULong n = 1 + in.Byte() % 2;
        v05::PassThruMsg two[2] = {m, m};
        device.Queue(id, two, &n, now);
        PROMISE("Queue", n <= 2);
        break;
      }
      case 4: {
        v05::PassThruMsg msgs[5];
        const ULong room = in.Byte() % 4;
        for (ULong i = 0; i < 5; ++i) {
          std::memset(buffers[i % 4], kGuard, sizeof buffers[0]);
          msgs[i] = v05::PassThruMsg{0xDEAD, 0, 0, 0, 0, 0xDEAD, 0, buffers[i % 4], in.Byte() % (kRoom + 1)};
        }
        ULong read = 0xDEADBEEF;
        const v05::Long code = device.Read(id, msgs, room, &read);
        PROMISE("Read", read <= room);
        for (ULong i = 0; i < read; ++i) {
          for (ULong b = msgs[i].DataBufferSize; b < sizeof buffers[0]; ++b) PROMISE("Read", buffers[i][b] == kGuard);
          PROMISE("Read", msgs[i].ExtraDataIndex <= msgs[i].DataLength);
        }
        if (code == v05::ERR_BUFFER_TOO_SMALL)
          PROMISE("Read", read > 0 && msgs[read - 1].DataLength > msgs[read - 1].DataBufferSize);
        for (ULong i = read; i < 5; ++i) PROMISE("Read", msgs[i].ProtocolID == 0xDEAD && msgs[i].DataLength == 0xDEAD);
        break;
      }
      case 5: {
        ULong list[kMaxSelectChannels + 4];
        const ULong n = in.Byte() % (kMaxSelectChannels + 4);
        for (ULong i = 0; i < n; ++i) list[i] = ids[in.Byte() % ids.size()];
        v05::SChannelSet set{n, in.Byte() % 4u, list};
        const std::set<ULong> asked(list, list + n);
        if (device.CheckSelect(&set, (in.Byte() & 7) ? ULong{v05::READABLE_TYPE} : in.Byte()) == 0) {
          PROMISE("Select", device.ReadyCount(set) <= n);
          device.AnswerSelect(&set, in.Byte() & 1);
          PROMISE("Select", set.ChannelCount <= n);
          const std::set<ULong> answered(list, list + set.ChannelCount);
          PROMISE("Select", answered.size() == set.ChannelCount);
          for (ULong a : answered) PROMISE("Select", asked.count(a) == 1);
        }
        break;
      }
      case 6:
        device.RunDue(now);
        PROMISE("RunDue", device.NextDue() > now);
        break;
      case 7: {
        passthru::SConfig params[2] = {{in.Byte() % 0x32u, in.Word() % 600000}, {0x1E, in.Byte()}};
        passthru::SConfigList list{1 + in.Byte() % 2u, params};
        ULong value = 0;
        const ULong controls[] = {v05::GET_CONFIG, v05::SET_CONFIG, v05::READ_PIN_VOLTAGE, v05::READ_PROG_VOLTAGE,
                                  v05::CLEAR_RX_QUEUE, v05::BUS_ON, in.Word()};
        const ULong control = controls[in.Byte() % 7];
        void* input = control == v05::READ_PIN_VOLTAGE ? static_cast<void*>(const_cast<v05::ResourceStruct*>(&resources))
                                                       : (in.Byte() & 1) ? static_cast<void*>(&list) : nullptr;
        device.Ioctl(id, control, input, (in.Byte() & 1) ? &value : nullptr, now);
        break;
      }
      case 8: device.StartPeriodic(id, &m, &out, in.Word() % 100, now); break;
      case 9: {
        v05::PassThruMsg mask = m, pattern = m;
        device.StartFilter(id, in.Byte() % 4, &mask, &pattern, &out);
        device.StopFilter(id, in.Byte() % 3);
        break;
      }
      case 10:
        switch (in.Byte() % 3) {
          case 0: device.Disconnect(id); break;
          case 1: device.LogicalDisconnect(id); break;
          default: device.Close(id); break;
        }
        break;
    }
    PROMISE("lastError", device.lastError().size() < v05::kTextChars);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  DeviceCalls(in);
  return 0;
}
