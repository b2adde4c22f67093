#include "monitoring/maintenance.h"

namespace varrow {
void DisableAllMonitoring() {}
void UninstallUserSettings() {}
}  // namespace varrow
