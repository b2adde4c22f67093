#include "passthru/names_v05.h"

#include <iterator>

namespace passthru {
namespace v05 {
namespace {

constexpr NamedValue kReturnCodes[] = {
    {STATUS_NOERROR, "STATUS_NOERROR"},
    {ERR_NOT_SUPPORTED, "ERR_NOT_SUPPORTED"},
    {ERR_INVALID_CHANNEL_ID, "ERR_INVALID_CHANNEL_ID"},
    {ERR_PROTOCOL_ID_NOT_SUPPORTED, "ERR_PROTOCOL_ID_NOT_SUPPORTED"},
    {ERR_NULL_PARAMETER, "ERR_NULL_PARAMETER"},
    {ERR_IOCTL_VALUE_NOT_SUPPORTED, "ERR_IOCTL_VALUE_NOT_SUPPORTED"},
    {ERR_FLAG_NOT_SUPPORTED, "ERR_FLAG_NOT_SUPPORTED"},
    {ERR_FAILED, "ERR_FAILED"},
    {ERR_DEVICE_NOT_CONNECTED, "ERR_DEVICE_NOT_CONNECTED"},
    {ERR_TIMEOUT, "ERR_TIMEOUT"},
    {ERR_INVALID_MSG, "ERR_INVALID_MSG"},
    {ERR_TIME_INTERVAL_NOT_SUPPORTED, "ERR_TIME_INTERVAL_NOT_SUPPORTED"},
    {ERR_EXCEEDED_LIMIT, "ERR_EXCEEDED_LIMIT"},
    {ERR_INVALID_MSG_ID, "ERR_INVALID_MSG_ID"},
    {ERR_DEVICE_IN_USE, "ERR_DEVICE_IN_USE"},
    {ERR_IOCTL_ID_NOT_SUPPORTED, "ERR_IOCTL_ID_NOT_SUPPORTED"},
    {ERR_BUFFER_EMPTY, "ERR_BUFFER_EMPTY"},
    {ERR_BUFFER_FULL, "ERR_BUFFER_FULL"},
    {ERR_BUFFER_OVERFLOW, "ERR_BUFFER_OVERFLOW"},
    {ERR_PIN_NOT_SUPPORTED, "ERR_PIN_NOT_SUPPORTED"},
    {ERR_RESOURCE_CONFLICT, "ERR_RESOURCE_CONFLICT"},
    {ERR_MSG_PROTOCOL_ID, "ERR_MSG_PROTOCOL_ID"},
    {ERR_INVALID_FILTER_ID, "ERR_INVALID_FILTER_ID"},
    {ERR_MSG_NOT_ALLOWED, "ERR_MSG_NOT_ALLOWED"},
    {ERR_NOT_UNIQUE, "ERR_NOT_UNIQUE"},
    {ERR_BAUDRATE_NOT_SUPPORTED, "ERR_BAUDRATE_NOT_SUPPORTED"},
    {ERR_INVALID_DEVICE_ID, "ERR_INVALID_DEVICE_ID"},
    {ERR_DEVICE_NOT_OPEN, "ERR_DEVICE_NOT_OPEN"},
    {ERR_NULL_REQUIRED, "ERR_NULL_REQUIRED"},
    {ERR_FILTER_TYPE_NOT_SUPPORTED, "ERR_FILTER_TYPE_NOT_SUPPORTED"},
    {ERR_IOCTL_PARAM_ID_NOT_SUPPORTED, "ERR_IOCTL_PARAM_ID_NOT_SUPPORTED"},
    {ERR_VOLTAGE_IN_USE, "ERR_VOLTAGE_IN_USE"},
    {ERR_PIN_IN_USE, "ERR_PIN_IN_USE"},
    {ERR_INIT_FAILED, "ERR_INIT_FAILED"},
    {ERR_OPEN_FAILED, "ERR_OPEN_FAILED"},
    {ERR_BUFFER_TOO_SMALL, "ERR_BUFFER_TOO_SMALL"},
    {ERR_LOG_CHAN_NOT_ALLOWED, "ERR_LOG_CHAN_NOT_ALLOWED"},
    {ERR_SELECT_TYPE_NOT_SUPPORTED, "ERR_SELECT_TYPE_NOT_SUPPORTED"},
    {ERR_CONCURRENT_API_CALL, "ERR_CONCURRENT_API_CALL"},
};

constexpr NamedValue kProtocols[] = {
    {J1850VPW, "J1850VPW"}, {J1850PWM, "J1850PWM"}, {ISO9141, "ISO9141"},
    {ISO14230, "ISO14230"}, {CAN, "CAN"},           {J2610, "J2610"},
    {ISO15765_LOGICAL, "ISO15765_LOGICAL"},
};

constexpr NamedValue kIoctls[] = {
    {GET_CONFIG, "GET_CONFIG"},
    {SET_CONFIG, "SET_CONFIG"},
    {READ_PIN_VOLTAGE, "READ_PIN_VOLTAGE"},
    {FIVE_BAUD_INIT, "FIVE_BAUD_INIT"},
    {FAST_INIT, "FAST_INIT"},
    {CLEAR_TX_QUEUE, "CLEAR_TX_QUEUE"},
    {CLEAR_RX_QUEUE, "CLEAR_RX_QUEUE"},
    {CLEAR_PERIODIC_MSGS, "CLEAR_PERIODIC_MSGS"},
    {CLEAR_MSG_FILTERS, "CLEAR_MSG_FILTERS"},
    {CLEAR_FUNCT_MSG_LOOKUP_TABLE, "CLEAR_FUNCT_MSG_LOOKUP_TABLE"},
    {ADD_TO_FUNCT_MSG_LOOKUP_TABLE, "ADD_TO_FUNCT_MSG_LOOKUP_TABLE"},
    {DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE, "DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE"},
    {READ_PROG_VOLTAGE, "READ_PROG_VOLTAGE"},
    {BUS_ON, "BUS_ON"},
};

constexpr NamedValue kParameters[] = {
    {DATA_RATE, "DATA_RATE"},
    {NODE_ADDRESS, "NODE_ADDRESS"},
    {NETWORK_LINE, "NETWORK_LINE"},
    {P1_MIN, "P1_MIN"},
    {P1_MAX, "P1_MAX"},
    {P2_MIN, "P2_MIN"},
    {P2_MAX, "P2_MAX"},
    {P3_MIN, "P3_MIN"},
    {P3_MAX, "P3_MAX"},
    {P4_MIN, "P4_MIN"},
    {P4_MAX, "P4_MAX"},
    {W1_MAX, "W1_MAX"},
    {W2_MAX, "W2_MAX"},
    {W3_MAX, "W3_MAX"},
    {W4_MIN, "W4_MIN"},
    {W5_MIN, "W5_MIN"},
    {TIDLE, "TIDLE"},
    {TINIL, "TINIL"},
    {TWUP, "TWUP"},
    {PARITY, "PARITY"},
    {W0_MIN, "W0_MIN"},
    {T1_MAX, "T1_MAX"},
    {T2_MIN, "T2_MIN"},
    {T4_MAX, "T4_MAX"},
    {T5_MIN, "T5_MIN"},
    {ISO15765_BS, "ISO15765_BS"},
    {ISO15765_STMIN, "ISO15765_STMIN"},
    {DATA_BITS, "DATA_BITS"},
    {FIVE_BAUD_MOD, "FIVE_BAUD_MOD"},
    {BS_TX, "BS_TX"},
    {STMIN_TX, "STMIN_TX"},
    {T3_MAX, "T3_MAX"},
    {ISO15765_WAIT_LIMIT, "ISO15765_WAIT_LIMIT"},
    {W1_MIN, "W1_MIN"},
    {W2_MIN, "W2_MIN"},
    {W3_MIN, "W3_MIN"},
    {W4_MAX, "W4_MAX"},
    {N_BR_MIN, "N_BR_MIN"},
    {ISO15765_PAD_VALUE, "ISO15765_PAD_VALUE"},
    {N_AS_MAX, "N_AS_MAX"},
    {N_AR_MAX, "N_AR_MAX"},
    {N_BS_MAX, "N_BS_MAX"},
    {N_CR_MAX, "N_CR_MAX"},
    {N_CS_MIN, "N_CS_MIN"},
    {ECHO_PHYSICAL_CHANNEL_TX, "ECHO_PHYSICAL_CHANNEL_TX"},
};

constexpr NamedValue kFilterTypes[] = {{PASS_FILTER, "PASS_FILTER"}, {BLOCK_FILTER, "BLOCK_FILTER"}};

constexpr NamedValue kConnectFlags[] = {
    {FULL_DUPLEX, "FULL_DUPLEX"},
    {CONNECT_CAN_29BIT_ID, "CAN_29BIT_ID"},
    {CHECKSUM_DISABLED, "CHECKSUM_DISABLED"},
    {CAN_ID_BOTH, "CAN_ID_BOTH"},
    {K_LINE_ONLY, "K_LINE_ONLY"},
};

constexpr NamedValue kTxFlags[] = {
    {ISO15765_FRAME_PAD, "ISO15765_FRAME_PAD"}, {TX_ISO15765_ADDR_TYPE, "ISO15765_ADDR_TYPE"},
    {TX_CAN_29BIT_ID, "CAN_29BIT_ID"},          {WAIT_P3_MIN_ONLY, "WAIT_P3_MIN_ONLY"},
    {SCI_MODE, "SCI_MODE"},                     {SCI_TX_VOLTAGE, "SCI_TX_VOLTAGE"},
};

constexpr NamedValue kRxStatus[] = {
    {TX_MSG_TYPE, "TX_MSG_TYPE"},
    {START_OF_MESSAGE, "START_OF_MESSAGE"},
    {RX_BREAK, "RX_BREAK"},
    {TX_INDICATION_SUCCESS, "TX_INDICATION_SUCCESS"},
    {ISO15765_PADDING_ERROR, "ISO15765_PADDING_ERROR"},
    {RX_ERROR, "RX_ERROR"},
    {BUFFER_OVERFLOW, "BUFFER_OVERFLOW"},
    {RX_ISO15765_ADDR_TYPE, "ISO15765_ADDR_TYPE"},
    {RX_CAN_29BIT_ID, "CAN_29BIT_ID"},
    {TX_FAILED, "TX_FAILED"},
};

constexpr NamedValue kDeviceAvailable[] = {
    {DEVICE_STATE_UNKNOWN, "DEVICE_STATE_UNKNOWN"},
    {DEVICE_AVAILABLE, "DEVICE_AVAILABLE"},
    {DEVICE_IN_USE, "DEVICE_IN_USE"},
};

constexpr NamedValue kDllFwStatus[] = {
    {DEVICE_DLL_FW_COMPATIBILITY_UNKNOWN, "DEVICE_DLL_FW_COMPATIBILITY_UNKNOWN"},
    {DEVICE_DLL_FW_COMPATIBLE, "DEVICE_DLL_FW_COMPATIBLE"},
    {DEVICE_DLL_OR_FW_NOT_COMPATIBLE, "DEVICE_DLL_OR_FW_NOT_COMPATIBLE"},
    {DEVICE_DLL_NOT_COMPATIBLE, "DEVICE_DLL_NOT_COMPATIBLE"},
    {DEVICE_FW_NOT_COMPATIBLE, "DEVICE_FW_NOT_COMPATIBLE"},
};

constexpr NamedValue kConnectMedia[] = {
    {DEVICE_CONN_UNKNOWN, "DEVICE_CONN_UNKNOWN"},
    {DEVICE_CONN_WIRELESS, "DEVICE_CONN_WIRELESS"},
    {DEVICE_CONN_WIRED, "DEVICE_CONN_WIRED"},
};

constexpr NamedValue kSelectTypes[] = {{READABLE_TYPE, "READABLE_TYPE"}};
constexpr NamedValue kConnectors[] = {{J1962_CONNECTOR, "J1962_CONNECTOR"}};

template <std::size_t N>
std::string NameOr(const NamedValue (&table)[N], ULong value, const char* prefix) {
  if (const char* name = FindName(table, N, value)) return name;
  return prefix + ("0x" + Hex(value, 1));
}

template <std::size_t N>
std::string Flags(const NamedValue (&table)[N], ULong flags) {
  std::string text;
  AppendNamedFlags(&text, table, N, flags);
  return text;
}

}  // namespace

std::string ReturnCodeName(Long code) {
  if (const char* name = FindName(kReturnCodes, std::size(kReturnCodes), static_cast<ULong>(code))) return name;
  return "0x" + Hex(static_cast<ULong>(code), 8);
}

std::string ProtocolName(ULong protocol) { return NameOr(kProtocols, protocol, protocol >= 0x8000 ? "vendor " : ""); }
std::string IoctlName(ULong ioctl) { return NameOr(kIoctls, ioctl, "vendor "); }
std::string ParameterName(ULong parameter) { return NameOr(kParameters, parameter, ""); }
std::string FilterTypeName(ULong type) { return NameOr(kFilterTypes, type, ""); }
std::string ConnectFlagsText(ULong flags) { return Flags(kConnectFlags, flags); }
std::string TxFlagsText(ULong flags) { return Flags(kTxFlags, flags); }
std::string RxStatusText(ULong status) { return Flags(kRxStatus, status); }
void AppendTxFlagsText(std::string* text, ULong flags) { AppendNamedFlags(text, kTxFlags, std::size(kTxFlags), flags); }
void AppendRxStatusText(std::string* text, ULong status) {
  AppendNamedFlags(text, kRxStatus, std::size(kRxStatus), status);
}
const char* KnownProtocolName(ULong protocol) { return FindName(kProtocols, std::size(kProtocols), protocol); }
std::string SelectTypeName(ULong type) { return NameOr(kSelectTypes, type, ""); }
std::string ConnectorName(ULong connector) { return NameOr(kConnectors, connector, ""); }
std::string DeviceAvailableName(ULong value) { return NameOr(kDeviceAvailable, value, ""); }
std::string DeviceDllFwStatusName(ULong value) { return NameOr(kDllFwStatus, value, ""); }
std::string DeviceConnectMediaName(ULong value) { return NameOr(kConnectMedia, value, ""); }

std::string VoltageText(ULong voltage) {
  if (voltage == SHORT_TO_GROUND) return "SHORT_TO_GROUND";
  if (voltage == PIN_OFF) return "PIN_OFF";
  return std::to_string(voltage) + " mV";
}

}  // namespace v05

const char* ApiVersionText(ApiVersion version) { return version == ApiVersion::k0500 ? "05.00" : "04.04"; }

const VersionNames& NamesOf(ApiVersion version) {
  static constexpr VersionNames k0404 = {
      &ReturnCodeName, &ProtocolName, &IoctlName, &ParameterName, &FilterTypeName,
      &ConnectFlagsText, &AppendTxFlagsText, &AppendRxStatusText, &KnownProtocolName};
  static constexpr VersionNames k0500 = {
      &v05::ReturnCodeName, &v05::ProtocolName, &v05::IoctlName, &v05::ParameterName, &v05::FilterTypeName,
      &v05::ConnectFlagsText, &v05::AppendTxFlagsText, &v05::AppendRxStatusText, &v05::KnownProtocolName};
  return version == ApiVersion::k0500 ? k0500 : k0404;
}

}  // namespace passthru
