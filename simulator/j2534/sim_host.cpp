// The simulated J2534 libraries' lock, clock, timer thread and error text
// (see sim_host.h).
#include "simulator/j2534/sim_host.h"

#include <cstring>


namespace simulator::host {

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;
SimDevice* g_timed = nullptr;  // the device the timer thread serves
bool g_stop = false;
HANDLE g_timer = nullptr;
char g_lastError[passthru::kTextChars] = "";

// Runs what the device has due (periodic messages, consecutive frames, the
// vehicle's delayed answers, flow-control time-outs) until told to stop. It
// holds a reference on this library so that FreeLibrary cannot unmap it underneath.
DWORD WINAPI TimerThread(void*) {
  {
    Locked lock;
    while (!g_stop) {
      const std::uint64_t due = g_timed->NextDue();
      const std::uint64_t now = NowMicros();
      if (due <= now) {
        g_timed->RunDue(now);
        WakeAllConditionVariable(&g_changed);
        continue;
      }
      DWORD waitMs = INFINITE;
      if (due != kNever) waitMs = static_cast<DWORD>((due - now + 999) / 1000);
      SleepConditionVariableSRW(&g_changed, &g_lock, waitMs, 0);
    }
  }
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&TimerThread), &self);
  // Its last reference may unload the library before the thread's end is told.
  monitor::ReleaseThreadRuntimeData(self);
  FreeLibraryAndExitThread(self, 0);
}

}  // namespace

Locked::Locked() { AcquireSRWLockExclusive(&g_lock); }
Locked::~Locked() { ReleaseSRWLockExclusive(&g_lock); }

std::uint64_t NowMicros() {
  static LARGE_INTEGER frequency{}, start{};
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  if (frequency.QuadPart == 0) {
    QueryPerformanceFrequency(&frequency);
    start = now;
  }
  return static_cast<std::uint64_t>((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
}

void WakeAll() { WakeAllConditionVariable(&g_changed); }

void WaitUntil(std::uint64_t deadlineUs) {
  const std::uint64_t now = NowMicros();
  if (now >= deadlineUs) return;
  SleepConditionVariableSRW(&g_changed, &g_lock, static_cast<DWORD>((deadlineUs - now + 999) / 1000), 0);
}

bool StartTimer(SimDevice* device) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&TimerThread), &self))
    return false;
  g_timed = device;
  g_stop = false;
  HANDLE thread = CreateThread(nullptr, 0, TimerThread, nullptr, 0, nullptr);
  if (thread == nullptr) {
    FreeLibrary(self);
    return false;
  }
  g_timer = thread;  // until StopTimer hands it out to be waited for
  return true;
}

HANDLE StopTimer() {
  g_stop = true;
  WakeAllConditionVariable(&g_changed);
  HANDLE thread = g_timer;
  g_timer = nullptr;
  return thread;
}

void JoinTimer(HANDLE thread) {
  if (thread == nullptr) return;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

void SetErrorText(const char* text) {
  std::strncpy(g_lastError, text, passthru::kTextChars - 1);
  g_lastError[passthru::kTextChars - 1] = '\0';
}

passthru::Long Remember(const SimDevice& device, passthru::Long code) {
  if (code != passthru::STATUS_NOERROR) SetErrorText(device.lastError().c_str());
  return code;
}

void CopyErrorText(char* out) {
  std::memcpy(out, g_lastError, passthru::kTextChars);
  out[passthru::kTextChars - 1] = '\0';
}

passthru::Long LastErrorExport(char* out) {
  try {
    if (out == nullptr) return passthru::ERR_NULL_PARAMETER;
    Locked lock;
    CopyErrorText(out);
    return passthru::STATUS_NOERROR;
  } catch (...) {
    return passthru::ERR_FAILED;
  }
}

passthru::Long Failed(const char* text) {
  Locked lock;
  SetErrorText(text);
  return passthru::ERR_FAILED;
}

}  // namespace simulator::host
