// VciCheck's reading of the vehicle's answers: OBD-II (SAE J1979) and UDS
// payloads as short text. Free of Windows headers; every function checks the
// answer's service and length and says "unexpected answer" otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vcicheck {

using Bytes = std::vector<std::uint8_t>;

// 41 00 [20 40 ...]: the supported mode 01 PIDs in hex ("01 04 05 ...").
std::string SupportedPidsText(const Bytes& answer);
// 41 0C a b 05 c: "812 rpm, coolant 45 C".
std::string RpmAndCoolantText(const Bytes& answer);
// 43 n (hi lo)*n: the DTCs as "P0301 P0420", "none" when there are none.
std::string StoredDtcsText(const Bytes& answer);
// 62 F1 8C text: the ECU's serial number.
std::string SerialNumberText(const Bytes& answer);
// A negative answer (7F sid code) as "negative answer, NRC 0x31"; empty otherwise.
std::string NegativeText(const Bytes& answer);

}  // namespace vcicheck
