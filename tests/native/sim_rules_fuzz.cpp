// Fuzz target of the simulated VCI's rules, free of Windows headers: the
// ECU's answers, the ISO 15765 transport (round trips and hostile frames) and
// the device driven by random J2534 calls. Each rule checks its promises; a
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
#include "simulator/ecu.h"
#include "simulator/isotp.h"
#include "simulator/sim_device.h"

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

// Any answer is a positive answer to the request's service, a negative answer
// naming it (never to a functional request), or silence.
void Ecu(Input& in) {
  const std::uint32_t ids[] = {kEcuRequestId, kFunctionalRequestId, 0x7E1, in.Word()};
  const std::uint32_t id = ids[in.Byte() % 4];
  std::vector<std::uint8_t> request;
  while (!in.done()) request.push_back(in.Byte());
  const std::vector<std::uint8_t> answer = EcuRespond(id, request);
  PROMISE("EcuRespond", answer.size() <= kMaxIsoTpPayload);
  if (answer.empty()) return;
  PROMISE("EcuRespond", id == kEcuRequestId || id == kFunctionalRequestId);
  if (answer[0] == 0x7F) {
    PROMISE("EcuRespond", id == kEcuRequestId && answer.size() == 3 && answer[1] == request[0]);
  } else {
    PROMISE("EcuRespond", answer[0] == static_cast<std::uint8_t>(request[0] + 0x40));
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
      case 6: device.RunPeriodic(now); break;
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
    case 0: Ecu(in); break;
    case 1: RoundTrip(in); break;
    case 2: HostileFrames(in); break;
    case 3: DeviceCalls(in); break;
  }
  return 0;
}
