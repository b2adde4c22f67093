// SAE J2534-1 version 04.04: the PassThru interface as a diagnostic application
// sees it. Written from the standard's published values; shared by the monitor
// library, the simulated VCI and the console check. Free of Windows headers so
// that the pure rules built on it compile and fuzz natively.
#pragma once

#include <cstdint>

namespace passthru {

// The interface's "unsigned long" is 32 bits on Windows of both architectures
// (64-bit Windows keeps long at 32 bits), so PASSTHRU_MSG and every id and
// count are the same on both; fixed width here keeps the native (Linux, 64-bit
// long) builds of the pure rules laid out the same. The public descriptions
// agree: keenanlaws/Python-J2534-Interface (J2534.py: c_ulong fields, which are
// 4 bytes on Windows) and NOELV70/j2534-tcp (src/j2534.h: uint32_t fields).
using ULong = std::uint32_t;
using Long = std::int32_t;

constexpr ULong kMaxDataSize = 4128;    // PASSTHRU_MSG::Data
constexpr ULong kTextChars = 80;        // version and error text buffers, terminator included

struct PassThruMsg {
  ULong ProtocolID;
  ULong RxStatus;
  ULong TxFlags;
  ULong Timestamp;  // microseconds
  ULong DataSize;
  ULong ExtraDataIndex;
  std::uint8_t Data[kMaxDataSize];
};
static_assert(sizeof(PassThruMsg) == 4152, "PASSTHRU_MSG is 4,152 bytes");

struct SConfig {
  ULong Parameter;
  ULong Value;
};
// The pointers below change size: 4 bytes on 32-bit Windows (structure of 8
// bytes), 8 on 64-bit Windows, where the count is followed by 4 bytes of
// padding (structure of 16). J2534.py of keenanlaws/Python-J2534-Interface
// declares them as ctypes POINTERs after a c_ulong, and src/j2534.h of
// NOELV70/j2534-tcp as plain pointers after a uint32_t: both lay them out so.
// The native builds of the pure rules never see these structures from an application.
struct SConfigList {
  ULong NumOfParams;
  SConfig* ConfigPtr;
};
struct SByteArray {
  ULong NumOfBytes;
  std::uint8_t* BytePtr;
};
#if defined(_WIN32)
static_assert(sizeof(SConfigList) == 2 * sizeof(void*) && sizeof(SByteArray) == 2 * sizeof(void*),
              "SCONFIG_LIST and SBYTE_ARRAY are 8 bytes on 32-bit Windows and 16 on 64-bit");
#endif

// Return codes.
enum : Long {
  STATUS_NOERROR = 0x00,
  ERR_NOT_SUPPORTED = 0x01,
  ERR_INVALID_CHANNEL_ID = 0x02,
  ERR_INVALID_PROTOCOL_ID = 0x03,
  ERR_NULL_PARAMETER = 0x04,
  ERR_INVALID_IOCTL_VALUE = 0x05,
  ERR_INVALID_FLAGS = 0x06,
  ERR_FAILED = 0x07,
  ERR_DEVICE_NOT_CONNECTED = 0x08,
  ERR_TIMEOUT = 0x09,
  ERR_INVALID_MSG = 0x0A,
  ERR_INVALID_TIME_INTERVAL = 0x0B,
  ERR_EXCEEDED_LIMIT = 0x0C,
  ERR_INVALID_MSG_ID = 0x0D,
  ERR_DEVICE_IN_USE = 0x0E,
  ERR_INVALID_IOCTL_ID = 0x0F,
  ERR_BUFFER_EMPTY = 0x10,
  ERR_BUFFER_FULL = 0x11,
  ERR_BUFFER_OVERFLOW = 0x12,
  ERR_PIN_INVALID = 0x13,
  ERR_CHANNEL_IN_USE = 0x14,
  ERR_MSG_PROTOCOL_ID = 0x15,
  ERR_INVALID_FILTER_ID = 0x16,
  ERR_NO_FLOW_CONTROL = 0x17,
  ERR_NOT_UNIQUE = 0x18,
  ERR_INVALID_BAUDRATE = 0x19,
  ERR_INVALID_DEVICE_ID = 0x1A,
};

// Protocol ids; 0x8000 and above belong to vendors.
enum : ULong {
  J1850VPW = 0x01,
  J1850PWM = 0x02,
  ISO9141 = 0x03,
  ISO14230 = 0x04,
  CAN = 0x05,
  ISO15765 = 0x06,
  SCI_A_ENGINE = 0x07,
  SCI_A_TRANS = 0x08,
  SCI_B_ENGINE = 0x09,
  SCI_B_TRANS = 0x0A,
};

// Ioctl ids; any other id belongs to a vendor and is passed through.
enum : ULong {
  GET_CONFIG = 0x01,
  SET_CONFIG = 0x02,
  READ_VBATT = 0x03,
  FIVE_BAUD_INIT = 0x04,
  FAST_INIT = 0x05,
  CLEAR_TX_BUFFER = 0x07,
  CLEAR_RX_BUFFER = 0x08,
  CLEAR_PERIODIC_MSGS = 0x09,
  CLEAR_MSG_FILTERS = 0x0A,
  CLEAR_FUNCT_MSG_LOOKUP_TABLE = 0x0B,
  ADD_TO_FUNCT_MSG_LOOKUP_TABLE = 0x0C,
  DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE = 0x0D,
  READ_PROG_VOLTAGE = 0x0E,
};

// Configuration parameters (GET_CONFIG / SET_CONFIG).
enum : ULong {
  DATA_RATE = 0x01,
  LOOPBACK = 0x03,
  NODE_ADDRESS = 0x04,
  NETWORK_LINE = 0x05,
  P1_MIN = 0x06,
  P1_MAX = 0x07,
  P2_MIN = 0x08,
  P2_MAX = 0x09,
  P3_MIN = 0x0A,
  P3_MAX = 0x0B,
  P4_MIN = 0x0C,
  P4_MAX = 0x0D,
  W1 = 0x0E,
  W2 = 0x0F,
  W3 = 0x10,
  W4 = 0x11,
  W5 = 0x12,
  TIDLE = 0x13,
  TINIL = 0x14,
  TWUP = 0x15,
  PARITY = 0x16,
  BIT_SAMPLE_POINT = 0x17,
  SYNC_JUMP_WIDTH = 0x18,
  W0 = 0x19,
  T1_MAX = 0x1A,
  T2_MAX = 0x1B,
  T4_MAX = 0x1C,
  T5_MAX = 0x1D,
  ISO15765_BS = 0x1E,
  ISO15765_STMIN = 0x1F,
  DATA_BITS = 0x20,
  FIVE_BAUD_MOD = 0x21,
  BS_TX = 0x22,
  STMIN_TX = 0x23,
  T3_MAX = 0x24,
  ISO15765_WFT_MAX = 0x25,
};

// Filter types.
enum : ULong {
  PASS_FILTER = 0x01,
  BLOCK_FILTER = 0x02,
  FLOW_CONTROL_FILTER = 0x03,
};

// PassThruConnect flags.
enum : ULong {
  CONNECT_CAN_29BIT_ID = 0x100,
  ISO9141_NO_CHECKSUM = 0x200,
  CAN_ID_BOTH = 0x800,
  ISO9141_K_LINE_ONLY = 0x1000,
};

// TxFlags.
enum : ULong {
  ISO15765_FRAME_PAD = 0x40,
  TX_ISO15765_ADDR_TYPE = 0x80,
  TX_CAN_29BIT_ID = 0x100,
  WAIT_P3_MIN_ONLY = 0x200,
  SCI_MODE = 0x400000,
  SCI_TX_VOLTAGE = 0x800000,
};

// RxStatus.
enum : ULong {
  TX_MSG_TYPE = 0x01,
  START_OF_MESSAGE = 0x02,
  RX_BREAK = 0x04,
  TX_INDICATION = 0x08,
  ISO15765_PADDING_ERROR = 0x10,
  RX_ISO15765_ADDR_TYPE = 0x80,
  RX_CAN_29BIT_ID = 0x100,
};

// The 14 exported functions: long __stdcall, exported under their plain names.
#if defined(_WIN32)
#define PASSTHRU_CALL __stdcall
#else
#define PASSTHRU_CALL
#endif
using PassThruOpenFn = Long(PASSTHRU_CALL*)(void* pName, ULong* pDeviceID);
using PassThruCloseFn = Long(PASSTHRU_CALL*)(ULong DeviceID);
using PassThruConnectFn = Long(PASSTHRU_CALL*)(ULong DeviceID, ULong ProtocolID, ULong Flags,
                                               ULong BaudRate, ULong* pChannelID);
using PassThruDisconnectFn = Long(PASSTHRU_CALL*)(ULong ChannelID);
using PassThruReadMsgsFn = Long(PASSTHRU_CALL*)(ULong ChannelID, PassThruMsg* pMsg,
                                                ULong* pNumMsgs, ULong Timeout);
using PassThruWriteMsgsFn = Long(PASSTHRU_CALL*)(ULong ChannelID, PassThruMsg* pMsg,
                                                 ULong* pNumMsgs, ULong Timeout);
using PassThruStartPeriodicMsgFn = Long(PASSTHRU_CALL*)(ULong ChannelID, PassThruMsg* pMsg,
                                                        ULong* pMsgID, ULong TimeInterval);
using PassThruStopPeriodicMsgFn = Long(PASSTHRU_CALL*)(ULong ChannelID, ULong MsgID);
using PassThruStartMsgFilterFn = Long(PASSTHRU_CALL*)(ULong ChannelID, ULong FilterType,
                                                      PassThruMsg* pMaskMsg,
                                                      PassThruMsg* pPatternMsg,
                                                      PassThruMsg* pFlowControlMsg,
                                                      ULong* pFilterID);
using PassThruStopMsgFilterFn = Long(PASSTHRU_CALL*)(ULong ChannelID, ULong FilterID);
using PassThruSetProgrammingVoltageFn = Long(PASSTHRU_CALL*)(ULong DeviceID, ULong PinNumber,
                                                             ULong Voltage);
using PassThruReadVersionFn = Long(PASSTHRU_CALL*)(ULong DeviceID, char* pFirmwareVersion,
                                                   char* pDllVersion, char* pApiVersion);
using PassThruGetLastErrorFn = Long(PASSTHRU_CALL*)(char* pErrorDescription);
using PassThruIoctlFn = Long(PASSTHRU_CALL*)(ULong ChannelID, ULong IoctlID, void* pInput,
                                             void* pOutput);

}  // namespace passthru
