#include "monitoring/library_swap.h"

#include <cwchar>
#include <memory>

#include "monitoring/file_steps.h"
#include "monitoring/leftover_rules.h"
#include "monitoring/monitor_choice.h"

namespace varrow {

namespace {

// Writes the settings values, in the order the monitor library expects them.
void WriteSettingsValues(const ApiImplementation& record, HKEY key) {
  // Each write is best effort: a lost value is not reported.
  (void)WriteString(key, L"OutputFile", record.OutputFile());
  (void)WriteDword(key, L"Overwrite", static_cast<DWORD>(record.Overwrite()));
  (void)WriteDword(key, L"LogEntryExit", static_cast<DWORD>(record.LogEntryExit()));
  (void)WriteDword(key, L"LogDebugView", static_cast<DWORD>(record.LogDebugView()));
  (void)WriteDword(key, L"DisableErrBufferEmpty", static_cast<DWORD>(record.DisableErrBufferEmpty()));
  (void)WriteDword(key, L"OutputFormat", static_cast<DWORD>(record.OutputFormat()));
  (void)WriteDword(key, L"MessageSize", static_cast<DWORD>(record.MessageSize()));
  if (record.StoreWithPrimaryAPI() != kStoreWithPrimaryUnset) {
    (void)WriteDword(key, L"StoreWithPrimaryAPI", static_cast<DWORD>(record.StoreWithPrimaryAPI()));
  }
  (void)WriteDword(key, L"Version", record.Version());
}

bool Fail(DWORD code, DWORD* errorCode) {
  *errorCode = code;
  SetLastError(code);
  return false;
}

// True on success; otherwise reports the step's code.
bool Done(DWORD code, DWORD* errorCode) {
  return code == ERROR_SUCCESS ? true : Fail(code, errorCode);
}

// A failed step: the copy's problem when it could not serve the library, else the code.
void Report(FileErrorReporter& reporter, DWORD code, const std::wstring& problem) {
  if (!problem.empty()) reporter.ReportProblem(problem);
  else reporter.ReportFileError(code);
}

bool SaveMonitoring(MonitoringState& state, const RegistryRoots& roots, const wchar_t* apiName,
                    ApiKind kind, int index, FileErrorReporter& reporter, bool* listWritten) {
  if (apiName == nullptr || index < 0 || index >= kMaxImplementations ||
      index >= state.Count(kind)) {
    return false;
  }
  ApiImplementation& record = state.Table(kind)[index];
  // A native-view library has its own key beside the API's.
  std::wstring keyName = apiName;
  if (record.View() == RegistryView::k64) keyName += kNativeViewKeySuffix;
  // Persistent, so that the monitoring settings survive logging off.
  RegKey perApi;
  if (perApi.Create(roots.user, ProductPath({L"Monitoring", keyName}), KEY_ALL_ACCESS,
                    REG_OPTION_NON_VOLATILE) != ERROR_SUCCESS) {
    return false;
  }
  DWORD code = 0;
  std::optional<LibraryRepair> repair;
  MonitorRefusal refusal = MonitorRefusal::kNone;
  std::wstring problem;
  if (!ApplyMonitorState(record, perApi.Get(), &code, nullptr, &repair, &refusal, &problem)) {
    Report(reporter, code, problem);
  }
  if (repair) reporter.ReportRepair(*repair);
  if (refusal != MonitorRefusal::kNone) reporter.ReportMonitorRefused(record.FunctionLibrary(), refusal);
  if (listWritten == nullptr || !*listWritten) {
    WriteMessageSizeList(state.MessageSizes(kind), perApi.Get());
    if (listWritten != nullptr) *listWritten = true;
  }
  return true;
}

// True when `folder` is not named in *folders (letter case ignored), which
// then names it; always true without a list.
bool FirstTimeIn(std::vector<std::wstring>* folders, const std::wstring& folder) {
  if (folders == nullptr) return true;
  for (const std::wstring& other : *folders) {
    if (CompareStringOrdinal(folder.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL)
      return false;
  }
  folders->push_back(folder);
  return true;
}

// A J2534 implementation switched on whose library is set aside but whose
// full library path is empty: not found, but saved all the same to repair it.
bool NeedsRepair(const ApiImplementation& record) {
  const std::wstring library = FileSystemPath(record.FunctionLibrary(), record.View());
  return record.MonitoringEnabled() != 0 && library.find(L'\\') != std::wstring::npos &&
         LibraryPathEmpty(library, AsidePath(library));
}

}  // namespace

std::wstring RepairText(const LibraryRepair& repair) {
  // The system's texts end with a line break.
  std::wstring reason = SystemErrorText(repair.code);
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' ||
                             reason.back() == L' ' || reason.back() == L'.')) {
    reason.pop_back();
  }
  std::wstring text = repair.library + L"\n";
  switch (repair.outcome) {
    case LibraryRepair::Outcome::kMonitorCopied:
      return text + L"The library was missing while monitoring was on; the monitor library has been copied there again.";
    case LibraryRepair::Outcome::kLibraryPutBack:
      if (!repair.problem.empty()) return repair.problem;
      if (repair.code == ERROR_SUCCESS) {
        return text + L"The library was missing while monitoring was on; the library has been put back.";
      }
      return text + L"The library was missing while monitoring was on, and the monitor library could not be copied there (" +
             reason + L"); the library has been put back, and monitoring is off for it.";
    case LibraryRepair::Outcome::kFailed:
      return text + L"The library is missing while monitoring is on, and it could not be repaired: " +
             reason + L".";
    case LibraryRepair::Outcome::kFilledMeanwhile:
      break;
  }
  return {};
}

std::wstring SystemErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD chars = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer),
      0, nullptr);
  // The system allocated the text; it goes back with LocalFree.
  const std::unique_ptr<wchar_t, decltype(&LocalFree)> owned(buffer, &LocalFree);
  std::wstring text;
  if (chars != 0 && buffer != nullptr) {
    // A message shown to the user: shortening a long one is harmless.
    text.assign(buffer, chars < kFieldChars ? chars : kFieldChars - 1);
  }
  return text;
}

void WriteMessageSizeList(const MessageSizeList& list, HKEY key) {
  const DWORD count = list.count < kMessageSizeSlots ? list.count : kMessageSizeSlots;
  for (DWORD i = 0; i < count; ++i) {
    wchar_t name[16];
    std::swprintf(name, 16, L"MessageSize%02u", static_cast<unsigned>(i));
    (void)WriteDword(key, name, list.sizes[i]);
  }
  (void)WriteDword(key, L"Version", list.version);
}

bool ApplyMonitorState(ApiImplementation& record, HKEY perApiKey) {
  DWORD code = 0;
  return ApplyMonitorState(record, perApiKey, &code);
}

bool ApplyMonitorState(ApiImplementation& record, HKEY perApiKey, DWORD* errorCode) {
  return ApplyMonitorState(record, perApiKey, errorCode, nullptr);
}

bool ApplyMonitorState(ApiImplementation& record, HKEY perApiKey, DWORD* errorCode,
                       std::vector<std::wstring>* cleanedFolders,
                       std::optional<LibraryRepair>* repair, MonitorRefusal* refusal,
                       std::wstring* problem) {
  *errorCode = 0;
  if (problem != nullptr) problem->clear();
  if (repair != nullptr) repair->reset();
  if (refusal != nullptr) *refusal = MonitorRefusal::kNone;
  const std::wstring& registered = record.FunctionLibrary();
  const bool switchOn = record.MonitoringEnabled() != 0;
  // Every file step goes through the path that reaches the library of the
  // record's view (System32 of the native view: Sysnative); the settings key
  // is named by the registered path.
  const std::wstring library =
      registered.empty() ? registered : FileSystemPath(registered, record.View());
  // The monitor of the machine type of the file at `file`, or a refusal:
  // monitoring then stays off for this library and nothing is moved. A file
  // that does not open (missing, held without sharing) is a failed file step
  // instead, with its code in *openError.
  const auto chooseMonitor = [&](const std::wstring& file, std::wstring* monitor,
                                 DWORD* openError) {
    const MonitorChoice choice = ChooseMonitor(record, file);
    *openError = choice.refusal == MonitorRefusal::kUnreadable ? choice.openError : 0;
    if (choice.refusal == MonitorRefusal::kNone) {
      *monitor = choice.monitor;
      return true;
    }
    if (*openError != 0) return false;
    if (refusal != nullptr) *refusal = choice.refusal;
    record.SetMonitoringEnabled(0);
    return false;
  };

  // 1. Settings for the monitor library (an empty library path would name the
  // per-API key itself).
  if (switchOn && !registered.empty()) {
    RegKey settings;
    if (settings.Create(perApiKey, SettingsKeyName(registered), kEntryWriteAccess,
                        REG_OPTION_NON_VOLATILE) == ERROR_SUCCESS) {
      WriteSettingsValues(record, settings.Get());
    }
  }

  // 2. The set-aside path; one that does not fit its field is never used.
  if (library.empty()) {
    return switchOn ? Fail(ERROR_FILE_NOT_FOUND, errorCode) : true;
  }
  const std::wstring aside = AsidePath(library);
  if (aside.empty()) {
    return switchOn ? Fail(ERROR_FILENAME_EXCED_RANGE, errorCode) : true;
  }

  if (switchOn) {
    // 3. Already installed: the file at the library path stays. Installed
    // with nothing at the library path: the monitor library is copied again
    // (or, failing that, the library put back).
    if (FileExistsAt(aside)) {
      if (FileExistsAt(library)) return true;
      // The library itself is the set-aside file: its machine type chooses.
      std::wstring monitor;
      DWORD openError = 0;
      if (!chooseMonitor(aside, &monitor, &openError)) {
        if (openError != 0) return Fail(openError, errorCode);
        // No monitor fits: the library goes back to its path, monitoring off.
        const DWORD back = PutLibraryBack(library, aside);
        if (back == ERROR_SUCCESS) {
          record.SetLibraryFound(1);
          return true;
        }
        record.SetMonitoringEnabled(1);  // still set aside
        return Fail(back, errorCode);
      }
      LibraryRepair done = RepairByMonitorCopy(monitor, library, aside);
      done.library = registered;
      if (done.outcome == LibraryRepair::Outcome::kFilledMeanwhile) return true;
      if (done.outcome == LibraryRepair::Outcome::kMonitorCopied) record.SetLibraryFound(1);
      if (done.outcome == LibraryRepair::Outcome::kLibraryPutBack) {
        record.SetLibraryFound(1);
        record.SetMonitoringEnabled(0);
      }
      if (repair != nullptr) *repair = std::move(done);
      return true;  // reported as a repair, not as a failed step
    }
    // Only with a monitor of the library's own machine type.
    std::wstring monitor;
    DWORD openError = 0;
    if (!chooseMonitor(library, &monitor, &openError)) {
      return openError != 0 ? Fail(openError, errorCode) : true;
    }
    const DWORD code = SetLibraryAside(library, aside);
    if (code != ERROR_SUCCESS) return Fail(code, errorCode);
    // Never over a file that appeared meanwhile; a failed copy puts the library back.
    return Done(InstallMonitorCopy(monitor, library, aside, problem), errorCode);
  }

  // 4. Switching off, also while an application has the monitor copy loaded:
  // nothing set aside means nothing installed.
  if (!FileExistsAt(aside)) return true;
  if (!Done(PutLibraryBack(library, aside), errorCode)) return false;
  // Copies left beside the library by earlier switch-offs go too, now that
  // their programs may have ended (the start-up clean-up skips bare names).
  const std::wstring folder = FolderOf(library);
  if (!folder.empty() && FirstTimeIn(cleanedFolders, folder)) DeleteLeftoversIn(folder);
  return true;
}

bool SaveJ2534Monitoring(MonitoringState& state, const RegistryRoots& roots, const wchar_t* apiName,
                         int index, FileErrorReporter& reporter, bool* listWritten) {
  return SaveMonitoring(state, roots, apiName, ApiKind::J2534, index, reporter, listWritten);
}

bool SavePduMonitoring(MonitoringState& state, const RegistryRoots& roots, int index,
                       FileErrorReporter& reporter, bool* listWritten) {
  return SaveMonitoring(state, roots, kPduApiName, ApiKind::PDU, index, reporter, listWritten);
}

void SaveMonitoringOfKind(MonitoringState& state, const RegistryRoots& roots, ApiKind kind,
                          int count, bool foundOnly, FileErrorReporter& reporter) {
  // One key per view ("J2534 API", "J2534 API (64-bit)"), each with the list.
  RegKey perApiOf[2];
  bool listWrittenOf[2] = {false, false};
  std::vector<std::wstring> cleanedFolders;
  for (int i = 0; i < count && i < state.Count(kind) && i < kMaxImplementations; ++i) {
    ApiImplementation& record = state.Table(kind)[i];
    if (foundOnly && record.LibraryFound() == 0 && !NeedsRepair(record)) continue;
    const int view = record.View() == RegistryView::k64 ? 1 : 0;
    RegKey& perApi = perApiOf[view];
    // Opened as each implementation's own save opens it, and tried again for
    // the next one when that fails (that implementation is then skipped).
    if (!perApi.Valid() &&
        perApi.Create(roots.user, ProductPath({L"Monitoring", MonitoringKeyName(kind, record.View())}),
                      KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE) != ERROR_SUCCESS) {
      continue;
    }
    DWORD code = 0;
    std::optional<LibraryRepair> repair;
    MonitorRefusal refusal = MonitorRefusal::kNone;
    std::wstring problem;
    if (!ApplyMonitorState(record, perApi.Get(), &code, &cleanedFolders, &repair, &refusal, &problem)) {
      Report(reporter, code, problem);
    }
    if (repair) reporter.ReportRepair(*repair);
    if (refusal != MonitorRefusal::kNone) {
      reporter.ReportMonitorRefused(record.FunctionLibrary(), refusal);
    }
    if (!listWrittenOf[view]) {
      WriteMessageSizeList(state.MessageSizes(kind), perApi.Get());
      listWrittenOf[view] = true;
    }
  }
}

}  // namespace varrow
