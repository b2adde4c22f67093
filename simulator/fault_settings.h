// The simulated vehicle's fault settings, from the user's registry:
// HKCU\SOFTWARE\OVRA\OVRA_VCI\Simulator, REG_DWORD values
//   ResponseDelayMs    extra time before every answer (ms, at most 10000)
//   UnansweredPercent  share of requests that get no answer (0..100)
//   PendingResponses   "response pending" answers before every positive one (at most 20)
// A missing key or value, or a value of another type or size, counts as 0:
// a healthy vehicle. Both simulated VCIs read them at each connect.
#pragma once

#include <windows.h>

#include <cstdint>

#include "simulator/vehicle/vehicle.h"

namespace simulator {

constexpr wchar_t kSimulatorKey[] = L"SOFTWARE\\OVRA\\OVRA_VCI\\Simulator";

// Reads one REG_DWORD value of an open key into `value`; false (and `value`
// untouched) when it is missing or of another type or size.
bool ReadSimulatorDword(HKEY key, const wchar_t* name, std::uint32_t* value);

// Reads the settings (never fails: what cannot be read is 0).
Faults ReadFaultSettings();

}  // namespace simulator
