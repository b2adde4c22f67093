// OvraPduMon32.dll: the D-PDU API monitor. Copied in place of the D-PDU
// library, it forwards each of the 29 functions to the set-aside original
// untouched and logs the call: handles, object ids with the short names the
// application asked for, ComParams, ComPrimitives with their payload, event
// items and the return code by name. The application's event callbacks are
// interposed (monitor/pdu/pdu_callbacks.h) so that events are logged too. No
// exception leaves an export or the interposed callback.
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "monitor/log_writer.h"
#include "monitor/log_format.h"
#include "monitor/pdu/pdu_callbacks.h"
#include "monitor/pdu/pdu_original.h"
#include "monitor/pdu/pdu_record.h"
#include "monitor/pdu/pdu_settings.h"
#include "monitor/text_rules.h"
#include "pdu/pdu_names.h"

using namespace pdu;
using monitor::PduFunction;
using monitor::PduRecord;

namespace {

HMODULE g_self = nullptr;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
  return out;
}

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return std::wstring();
    path.resize(path.size() * 2);
  }
}

// A queued record, rendered by the writer thread.
class PduEntrySource : public monitor::EntrySource {
 public:
  explicit PduEntrySource(PduRecord record) : record_(std::move(record)) {}
  std::size_t Bytes() const override { return monitor::PduRecordBytes(record_); }
  monitor::LogEntry Build() const override { return monitor::BuildPduEntry(record_); }

 private:
  PduRecord record_;
};

// Everything the monitor holds for the process, made on the first call.
struct Monitor {
  monitor::PduOriginal original;
  monitor::PduLogPlan plan;
  std::unique_ptr<monitor::LogWriter> writer;
  monitor::ObjectNames names;
  LARGE_INTEGER frequency{};
  LARGE_INTEGER start{};
  bool entryExit = false;
  bool skipEmptyQueue = true;
  std::uint32_t byteLimit = 0;
  // The items the library handed out and their types, so that PDUDestroyItem
  // is logged without reading memory the application may hand back wrongly.
  std::mutex itemsLock;
  std::unordered_map<const void*, T_PDU_IT> items;
  static constexpr std::size_t kMaxItems = 4096;
  void HandedOut(const void* item) {
    if (item == nullptr) return;
    const T_PDU_IT type = static_cast<const PDU_ITEM*>(item)->ItemType;
    std::lock_guard<std::mutex> lock(itemsLock);
    if (items.size() < kMaxItems) items[item] = type;
  }
  // The type of an item handed out (and forgets it), or nullptr when unknown.
  const char* TakeBack(const void* item) {
    std::lock_guard<std::mutex> lock(itemsLock);
    auto found = items.find(item);
    if (found == items.end()) return nullptr;
    const char* name = ItemTypeName(found->second);
    items.erase(found);
    return name != nullptr ? name : "an item of an unknown type";
  }
  std::atomic<bool> told{false};  // the missing original was reported to the debugger output
  std::int64_t localBias = 0;  // local time minus UTC, in 100 ns, taken once

  void Stamp(PduRecord& record, PduFunction function, monitor::Phase phase) const {
    FILETIME utc{};
    GetSystemTimeAsFileTime(&utc);
    record.localFileTime = static_cast<std::uint64_t>(
        static_cast<std::int64_t>((static_cast<std::uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime) +
        localBias);
    record.elapsedMicros = Micros();
    record.processId = GetCurrentProcessId();
    record.threadId = GetCurrentThreadId();
    record.function = function;
    record.phase = phase;
    record.texts.reserve(192);
  }
  std::uint64_t Micros() const {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
  }
  void Submit(PduRecord record) {
    if (writer) writer->Submit(std::make_unique<PduEntrySource>(std::move(record)));
  }
};

void ObserveEvent(T_PDU_EVT_DATA eventType, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag,
                  CALLBACKFNC application);

Monitor* g_monitor = nullptr;

// The monitor, made once: settings read, writer made, original loaded. Never throws.
Monitor& TheMonitor() {
  static std::once_flag once;
  static Monitor fallback;  // used only when making the monitor failed
  try {
    std::call_once(once, [] {
      auto made = std::make_unique<Monitor>();
      QueryPerformanceFrequency(&made->frequency);
      QueryPerformanceCounter(&made->start);
      const std::wstring own = ModulePath(g_self);
      monitor::SettingsRoots roots;
      made->plan = monitor::LookUpPduSettings(own, roots);
      const monitor::MonitorSettings& s = made->plan.settings;
      made->entryExit = s.logEntryExit;
      made->skipEmptyQueue = s.disableErrBufferEmpty;
      made->byteLimit = s.messageSizeLimit;
      monitor::WriterOptions options;
      options.path = s.outputFile;
      options.format = monitor::FormatFromSetting(s.outputFormat);
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
      options.session.start = monitor::WallTimeFromFileTime(localTime);
      options.session.processId = GetCurrentProcessId();
      options.session.program = Utf8(ModulePath(nullptr));
      options.session.library = Utf8(own);
      options.session.api = "PDU";
      made->writer = std::make_unique<monitor::LogWriter>(std::move(options));
      made->original = monitor::LoadPduOriginal(monitor::OriginalPathFor(own));
      g_monitor = made.release();
      monitor::SetPduEventObserver(&ObserveEvent);
    });
  } catch (...) {
  }
  return g_monitor != nullptr ? *g_monitor : fallback;
}

// The record of one call being made: begun before the call, finished after.
class Logged {
 public:
  Logged(Monitor& monitor, PduFunction function) : monitor_(monitor) {
    try {
      monitor_.Stamp(record_, function, monitor::Phase::Call);
      active_ = true;
    } catch (...) {
    }
  }
  PduRecord* Record() { return active_ ? &record_ : nullptr; }
  // The arguments are in: with "log entry and exit", the call's start is queued now.
  void Entered() {
    if (!active_) return;
    try {
      startMicros_ = monitor_.Micros();
      if (monitor_.entryExit) {
        // The arguments go with the call's start; the return gets the outputs.
        PduRecord entry = std::move(record_);
        record_ = PduRecord();
        record_.function = entry.function;
        record_.phase = monitor::Phase::Exit;
        entry.phase = monitor::Phase::Entry;
        monitor_.Submit(std::move(entry));
      }
    } catch (...) {
      active_ = false;
    }
  }
  void Finish(T_PDU_ERROR result) {
    if (!active_) return;
    try {
      record_.hasResult = true;
      record_.result = result;
      record_.durationMicros = static_cast<std::int64_t>(monitor_.Micros() - startMicros_);
      if (record_.phase == monitor::Phase::Exit) {
        monitor_.Stamp(record_, record_.function, monitor::Phase::Exit);
      }
      monitor_.Submit(std::move(record_));
    } catch (...) {
    }
    active_ = false;
  }
  void Drop() { active_ = false; }

 private:
  Monitor& monitor_;
  PduRecord record_;
  bool active_ = false;
  std::uint64_t startMicros_ = 0;
};

// Runs one monitored function: `before` adds the arguments, `forward` calls
// the original (and does what the monitor itself must do around it), `after`
// adds the outputs of a successful call. Without the original, the call is
// logged and fails with PDU_ERR_FCT_FAILED.
template <typename Before, typename Forward, typename After>
T_PDU_ERROR Monitored(PduFunction function, Before before, Forward forward, After after) {
  Monitor& m = TheMonitor();
  Logged call(m, function);
  if (PduRecord* record = call.Record()) {
    try {
      before(*record);
    } catch (...) {
      call.Drop();
    }
  }
  if (m.original.module == nullptr) {
    if (PduRecord* record = call.Record()) {
      try {
        record->Add("Original", m.original.problem.empty() ? "not loaded" : m.original.problem);
      } catch (...) {
      }
    }
    if (!m.told.exchange(true)) {
      const std::string line = "OvraPduMon32: " + m.original.problem + "\n";
      OutputDebugStringA(line.c_str());
    }
    call.Entered();
    call.Finish(PDU_ERR_FCT_FAILED);
    return PDU_ERR_FCT_FAILED;
  }
  call.Entered();
  const T_PDU_ERROR result = forward(m.original);
  if (PduRecord* record = call.Record()) {
    try {
      if (result == PDU_STATUS_NOERROR) after(*record);
    } catch (...) {
    }
  }
  call.Finish(result);
  return result;
}

auto Nothing = [](PduRecord&) {};

std::string Dec(std::uint64_t value) { return std::to_string(value); }

void ObserveEvent(T_PDU_EVT_DATA eventType, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag,
                  CALLBACKFNC application) {
  try {
    if (g_monitor == nullptr) return;
    Monitor& m = *g_monitor;
    PduRecord record;
    m.Stamp(record, PduFunction::EventCallback, monitor::Phase::Call);
    record.Add("EventType", NameOr(EventDataName(eventType), eventType));
    record.Add("hMod", HandleText(hMod));
    record.Add("hCLL", HandleText(hCLL));
    record.Add("CllTag", monitor::PointerText(cllTag));
    record.Add("APITag", monitor::PointerText(apiTag));
    record.Add("Callback", application != nullptr ? monitor::PointerText(reinterpret_cast<void*>(application))
                                                  : std::string("none registered"));
    m.Submit(std::move(record));
  } catch (...) {
  }
}

void AddHandles(PduRecord& r, UNUM32 hMod, UNUM32 hCLL) {
  r.Add("hMod", HandleText(hMod));
  r.Add("hCLL", HandleText(hCLL));
}

}  // namespace

extern "C" {

T_PDU_ERROR PDU_CALL PDUConstruct(CHAR8* OptionStr, void* pAPITag) {
  return Monitored(
      PduFunction::Construct,
      [&](PduRecord& r) {
        r.Add("OptionStr", OptionStr == nullptr ? std::string("NULL")
                                                : "\"" + monitor::PrintableText(OptionStr, 1024) + "\"");
        r.Add("APITag", monitor::PointerText(pAPITag));
      },
      [&](monitor::PduOriginal& o) { return o.Construct(OptionStr, pAPITag); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDUDestruct() {
  const T_PDU_ERROR result = Monitored(
      PduFunction::Destruct, Nothing,
      [&](monitor::PduOriginal& o) {
        const T_PDU_ERROR r = o.Destruct();
        if (r == PDU_STATUS_NOERROR) {
          monitor::ClearPduCallbacks();
          if (g_monitor != nullptr) {
            std::lock_guard<std::mutex> lock(g_monitor->itemsLock);
            g_monitor->items.clear();  // the library freed them all
          }
        }
        return r;
      },
      Nothing);
  if (g_monitor != nullptr && g_monitor->writer) g_monitor->writer->Flush(1000);
  return result;
}

T_PDU_ERROR PDU_CALL PDUIoCtl(UNUM32 hMod, UNUM32 hCLL, UNUM32 IoCtlCommandId,
                              PDU_DATA_ITEM* pInputData, PDU_DATA_ITEM** pOutputData) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::IoCtl,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("IoCtlCommandId", m.names.Text(PDU_OBJT_IO_CTRL, IoCtlCommandId));
        r.Add("InputData", monitor::DataItemText(pInputData, m.byteLimit));
      },
      [&](monitor::PduOriginal& o) {
        return o.IoCtl(hMod, hCLL, IoCtlCommandId, pInputData, pOutputData);
      },
      [&](PduRecord& r) {
        r.Add("OutputData", pOutputData == nullptr ? std::string("NULL")
                                                   : monitor::DataItemText(*pOutputData, m.byteLimit));
        if (pOutputData != nullptr) m.HandedOut(*pOutputData);
      });
}

T_PDU_ERROR PDU_CALL PDUGetVersion(UNUM32 hMod, PDU_VERSION_DATA* pVersionData) {
  return Monitored(
      PduFunction::GetVersion, [&](PduRecord& r) { r.Add("hMod", HandleText(hMod)); },
      [&](monitor::PduOriginal& o) { return o.GetVersion(hMod, pVersionData); },
      [&](PduRecord& r) { r.Add("VersionData", monitor::VersionText(pVersionData)); });
}

T_PDU_ERROR PDU_CALL PDUGetStatus(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP, T_PDU_STATUS* pStatusCode,
                                  UNUM32* pTimestamp, UNUM32* pExtraInfo) {
  return Monitored(
      PduFunction::GetStatus,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("hCoP", HandleText(hCoP));
      },
      [&](monitor::PduOriginal& o) {
        return o.GetStatus(hMod, hCLL, hCoP, pStatusCode, pTimestamp, pExtraInfo);
      },
      [&](PduRecord& r) {
        r.Add("StatusCode", pStatusCode == nullptr ? "NULL" : NameOr(StatusName(*pStatusCode), *pStatusCode));
        r.Add("Timestamp", pTimestamp == nullptr ? "NULL" : Dec(*pTimestamp) + " us");
        r.Add("ExtraInfo", pExtraInfo == nullptr ? "NULL" : Hex32(*pExtraInfo));
      });
}

T_PDU_ERROR PDU_CALL PDUGetLastError(UNUM32 hMod, UNUM32 hCLL, T_PDU_ERR_EVT* pErrorCode,
                                     UNUM32* phCoP, UNUM32* pTimestamp, UNUM32* pExtraErrorInfo) {
  Monitor& m = TheMonitor();
  if (m.original.module == nullptr) {
    // Without the original the monitor answers itself: communication with the
    // VCI is lost, and the extra information is the load's Win32 error.
    Logged call(m, PduFunction::GetLastError);
    if (PduRecord* r = call.Record()) {
      try {
        AddHandles(*r, hMod, hCLL);
        r->Add("Original", m.original.problem);
      } catch (...) {
      }
    }
    call.Entered();
    if (pErrorCode != nullptr) *pErrorCode = PDU_ERR_EVT_LOST_COMM_TO_VCI;
    if (phCoP != nullptr) *phCoP = PDU_HANDLE_UNDEF;
    if (pTimestamp != nullptr) *pTimestamp = 0;
    if (pExtraErrorInfo != nullptr) *pExtraErrorInfo = m.original.loadError;
    const T_PDU_ERROR result = pErrorCode == nullptr || phCoP == nullptr || pTimestamp == nullptr ||
                                       pExtraErrorInfo == nullptr
                                   ? PDU_ERR_INVALID_PARAMETERS
                                   : PDU_STATUS_NOERROR;
    call.Finish(result);
    return result;
  }
  return Monitored(
      PduFunction::GetLastError, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](monitor::PduOriginal& o) {
        return o.GetLastError(hMod, hCLL, pErrorCode, phCoP, pTimestamp, pExtraErrorInfo);
      },
      [&](PduRecord& r) {
        r.Add("ErrorCode", pErrorCode == nullptr ? "NULL" : NameOr(ErrorEventName(*pErrorCode), *pErrorCode));
        r.Add("hCoP", phCoP == nullptr ? "NULL" : HandleText(*phCoP));
        r.Add("Timestamp", pTimestamp == nullptr ? "NULL" : Dec(*pTimestamp) + " us");
        r.Add("ExtraErrorInfo", pExtraErrorInfo == nullptr ? "NULL" : Hex32(*pExtraErrorInfo));
      });
}

T_PDU_ERROR PDU_CALL PDUGetResourceStatus(PDU_RSC_STATUS_ITEM* pResourceStatus) {
  return Monitored(
      PduFunction::GetResourceStatus, Nothing,
      [&](monitor::PduOriginal& o) { return o.GetResourceStatus(pResourceStatus); },
      [&](PduRecord& r) { r.Add("ResourceStatus", monitor::RscStatusItemText(pResourceStatus)); });
}

T_PDU_ERROR PDU_CALL PDUCreateComLogicalLink(UNUM32 hMod, PDU_RSC_DATA* pRscData, UNUM32 resourceId,
                                             void* pCllTag, UNUM32* phCLL,
                                             PDU_FLAG_DATA* pCllCreateFlag) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::CreateComLogicalLink,
      [&](PduRecord& r) {
        r.Add("hMod", HandleText(hMod));
        r.Add("RscData", monitor::RscDataText(pRscData, m.names));
        r.Add("ResourceId", resourceId == PDU_ID_UNDEF ? std::string("UNDEF")
                                                       : m.names.Text(PDU_OBJT_RESOURCE, resourceId));
        r.Add("CllTag", monitor::PointerText(pCllTag));
        r.Add("CllCreateFlag", monitor::FlagDataText(pCllCreateFlag));
      },
      [&](monitor::PduOriginal& o) {
        return o.CreateComLogicalLink(hMod, pRscData, resourceId, pCllTag, phCLL, pCllCreateFlag);
      },
      [&](PduRecord& r) { r.Add("hCLL", phCLL == nullptr ? "NULL" : HandleText(*phCLL)); });
}

T_PDU_ERROR PDU_CALL PDUDestroyComLogicalLink(UNUM32 hMod, UNUM32 hCLL) {
  return Monitored(
      PduFunction::DestroyComLogicalLink, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](monitor::PduOriginal& o) {
        const T_PDU_ERROR r = o.DestroyComLogicalLink(hMod, hCLL);
        if (r == PDU_STATUS_NOERROR) monitor::ReleasePduCallback(hMod, hCLL);
        return r;
      },
      Nothing);
}

T_PDU_ERROR PDU_CALL PDUConnect(UNUM32 hMod, UNUM32 hCLL) {
  return Monitored(
      PduFunction::Connect, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](monitor::PduOriginal& o) { return o.Connect(hMod, hCLL); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDUDisconnect(UNUM32 hMod, UNUM32 hCLL) {
  return Monitored(
      PduFunction::Disconnect, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](monitor::PduOriginal& o) { return o.Disconnect(hMod, hCLL); }, Nothing);
}

static std::string LockMaskText(UNUM32 mask) {
  std::string text = Hex32(mask);
  if (mask & PDU_LOCK_PHYSICAL_COMPARAMS) text += " PHYSICAL_COMPARAMS";
  if (mask & PDU_LOCK_TX_QUEUE) text += " TX_QUEUE";
  return text;
}

T_PDU_ERROR PDU_CALL PDULockResource(UNUM32 hMod, UNUM32 hCLL, UNUM32 LockMask) {
  return Monitored(
      PduFunction::LockResource,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("LockMask", LockMaskText(LockMask));
      },
      [&](monitor::PduOriginal& o) { return o.LockRsc(hMod, hCLL, LockMask); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDUUnlockResource(UNUM32 hMod, UNUM32 hCLL, UNUM32 LockMask) {
  return Monitored(
      PduFunction::UnlockResource,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("LockMask", LockMaskText(LockMask));
      },
      [&](monitor::PduOriginal& o) { return o.UnlockRsc(hMod, hCLL, LockMask); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDUGetComParam(UNUM32 hMod, UNUM32 hCLL, UNUM32 ParamId,
                                    PDU_PARAM_ITEM** pParamItem) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::GetComParam,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("ParamId", m.names.Text(PDU_OBJT_COMPARAM, ParamId));
      },
      [&](monitor::PduOriginal& o) { return o.GetComParam(hMod, hCLL, ParamId, pParamItem); },
      [&](PduRecord& r) {
        r.Add("ParamItem", pParamItem == nullptr ? std::string("NULL")
                                                 : monitor::ParamItemText(*pParamItem, m.names));
        if (pParamItem != nullptr) m.HandedOut(*pParamItem);
      });
}

T_PDU_ERROR PDU_CALL PDUSetComParam(UNUM32 hMod, UNUM32 hCLL, PDU_PARAM_ITEM* pParamItem) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::SetComParam,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("ParamItem", monitor::ParamItemText(pParamItem, m.names));
      },
      [&](monitor::PduOriginal& o) { return o.SetComParam(hMod, hCLL, pParamItem); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDUStartComPrimitive(UNUM32 hMod, UNUM32 hCLL, T_PDU_COPT CoPType,
                                          UNUM32 CoPDataSize, UNUM8* pCoPData,
                                          PDU_COP_CTRL_DATA* pCopCtrlData, void* pCoPTag,
                                          UNUM32* phCoP) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::StartComPrimitive,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("CoPType", NameOr(CopTypeName(CoPType), CoPType));
        r.AddBytes("CoPData", pCoPData, CoPDataSize, m.byteLimit);
        r.Add("CopCtrlData", monitor::CopCtrlText(pCopCtrlData));
        r.Add("CoPTag", monitor::PointerText(pCoPTag));
      },
      [&](monitor::PduOriginal& o) {
        return o.StartComPrimitive(hMod, hCLL, CoPType, CoPDataSize, pCoPData, pCopCtrlData,
                                   pCoPTag, phCoP);
      },
      [&](PduRecord& r) { r.Add("hCoP", phCoP == nullptr ? "NULL" : HandleText(*phCoP)); });
}

T_PDU_ERROR PDU_CALL PDUCancelComPrimitive(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP) {
  return Monitored(
      PduFunction::CancelComPrimitive,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("hCoP", HandleText(hCoP));
      },
      [&](monitor::PduOriginal& o) { return o.CancelComPrimitive(hMod, hCLL, hCoP); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDUGetEventItem(UNUM32 hMod, UNUM32 hCLL, PDU_EVENT_ITEM** pEventItem) {
  Monitor& m = TheMonitor();
  if (m.original.module != nullptr && m.skipEmptyQueue && !m.entryExit) {
    // Polling an empty queue is noise: such calls are not logged (the
    // "empty buffer" option), every other one is.
    Logged call(m, PduFunction::GetEventItem);
    call.Entered();
    const T_PDU_ERROR result = m.original.GetEventItem(hMod, hCLL, pEventItem);
    if (result == PDU_ERR_EVENT_QUEUE_EMPTY) {
      call.Drop();
      return result;
    }
    if (PduRecord* r = call.Record()) {
      try {
        AddHandles(*r, hMod, hCLL);
        if (result == PDU_STATUS_NOERROR && pEventItem != nullptr) {
          monitor::AddEventItem(*r, *pEventItem, m.byteLimit);
          m.HandedOut(*pEventItem);
        }
      } catch (...) {
      }
    }
    call.Finish(result);
    return result;
  }
  return Monitored(
      PduFunction::GetEventItem, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](monitor::PduOriginal& o) { return o.GetEventItem(hMod, hCLL, pEventItem); },
      [&](PduRecord& r) {
        monitor::AddEventItem(r, pEventItem == nullptr ? nullptr : *pEventItem, m.byteLimit);
        if (pEventItem != nullptr) m.HandedOut(*pEventItem);
      });
}

T_PDU_ERROR PDU_CALL PDUDestroyItem(PDU_ITEM* pItem) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::DestroyItem,
      [&](PduRecord& r) {
        if (pItem == nullptr) {
          r.Add("Item", "NULL");
          return;
        }
        const char* type = m.TakeBack(pItem);
        r.Add("Item", monitor::PointerText(pItem) + " " +
                          (type != nullptr ? std::string(type) : std::string("(not handed out through the monitor)")));
      },
      [&](monitor::PduOriginal& o) { return o.DestroyItem(pItem); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDURegisterEventCallback(UNUM32 hMod, UNUM32 hCLL,
                                              CALLBACKFNC EventCallbackFunction) {
  bool interposed = false;
  return Monitored(
      PduFunction::RegisterEventCallback,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("EventCallbackFunction",
              monitor::PointerText(reinterpret_cast<void*>(EventCallbackFunction)));
      },
      [&](monitor::PduOriginal& o) {
        if (EventCallbackFunction == nullptr) {
          const T_PDU_ERROR r = o.RegisterEventCallback(hMod, hCLL, nullptr);
          if (r == PDU_STATUS_NOERROR) monitor::UnbindPduCallback(hMod, hCLL);
          return r;
        }
        CALLBACKFNC previous = nullptr;
        const CALLBACKFNC trampoline =
            monitor::BindPduCallback(hMod, hCLL, EventCallbackFunction, &previous);
        if (trampoline == nullptr) return o.RegisterEventCallback(hMod, hCLL, EventCallbackFunction);
        interposed = true;
        const T_PDU_ERROR r = o.RegisterEventCallback(hMod, hCLL, trampoline);
        if (r != PDU_STATUS_NOERROR) monitor::RestorePduCallback(hMod, hCLL, previous);
        return r;
      },
      [&](PduRecord& r) {
        if (EventCallbackFunction != nullptr)
          r.Add("Events", interposed ? "logged" : "not logged (every callback slot is taken)");
      });
}

T_PDU_ERROR PDU_CALL PDUGetObjectId(T_PDU_OBJT pduObjectType, CHAR8* pShortname,
                                    UNUM32* pPduObjectId) {
  Monitor& m = TheMonitor();
  std::string name;
  return Monitored(
      PduFunction::GetObjectId,
      [&](PduRecord& r) {
        name = BoundedShortName(pShortname, monitor::kPduShortNameLimit);
        r.Add("ObjectType", NameOr(ObjectTypeName(pduObjectType), pduObjectType));
        r.Add("ShortName", pShortname == nullptr ? std::string("NULL") : "\"" + name + "\"");
      },
      [&](monitor::PduOriginal& o) {
        const T_PDU_ERROR r = o.GetObjectId(pduObjectType, pShortname, pPduObjectId);
        try {
          if (r == PDU_STATUS_NOERROR && pPduObjectId != nullptr && pShortname != nullptr &&
              *pPduObjectId != PDU_ID_UNDEF)
            m.names.Remember(pduObjectType, *pPduObjectId,
                             BoundedShortName(pShortname, monitor::kPduShortNameLimit));
        } catch (...) {
        }
        return r;
      },
      [&](PduRecord& r) {
        r.Add("ObjectId", pPduObjectId == nullptr       ? std::string("NULL")
                          : *pPduObjectId == PDU_ID_UNDEF ? std::string("UNDEF (no such object)")
                                                          : Hex32(*pPduObjectId));
      });
}

T_PDU_ERROR PDU_CALL PDUGetModuleIds(PDU_MODULE_ITEM** pModuleIdList) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::GetModuleIds, Nothing,
      [&](monitor::PduOriginal& o) { return o.GetModuleIds(pModuleIdList); },
      [&](PduRecord& r) {
        r.Add("ModuleIdList", pModuleIdList == nullptr ? std::string("NULL")
                                                       : monitor::ModuleItemText(*pModuleIdList));
        if (pModuleIdList != nullptr) m.HandedOut(*pModuleIdList);
      });
}

T_PDU_ERROR PDU_CALL PDUGetResourceIds(UNUM32 hMod, PDU_RSC_DATA* pResourceIdData,
                                       PDU_RSC_ID_ITEM** pResourceIdList) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::GetResourceIds,
      [&](PduRecord& r) {
        r.Add("hMod", HandleText(hMod));
        r.Add("ResourceIdData", monitor::RscDataText(pResourceIdData, m.names));
      },
      [&](monitor::PduOriginal& o) { return o.GetResourceIds(hMod, pResourceIdData, pResourceIdList); },
      [&](PduRecord& r) {
        r.Add("ResourceIdList", pResourceIdList == nullptr ? std::string("NULL")
                                                           : monitor::RscIdItemText(*pResourceIdList));
        if (pResourceIdList != nullptr) m.HandedOut(*pResourceIdList);
      });
}

T_PDU_ERROR PDU_CALL PDUGetConflictingResources(UNUM32 resourceId, PDU_MODULE_ITEM* pInputModuleList,
                                                PDU_RSC_CONFLICT_ITEM** pOutputConflictList) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::GetConflictingResources,
      [&](PduRecord& r) {
        r.Add("ResourceId", std::to_string(resourceId));
        r.Add("InputModuleList", monitor::ModuleItemText(pInputModuleList));
      },
      [&](monitor::PduOriginal& o) {
        return o.GetConflictingResources(resourceId, pInputModuleList, pOutputConflictList);
      },
      [&](PduRecord& r) {
        r.Add("OutputConflictList", pOutputConflictList == nullptr
                                        ? std::string("NULL")
                                        : monitor::ConflictItemText(*pOutputConflictList));
        if (pOutputConflictList != nullptr) m.HandedOut(*pOutputConflictList);
      });
}

T_PDU_ERROR PDU_CALL PDUGetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                             PDU_UNIQUE_RESP_ID_TABLE_ITEM** pUniqueRespIdTable) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::GetUniqueRespIdTable, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](monitor::PduOriginal& o) { return o.GetUniqueRespIdTable(hMod, hCLL, pUniqueRespIdTable); },
      [&](PduRecord& r) {
        r.Add("UniqueRespIdTable", pUniqueRespIdTable == nullptr
                                       ? std::string("NULL")
                                       : monitor::UniqueRespTableText(*pUniqueRespIdTable, m.names));
        if (pUniqueRespIdTable != nullptr) m.HandedOut(*pUniqueRespIdTable);
      });
}

T_PDU_ERROR PDU_CALL PDUSetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                             PDU_UNIQUE_RESP_ID_TABLE_ITEM* pUniqueRespIdTable) {
  Monitor& m = TheMonitor();
  return Monitored(
      PduFunction::SetUniqueRespIdTable,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("UniqueRespIdTable", monitor::UniqueRespTableText(pUniqueRespIdTable, m.names));
      },
      [&](monitor::PduOriginal& o) { return o.SetUniqueRespIdTable(hMod, hCLL, pUniqueRespIdTable); },
      Nothing);
}

T_PDU_ERROR PDU_CALL PDUModuleConnect(UNUM32 hMod) {
  return Monitored(
      PduFunction::ModuleConnect, [&](PduRecord& r) { r.Add("hMod", HandleText(hMod)); },
      [&](monitor::PduOriginal& o) { return o.ModuleConnect(hMod); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDUModuleDisconnect(UNUM32 hMod) {
  return Monitored(
      PduFunction::ModuleDisconnect, [&](PduRecord& r) { r.Add("hMod", HandleText(hMod)); },
      [&](monitor::PduOriginal& o) { return o.ModuleDisconnect(hMod); }, Nothing);
}

T_PDU_ERROR PDU_CALL PDUGetTimestamp(UNUM32 hMod, UNUM32* pTimestamp) {
  return Monitored(
      PduFunction::GetTimestamp, [&](PduRecord& r) { r.Add("hMod", HandleText(hMod)); },
      [&](monitor::PduOriginal& o) { return o.GetTimestamp(hMod, pTimestamp); },
      [&](PduRecord& r) {
        r.Add("Timestamp", pTimestamp == nullptr ? "NULL" : Dec(*pTimestamp) + " us");
      });
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_self = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr && g_monitor != nullptr &&
             g_monitor->writer) {
    // Process exit: the writer thread is gone; write what it left, waiting for
    // nothing. On FreeLibrary the writer thread holds this module while it
    // runs, so nothing is queued then.
    g_monitor->writer->FlushAtProcessExit();
  }
  return TRUE;
}

}  // extern "C"
