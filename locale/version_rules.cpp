#include "locale/version_rules.h"

#include <cctype>
#include <cstdlib>

namespace varrow {

namespace {
constexpr std::uint32_t kUnreadableCompileDate = 27071500;  // bytes 01 9D 14 0C
}  // namespace

bool PackVersionNumber(const std::string& text, std::uint32_t* packed) {
  if (text.empty() || text.size() > 127) return false;
  std::uint32_t result = 0;
  std::size_t i = 0;
  auto separator = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '.' || c == ','; };
  while (i < text.size()) {
    while (i < text.size() && separator(text[i])) ++i;
    if (i >= text.size()) break;
    const std::size_t start = i;
    while (i < text.size() && !separator(text[i])) ++i;
    const std::string token = text.substr(start, i - start);
    result <<= 8;
    const unsigned char first = static_cast<unsigned char>(token[0]);
    if (std::isdigit(first)) {
      result |= static_cast<std::uint32_t>(std::strtoul(token.c_str(), nullptr, 10)) & 0xFF;
    } else {
      const int lower = std::tolower(first);
      if (lower >= 'a' && lower <= 'f') result |= static_cast<std::uint32_t>(lower - 'a' + 10);
    }
  }
  *packed = result;
  return true;
}

std::uint32_t PackCompileDate(const std::string& text) {
  if (text.size() < 9) return kUnreadableCompileDate;
  const int year = std::atoi(text.substr(0, 4).c_str());
  const std::string month = text.substr(4, 3);
  const int day = std::atoi(text.substr(7, 2).c_str());
  static const char* const kMonths[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
  std::uint32_t monthNumber = 0;
  for (std::uint32_t m = 0; m < 12; ++m) {
    if (month == kMonths[m]) monthNumber = m + 1;
  }
  const std::uint32_t years = static_cast<std::uint32_t>(year - 1970) & 0xFF;
  return years << 24 | monthNumber << 16 | (static_cast<std::uint32_t>(day) & 0xFF) << 8;
}

}  // namespace varrow
