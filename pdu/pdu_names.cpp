// Names of the D-PDU API's codes, from the values in dpdu.h.
#include "pdu/pdu_names.h"

#include "pdu/dpdu.h"

namespace pdu {
namespace {

struct CodeName {
  std::uint32_t code;
  const char* name;
};

template <std::size_t N>
const char* Find(const CodeName (&table)[N], std::uint32_t code) {
  for (const CodeName& entry : table)
    if (entry.code == code) return entry.name;
  return nullptr;
}

#define PDU_NAME(x) {x, #x}

const CodeName kErrors[] = {
    PDU_NAME(PDU_STATUS_NOERROR), PDU_NAME(PDU_ERR_FCT_FAILED), PDU_NAME(PDU_ERR_RESERVED_1),
    PDU_NAME(PDU_ERR_COMM_PC_TO_VCI_FAILED), PDU_NAME(PDU_ERR_PDUAPI_NOT_CONSTRUCTED),
    PDU_NAME(PDU_ERR_SHARING_VIOLATION), PDU_NAME(PDU_ERR_RESOURCE_BUSY),
    PDU_NAME(PDU_ERR_RESOURCE_TABLE_CHANGED), PDU_NAME(PDU_ERR_RESOURCE_ERROR),
    PDU_NAME(PDU_ERR_CLL_NOT_CONNECTED), PDU_NAME(PDU_ERR_CLL_NOT_STARTED),
    PDU_NAME(PDU_ERR_INVALID_PARAMETERS), PDU_NAME(PDU_ERR_INVALID_HANDLE),
    PDU_NAME(PDU_ERR_VALUE_NOT_SUPPORTED), PDU_NAME(PDU_ERR_ID_NOT_SUPPORTED),
    PDU_NAME(PDU_ERR_COMPARAM_NOT_SUPPORTED), PDU_NAME(PDU_ERR_COMPARAM_LOCKED),
    PDU_NAME(PDU_ERR_TX_QUEUE_FULL), PDU_NAME(PDU_ERR_EVENT_QUEUE_EMPTY),
    PDU_NAME(PDU_ERR_VOLTAGE_NOT_SUPPORTED), PDU_NAME(PDU_ERR_MUX_RSC_NOT_SUPPORTED),
    PDU_NAME(PDU_ERR_CABLE_UNKNOWN), PDU_NAME(PDU_ERR_NO_CABLE_DETECTED),
    PDU_NAME(PDU_ERR_CLL_CONNECTED), PDU_NAME(PDU_ERR_TEMPPARAM_NOT_ALLOWED),
    PDU_NAME(PDU_ERR_RSC_LOCKED), PDU_NAME(PDU_ERR_RSC_LOCKED_BY_OTHER_CLL),
    PDU_NAME(PDU_ERR_RSC_NOT_LOCKED), PDU_NAME(PDU_ERR_MODULE_NOT_CONNECTED),
    PDU_NAME(PDU_ERR_API_SW_OUT_OF_DATE), PDU_NAME(PDU_ERR_MODULE_FW_OUT_OF_DATE),
    PDU_NAME(PDU_ERR_PIN_NOT_CONNECTED), PDU_NAME(PDU_ERR_IP_PROTOCOL_NOT_SUPPORTED),
    PDU_NAME(PDU_ERR_DOIP_ROUTING_ACTIVATION_FAILED),
    PDU_NAME(PDU_ERR_DOIP_ROUTING_ACTIVATION_AUTHENTICATION_FAILED),
    PDU_NAME(PDU_ERR_DOIP_AMBIGUOUS_LOGICAL_ADDRESS),
};
const CodeName kItemTypes[] = {
    PDU_NAME(PDU_IT_IO_UNUM32), PDU_NAME(PDU_IT_IO_PROG_VOLTAGE), PDU_NAME(PDU_IT_IO_BYTEARRAY),
    PDU_NAME(PDU_IT_IO_FILTER), PDU_NAME(PDU_IT_IO_EVENT_QUEUE_PROPERTY),
    PDU_NAME(PDU_IT_RSC_STATUS), PDU_NAME(PDU_IT_PARAM), PDU_NAME(PDU_IT_RESULT),
    PDU_NAME(PDU_IT_STATUS), PDU_NAME(PDU_IT_ERROR), PDU_NAME(PDU_IT_INFO),
    PDU_NAME(PDU_IT_RSC_ID), PDU_NAME(PDU_IT_RSC_CONFLICT), PDU_NAME(PDU_IT_MODULE_ID),
    PDU_NAME(PDU_IT_UNIQUE_RESP_ID_TABLE), PDU_NAME(PDU_IT_IO_VEHICLE_ID_REQUEST),
    PDU_NAME(PDU_IT_IO_ETH_SWITCH_STATE), PDU_NAME(PDU_IT_IO_ENTITY_ADDRESS),
    PDU_NAME(PDU_IT_IO_ENTITY_STATUS),
};
const CodeName kCopTypes[] = {
    PDU_NAME(PDU_COPT_STARTCOMM), PDU_NAME(PDU_COPT_STOPCOMM), PDU_NAME(PDU_COPT_UPDATEPARAM),
    PDU_NAME(PDU_COPT_SENDRECV), PDU_NAME(PDU_COPT_DELAY), PDU_NAME(PDU_COPT_RESTORE_PARAM),
};
const CodeName kObjectTypes[] = {
    PDU_NAME(PDU_OBJT_PROTOCOL), PDU_NAME(PDU_OBJT_BUSTYPE), PDU_NAME(PDU_OBJT_IO_CTRL),
    PDU_NAME(PDU_OBJT_COMPARAM), PDU_NAME(PDU_OBJT_PINTYPE), PDU_NAME(PDU_OBJT_RESOURCE),
};
const CodeName kStatuses[] = {
    PDU_NAME(PDU_COPST_IDLE), PDU_NAME(PDU_COPST_EXECUTING), PDU_NAME(PDU_COPST_FINISHED),
    PDU_NAME(PDU_COPST_CANCELLED), PDU_NAME(PDU_COPST_WAITING), PDU_NAME(PDU_CLLST_OFFLINE),
    PDU_NAME(PDU_CLLST_ONLINE), PDU_NAME(PDU_CLLST_COMM_STARTED), PDU_NAME(PDU_MODST_READY),
    PDU_NAME(PDU_MODST_NOT_READY), PDU_NAME(PDU_MODST_NOT_AVAIL), PDU_NAME(PDU_MODST_AVAIL),
};
const CodeName kInfos[] = {
    PDU_NAME(PDU_INFO_MODULE_LIST_CHG), PDU_NAME(PDU_INFO_RSC_LOCK_CHG),
    PDU_NAME(PDU_INFO_PHYS_COMPARAM_CHG),
};
const CodeName kEventData[] = {
    PDU_NAME(PDU_EVT_DATA_AVAILABLE), PDU_NAME(PDU_EVT_DATA_LOST),
};
const CodeName kErrorEvents[] = {
    PDU_NAME(PDU_ERR_EVT_NOERROR), PDU_NAME(PDU_ERR_EVT_FRAME_STRUCT),
    PDU_NAME(PDU_ERR_EVT_TX_ERROR), PDU_NAME(PDU_ERR_EVT_TESTER_PRESENT_ERROR),
    PDU_NAME(PDU_ERR_EVT_RX_TIMEOUT), PDU_NAME(PDU_ERR_EVT_RX_ERROR),
    PDU_NAME(PDU_ERR_EVT_PROT_ERR), PDU_NAME(PDU_ERR_EVT_LOST_COMM_TO_VCI),
    PDU_NAME(PDU_ERR_EVT_VCI_HARDWARE_FAULT), PDU_NAME(PDU_ERR_EVT_INIT_ERROR),
    PDU_NAME(PDU_ERR_EVT_RSC_LOCKED),
};
const CodeName kParamTypes[] = {
    PDU_NAME(PDU_PT_UNUM8), PDU_NAME(PDU_PT_SNUM8), PDU_NAME(PDU_PT_UNUM16),
    PDU_NAME(PDU_PT_SNUM16), PDU_NAME(PDU_PT_UNUM32), PDU_NAME(PDU_PT_SNUM32),
    PDU_NAME(PDU_PT_BYTEFIELD), PDU_NAME(PDU_PT_STRUCTFIELD), PDU_NAME(PDU_PT_LONGFIELD),
};
#undef PDU_NAME

}  // namespace

const char* ErrorName(std::uint32_t code) { return Find(kErrors, code); }
const char* ItemTypeName(std::uint32_t code) { return Find(kItemTypes, code); }
const char* CopTypeName(std::uint32_t code) { return Find(kCopTypes, code); }
const char* ObjectTypeName(std::uint32_t code) { return Find(kObjectTypes, code); }
const char* StatusName(std::uint32_t code) { return Find(kStatuses, code); }
const char* InfoName(std::uint32_t code) { return Find(kInfos, code); }
const char* EventDataName(std::uint32_t code) { return Find(kEventData, code); }
const char* ErrorEventName(std::uint32_t code) { return Find(kErrorEvents, code); }
const char* ParamTypeName(std::uint32_t code) { return Find(kParamTypes, code); }

std::string Hex32(std::uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x00000000";
  for (int i = 0; i < 8; ++i) text[9 - i] = kDigits[(value >> (4 * i)) & 0xF];
  return text;
}

std::string NameOr(const char* name, std::uint32_t value) {
  return name != nullptr ? std::string(name) : Hex32(value);
}

std::string HandleText(std::uint32_t handle) {
  return handle == PDU_HANDLE_UNDEF ? std::string("UNDEF") : std::to_string(handle);
}

std::string BoundedShortName(const char* text, std::size_t limit) {
  std::string name;
  if (text == nullptr) return name;
  for (std::size_t i = 0; i < limit && text[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    name.push_back(c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '?');
  }
  return name;
}

}  // namespace pdu
