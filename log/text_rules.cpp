#include "log/text_rules.h"

#include <cstdio>

namespace monitor {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t min = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) { length = 2; min = 0x80; code = lead & 0x1F; }
  else if ((lead & 0xF0) == 0xE0) { length = 3; min = 0x800; code = lead & 0x0F; }
  else if ((lead & 0xF8) == 0xF0) { length = 4; min = 0x10000; code = lead & 0x07; }
  else return 0;
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code == 0xFFFE || code == 0xFFFF) return 0;  // not XML characters
  return length;
}

// Bytes copied unchanged by MarkupEscape: printable ASCII but & < > " ', and
// tab and CR; a line feed unless it becomes <br>.
struct PlainTable {
  bool plain[2][256] = {};
  constexpr PlainTable() {
    for (int breaks = 0; breaks < 2; ++breaks) {
      for (int c = 0x20; c < 0x7F; ++c) plain[breaks][c] = true;
      for (char c : {'&', '<', '>', '"', '\''}) plain[breaks][static_cast<unsigned char>(c)] = false;
      plain[breaks][0x09] = plain[breaks][0x0D] = true;  // tab, carriage return
      plain[breaks][0x0A] = breaks == 0;                  // line feed
    }
  }
};
constexpr PlainTable kPlain;

// Escapes for XML or HTML onto `out`; `breaks` turns line feeds into <br>.
void MarkupEscape(std::string* out, std::string_view text, bool breaks) {
  const bool* plainByte = kPlain.plain[breaks ? 1 : 0];
  for (std::size_t i = 0; i < text.size();) {
    // A run of printable ASCII that needs no escape is copied at once.
    std::size_t plain = i;
    while (plain < text.size() && plainByte[static_cast<unsigned char>(text[plain])]) ++plain;
    if (plain != i) {
      out->append(text.data() + i, plain - i);
      i = plain;
      continue;
    }
    const char c = text[i];
    const std::size_t length = Utf8Length(text, i);
    if (length == 0) {
      *out += '?';
      ++i;
      continue;
    }
    if (length > 1) {
      out->append(text.data() + i, length);
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      case '\'': *out += "&#39;"; break;
      case '\n': *out += breaks ? "<br>\n" : "\n"; break;
      case '\t':
      case '\r': *out += c; break;
      default:
        *out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    }
  }
}

// CSV's cleaning: invalid UTF-8 becomes '?'; whether the field needs quotes.
bool CsvClean(std::string_view text, std::string* clean) {
  bool quote = false;
  for (std::size_t i = 0; i < text.size();) {
    // ASCII is kept as it is: copied a run at a time.
    std::size_t ascii = i;
    while (ascii < text.size() && static_cast<unsigned char>(text[ascii]) < 0x80) {
      const char c = text[ascii++];
      if (c == ',' || c == '"' || c == '\r' || c == '\n') quote = true;
    }
    if (ascii != i) {
      clean->append(text.data() + i, ascii - i);
      i = ascii;
      continue;
    }
    const std::size_t length = Utf8Length(text, i);
    if (length == 0) {
      *clean += '?';
      ++i;
      continue;
    }
    clean->append(text.data() + i, length);
    i += length;
  }
  return quote;
}

}  // namespace

void AppendHexDump(std::string* out, const std::uint8_t* bytes, std::size_t size, std::size_t perLine) {
  if (bytes == nullptr || size == 0) return;
  const std::size_t at = out->size();
  out->resize(at + size * 3 - 1);
  char* p = out->data() + at;
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0) *p++ = (perLine != 0 && i % perLine == 0) ? '\n' : ' ';
    *p++ = kHexDigits[bytes[i] >> 4];
    *p++ = kHexDigits[bytes[i] & 0x0F];
  }
}

std::string HexDump(const std::uint8_t* bytes, std::size_t size, std::size_t perLine) {
  std::string out;
  AppendHexDump(&out, bytes, size, perLine);
  return out;
}

std::string PrintableText(const char* text, std::size_t limit) {
  std::string out;
  if (text == nullptr) return out;
  for (std::size_t i = 0; i < limit && text[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    }
  }
  return out;
}

void AppendXmlEscaped(std::string* out, std::string_view text) { MarkupEscape(out, text, false); }
void AppendHtmlEscaped(std::string* out, std::string_view text) { MarkupEscape(out, text, true); }

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  MarkupEscape(&out, text, false);
  return out;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  MarkupEscape(&out, text, true);
  return out;
}

void AppendCsvField(std::string* out, std::string_view text, std::string* scratch) {
  // Mostly plain ASCII with nothing to quote: copied as it is.
  bool simple = text.empty() || (text.front() != ' ' && text.back() != ' ');
  for (std::size_t i = 0; simple && i < text.size(); ++i) {
    const char c = text[i];
    simple = static_cast<unsigned char>(c) < 0x80 && c != ',' && c != '"' && c != '\r' && c != '\n';
  }
  if (simple) {
    out->append(text);
    return;
  }
  scratch->clear();
  bool quote = CsvClean(text, scratch);
  const std::string& clean = *scratch;
  if (!clean.empty() && (clean.front() == ' ' || clean.back() == ' ')) quote = true;
  if (!quote) {
    out->append(clean);
    return;
  }
  *out += '"';
  for (std::size_t i = 0; i < clean.size();) {
    const std::size_t q = clean.find('"', i);
    const std::size_t end = q == std::string::npos ? clean.size() : q + 1;
    out->append(clean, i, end - i);
    if (q != std::string::npos) *out += '"';
    i = end;
  }
  *out += '"';
}

std::string CsvField(const std::string& text) {
  std::string out, scratch;
  AppendCsvField(&out, text, &scratch);
  return out;
}

void AppendTime(std::string* out, const WallTime& t) {
  // "YYYY-MM-DD hh:mm:ss.uuuuuu", written digit by digit (it heads every entry).
  char buffer[26];
  const auto put = [&buffer](std::size_t at, unsigned value, int digits) {
    for (int k = digits - 1; k >= 0; --k) {
      buffer[at + static_cast<std::size_t>(k)] = static_cast<char>('0' + value % 10);
      value /= 10;
    }
  };
  put(0, static_cast<unsigned>(t.year % 10000), 4);
  buffer[4] = '-';
  put(5, static_cast<unsigned>(t.month % 100), 2);
  buffer[7] = '-';
  put(8, static_cast<unsigned>(t.day % 100), 2);
  buffer[10] = ' ';
  put(11, static_cast<unsigned>(t.hour % 100), 2);
  buffer[13] = ':';
  put(14, static_cast<unsigned>(t.minute % 100), 2);
  buffer[16] = ':';
  put(17, static_cast<unsigned>(t.second % 100), 2);
  buffer[19] = '.';
  put(20, static_cast<unsigned>(t.microsecond % 1000000), 6);
  out->append(buffer, sizeof buffer);
}

std::string TimeText(const WallTime& t) {
  std::string out;
  AppendTime(&out, t);
  return out;
}

void AppendDecimal(std::string* out, std::uint64_t value) {
  char buffer[20];
  std::size_t n = 0;
  // 32-bit arithmetic where the value allows (a 64-bit division is a call on x86).
  while (value > 0xFFFFFFFFu) {
    buffer[sizeof buffer - 1 - n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  auto small = static_cast<std::uint32_t>(value);
  do {
    buffer[sizeof buffer - 1 - n++] = static_cast<char>('0' + small % 10);
    small /= 10;
  } while (small != 0);
  out->append(buffer + sizeof buffer - n, n);
}

const char* PhaseText(Phase phase) {
  switch (phase) {
    case Phase::Call: return "call";
    case Phase::Entry: return "entry";
    case Phase::Exit: return "exit";
    case Phase::Note: return "note";
  }
  return "call";
}

WallTime WallTimeFromFileTime(std::uint64_t fileTime) {
  WallTime t;
  // One 64-bit division (a call on x86); the rest in 32 bits.
  const std::uint64_t seconds = fileTime / 10000000;
  t.microsecond = static_cast<std::uint32_t>(fileTime - seconds * 10000000) / 10;
  const std::uint64_t wholeDays = seconds / 86400;
  const auto dayPart = static_cast<std::uint32_t>(seconds - wholeDays * 86400);
  t.second = static_cast<std::uint16_t>(dayPart % 60);
  t.minute = static_cast<std::uint16_t>(dayPart / 60 % 60);
  t.hour = static_cast<std::uint16_t>(dayPart / 3600);
  // Days since 1601-01-01 to a civil date (days-from-civil inverted, epoch 0000-03-01).
  // (At most 21,350,398 days after 1601 in 64 bits of 100 ns: 32 bits hold it.)
  const std::int32_t days = static_cast<std::int32_t>(wholeDays) + 584694;  // 1601-01-01 is day 584694 after 0000-03-01
  const std::int32_t era = days / 146097;
  const std::int32_t doe = days - era * 146097;
  const std::int32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int32_t mp = (5 * doy + 2) / 153;
  const std::int32_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int32_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int32_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  t.year = static_cast<std::uint16_t>(year);
  t.month = static_cast<std::uint16_t>(month);
  t.day = static_cast<std::uint16_t>(day);
  return t;
}

}  // namespace monitor
