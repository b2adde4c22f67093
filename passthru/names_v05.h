// The names of the J2534 05.00 codes, ids and flags as a log shows them, and
// the table that picks one version's names. Free of Windows headers (fuzzed
// natively). Unknown values are shown in hex, as for 04.04.
#pragma once

#include <string>

#include "passthru/j2534_v05.h"
#include "passthru/names.h"

namespace passthru {

// The J2534 version a library speaks (its registration: PassThruSupport.04.04
// or PassThruSupport.05.00).
enum class ApiVersion { k0404, k0500 };

// "04.04" or "05.00".
const char* ApiVersionText(ApiVersion version);

// One version's names: the same questions, answered with that version's values.
struct VersionNames {
  std::string (*returnCode)(Long code);
  std::string (*protocol)(ULong protocol);
  std::string (*ioctl)(ULong ioctl);
  std::string (*parameter)(ULong parameter);
  std::string (*filterType)(ULong type);
  std::string (*connectFlags)(ULong flags);
  void (*appendTxFlags)(std::string* text, ULong flags);
  void (*appendRxStatus)(std::string* text, ULong status);
  const char* (*knownProtocol)(ULong protocol);
};
const VersionNames& NamesOf(ApiVersion version);

namespace v05 {

// As the 04.04 functions of the same names (passthru/names.h), with 05.00's values.
std::string ReturnCodeName(Long code);
std::string ProtocolName(ULong protocol);
std::string IoctlName(ULong ioctl);
std::string ParameterName(ULong parameter);
std::string FilterTypeName(ULong type);
std::string ConnectFlagsText(ULong flags);
std::string TxFlagsText(ULong flags);
std::string RxStatusText(ULong status);
void AppendTxFlagsText(std::string* text, ULong flags);
void AppendRxStatusText(std::string* text, ULong status);
const char* KnownProtocolName(ULong protocol);

// "READABLE_TYPE"; "0x%X" for any other.
std::string SelectTypeName(ULong type);
// "J1962_CONNECTOR"; "0x%X" for any other.
std::string ConnectorName(ULong connector);
// SDEVICE members: "DEVICE_AVAILABLE", "DEVICE_DLL_FW_COMPATIBLE",
// "DEVICE_CONN_WIRED", ...; "0x%X" for any other value.
std::string DeviceAvailableName(ULong value);
std::string DeviceDllFwStatusName(ULong value);
std::string DeviceConnectMediaName(ULong value);
// SetProgrammingVoltage's voltage: "SHORT_TO_GROUND", "PIN_OFF" or "<n> mV".
std::string VoltageText(ULong voltage);

}  // namespace v05
}  // namespace passthru
