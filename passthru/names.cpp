#include "passthru/names.h"

#include <cstdio>
#include <span>

namespace passthru {

namespace {

using Name = NamedValue;

constexpr Name kReturnCodes[] = {
    {STATUS_NOERROR, "STATUS_NOERROR"},
    {ERR_NOT_SUPPORTED, "ERR_NOT_SUPPORTED"},
    {ERR_INVALID_CHANNEL_ID, "ERR_INVALID_CHANNEL_ID"},
    {ERR_INVALID_PROTOCOL_ID, "ERR_INVALID_PROTOCOL_ID"},
    {ERR_NULL_PARAMETER, "ERR_NULL_PARAMETER"},
    {ERR_INVALID_IOCTL_VALUE, "ERR_INVALID_IOCTL_VALUE"},
    {ERR_INVALID_FLAGS, "ERR_INVALID_FLAGS"},
    {ERR_FAILED, "ERR_FAILED"},
    {ERR_DEVICE_NOT_CONNECTED, "ERR_DEVICE_NOT_CONNECTED"},
    {ERR_TIMEOUT, "ERR_TIMEOUT"},
    {ERR_INVALID_MSG, "ERR_INVALID_MSG"},
    {ERR_INVALID_TIME_INTERVAL, "ERR_INVALID_TIME_INTERVAL"},
    {ERR_EXCEEDED_LIMIT, "ERR_EXCEEDED_LIMIT"},
    {ERR_INVALID_MSG_ID, "ERR_INVALID_MSG_ID"},
    {ERR_DEVICE_IN_USE, "ERR_DEVICE_IN_USE"},
    {ERR_INVALID_IOCTL_ID, "ERR_INVALID_IOCTL_ID"},
    {ERR_BUFFER_EMPTY, "ERR_BUFFER_EMPTY"},
    {ERR_BUFFER_FULL, "ERR_BUFFER_FULL"},
    {ERR_BUFFER_OVERFLOW, "ERR_BUFFER_OVERFLOW"},
    {ERR_PIN_INVALID, "ERR_PIN_INVALID"},
    {ERR_CHANNEL_IN_USE, "ERR_CHANNEL_IN_USE"},
    {ERR_MSG_PROTOCOL_ID, "ERR_MSG_PROTOCOL_ID"},
    {ERR_INVALID_FILTER_ID, "ERR_INVALID_FILTER_ID"},
    {ERR_NO_FLOW_CONTROL, "ERR_NO_FLOW_CONTROL"},
    {ERR_NOT_UNIQUE, "ERR_NOT_UNIQUE"},
    {ERR_INVALID_BAUDRATE, "ERR_INVALID_BAUDRATE"},
    {ERR_INVALID_DEVICE_ID, "ERR_INVALID_DEVICE_ID"},
};

constexpr Name kProtocols[] = {
    {J1850VPW, "J1850VPW"},         {J1850PWM, "J1850PWM"},         {ISO9141, "ISO9141"},
    {ISO14230, "ISO14230"},         {CAN, "CAN"},                   {ISO15765, "ISO15765"},
    {SCI_A_ENGINE, "SCI_A_ENGINE"}, {SCI_A_TRANS, "SCI_A_TRANS"},   {SCI_B_ENGINE, "SCI_B_ENGINE"},
    {SCI_B_TRANS, "SCI_B_TRANS"},
};

constexpr Name kIoctls[] = {
    {GET_CONFIG, "GET_CONFIG"},
    {SET_CONFIG, "SET_CONFIG"},
    {READ_VBATT, "READ_VBATT"},
    {FIVE_BAUD_INIT, "FIVE_BAUD_INIT"},
    {FAST_INIT, "FAST_INIT"},
    {CLEAR_TX_BUFFER, "CLEAR_TX_BUFFER"},
    {CLEAR_RX_BUFFER, "CLEAR_RX_BUFFER"},
    {CLEAR_PERIODIC_MSGS, "CLEAR_PERIODIC_MSGS"},
    {CLEAR_MSG_FILTERS, "CLEAR_MSG_FILTERS"},
    {CLEAR_FUNCT_MSG_LOOKUP_TABLE, "CLEAR_FUNCT_MSG_LOOKUP_TABLE"},
    {ADD_TO_FUNCT_MSG_LOOKUP_TABLE, "ADD_TO_FUNCT_MSG_LOOKUP_TABLE"},
    {DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE, "DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE"},
    {READ_PROG_VOLTAGE, "READ_PROG_VOLTAGE"},
};

constexpr Name kParameters[] = {
    {DATA_RATE, "DATA_RATE"},
    {LOOPBACK, "LOOPBACK"},
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
    {W1, "W1"},
    {W2, "W2"},
    {W3, "W3"},
    {W4, "W4"},
    {W5, "W5"},
    {TIDLE, "TIDLE"},
    {TINIL, "TINIL"},
    {TWUP, "TWUP"},
    {PARITY, "PARITY"},
    {BIT_SAMPLE_POINT, "BIT_SAMPLE_POINT"},
    {SYNC_JUMP_WIDTH, "SYNC_JUMP_WIDTH"},
    {W0, "W0"},
    {T1_MAX, "T1_MAX"},
    {T2_MAX, "T2_MAX"},
    {T4_MAX, "T4_MAX"},
    {T5_MAX, "T5_MAX"},
    {ISO15765_BS, "ISO15765_BS"},
    {ISO15765_STMIN, "ISO15765_STMIN"},
    {DATA_BITS, "DATA_BITS"},
    {FIVE_BAUD_MOD, "FIVE_BAUD_MOD"},
    {BS_TX, "BS_TX"},
    {STMIN_TX, "STMIN_TX"},
    {T3_MAX, "T3_MAX"},
    {ISO15765_WFT_MAX, "ISO15765_WFT_MAX"},
};

constexpr Name kFilterTypes[] = {
    {PASS_FILTER, "PASS_FILTER"},
    {BLOCK_FILTER, "BLOCK_FILTER"},
    {FLOW_CONTROL_FILTER, "FLOW_CONTROL_FILTER"},
};

constexpr Name kConnectFlags[] = {
    {CONNECT_CAN_29BIT_ID, "CAN_29BIT_ID"},
    {ISO9141_NO_CHECKSUM, "ISO9141_NO_CHECKSUM"},
    {CAN_ID_BOTH, "CAN_ID_BOTH"},
    {ISO9141_K_LINE_ONLY, "ISO9141_K_LINE_ONLY"},
};

constexpr Name kTxFlags[] = {
    {ISO15765_FRAME_PAD, "ISO15765_FRAME_PAD"}, {TX_ISO15765_ADDR_TYPE, "ISO15765_ADDR_TYPE"},
    {TX_CAN_29BIT_ID, "CAN_29BIT_ID"},          {WAIT_P3_MIN_ONLY, "WAIT_P3_MIN_ONLY"},
    {SCI_MODE, "SCI_MODE"},                     {SCI_TX_VOLTAGE, "SCI_TX_VOLTAGE"},
};

constexpr Name kRxStatus[] = {
    {TX_MSG_TYPE, "TX_MSG_TYPE"},
    {START_OF_MESSAGE, "START_OF_MESSAGE"},
    {RX_BREAK, "RX_BREAK"},
    {TX_INDICATION, "TX_INDICATION"},
    {ISO15765_PADDING_ERROR, "ISO15765_PADDING_ERROR"},
    {RX_ISO15765_ADDR_TYPE, "ISO15765_ADDR_TYPE"},
    {RX_CAN_29BIT_ID, "CAN_29BIT_ID"},
};

template <std::size_t N>
const char* Find(const Name (&table)[N], ULong value) {
  return FindName(table, N, value);
}

std::string HexText(ULong value) { return "0x" + Hex(value, 1); }

template <std::size_t N>
void AppendFlagsText(std::string* text, const Name (&table)[N], ULong flags) {
  AppendNamedFlags(text, table, N, flags);
}

template <std::size_t N>
std::string FlagsText(const Name (&table)[N], ULong flags) {
  std::string text;
  AppendFlagsText(&text, table, flags);
  return text;
}

}  // namespace

const char* FindName(const NamedValue* table, std::size_t count, ULong value) {
  for (const NamedValue& entry : std::span(table, count)) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

void AppendNamedFlags(std::string* text, const NamedValue* table, std::size_t count, ULong flags) {
  static const char kDigits[] = "0123456789ABCDEF";
  char hex[12] = {'0', 'x'};
  for (int k = 0; k < 8; ++k) hex[2 + k] = kDigits[(static_cast<std::uint32_t>(flags) >> (28 - 4 * k)) & 0xF];
  hex[10] = ' ';
  hex[11] = '(';
  text->append(hex, sizeof hex);
  ULong rest = flags;
  bool first = true;
  for (const NamedValue& entry : std::span(table, count)) {
    if ((flags & entry.value) == 0) continue;
    if (!first) *text += '|';
    *text += entry.name;
    rest &= ~entry.value;
    first = false;
  }
  if (rest != 0) {
    if (!first) *text += '|';
    *text += HexText(rest);
    first = false;
  }
  if (first) *text += "none";
  *text += ')';
}

std::string Hex(ULong value, int digits) {
  // At least `digits` (1 to 8) upper-case hex digits, more when the value needs them.
  static const char kDigits[] = "0123456789ABCDEF";
  const int least = digits < 1 ? 1 : (digits > 8 ? 8 : digits);
  char buffer[8];
  int n = 0;
  for (auto rest = static_cast<std::uint32_t>(value); n < 8 && (rest != 0 || n < least); rest >>= 4) {
    buffer[7 - n++] = kDigits[rest & 0xF];
  }
  return std::string(buffer + 8 - n, static_cast<std::size_t>(n));
}

std::string ReturnCodeName(Long code) {
  if (const char* name = Find(kReturnCodes, static_cast<ULong>(code))) return name;
  return "0x" + Hex(static_cast<ULong>(code), 8);
}

std::string ProtocolName(ULong protocol) {
  if (const char* name = Find(kProtocols, protocol)) return name;
  return (protocol >= 0x8000 ? "vendor " : "") + HexText(protocol);
}

std::string IoctlName(ULong ioctl) {
  if (const char* name = Find(kIoctls, ioctl)) return name;
  return "vendor " + HexText(ioctl);
}

std::string ParameterName(ULong parameter) {
  if (const char* name = Find(kParameters, parameter)) return name;
  return HexText(parameter);
}

std::string FilterTypeName(ULong type) {
  if (const char* name = Find(kFilterTypes, type)) return name;
  return HexText(type);
}

std::string ConnectFlagsText(ULong flags) { return FlagsText(kConnectFlags, flags); }
std::string TxFlagsText(ULong flags) { return FlagsText(kTxFlags, flags); }
std::string RxStatusText(ULong status) { return FlagsText(kRxStatus, status); }
void AppendTxFlagsText(std::string* text, ULong flags) { AppendFlagsText(text, kTxFlags, flags); }
void AppendRxStatusText(std::string* text, ULong status) { AppendFlagsText(text, kRxStatus, status); }

const char* KnownProtocolName(ULong protocol) { return Find(kProtocols, protocol); }

}  // namespace passthru
