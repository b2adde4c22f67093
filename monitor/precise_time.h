// The system time to the microsecond where Windows has it (Windows 8 and
// later), else to the system tick: looked up at run time, so that a monitor
// library still loads on Windows 7.
#pragma once

#include <windows.h>

namespace monitor {

// The current UTC time as a FILETIME.
void PreciseSystemTime(FILETIME* utc) noexcept;

}  // namespace monitor
