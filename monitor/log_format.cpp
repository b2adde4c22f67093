#include "monitor/log_format.h"

#include <cstdio>

#include "monitor/log_html.h"
#include "monitor/text_rules.h"

namespace monitor {

const char* const kColumnNames[kColumnCount] = {
    "Time", "Elapsed (us)", "Process", "Thread", "Function",
    "Phase", "Arguments", "Result", "Duration (us)"};
const char* const kDecodedColumnName = "Decoded";

namespace {

std::string Number(std::uint64_t value) { return std::to_string(value); }
std::string Duration(const LogEntry& entry) {
  return entry.durationMicros < 0 ? std::string() : std::to_string(entry.durationMicros);
}

// The fields as "name: value" lines; continuation lines of a value indented.
std::string FieldLines(const LogEntry& entry, const char* indent, const char* continuation) {
  std::string out;
  for (const Field& field : entry.fields) {
    out += indent;
    out += field.name;
    out += ": ";
    for (char c : field.value) {
      out += c;
      if (c == '\n') out += continuation;
    }
    out += '\n';
  }
  return out;
}

std::string FieldLinesPlain(const LogEntry& entry) {
  std::string text = FieldLines(entry, "", "  ");
  if (!text.empty()) text.pop_back();
  return text;
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

// The HTML row's classes: how it stands out, and what the page's filters read.
std::string HtmlRowStart(const LogEntry& e) {
  std::string classes;
  if (e.phase == Phase::Note) classes += " note";
  if (e.failed) classes += " failed";
  if (e.conversation.negative) classes += " neg";
  if (e.conversation.pending) classes += " pend";
  std::string row = "<tr";
  if (!classes.empty()) row += " class=\"" + classes.substr(1) + "\"";
  if (!e.link.empty()) row += " data-link=\"" + XmlEscape(e.link) + "\"";
  if (!e.conversation.ecu.empty()) row += " data-ecu=\"" + XmlEscape(e.conversation.ecu) + "\"";
  if (!e.conversation.nrcs.empty()) row += " data-nrc=\"" + XmlEscape(e.conversation.nrcs) + "\"";
  return row + ">";
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
      return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<log title=\"" + XmlEscape(title) +
             "\">\n";
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
    case LogFormat::Xml: return "</log>\n";
    case LogFormat::Html: return "</body>\n</html>\n";
    default: return {};
  }
}

std::string SessionHead(LogFormat format, const SessionInfo& s) {
  switch (format) {
    case LogFormat::Xml:
      return "<session start=\"" + TimeText(s.start) + "\" process=\"" + Number(s.processId) +
             "\" program=\"" + XmlEscape(s.program) + "\" api=\"" + XmlEscape(s.api) +
             "\" library=\"" + XmlEscape(s.library) + (s.continued ? "\" continued=\"yes" : "") + "\">\n";
    case LogFormat::Csv: {
      std::string cells[kColumnCount];
      cells[0] = TimeText(s.start);
      cells[2] = Number(s.processId);
      cells[4] = s.continued ? "(session continued)" : "(session)";
      cells[5] = PhaseText(Phase::Note);
      cells[6] = "program: " + s.program + "\n" + s.api + " library: " + s.library;
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
    case LogFormat::Xml: return "</session>\n";
    case LogFormat::Html: return "</table>\n";
    default: return {};
  }
}

std::string RenderEntry(LogFormat format, const LogEntry& e) {
  switch (format) {
    case LogFormat::Xml: {
      std::string out = "<entry time=\"" + TimeText(e.time) + "\" elapsed_us=\"" +
                        Number(e.elapsedMicros) + "\" process=\"" + Number(e.processId) +
                        "\" thread=\"" + Number(e.threadId) + "\" function=\"" +
                        XmlEscape(e.function) + "\" phase=\"" + PhaseText(e.phase) + "\"";
      if (!e.result.empty()) {
        out += " result=\"" + XmlEscape(e.result) + "\" failed=\"" + (e.failed ? "1" : "0") + "\"";
      }
      if (e.durationMicros >= 0) out += " duration_us=\"" + Duration(e) + "\"";
      out += ">\n";
      for (const Field& field : e.fields) {
        out += "  <field name=\"" + XmlEscape(field.name) + "\">" + XmlEscape(field.value) +
               "</field>\n";
      }
      const Conversation& c = e.conversation;
      if (!c.text.empty()) {
        out += "  <decoded";
        if (!e.link.empty()) out += " link=\"" + XmlEscape(e.link) + "\"";
        if (!c.ecu.empty()) out += " ecu=\"" + XmlEscape(c.ecu) + "\"";
        if (!c.nrcs.empty()) out += " nrc=\"" + XmlEscape(c.nrcs) + "\"";
        if (c.negative) out += " negative=\"1\"";
        if (c.pending) out += " pending=\"1\"";
        out += ">" + XmlEscape(c.text) + "</decoded>\n";
      }
      return out + "</entry>\n";
    }
    case LogFormat::Csv: {
      const std::string cells[kColumnCount] = {
          TimeText(e.time), Number(e.elapsedMicros), Number(e.processId), Number(e.threadId),
          e.function,       PhaseText(e.phase),      FieldLinesPlain(e),  e.result,
          Duration(e)};
      return CsvRow(cells, e.conversation.text);
    }
    case LogFormat::Html: {
      std::string row = HtmlRowStart(e);
      // Cells without classes (the stylesheet finds them by position): a large
      // log is a fifth smaller, and opens that much sooner.
      row += "<td>" + TimeText(e.time) + "</td><td>" + Number(e.elapsedMicros) + "</td><td>" +
             Number(e.processId) + "</td><td>" + Number(e.threadId) + "</td><td>" + HtmlEscape(e.function) +
             "</td><td>" + PhaseText(e.phase) + "</td><td>";
      std::string args = FieldLinesPlain(e);
      // Line breaks stay as they are: the cell keeps white space (pre-wrap).
      row += XmlEscape(args);
      row += "</td><td>" + HtmlEscape(e.result) + "</td><td>" +
             Duration(e) + "</td><td class=\"dec\">" + XmlEscape(e.conversation.text) + "</td></tr>\n";
      return row;
    }
    case LogFormat::Ascii: {
      char line[512];
      std::snprintf(line, sizeof line, "%-26s %12llu %8lu %8lu %-28s %-5s %-26s %13s\n",
                    TimeText(e.time).c_str(), static_cast<unsigned long long>(e.elapsedMicros),
                    static_cast<unsigned long>(e.processId), static_cast<unsigned long>(e.threadId),
                    e.function.substr(0, 200).c_str(), PhaseText(e.phase),
                    e.result.substr(0, 200).c_str(), Duration(e).c_str());
      std::string out = line + FieldLines(e, "    ", "      ");
      // The decoded conversation: one indented line per message, marked ">>".
      const std::string& decoded = e.conversation.text;
      for (std::size_t at = 0; at < decoded.size();) {
        std::size_t end = decoded.find('\n', at);
        if (end == std::string::npos) end = decoded.size();
        out += "    >> " + decoded.substr(at, end - at) + "\n";
        at = end + 1;
      }
      return out;
    }
  }
  return {};
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

BatchPlan PlanBatch(LogFormat format, const FileEnd& end, const SessionInfo& session,
                    const std::string& title, const std::string& entries) {
  const std::string sessionTail = SessionTail(format);
  const std::string fileTail = FileTail(format);
  const std::string closing = sessionTail + fileTail;
  BatchPlan plan;
  if (end.size == 0) {
    plan.offset = 0;
    plan.bytes = FileHead(format, title) + SessionHead(format, session);
  } else if (end.endsWithOwnSession && end.size >= closing.size()) {
    plan.offset = end.size - closing.size();
  } else if (end.endsWithFileTail && end.size >= fileTail.size()) {
    plan.offset = end.size - fileTail.size();
    plan.bytes = SessionHead(format, session);
  } else {
    plan.offset = end.size;
    plan.bytes = SessionHead(format, session);
  }
  plan.bytes += entries;
  plan.bytes += closing;
  return plan;
}

}  // namespace monitor
