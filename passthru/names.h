// The names of the J2534 04.04 codes, ids and flags as a log shows them. Free
// of Windows headers (fuzzed natively). Unknown values are shown in hex, so a
// vendor's id or a new code is never lost.
#pragma once

#include <cstddef>
#include <string>

#include "passthru/j2534.h"

namespace passthru {

// "STATUS_NOERROR", "ERR_FAILED", ...; "0x%08X" for any other value.
std::string ReturnCodeName(Long code);
// "CAN", "ISO15765", ...; ids 0x8000 and above "vendor 0x%X", others "0x%X".
std::string ProtocolName(ULong protocol);
// "GET_CONFIG", ...; any other id "vendor 0x%X".
std::string IoctlName(ULong ioctl);
// "DATA_RATE", ...; "0x%X" for any other parameter.
std::string ParameterName(ULong parameter);
// "PASS_FILTER", ...; "0x%X" for any other type.
std::string FilterTypeName(ULong type);
// "0x%08X (NAME|NAME|0x...)": the value and its known bits by name, the bits
// left over in hex; "0x00000000 (none)" for no bit.
std::string ConnectFlagsText(ULong flags);
std::string TxFlagsText(ULong flags);
std::string RxStatusText(ULong status);
// The same, appended to `text`.
void AppendTxFlagsText(std::string* text, ULong flags);
void AppendRxStatusText(std::string* text, ULong status);
// The name of a known protocol id; null for any other.
const char* KnownProtocolName(ULong protocol);

// One value's name in a table of names.
struct NamedValue {
  ULong value;
  const char* name;
};
// The name of `value` in `table`; null when it has none.
const char* FindName(const NamedValue* table, std::size_t count, ULong value);
// "0x%08X (NAME|NAME|0x...)" as the flag texts above, with `table` naming the bits.
void AppendNamedFlags(std::string* text, const NamedValue* table, std::size_t count, ULong flags);

// Hex digits of `value` with at least `digits` digits ("0x" not included).
std::string Hex(ULong value, int digits);

}  // namespace passthru
