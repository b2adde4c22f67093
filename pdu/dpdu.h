// ISO 22900-2 (D-PDU API): the interface between a diagnostic application and
// a modular VCI's library, as the application sees it. Written from the
// standard's published values, each checked against public descriptions;
// shared by the monitor library, the simulated D-PDU VCI and the console
// check. Free of Windows headers so that the pure rules built on it compile and
// fuzz natively.
#pragma once

#include <cstdint>

namespace pdu {

// The interface's integer types: 32-bit on every platform the API runs on.
using UNUM8 = std::uint8_t;
using UNUM16 = std::uint16_t;
using UNUM32 = std::uint32_t;
using SNUM32 = std::int32_t;
using CHAR8 = char;

using T_PDU_ERROR = UNUM32;    // return code of every function
using T_PDU_IT = UNUM32;       // item type
using T_PDU_COPT = UNUM32;     // ComPrimitive type
using T_PDU_OBJT = UNUM32;     // object type (PDUGetObjectId)
using T_PDU_STATUS = UNUM32;   // status of a module, link or ComPrimitive
using T_PDU_INFO = UNUM32;     // information event code
using T_PDU_EVT_DATA = UNUM32; // event callback reason
using T_PDU_ERR_EVT = UNUM32;  // asynchronous error code
using T_PDU_PT = UNUM32;       // ComParam data type
using T_PDU_PC = UNUM32;       // ComParam class

constexpr UNUM32 PDU_HANDLE_UNDEF = 0xFFFFFFFF;  // "no module / link / ComPrimitive"
constexpr UNUM32 PDU_ID_UNDEF = 0xFFFFFFFE;      // "no such object"

// Return codes (T_PDU_ERROR).
enum : T_PDU_ERROR {
  PDU_STATUS_NOERROR = 0x00,
  PDU_ERR_FCT_FAILED = 0x01,
  PDU_ERR_RESERVED_1 = 0x10,
  PDU_ERR_COMM_PC_TO_VCI_FAILED = 0x11,
  PDU_ERR_PDUAPI_NOT_CONSTRUCTED = 0x20,
  PDU_ERR_SHARING_VIOLATION = 0x21,
  PDU_ERR_RESOURCE_BUSY = 0x30,
  PDU_ERR_RESOURCE_TABLE_CHANGED = 0x31,
  PDU_ERR_RESOURCE_ERROR = 0x32,
  PDU_ERR_CLL_NOT_CONNECTED = 0x40,
  PDU_ERR_CLL_NOT_STARTED = 0x41,
  PDU_ERR_INVALID_PARAMETERS = 0x50,
  PDU_ERR_INVALID_HANDLE = 0x60,
  PDU_ERR_VALUE_NOT_SUPPORTED = 0x61,
  PDU_ERR_ID_NOT_SUPPORTED = 0x62,
  PDU_ERR_COMPARAM_NOT_SUPPORTED = 0x63,
  PDU_ERR_COMPARAM_LOCKED = 0x64,
  PDU_ERR_TX_QUEUE_FULL = 0x70,
  PDU_ERR_EVENT_QUEUE_EMPTY = 0x71,
  PDU_ERR_VOLTAGE_NOT_SUPPORTED = 0x80,
  PDU_ERR_MUX_RSC_NOT_SUPPORTED = 0x81,
  PDU_ERR_CABLE_UNKNOWN = 0x82,
  PDU_ERR_NO_CABLE_DETECTED = 0x83,
  PDU_ERR_CLL_CONNECTED = 0x84,
  PDU_ERR_TEMPPARAM_NOT_ALLOWED = 0x90,
  PDU_ERR_RSC_LOCKED = 0xA0,
  PDU_ERR_RSC_LOCKED_BY_OTHER_CLL = 0xA1,
  PDU_ERR_RSC_NOT_LOCKED = 0xA2,
  PDU_ERR_MODULE_NOT_CONNECTED = 0xA3,
  PDU_ERR_API_SW_OUT_OF_DATE = 0xA4,
  PDU_ERR_MODULE_FW_OUT_OF_DATE = 0xA5,
  PDU_ERR_PIN_NOT_CONNECTED = 0xA6,
  PDU_ERR_IP_PROTOCOL_NOT_SUPPORTED = 0xB0,
  PDU_ERR_DOIP_ROUTING_ACTIVATION_FAILED = 0xB1,
  PDU_ERR_DOIP_ROUTING_ACTIVATION_AUTHENTICATION_FAILED = 0xB2,
  PDU_ERR_DOIP_AMBIGUOUS_LOGICAL_ADDRESS = 0xB3,
};

// Item types (T_PDU_IT): the first field of every item the API hands out.
enum : T_PDU_IT {
  PDU_IT_IO_UNUM32 = 0x1000,
  PDU_IT_IO_PROG_VOLTAGE = 0x1001,
  PDU_IT_IO_BYTEARRAY = 0x1002,
  PDU_IT_IO_FILTER = 0x1003,
  PDU_IT_IO_EVENT_QUEUE_PROPERTY = 0x1004,
  PDU_IT_RSC_STATUS = 0x1100,
  PDU_IT_PARAM = 0x1200,
  PDU_IT_RESULT = 0x1300,
  PDU_IT_STATUS = 0x1301,
  PDU_IT_ERROR = 0x1302,
  PDU_IT_INFO = 0x1303,
  PDU_IT_RSC_ID = 0x1400,
  PDU_IT_RSC_CONFLICT = 0x1500,
  PDU_IT_MODULE_ID = 0x1600,
  PDU_IT_UNIQUE_RESP_ID_TABLE = 0x1700,
  PDU_IT_IO_VEHICLE_ID_REQUEST = 0x1800,
  PDU_IT_IO_ETH_SWITCH_STATE = 0x1801,
  PDU_IT_IO_ENTITY_ADDRESS = 0x1802,
  PDU_IT_IO_ENTITY_STATUS = 0x1803,
};

// ComPrimitive types (T_PDU_COPT).
enum : T_PDU_COPT {
  PDU_COPT_STARTCOMM = 0x8001,
  PDU_COPT_STOPCOMM = 0x8002,
  PDU_COPT_UPDATEPARAM = 0x8003,
  PDU_COPT_SENDRECV = 0x8004,
  PDU_COPT_DELAY = 0x8005,
  PDU_COPT_RESTORE_PARAM = 0x8006,
};

// Object types (T_PDU_OBJT) for PDUGetObjectId.
enum : T_PDU_OBJT {
  PDU_OBJT_PROTOCOL = 0x8021,
  PDU_OBJT_BUSTYPE = 0x8022,
  PDU_OBJT_IO_CTRL = 0x8023,
  PDU_OBJT_COMPARAM = 0x8024,
  PDU_OBJT_PINTYPE = 0x8025,
  PDU_OBJT_RESOURCE = 0x8026,
};

// Status codes (T_PDU_STATUS) of ComPrimitives, links and modules.
enum : T_PDU_STATUS {
  PDU_COPST_IDLE = 0x8010,
  PDU_COPST_EXECUTING = 0x8011,
  PDU_COPST_FINISHED = 0x8012,
  PDU_COPST_CANCELLED = 0x8013,
  PDU_COPST_WAITING = 0x8014,
  PDU_CLLST_OFFLINE = 0x8050,
  PDU_CLLST_ONLINE = 0x8051,
  PDU_CLLST_COMM_STARTED = 0x8052,
  PDU_MODST_READY = 0x8060,
  PDU_MODST_NOT_READY = 0x8061,
  PDU_MODST_NOT_AVAIL = 0x8062,
  PDU_MODST_AVAIL = 0x8063,
};

// Information event codes (T_PDU_INFO).
enum : T_PDU_INFO {
  PDU_INFO_MODULE_LIST_CHG = 0x8070,
  PDU_INFO_RSC_LOCK_CHG = 0x8071,
  PDU_INFO_PHYS_COMPARAM_CHG = 0x8072,
};

// Why the event callback is called (T_PDU_EVT_DATA).
enum : T_PDU_EVT_DATA {
  PDU_EVT_DATA_AVAILABLE = 0x0801,
  PDU_EVT_DATA_LOST = 0x0802,
};

// Asynchronous error codes (T_PDU_ERR_EVT) of error events and PDUGetLastError.
enum : T_PDU_ERR_EVT {
  PDU_ERR_EVT_NOERROR = 0x0000,
  PDU_ERR_EVT_FRAME_STRUCT = 0x0100,
  PDU_ERR_EVT_TX_ERROR = 0x0101,
  PDU_ERR_EVT_TESTER_PRESENT_ERROR = 0x0102,
  PDU_ERR_EVT_RX_TIMEOUT = 0x0103,
  PDU_ERR_EVT_RX_ERROR = 0x0104,
  PDU_ERR_EVT_PROT_ERR = 0x0105,
  PDU_ERR_EVT_LOST_COMM_TO_VCI = 0x0106,
  PDU_ERR_EVT_VCI_HARDWARE_FAULT = 0x0107,
  PDU_ERR_EVT_INIT_ERROR = 0x0108,
  PDU_ERR_EVT_RSC_LOCKED = 0x0109,
};

// ComParam data types (T_PDU_PT) and classes (T_PDU_PC).
enum : T_PDU_PT {
  PDU_PT_UNUM8 = 0x101,
  PDU_PT_SNUM8 = 0x102,
  PDU_PT_UNUM16 = 0x103,
  PDU_PT_SNUM16 = 0x104,
  PDU_PT_UNUM32 = 0x105,
  PDU_PT_SNUM32 = 0x106,
  PDU_PT_BYTEFIELD = 0x107,
  PDU_PT_STRUCTFIELD = 0x108,
  PDU_PT_LONGFIELD = 0x109,
};
enum : T_PDU_PC {
  PDU_PC_TIMING = 1,
  PDU_PC_INIT = 2,
  PDU_PC_COM = 3,
  PDU_PC_ERRHDL = 4,
  PDU_PC_BUSTYPE = 5,
  PDU_PC_UNIQUE_ID = 6,
  PDU_PC_TESTER_PRESENT = 7,
};

// Resource lock mask bits (PDULockResource / PDUUnlockResource).
enum : UNUM32 {
  PDU_LOCK_PHYSICAL_COMPARAMS = 0x01,
  PDU_LOCK_TX_QUEUE = 0x02,
};

// ---- Items and their data. On 32-bit Windows every field is 4 bytes. ----
// Sizes that differ between the architectures: the handles (hMod, hCLL, hCop)
// and every count are UNUM32 on both, but each pointer member (the data
// pointers and the application's tags pCoPTag, and pCllTag / pAPITag of the
// functions and the event callback) is 8 bytes on 64-bit Windows and aligned to
// 8, so a structure holding one grows and gets padding after a lone UNUM32
// before it (the sizes are asserted below for both). As the public
// descriptions of the interface have it: the C# layout of DiagProf/ISO22900.II
// (UNUM32 = UInt32, tags and data as void*) and witoldo7/dpdu-passthru
// (driver/pdu_api.h: UNUM32 handles, void* tags).

struct PDU_ITEM {
  T_PDU_IT ItemType;
};

struct PDU_FLAG_DATA {
  UNUM32 NumFlagBytes;
  UNUM8* pFlagData;
};

// IOCTL input and output.
struct PDU_DATA_ITEM {
  T_PDU_IT ItemType;
  void* pData;
};

struct PDU_IO_PROG_VOLTAGE_DATA {
  UNUM32 ProgVoltage_mv;
  UNUM32 PinOnDLC;
};
struct PDU_IO_BYTEARRAY_DATA {
  UNUM32 DataSize;
  UNUM8* pData;
};

struct PDU_VERSION_DATA {
  UNUM32 MVCI_Part1StandardVersion;
  UNUM32 MVCI_Part2StandardVersion;
  UNUM32 HwSerialNumber;
  CHAR8 HwName[64];
  UNUM32 HwVersion;
  UNUM32 HwDate;
  UNUM32 HwInterface;
  CHAR8 FwName[64];
  UNUM32 FwVersion;
  UNUM32 FwDate;
  CHAR8 VendorName[64];
  CHAR8 PDUApiSwName[64];
  UNUM32 PDUApiSwVersion;
  UNUM32 PDUApiSwDate;
};
static_assert(sizeof(PDU_VERSION_DATA) == 296, "PDU_VERSION_DATA is 296 bytes");

// PDUGetResourceStatus: the application fills hMod and ResourceId of each entry.
struct PDU_RSC_STATUS_DATA {
  UNUM32 hMod;
  UNUM32 ResourceId;
  UNUM32 ResourceStatus;
};
struct PDU_RSC_STATUS_ITEM {
  T_PDU_IT ItemType;
  UNUM32 NumEntries;
  PDU_RSC_STATUS_DATA* pResourceStatusData;
};

// A ComParam; pComParamData points to a value of ComParamDataType.
struct PDU_PARAM_ITEM {
  T_PDU_IT ItemType;
  UNUM32 ComParamId;
  T_PDU_PT ComParamDataType;
  T_PDU_PC ComParamClass;
  void* pComParamData;
};
struct PDU_PARAM_BYTEFIELD_DATA {
  UNUM32 ParamMaxLen;
  UNUM32 ParamActLen;
  UNUM8* pDataArray;
};
struct PDU_PARAM_LONGFIELD_DATA {
  UNUM32 ParamMaxLen;
  UNUM32 ParamActLen;
  UNUM32* pDataArray;
};

// PDUGetModuleIds.
struct PDU_MODULE_DATA {
  UNUM32 ModuleTypeId;
  UNUM32 hMod;
  CHAR8* pVendorModuleName;
  CHAR8* pVendorAdditionalInfo;
  T_PDU_STATUS ModuleStatus;
};
struct PDU_MODULE_ITEM {
  T_PDU_IT ItemType;
  UNUM32 NumEntries;
  PDU_MODULE_DATA* pModuleData;
};

// Resources: what a link asks for, and the ids that match.
struct PDU_PIN_DATA {
  UNUM32 DLCPinNumber;
  UNUM32 DLCPinTypeId;
};
struct PDU_RSC_DATA {
  UNUM32 BusTypeId;
  UNUM32 ProtocolId;
  UNUM32 NumPinData;
  PDU_PIN_DATA* pDLCPinData;
};
struct PDU_RSC_ID_ITEM_DATA {
  UNUM32 hMod;
  UNUM32 NumIds;
  UNUM32* pResourceIdArray;
};
struct PDU_RSC_ID_ITEM {
  T_PDU_IT ItemType;
  UNUM32 NumModules;
  PDU_RSC_ID_ITEM_DATA* pResourceIdDataArray;
};
struct PDU_RSC_CONFLICT_DATA {
  UNUM32 hMod;
  UNUM32 ResourceId;
};
struct PDU_RSC_CONFLICT_ITEM {
  T_PDU_IT ItemType;
  UNUM32 NumEntries;
  PDU_RSC_CONFLICT_DATA* pRscConflictData;
};

// The unique response id table of a link.
struct PDU_ECU_UNIQUE_RESP_DATA {
  UNUM32 UniqueRespIdentifier;
  UNUM32 NumParamItems;
  PDU_PARAM_ITEM* pParams;
};
struct PDU_UNIQUE_RESP_ID_TABLE_ITEM {
  T_PDU_IT ItemType;
  UNUM32 NumEntries;
  PDU_ECU_UNIQUE_RESP_DATA* pUniqueData;
};

// PDUStartComPrimitive's control data.
struct PDU_EXP_RESP_DATA {
  UNUM32 ResponseType;  // 0 positive, 1 negative
  UNUM32 AcceptanceId;
  UNUM32 NumMaskPatternBytes;
  UNUM8* pMaskData;
  UNUM8* pPatternData;
  UNUM32 NumUniqueRespIds;
  UNUM32* pUniqueRespIds;
};
struct PDU_COP_CTRL_DATA {
  UNUM32 Time;               // cycle or delay time, ms
  SNUM32 NumSendCycles;      // -1: infinite
  SNUM32 NumReceiveCycles;   // -1: infinite
  UNUM32 TempParamUpdate;
  PDU_FLAG_DATA TxFlag;
  UNUM32 NumPossibleExpectedResponses;
  PDU_EXP_RESP_DATA* pExpectedResponseArray;
};

// Events: a PDU_EVENT_ITEM whose pData points to the data of its ItemType
// (PDU_IT_RESULT: PDU_RESULT_DATA, PDU_IT_STATUS: T_PDU_STATUS,
// PDU_IT_ERROR: PDU_ERROR_DATA, PDU_IT_INFO: PDU_INFO_DATA).
struct PDU_EXTRA_INFO {
  UNUM32 NumHeaderBytes;
  UNUM32 NumFooterBytes;
  UNUM8* pHeaderBytes;
  UNUM8* pFooterBytes;
};
struct PDU_RESULT_DATA {
  PDU_FLAG_DATA RxFlag;
  UNUM32 UniqueRespIdentifier;
  UNUM32 AcceptanceId;
  PDU_FLAG_DATA TimestampFlags;
  UNUM32 TxMsgDoneTimestamp;
  UNUM32 StartMsgTimestamp;
  PDU_EXTRA_INFO* pExtraInfo;
  UNUM32 NumDataBytes;
  UNUM8* pDataBytes;
};
struct PDU_ERROR_DATA {
  T_PDU_ERR_EVT ErrorCodeId;
  UNUM32 ExtraErrorInfoId;
};
struct PDU_INFO_DATA {
  T_PDU_INFO InfoCode;
  UNUM32 ExtraInfoData;
};
struct PDU_EVENT_ITEM {
  T_PDU_IT ItemType;
  UNUM32 hCop;       // PDU_HANDLE_UNDEF when the event is not a ComPrimitive's
  void* pCoPTag;
  UNUM32 Timestamp;  // microseconds
  void* pData;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PDU_EVENT_ITEM) == 20, "PDU_EVENT_ITEM is 20 bytes on 32-bit Windows");
static_assert(sizeof(PDU_RESULT_DATA) == 44, "PDU_RESULT_DATA is 44 bytes on 32-bit Windows");
static_assert(sizeof(PDU_COP_CTRL_DATA) == 32, "PDU_COP_CTRL_DATA is 32 bytes on 32-bit Windows");
static_assert(sizeof(PDU_PARAM_ITEM) == 20, "PDU_PARAM_ITEM is 20 bytes on 32-bit Windows");
static_assert(sizeof(PDU_MODULE_DATA) == 20, "PDU_MODULE_DATA is 20 bytes on 32-bit Windows");
#elif defined(_WIN64)
static_assert(sizeof(PDU_FLAG_DATA) == 16, "PDU_FLAG_DATA is 16 bytes on 64-bit Windows");
static_assert(sizeof(PDU_EVENT_ITEM) == 32, "PDU_EVENT_ITEM is 32 bytes on 64-bit Windows");
static_assert(sizeof(PDU_RESULT_DATA) == 72, "PDU_RESULT_DATA is 72 bytes on 64-bit Windows");
static_assert(sizeof(PDU_COP_CTRL_DATA) == 48, "PDU_COP_CTRL_DATA is 48 bytes on 64-bit Windows");
static_assert(sizeof(PDU_PARAM_ITEM) == 24, "PDU_PARAM_ITEM is 24 bytes on 64-bit Windows");
static_assert(sizeof(PDU_MODULE_DATA) == 32, "PDU_MODULE_DATA is 32 bytes on 64-bit Windows");
#endif

// ---- The functions. ----
// The standard's Windows binding declares every function and the event
// callback __stdcall, and PDUDestroyItem returns T_PDU_ERROR; the library
// exports plain (undecorated) names.
#if defined(_WIN32)
#define PDU_CALL __stdcall
#else
#define PDU_CALL
#endif

using CALLBACKFNC = void(PDU_CALL*)(T_PDU_EVT_DATA eventType, UNUM32 hMod, UNUM32 hCLL,
                                    void* pCllTag, void* pAPITag);

using PDUConstructFn = T_PDU_ERROR(PDU_CALL*)(CHAR8* OptionStr, void* pAPITag);
using PDUDestructFn = T_PDU_ERROR(PDU_CALL*)();
using PDUIoCtlFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL, UNUM32 IoCtlCommandId,
                                          PDU_DATA_ITEM* pInputData,
                                          PDU_DATA_ITEM** pOutputData);
using PDUGetVersionFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, PDU_VERSION_DATA* pVersionData);
using PDUGetStatusFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP,
                                              T_PDU_STATUS* pStatusCode, UNUM32* pTimestamp,
                                              UNUM32* pExtraInfo);
using PDUGetLastErrorFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL,
                                                 T_PDU_ERR_EVT* pErrorCode, UNUM32* phCoP,
                                                 UNUM32* pTimestamp, UNUM32* pExtraErrorInfo);
using PDUGetResourceStatusFn = T_PDU_ERROR(PDU_CALL*)(PDU_RSC_STATUS_ITEM* pResourceStatus);
using PDUCreateComLogicalLinkFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, PDU_RSC_DATA* pRscData,
                                                         UNUM32 resourceId, void* pCllTag,
                                                         UNUM32* phCLL,
                                                         PDU_FLAG_DATA* pCllCreateFlag);
using PDUDestroyComLogicalLinkFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL);
using PDUConnectFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL);
using PDUDisconnectFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL);
using PDULockResourceFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL, UNUM32 LockMask);
using PDUUnlockResourceFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL, UNUM32 LockMask);
using PDUGetComParamFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL, UNUM32 ParamId,
                                                PDU_PARAM_ITEM** pParamItem);
using PDUSetComParamFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL,
                                                PDU_PARAM_ITEM* pParamItem);
using PDUStartComPrimitiveFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL,
                                                      T_PDU_COPT CoPType, UNUM32 CoPDataSize,
                                                      UNUM8* pCoPData,
                                                      PDU_COP_CTRL_DATA* pCopCtrlData,
                                                      void* pCoPTag, UNUM32* phCoP);
using PDUCancelComPrimitiveFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP);
using PDUGetEventItemFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL,
                                                 PDU_EVENT_ITEM** pEventItem);
using PDUDestroyItemFn = T_PDU_ERROR(PDU_CALL*)(PDU_ITEM* pItem);
using PDURegisterEventCallbackFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32 hCLL,
                                                          CALLBACKFNC EventCallbackFunction);
using PDUGetObjectIdFn = T_PDU_ERROR(PDU_CALL*)(T_PDU_OBJT pduObjectType, CHAR8* pShortname,
                                                UNUM32* pPduObjectId);
using PDUGetModuleIdsFn = T_PDU_ERROR(PDU_CALL*)(PDU_MODULE_ITEM** pModuleIdList);
using PDUGetResourceIdsFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, PDU_RSC_DATA* pResourceIdData,
                                                   PDU_RSC_ID_ITEM** pResourceIdList);
using PDUGetConflictingResourcesFn = T_PDU_ERROR(PDU_CALL*)(
    UNUM32 resourceId, PDU_MODULE_ITEM* pInputModuleList,
    PDU_RSC_CONFLICT_ITEM** pOutputConflictList);
using PDUGetUniqueRespIdTableFn = T_PDU_ERROR(PDU_CALL*)(
    UNUM32 hMod, UNUM32 hCLL, PDU_UNIQUE_RESP_ID_TABLE_ITEM** pUniqueRespIdTable);
using PDUSetUniqueRespIdTableFn = T_PDU_ERROR(PDU_CALL*)(
    UNUM32 hMod, UNUM32 hCLL, PDU_UNIQUE_RESP_ID_TABLE_ITEM* pUniqueRespIdTable);
using PDUModuleConnectFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod);
using PDUModuleDisconnectFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod);
using PDUGetTimestampFn = T_PDU_ERROR(PDU_CALL*)(UNUM32 hMod, UNUM32* pTimestamp);

}  // namespace pdu
