// VciCheck's reading of OBD-II and UDS answers (see answer_text.h).
#include "tools/answer_text.h"

#include <cstdio>

namespace vcicheck {
namespace {

constexpr char kUnexpected[] = "unexpected answer";

std::string Printable(const Bytes& answer, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < answer.size(); ++i)
    text.push_back(answer[i] >= 0x20 && answer[i] < 0x7F ? static_cast<char>(answer[i]) : '?');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

std::string NegativeText(const Bytes& answer) {
  if (answer.size() != 3 || answer[0] != 0x7F) return "";
  char text[40];
  std::snprintf(text, sizeof text, "negative answer, NRC 0x%02X", answer[2]);
  return text;
}

std::string SupportedPidsText(const Bytes& answer) {
  if (answer.size() < 6 || answer[0] != 0x41) return kUnexpected;
  std::string text;
  // Each record: the bitmap PID and four bytes; bit 7 of the first byte is the next PID.
  for (std::size_t at = 1; at + 5 <= answer.size(); at += 5) {
    const unsigned base = answer[at];
    if (base % 0x20 != 0) return kUnexpected;
    for (unsigned n = 0; n < 32; ++n) {
      const unsigned pid = base + n + 1;
      if (pid % 0x20 == 0) continue;  // the next bitmap, not a value
      if (answer[at + 1 + n / 8] & (0x80 >> (n % 8))) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", pid);
        text += text.empty() ? hex : std::string(" ") + hex;
      }
    }
  }
  return text.empty() ? "none" : text;
}

std::string RpmAndCoolantText(const Bytes& answer) {
  if (answer.size() != 6 || answer[0] != 0x41 || answer[1] != 0x0C || answer[4] != 0x05)
    return kUnexpected;
  const unsigned rpm = ((answer[2] << 8) | answer[3]) / 4;
  char text[48];
  std::snprintf(text, sizeof text, "%u rpm, coolant %d C", rpm, answer[5] - 40);
  return text;
}

std::string StoredDtcsText(const Bytes& answer) {
  if (answer.size() < 2 || answer[0] != 0x43 || answer.size() != 2u + 2u * answer[1]) return kUnexpected;
  static const char kSystems[] = {'P', 'C', 'B', 'U'};
  std::string text;
  for (std::size_t i = 2; i + 1 < answer.size(); i += 2) {
    char code[8];
    std::snprintf(code, sizeof code, "%c%X%X%02X", kSystems[answer[i] >> 6], (answer[i] >> 4) & 0x3,
                  answer[i] & 0x0F, answer[i + 1]);
    text += text.empty() ? code : std::string(" ") + code;
  }
  return text.empty() ? "none" : text;
}

std::string SerialNumberText(const Bytes& answer) {
  if (answer.size() < 4 || answer[0] != 0x62 || answer[1] != 0xF1 || answer[2] != 0x8C) return kUnexpected;
  return Printable(answer, 3);
}

}  // namespace vcicheck
