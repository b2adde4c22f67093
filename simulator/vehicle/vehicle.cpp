// The simulated vehicle's protocol rules: one dispatcher over the OBD-II and
// UDS services of every ECU (see vehicle.h).
//
// Service ids, negative response codes, the suppress-positive-response bit and
// its exceptions follow ISO 14229-1 and SAE J1979 as publicly described. Where
// the public descriptions differ, the choice is noted at the place it is made.
#include "simulator/vehicle/vehicle.h"

#include <algorithm>
#include <cstring>

namespace simulator {
namespace {

constexpr std::uint8_t kSuppressBit = 0x80;
constexpr std::uint8_t kDefaultSession = 0x01, kProgrammingSession = 0x02, kExtendedSession = 0x03;
// Sessions as bits of a mask: default 1, programming 2, extended 4.
constexpr std::uint8_t kInDefault = 1, kInProgramming = 2, kInExtended = 4, kInAll = 7;
// DTC status bits (ISO 14229-1 DTCStatusMask).
constexpr std::uint8_t kTestFailed = 0x01, kPendingDtc = 0x04, kConfirmedDtc = 0x08,
                       kWarningIndicator = 0x80;
constexpr std::uint8_t kStatusAvailability = kTestFailed | 0x02 | kPendingDtc | kConfirmedDtc |
                                             kWarningIndicator;
constexpr std::size_t kMaxDidsPerRead = 8;
constexpr std::size_t kMaxRequest = 4095;

Bytes Negative(std::uint8_t service, std::uint8_t code) { return {0x7F, service, code}; }
bool IsNegative(const Bytes& answer) { return !answer.empty() && answer[0] == 0x7F; }

std::uint8_t SessionBit(std::uint8_t session) {
  return session == kProgrammingSession ? kInProgramming
         : session == kExtendedSession  ? kInExtended
                                        : kInDefault;
}

// Negative answers a functionally addressed request never gets (ISO 14229-1):
// another ECU may serve what this one does not know.
bool SilentWhenFunctional(std::uint8_t code) {
  return code == nrc::kServiceNotSupported || code == nrc::kSubFunctionNotSupported ||
         code == nrc::kRequestOutOfRange || code == nrc::kSubFunctionNotInSession ||
         code == nrc::kServiceNotInSession;
}

void AppendText(Bytes& out, const char* text, std::size_t size, std::uint8_t pad) {
  const std::size_t n = std::min(std::strlen(text), size);
  out.insert(out.end(), text, text + n);
  out.insert(out.end(), size - n, pad);
}

// The services: id, whether a sub-function byte follows (and may carry the
// suppress bit), and the sessions that know the service.
struct ServiceSpec {
  std::uint8_t sid;
  bool subFunction;
  bool suppressible;
  std::uint8_t sessions;
};
constexpr ServiceSpec kServices[] = {
    {0x01, false, false, kInAll},  // OBD-II: current data
    {0x03, false, false, kInAll},  // stored DTCs
    {0x04, false, false, kInAll},  // clear DTCs
    {0x07, false, false, kInAll},  // pending DTCs
    {0x09, false, false, kInAll},  // vehicle information
    {0x0A, false, false, kInAll},  // permanent DTCs
    {0x10, true, true, kInAll},    // DiagnosticSessionControl
    {0x11, true, true, kInAll},    // ECUReset
    {0x14, false, false, kInDefault | kInExtended},  // ClearDiagnosticInformation
    // ReadDTCInformation: its sub-functions take no suppress bit in ISO 14229-1.
    {0x19, true, false, kInDefault | kInExtended},
    {0x22, false, false, kInAll},                    // ReadDataByIdentifier
    {0x27, true, false, kInProgramming | kInExtended},  // SecurityAccess
    {0x2E, false, false, kInExtended},               // WriteDataByIdentifier
    {0x3E, true, true, kInAll},                      // TesterPresent
};

}  // namespace

Faults Faults::Clamped() const {
  Faults f;
  f.extraDelayMs = std::min<std::uint32_t>(extraDelayMs, 10000);
  f.unansweredPercent = std::min<std::uint32_t>(unansweredPercent, 100);
  f.pendingAnswers = std::min<std::uint32_t>(pendingAnswers, 20);
  return f;
}

Vehicle::Vehicle() {
  ecus_ = VehicleEcus(&ecuCount_);
  state_.resize(ecuCount_);
  for (std::size_t e = 0; e < ecuCount_; ++e) {
    EcuState& s = state_[e];
    for (std::size_t d = 0; d < ecus_[e].dtcCount; ++d) {
      const DtcSpec& dtc = ecus_[e].dtcs[d];
      std::uint8_t status = 0;
      if (dtc.stored) status |= kConfirmedDtc | kTestFailed;
      if (dtc.pending) status |= kPendingDtc | kTestFailed;
      if (dtc.mil) status |= kWarningIndicator;
      s.dtcStatus.push_back(status);
      s.permanent.push_back(dtc.permanent);
    }
    s.written.resize(ecus_[e].didCount);
  }
}

std::uint32_t Vehicle::BatteryMillivolts(std::uint64_t nowMs) const {
  return SignalsAt(nowMs, crankUntilMs_).batteryMv;
}

void Vehicle::CheckSessionTimeout(std::size_t ecu, std::uint64_t nowMs) {
  EcuState& s = state_[ecu];
  if (s.session != kDefaultSession && nowMs > s.lastRequestMs + kS3Ms) {
    s.session = kDefaultSession;
    s.unlocked = false;
    s.seedSent = false;
  }
}

// A simple generator (xorshift) so that the same settings give the same
// sequence of unanswered requests in every run.
bool Vehicle::Unanswered() {
  if (faults_.unansweredPercent == 0) return false;
  random_ ^= random_ << 13;
  random_ ^= random_ >> 17;
  random_ ^= random_ << 5;
  return random_ % 100 < faults_.unansweredPercent;
}

std::vector<Reply> Vehicle::Request(std::uint32_t canId, const Bytes& payload, std::uint64_t nowMs) {
  std::vector<Reply> replies;
  if (payload.empty() || payload.size() > kMaxRequest) return replies;
  if (scenario_) {
    std::vector<ScenarioAnswer> answers;
    if (scenario_->Answer(ScenarioLevel::Payload, canId, payload, scenarioSpeed_, &answers)) {
      for (ScenarioAnswer& answer : answers)
        replies.push_back({answer.canId, (answer.delayUs + 500) / 1000, std::move(answer.data)});
      return replies;
    }
    if (scenarioOnly_) return replies;
  }
  const bool functional = canId == kFunctionalRequestId;
  if (Unanswered()) return replies;  // lost on the way: no ECU sees it
  for (std::size_t e = 0; e < ecuCount_; ++e) {
    if (!functional && canId != ecus_[e].request) continue;
    CheckSessionTimeout(e, nowMs);
    bool slow = false;
    Bytes answer = Serve(e, payload, functional, nowMs, &slow);
    state_[e].lastRequestMs = nowMs;
    if (answer.empty()) continue;
    const std::uint32_t response = ecus_[e].response;
    std::uint32_t at = faults_.extraDelayMs;
    if (!IsNegative(answer)) {
      std::uint32_t pending = faults_.pendingAnswers;
      if (slow && pending == 0) pending = 1;
      // The last "pending" answer is followed by the positive one after the
      // spacing, or after the service's own time when it is slow.
      for (std::uint32_t i = 0; i < pending; ++i) {
        if (i > 0) at += kPendingSpacingMs;
        replies.push_back({response, at, Negative(payload[0], nrc::kResponsePending)});
      }
      if (pending > 0) at += slow ? kSlowServiceMs : kPendingSpacingMs;
    }
    replies.push_back({response, at, std::move(answer)});
  }
  return replies;
}

Bytes Vehicle::Serve(std::size_t ecu, const Bytes& request, bool functional, std::uint64_t nowMs,
                     bool* slow) {
  const std::uint8_t sid = request[0];
  const ServiceSpec* service = nullptr;
  for (const ServiceSpec& s : kServices)
    if (s.sid == sid) service = &s;
  Bytes answer;
  bool suppress = false;
  if (service == nullptr) {
    answer = Negative(sid, nrc::kServiceNotSupported);
  } else if (!(service->sessions & SessionBit(state_[ecu].session))) {
    answer = Negative(sid, nrc::kServiceNotInSession);
  } else if (service->subFunction && request.size() < 2) {
    answer = Negative(sid, nrc::kIncorrectLength);
  } else {
    suppress = service->suppressible && (request[1] & kSuppressBit) != 0;
    switch (sid) {
      case 0x01: answer = CurrentData(ecu, request, nowMs); break;
      case 0x03:
      case 0x07:
      case 0x0A: answer = TroubleCodes(ecu, sid); break;
      case 0x04:
        if (request.size() != 1) {
          answer = Negative(sid, nrc::kIncorrectLength);
        } else {
          for (std::uint8_t& status : state_[ecu].dtcStatus) status = 0;
          answer = {0x44};
        }
        break;
      case 0x09: answer = VehicleInformation(ecu, request); break;
      case 0x10: answer = SessionControl(ecu, request); break;
      case 0x11: answer = EcuReset(ecu, request, nowMs); break;
      case 0x14:
        answer = ClearDtcs(ecu, request);
        *slow = !IsNegative(answer);
        break;
      case 0x19: answer = ReadDtcInformation(ecu, request); break;
      case 0x22: answer = ReadData(ecu, request); break;
      case 0x27: answer = SecurityAccess(ecu, request, nowMs); break;
      case 0x2E: answer = WriteData(ecu, request); break;
      case 0x3E:
        if (request.size() != 2)
          answer = Negative(sid, nrc::kIncorrectLength);
        else if ((request[1] & ~kSuppressBit) != 0x00)
          answer = Negative(sid, nrc::kSubFunctionNotSupported);
        else
          answer = {0x7E, 0x00};
        break;
    }
  }
  if (IsNegative(answer)) {
    if (functional && SilentWhenFunctional(answer[2])) return {};
    return answer;  // negative answers go out even with the suppress bit
  }
  if (suppress) return {};
  return answer;
}

// Mode 01: up to six PIDs per request; the data of every supported one in
// request order. J1979 lets an emissions ECU stay silent when it supports none
// of the PIDs, while ISO 14229 asks for NRC 0x31 on a physical request: this
// ECU answers 0x31 physically and stays silent functionally.
Bytes Vehicle::CurrentData(std::size_t ecu, const Bytes& request, std::uint64_t nowMs) {
  if (request.size() < 2 || request.size() > 7) return Negative(0x01, nrc::kIncorrectLength);
  std::size_t pidCount = 0;
  const PidSpec* pids = PidTable(&pidCount);
  const std::uint8_t bit = ecus_[ecu].bit;
  auto supports = [&](unsigned pid) {
    for (std::size_t i = 0; i < pidCount; ++i)
      if (pids[i].pid == pid && (pids[i].ecus & bit)) return true;
    return false;
  };
  // A bitmap PID (00, 20, 40, ...) is supported when a higher PID is.
  auto bitmapSupported = [&](unsigned bitmapPid) {
    if (bitmapPid == 0) return true;
    for (std::size_t i = 0; i < pidCount; ++i)
      if (pids[i].pid > bitmapPid && (pids[i].ecus & bit)) return true;
    return false;
  };
  Signals signals = SignalsAt(nowMs, ecu == 0 ? crankUntilMs_ : 0);
  const EcuState& s = state_[ecu];
  for (std::size_t d = 0; d < s.dtcStatus.size(); ++d) {
    if (s.dtcStatus[d] & kConfirmedDtc) ++signals.milDtcs;
    if (s.dtcStatus[d] & kWarningIndicator) signals.mil = true;
  }
  Bytes out{0x41};
  for (std::size_t i = 1; i < request.size(); ++i) {
    const std::uint8_t pid = request[i];
    if (pid % 0x20 == 0) {
      if (!bitmapSupported(pid)) continue;
      std::uint8_t map[4] = {};
      for (unsigned n = 1; n <= 0x20; ++n) {
        const unsigned candidate = pid + n;
        const bool on = candidate % 0x20 == 0 ? candidate <= 0xFF && bitmapSupported(candidate)
                                              : supports(candidate);
        if (on) map[(n - 1) / 8] |= static_cast<std::uint8_t>(0x80 >> ((n - 1) % 8));
      }
      out.push_back(pid);
      out.insert(out.end(), map, map + 4);
      continue;
    }
    for (std::size_t p = 0; p < pidCount; ++p) {
      if (pids[p].pid != pid || !(pids[p].ecus & bit)) continue;
      std::uint8_t data[8] = {};
      pids[p].encode(signals, data);
      out.push_back(pid);
      out.insert(out.end(), data, data + pids[p].size);
    }
  }
  if (out.size() == 1) return Negative(0x01, nrc::kRequestOutOfRange);
  return out;
}

// Modes 03, 07 and 0A: the count, then two bytes per DTC (ISO 15765-4 form).
Bytes Vehicle::TroubleCodes(std::size_t ecu, std::uint8_t mode) {
  Bytes out{static_cast<std::uint8_t>(mode + 0x40), 0};
  const EcuState& s = state_[ecu];
  for (std::size_t d = 0; d < s.dtcStatus.size(); ++d) {
    const bool listed = mode == 0x03   ? (s.dtcStatus[d] & kConfirmedDtc) != 0
                        : mode == 0x07 ? (s.dtcStatus[d] & kPendingDtc) != 0
                                       : s.permanent[d];
    if (!listed) continue;
    const std::uint16_t code = ecus_[ecu].dtcs[d].code;
    out.push_back(static_cast<std::uint8_t>(code >> 8));
    out.push_back(static_cast<std::uint8_t>(code));
    ++out[1];
  }
  return out;
}

// Mode 09: 00 (supported), 02 (VIN), 04 (calibration id), 0A (ECU name).
Bytes Vehicle::VehicleInformation(std::size_t ecu, const Bytes& request) {
  if (request.size() != 2) return Negative(0x09, nrc::kIncorrectLength);
  const EcuSpec& table = ecus_[ecu];
  const std::uint8_t pid = request[1];
  if (pid == 0x00) {
    std::uint8_t map[4] = {};
    for (const std::uint8_t* p = table.infoPids; *p != 0; ++p)
      if (*p <= 0x20) map[(*p - 1) / 8] |= static_cast<std::uint8_t>(0x80 >> ((*p - 1) % 8));
    return {0x49, 0x00, map[0], map[1], map[2], map[3]};
  }
  bool supported = false;
  for (const std::uint8_t* p = table.infoPids; *p != 0; ++p) supported |= *p == pid;
  if (!supported) return Negative(0x09, nrc::kRequestOutOfRange);
  Bytes out{0x49, pid, 0x01};
  if (pid == 0x02) AppendText(out, kSimulatedVin, 17, 0x00);
  if (pid == 0x04) AppendText(out, table.calibrationId, 16, 0x00);
  if (pid == 0x0A) {
    // Acronym (4 bytes), '-', name (15 bytes), padded with zeros.
    AppendText(out, table.ecuAcronym, 4, 0x00);
    out.push_back('-');
    AppendText(out, table.ecuName, 15, 0x00);
  }
  return out;
}

// 0x10: default, programming (reached from the extended session only) and
// extended sessions; a change of session locks security access again.
Bytes Vehicle::SessionControl(std::size_t ecu, const Bytes& request) {
  if (request.size() != 2) return Negative(0x10, nrc::kIncorrectLength);
  const std::uint8_t session = request[1] & ~kSuppressBit;
  if (session < kDefaultSession || session > kExtendedSession)
    return Negative(0x10, nrc::kSubFunctionNotSupported);
  EcuState& s = state_[ecu];
  if (session == kProgrammingSession && s.session == kDefaultSession)
    return Negative(0x10, nrc::kSubFunctionNotInSession);
  if (session != s.session) {
    s.unlocked = false;
    s.seedSent = false;
  }
  s.session = session;
  const std::uint32_t p2Star = kP2StarMs / 10;  // reported in units of 10 ms
  return {0x50, session, static_cast<std::uint8_t>(kP2Ms >> 8), static_cast<std::uint8_t>(kP2Ms),
          static_cast<std::uint8_t>(p2Star >> 8), static_cast<std::uint8_t>(p2Star)};
}

// 0x11: hard, key-off-on and soft reset. The engine cranks after its reset;
// a reset asked for while it cranks is refused.
Bytes Vehicle::EcuReset(std::size_t ecu, const Bytes& request, std::uint64_t nowMs) {
  if (request.size() != 2) return Negative(0x11, nrc::kIncorrectLength);
  const std::uint8_t type = request[1] & ~kSuppressBit;
  if (type < 0x01 || type > 0x03) return Negative(0x11, nrc::kSubFunctionNotSupported);
  if (nowMs < crankUntilMs_) return Negative(0x11, nrc::kConditionsNotCorrect);
  EcuState& s = state_[ecu];
  s.session = kDefaultSession;
  s.unlocked = false;
  s.seedSent = false;
  if (ecu == 0) crankUntilMs_ = nowMs + kCrankMs;
  return {0x51, type};
}

// 0x22: up to eight DIDs in one request; the supported ones are answered in
// request order, NRC 0x31 when none is.
Bytes Vehicle::ReadData(std::size_t ecu, const Bytes& request) {
  if (request.size() < 3 || request.size() % 2 != 1 || (request.size() - 1) / 2 > kMaxDidsPerRead)
    return Negative(0x22, nrc::kIncorrectLength);
  const EcuSpec& table = ecus_[ecu];
  Bytes out{0x62};
  for (std::size_t i = 1; i + 1 < request.size(); i += 2) {
    const std::uint16_t did = static_cast<std::uint16_t>((request[i] << 8) | request[i + 1]);
    for (std::size_t d = 0; d < table.didCount; ++d) {
      if (table.dids[d].did != did) continue;
      out.push_back(request[i]);
      out.push_back(request[i + 1]);
      if (table.dids[d].value == nullptr) {
        out.push_back(state_[ecu].session);
        continue;
      }
      const std::string& written = state_[ecu].written[d];
      AppendText(out, written.empty() ? table.dids[d].value : written.c_str(), table.dids[d].size, ' ');
    }
  }
  if (out.size() == 1) return Negative(0x22, nrc::kRequestOutOfRange);
  return out;
}

// 0x2E: writable DIDs, in the extended session (the dispatcher checks it),
// after security access, with exactly the DID's length.
Bytes Vehicle::WriteData(std::size_t ecu, const Bytes& request) {
  if (request.size() < 4) return Negative(0x2E, nrc::kIncorrectLength);
  const EcuSpec& table = ecus_[ecu];
  const std::uint16_t did = static_cast<std::uint16_t>((request[1] << 8) | request[2]);
  for (std::size_t d = 0; d < table.didCount; ++d) {
    if (table.dids[d].did != did) continue;
    if (!table.dids[d].writable) return Negative(0x2E, nrc::kRequestOutOfRange);
    if (!state_[ecu].unlocked) return Negative(0x2E, nrc::kSecurityAccessDenied);
    if (request.size() != 3u + table.dids[d].size) return Negative(0x2E, nrc::kIncorrectLength);
    std::string value(request.begin() + 3, request.end());
    for (char& c : value)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    state_[ecu].written[d] = value;
    return {0x6E, request[1], request[2]};
  }
  return Negative(0x2E, nrc::kRequestOutOfRange);
}

// 0x27 level 1: 01 asks for a seed, 02 sends the key (seed XOR kSecurityKeyMask).
Bytes Vehicle::SecurityAccess(std::size_t ecu, const Bytes& request, std::uint64_t nowMs) {
  EcuState& s = state_[ecu];
  const std::uint8_t type = request[1];
  if (type == 0x01) {
    if (request.size() != 2) return Negative(0x27, nrc::kIncorrectLength);
    if (nowMs < s.lockedUntilMs) return Negative(0x27, nrc::kTimeDelayNotExpired);
    if (s.unlocked) return {0x67, 0x01, 0x00, 0x00};  // already unlocked: seed zero
    seedCounter_ = seedCounter_ * 1103515245u + 12345u;
    s.seed = static_cast<std::uint16_t>(seedCounter_ >> 16);
    if (s.seed == 0) s.seed = 0x0101;
    s.seedSent = true;
    return {0x67, 0x01, static_cast<std::uint8_t>(s.seed >> 8), static_cast<std::uint8_t>(s.seed)};
  }
  if (type == 0x02) {
    if (request.size() != 4) return Negative(0x27, nrc::kIncorrectLength);
    if (!s.seedSent) return Negative(0x27, nrc::kRequestSequenceError);
    s.seedSent = false;
    const std::uint16_t key = static_cast<std::uint16_t>((request[2] << 8) | request[3]);
    if (key == static_cast<std::uint16_t>(s.seed ^ kSecurityKeyMask)) {
      s.unlocked = true;
      s.wrongKeys = 0;
      return {0x67, 0x02};
    }
    if (++s.wrongKeys >= kSecurityAttempts) {
      s.wrongKeys = 0;
      s.lockedUntilMs = nowMs + kSecurityDelayMs;
      return Negative(0x27, nrc::kExceededAttempts);
    }
    return Negative(0x27, nrc::kInvalidKey);
  }
  return Negative(0x27, nrc::kSubFunctionNotSupported);
}

// 0x19: 02 (DTCs whose status matches a mask) and 0A (every supported DTC);
// three bytes per DTC (the OBD-II code, failure type 00) and its status.
Bytes Vehicle::ReadDtcInformation(std::size_t ecu, const Bytes& request) {
  const std::uint8_t type = request[1];
  if (type != 0x02 && type != 0x0A) return Negative(0x19, nrc::kSubFunctionNotSupported);
  if (request.size() != (type == 0x02 ? 3u : 2u)) return Negative(0x19, nrc::kIncorrectLength);
  const std::uint8_t mask = type == 0x02 ? request[2] : 0xFF;
  Bytes out{0x59, type, kStatusAvailability};
  const EcuState& s = state_[ecu];
  for (std::size_t d = 0; d < s.dtcStatus.size(); ++d) {
    if (type == 0x02 && (s.dtcStatus[d] & mask & kStatusAvailability) == 0) continue;
    const std::uint16_t code = ecus_[ecu].dtcs[d].code;
    out.insert(out.end(), {static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code), 0x00,
                           s.dtcStatus[d]});
  }
  return out;
}

// 0x14: all DTCs (group FFFFFF) or one; permanent DTCs stay.
Bytes Vehicle::ClearDtcs(std::size_t ecu, const Bytes& request) {
  if (request.size() != 4) return Negative(0x14, nrc::kIncorrectLength);
  const std::uint32_t group = (std::uint32_t{request[1]} << 16) | (request[2] << 8) | request[3];
  EcuState& s = state_[ecu];
  bool found = group == 0xFFFFFF;
  for (std::size_t d = 0; d < s.dtcStatus.size(); ++d) {
    if (group == 0xFFFFFF || group == std::uint32_t{ecus_[ecu].dtcs[d].code} << 8) {
      s.dtcStatus[d] = 0;
      found = true;
    }
  }
  if (!found) return Negative(0x14, nrc::kRequestOutOfRange);
  return {0x54};
}

}  // namespace simulator
