#include "log/precise_time.h"

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

constexpr std::uint64_t kTicksPerSecond = 10000000;  // FILETIME units
constexpr std::int64_t kTicksPerMinute = 600000000;
constexpr std::uint64_t kSecondMask = (std::uint64_t{1} << 48) - 1;

std::uint64_t Value(FILETIME t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
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

std::uint64_t TicksToMicros(std::int64_t ticks, std::int64_t frequency) noexcept {
  if (ticks <= 0 || frequency < 1) return 0;
  // Whole seconds and the rest apart: ticks × 1,000,000 overflows after days.
  const auto t = static_cast<std::uint64_t>(ticks);
  const auto f = static_cast<std::uint64_t>(frequency);
  return t / f * 1000000 + t % f * 1000000 / f;
}

std::int64_t SystemLocalBias(std::uint64_t utc) noexcept {
  FILETIME u{static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)};
  FILETIME local{};
  if (!FileTimeToLocalFileTime(&u, &local)) return 0;
  return static_cast<std::int64_t>(Value(local) - utc);
}

std::uint64_t LocalClock::Local(std::uint64_t utc) noexcept {
  const std::uint64_t second = utc / kTicksPerSecond;
  std::uint64_t cached = cache_.load(std::memory_order_relaxed);
  if (cached == 0 || second >= (cached & kSecondMask)) {
    const std::int64_t minutes = bias_(utc) / kTicksPerMinute;
    cached = (static_cast<std::uint64_t>(static_cast<std::uint16_t>(static_cast<std::int16_t>(minutes))) << 48) |
             ((second + 1) & kSecondMask);
    cache_.store(cached, std::memory_order_relaxed);
  }
  const auto minutes = static_cast<std::int16_t>(static_cast<std::uint16_t>(cached >> 48));
  return utc + static_cast<std::uint64_t>(static_cast<std::int64_t>(minutes) * kTicksPerMinute);
}

std::uint64_t LocalFileTimeNow() noexcept {
  static LocalClock clock;
  FILETIME utc;
  PreciseSystemTime(&utc);
  return clock.Local(Value(utc));
}

}  // namespace monitor
