#include "monitoring/discovery.h"

namespace varrow {

void LoadMonitoringConfiguration(MonitoringState&, const RegistryRoots&, int, const std::wstring&) {}

}  // namespace varrow
