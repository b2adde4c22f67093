// OvraJ2534Mon32.dll: a J2534 04.04 library that stands in for an
// implementation library, forwards every call to the original (set aside in
// its folder as "_" + its file name) and logs each call. Nothing here changes
// what the application sees: arguments, out-parameters and return values pass
// through untouched, and logging never throws into the caller.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "monitor/j2534_record.h"
#include "monitor/log_format.h"
#include "monitor/log_writer.h"
#include "monitor/memory_probe.h"
#include "monitor/precise_time.h"
#include "monitor/settings_lookup.h"
#include "monitor/text_rules.h"
#include "monitoring/path_rules.h"
#include "passthru/j2534.h"
#include "passthru/names.h"

using namespace passthru;
using monitor::J2534Function;
using monitor::J2534Record;
using monitor::PendingField;

namespace {

HMODULE g_self = nullptr;

struct OriginalFunctions {
  PassThruOpenFn open = nullptr;
  PassThruCloseFn close = nullptr;
  PassThruConnectFn connect = nullptr;
  PassThruDisconnectFn disconnect = nullptr;
  PassThruReadMsgsFn readMsgs = nullptr;
  PassThruWriteMsgsFn writeMsgs = nullptr;
  PassThruStartPeriodicMsgFn startPeriodic = nullptr;
  PassThruStopPeriodicMsgFn stopPeriodic = nullptr;
  PassThruStartMsgFilterFn startFilter = nullptr;
  PassThruStopMsgFilterFn stopFilter = nullptr;
  PassThruSetProgrammingVoltageFn setVoltage = nullptr;
  PassThruReadVersionFn readVersion = nullptr;
  PassThruGetLastErrorFn getLastError = nullptr;
  PassThruIoctlFn ioctl = nullptr;
};

struct MonitorState {
  HMODULE original = nullptr;
  OriginalFunctions fn;
  char missingText[kTextChars] = {};  // PassThruGetLastError's text without the original
  monitor::MonitorSettings settings;
  monitor::LogWriter* writer = nullptr;  // lives as long as the module
  LARGE_INTEGER frequency{};
  LARGE_INTEGER firstCall{};
  std::int64_t localBias = 0;  // local minus UTC, 100 ns units
  DWORD processId = 0;
};

MonitorState* g_state = nullptr;
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  }
  return out;
}

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() > 32768) return {};
    path.resize(path.size() * 2);
  }
}

template <typename T>
void Resolve(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void LoadOriginal(MonitorState* s, const std::wstring& ownPath) {
  const std::wstring aside = varrow::AsidePath(ownPath);
  if (!aside.empty()) {
    s->original = LoadLibraryExW(aside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  const DWORD error = GetLastError();
  if (s->original == nullptr) {
    const std::wstring name = aside.substr(aside.find_last_of(L'\\') + 1);
    const std::string text = "J2534 monitor: original library " + Utf8(name) + " not found (error " +
                             std::to_string(error) + ")";
    const std::size_t n = std::min<std::size_t>(text.size(), kTextChars - 1);
    std::memcpy(s->missingText, text.data(), n);
    s->missingText[n] = '\0';
    OutputDebugStringW((L"[J2534 monitor] cannot load the original library " + aside +
                        L"; every call returns ERR_FAILED\n").c_str());
    return;
  }
  HMODULE m = s->original;
  Resolve(m, "PassThruOpen", &s->fn.open);
  Resolve(m, "PassThruClose", &s->fn.close);
  Resolve(m, "PassThruConnect", &s->fn.connect);
  Resolve(m, "PassThruDisconnect", &s->fn.disconnect);
  Resolve(m, "PassThruReadMsgs", &s->fn.readMsgs);
  Resolve(m, "PassThruWriteMsgs", &s->fn.writeMsgs);
  Resolve(m, "PassThruStartPeriodicMsg", &s->fn.startPeriodic);
  Resolve(m, "PassThruStopPeriodicMsg", &s->fn.stopPeriodic);
  Resolve(m, "PassThruStartMsgFilter", &s->fn.startFilter);
  Resolve(m, "PassThruStopMsgFilter", &s->fn.stopFilter);
  Resolve(m, "PassThruSetProgrammingVoltage", &s->fn.setVoltage);
  Resolve(m, "PassThruReadVersion", &s->fn.readVersion);
  Resolve(m, "PassThruGetLastError", &s->fn.getLastError);
  Resolve(m, "PassThruIoctl", &s->fn.ioctl);
}

// The first call of the process: load the original, read the settings, prepare the writer.
BOOL CALLBACK Initialize(PINIT_ONCE, PVOID, PVOID*) {
  try {
    auto* s = new MonitorState;
    s->processId = GetCurrentProcessId();
    QueryPerformanceFrequency(&s->frequency);
    FILETIME utc;
    monitor::PreciseSystemTime(&utc);
    FILETIME local;
    if (FileTimeToLocalFileTime(&utc, &local)) {
      const auto value = [](FILETIME t) {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                         t.dwLowDateTime);
      };
      s->localBias = value(local) - value(utc);
    }
    const std::wstring ownPath = ModulePath(g_self);
    LoadOriginal(s, ownPath);
    try {
      s->settings = monitor::LookUpSettings(
          L"J2534 API", ownPath, monitor::RegisteredJ2534Libraries(HKEY_LOCAL_MACHINE), {});
      monitor::WriterOptions options;
      options.path = s->settings.outputFile;
      options.format = monitor::FormatFromSetting(s->settings.outputFormat);
      options.overwrite = s->settings.overwrite;
      options.debugView = s->settings.logDebugView;
      options.api = "J2534";
      options.title = "J2534 API log";
      FILETIME localNow{};
      FileTimeToLocalFileTime(&utc, &localNow);
      options.session.start = monitor::WallTimeFromFileTime(
          (static_cast<std::uint64_t>(localNow.dwHighDateTime) << 32) | localNow.dwLowDateTime);
      options.session.processId = s->processId;
      options.session.program = Utf8(ModulePath(nullptr));
      options.session.library = Utf8(s->settings.library);
      options.session.api = "J2534";
      s->writer = new monitor::LogWriter(std::move(options));
    } catch (...) {
      OutputDebugStringW(L"[J2534 monitor] cannot prepare the log; calls are forwarded unlogged\n");
    }
    QueryPerformanceCounter(&s->firstCall);  // the first call starts now
    g_state = s;
  } catch (...) {
  }
  return TRUE;
}

MonitorState* State() {
  InitOnceExecuteOnce(&g_once, Initialize, nullptr, nullptr);
  return g_state;
}

// The readable text of a C string the application hands over (at most 80 bytes).
std::string ForeignText(const void* p) {
  if (p == nullptr) return "NULL";
  const std::size_t readable = monitor::ReadableBytes(p, kTextChars);
  return "\"" + monitor::PrintableText(static_cast<const char*>(p), readable) + "\"";
}

std::string Number(std::uint64_t value) { return std::to_string(value); }
std::string Pointer(const void* p) {
  return p == nullptr ? "NULL" : "0x" + Hex(static_cast<ULong>(reinterpret_cast<std::uintptr_t>(p)), 8);
}

class RecordEntry : public monitor::EntrySource {
 public:
  explicit RecordEntry(J2534Record record) : record_(std::move(record)) {}
  std::size_t Bytes() const override { return monitor::RecordBytes(record_); }
  monitor::LogEntry Build() const override { return monitor::BuildEntry(record_); }

 private:
  J2534Record record_;
};

// One forwarded call as it is logged: inputs captured before the original
// runs, outputs after. Every member swallows its own failures.
class Call {
 public:
  Call(MonitorState* state, J2534Function function) noexcept : state_(state), function_(function) {
    if (state_ == nullptr || state_->writer == nullptr) return;
    active_ = true;
    QueryPerformanceCounter(&start_);
    FILETIME utc;
    monitor::PreciseSystemTime(&utc);
    startTime_ = ((static_cast<std::uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime) +
                 static_cast<std::uint64_t>(state_->localBias);
  }
  bool Active() const { return active_; }
  std::uint32_t MessageLimit() const { return state_->settings.messageSizeLimit; }

  void In(const char* name, std::string text) noexcept { Add(&inputs_, name, std::move(text)); }
  void Out(const char* name, std::string text) noexcept { Add(&outputs_, name, std::move(text)); }
  void InMessages(const char* name, const PassThruMsg* msgs, ULong count) noexcept {
    AddMessages(&inputs_, name, msgs, count, true);
  }
  // Messages the original has just written (their memory was good enough for it).
  void OutMessages(const char* name, const PassThruMsg* msgs, ULong count) noexcept {
    AddMessages(&outputs_, name, msgs, count, false);
  }
  // The inputs are complete: with "log entry and exit", the entry phase is
  // logged now (or held back until the result is known, when `holdEntry`).
  void Begin(bool holdEntry = false) noexcept {
    if (!active_ || !state_->settings.logEntryExit) return;
    try {
      J2534Record entry = Make(monitor::Phase::Entry, startTime_, start_);
      entry.fields = std::move(inputs_);
      inputs_.clear();
      if (holdEntry) {
        entry_ = std::move(entry);
        holding_ = true;
      } else {
        Submit(std::move(entry));
      }
    } catch (...) {
      holding_ = false;
    }
  }
  // The call returned `rc`; `noise` drops the whole call (an empty poll).
  void Finish(Long rc, bool noise = false) noexcept {
    if (!active_) return;
    try {
      LARGE_INTEGER end;
      QueryPerformanceCounter(&end);
      const std::int64_t micros =
          (end.QuadPart - start_.QuadPart) * 1000000 / std::max<LONGLONG>(1, state_->frequency.QuadPart);
      if (noise && state_->settings.disableErrBufferEmpty) return;
      if (state_->settings.logEntryExit) {
        if (holding_) Submit(std::move(entry_));
        holding_ = false;
        J2534Record exit = Make(monitor::Phase::Exit, startTime_ + micros * 10, end);
        exit.fields = std::move(outputs_);
        exit.hasResult = true;
        exit.result = rc;
        exit.durationMicros = micros;
        Submit(std::move(exit));
      } else {
        J2534Record call = Make(monitor::Phase::Call, startTime_, start_);
        call.fields = std::move(inputs_);
        for (PendingField& field : outputs_) call.fields.push_back(std::move(field));
        call.hasResult = true;
        call.result = rc;
        call.durationMicros = micros;
        Submit(std::move(call));
      }
    } catch (...) {
    }
  }

 private:
  J2534Record Make(monitor::Phase phase, std::uint64_t time, LARGE_INTEGER at) const {
    J2534Record r;
    r.localFileTime = time;
    r.elapsedMicros = static_cast<std::uint64_t>(
        std::max<LONGLONG>(0, at.QuadPart - state_->firstCall.QuadPart) * 1000000 /
        std::max<LONGLONG>(1, state_->frequency.QuadPart));
    r.processId = state_->processId;
    r.threadId = GetCurrentThreadId();
    r.function = function_;
    r.phase = phase;
    return r;
  }
  void Submit(J2534Record&& record) {
    state_->writer->Submit(std::make_unique<RecordEntry>(std::move(record)));
  }
  void Add(std::vector<PendingField>* list, const char* name, std::string text) noexcept {
    if (!active_) return;
    try {
      PendingField field;
      field.name = name;
      field.text = std::move(text);
      list->push_back(std::move(field));
    } catch (...) {
    }
  }
  void AddMessages(std::vector<PendingField>* list, const char* name, const PassThruMsg* msgs,
                   ULong count, bool probe) noexcept {
    if (!active_) return;
    try {
      PendingField field;
      field.name = name;
      if (msgs == nullptr) {
        field.text = "NULL";
      } else if (count == 0) {
        field.text = "no message";
      } else {
        // The count is the application's word: never read past what can be read.
        ULong shown = std::min(count, monitor::kMaxLoggedMessages);
        if (probe) {
          shown = static_cast<ULong>(std::min<std::size_t>(
              shown, monitor::ReadableBytes(msgs, shown * sizeof(PassThruMsg)) / sizeof(PassThruMsg)));
        }
        field.messages.reserve(shown);
        for (ULong i = 0; i < shown; ++i) {
          field.messages.push_back(monitor::CaptureMessage(msgs[i], MessageLimit()));
        }
        field.messagesNotLogged = count - shown;
      }
      list->push_back(std::move(field));
    } catch (...) {
    }
  }

  MonitorState* state_;
  J2534Function function_;
  bool active_ = false;
  LARGE_INTEGER start_{};
  std::uint64_t startTime_ = 0;
  std::vector<PendingField> inputs_;
  std::vector<PendingField> outputs_;
  J2534Record entry_;     // the entry phase, held back until the result is known
  bool holding_ = false;
};

std::string IdOut(const ULong* p, Long rc) {
  if (p == nullptr) return "NULL";
  return rc == STATUS_NOERROR ? Number(*p) : "(unchanged: " + Number(*p) + ")";
}

std::string CountText(const ULong* p) { return p == nullptr ? "NULL" : Number(*p); }

// An SCONFIG_LIST handed over as an Ioctl argument.
std::string ConfigList(const void* p) {
  if (p == nullptr) return "NULL";
  if (monitor::ReadableBytes(p, sizeof(SConfigList)) < sizeof(SConfigList)) return Pointer(p) + " (not readable)";
  const auto* list = static_cast<const SConfigList*>(p);
  const ULong count = list->NumOfParams;
  ULong shown = std::min(count, monitor::kMaxLoggedParams);
  shown = static_cast<ULong>(std::min<std::size_t>(
      shown, monitor::ReadableBytes(list->ConfigPtr, shown * sizeof(SConfig)) / sizeof(SConfig)));
  return monitor::ConfigListText(list->ConfigPtr, count, shown);
}

// An SBYTE_ARRAY handed over as an Ioctl argument.
std::string ByteArray(const void* p) {
  if (p == nullptr) return "NULL";
  if (monitor::ReadableBytes(p, sizeof(SByteArray)) < sizeof(SByteArray)) return Pointer(p) + " (not readable)";
  const auto* array = static_cast<const SByteArray*>(p);
  const ULong count = array->NumOfBytes;
  ULong shown = std::min(count, monitor::kMaxLoggedBytes);
  shown = static_cast<ULong>(monitor::ReadableBytes(array->BytePtr, shown));
  return monitor::ByteArrayText(array->BytePtr, count, shown);
}

Long Missing(MonitorState* s) {
  (void)s;
  return ERR_FAILED;
}

bool HaveOriginal(MonitorState* s) { return s != nullptr && s->original != nullptr; }

}  // namespace

extern "C" {

Long __stdcall PassThruOpen(void* pName, ULong* pDeviceID) {
  MonitorState* s = State();
  Call call(s, J2534Function::Open);
  if (call.Active()) {
    call.In("pName", ForeignText(pName));
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.open ? s->fn.open(pName, pDeviceID) : Missing(s);
  if (call.Active()) {
    call.Out("DeviceID", IdOut(pDeviceID, rc));
    call.Finish(rc);
  }
  return rc;
}

Long __stdcall PassThruClose(ULong DeviceID) {
  MonitorState* s = State();
  Call call(s, J2534Function::Close);
  if (call.Active()) {
    call.In("DeviceID", Number(DeviceID));
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.close ? s->fn.close(DeviceID) : Missing(s);
  if (call.Active()) {
    call.Finish(rc);
    s->writer->Flush(500);  // the session's end: on disk before the application goes on
  }
  return rc;
}

Long __stdcall PassThruConnect(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                               ULong* pChannelID) {
  MonitorState* s = State();
  Call call(s, J2534Function::Connect);
  if (call.Active()) {
    call.In("DeviceID", Number(DeviceID));
    call.In("ProtocolID", ProtocolName(ProtocolID));
    call.In("Flags", ConnectFlagsText(Flags));
    call.In("BaudRate", Number(BaudRate));
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.connect
                      ? s->fn.connect(DeviceID, ProtocolID, Flags, BaudRate, pChannelID)
                      : Missing(s);
  if (call.Active()) {
    call.Out("ChannelID", IdOut(pChannelID, rc));
    call.Finish(rc);
  }
  return rc;
}

Long __stdcall PassThruDisconnect(ULong ChannelID) {
  MonitorState* s = State();
  Call call(s, J2534Function::Disconnect);
  if (call.Active()) {
    call.In("ChannelID", Number(ChannelID));
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.disconnect ? s->fn.disconnect(ChannelID) : Missing(s);
  call.Finish(rc);
  return rc;
}

Long __stdcall PassThruReadMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  MonitorState* s = State();
  Call call(s, J2534Function::ReadMsgs);
  const ULong room = pNumMsgs != nullptr ? *pNumMsgs : 0;
  if (call.Active()) {
    call.In("ChannelID", Number(ChannelID));
    call.In("NumMsgs (room)", CountText(pNumMsgs));
    call.In("Timeout (ms)", Number(Timeout));
    call.Begin(true);
  }
  const bool forwarded = HaveOriginal(s) && s->fn.readMsgs;
  const Long rc = forwarded ? s->fn.readMsgs(ChannelID, pMsg, pNumMsgs, Timeout) : Missing(s);
  if (call.Active()) {
    // Never more than the application made room for, nor what the original did not give.
    const ULong read = forwarded && pNumMsgs != nullptr ? std::min(*pNumMsgs, room) : 0;
    call.Out("NumMsgs (read)", CountText(pNumMsgs));
    if (read != 0 || pMsg == nullptr) call.OutMessages("Msg", pMsg, read);
    call.Finish(rc, rc == ERR_BUFFER_EMPTY && read == 0);
  }
  return rc;
}

Long __stdcall PassThruWriteMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  MonitorState* s = State();
  Call call(s, J2534Function::WriteMsgs);
  if (call.Active()) {
    call.In("ChannelID", Number(ChannelID));
    call.In("NumMsgs (to send)", CountText(pNumMsgs));
    call.In("Timeout (ms)", Number(Timeout));
    call.InMessages("Msg", pMsg, pNumMsgs != nullptr ? *pNumMsgs : 0);
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.writeMsgs
                      ? s->fn.writeMsgs(ChannelID, pMsg, pNumMsgs, Timeout)
                      : Missing(s);
  if (call.Active()) {
    call.Out("NumMsgs (sent)", CountText(pNumMsgs));
    call.Finish(rc);
  }
  return rc;
}

Long __stdcall PassThruStartPeriodicMsg(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID,
                                        ULong TimeInterval) {
  MonitorState* s = State();
  Call call(s, J2534Function::StartPeriodicMsg);
  if (call.Active()) {
    call.In("ChannelID", Number(ChannelID));
    call.InMessages("Msg", pMsg, 1);
    call.In("TimeInterval (ms)", Number(TimeInterval));
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.startPeriodic
                      ? s->fn.startPeriodic(ChannelID, pMsg, pMsgID, TimeInterval)
                      : Missing(s);
  if (call.Active()) {
    call.Out("MsgID", IdOut(pMsgID, rc));
    call.Finish(rc);
  }
  return rc;
}

Long __stdcall PassThruStopPeriodicMsg(ULong ChannelID, ULong MsgID) {
  MonitorState* s = State();
  Call call(s, J2534Function::StopPeriodicMsg);
  if (call.Active()) {
    call.In("ChannelID", Number(ChannelID));
    call.In("MsgID", Number(MsgID));
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.stopPeriodic ? s->fn.stopPeriodic(ChannelID, MsgID)
                                                        : Missing(s);
  call.Finish(rc);
  return rc;
}

Long __stdcall PassThruStartMsgFilter(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                      PassThruMsg* pPatternMsg, PassThruMsg* pFlowControlMsg,
                                      ULong* pFilterID) {
  MonitorState* s = State();
  Call call(s, J2534Function::StartMsgFilter);
  if (call.Active()) {
    call.In("ChannelID", Number(ChannelID));
    call.In("FilterType", FilterTypeName(FilterType));
    call.InMessages("MaskMsg", pMaskMsg, 1);
    call.InMessages("PatternMsg", pPatternMsg, 1);
    call.InMessages("FlowControlMsg", pFlowControlMsg, 1);
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.startFilter
                      ? s->fn.startFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg,
                                          pFlowControlMsg, pFilterID)
                      : Missing(s);
  if (call.Active()) {
    call.Out("FilterID", IdOut(pFilterID, rc));
    call.Finish(rc);
  }
  return rc;
}

Long __stdcall PassThruStopMsgFilter(ULong ChannelID, ULong FilterID) {
  MonitorState* s = State();
  Call call(s, J2534Function::StopMsgFilter);
  if (call.Active()) {
    call.In("ChannelID", Number(ChannelID));
    call.In("FilterID", Number(FilterID));
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.stopFilter ? s->fn.stopFilter(ChannelID, FilterID)
                                                      : Missing(s);
  call.Finish(rc);
  return rc;
}

Long __stdcall PassThruSetProgrammingVoltage(ULong DeviceID, ULong PinNumber, ULong Voltage) {
  MonitorState* s = State();
  Call call(s, J2534Function::SetProgrammingVoltage);
  if (call.Active()) {
    call.In("DeviceID", Number(DeviceID));
    call.In("PinNumber", Number(PinNumber));
    call.In("Voltage", Voltage == 0xFFFFFFFF   ? std::string("VOLTAGE_OFF")
                       : Voltage == 0xFFFFFFFE ? std::string("SHORT_TO_GROUND")
                                               : Number(Voltage) + " mV");
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.setVoltage ? s->fn.setVoltage(DeviceID, PinNumber, Voltage)
                                                      : Missing(s);
  call.Finish(rc);
  return rc;
}

Long __stdcall PassThruReadVersion(ULong DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                   char* pApiVersion) {
  MonitorState* s = State();
  Call call(s, J2534Function::ReadVersion);
  if (call.Active()) {
    call.In("DeviceID", Number(DeviceID));
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.readVersion
                      ? s->fn.readVersion(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion)
                      : Missing(s);
  if (call.Active()) {
    const bool ok = rc == STATUS_NOERROR;
    call.Out("FirmwareVersion", ok || pFirmwareVersion == nullptr ? ForeignText(pFirmwareVersion) : "-");
    call.Out("DllVersion", ok || pDllVersion == nullptr ? ForeignText(pDllVersion) : "-");
    call.Out("ApiVersion", ok || pApiVersion == nullptr ? ForeignText(pApiVersion) : "-");
    call.Finish(rc);
  }
  return rc;
}

Long __stdcall PassThruGetLastError(char* pErrorDescription) {
  MonitorState* s = State();
  Call call(s, J2534Function::GetLastError);
  if (call.Active()) call.Begin();
  Long rc;
  if (HaveOriginal(s) && s->fn.getLastError) {
    rc = s->fn.getLastError(pErrorDescription);
  } else if (pErrorDescription == nullptr) {
    rc = ERR_NULL_PARAMETER;
  } else {
    const char* text = s != nullptr ? s->missingText : "J2534 monitor: not initialised";
    std::strncpy(pErrorDescription, text, kTextChars - 1);
    pErrorDescription[kTextChars - 1] = '\0';
    rc = STATUS_NOERROR;
  }
  if (call.Active()) {
    call.Out("ErrorDescription", rc == STATUS_NOERROR || pErrorDescription == nullptr
                                     ? ForeignText(pErrorDescription)
                                     : "-");
    call.Finish(rc);
  }
  return rc;
}

Long __stdcall PassThruIoctl(ULong ChannelID, ULong IoctlID, void* pInput, void* pOutput) {
  MonitorState* s = State();
  Call call(s, J2534Function::Ioctl);
  const bool deviceLevel = IoctlID == READ_VBATT || IoctlID == READ_PROG_VOLTAGE;
  if (call.Active()) {
    call.In(deviceLevel ? "DeviceID" : "ChannelID", Number(ChannelID));
    call.In("IoctlID", IoctlName(IoctlID));
    switch (IoctlID) {
      case GET_CONFIG: call.In("Input (parameters)", ConfigList(pInput)); break;
      case SET_CONFIG: call.In("Input", ConfigList(pInput)); break;
      case FIVE_BAUD_INIT:
      case ADD_TO_FUNCT_MSG_LOOKUP_TABLE:
      case DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE: call.In("Input", ByteArray(pInput)); break;
      case FAST_INIT: call.InMessages("Input", static_cast<const PassThruMsg*>(pInput), 1); break;
      case READ_VBATT:
      case READ_PROG_VOLTAGE:
      case CLEAR_TX_BUFFER:
      case CLEAR_RX_BUFFER:
      case CLEAR_PERIODIC_MSGS:
      case CLEAR_MSG_FILTERS:
      case CLEAR_FUNCT_MSG_LOOKUP_TABLE: break;
      default:
        call.In("Input", Pointer(pInput));
        call.In("Output", Pointer(pOutput));
    }
    call.Begin();
  }
  const Long rc = HaveOriginal(s) && s->fn.ioctl ? s->fn.ioctl(ChannelID, IoctlID, pInput, pOutput)
                                                 : Missing(s);
  if (call.Active()) {
    const bool ok = rc == STATUS_NOERROR;
    switch (IoctlID) {
      case GET_CONFIG:
        if (ok) call.Out("Output", ConfigList(pInput));
        break;
      case READ_VBATT:
      case READ_PROG_VOLTAGE: {
        const ULong* mv = static_cast<const ULong*>(pOutput);
        call.Out("Output", mv == nullptr ? "NULL" : ok ? Number(*mv) + " mV" : "-");
        break;
      }
      case FIVE_BAUD_INIT:
        call.Out("Output", pOutput == nullptr ? "NULL" : ok ? ByteArray(pOutput) : "-");
        break;
      case FAST_INIT:
        if (ok || pOutput == nullptr) {
          call.OutMessages("Output", static_cast<const PassThruMsg*>(pOutput), 1);
        }
        break;
      default: break;
    }
    call.Finish(rc);
  }
  return rc;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      g_self = instance;
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH:
      // Process exit: the writer thread is gone; write what it left, waiting for nothing.
      // FreeLibrary: the writer thread holds this module while it runs, so nothing is queued.
      if (reserved != nullptr && g_state != nullptr && g_state->writer != nullptr) {
        g_state->writer->FlushAtProcessExit();
      }
      break;
    default: break;
  }
  return TRUE;
}
