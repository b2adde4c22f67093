// The simulated engine ECU behind both simulated VCIs: answers diagnostic
// requests at the level of whole (reassembled) ISO 15765 payloads. Transport
// (segmentation, flow control) belongs to the channel that carries them.
// Free of Windows headers.
#pragma once

#include <cstdint>
#include <vector>

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

}  // namespace simulator
