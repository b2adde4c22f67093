// The packing rules of the version resource's texts, free of any Windows
// header so that they also build and run natively (tests/native fuzzes them).
#pragma once

#include <cstdint>
#include <string>

namespace varrow {

// Packs the version one byte per component (separators blank, tab, line feed,
// "." and ","; a component starting with a-f gives 10-15, any other non-digit
// 0); the last four components survive. False for an empty text or one longer
// than 127 characters.
bool PackVersionNumber(const std::string& text, std::uint32_t* packed);
// Packs "yyyymmmdd" (month "jan".."dec", case-sensitive) as
// ((year - 1970) mod 256) << 24 | month << 16 | day << 8; 27071500 when the text
// is shorter than nine characters.
std::uint32_t PackCompileDate(const std::string& text);

}  // namespace varrow
