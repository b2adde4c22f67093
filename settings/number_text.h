// Decimal numbers in texts (the serial-number field, the position in an entry
// subkey name), free of any Windows header so that they also build and run
// natively (tests/native fuzzes them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varrow {

// A decimal number as the C library reads one: leading white space, one
// optional sign, digits up to the first other character. The magnitude is
// kept exact up to 2^32-1; anything larger only sets `overflow`, however many
// digits follow.
struct LeadingNumber {
  bool negative = false;
  bool hasDigits = false;
  bool overflow = false;
  std::uint32_t magnitude = 0;
};
// Reads at most `length` characters of `text`.
LeadingNumber ReadLeadingNumber(const wchar_t* text, std::size_t length);

// The serial-number field: no digits give 0; a value above 4294967295 or a
// negative number ("-" followed by digits) is refused (false, *value untouched).
bool ParseSerialText(const std::wstring& text, std::uint32_t* value);

// The position after an entry name's prefix ("03" of "Connection03"): false
// when it overflows, is negative or lies outside 0..entries-1.
bool EntryPositionText(const wchar_t* text, std::size_t length, std::uint32_t entries,
                       std::uint32_t* position);

}  // namespace varrow
