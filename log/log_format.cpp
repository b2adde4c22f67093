#include "log/log_format.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "log/log_html.h"
#include "log/text_rules.h"

namespace monitor {

namespace {

std::string Number(std::uint64_t value) { return std::to_string(value); }
std::string Duration(const LogEntry& entry) {
  return entry.durationMicros < 0 ? std::string() : std::to_string(entry.durationMicros);
}

// Where the line at `at` of `text` ends: at its next line feed, or its end.
std::size_t LineEnd(const std::string& text, std::size_t at) {
  while (at < text.size() && text[at] != '\n') ++at;
  return at;
}

// A field's value with `continuation` after each of its line breaks.
void AppendValue(std::string* out, const std::string& value, const char* continuation) {
  for (std::size_t at = 0; at < value.size();) {
    const std::size_t line = LineEnd(value, at);
    if (line == value.size()) {
      out->append(value, at, std::string::npos);
      break;
    }
    out->append(value, at, line + 1 - at);
    *out += continuation;
    at = line + 1;
  }
}

// The fields as "name: value" lines, continuation lines of a value indented,
// into `out` (replaced).
void FieldLinesPlain(const LogEntry& entry, std::string* out) {
  out->clear();
  for (const Field& field : entry.fields) {
    if (!out->empty()) *out += '\n';
    *out += field.name;
    *out += kFieldSeparator;
    AppendValue(out, field.value, kFieldContinuation);
  }
}

// A literal, its length known where it is written.
template <std::size_t N>
void Put(std::string* out, const char (&text)[N]) {
  out->append(text, N - 1);
}
void PutText(std::string* out, const char* text) { out->append(text); }
void PutNumber(std::string* out, std::uint64_t value) { AppendDecimal(out, value); }
void PutDuration(std::string* out, const LogEntry& e) {
  if (e.durationMicros >= 0) AppendDecimal(out, static_cast<std::uint64_t>(e.durationMicros));
}
// An entry's time, elapsed time, process and thread, each after its own
// opening text (XML's attributes, HTML's cells).
void PutWhenAndWho(std::string* out, const LogEntry& e, const char* const (&open)[4]) {
  PutText(out, open[0]);
  AppendTime(out, e.time);
  PutText(out, open[1]);
  PutNumber(out, e.elapsedMicros);
  PutText(out, open[2]);
  PutNumber(out, e.processId);
  PutText(out, open[3]);
  PutNumber(out, e.threadId);
}

// `text` (up to its first null and at most `limit` bytes) left-aligned in
// `width` columns, or right-aligned: as printf's "%-*s" and "%*s".
void PutPadded(std::string* out, std::string_view text, std::size_t width, bool right,
               std::size_t limit = std::string::npos) {
  text = text.substr(0, std::min(limit, text.find('\0')));
  const std::size_t pad = text.size() < width ? width - text.size() : 0;
  if (right) out->append(pad, ' ');
  out->append(text);
  if (!right) out->append(pad, ' ');
}

// The classic columns, then the decoded conversation.
std::string CsvRow(const std::string (&cells)[kColumnCount], const std::string& decoded) {
  std::string row;
  for (int i = 0; i < kColumnCount; ++i) {
    if (i != 0) row += ',';
    row += CsvField(cells[i]);
  }
  row += ',';
  row += CsvField(decoded);
  return row + "\r\n";
}

std::string SessionText(const SessionInfo& s) {
  return "process " + Number(s.processId) + ", program " + s.program + ", " + s.api +
         " library " + s.library;
}

}  // namespace

LogFormat FormatFromSetting(std::int32_t setting) {
  if (setting >= 1 && setting <= 4) return static_cast<LogFormat>(setting);
  return LogFormat::Ascii;
}

std::string FileHead(LogFormat format, const std::string& title) {
  switch (format) {
    case LogFormat::Xml:
      return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<")
          .append(xml::kLog).append(" ").append(xml::kTitle).append("=\"").append(XmlEscape(title)).append("\">\n");
    case LogFormat::Csv: {
      std::string cells[kColumnCount];
      for (int i = 0; i < kColumnCount; ++i) cells[i] = kColumnNames[i];
      return CsvRow(cells, kDecodedColumnName);
    }
    case LogFormat::Html:
      return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>" +
             HtmlEscape(title) + "</title>\n<style>\n" + HtmlLogStyle() + "</style>\n<script>\n" +
             HtmlLogScript() + "</script>\n</head>\n<body>\n<h1>" + HtmlEscape(title) + "</h1>\n";
    case LogFormat::Ascii:
      return title + "\n";
  }
  return {};
}

std::string FileTail(LogFormat format) {
  switch (format) {
    case LogFormat::Xml: return std::string("</").append(xml::kLog).append(">\n");
    case LogFormat::Html: return "</body>\n</html>\n";
    default: return {};
  }
}

std::string SessionHead(LogFormat format, const SessionInfo& s) {
  switch (format) {
    case LogFormat::Xml:
    {
      std::string head = "<";
      head.append(xml::kSession).append(" start=\"").append(TimeText(s.start));
      head.append("\" ").append(xml::kProcess).append("=\"").append(Number(s.processId));
      head.append("\" program=\"").append(XmlEscape(s.program));
      head.append("\" ").append(xml::kApi).append("=\"").append(XmlEscape(s.api));
      head.append("\" library=\"").append(XmlEscape(s.library));
      return head.append(s.continued ? "\" continued=\"yes" : "").append("\">\n");
    }
    case LogFormat::Csv: {
      std::string cells[kColumnCount];
      cells[kTimeColumn] = TimeText(s.start);
      cells[kProcessColumn] = Number(s.processId);
      cells[kFunctionColumn] = s.continued ? kSessionContinuedFunction : kSessionFunction;
      cells[kPhaseColumn] = PhaseText(Phase::Note);
      cells[kArgumentsColumn].append(kSessionProgramLabel).append(s.program).append("\n");
      cells[kArgumentsColumn].append(s.api).append(kSessionLibraryLabel).append(s.library);
      return CsvRow(cells, "");
    }
    case LogFormat::Html: {
      std::string head = "<h2>Session " + HtmlEscape(TimeText(s.start)) + (s.continued ? " (continued)" : "") +
                         ": " + HtmlEscape(SessionText(s)) + "</h2>\n<table>\n<tr>";
      for (const char* name : kColumnNames) head += std::string("<th>") + name + "</th>";
      return head + "<th>" + kDecodedColumnName + "</th></tr>\n";
    }
    case LogFormat::Ascii: {
      char header[256];
      std::snprintf(header, sizeof header, "%-26s %12s %8s %8s %-28s %-5s %-26s %13s\n", "Time",
                    "Elapsed(us)", "Process", "Thread", "Function", "Phase", "Result",
                    "Duration(us)");
      return "\n=== Session " + TimeText(s.start) + (s.continued ? " (continued)" : "") + ": " +
             SessionText(s) + "\n" + header;
    }
  }
  return {};
}

std::string SessionTail(LogFormat format) {
  switch (format) {
    case LogFormat::Xml: return std::string("</").append(xml::kSession).append(">\n");
    case LogFormat::Html: return "</table>\n";
    default: return {};
  }
}

// The XML entry is written from literals (one append each); they are the
// description's names, as the compiler checks here.
constexpr bool Names(std::string_view literal, std::size_t at, std::string_view name) {
  return literal.substr(at, name.size()) == name && literal.substr(at + name.size(), 2) == "=\"";
}
static_assert(std::string_view("<entry time=\"").substr(1, xml::kEntry.size()) == xml::kEntry);
static_assert(Names("\" elapsed_us=\"", 2, xml::kElapsed) && Names("\" process=\"", 2, xml::kProcess));
static_assert(Names("\" function=\"", 2, xml::kFunction) && Names("\" phase=\"", 2, xml::kPhase));
static_assert(std::string_view("  <field name=\"").substr(3, xml::kField.size()) == xml::kField);
static_assert(Names("  <field name=\"", 9, xml::kName) && std::string_view("</field>\n").substr(2, 5) == xml::kField);
static_assert(std::string_view("  <decoded").substr(3) == xml::kDecoded);
static_assert(std::string_view("</entry>\n").substr(2, xml::kEntry.size()) == xml::kEntry);

void AppendEntry(LogFormat format, const LogEntry& e, std::string* out, std::string* scratch) {
  std::string& args = scratch[0];
  switch (format) {
    case LogFormat::Xml: {
      static const char* const kOpen[4] = {"<entry time=\"", "\" elapsed_us=\"", "\" process=\"", "\" thread=\""};
      PutWhenAndWho(out, e, kOpen);
      Put(out, "\" function=\"");
      AppendXmlEscaped(out, e.function);
      Put(out, "\" phase=\"");
      PutText(out, PhaseText(e.phase));
      *out += '"';
      if (!e.result.empty()) {
        Put(out, " result=\"");
        AppendXmlEscaped(out, e.result);
        PutText(out, e.failed ? "\" failed=\"1\"" : "\" failed=\"0\"");
      }
      if (e.durationMicros >= 0) {
        Put(out, " duration_us=\"");
        PutDuration(out, e);
        *out += '"';
      }
      Put(out, ">\n");
      for (const Field& field : e.fields) {
        Put(out, "  <field name=\"");
        AppendXmlEscaped(out, field.name);
        Put(out, "\">");
        AppendXmlEscaped(out, field.value);
        Put(out, "</field>\n");
      }
      const Conversation& c = e.conversation;
      if (!c.text.empty()) {
        Put(out, "  <decoded");
        const auto attribute = [out](const char* name, const std::string& value) {
          if (value.empty()) return;
          *out += ' ';
          PutText(out, name);
          Put(out, "=\"");
          AppendXmlEscaped(out, value);
          *out += '"';
        };
        attribute("link", e.link);
        attribute("ecu", c.ecu);
        attribute("nrc", c.nrcs);
        if (c.negative) Put(out, " negative=\"1\"");
        if (c.pending) Put(out, " pending=\"1\"");
        *out += '>';
        AppendXmlEscaped(out, c.text);
        Put(out, "</decoded>\n");
      }
      Put(out, "</entry>\n");
      return;
    }
    case LogFormat::Csv: {
      std::string& cell = scratch[1];
      std::string& clean = scratch[2];
      const auto put = [&](std::string_view text, bool comma = true) {
        AppendCsvField(out, text, &clean);
        if (comma) *out += ',';
      };
      cell.clear();
      AppendTime(&cell, e.time);
      put(cell);
      PutNumber(out, e.elapsedMicros);  // numbers need no quotes
      *out += ',';
      PutNumber(out, e.processId);
      *out += ',';
      PutNumber(out, e.threadId);
      *out += ',';
      put(e.function);
      put(PhaseText(e.phase));
      FieldLinesPlain(e, &args);
      put(args);
      put(e.result);
      PutDuration(out, e);
      *out += ',';
      put(e.conversation.text, false);
      Put(out, "\r\n");
      return;
    }
    case LogFormat::Html: {
      // The row's classes: how it stands out, and what the page's filters read.
      Put(out, "<tr");
      const char* classes[4];
      int count = 0;
      if (e.phase == Phase::Note) classes[count++] = "note";
      if (e.failed) classes[count++] = "failed";
      if (e.conversation.negative) classes[count++] = "neg";
      if (e.conversation.pending) classes[count++] = "pend";
      for (int i = 0; i < count; ++i) {
        PutText(out, i == 0 ? " class=\"" : " ");
        PutText(out, classes[i]);
      }
      if (count != 0) *out += '"';
      const auto data = [out](const char* name, const std::string& value) {
        if (value.empty()) return;
        PutText(out, name);
        AppendXmlEscaped(out, value);
        *out += '"';
      };
      data(" data-link=\"", e.link);
      data(" data-ecu=\"", e.conversation.ecu);
      data(" data-nrc=\"", e.conversation.nrcs);
      // Cells without classes (the stylesheet finds them by position): a large
      // log is a fifth smaller, and opens that much sooner.
      static const char* const kOpen[4] = {"><td>", "</td><td>", "</td><td>", "</td><td>"};
      PutWhenAndWho(out, e, kOpen);
      Put(out, "</td><td>");
      AppendHtmlEscaped(out, e.function);
      Put(out, "</td><td>");
      PutText(out, PhaseText(e.phase));
      Put(out, "</td><td>");
      // Line breaks stay as they are: the cell keeps white space (pre-wrap).
      FieldLinesPlain(e, &args);
      AppendXmlEscaped(out, args);
      Put(out, "</td><td>");
      AppendHtmlEscaped(out, e.result);
      Put(out, "</td><td>");
      PutDuration(out, e);
      Put(out, "</td><td class=\"dec\">");
      AppendXmlEscaped(out, e.conversation.text);
      Put(out, "</td></tr>\n");
      return;
    }
    case LogFormat::Ascii: {
      // The columns as printf's "%-26s %12llu %8lu %8lu %-28s %-5s %-26s %13s".
      std::string& cell = scratch[1];
      const auto number = [out, &cell](std::uint64_t value, std::size_t width) {
        cell.clear();
        PutNumber(&cell, value);
        PutPadded(out, cell, width, true);
        *out += ' ';
      };
      cell.clear();
      AppendTime(&cell, e.time);
      PutPadded(out, cell, 26, false);
      *out += ' ';
      number(e.elapsedMicros, 12);
      number(e.processId, 8);
      number(e.threadId, 8);
      PutPadded(out, e.function, 28, false, 200);
      *out += ' ';
      PutPadded(out, PhaseText(e.phase), 5, false);
      *out += ' ';
      PutPadded(out, e.result, 26, false, 200);
      *out += ' ';
      cell.clear();
      PutDuration(&cell, e);
      PutPadded(out, cell, 13, true);
      *out += '\n';
      for (const Field& field : e.fields) {
        Put(out, "    ");
        *out += field.name;
        Put(out, ": ");
        AppendValue(out, field.value, "      ");
        *out += '\n';
      }
      // The decoded conversation: one indented line per message, marked ">>".
      const std::string& decoded = e.conversation.text;
      for (std::size_t at = 0; at < decoded.size();) {
        const std::size_t end = LineEnd(decoded, at);
        Put(out, "    >> ");
        out->append(decoded, at, end - at);
        *out += '\n';
        at = end + 1;
      }
      return;
    }
  }
}

std::string RenderEntry(LogFormat format, const LogEntry& e) {
  std::string out, scratch[kRenderScratch];
  AppendEntry(format, e, &out, scratch);
  return out;
}

std::string DebugLine(const std::string& api, const LogEntry& e) {
  std::string line = "[" + api + " monitor] " + TimeText(e.time) + " pid " + Number(e.processId) +
                     " tid " + Number(e.threadId) + " " + e.function + " " + PhaseText(e.phase);
  for (const Field& field : e.fields) {
    line += "; " + field.name + "=";
    for (char c : field.value) line += (c == '\n' || c == '\r') ? ' ' : c;
  }
  if (!e.result.empty()) line += " -> " + e.result;
  if (e.durationMicros >= 0) line += " (" + Duration(e) + " us)";
  return line + "\n";
}

BatchFrame FrameBatch(LogFormat format, const FileEnd& end, const SessionInfo& session,
                      const std::string& title) {
  const std::string fileTail = FileTail(format);
  BatchFrame frame;
  frame.tail = SessionTail(format) + fileTail;
  if (end.size == 0) {
    frame.offset = 0;
    frame.head = FileHead(format, title) + SessionHead(format, session);
  } else if (end.endsWithOwnSession && end.size >= frame.tail.size()) {
    frame.offset = end.size - frame.tail.size();
  } else if (end.endsWithFileTail && end.size >= fileTail.size()) {
    frame.offset = end.size - fileTail.size();
    frame.head = SessionHead(format, session);
  } else {
    frame.offset = end.size;
    frame.head = SessionHead(format, session);
  }
  return frame;
}

BatchPlan PlanBatch(LogFormat format, const FileEnd& end, const SessionInfo& session,
                    const std::string& title, const std::string& entries) {
  BatchFrame frame = FrameBatch(format, end, session, title);
  BatchPlan plan;
  plan.offset = frame.offset;
  plan.bytes = std::move(frame.head);
  plan.bytes += entries;
  plan.bytes += frame.tail;
  return plan;
}

}  // namespace monitor
