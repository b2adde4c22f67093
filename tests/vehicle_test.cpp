// The simulated vehicle, pure: what its ECUs answer to a diagnostic session
// step by step, the dispatcher's rules, the fault settings, and the values
// that move over time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/vehicle.h"

namespace {

using namespace simulator;

constexpr std::uint32_t E = kEngineResponseId, T = kTransmissionResponseId;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// One step of a session: at `atMs`, `request` to `id` gets `expected`. With
// `key` set, bytes 2 and 3 of the request become the key for the last seed
// (XOR `key` - 1 more, to send a wrong one when `key` is 2).
struct Step {
  std::uint64_t atMs;
  std::uint32_t id;
  Bytes request;
  std::vector<Reply> expected;
  int key = 0;
};

TEST(Vehicle, AnswersADiagnosticSessionAsTwoRealEcusDo) {
  const Bytes vin = Text(kSimulatedVin);
  const Bytes shop = Text("WS-0042-17");
  const Step steps[] = {
      // OBD-II: bitmaps (bit 7 of the first byte is the next PID), both ECUs on a functional request.
      {0, 0x7DF, {0x01, 0x00}, {{E, 0, {0x41, 0x00, 0x98, 0x3B, 0x80, 0x13}}, {T, 0, {0x41, 0x00, 0x80, 0x08, 0x00, 0x10}}}},
      {0, 0x7E0, {0x01, 0x20, 0x40}, {{E, 0, {0x41, 0x20, 0x00, 0x02, 0x20, 0x01, 0x40, 0x44, 0x00, 0x00, 0x10}}}},
      {0, 0x7E1, {0x01, 0x20}, {{T, 0, {0x7F, 0x01, 0x31}}}},
      {0, 0x7DF, {0x01, 0x20}, {{E, 0, {0x41, 0x20, 0x00, 0x02, 0x20, 0x01}}}},  // the other ECU is silent
      {0, 0x7DF, {0x01, 0x01, 0x1C}, {{E, 0, {0x41, 0x01, 0x82, 0x07, 0x65, 0x00, 0x1C, 0x06}}, {T, 0, {0x41, 0x01, 0x01, 0x07, 0x65, 0x00, 0x1C, 0x06}}}},
      {0, 0x7E0, {0x01}, {{E, 0, {0x7F, 0x01, 0x13}}}},
      {0, 0x7E0, {0x01, 1, 2, 3, 4, 5, 6, 7}, {{E, 0, {0x7F, 0x01, 0x13}}}},
      // Stored (P0301, P0420 / P0715), pending (P0171) and permanent (P0420) DTCs.
      {0, 0x7DF, {0x03}, {{E, 0, {0x43, 0x02, 0x03, 0x01, 0x04, 0x20}}, {T, 0, {0x43, 0x01, 0x07, 0x15}}}},
      {0, 0x7DF, {0x07}, {{E, 0, {0x47, 0x01, 0x01, 0x71}}, {T, 0, {0x47, 0x00}}}},
      {0, 0x7DF, {0x0A}, {{E, 0, {0x4A, 0x01, 0x04, 0x20}}, {T, 0, {0x4A, 0x00}}}},
      // Mode 09: VIN from the engine only, calibration ids and names from both.
      {0, 0x7DF, {0x09, 0x02}, {{E, 0, Cat({{0x49, 0x02, 0x01}, vin})}}},
      {0, 0x7E0, {0x09, 0x00}, {{E, 0, {0x49, 0x00, 0x50, 0x40, 0x00, 0x00}}}},
      {0, 0x7E1, {0x09, 0x00}, {{T, 0, {0x49, 0x00, 0x10, 0x40, 0x00, 0x00}}}},
      {0, 0x7E0, {0x09, 0x04}, {{E, 0, Cat({{0x49, 0x04, 0x01}, Text("OVRAEMS42070815"), {0}})}}},
      {0, 0x7E1, {0x09, 0x0A}, {{T, 0, Cat({{0x49, 0x0A, 0x01}, Text("TCM"), {0}, Text("-TransmissionCtl")})}}},
      {0, 0x7E1, {0x09, 0x02}, {{T, 0, {0x7F, 0x09, 0x31}}}},
      // UDS 0x22: several DIDs in one request; the serial number of each ECU.
      {0, 0x7E0, {0x22, 0xF1, 0x8C, 0xF1, 0x90}, {{E, 0, Cat({{0x62, 0xF1, 0x8C}, Text("EN24031500017"), {0xF1, 0x90}, vin})}}},
      {0, 0x7DF, {0x22, 0xF1, 0x8C}, {{E, 0, Cat({{0x62, 0xF1, 0x8C}, Text("EN24031500017")})}, {T, 0, Cat({{0x62, 0xF1, 0x8C}, Text("TC24031500042")})}}},
      {0, 0x7E1, {0x22, 0xF1, 0x95, 0x12, 0x34}, {{T, 0, Cat({{0x62, 0xF1, 0x95}, Text("TCU 1.9.03")})}}},
      {0, 0x7E0, {0x22, 0xF1, 0x00}, {{E, 0, {0x7F, 0x22, 0x31}}}},
      {0, 0x7DF, {0x22, 0xF1, 0x00}, {}},
      {0, 0x7E0, {0x22, 0xF1}, {{E, 0, {0x7F, 0x22, 0x13}}}},
      // Services of other sessions; unknown services; the suppress bit.
      {0, 0x7E0, {0x27, 0x01}, {{E, 0, {0x7F, 0x27, 0x7F}}}},
      {0, 0x7DF, {0x27, 0x01}, {}},
      {0, 0x7E0, Cat({{0x2E, 0xF1, 0x98}, shop}), {{E, 0, {0x7F, 0x2E, 0x7F}}}},
      {0, 0x7E0, {0x10, 0x02}, {{E, 0, {0x7F, 0x10, 0x7E}}}},
      {0, 0x7E0, {0x10, 0x04}, {{E, 0, {0x7F, 0x10, 0x12}}}},
      {0, 0x7E0, {0x85, 0x02}, {{E, 0, {0x7F, 0x85, 0x11}}}},
      {0, 0x7DF, {0x85, 0x02}, {}},
      {0, 0x7E0, {0x3E, 0x00}, {{E, 0, {0x7E, 0x00}}}},
      {0, 0x7E0, {0x3E, 0x80}, {}},
      {0, 0x7E0, {0x3E, 0x81}, {{E, 0, {0x7F, 0x3E, 0x12}}}},
      {0, 0x7E0, {0x3E, 0x00, 0x00}, {{E, 0, {0x7F, 0x3E, 0x13}}}},
      {0, 0x7DF, {0x3E, 0x00, 0x00}, {{E, 0, {0x7F, 0x3E, 0x13}}, {T, 0, {0x7F, 0x3E, 0x13}}}},
      // Extended session (P2 50 ms, P2* 5000 ms in 10 ms), security access, writing a DID.
      {1000, 0x7E0, {0x10, 0x03}, {{E, 0, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}}}},
      {1000, 0x7E0, Cat({{0x2E, 0xF1, 0x98}, shop}), {{E, 0, {0x7F, 0x2E, 0x33}}}},
      {1000, 0x7E0, {0x27, 0x02, 0x00, 0x00}, {{E, 0, {0x7F, 0x27, 0x24}}}},
      {1000, 0x7E0, {0x27, 0x01}, {}},
      {1000, 0x7E0, {0x27, 0x02, 0, 0}, {{E, 0, {0x7F, 0x27, 0x35}}}, 2},
      {1000, 0x7E0, {0x27, 0x01}, {}},
      {1000, 0x7E0, {0x27, 0x02, 0, 0}, {{E, 0, {0x7F, 0x27, 0x35}}}, 2},
      {1000, 0x7E0, {0x27, 0x01}, {}},
      {1000, 0x7E0, {0x27, 0x02, 0, 0}, {{E, 0, {0x7F, 0x27, 0x36}}}, 2},
      {4000, 0x7E0, {0x27, 0x01}, {{E, 0, {0x7F, 0x27, 0x37}}}},
      {8000, 0x7E0, {0x3E, 0x80}, {}},
      {11001, 0x7E0, {0x27, 0x01}, {}},
      {11001, 0x7E0, {0x27, 0x02, 0, 0}, {{E, 0, {0x67, 0x02}}}, 1},
      {11001, 0x7E0, {0x27, 0x01}, {{E, 0, {0x67, 0x01, 0x00, 0x00}}}},
      {11001, 0x7E0, {0x2E, 0xF1, 0x98, 0x41}, {{E, 0, {0x7F, 0x2E, 0x13}}}},
      {11001, 0x7E0, Cat({{0x2E, 0xF1, 0x90}, vin}), {{E, 0, {0x7F, 0x2E, 0x31}}}},
      {11001, 0x7E0, Cat({{0x2E, 0xF1, 0x98}, shop}), {{E, 0, {0x6E, 0xF1, 0x98}}}},
      {11001, 0x7E0, {0x22, 0xF1, 0x98}, {{E, 0, Cat({{0x62, 0xF1, 0x98}, shop})}}},
      {11001, 0x7E0, {0x10, 0x02}, {{E, 0, {0x50, 0x02, 0x00, 0x32, 0x01, 0xF4}}}},
      // S3: five seconds without a request end the session.
      {16002, 0x7E0, Cat({{0x2E, 0xF1, 0x98}, shop}), {{E, 0, {0x7F, 0x2E, 0x7F}}}},
      // UDS DTCs: by status mask and all supported; 0x14 answers "pending" first.
      {16002, 0x7E0, {0x19, 0x02, 0x08}, {{E, 0, {0x59, 0x02, 0x8F, 0x03, 0x01, 0x00, 0x89, 0x04, 0x20, 0x00, 0x89}}}},
      {16002, 0x7E0, {0x19, 0x02, 0x04}, {{E, 0, {0x59, 0x02, 0x8F, 0x01, 0x71, 0x00, 0x05}}}},
      {16002, 0x7E1, {0x19, 0x0A}, {{T, 0, {0x59, 0x0A, 0x8F, 0x07, 0x15, 0x00, 0x09}}}},
      {16002, 0x7E1, {0x19, 0x03}, {{T, 0, {0x7F, 0x19, 0x12}}}},
      {16002, 0x7E1, {0x19, 0x02}, {{T, 0, {0x7F, 0x19, 0x13}}}},
      {16002, 0x7E0, {0x14, 0x12, 0x34, 0x56}, {{E, 0, {0x7F, 0x14, 0x31}}}},
      {16002, 0x7E0, {0x14, 0xFF}, {{E, 0, {0x7F, 0x14, 0x13}}}},
      {16002, 0x7E0, {0x14, 0xFF, 0xFF, 0xFF}, {{E, 0, {0x7F, 0x14, 0x78}}, {E, kSlowServiceMs, {0x54}}}},
      {16002, 0x7E0, {0x03}, {{E, 0, {0x43, 0x00}}}},
      {16002, 0x7E0, {0x0A}, {{E, 0, {0x4A, 0x01, 0x04, 0x20}}}},  // permanent DTCs stay
      {16002, 0x7E0, {0x01, 0x01}, {{E, 0, {0x41, 0x01, 0x00, 0x07, 0x65, 0x00}}}},
      {16002, 0x7DF, {0x04}, {{E, 0, {0x44}}, {T, 0, {0x44}}}},
      {16002, 0x7E1, {0x19, 0x0A}, {{T, 0, {0x59, 0x0A, 0x8F, 0x07, 0x15, 0x00, 0x00}}}},
      // ECU reset: the engine cranks for two seconds and refuses another reset meanwhile.
      {20000, 0x7E0, {0x10, 0x03}, {{E, 0, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}}}},
      {20000, 0x7E0, {0x11, 0x05}, {{E, 0, {0x7F, 0x11, 0x12}}}},
      {20000, 0x7E0, {0x11, 0x01}, {{E, 0, {0x51, 0x01}}}},
      {20000, 0x7E0, Cat({{0x2E, 0xF1, 0x98}, shop}), {{E, 0, {0x7F, 0x2E, 0x7F}}}},
      {21000, 0x7E0, {0x11, 0x81}, {{E, 0, {0x7F, 0x11, 0x22}}}},
      {22001, 0x7E0, {0x11, 0x81}, {}},
      {22001, 0x7E2, {0x01, 0x00}, {}},  // no ECU there
  };
  Vehicle vehicle;
  std::uint16_t seed = 0;
  int line = 0;
  for (const Step& step : steps) {
    ++line;
    Bytes request = step.request;
    if (step.key != 0) {
      const std::uint16_t key = static_cast<std::uint16_t>((seed ^ kSecurityKeyMask) + (step.key - 1));
      request[2] = static_cast<std::uint8_t>(key >> 8);
      request[3] = static_cast<std::uint8_t>(key);
    }
    const std::vector<Reply> got = vehicle.Request(step.id, request, step.atMs);
    if (request == Bytes{0x27, 0x01} && step.id == 0x7E0 && step.expected.empty()) {
      // A fresh seed: not zero, answered by the engine.
      ASSERT_EQ(got.size(), 1u) << "step " << line;
      ASSERT_EQ(got[0].payload.size(), 4u) << "step " << line;
      EXPECT_EQ(Bytes(got[0].payload.begin(), got[0].payload.begin() + 2), (Bytes{0x67, 0x01}));
      seed = static_cast<std::uint16_t>((got[0].payload[2] << 8) | got[0].payload[3]);
      EXPECT_NE(seed, 0) << "step " << line;
      continue;
    }
    EXPECT_EQ(got, step.expected) << "step " << line;
  }
}

TEST(Vehicle, FaultSettingsDelayDropAndHoldBackAnswers) {
  struct Row {
    const char* what;
    Faults faults;
    std::uint32_t id;
    Bytes request;
    std::vector<Reply> expected;
  } rows[] = {
      {"healthy", {}, 0x7E0, {0x3E, 0x00}, {{E, 0, {0x7E, 0x00}}}},
      {"delay", {250, 0, 0}, 0x7E0, {0x3E, 0x00}, {{E, 250, {0x7E, 0x00}}}},
      {"delay of a negative answer", {250, 0, 0}, 0x7E0, {0x85}, {{E, 250, {0x7F, 0x85, 0x11}}}},
      {"delay beyond the bound", {99999, 0, 0}, 0x7E0, {0x3E, 0x00}, {{E, 10000, {0x7E, 0x00}}}},
      {"pending before a positive answer", {0, 0, 2}, 0x7E0, {0x3E, 0x00},
       {{E, 0, {0x7F, 0x3E, 0x78}}, {E, 100, {0x7F, 0x3E, 0x78}}, {E, 200, {0x7E, 0x00}}}},
      {"no pending before a negative one", {0, 0, 2}, 0x7E0, {0x3E, 0x05}, {{E, 0, {0x7F, 0x3E, 0x12}}}},
      {"pending of a slow service", {10, 0, 2}, 0x7E1, {0x14, 0xFF, 0xFF, 0xFF},
       {{T, 10, {0x7F, 0x14, 0x78}}, {T, 110, {0x7F, 0x14, 0x78}}, {T, 110 + kSlowServiceMs, {0x54}}}},
      {"every request unanswered", {0, 100, 0}, 0x7DF, {0x01, 0x00}, {}},
      {"pending for both ECUs", {0, 0, 1}, 0x7DF, {0x04},
       {{E, 0, {0x7F, 0x04, 0x78}}, {E, 100, {0x44}}, {T, 0, {0x7F, 0x04, 0x78}}, {T, 100, {0x44}}}},
  };
  for (const Row& row : rows) {
    Vehicle vehicle;
    vehicle.SetFaults(row.faults);
    const std::vector<Reply> got = vehicle.Request(row.id, row.request, 0);
    EXPECT_EQ(got, row.expected) << row.what;
  }
}

TEST(Vehicle, LiveValuesMoveWithinPlausibleRanges) {
  // Each PID decoded as an application decodes it: (A or 256A+B) * scale + offset.
  struct Row {
    std::uint8_t pid;
    double scale, offset, low, high;
    int moves;  // 1: differs somewhere over a drive cycle, 0: constant, -1: either
  } rows[] = {
      {0x04, 100 / 255.0, 0, 5, 100, 1},  {0x05, 1, -40, 10, 95, 1},        {0x0B, 1, 0, 20, 110, 1},
      {0x0C, 0.25, 0, 600, 3500, 1},      {0x0D, 1, 0, 0, 70, 1},           {0x0F, 1, -40, 15, 35, 1},
      {0x10, 0.01, 0, 1, 60, 1},          {0x11, 100 / 255.0, 0, 5, 60, 1}, {0x1F, 1, 0, 0, 65535, 1},
      {0x2F, 100 / 255.0, 0, 5, 65, 1},   {0x42, 0.001, 0, 12.4, 12.8, 1},  {0x46, 1, -40, 17, 19, -1},
      {0x5C, 1, -40, 10, 100, 1},         {0x33, 1, 0, 101, 101, 0},
  };
  const std::uint64_t times[] = {0, 5000, 30000, 45000, 70000, 100000, 300000, 900000};
  for (const Row& row : rows) {
    Vehicle vehicle;
    double first = 0;
    bool moved = false;
    for (std::uint64_t t : times) {
      const std::vector<Reply> got = vehicle.Request(0x7E0, {0x01, row.pid}, t);
      ASSERT_EQ(got.size(), 1u);
      const Bytes& p = got[0].payload;
      ASSERT_GE(p.size(), 3u) << std::hex << int{row.pid};
      ASSERT_EQ(p[0], 0x41);
      ASSERT_EQ(p[1], row.pid);
      const double raw = p.size() == 4 ? (p[2] << 8) | p[3] : p[2];
      const double value = raw * row.scale + row.offset;
      EXPECT_GE(value, row.low) << std::hex << int{row.pid} << std::dec << " at " << t;
      EXPECT_LE(value, row.high) << std::hex << int{row.pid} << std::dec << " at " << t;
      if (t == 0) first = value;
      moved |= value != first;
    }
    if (row.moves >= 0) EXPECT_EQ(moved, row.moves == 1) << std::hex << int{row.pid};
  }
  // The battery drops while the engine cranks after a reset; the run time starts again.
  Vehicle vehicle;
  ASSERT_EQ(vehicle.Request(0x7E0, {0x11, 0x01}, 700000).size(), 1u);
  for (std::uint64_t t : {700000u, 701000u, 701999u}) {
    EXPECT_GE(vehicle.BatteryMillivolts(t), 11000u) << t;
    EXPECT_LT(vehicle.BatteryMillivolts(t), 12000u) << t;
  }
  EXPECT_GE(vehicle.BatteryMillivolts(702000), 12400u);
  const std::vector<Reply> runtime = vehicle.Request(0x7E0, {0x01, 0x1F}, 712000);
  ASSERT_EQ(runtime.size(), 1u);
  EXPECT_EQ(runtime[0].payload, (Bytes{0x41, 0x1F, 0x00, 10}));
}

}  // namespace
