// The simulated engine ECU behind both simulated VCIs: answers diagnostic
// requests at the level of whole (reassembled) ISO 15765 payloads. Transport
// (segmentation, flow control) belongs to the channel that carries them.
// Free of Windows headers.
#pragma once

#include <cstdint>
#include <vector>

#include "simulator/isotp.h"

namespace simulator {

constexpr std::uint32_t kEcuRequestId = 0x7E0;     // physical request
constexpr std::uint32_t kEcuResponseId = 0x7E8;    // response
constexpr std::uint32_t kFunctionalRequestId = 0x7DF;
// The vehicle identification number the ECU reports (17 characters).
constexpr char kSimulatedVin[] = "WOVRA00SIM0000001";

// The ECU's answer to one request payload sent to `canId` (the physical or the
// functional id); empty when the ECU stays silent (another id, or a request
// that gets no answer). Negative responses follow UDS (0x7F, service, code).
std::vector<std::uint8_t> EcuRespond(std::uint32_t canId, const std::vector<std::uint8_t>& request);

// Engine speed the ECU reports (mode 01 PID 0C), in revolutions per minute.
constexpr std::uint32_t kSimulatedRpm = 800;
// Flow control the ECU sends when it receives a segmented request.
constexpr std::uint8_t kEcuBlockSize = 0;
constexpr std::uint8_t kEcuStMin = 0;

// The ECU as a node on the CAN bus: it reassembles requests sent to its
// physical and functional ids (11-bit, normal addressing), answers through
// EcuRespond, and segments its answers with the tester's flow control. Every
// frame it puts on the bus in answer to `frame` is appended to `out`.
class EcuNode {
 public:
  void OnFrame(const CanFrame& frame, std::vector<CanFrame>& out);

 private:
  IsoTpReceiver physical_;
  IsoTpReceiver functional_;
  IsoTpSender response_;
};

}  // namespace simulator
