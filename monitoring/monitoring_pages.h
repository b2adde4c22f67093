// The rules of the two monitoring pages, independent of any window: default
// log file names, the extension rule of the format buttons, the output-file
// check of Apply, the dropped-file check, the message-size box texts, and which
// controls of both pages are usable for a given selection.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "monitoring/api_implementation.h"

namespace varrow {

// Brands whose PDU log file carries their own name.
constexpr int kTorvaBrandId = 1;
constexpr int kHaldenBrandId = 2;

// DefaultJ2534LogName (the J2534 default without the format step): monitoring/path_rules.h.
// The default log file of the PDU implementation, without the format step:
// LogFileLocation + "PDU\" + "OVRA-VCI.txt", whose file name becomes
// "Torva-Link.txt" (brand 1) or "Halden-VCI.txt" (brand 2) for the vendor's own
// identifier. Only the file name changes, never the folder. Empty when the
// result would not fit.
std::wstring DefaultPduLogName(const std::wstring& logFileLocation, int brandId,
                               const std::wstring& identifier);
// The default log file shown for `record` of `kind`, with the extension of the
// record's OutputFormat when that is 1..4. Empty when it would not fit.
std::wstring DefaultOutputFile(ApiKind kind, const std::wstring& logFileLocation,
                               const ApiImplementation& record, int brandId);

// FileNameStart, FileNameExtension and ApplyFormatExtension: monitoring/format_rules.h.

// Why an output-file text was refused.
enum class OutputFileError {
  None,
  Empty,           // nothing but white space
  TooLong,         // the text or its full path does not fit 260 characters
  BadCharacters,   // wildcards, quotes, pipes, angle brackets, control characters
  NoFileName,      // ends with a folder separator, or names an existing folder
  FolderMissing,   // the folder could not be found or created (one level only)
};

// Resolves an output-file field's text for Apply: white space trimmed on both
// ends, "/" read as "\", made a full path (GetFullPathNameW, at most 259
// characters). When the file's folder does not exist, that one folder level is
// created. On success *fullPath holds the full path to store; otherwise the
// reason is returned and *fullPath is untouched.
OutputFileError ResolveOutputFile(const std::wstring& text, std::wstring* fullPath);

// True when a dropped file may become the log file of a record with format
// `code`: the path fits a field, its file name has an extension, and for codes
// 1..4 that extension is the format's (ignoring case). A folder is refused.
bool DroppedFileAccepted(const std::wstring& path, std::int32_t code);

// The items of a message-size box: `entireMessage` for entry 0, then
// "<size> <bytes>" for entries 1..count-1 (count limited to the ten slots).
std::vector<std::wstring> MessageSizeItems(const MessageSizeList& list,
                                           const std::wstring& entireMessage,
                                           const std::wstring& bytes);

// The usable state of one control; `readOnly` matters for the output-file fields.
struct ControlState {
  int id;
  bool enabled;
  bool readOnly;
};
using ControlStateTable = std::vector<ControlState>;

// The record shown by a page for tab selection `tab`: null when the selection
// is outside both the page's tab count and the table's filled part.
const ApiImplementation* SelectedRecord(const MonitoringState& state, ApiKind kind, int tab,
                                        int tabCount);
ApiImplementation* SelectedRecord(MonitoringState& state, ApiKind kind, int tab, int tabCount);

// The state of every control of both pages (tab controls excepted) for the J2534
// tab `j2534Tab` and PDU tab `pduTab` (-1: none selected):
//  - J2534 page: "Enable Monitoring" usable when the library was found; the
//    other controls when monitoring is also on, CSV and HTML never.
//  - PDU page: usable only while the selected J2534 tab is the PDU-supporting
//    implementation and its library was found. Then "Enable Monitoring" is
//    usable; with PDU monitoring on, its settings are usable unless they are
//    stored with the J2534 data of a monitored supporting implementation;
//    "Store with J2534 Data" is usable when PDU monitoring is on and the
//    supporting implementation is monitored. CSV and HTML never.
//  - A page without a selected record has every control disabled.
// An output-file field is read-only exactly when it is disabled.
ControlStateTable PageControlStates(const MonitoringState& state, int j2534Tab, int j2534TabCount,
                                    int pduTab, int pduTabCount);
// The entry of `id` in `table`, or null.
const ControlState* FindControlState(const ControlStateTable& table, int id);

// Whether Apply checks the output file of a page's selected record: only a
// record whose monitoring is to be on (for J2534: with its library found)
// writes its output file; other records keep theirs untouched.
bool OutputFileNeedsValidation(ApiKind kind, const ApiImplementation& record);

}  // namespace varrow
