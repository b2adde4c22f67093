#include "monitoring/maintenance.h"

namespace varrow {

MachineLayout MachineLayout::Real() { return {}; }
bool RestoreLibrary(const std::wstring&, const std::wstring&) { return false; }
void DisableAllMonitoring(const MachineLayout&) {}
void UninstallUserSettings(const MachineLayout&) {}
std::vector<std::wstring> ReadRp1210Implementations(const std::wstring&) { return {}; }
void DisableAllMonitoring() { DisableAllMonitoring(MachineLayout::Real()); }
void UninstallUserSettings() { UninstallUserSettings(MachineLayout::Real()); }

}  // namespace varrow
