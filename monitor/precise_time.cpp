#include "monitor/precise_time.h"

#include <atomic>

namespace monitor {

namespace {

using TimeFn = VOID(WINAPI*)(LPFILETIME);

TimeFn Lookup() noexcept {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto fn = kernel == nullptr ? nullptr
                              : reinterpret_cast<TimeFn>(reinterpret_cast<void*>(
                                    GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")));
  return fn != nullptr ? fn : &GetSystemTimeAsFileTime;
}

}  // namespace

void PreciseSystemTime(FILETIME* utc) noexcept {
  static std::atomic<TimeFn> fn{nullptr};
  TimeFn f = fn.load(std::memory_order_relaxed);
  if (f == nullptr) {
    f = Lookup();
    fn.store(f, std::memory_order_relaxed);
  }
  f(utc);
}

}  // namespace monitor
