// The one description of the log formats: the columns, the rows and the
// elements that the renderers (log/log_format.cpp) write and the replay
// reader (simulator/scenario/) reads back. A name changed here changes both.
// Header only and free of Windows headers: the reader's programs link no
// part of the log library for it.
#pragma once

#include <cstddef>
#include <string_view>

namespace monitor {

// The columns of CSV and HTML, in order (ASCII shows a subset of them).
enum Column : int {
  kTimeColumn,
  kElapsedColumn,
  kProcessColumn,
  kThreadColumn,
  kFunctionColumn,
  kPhaseColumn,
  kArgumentsColumn,
  kResultColumn,
  kDurationColumn,
};
inline constexpr int kColumnCount = 9;
inline constexpr const char* kColumnNames[kColumnCount] = {
    "Time", "Elapsed (us)", "Process", "Thread", "Function",
    "Phase", "Arguments", "Result", "Duration (us)"};
// The decoded conversation comes after them: CSV's last column, HTML's too.
inline constexpr int kCsvColumnCount = kColumnCount + 1;
inline constexpr const char* kDecodedColumnName = "Decoded";
// How a CSV log begins: the column names above, joined by commas (then the
// decoded column's).
inline constexpr std::string_view kCsvHeadStart =
    "Time,Elapsed (us),Process,Thread,Function,Phase,Arguments,Result,Duration (us)";

// Whether kCsvHeadStart is the column names joined by commas.
constexpr bool CsvHeadIsColumns() {
  std::size_t at = 0;
  for (int i = 0; i < kColumnCount; ++i) {
    if (i != 0 && (at >= kCsvHeadStart.size() || kCsvHeadStart[at++] != ',')) return false;
    for (const char* c = kColumnNames[i]; *c != '\0'; ++c) {
      if (at >= kCsvHeadStart.size() || kCsvHeadStart[at++] != *c) return false;
    }
  }
  return at == kCsvHeadStart.size();
}
static_assert(CsvHeadIsColumns(), "the CSV head is the column names");

// The session row of CSV: its Function cell, and its Arguments cell of two
// lines, "program: <program>" and "<api> library: <library>".
inline constexpr const char* kSessionFunction = "(session)";
inline constexpr const char* kSessionContinuedFunction = "(session continued)";
inline constexpr const char* kSessionProgramLabel = "program: ";
inline constexpr const char* kSessionLibraryLabel = " library: ";
// A call's fields in the Arguments of CSV (and ASCII's lines): "name: value",
// the continuation lines of a value indented by two spaces.
inline constexpr const char* kFieldSeparator = ": ";
inline constexpr const char* kFieldContinuation = "  ";
// The Function of the monitor's own notes.
inline constexpr const char* kNoteFunction = "(monitor)";
// The note at a session's end of a monitor copy that forwards the original's
// other functions: one line per function ("VendorScan: 3 calls", "#7: 1 call"
// for one exported by ordinal only), and the data exports left out.
inline constexpr const char* kForwardedNoteName = "Forwarded";
inline constexpr const char* kLeftOutNoteName = "Not forwarded (data)";

// The APIs a session names (WriterOptions::api).
inline constexpr std::string_view kJ2534Api = "J2534";
inline constexpr std::string_view kPduApi = "PDU";

// XML: <log title> holds <session start process program api library
// [continued]> blocks of <entry time elapsed_us process thread function phase
// [result failed] [duration_us]>, each with <field name>value</field> lines
// and an optional <decoded link ecu nrc [negative] [pending]>.
namespace xml {
inline constexpr std::string_view kLog = "log";
inline constexpr std::string_view kSession = "session";
inline constexpr std::string_view kEntry = "entry";
inline constexpr std::string_view kField = "field";
inline constexpr std::string_view kDecoded = "decoded";
inline constexpr std::string_view kTitle = "title";
inline constexpr std::string_view kApi = "api";
inline constexpr std::string_view kFunction = "function";
inline constexpr std::string_view kPhase = "phase";
inline constexpr std::string_view kProcess = "process";
inline constexpr std::string_view kElapsed = "elapsed_us";
inline constexpr std::string_view kName = "name";
}  // namespace xml

}  // namespace monitor
