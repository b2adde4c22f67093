#include "monitor/j2534/j2534_state.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "log/log_format.h"
#include "monitor/forward_pool.h"
#include "hosted/module_release.h"
#include "log/precise_time.h"
#include "monitor/split_heap.h"
#include "log/text_rules.h"
#include "monitor/win_text.h"
#include "monitoring/path_rules.h"

namespace monitor {

using namespace passthru;

namespace {

HMODULE g_self = nullptr;

MonitorState* g_state = nullptr;
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;



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
  OriginalV05Functions& v = s->fn05;
  Resolve(m, "PassThruScanForDevices", &v.scan);
  Resolve(m, "PassThruGetNextDevice", &v.getNext);
  Resolve(m, "PassThruOpen", &v.open);
  Resolve(m, "PassThruConnect", &v.connect);
  Resolve(m, "PassThruLogicalConnect", &v.logicalConnect);
  Resolve(m, "PassThruLogicalDisconnect", &v.logicalDisconnect);
  Resolve(m, "PassThruSelect", &v.select);
  Resolve(m, "PassThruReadMsgs", &v.readMsgs);
  Resolve(m, "PassThruQueueMsgs", &v.queueMsgs);
  Resolve(m, "PassThruStartPeriodicMsg", &v.startPeriodic);
  Resolve(m, "PassThruStartMsgFilter", &v.startFilter);
  Resolve(m, "PassThruSetProgrammingVoltage", &v.setVoltage);
  Resolve(m, "PassThruIoctl", &v.ioctl);
}

// The first call of the process: load the original, read the settings, prepare the writer.
BOOL CALLBACK Initialize(PINIT_ONCE, PVOID, PVOID*) {
  try {
    auto* s = new MonitorState;
    s->processId = GetCurrentProcessId();
    QueryPerformanceFrequency(&s->frequency);
    FILETIME utc;
    PreciseSystemTime(&utc);
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
      // Our registration says which version we serve; a path registered under
      // both is served as 05.00 (its applications ask for the newer interface).
      std::vector<std::wstring> registered = RegisteredJ2534Libraries(HKEY_LOCAL_MACHINE, kPassThruSupport0500);
      if (NamesOwnFile(registered, ownPath)) s->version = ApiVersion::k0500;
      for (std::wstring& path : RegisteredJ2534Libraries(HKEY_LOCAL_MACHINE)) registered.push_back(std::move(path));
      s->settings = LookUpSettings(L"J2534 API", ownPath, registered, {});
      WriterOptions options;
      options.path = s->settings.outputFile;
      options.format = FormatFromSetting(s->settings.outputFormat);
      options.overwrite = s->settings.overwrite;
      options.debugView = s->settings.logDebugView;
      options.api = "J2534";
      options.title = "J2534 API log";
      FILETIME localNow{};
      FileTimeToLocalFileTime(&utc, &localNow);
      options.session.start = WallTimeFromFileTime(
          (static_cast<std::uint64_t>(localNow.dwHighDateTime) << 32) | localNow.dwLowDateTime);
      options.session.processId = s->processId;
      options.session.program = Utf8(ModulePath(nullptr));
      options.session.library = Utf8(s->settings.library);
      options.session.api = "J2534";
      s->writer = new LogWriter(std::move(options));
    } catch (...) {
      OutputDebugStringW(L"[J2534 monitor] cannot prepare the log; calls are forwarded unlogged\n");
    }
    QueryPerformanceCounter(&s->firstCall);  // the first call starts now
    g_state = s;
  } catch (...) {
  }
  return TRUE;
}

}  // namespace

void SetJ2534Module(HMODULE self) {
  g_self = self;
  ReleaseThreadRuntimeData(self);
}

MonitorState* J2534State() noexcept {
  InitOnceExecuteOnce(&g_once, Initialize, nullptr, nullptr);
  return g_state;
}

MonitorState* J2534StateIfReady() noexcept { return g_state; }

bool J2534ServesV05() noexcept {
  const MonitorState* s = J2534State();
  return s != nullptr && s->version == ApiVersion::k0500;
}

void J2534SessionEnded(MonitorState* state) noexcept {
  if (state != nullptr) NoteForwardedCalls(state->writer);  // the other functions forwarded
  if (state != nullptr && state->writer != nullptr) state->writer->Finish(1000);
  ReleaseThreadRuntimeData(g_self);
}

void J2534ModuleDetach(bool processExit) noexcept {
  MonitorState* s = g_state;
  if (processExit) {
    BeginProcessExit();
    if (s != nullptr && s->writer != nullptr) s->writer->FlushAtProcessExit();
    return;
  }
  if (s == nullptr) return;
  g_state = nullptr;
  delete s->writer;  // its thread has ended: it held this module while it ran
  s->writer = nullptr;
  FreeLibraryAfterLoaderLock(s->original);
  delete s;
}

}  // namespace monitor
