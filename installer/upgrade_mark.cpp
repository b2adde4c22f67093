#include "installer/upgrade_mark.h"

#include "settings/registry.h"

namespace varrow {

namespace {
constexpr std::uint64_t kClockSlack = 60ULL * 10000000;  // one minute
}  // namespace

std::uint64_t TimeNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

LONG WriteUpgradeMark(HKEY machine, std::uint64_t now) {
  RegKey key;
  const LONG rc = key.Create(machine, kUpgradeMarkKey, KEY_SET_VALUE);
  if (rc != ERROR_SUCCESS) return rc;
  return RegSetValueExW(key.Get(), kUpgradeMarkValue, 0, REG_QWORD,
                        reinterpret_cast<const BYTE*>(&now), sizeof(now));
}

bool UpgradeMarkCounts(HKEY machine, std::uint64_t now) {
  RegKey key;
  if (key.Open(machine, kUpgradeMarkKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;
  std::uint64_t started = 0;
  DWORD type = 0;
  DWORD bytes = sizeof(started);
  if (RegQueryValueExW(key.Get(), kUpgradeMarkValue, nullptr, &type,
                       reinterpret_cast<BYTE*>(&started), &bytes) != ERROR_SUCCESS ||
      type != REG_QWORD || bytes != sizeof(started)) {
    return false;
  }
  if (started > now) return started - now <= kClockSlack;
  return now - started <= kUpgradeMarkLifetime;
}

void ClearUpgradeMark(HKEY machine) {
  RegKey key;
  if (key.Open(machine, kUpgradeMarkKey, KEY_SET_VALUE | KEY_QUERY_VALUE) != ERROR_SUCCESS) return;
  (void)RegDeleteValueW(key.Get(), kUpgradeMarkValue);
  DWORD subkeys = 0, values = 0;
  const bool empty = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr,
                                      nullptr, &values, nullptr, nullptr, nullptr, nullptr) ==
                         ERROR_SUCCESS && subkeys == 0 && values == 0;
  key.Close();
  if (empty) {
    RegKey vendor;
    if (vendor.Open(machine, L"SOFTWARE\\OVRA", DELETE | KEY_SET_VALUE) == ERROR_SUCCESS) {
      (void)RegDeleteKeyW(vendor.Get(), L"Installer");
    }
  }
}

}  // namespace varrow
