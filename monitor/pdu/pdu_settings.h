// Where the D-PDU monitor logs: the settings Varrow writes for the library
// registered under "PDU API Support" (user key Monitoring\PDU API\<settings
// key>), or the machine defaults with the PDU page's default log file; with
// "Store with J2534 Data" the log file and options of the J2534 implementation
// that serves the D-PDU API (its registration has PDUAPISupported = 1).
#pragma once

#include <windows.h>

#include <string>

#include "monitor/settings_lookup.h"

namespace monitor {

struct PduLogPlan {
  MonitorSettings settings;     // what the writer uses
  bool storedWithJ2534 = false; // the file and options are the J2534 implementation's
  std::wstring pduLibrary;      // the registered D-PDU library
  std::wstring j2534Library;    // the PDU-supporting J2534 library (when stored with it)
};

// The file name of the PDU page's default log (LogFileLocation + "PDU\" + it) for
// the installed brand: "Torva-Link.txt" (brand 1), "Halden-VCI.txt" (brand 2), else "OVRA-VCI.txt".
const wchar_t* PduLogFileName(const SettingsRoots& roots);

// The registered D-PDU library (vendor key "PDU API Support", FunctionLibrary),
// and the FunctionLibrary of the last J2534 device key flagged PDUAPISupported = 1.
std::wstring RegisteredPduLibrary(HKEY machine);
std::wstring PduSupportingJ2534Library(HKEY machine);

// The settings of the monitor at `ownPath`. Never fails (see LookUpSettings).
PduLogPlan LookUpPduSettings(const std::wstring& ownPath, const SettingsRoots& roots);

}  // namespace monitor
