// The simulated vehicle behind both simulated VCIs: an engine and a
// transmission ECU on one CAN bus, answering OBD-II (SAE J1979) and UDS
// (ISO 14229) requests at the level of whole (reassembled) payloads.
// Transport (segmentation, flow control) belongs to the bus node
// (vehicle_node.h) or the D-PDU link that carries the payloads.
//
// The ECUs are data (EcuSpec: PIDs, DIDs, DTCs); the protocol rules are code:
// one dispatcher owns the suppress-positive-response bit, the silence of
// functionally addressed requests, the response-pending answers and the fault
// settings. Time is an argument (milliseconds since the vehicle was made), so
// that the model is free of Windows headers and deterministic under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/scenario/scenario.h"

namespace simulator {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFunctionalRequestId = 0x7DF;
constexpr std::uint32_t kEngineRequestId = 0x7E0, kEngineResponseId = 0x7E8;
constexpr std::uint32_t kTransmissionRequestId = 0x7E1, kTransmissionResponseId = 0x7E9;
// The vehicle identification number both ECUs know (17 characters).
constexpr char kSimulatedVin[] = "WOVRA00SIM0000001";

// UDS negative response codes the ECUs give.
namespace nrc {
constexpr std::uint8_t kServiceNotSupported = 0x11;
constexpr std::uint8_t kSubFunctionNotSupported = 0x12;
constexpr std::uint8_t kIncorrectLength = 0x13;
constexpr std::uint8_t kConditionsNotCorrect = 0x22;
constexpr std::uint8_t kRequestSequenceError = 0x24;
constexpr std::uint8_t kRequestOutOfRange = 0x31;
constexpr std::uint8_t kSecurityAccessDenied = 0x33;
constexpr std::uint8_t kInvalidKey = 0x35;
constexpr std::uint8_t kExceededAttempts = 0x36;
constexpr std::uint8_t kTimeDelayNotExpired = 0x37;
constexpr std::uint8_t kResponsePending = 0x78;
constexpr std::uint8_t kSubFunctionNotInSession = 0x7E;
constexpr std::uint8_t kServiceNotInSession = 0x7F;

// Every code above, each with a word that any name of it contains: the
// decoder's names are checked against this list.
struct Sent {
  std::uint8_t code;
  const char* word;
};
constexpr Sent kSent[] = {
    {kServiceNotSupported, "service not supported"}, {kSubFunctionNotSupported, "sub-function"},
    {kIncorrectLength, "length"},                    {kConditionsNotCorrect, "conditions"},
    {kRequestSequenceError, "sequence"},             {kRequestOutOfRange, "range"},
    {kSecurityAccessDenied, "denied"},               {kInvalidKey, "key"},
    {kExceededAttempts, "attempts"},                 {kTimeDelayNotExpired, "delay"},
    {kResponsePending, "pending"},                   {kSubFunctionNotInSession, "sub-function"},
    {kServiceNotInSession, "session"}};
}  // namespace nrc

// Session timing: P2 and P2* (reported by 0x10), S3 (the non-default
// session ends when no request came for this long).
constexpr std::uint32_t kP2Ms = 50;
constexpr std::uint32_t kP2StarMs = 5000;
constexpr std::uint32_t kS3Ms = 5000;
// SecurityAccess: the key is the seed XOR kSecurityKeyMask (both 16 bits,
// big-endian); the third wrong key locks access for kSecurityDelayMs.
constexpr std::uint16_t kSecurityKeyMask = 0x5AA5;
constexpr int kSecurityAttempts = 3;
constexpr std::uint32_t kSecurityDelayMs = 10000;
// After an ECU reset the engine cranks this long (battery at 11.x V).
constexpr std::uint32_t kCrankMs = 2000;
// A slow service (0x14) answers "response pending" first, then after this long.
constexpr std::uint32_t kSlowServiceMs = 300;
// Time between the "response pending" answers the fault setting asks for.
constexpr std::uint32_t kPendingSpacingMs = 100;

// Fault settings for application developers testing their error paths
// (all zero: a healthy vehicle).
struct Faults {
  std::uint32_t extraDelayMs = 0;      // added to every answer (at most 10000)
  std::uint32_t unansweredPercent = 0; // requests that get no answer at all (0..100)
  std::uint32_t pendingAnswers = 0;    // 0x78 answers before every positive one (at most 20)
  // The settings within their bounds.
  Faults Clamped() const;
};

// One answer an ECU puts on the bus: from its response id, `delayMs` after
// the request.
struct Reply {
  std::uint32_t responseId = 0;
  std::uint32_t delayMs = 0;
  Bytes payload;
  bool operator==(const Reply& o) const {
    return responseId == o.responseId && delayMs == o.delayMs && payload == o.payload;
  }
};

// A diagnostic trouble code: two bytes as OBD-II reports it (P0301 is 03 01),
// the third byte UDS adds (failure type) and where it is kept.
struct DtcSpec {
  std::uint16_t code;
  bool stored;     // confirmed (mode 03); UDS status bit 3
  bool pending;    // mode 07; UDS status bit 2
  bool permanent;  // mode 0A; survives a clear
  bool mil;        // asks for the warning lamp; UDS status bit 7
};

// What is measured at one moment: every PID's value derives from it.
struct Signals {
  double rpm = 0, speedKmh = 0, coolantC = 0, intakeC = 0, ambientC = 0, oilC = 0;
  double loadPct = 0, throttlePct = 0, mafGs = 0, fuelPct = 0, mapKpa = 0;
  std::uint32_t runtimeS = 0;
  std::uint32_t batteryMv = 0;
  std::uint8_t milDtcs = 0;  // stored DTCs of the ECU asking (PID 01)
  bool mil = false;
};

// A mode 01 PID: its data bytes from the signals, and the ECUs that report
// it (bit 0 the engine, bit 1 the transmission).
struct PidSpec {
  std::uint8_t pid;
  std::uint8_t size;
  std::uint8_t ecus;
  void (*encode)(const Signals&, std::uint8_t* out);
};
// The mode 01 PIDs of the vehicle (the supported-PID bitmaps derive from it).
const PidSpec* PidTable(std::size_t* count);

// A data identifier for UDS 0x22 (and 0x2E when `writable`).
struct DidSpec {
  std::uint16_t did;
  const char* value;     // text, padded with spaces to `size`; null: the active session (1 byte)
  std::uint8_t size;
  bool writable;
};

// One ECU: its ids, tables, and the flow control it sends as a receiver.
struct EcuSpec {
  const char* name;
  std::uint32_t request;
  std::uint32_t response;
  std::uint8_t bit;             // its bit in PidSpec::ecus
  const std::uint8_t* infoPids; // mode 09 PIDs besides 00, 0-terminated
  const DidSpec* dids;
  std::size_t didCount;
  const DtcSpec* dtcs;
  std::size_t dtcCount;
  const char* calibrationId;  // mode 09 PID 04 (16 characters at most)
  const char* ecuAcronym;     // mode 09 PID 0A: acronym and name ("ECM", "EngineControl")
  const char* ecuName;
  std::uint8_t blockSize;     // flow control of its receiver
  std::uint8_t stMin;
};

// The vehicle's ECUs, in the order their answers come.
const EcuSpec* VehicleEcus(std::size_t* count);
// The signals of the engine at `nowMs` (`crankUntilMs`: end of a crank, 0 none).
Signals SignalsAt(std::uint64_t nowMs, std::uint64_t crankUntilMs);

class Vehicle {
 public:
  Vehicle();
  void SetFaults(const Faults& faults) { faults_ = faults.Clamped(); }
  const Faults& faults() const { return faults_; }
  // A recorded scenario answers every request it knows first; the others go
  // to the ECUs, or get no answer when `only` is set. Null: no scenario.
  void SetScenario(std::shared_ptr<Scenario> scenario, bool only, std::uint32_t speedPercent) {
    scenario_ = std::move(scenario);
    scenarioOnly_ = only;
    scenarioSpeed_ = speedPercent;
  }
  Scenario* scenario() const { return scenario_.get(); }
  std::uint32_t scenarioSpeed() const { return scenarioSpeed_; }

  // The answers to `payload` sent to CAN id `canId` at `nowMs`: 0..n replies,
  // the engine's first. A physical id reaches its ECU, the functional id all.
  std::vector<Reply> Request(std::uint32_t canId, const Bytes& payload, std::uint64_t nowMs);

  // Battery voltage at the OBD connector, in mV (12.4-12.8 V; 11.x V while cranking).
  std::uint32_t BatteryMillivolts(std::uint64_t nowMs) const;

 private:
  struct EcuState {
    std::uint8_t session = 0x01;
    std::uint64_t lastRequestMs = 0;
    bool unlocked = false;
    bool seedSent = false;
    std::uint16_t seed = 0;
    int wrongKeys = 0;
    std::uint64_t lockedUntilMs = 0;
    std::vector<std::uint8_t> dtcStatus;   // per DtcSpec: UDS status byte
    std::vector<bool> permanent;
    std::vector<std::string> written;      // per DidSpec: value written with 0x2E
  };
  // One ECU's answer (empty: none); `slow` is set for services that answer
  // "response pending" first.
  Bytes Serve(std::size_t ecu, const Bytes& request, bool functional, std::uint64_t nowMs,
              bool* slow);
  Bytes CurrentData(std::size_t ecu, const Bytes& request, std::uint64_t nowMs);
  Bytes TroubleCodes(std::size_t ecu, std::uint8_t mode);
  Bytes VehicleInformation(std::size_t ecu, const Bytes& request);
  Bytes SessionControl(std::size_t ecu, const Bytes& request);
  Bytes EcuReset(std::size_t ecu, const Bytes& request, std::uint64_t nowMs);
  Bytes ReadData(std::size_t ecu, const Bytes& request);
  Bytes WriteData(std::size_t ecu, const Bytes& request);
  Bytes SecurityAccess(std::size_t ecu, const Bytes& request, std::uint64_t nowMs);
  Bytes ReadDtcInformation(std::size_t ecu, const Bytes& request);
  Bytes ClearDtcs(std::size_t ecu, const Bytes& request);
  void CheckSessionTimeout(std::size_t ecu, std::uint64_t nowMs);
  bool Unanswered();

  const EcuSpec* ecus_ = nullptr;
  std::size_t ecuCount_ = 0;
  std::vector<EcuState> state_;
  Faults faults_;
  std::shared_ptr<Scenario> scenario_;
  bool scenarioOnly_ = false;
  std::uint32_t scenarioSpeed_ = 100;
  std::uint64_t crankUntilMs_ = 0;
  std::uint32_t random_ = 0x2545F491;  // decides which requests go unanswered
  std::uint32_t seedCounter_ = 0x1D2C;
};

}  // namespace simulator
