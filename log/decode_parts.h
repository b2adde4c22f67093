// What the decoder's parts share (log/decode_*.cpp, log/diag_decode.cpp):
// the bounds of a decoded line and the hex and number texts. Internal to the
// decoder; free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace monitor {
namespace decode {

// Bytes of one payload shown in a decoded line at most (the log's data dump has them all).
inline constexpr std::size_t kShownBytes = 48;
// Values or identifiers of one message named at most (then "..."), and DTCs.
inline constexpr std::size_t kShownItems = 8;
inline constexpr std::size_t kShownDtcs = 32;

inline constexpr char kHexDigits[] = "0123456789ABCDEF";

inline std::string Hex2(std::uint8_t b) { return {kHexDigits[b >> 4], kHexDigits[b & 15]}; }
inline std::string Hex4(unsigned v) {
  return Hex2(static_cast<std::uint8_t>(v >> 8)) + Hex2(static_cast<std::uint8_t>(v));
}

// "01 02 03", at most kShownBytes of them, then "... (n bytes)".
void AppendBytes(std::string* out, const std::uint8_t* p, std::size_t n);
std::string Bytes(const std::uint8_t* p, std::size_t n);
// Printable ASCII text of an identification value, trailing padding (00, FF,
// blanks) removed; false when a byte inside is not printable.
bool AsText(const std::uint8_t* p, std::size_t n, std::string* out);
std::string TextOrBytes(const std::uint8_t* p, std::size_t n);
// A number with `decimals` places (trailing zeros dropped) and thousands separated: "3,200", "39.2".
std::string Scaled(double value, int decimals);

// An OBD-II request or response (modes 01-0A and 41-4A), as ServiceText gives it (log/decode_obd.cpp).
std::string ObdText(const std::uint8_t* p, std::size_t n);
// The name of an OBD-II PID ("Engine RPM"), or "PID 0C" for one without a name.
std::string PidName(std::uint8_t pid);
// A PID's value ("Engine RPM = 3,200 rpm") when the PID is known and `n` is its
// data length; false otherwise.
bool PidValueOfLength(std::uint8_t pid, const std::uint8_t* p, std::size_t n, std::string* value);

}  // namespace decode
}  // namespace monitor
