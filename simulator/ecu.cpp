// The simulated engine ECU: OBD-II modes 01 and 09 and a few UDS services
// (see ecu.h).
#include "simulator/ecu.h"

#include <cstring>

namespace simulator {
namespace {

using Bytes = std::vector<std::uint8_t>;

// UDS negative response codes.
constexpr std::uint8_t kServiceNotSupported = 0x11;
constexpr std::uint8_t kSubFunctionNotSupported = 0x12;
constexpr std::uint8_t kIncorrectLength = 0x13;
constexpr std::uint8_t kRequestOutOfRange = 0x31;
constexpr std::uint8_t kSuppressPositiveResponse = 0x80;

// Session timing reported by DiagnosticSessionControl: P2 in ms, P2* in 10 ms.
constexpr std::uint16_t kP2Ms = 50;
constexpr std::uint16_t kP2StarTensOfMs = 500;

Bytes Negative(std::uint8_t service, std::uint8_t code) { return {0x7F, service, code}; }

void AppendVin(Bytes& out) {
  out.insert(out.end(), kSimulatedVin, kSimulatedVin + std::strlen(kSimulatedVin));
}

// Mode 01: the data of each requested PID the ECU supports, in request order.
Bytes CurrentData(const Bytes& request) {
  if (request.size() < 2 || request.size() > 7) return Negative(0x01, kIncorrectLength);
  Bytes out{0x41};
  for (std::size_t i = 1; i < request.size(); ++i) {
    const std::uint8_t pid = request[i];
    if (pid == 0x00) {
      // Supported PIDs 01-20: only 0C (bit 4 of the second byte).
      out.insert(out.end(), {0x00, 0x00, 0x10, 0x00, 0x00});
    } else if (pid == 0x0C) {
      const std::uint32_t quarterRpm = kSimulatedRpm * 4;
      out.insert(out.end(), {0x0C, static_cast<std::uint8_t>(quarterRpm >> 8),
                             static_cast<std::uint8_t>(quarterRpm & 0xFF)});
    }
  }
  if (out.size() == 1) return Negative(0x01, kRequestOutOfRange);
  return out;
}

// Mode 09: PID 00 (supported PIDs: 02) and PID 02 (the VIN in one data item).
Bytes VehicleInformation(const Bytes& request) {
  if (request.size() != 2) return Negative(0x09, kIncorrectLength);
  if (request[1] == 0x00) return {0x49, 0x00, 0x40, 0x00, 0x00, 0x00};
  if (request[1] == 0x02) {
    Bytes out{0x49, 0x02, 0x01};
    AppendVin(out);
    return out;
  }
  return Negative(0x09, kRequestOutOfRange);
}

// UDS 0x10 DiagnosticSessionControl: default, programming and extended sessions.
Bytes SessionControl(const Bytes& request) {
  if (request.size() != 2) return Negative(0x10, kIncorrectLength);
  const std::uint8_t session = request[1] & 0x7F;
  if (session < 0x01 || session > 0x03) return Negative(0x10, kSubFunctionNotSupported);
  if (request[1] & kSuppressPositiveResponse) return {};
  return {0x50, session, kP2Ms >> 8, kP2Ms & 0xFF, kP2StarTensOfMs >> 8, kP2StarTensOfMs & 0xFF};
}

// UDS 0x3E TesterPresent.
Bytes TesterPresent(const Bytes& request) {
  if (request.size() != 2) return Negative(0x3E, kIncorrectLength);
  if ((request[1] & 0x7F) != 0x00) return Negative(0x3E, kSubFunctionNotSupported);
  if (request[1] & kSuppressPositiveResponse) return {};
  return {0x7E, 0x00};
}

// UDS 0x22 ReadDataByIdentifier: F190 (the VIN) only.
Bytes ReadDataByIdentifier(const Bytes& request) {
  if (request.size() != 3) return Negative(0x22, kIncorrectLength);
  if (request[1] != 0xF1 || request[2] != 0x90) return Negative(0x22, kRequestOutOfRange);
  Bytes out{0x62, 0xF1, 0x90};
  AppendVin(out);
  return out;
}

}  // namespace

std::vector<std::uint8_t> EcuRespond(std::uint32_t canId, const std::vector<std::uint8_t>& request) {
  if ((canId != kEcuRequestId && canId != kFunctionalRequestId) || request.empty()) return {};
  Bytes answer;
  switch (request[0]) {
    case 0x01: answer = CurrentData(request); break;
    case 0x09: answer = VehicleInformation(request); break;
    case 0x10: answer = SessionControl(request); break;
    case 0x3E: answer = TesterPresent(request); break;
    case 0x22: answer = ReadDataByIdentifier(request); break;
    default: answer = Negative(request[0], kServiceNotSupported); break;
  }
  // Functionally addressed requests get no negative answer: other ECUs may serve them.
  if (canId == kFunctionalRequestId && !answer.empty() && answer[0] == 0x7F) return {};
  return answer;
}

void EcuNode::OnFrame(const CanFrame& frame, std::vector<CanFrame>& out) {
  const IsoTpAddress physical{kEcuRequestId, false, -1};
  const IsoTpAddress functional{kFunctionalRequestId, false, -1};
  const IsoTpAddress response{kEcuResponseId, false, -1};
  if (frame.extendedId) return;
  IsoTpReceiver* receiver = nullptr;
  std::uint32_t id = 0;
  if (Addressed(frame, physical)) {
    if (KindOf(frame, physical) == FrameKind::FlowControl) {
      response_.OnFlowControl(frame, physical, out);
      return;
    }
    receiver = &physical_;
    id = kEcuRequestId;
  } else if (Addressed(frame, functional)) {
    // Functional requests are single frames only.
    if (KindOf(frame, functional) != FrameKind::Single) return;
    receiver = &functional_;
    id = kFunctionalRequestId;
  } else {
    return;
  }
  const IsoTpAddress from{id, false, -1};
  switch (receiver->OnFrame(frame, from, kEcuBlockSize)) {
    case IsoTpReceiver::Event::FirstFrame:
      out.push_back(MakeFlowControl(response, 0, kEcuBlockSize, kEcuStMin, true));
      break;
    case IsoTpReceiver::Event::Complete: {
      const Bytes answer = EcuRespond(id, receiver->payload());
      if (!answer.empty()) response_.Start(response, answer.data(), answer.size(), true, out);
      break;
    }
    default: break;
  }
}

}  // namespace simulator
