// The simulated vehicle as data: its ECUs, their PIDs, DIDs and DTCs, and the
// drive cycle every moving value derives from (see vehicle.h).
//
// Formulas and scalings follow SAE J1979 as publicly described (PID 0C is
// quarter revolutions per minute, temperatures are offset by 40 degrees C,
// percentages are scaled by 100/255, MAF by 1/100 g/s, control module voltage
// by 1/1000 V).
#include <algorithm>
#include <cmath>

#include "simulator/vehicle/vehicle.h"

namespace simulator {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::uint8_t Byte(double v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0) + 0.5); }
void Word(double v, std::uint8_t* out) {
  const auto w = static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0) + 0.5);
  out[0] = static_cast<std::uint8_t>(w >> 8);
  out[1] = static_cast<std::uint8_t>(w);
}
double Percent(double pct) { return pct * 255.0 / 100.0; }

constexpr std::uint8_t kEngine = 1, kTransmission = 2;

// Mode 01 PIDs. The bitmaps (00, 20, 40) are computed from this table.
const PidSpec kPids[] = {
    // 01: monitor status since DTCs cleared: MIL and DTC count, then the
    // continuous and non-continuous monitors (all supported and complete).
    {0x01, 4, kEngine | kTransmission,
     [](const Signals& s, std::uint8_t* o) {
       o[0] = static_cast<std::uint8_t>((s.mil ? 0x80 : 0x00) | (s.milDtcs & 0x7F));
       o[1] = 0x07;
       o[2] = 0x65;
       o[3] = 0x00;
     }},
    {0x04, 1, kEngine, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(Percent(s.loadPct)); }},
    {0x05, 1, kEngine, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(s.coolantC + 40); }},
    {0x0B, 1, kEngine, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(s.mapKpa); }},
    {0x0C, 2, kEngine, [](const Signals& s, std::uint8_t* o) { Word(s.rpm * 4, o); }},
    {0x0D, 1, kEngine | kTransmission, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(s.speedKmh); }},
    {0x0F, 1, kEngine, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(s.intakeC + 40); }},
    {0x10, 2, kEngine, [](const Signals& s, std::uint8_t* o) { Word(s.mafGs * 100, o); }},
    {0x11, 1, kEngine, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(Percent(s.throttlePct)); }},
    // 1C: OBD requirements the vehicle meets (06: EOBD).
    {0x1C, 1, kEngine | kTransmission, [](const Signals&, std::uint8_t* o) { o[0] = 0x06; }},
    {0x1F, 2, kEngine, [](const Signals& s, std::uint8_t* o) { Word(s.runtimeS, o); }},
    {0x2F, 1, kEngine, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(Percent(s.fuelPct)); }},
    {0x33, 1, kEngine, [](const Signals&, std::uint8_t* o) { o[0] = 101; }},  // barometric, kPa
    {0x42, 2, kEngine, [](const Signals& s, std::uint8_t* o) { Word(s.batteryMv, o); }},
    {0x46, 1, kEngine, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(s.ambientC + 40); }},
    {0x5C, 1, kEngine, [](const Signals& s, std::uint8_t* o) { o[0] = Byte(s.oilC + 40); }},
};

const std::uint8_t kEngineInfo[] = {0x02, 0x04, 0x0A, 0};
const std::uint8_t kTransmissionInfo[] = {0x04, 0x0A, 0};

// F186: active diagnostic session, F18C: ECU serial number, F187: spare part
// number, F195: software version, F198: repair shop code (written with 0x2E),
// F190: VIN.
const DidSpec kEngineDids[] = {
    {0xF186, nullptr, 1, false},
    {0xF190, kSimulatedVin, 17, false},
    {0xF18C, "EN24031500017", 13, false},
    {0xF187, "OVR-0261S1-0815", 15, false},
    {0xF195, "EMS 4.2.07", 10, false},
    {0xF198, "", 10, true},
};
const DidSpec kTransmissionDids[] = {
    {0xF186, nullptr, 1, false},
    {0xF190, kSimulatedVin, 17, false},
    {0xF18C, "TC24031500042", 13, false},
    {0xF187, "OVR-0AM927-769", 14, false},
    {0xF195, "TCU 1.9.03", 10, false},
    {0xF198, "", 10, true},
};

// The engine: two stored DTCs (cylinder 1 misfire, catalyst efficiency) and
// one pending (system too lean); the transmission: one stored (input speed
// sensor circuit).
const DtcSpec kEngineDtcs[] = {
    {0x0301, true, false, false, true},
    {0x0420, true, false, true, true},
    {0x0171, false, true, false, false},
};
const DtcSpec kTransmissionDtcs[] = {
    {0x0715, true, false, false, false},
};

const EcuSpec kEcus[] = {
    {"engine", kEngineRequestId, kEngineResponseId, kEngine, kEngineInfo, kEngineDids,
     std::size(kEngineDids), kEngineDtcs, std::size(kEngineDtcs), "OVRAEMS42070815", "ECM",
     "EngineControl", 0, 0},
    {"transmission", kTransmissionRequestId, kTransmissionResponseId, kTransmission,
     kTransmissionInfo, kTransmissionDids, std::size(kTransmissionDids), kTransmissionDtcs,
     std::size(kTransmissionDtcs), "OVRATCU19030769", "TCM", "TransmissionCtl", 8, 1},
};

}  // namespace

const EcuSpec* VehicleEcus(std::size_t* count) {
  *count = std::size(kEcus);
  return kEcus;
}

const PidSpec* PidTable(std::size_t* count) {
  *count = std::size(kPids);
  return kPids;
}

// A two-minute drive cycle repeated: 20 s at idle, then away to about 60 km/h
// and back to a stop. The engine warms up from the ambient temperature.
Signals SignalsAt(std::uint64_t nowMs, std::uint64_t crankUntilMs) {
  Signals s;
  const double t = static_cast<double>(nowMs) / 1000.0;
  const bool cranking = nowMs < crankUntilMs;
  const double run = cranking ? 0.0 : t - static_cast<double>(crankUntilMs) / 1000.0;
  const double phase = std::fmod(run, 120.0);
  s.ambientC = 18.0 + 0.5 * std::sin(t / 600.0);
  s.speedKmh = phase < 20.0 ? 0.0 : 30.0 * (1.0 - std::cos(2.0 * kPi * (phase - 20.0) / 100.0));
  if (cranking) {
    s.rpm = 200.0 + 30.0 * std::sin(t * 7.0);
    s.batteryMv = static_cast<std::uint32_t>(11300.0 + 300.0 * std::sin(t * 5.0));
  } else {
    s.rpm = 780.0 + 20.0 * std::sin(t * 0.7) + s.speedKmh * 35.0;
    s.batteryMv = static_cast<std::uint32_t>(12600.0 + 199.0 * std::sin(t / 45.0));
  }
  s.throttlePct = s.speedKmh > 0.5 ? 12.0 + s.speedKmh * 0.4 + 5.0 * std::sin(t) : 11.8;
  s.loadPct = cranking ? 5.0 : 18.0 + s.throttlePct * 0.9;
  s.mafGs = 2.0 + s.rpm * s.loadPct / 6000.0;
  s.mapKpa = 30.0 + s.loadPct * 0.7;
  // A reset does not cool the engine: temperatures follow the vehicle's time.
  s.coolantC = s.ambientC + 72.0 * (1.0 - std::exp(-t / 120.0));
  s.oilC = s.ambientC + 77.0 * (1.0 - std::exp(-t / 200.0));
  s.intakeC = s.ambientC + 10.0 + 3.0 * std::sin(t / 20.0);
  s.fuelPct = std::max(5.0, 62.0 - t / 600.0);
  s.runtimeS = static_cast<std::uint32_t>(std::min(run, 65535.0));
  return s;
}

}  // namespace simulator
