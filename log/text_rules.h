// Text rules of the logs: hex dumps, printable copies of foreign texts, and the
// escaping of XML, HTML and CSV. Free of Windows headers (fuzzed natively).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "log/log_entry.h"

namespace monitor {

// "0A 1B 2C ...": `size` bytes in upper-case hex, `perLine` bytes to a line
// (lines joined by '\n'; 0: one line).
std::string HexDump(const std::uint8_t* bytes, std::size_t size, std::size_t perLine);
// A foreign C text (a version or error text) of at most `limit` bytes, cut at
// its first null: printable ASCII is kept, any other byte becomes "\xNN".
// Never reads past `limit` bytes.
std::string PrintableText(const char* text, std::size_t limit);
// Text for XML element content and attribute values: & < > " ' escaped;
// characters XML cannot hold (controls other than tab, LF, CR; bytes of
// invalid UTF-8) become '?'.
std::string XmlEscape(const std::string& text);
// Text for HTML: as XML; line breaks become <br>.
std::string HtmlEscape(const std::string& text);
// One CSV field by RFC 4180: quoted (with doubled quotes) when it holds a comma,
// a quote, CR or LF, or starts or ends with a blank; invalid UTF-8 becomes '?'.
std::string CsvField(const std::string& text);
// "2026-12-07 11:30:00.123456".
std::string TimeText(const WallTime& time);
// The calendar time of `fileTime` (100 ns units since 1601-01-01).
WallTime WallTimeFromFileTime(std::uint64_t fileTime);
// The same texts appended to `out`, for the writer that renders entries into
// one batch without making a text of each piece. `scratch` is working room
// (its content is replaced).
void AppendHexDump(std::string* out, const std::uint8_t* bytes, std::size_t size, std::size_t perLine);
void AppendXmlEscaped(std::string* out, std::string_view text);
void AppendHtmlEscaped(std::string* out, std::string_view text);
void AppendCsvField(std::string* out, std::string_view text, std::string* scratch);
void AppendTime(std::string* out, const WallTime& time);
// Decimal digits of `value`.
void AppendDecimal(std::string* out, std::uint64_t value);
// The text of a phase: "call", "entry", "exit", "note".
const char* PhaseText(Phase phase);

}  // namespace monitor
