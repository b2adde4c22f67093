#include "monitor/pdu/pdu_state.h"

#include <string>

#include "log/log_format.h"
#include "hosted/module_release.h"
#include "monitor/split_heap.h"
#include "monitor/pdu/pdu_callbacks.h"
#include "log/text_rules.h"
#include "monitor/win_text.h"

namespace monitor {

using namespace pdu;

namespace {

HMODULE g_self = nullptr;
PduMonitorState* g_monitor = nullptr;



// A queued record, rendered by the writer thread.
class PduEntrySource : public EntrySource {
 public:
  explicit PduEntrySource(PduRecord record) : record_(std::move(record)) {}
  std::size_t Bytes() const override { return PduRecordBytes(record_); }
  void Build(LogEntry* entry) const override { *entry = BuildPduEntry(record_); }

 private:
  PduRecord record_;
};

// Logs an event callback before the application's callback runs (on the library's thread).
void ObserveEvent(T_PDU_EVT_DATA eventType, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag,
                  CALLBACKFNC application) {
  try {
    if (g_monitor == nullptr) return;
    PduMonitorState& m = *g_monitor;
    PduRecord record;
    m.Stamp(record, PduFunction::EventCallback, Phase::Call);
    record.Add("EventType", NameOr(EventDataName(eventType), eventType));
    record.Add("hMod", HandleText(hMod));
    record.Add("hCLL", HandleText(hCLL));
    record.Add("CllTag", PointerText(cllTag));
    record.Add("APITag", PointerText(apiTag));
    record.Add("Callback", application != nullptr ? PointerText(reinterpret_cast<void*>(application))
                                                  : std::string("none registered"));
    m.Submit(std::move(record));
  } catch (...) {
  }
}

}  // namespace

void PduMonitorState::Submit(PduRecord record) {
  if (writer) writer->Submit(std::make_unique<PduEntrySource>(std::move(record)));
}

void SetPduMonitorModule(HMODULE module) {
  g_self = module;
  ReleaseThreadRuntimeData(module);
}

PduMonitorState* PduMonitorIfMade() { return g_monitor; }

namespace {

// Made once by the first call: settings read, writer made, original loaded.
// (The system's one-time initialisation rather than the C++ runtime's: the
// latter would leave data of the runtime's threads library behind for the
// calling thread at every unload.)
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;
PduMonitorState g_fallback;  // used only when making the monitor failed

BOOL CALLBACK MakeMonitor(PINIT_ONCE, PVOID, PVOID*) {
  try {
    auto made = std::make_unique<PduMonitorState>();
    QueryPerformanceFrequency(&made->frequency);
    QueryPerformanceCounter(&made->start);
    const std::wstring own = ModulePath(g_self);
    SettingsRoots roots;
    made->plan = LookUpPduSettings(own, roots);
    const MonitorSettings& s = made->plan.settings;
    made->entryExit = s.logEntryExit;
    made->skipEmptyQueue = s.disableErrBufferEmpty;
    made->byteLimit = s.messageSizeLimit;
    WriterOptions options;
    options.path = s.outputFile;
    options.format = FormatFromSetting(s.outputFormat);
    options.overwrite = s.overwrite;
    options.debugView = s.logDebugView;
    options.api = "PDU";
    options.title = made->plan.storedWithJ2534 ? "J2534 API log" : "D-PDU API log";
    FILETIME utc{};
    FILETIME local{};
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    const std::uint64_t utcTime = (static_cast<std::uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    const std::uint64_t localTime = (static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
    made->localBias = static_cast<std::int64_t>(localTime - utcTime);
    options.session.start = WallTimeFromFileTime(localTime);
    options.session.processId = GetCurrentProcessId();
    options.session.program = Utf8(ModulePath(nullptr));
    options.session.library = Utf8(own);
    options.session.api = "PDU";
    made->writer = std::make_unique<LogWriter>(std::move(options));
    made->original = LoadPduOriginal(OriginalPathFor(own));
    g_monitor = made.release();
    SetPduEventObserver(&ObserveEvent);
  } catch (...) {
  }
  return TRUE;
}

}  // namespace

// The monitor, made once. Never throws.
PduMonitorState& ThePduMonitor() {
  InitOnceExecuteOnce(&g_once, MakeMonitor, nullptr, nullptr);
  return g_monitor != nullptr ? *g_monitor : g_fallback;
}

namespace {
std::atomic<bool> g_heldForCallbacks{false};
}  // namespace

void HoldWhileCallbacksBound() noexcept {
  if (g_heldForCallbacks.exchange(true)) return;
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&HoldWhileCallbacksBound), &self)) {
    g_heldForCallbacks = false;
  }
}

void LetGoAfterDestruct() noexcept {
  if (!g_heldForCallbacks.exchange(false)) return;
  FreeLibraryAfterLoaderLock(g_self);
}

void PduSessionEnded() noexcept {
  if (PduMonitorState* m = g_monitor; m != nullptr && m->writer) m->writer->Finish(1000);
  ReleaseThreadRuntimeData(g_self);
}

void PduModuleDetach(bool processExit) noexcept {
  PduMonitorState* m = g_monitor;
  if (processExit) {
    BeginProcessExit();
    if (m != nullptr && m->writer) m->writer->FlushAtProcessExit();
    return;
  }
  if (m == nullptr) return;
  SetPduEventObserver(nullptr);
  g_monitor = nullptr;
  m->writer.reset();  // its thread has ended: it held this module while it ran
  FreeLibraryAfterLoaderLock(m->original.module);
  delete m;
}

}  // namespace monitor
