// Scaffolding of the monitor library's tests: a copy of the monitor library
// standing in for a library whose original (the stand-in of
// tests/helpers/fake_passthru.h) lies beside it, with the predefined registry
// roots redirected to scratch keys, and strict checkers of the log formats.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "passthru/j2534.h"
#include "passthru/j2534_v05.h"
#include "passthru/names_v05.h"
#include "tests/helpers/fake_passthru.h"
#include "tests/test_support.h"

namespace varrow::test {

// The 14 exports of a loaded J2534 library.
struct PassThruApi {
  HMODULE module = nullptr;
  passthru::PassThruOpenFn Open = nullptr;
  passthru::PassThruCloseFn Close = nullptr;
  passthru::PassThruConnectFn Connect = nullptr;
  passthru::PassThruDisconnectFn Disconnect = nullptr;
  passthru::PassThruReadMsgsFn ReadMsgs = nullptr;
  passthru::PassThruWriteMsgsFn WriteMsgs = nullptr;
  passthru::PassThruStartPeriodicMsgFn StartPeriodicMsg = nullptr;
  passthru::PassThruStopPeriodicMsgFn StopPeriodicMsg = nullptr;
  passthru::PassThruStartMsgFilterFn StartMsgFilter = nullptr;
  passthru::PassThruStopMsgFilterFn StopMsgFilter = nullptr;
  passthru::PassThruSetProgrammingVoltageFn SetProgrammingVoltage = nullptr;
  passthru::PassThruReadVersionFn ReadVersion = nullptr;
  passthru::PassThruGetLastErrorFn GetLastError = nullptr;
  passthru::PassThruIoctlFn Ioctl = nullptr;
  // Loads `path` and resolves every export; false when one is missing.
  bool Load(const std::wstring& path);
};

// The 19 exports of a loaded J2534 05.00 library.
struct PassThruApi05 {
  HMODULE module = nullptr;
  passthru::v05::PassThruScanForDevicesFn ScanForDevices = nullptr;
  passthru::v05::PassThruGetNextDeviceFn GetNextDevice = nullptr;
  passthru::v05::PassThruOpenFn Open = nullptr;
  passthru::v05::PassThruCloseFn Close = nullptr;
  passthru::v05::PassThruConnectFn Connect = nullptr;
  passthru::v05::PassThruDisconnectFn Disconnect = nullptr;
  passthru::v05::PassThruLogicalConnectFn LogicalConnect = nullptr;
  passthru::v05::PassThruLogicalDisconnectFn LogicalDisconnect = nullptr;
  passthru::v05::PassThruSelectFn Select = nullptr;
  passthru::v05::PassThruReadMsgsFn ReadMsgs = nullptr;
  passthru::v05::PassThruQueueMsgsFn QueueMsgs = nullptr;
  passthru::v05::PassThruStartPeriodicMsgFn StartPeriodicMsg = nullptr;
  passthru::v05::PassThruStopPeriodicMsgFn StopPeriodicMsg = nullptr;
  passthru::v05::PassThruStartMsgFilterFn StartMsgFilter = nullptr;
  passthru::v05::PassThruStopMsgFilterFn StopMsgFilter = nullptr;
  passthru::v05::PassThruSetProgrammingVoltageFn SetProgrammingVoltage = nullptr;
  passthru::v05::PassThruReadVersionFn ReadVersion = nullptr;
  passthru::v05::PassThruGetLastErrorFn GetLastError = nullptr;
  passthru::v05::PassThruIoctlFn Ioctl = nullptr;
  // Loads `path` and resolves every export; false when one is missing.
  bool Load(const std::wstring& path);
};

// The HKLM and HKCU of this process redirected to scratch keys while it lives.
class RedirectedRegistry {
 public:
  RedirectedRegistry();
  ~RedirectedRegistry();
  RedirectedRegistry(const RedirectedRegistry&) = delete;
  RedirectedRegistry& operator=(const RedirectedRegistry&) = delete;
  HKEY Machine() const { return scratch_.Machine(); }
  HKEY User() const { return scratch_.User(); }

 private:
  ScratchRegistry scratch_;
};

// The folder of the running test program (the build's bin folder).
std::wstring BinFolder();
// Copies the monitor library to <dir>\<name> and, unless `withOriginal` is
// false, the stand-in original of `version` to <dir>\_<name>; registers
// <dir>\<name> as a J2534 device of that version. Returns the library path.
std::wstring InstallMonitor(const ScratchDir& dir, HKEY machine, const std::wstring& name,
                            bool withOriginal = true,
                            passthru::ApiVersion version = passthru::ApiVersion::k0404);
// The device key name InstallMonitor registers `name` under.
std::wstring DeviceKeyName(const std::wstring& name);
// Writes the user's monitoring settings of `library` (the values Varrow writes).
void WriteUserSettings(HKEY user, const std::wstring& library, const std::wstring& outputFile,
                       DWORD format, DWORD overwrite = 1, DWORD entryExit = 0,
                       DWORD disableBufferEmpty = 1, DWORD messageSize = 0);
// The state of the stand-in original loaded beside `library`.
fake::State* FakeStateOf(const std::wstring& library);
// A PASSTHRU_MSG of protocol CAN with `size` data bytes (byte i = seed + i).
passthru::PassThruMsg CanMessage(passthru::ULong size, std::uint8_t seed);

// Empty when `xml` is well-formed XML with one root element; else what is wrong.
std::string XmlProblem(const std::string& xml);
// The records of an RFC 4180 text (CRLF or LF between records); false when a
// quote is left open.
bool ParseCsv(const std::string& text, std::vector<std::vector<std::string>>* rows);

}  // namespace varrow::test
