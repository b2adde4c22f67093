// Reads a monitor log's sessions and calls (see scenario_log.h).
#include "simulator/scenario/scenario_log.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "log/log_formats.h"

namespace simulator {
namespace logread {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// --- XML -------------------------------------------------------------------

// `needle` in [from, end) of `text` (npos when it is not there): searches
// stay within one tag or entry, so that a hostile log cannot make them
// rescan the rest of the file.
std::size_t FindIn(const std::string& text, const char* needle, std::size_t from, std::size_t end) {
  const std::size_t n = std::strlen(needle);
  end = std::min(end, text.size());
  if (from >= end || end - from < n) return std::string::npos;
  const auto last = text.begin() + static_cast<std::ptrdiff_t>(end);
  const auto at = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), last, needle, needle + n);
  return at == last ? std::string::npos : static_cast<std::size_t>(at - text.begin());
}


void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x110000) {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string XmlText(const std::string& text, std::size_t begin, std::size_t end) {
  std::string out;
  out.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const std::size_t semi = FindIn(text, ";", i, std::min(end, i + 12));
    if (semi == std::string::npos) {
      out += '&';
      continue;
    }
    const std::string name = text.substr(i + 1, semi - i - 1);
    if (name == "lt") out += '<';
    else if (name == "gt") out += '>';
    else if (name == "amp") out += '&';
    else if (name == "quot") out += '"';
    else if (name == "apos") out += '\'';
    else if (name.size() > 1 && name[0] == '#') {
      std::uint32_t cp = 0;
      bool ok = true;
      if (name[1] == 'x' || name[1] == 'X') {
        for (std::size_t k = 2; k < name.size() && ok; ++k) {
          const int d = HexDigit(name[k]);
          ok = d >= 0 && cp < 0x110000;
          cp = cp * 16 + static_cast<std::uint32_t>(d < 0 ? 0 : d);
        }
      } else {
        for (std::size_t k = 1; k < name.size() && ok; ++k) {
          ok = name[k] >= '0' && name[k] <= '9' && cp < 0x110000;
          cp = cp * 10 + static_cast<std::uint32_t>(name[k] - '0');
        }
      }
      if (ok) AppendUtf8(out, cp);
    } else {
      out += text.substr(i, semi - i + 1);
    }
    i = semi;
  }
  return out;
}

// The value of attribute `name` in the tag text [begin, end) ("" when absent).
std::string Attribute(const std::string& text, std::size_t begin, std::size_t end, std::string_view name) {
  std::string key = " ";
  key.append(name).append("=\"");
  const std::size_t at = FindIn(text, key.c_str(), begin, end);
  if (at == std::string::npos) return {};
  const std::size_t open = at + key.size();
  const std::size_t close = FindIn(text, "\"", open, end);
  return close == std::string::npos ? std::string() : XmlText(text, open, close);
}

// `open` + `name` + `after`: a tag of the description's elements.
std::string Tag(const char* open, std::string_view name, const char* after) {
  std::string tag = open;
  return tag.append(name).append(after);
}

// --- CSV -------------------------------------------------------------------

// One CSV record from `at` (quoted cells may hold line breaks); false at the
// end of the text, `cut` set when the record ends inside a quoted cell.
bool CsvRecord(const std::string& text, std::size_t* at, std::vector<std::string>* cells, bool* cut) {
  cells->clear();
  std::size_t i = *at;
  if (i >= text.size()) return false;
  std::string cell;
  bool quoted = false, any = false;
  while (i < text.size()) {
    const char c = text[i];
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          cell += '"';
          i += 2;
          continue;
        }
        quoted = false;
      } else {
        cell += c;
      }
      ++i;
      continue;
    }
    if (c == '"') {
      quoted = true;
      any = true;
    } else if (c == ',') {
      cells->push_back(std::move(cell));
      cell.clear();
    } else if (c == '\r' || c == '\n') {
      ++i;
      if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
      break;
    } else {
      cell += c;
      any = true;
    }
    ++i;
  }
  if (quoted) *cut = true;
  cells->push_back(std::move(cell));
  (void)any;
  *at = i;
  return true;
}

// "name: value" lines, continuation lines indented by two spaces.
void CsvFields(const std::string& arguments, Entry* entry) {
  std::size_t i = 0;
  while (i < arguments.size() && entry->fields.size() < kMaxFieldsPerEntry) {
    std::size_t end = arguments.find('\n', i);
    if (end == std::string::npos) end = arguments.size();
    const std::string line = arguments.substr(i, end - i);
    if (StartsWith(line, 0, monitor::kFieldContinuation) && !entry->fields.empty()) {
      entry->fields.back().second.append("\n").append(line, std::strlen(monitor::kFieldContinuation), std::string::npos);
    } else {
      const std::size_t colon = line.find(monitor::kFieldSeparator);
      if (colon != std::string::npos) entry->fields.push_back({line.substr(0, colon), line.substr(colon + std::strlen(monitor::kFieldSeparator))});
    }
    i = end + 1;
  }
}

}  // namespace

bool StartsWith(const std::string& text, std::size_t at, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return text.size() >= at && text.size() - at >= n && text.compare(at, n, prefix) == 0;
}

bool Number(const std::string& text, std::size_t at, std::uint64_t* value, std::size_t* end) {
  std::uint64_t v = 0;
  std::size_t i = at;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<std::uint64_t>(text[i] - '0');
    ++i;
  }
  if (i == at) return false;
  *value = v;
  if (end != nullptr) *end = i;
  return true;
}

bool NumberAfter(const std::string& text, const char* label, std::uint64_t* value) {
  const std::size_t at = text.find(label);
  return at != std::string::npos && Number(text, at + std::strlen(label), value);
}

bool HexNumber(const std::string& text, std::size_t at, std::uint32_t* value) {
  if (!StartsWith(text, at, "0x")) return false;
  std::uint64_t v = 0;
  std::size_t i = at + 2;
  for (; i < text.size() && HexDigit(text[i]) >= 0 && i < at + 10; ++i) v = v * 16 + HexDigit(text[i]);
  if (i == at + 2) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

Bytes HexBytes(const std::string& text, std::size_t at, std::size_t limit) {
  Bytes out;
  std::size_t i = at;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r')) ++i;
    if (i + 1 >= text.size()) break;
    const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    const bool ends = i + 2 >= text.size() || text[i + 2] == ' ' || text[i + 2] == '\n' || text[i + 2] == '\r';
    if (hi < 0 || lo < 0 || !ends || out.size() >= limit) break;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

bool ReadLog(const std::string& text, EntrySink& builder, std::string* error) {
  namespace xml = monitor::xml;
  const std::string logOpen = Tag("<", xml::kLog, " "), logBare = Tag("<", xml::kLog, ">"),
                    logClose = Tag("</", xml::kLog, ">"), sessionOpen = Tag("<", xml::kSession, " "),
                    sessionClose = Tag("</", xml::kSession, ">"), entryOpen = Tag("<", xml::kEntry, " "),
                    entryClose = Tag("</", xml::kEntry, ">"), fieldOpen = Tag("<", xml::kField, " "),
                    fieldClose = Tag("</", xml::kField, ">");
  std::size_t start = 0;
  if (StartsWith(text, 0, "\xEF\xBB\xBF")) start = 3;
  bool cut = false;
  if (StartsWith(text, start, "<?xml") || StartsWith(text, start, Tag("<", xml::kLog, "").c_str())) {
    bool head = false, closed = false;
    std::size_t i = start;
    while ((i = text.find('<', i)) != std::string::npos) {
      const std::size_t close = text.find('>', i);
      if (close == std::string::npos) {
        cut = true;
        break;
      }
      if (StartsWith(text, i, logOpen.c_str()) || StartsWith(text, i, logBare.c_str())) {
        head = true;
      } else if (StartsWith(text, i, logClose.c_str())) {
        closed = true;
      } else if (StartsWith(text, i, sessionOpen.c_str())) {
        builder.SessionApi(Attribute(text, i, close, xml::kApi));
      } else if (StartsWith(text, i, sessionClose.c_str())) {
        builder.SessionApi("");
      } else if (StartsWith(text, i, entryOpen.c_str())) {
        const std::size_t end = text.find(entryClose, close);
        if (end == std::string::npos) {
          cut = true;
          break;
        }
        Entry e;
        e.function = Attribute(text, i, close, xml::kFunction);
        e.phase = Attribute(text, i, close, xml::kPhase);
        std::uint64_t v = 0;
        if (Number(Attribute(text, i, close, xml::kProcess), 0, &v)) e.process = static_cast<std::uint32_t>(v);
        if (Number(Attribute(text, i, close, xml::kElapsed), 0, &v)) e.elapsedUs = v;
        std::size_t f = close;
        while ((f = FindIn(text, fieldOpen.c_str(), f, end)) != std::string::npos && e.fields.size() < kMaxFieldsPerEntry) {
          const std::size_t tagEnd = FindIn(text, ">", f, end);
          const std::size_t valueEnd = FindIn(text, fieldClose.c_str(), f, end);
          if (tagEnd == std::string::npos || valueEnd == std::string::npos || tagEnd > valueEnd) break;
          e.fields.push_back({Attribute(text, f, tagEnd, xml::kName), XmlText(text, tagEnd + 1, valueEnd)});
          f = valueEnd;
        }
        builder.Add(e);
        i = end + entryClose.size();
        continue;
      }
      i = close + 1;
    }
    if (!head) {
      *error = "not a monitor log";
      return false;
    }
    if (cut || !closed) {
      *error = "the log is cut short (truncated)";
      return false;
    }
  } else if (StartsWith(text, start, std::string(monitor::kCsvHeadStart).c_str())) {
    std::size_t at = start;
    std::vector<std::string> cells;
    CsvRecord(text, &at, &cells, &cut);  // the head
    while (!cut && CsvRecord(text, &at, &cells, &cut)) {
      if (cut) break;
      if (cells.size() == 1 && cells[0].empty()) continue;  // an empty line
      if (cells.size() < static_cast<std::size_t>(monitor::kColumnCount)) {
        if (at >= text.size()) cut = true;  // the last line, cut
        continue;
      }
      if (cells[monitor::kFunctionColumn] == monitor::kSessionFunction) {
        const std::string& args = cells[monitor::kArgumentsColumn];
        const std::size_t line = args.find('\n');
        const std::string second = line == std::string::npos ? std::string() : args.substr(line + 1);
        const std::size_t space = second.find(monitor::kSessionLibraryLabel);
        builder.SessionApi(space == std::string::npos ? std::string() : second.substr(0, space));
        continue;
      }
      Entry e;
      e.function = cells[monitor::kFunctionColumn];
      e.phase = cells[monitor::kPhaseColumn];
      std::uint64_t v = 0;
      if (Number(cells[monitor::kProcessColumn], 0, &v)) e.process = static_cast<std::uint32_t>(v);
      if (Number(cells[monitor::kElapsedColumn], 0, &v)) e.elapsedUs = v;
      CsvFields(cells[monitor::kArgumentsColumn], &e);
      builder.Add(e);
    }
    if (cut) {
      *error = "the log is cut short (truncated)";
      return false;
    }
  } else {
    *error = "not an XML or CSV monitor log";
    return false;
  }
  return true;
}

}  // namespace logread
}  // namespace simulator
