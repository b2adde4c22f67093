// Reads the simulated vehicle's fault settings (see fault_settings.h).
#include "simulator/fault_settings.h"

namespace simulator {
namespace {

std::uint32_t ReadDword(HKEY key, const wchar_t* name) {
  std::uint32_t value = 0;
  return ReadSimulatorDword(key, name, &value) ? value : 0;
}

}  // namespace

bool ReadSimulatorDword(HKEY key, const wchar_t* name, std::uint32_t* value) {
  DWORD v = 0, type = 0, size = sizeof v;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof v)
    return false;
  *value = v;
  return true;
}

Faults ReadFaultSettings() {
  Faults faults;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSimulatorKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return faults;
  faults.extraDelayMs = ReadDword(key, L"ResponseDelayMs");
  faults.unansweredPercent = ReadDword(key, L"UnansweredPercent");
  faults.pendingAnswers = ReadDword(key, L"PendingResponses");
  RegCloseKey(key);
  return faults.Clamped();
}

}  // namespace simulator
