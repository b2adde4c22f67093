// Fuzz target of the simulated VCI's rules, free of Windows headers: the
// vehicle's answers, the ISO 15765 transport (round trips and hostile frames),
// and the device (with the vehicle's bus nodes behind it) driven by random
// J2534 calls. Each rule checks its promises; a
// broken promise aborts (and the sanitizers catch any bad access).
//
// VARROW_FUZZ_RULE=<n> restricts the run to one rule (0..kRules-1); otherwise
// the first input byte chooses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/native/fuzz_promise.h"
#include "simulator/vehicle/isotp.h"
#include "simulator/j2534/sim_device.h"
#include "simulator/vehicle/vehicle.h"

namespace {

using namespace simulator;
using namespace passthru;

constexpr int kRules = 4;
int g_rule = -1;


// Reads the input byte by byte; zeros once it is used up.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::uint32_t Word() { return Byte() | (Byte() << 8) | (std::uint32_t{Byte()} << 16) | (std::uint32_t{Byte()} << 24); }
  bool done() const { return at >= size; }
};

// Every answer of the vehicle to any sequence of requests, at any time, with
// any fault settings: from a known ECU, a positive answer to the request's
// service or a negative one naming it (never a "not supported" kind to a
// functional request), bounded in size and delay.
void VehicleAnswers(Input& in) {
  Vehicle vehicle;
  Faults faults;
  faults.extraDelayMs = in.Byte() % 4 == 0 ? in.Word() : 0;
  faults.unansweredPercent = in.Byte() % 4 == 0 ? in.Byte() : 0;
  faults.pendingAnswers = in.Byte() % 4 == 0 ? in.Byte() : 0;
  vehicle.SetFaults(faults);
  const Faults clamped = vehicle.faults();
  PROMISE("Faults", clamped.extraDelayMs <= 10000 && clamped.unansweredPercent <= 100 &&
                        clamped.pendingAnswers <= 20);
  std::uint64_t now = 0;
  std::size_t ecuCount = 0;
  const EcuSpec* ecus = VehicleEcus(&ecuCount);
  while (!in.done()) {
    const std::uint32_t ids[] = {kEngineRequestId, kTransmissionRequestId, kFunctionalRequestId, in.Word()};
    const std::uint32_t id = ids[in.Byte() % 4];
    now += in.Byte() % 2 ? in.Word() % 20000 : in.Byte();
    Bytes request(in.Byte() % 12);
    for (auto& b : request) b = in.Byte();
    const std::vector<Reply> replies = vehicle.Request(id, request, now);
    PROMISE("Vehicle", replies.size() <= ecuCount * (1 + 20));
    for (const Reply& r : replies) {
      bool known = false;
      for (std::size_t e = 0; e < ecuCount; ++e)
        known |= ecus[e].response == r.responseId && (id == ecus[e].request || id == kFunctionalRequestId);
      PROMISE("Vehicle", known);
      PROMISE("Vehicle", !r.payload.empty() && r.payload.size() <= kMaxIsoTpPayload);
      PROMISE("Vehicle", r.delayMs <= 10000 + 20 * kPendingSpacingMs + kSlowServiceMs);
      if (r.payload[0] == 0x7F) {
        PROMISE("Vehicle", r.payload.size() == 3 && r.payload[1] == request[0]);
        const std::uint8_t code = r.payload[2];
        PROMISE("Vehicle", id != kFunctionalRequestId ||
                               (code != 0x11 && code != 0x12 && code != 0x31 && code != 0x7E && code != 0x7F));
      } else {
        PROMISE("Vehicle", r.payload[0] == static_cast<std::uint8_t>(request[0] + 0x40));
      }
    }
    const std::uint32_t mv = vehicle.BatteryMillivolts(now);
    PROMISE("Battery", mv >= 11000 && mv <= 12800);
  }
}

bool FrameValid(const CanFrame& f, bool pad) { return f.size <= 8 && (!pad || f.size == 8); }

// A payload goes through sender and receiver whole, with any addressing,
// padding and block size.
void RoundTrip(Input& in) {
  const bool pad = in.Byte() & 1;
  const int addressByte = (in.Byte() & 1) ? in.Byte() : -1;
  const std::uint8_t blockSize = in.Byte() % 5;
  std::size_t size = 1 + (in.Word() % kMaxIsoTpPayload);
  std::vector<std::uint8_t> payload(size);
  for (auto& b : payload) b = in.Byte();
  const IsoTpAddress to{0x7E0, false, addressByte};
  const IsoTpAddress back{0x7E8, false, addressByte};
  IsoTpSender sender;
  IsoTpReceiver receiver;
  std::vector<CanFrame> frames;
  PROMISE("IsoTp", sender.Start(to, payload.data(), payload.size(), pad, frames));
  bool complete = false;
  for (int rounds = 0; rounds < 1000 && !frames.empty(); ++rounds) {
    std::vector<CanFrame> next;
    for (const CanFrame& f : frames) {
      PROMISE("IsoTp", FrameValid(f, pad));
      switch (receiver.OnFrame(f, to, blockSize)) {
        case IsoTpReceiver::Event::FirstFrame:
        case IsoTpReceiver::Event::BlockEnd:
          sender.OnFlowControl(MakeFlowControl(back, 0, blockSize, 0, pad), back, next);
          break;
        case IsoTpReceiver::Event::Complete: complete = true; break;
        case IsoTpReceiver::Event::Error: Broken("IsoTp", "sequence error on a clean link");
        default: break;
      }
    }
    while (sender.state() == IsoTpSender::State::Sending) sender.SendNext(next);
    frames.swap(next);
  }
  PROMISE("IsoTp", complete && receiver.payload() == payload);
  PROMISE("IsoTp", sender.state() == IsoTpSender::State::Done);
}

// Hostile frames into a receiver and a waiting sender: bounded payloads only.
void HostileFrames(Input& in) {
  const IsoTpAddress a{0x7E8, false, (in.Byte() & 1) ? 0x55 : -1};
  IsoTpReceiver receiver;
  IsoTpSender sender;
  std::vector<CanFrame> out;
  const std::uint8_t first[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  sender.Start(a, first, sizeof first, false, out);
  while (!in.done()) {
    CanFrame f;
    f.id = (in.Byte() & 1) ? a.id : in.Word();
    f.size = in.Byte() % 10;  // sizes past 8 too
    for (auto& b : f.data) b = in.Byte();
    const auto event = receiver.OnFrame(f, a, in.Byte() % 3);
    PROMISE("IsoTpReceiver", receiver.payload().size() <= kMaxIsoTpPayload);
    if (event == IsoTpReceiver::Event::Complete && f.size > 0)
      PROMISE("IsoTpReceiver", !receiver.payload().empty());
    out.clear();
    sender.OnFlowControl(f, a, out);
    for (const CanFrame& g : out) PROMISE("IsoTpSender", g.size <= 8);
  }
}

// Random J2534 calls on the device: reads stay within the room given, every
// message read is well formed, error texts fit their buffer.
void DeviceCalls(Input& in) {
  SimDevice device;
  ULong deviceId = 0, ids[4] = {kSimDeviceId, 2, 3, 0};
  std::uint64_t now = 0;
  static PassThruMsg msgs[4];
  while (!in.done()) {
    const std::uint8_t op = in.Byte() % 10;
    const ULong id = (in.Byte() & 3) == 3 ? in.Word() : ids[in.Byte() % 4];
    PassThruMsg m{};
    m.ProtocolID = (in.Byte() & 1) ? CAN : ISO15765;
    m.TxFlags = (in.Byte() & 1) ? ISO15765_FRAME_PAD : in.Word();
    m.DataSize = (in.Byte() & 1) ? 4 + in.Byte() % 12 : in.Word() % 5000;
    const ULong ids7[] = {0x7E0, 0x7DF, 0x7E8, in.Word()};
    const std::uint32_t canId = ids7[in.Byte() % 4];
    m.Data[2] = static_cast<std::uint8_t>(canId >> 8);
    m.Data[3] = static_cast<std::uint8_t>(canId);
    for (ULong i = 4; i < 12; ++i) m.Data[i] = in.Byte();
    now += in.Byte() * 1000;
    ULong out = 0xDEADBEEF;
    switch (op) {
      case 0: device.Open(nullptr, &deviceId); break;
      case 1: device.Connect(id, (in.Byte() & 1) ? CAN : in.Byte(), in.Word() & 0x900, 500000, &out); break;
      case 2: {
        PassThruMsg mask = m, pattern = m;
        mask.DataSize = pattern.DataSize = (in.Byte() & 1) ? 4 : in.Byte() % 14;
        std::memset(mask.Data, 0xFF, 4);
        device.StartFilter(id, 1 + in.Byte() % 4, &mask, &pattern, (in.Byte() & 1) ? &m : nullptr, &out);
        break;
      }
      case 3: {
        ULong count = 1 + in.Byte() % 2;
        PassThruMsg two[2] = {m, m};
        device.Write(id, two, &count, now);
        PROMISE("Write", count <= 2);
        break;
      }
      case 4: {
        const ULong room = in.Byte() % 5;
        ULong read = 0xDEADBEEF;
        for (auto& g : msgs) g.DataSize = 0xDEADBEEF;
        device.Read(id, msgs, room, &read);
        PROMISE("Read", read <= room);
        for (ULong i = 0; i < read; ++i) PROMISE("Read", msgs[i].DataSize <= kMaxDataSize);
        for (ULong i = read; i < 4; ++i) PROMISE("Read", msgs[i].DataSize == 0xDEADBEEF);
        break;
      }
      case 5: device.StartPeriodic(id, &m, &out, in.Word() % 100, now); break;
      case 6:
        // Once everything due has run, nothing is due before a later time:
        // the timer thread of the simulated VCI never spins.
        device.RunDue(now);
        PROMISE("RunDue", device.NextDue() > now);
        PROMISE("TxPending", device.TxPending(id) <= kTxQueueLimit + kMaxFiltersPerChannel);
        break;
      case 7: {
        SConfig params[3] = {{in.Byte() % 0x26u, in.Word() % 600000}, {LOOPBACK, in.Byte() % 3u},
                             {ISO15765_BS, in.Byte()}};
        SConfigList list{1 + in.Byte() % 3u, params};
        device.Ioctl(id, in.Byte() % 16, &list, &out);
        break;
      }
      case 8: device.StopFilter(id, in.Byte() % 4); device.StopPeriodic(id, in.Byte() % 4); break;
      case 9: (in.Byte() & 1) ? device.Disconnect(id) : device.Close(id); break;
    }
    PROMISE("lastError", device.lastError().size() < kTextChars);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* rule = std::getenv("VARROW_FUZZ_RULE")) g_rule = std::atoi(rule) % kRules;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int rule = g_rule >= 0 ? g_rule : data[0] % kRules;
  Input in{data + 1, size - 1};
  switch (rule) {
    case 0: VehicleAnswers(in); break;
    case 1: RoundTrip(in); break;
    case 2: HostileFrames(in); break;
    case 3: DeviceCalls(in); break;
  }
  return 0;
}
