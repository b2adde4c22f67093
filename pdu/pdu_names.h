// The names of the D-PDU API's codes (return codes, item, ComPrimitive,
// object, status, information, event and error-event types, ComParam data
// types) and the short texts the monitor writes for values. Free of Windows
// headers: tests/native fuzzes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pdu {

// The name of a code of one kind ("PDU_ERR_FCT_FAILED"), or nullptr when the
// value has no name in that kind.
const char* ErrorName(std::uint32_t code);       // T_PDU_ERROR
const char* ItemTypeName(std::uint32_t code);    // T_PDU_IT
const char* CopTypeName(std::uint32_t code);     // T_PDU_COPT
const char* ObjectTypeName(std::uint32_t code);  // T_PDU_OBJT
const char* StatusName(std::uint32_t code);      // T_PDU_STATUS
const char* InfoName(std::uint32_t code);        // T_PDU_INFO
const char* EventDataName(std::uint32_t code);   // T_PDU_EVT_DATA
const char* ErrorEventName(std::uint32_t code);  // T_PDU_ERR_EVT
const char* ParamTypeName(std::uint32_t code);   // T_PDU_PT

// "0x0000ABCD": a 32-bit value in eight hex digits.
std::string Hex32(std::uint32_t value);
// The name when there is one, else the value in hex: what the log shows for a code.
std::string NameOr(const char* name, std::uint32_t value);
// A handle as the log shows it: "UNDEF" for PDU_HANDLE_UNDEF, else decimal.
std::string HandleText(std::uint32_t handle);

// A short name given by an application (PDUGetObjectId), read from at most
// `limit` bytes at `text` up to its terminator and kept printable: bytes
// outside 0x20..0x7E become "?". Never reads past `limit`.
std::string BoundedShortName(const char* text, std::size_t limit);

}  // namespace pdu
