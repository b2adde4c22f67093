// The J2534 monitor library's state: the original library and its functions,
// the settings and the log writer, made at the process's first call (never in
// DllMain) and given back when the module is unloaded.
#pragma once

#include <windows.h>

#include <cstdint>

#include "log/log_writer.h"
#include "monitor/settings_lookup.h"
#include "passthru/j2534.h"
#include "passthru/j2534_v05.h"
#include "passthru/names_v05.h"

namespace monitor {

// The original library's 14 functions (null where it lacks one).
struct OriginalFunctions {
  passthru::PassThruOpenFn open = nullptr;
  passthru::PassThruCloseFn close = nullptr;
  passthru::PassThruConnectFn connect = nullptr;
  passthru::PassThruDisconnectFn disconnect = nullptr;
  passthru::PassThruReadMsgsFn readMsgs = nullptr;
  passthru::PassThruWriteMsgsFn writeMsgs = nullptr;
  passthru::PassThruStartPeriodicMsgFn startPeriodic = nullptr;
  passthru::PassThruStopPeriodicMsgFn stopPeriodic = nullptr;
  passthru::PassThruStartMsgFilterFn startFilter = nullptr;
  passthru::PassThruStopMsgFilterFn stopFilter = nullptr;
  passthru::PassThruSetProgrammingVoltageFn setVoltage = nullptr;
  passthru::PassThruReadVersionFn readVersion = nullptr;
  passthru::PassThruGetLastErrorFn getLastError = nullptr;
  passthru::PassThruIoctlFn ioctl = nullptr;
};

// The original library's functions as 05.00 declares them (null where it
// lacks one). Resolved in every session: a 04.04 library may export the
// functions 05.00 added, and its session forwards to them.
struct OriginalV05Functions {
  passthru::v05::PassThruScanForDevicesFn scan = nullptr;
  passthru::v05::PassThruGetNextDeviceFn getNext = nullptr;
  passthru::v05::PassThruOpenFn open = nullptr;
  passthru::v05::PassThruConnectFn connect = nullptr;
  passthru::v05::PassThruLogicalConnectFn logicalConnect = nullptr;
  passthru::v05::PassThruLogicalDisconnectFn logicalDisconnect = nullptr;
  passthru::v05::PassThruSelectFn select = nullptr;
  passthru::v05::PassThruReadMsgsFn readMsgs = nullptr;
  passthru::v05::PassThruQueueMsgsFn queueMsgs = nullptr;
  passthru::v05::PassThruStartPeriodicMsgFn startPeriodic = nullptr;
  passthru::v05::PassThruStartMsgFilterFn startFilter = nullptr;
  passthru::v05::PassThruSetProgrammingVoltageFn setVoltage = nullptr;
  passthru::v05::PassThruIoctlFn ioctl = nullptr;
};

// What every call of the process shares.
struct MonitorState {
  HMODULE original = nullptr;
  OriginalFunctions fn;
  OriginalV05Functions fn05;
  // The version this copy serves: 05.00 when its own path is registered under
  // PassThruSupport.05.00 (in this process's view of the registry).
  passthru::ApiVersion version = passthru::ApiVersion::k0404;
  char missingText[passthru::kTextChars] = {};  // PassThruGetLastError's text without the original
  MonitorSettings settings;
  LogWriter* writer = nullptr;  // lives as long as the module
  LARGE_INTEGER frequency{};
  LARGE_INTEGER firstCall{};
  std::int64_t localBias = 0;  // local minus UTC, 100 ns units
  DWORD processId = 0;
};

// Remembers this module (from DllMain) for finding its own file.
void SetJ2534Module(HMODULE self);
// The state, made at the first call of the process: loads the original
// ("_" + our file name beside us), reads the settings, prepares the writer.
// Without the original the state says why; without a log the writer is null.
// Null only when not even that could be made (no memory).
MonitorState* J2534State() noexcept;
// True when the monitor serves 05.00 (the state made first when it is not yet).
bool J2534ServesV05() noexcept;
// The state when it has been made, else null.
MonitorState* J2534StateIfReady() noexcept;
// A device was closed: what is queued is written and the writer thread ends,
// so that the module is held by the application alone and is unloaded when
// the application lets it go. Never throws.
void J2534SessionEnded(MonitorState* state) noexcept;
// DLL_PROCESS_DETACH. At process exit (`processExit`) the other threads are
// gone: writes what is queued, waiting for no lock and using no heap another
// thread may hold. On FreeLibrary the writer thread has ended (it holds the
// module while it runs): gives back the writer, its file and handles, the
// state and the original library.
void J2534ModuleDetach(bool processExit) noexcept;

}  // namespace monitor
