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
std::string Hex(const Bytes& b) {
  std::string s;
  char x[4];
  for (std::uint8_t v : b) {
    std::snprintf(x, sizeof x, "%02X ", v);
    s += x;
  }
  return s;
}
std::string Show(const std::vector<Reply>& replies) {
  std::string s;
  for (const Reply& r : replies) s += std::to_string(r.responseId) + "@" + std::to_string(r.delayMs) + ": " + Hex(r.payload) + "| ";
  return s;
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
    EXPECT_EQ(got, step.expected) << "step " << line << " (" << Hex(request) << "): " << Show(got);
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
    EXPECT_EQ(got, row.expected) << row.what << ": " << Show(got);
  }
  // Half the requests unanswered: about half, and the same ones in every run.
  Vehicle a, b;
  a.SetFaults({0, 50, 0});
  b.SetFaults({0, 50, 0});
  int unanswered = 0;
  for (int i = 0; i < 200; ++i) {
    const bool silent = a.Request(0x7E0, {0x3E, 0x00}, i).empty();
    EXPECT_EQ(silent, b.Request(0x7E0, {0x3E, 0x00}, i).empty()) << i;
    unanswered += silent ? 1 : 0;
  }
  EXPECT_GT(unanswered, 60);
  EXPECT_LT(unanswered, 140);
}

// PID values decoded as an application decodes them.
double Decode(std::uint8_t pid, const Bytes& d) {
  switch (pid) {
    case 0x0C: return ((d[0] << 8) | d[1]) / 4.0;
    case 0x10: return ((d[0] << 8) | d[1]) / 100.0;
    case 0x1F: return (d[0] << 8) | d[1];
    case 0x42: return ((d[0] << 8) | d[1]) / 1000.0;
    case 0x05:
    case 0x0F:
    case 0x46:
    case 0x5C: return d[0] - 40.0;
    case 0x04:
    case 0x11:
    case 0x2F: return d[0] * 100.0 / 255.0;
    default: return d[0];
  }
}

TEST(Vehicle, LiveValuesMoveWithinPlausibleRanges) {
  struct Row {
    std::uint8_t pid;
    double low, high;
    int moves;  // 1: differs somewhere over a drive cycle, 0: constant, -1: either
  } rows[] = {
      {0x04, 5, 100, true},   {0x05, 10, 95, true},    {0x0B, 20, 110, true}, {0x0C, 600, 3500, true},
      {0x0D, 0, 70, true},    {0x0F, 15, 35, true},    {0x10, 1, 60, true},   {0x11, 5, 60, true},
      {0x1F, 0, 65535, true}, {0x2F, 5, 65, true},     {0x42, 12.4, 12.8, true}, {0x46, 17, 19, -1},
      {0x5C, 10, 100, true},  {0x33, 101, 101, 0},
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
      const double value = Decode(row.pid, Bytes(p.begin() + 2, p.end()));
      EXPECT_GE(value, row.low) << std::hex << int{row.pid} << std::dec << " at " << t;
      EXPECT_LE(value, row.high) << std::hex << int{row.pid} << std::dec << " at " << t;
      if (t == 0) first = value;
      moved |= value != first;
    }
    if (row.moves >= 0) EXPECT_EQ(moved, row.moves == 1) << std::hex << int{row.pid};
  }
  // The engine warms up; the battery drops while the engine cranks after a reset.
  Vehicle vehicle;
  const auto coolant = [&](std::uint64_t t) { return vehicle.Request(0x7E0, {0x01, 0x05}, t)[0].payload[2] - 40; };
  EXPECT_LT(coolant(0), 30);
  EXPECT_GT(coolant(600000), 80);
  ASSERT_EQ(vehicle.Request(0x7E0, {0x11, 0x01}, 700000).size(), 1u);
  for (std::uint64_t t : {700000u, 701000u, 701999u}) {
    EXPECT_GE(vehicle.BatteryMillivolts(t), 11000u) << t;
    EXPECT_LT(vehicle.BatteryMillivolts(t), 12000u) << t;
  }
  EXPECT_GE(vehicle.BatteryMillivolts(702000), 12400u);
  EXPECT_GT(coolant(702100), 80);  // a reset does not cool the engine
  const std::vector<Reply> runtime = vehicle.Request(0x7E0, {0x01, 0x1F}, 712000);
  ASSERT_EQ(runtime.size(), 1u);
  EXPECT_EQ(runtime[0].payload, (Bytes{0x41, 0x1F, 0x00, 10}));  // but restarts the run time
}

TEST(Vehicle, DtcsReadAsTheirFiveCharacterCodes) {
  struct Row {
    std::uint16_t code;
    const char* text;
  } rows[] = {{0x0301, "P0301"}, {0x0420, "P0420"}, {0x4123, "C0123"}, {0x9ABC, "B1ABC"}, {0xC100, "U0100"}};
  for (const Row& row : rows) EXPECT_EQ(DtcText(row.code), row.text);
}

}  // namespace
