// The diagnostic decoder's shared texts. The decoder itself is in three parts:
// OBD-II (log/decode_obd.cpp), UDS and KWP2000 services with the negative
// response codes (log/decode_uds.cpp), and the ISO 15765-2 frames with the
// conversation across them (log/decode_isotp.cpp).
#include "log/diag_decode.h"

#include <algorithm>
#include <cstdio>

#include "log/decode_parts.h"

namespace monitor {
namespace decode {

void AppendBytes(std::string* out, const std::uint8_t* p, std::size_t n) {
  const std::size_t shown = std::min(n, kShownBytes);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i != 0) *out += ' ';
    *out += kHexDigits[p[i] >> 4];
    *out += kHexDigits[p[i] & 15];
  }
  if (shown < n) {
    *out += " ... (";
    *out += std::to_string(n);
    *out += " bytes)";
  }
}

std::string Bytes(const std::uint8_t* p, std::size_t n) {
  std::string out;
  AppendBytes(&out, p, n);
  return out;
}

bool AsText(const std::uint8_t* p, std::size_t n, std::string* out) {
  while (n > 0 && (p[n - 1] == 0x00 || p[n - 1] == 0xFF || p[n - 1] == ' ')) --n;
  if (n == 0) return false;
  std::string text;
  for (std::size_t i = 0; i < n && i < kShownBytes * 2; ++i) {
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
    text += static_cast<char>(p[i]);
  }
  *out = "\"" + text + "\"";
  return true;
}

std::string TextOrBytes(const std::uint8_t* p, std::size_t n) {
  std::string text;
  return AsText(p, n, &text) ? text : Bytes(p, n);
}

std::string Scaled(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  std::string text = buffer;
  std::size_t point = text.find('.');
  if (point != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  point = text.find('.');
  const std::size_t integerEnd = point == std::string::npos ? text.size() : point;
  const std::size_t digitsStart = (!text.empty() && text[0] == '-') ? 1 : 0;
  std::string grouped;
  for (std::size_t i = digitsStart; i < integerEnd; ++i) {
    if (i != digitsStart && (integerEnd - i) % 3 == 0) grouped += ',';
    grouped += text[i];
  }
  if (text == "-0") return "0";
  return text.substr(0, digitsStart) + grouped + text.substr(integerEnd);
}

}  // namespace decode
}  // namespace monitor
