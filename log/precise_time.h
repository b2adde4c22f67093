// The monitors' one clock: the system time to the microsecond where Windows
// has it (Windows 8 and later; looked up at run time, so that a monitor
// library still loads on Windows 7), in local time that follows the
// daylight-saving changes, and counter ticks turned into microseconds.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace monitor {

// The current UTC time as a FILETIME.
void PreciseSystemTime(FILETIME* utc) noexcept;

// Microseconds of `ticks` performance-counter ticks at `frequency` ticks per
// second (0 for negative ticks or a frequency below 1); exact and free of
// overflow for any uptime.
std::uint64_t TicksToMicros(std::int64_t ticks, std::int64_t frequency) noexcept;

// The offset of local time from UTC (100 ns units) at the UTC time `utc`.
using LocalBiasFn = std::int64_t (*)(std::uint64_t utc);
// The offset of this machine's time zone now (FileTimeToLocalFileTime).
std::int64_t SystemLocalBias(std::uint64_t utc) noexcept;

// Local time from UTC with the offset asked again at most once a second, so
// that a daylight-saving change shows within a second, at the cost of one
// atomic load per call otherwise. Safe across threads.
class LocalClock {
 public:
  constexpr explicit LocalClock(LocalBiasFn bias = &SystemLocalBias) : bias_(bias) {}
  // `utc` (100 ns units since 1601) in local time.
  std::uint64_t Local(std::uint64_t utc) noexcept;

 private:
  LocalBiasFn bias_;
  // The offset in minutes (upper 16 bits, signed) and the UTC second from
  // which it must be asked again (lower 48 bits); 0: not asked yet.
  std::atomic<std::uint64_t> cache_{0};
};

// The current local time (100 ns units since 1601), precise where Windows allows.
std::uint64_t LocalFileTimeNow() noexcept;

}  // namespace monitor
