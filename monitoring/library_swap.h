// Installs and removes the monitor library for an implementation on Apply: the
// library is set aside at AsidePath and a copy of the monitor library takes its
// place; switching off puts the library back, also while an application has
// the copy loaded (monitoring/file_steps.h). No library is ever left missing or
// overwritten: a failed step restores the state before it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "monitoring/api_implementation.h"
#include "monitoring/file_steps.h"
#include "monitoring/monitor_choice.h"
#include "settings/registry.h"

namespace varrow {

// Receives the Win32 code of a failed file step. The dialog shows
// SystemErrorText(code) with the information icon; tests record the codes.
class FileErrorReporter {
 public:
  virtual ~FileErrorReporter() = default;
  virtual void ReportFileError(DWORD errorCode) = 0;
  // A switched-on library whose path was empty, and what its repair did. The
  // dialog shows RepairText with the information icon.
  virtual void ReportRepair(const LibraryRepair& repair) = 0;
  // Monitoring was not switched on for `library` (its registered path): no
  // monitor library fits it. The dialog shows the library and the reason.
  virtual void ReportMonitorRefused(const std::wstring& library, MonitorRefusal reason) = 0;
  // A library that the monitor copy cannot serve whole (more extra functions
  // than its pool, an unreadable file): monitoring stays off for it, and
  // `text` names the library and the reason. The dialog shows it as it is.
  virtual void ReportProblem(const std::wstring& text) { (void)text; ReportFileError(ERROR_BAD_EXE_FORMAT); }
};

// What a repair did, for the user: the library path and the outcome (with
// the system's text of a failure), at most a few hundred characters.
std::wstring RepairText(const LibraryRepair& repair);

// The operating system's text for `code` (system message table, neutral
// language, inserts ignored), at most 260 characters; empty when there is none.
std::wstring SystemErrorText(DWORD code);

// Writes MessageSize00.. for each loaded entry, then Version. Results are not examined.
void WriteMessageSizeList(const MessageSizeList& list, HKEY key);

// Writes the record's settings (when monitoring is to be on) under the per-API
// key and installs or removes the monitor library. Returns false on a failed
// file step with the thread's last error set to its code; the library then
// stays at its path or at its set-aside path, and the library path is never
// left empty where it was filled before. Switching on where the library is
// set aside but its path is empty copies the monitor library again (see
// RepairByMonitorCopy); `repair`, when given, then receives what was done.
bool ApplyMonitorState(ApiImplementation& record, HKEY perApiKey);
// The same, reporting the failing code in *errorCode (0 on success).
bool ApplyMonitorState(ApiImplementation& record, HKEY perApiKey, DWORD* errorCode);
// The same within a save of several libraries: `cleanedFolders` names the
// folders whose leftovers that save has deleted already. A switch-off deletes
// the leftovers of a folder not named there and adds it, so that each folder
// is listed once per save.
// Switching on takes the monitor of the library's machine type (ChooseMonitor);
// when none fits, nothing is moved, MonitoringEnabled becomes 0, the call
// succeeds and *refusal (when given) receives the reason. File steps reach a
// native-view library through FileSystemPath. `problem`, when given, receives
// why the monitor copy could not serve the library (the failure's code is then
// ERROR_BAD_EXE_FORMAT or the put-back's).
bool ApplyMonitorState(ApiImplementation& record, HKEY perApiKey, DWORD* errorCode,
                       std::vector<std::wstring>* cleanedFolders,
                       std::optional<LibraryRepair>* repair = nullptr,
                       MonitorRefusal* refusal = nullptr, std::wstring* problem = nullptr);

// Saves J2534 implementation `index`: opens the user's Monitoring\<apiName> key
// (with " (64-bit)" for a native-view library),
// applies the monitor state (a failed file step goes to `reporter`), then
// writes the J2534 message-size list into that key. False when the key cannot
// be opened or the index is outside the table; true otherwise.
// `listWritten`, when given, spares rewriting the same list into the same key
// during one save of several implementations: the list is written when
// *listWritten is false, which is then set to true.
bool SaveJ2534Monitoring(MonitoringState& state, const RegistryRoots& roots, const wchar_t* apiName,
                         int index, FileErrorReporter& reporter, bool* listWritten = nullptr);
// The same for PDU implementation `index` under "PDU API" with the PDU list.
bool SavePduMonitoring(MonitoringState& state, const RegistryRoots& roots, int index,
                       FileErrorReporter& reporter, bool* listWritten = nullptr);

// Apply's monitoring save of one kind: implementations 0 .. count-1 of the
// kind's table in order (those whose library was found when `foundOnly`, and
// those switched on whose library path is empty, which are repaired),
// each saved as SaveJ2534Monitoring or SavePduMonitoring with one shared
// `listWritten` saves it, in the same order of writes and file steps, but
// through one per-API key opened at the first of them and kept for the rest,
// and with the leftovers of each folder deleted at its first switch-off only.
void SaveMonitoringOfKind(MonitoringState& state, const RegistryRoots& roots, ApiKind kind,
                          int count, bool foundOnly, FileErrorReporter& reporter);

}  // namespace varrow
