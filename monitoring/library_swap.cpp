#include "monitoring/library_swap.h"

namespace varrow {

std::wstring SystemErrorText(DWORD) { return {}; }
void WriteMessageSizeList(const MessageSizeList&, HKEY) {}
bool ApplyMonitorState(ApiImplementation&, HKEY) { return false; }
bool ApplyMonitorState(ApiImplementation&, HKEY, DWORD*) { return false; }
bool SaveJ2534Monitoring(MonitoringState&, const RegistryRoots&, const wchar_t*, int, FileErrorReporter&) { return false; }
bool SavePduMonitoring(MonitoringState&, const RegistryRoots&, int, FileErrorReporter&) { return false; }

}  // namespace varrow
