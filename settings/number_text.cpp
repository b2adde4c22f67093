#include "settings/number_text.h"

namespace varrow {

namespace {
bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}
}  // namespace

LeadingNumber ReadLeadingNumber(const wchar_t* text, std::size_t length) {
  LeadingNumber result;
  std::size_t i = 0;
  while (i < length && IsBlank(text[i])) ++i;
  if (i < length && (text[i] == L'+' || text[i] == L'-')) {
    result.negative = text[i] == L'-';
    ++i;
  }
  std::uint64_t value = 0;
  for (; i < length && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    result.hasDigits = true;
    if (result.overflow) continue;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - L'0');
    if (value > 0xFFFFFFFFull) result.overflow = true;
  }
  if (!result.overflow) result.magnitude = static_cast<std::uint32_t>(value);
  return result;
}

bool ParseSerialText(const std::wstring& text, std::uint32_t* value) {
  const LeadingNumber number = ReadLeadingNumber(text.c_str(), text.size());
  if (number.overflow) return false;
  if (number.negative && number.hasDigits) return false;
  *value = number.magnitude;  // 0 when there are no digits
  return true;
}

bool EntryPositionText(const wchar_t* text, std::size_t length, std::uint32_t entries,
                       std::uint32_t* position) {
  const LeadingNumber number = ReadLeadingNumber(text, length);
  if (number.overflow) return false;
  if (number.negative && number.magnitude != 0) return false;
  if (number.magnitude >= entries) return false;
  *position = number.magnitude;
  return true;
}

}  // namespace varrow
