// SAE J2534-1 version 05.00: the PassThru interface of a library registered
// under PassThruSupport.05.00, as a diagnostic application sees it. Written
// from the standard's published values; shared by the monitor library, the
// simulated v05.00 VCI and the console check. Free of Windows headers, so the
// pure rules built on it compile and fuzz natively.
//
// Kept apart from the 04.04 definitions (passthru/j2534.h, namespace passthru):
// the same names carry other values or other signatures in the two versions.
//
// Every value below was checked against two public descriptions of 05.00 (a C
// definition file with the standard's comments and a language binding's
// tables; a third binding for the flags). Where they disagree:
//  - 0x27: one description names it ERR_INVALID_CHANNEL_DESCRIPTOR, the others
//    reserve 0x27 and above for the standard. Not named here (logged in hex).
//  - FLOW_CONTROL_FILTER (0x03): one binding keeps it, the C descriptions list
//    PASS_FILTER and BLOCK_FILTER only (05.00 dropped the flow-control message
//    from PassThruStartMsgFilter). Not named here.
//  - ISO15765 (0x06): one binding keeps it, the C descriptions reserve 0x06
//    (ISO 15765 is a logical channel, ISO15765_LOGICAL, in 05.00). Not named.
//  - Connect flags: one binding gives K_LINE_ONLY 0x40000 and CAN_ID_BOTH
//    0x20000; two descriptions give bits 12 and 11 (0x1000, 0x800), as in
//    04.04. Bits 12 and 11 chosen.
//  - Packing: one description packs every structure to 1 byte. The others and
//    the Windows compilers' default use natural alignment, chosen here. The two
//    agree on x86 except ISO15765_CHANNEL_DESCRIPTOR (18 bytes packed, 20 with
//    its 2 tail bytes); they differ on x86-64 for PASSTHRU_MSG (DataBuffer at 28
//    packed, 32 natural) and SCONFIG_LIST / SBYTE_ARRAY (pointer at 4 or 8).
//    Readers of a descriptor read its first 18 bytes only (kDescriptorBytes),
//    which both layouts share.
//
// Sizes that differ between x86 and x86-64 (pointers; natural alignment):
//   PASSTHRU_MSG       36 / 48 bytes (DataBuffer at 28 / 32, DataBufferSize at 32 / 40)
//   RESOURCE_STRUCT    12 / 16 bytes (ResourceListPtr at 8 on both)
//   SCHANNELSET        12 / 16 bytes (ChannelList at 8 on both)
//   SCONFIG_LIST, SBYTE_ARRAY  8 / 16 bytes (pointer at 4 / 8)
// The same on both: SDEVICE 104 bytes, ISO15765_CHANNEL_DESCRIPTOR 20 (18 used),
// SCONFIG 8. "unsigned long" is 32 bits on both (Windows is LLP64).
#pragma once

#include <cstddef>
#include <cstdint>

#include "passthru/j2534.h"

namespace passthru::v05 {

using passthru::Long;
using passthru::ULong;

constexpr ULong kTextChars = 80;         // version, error and device name buffers, terminator included
constexpr ULong kAddressBytes = 5;       // ISO 15765 address: 4-byte CAN id (big-endian) + extension byte
constexpr std::size_t kDescriptorBytes = 18;  // the used part of ISO15765_CHANNEL_DESCRIPTOR

// A message. The data live in a buffer the caller owns: DataBuffer, of
// DataBufferSize bytes, holds DataLength bytes of message.
struct PassThruMsg {
  ULong ProtocolID;
  ULong MsgHandle;
  ULong RxStatus;
  ULong TxFlags;
  ULong Timestamp;  // microseconds
  ULong DataLength;
  ULong ExtraDataIndex;
  std::uint8_t* DataBuffer;
  ULong DataBufferSize;
};
static_assert(offsetof(PassThruMsg, DataBuffer) == (sizeof(void*) == 4 ? 28 : 32), "PASSTHRU_MSG layout");
static_assert(sizeof(PassThruMsg) == (sizeof(void*) == 4 ? 36 : 48), "PASSTHRU_MSG size");

// The pins of a physical channel or of the programming voltage.
struct ResourceStruct {
  ULong Connector;
  ULong NumOfResources;
  ULong* ResourceListPtr;
};
static_assert(sizeof(ResourceStruct) == (sizeof(void*) == 4 ? 12 : 16), "RESOURCE_STRUCT size");

// PassThruLogicalConnect's descriptor for ISO15765_LOGICAL.
struct Iso15765ChannelDescriptor {
  ULong LocalTxFlags;
  ULong RemoteTxFlags;
  std::uint8_t LocalAddress[kAddressBytes];
  std::uint8_t RemoteAddress[kAddressBytes];
};
static_assert(offsetof(Iso15765ChannelDescriptor, RemoteAddress) + kAddressBytes == kDescriptorBytes,
              "ISO15765_CHANNEL_DESCRIPTOR layout");

// One device found by PassThruScanForDevices, given by PassThruGetNextDevice.
struct SDevice {
  char DeviceName[kTextChars];
  ULong DeviceAvailable;
  ULong DeviceDLLFWStatus;
  ULong DeviceConnectMedia;
  ULong DeviceConnectSpeed;
  ULong DeviceSignalQuality;
  ULong DeviceSignalStrength;
};
static_assert(sizeof(SDevice) == 104, "SDEVICE size");

// PassThruSelect's channel set: in, ChannelCount ids to watch; out, the ids
// with messages (ChannelCount updated).
struct SChannelSet {
  ULong ChannelCount;
  ULong ChannelThreshold;
  ULong* ChannelList;
};
static_assert(sizeof(SChannelSet) == (sizeof(void*) == 4 ? 12 : 16), "SCHANNELSET size");

// As in 04.04.
using passthru::SByteArray;
using passthru::SConfig;
using passthru::SConfigList;

// Return codes. 0x00-0x02, 0x04, 0x07-0x0A, 0x0C-0x0E, 0x10-0x12, 0x15, 0x16,
// 0x18 and 0x1A keep their 04.04 names; the others are renamed or new.
enum : Long {
  STATUS_NOERROR = 0x00,
  ERR_NOT_SUPPORTED = 0x01,
  ERR_INVALID_CHANNEL_ID = 0x02,
  ERR_PROTOCOL_ID_NOT_SUPPORTED = 0x03,  // 04.04: ERR_INVALID_PROTOCOL_ID
  ERR_NULL_PARAMETER = 0x04,
  ERR_IOCTL_VALUE_NOT_SUPPORTED = 0x05,  // 04.04: ERR_INVALID_IOCTL_VALUE
  ERR_FLAG_NOT_SUPPORTED = 0x06,         // 04.04: ERR_INVALID_FLAGS
  ERR_FAILED = 0x07,
  ERR_DEVICE_NOT_CONNECTED = 0x08,
  ERR_TIMEOUT = 0x09,
  ERR_INVALID_MSG = 0x0A,
  ERR_TIME_INTERVAL_NOT_SUPPORTED = 0x0B,  // 04.04: ERR_INVALID_TIME_INTERVAL
  ERR_EXCEEDED_LIMIT = 0x0C,
  ERR_INVALID_MSG_ID = 0x0D,
  ERR_DEVICE_IN_USE = 0x0E,
  ERR_IOCTL_ID_NOT_SUPPORTED = 0x0F,  // 04.04: ERR_INVALID_IOCTL_ID
  ERR_BUFFER_EMPTY = 0x10,
  ERR_BUFFER_FULL = 0x11,
  ERR_BUFFER_OVERFLOW = 0x12,
  ERR_PIN_NOT_SUPPORTED = 0x13,   // 04.04: ERR_PIN_INVALID
  ERR_RESOURCE_CONFLICT = 0x14,   // 04.04: ERR_CHANNEL_IN_USE
  ERR_MSG_PROTOCOL_ID = 0x15,
  ERR_INVALID_FILTER_ID = 0x16,
  ERR_MSG_NOT_ALLOWED = 0x17,     // 04.04: ERR_NO_FLOW_CONTROL
  ERR_NOT_UNIQUE = 0x18,
  ERR_BAUDRATE_NOT_SUPPORTED = 0x19,  // 04.04: ERR_INVALID_BAUDRATE
  ERR_INVALID_DEVICE_ID = 0x1A,
  ERR_DEVICE_NOT_OPEN = 0x1B,
  ERR_NULL_REQUIRED = 0x1C,
  ERR_FILTER_TYPE_NOT_SUPPORTED = 0x1D,
  ERR_IOCTL_PARAM_ID_NOT_SUPPORTED = 0x1E,
  ERR_VOLTAGE_IN_USE = 0x1F,
  ERR_PIN_IN_USE = 0x20,
  ERR_INIT_FAILED = 0x21,
  ERR_OPEN_FAILED = 0x22,
  ERR_BUFFER_TOO_SMALL = 0x23,
  ERR_LOG_CHAN_NOT_ALLOWED = 0x24,
  ERR_SELECT_TYPE_NOT_SUPPORTED = 0x25,
  ERR_CONCURRENT_API_CALL = 0x26,
};

// Protocol ids. Physical channels 0x01-0x1FF, logical channels 0x200-0x3FF;
// 0x8000 and above belong to the optional features and to vendors.
enum : ULong {
  J1850VPW = 0x01,
  J1850PWM = 0x02,
  ISO9141 = 0x03,
  ISO14230 = 0x04,
  CAN = 0x05,
  J2610 = 0x07,  // 04.04: SCI_A_ENGINE (05.00 has one id for the four SCI set-ups)
  ISO15765_LOGICAL = 0x200,
};

// PassThruConnect / PassThruLogicalConnect flags.
enum : ULong {
  FULL_DUPLEX = 0x01,
  CONNECT_CAN_29BIT_ID = 0x100,
  CHECKSUM_DISABLED = 0x200,  // 04.04: ISO9141_NO_CHECKSUM
  CAN_ID_BOTH = 0x800,
  K_LINE_ONLY = 0x1000,       // 04.04: ISO9141_K_LINE_ONLY
};

// TxFlags (as in 04.04).
enum : ULong {
  ISO15765_FRAME_PAD = 0x40,
  TX_ISO15765_ADDR_TYPE = 0x80,
  TX_CAN_29BIT_ID = 0x100,
  WAIT_P3_MIN_ONLY = 0x200,
  SCI_MODE = 0x400000,
  SCI_TX_VOLTAGE = 0x800000,
};

// RxStatus. 0x08 is TX_INDICATION_SUCCESS in one description and TX_SUCCESS in
// another, 0x20 RX_ERROR or ERROR_INDICATION: the first names chosen.
enum : ULong {
  TX_MSG_TYPE = 0x01,
  START_OF_MESSAGE = 0x02,
  RX_BREAK = 0x04,
  TX_INDICATION_SUCCESS = 0x08,
  ISO15765_PADDING_ERROR = 0x10,
  RX_ERROR = 0x20,
  BUFFER_OVERFLOW = 0x40,
  RX_ISO15765_ADDR_TYPE = 0x80,
  RX_CAN_29BIT_ID = 0x100,
  TX_FAILED = 0x200,
};

// Filter types (no flow-control filter in 05.00).
enum : ULong {
  PASS_FILTER = 0x01,
  BLOCK_FILTER = 0x02,
};

// PassThruSelect's SelectType.
enum : ULong { READABLE_TYPE = 0x01 };

// RESOURCE_STRUCT::Connector.
enum : ULong { J1962_CONNECTOR = 0x01 };

// PassThruSetProgrammingVoltage's Voltage (else millivolts).
enum : ULong {
  SHORT_TO_GROUND = 0xFFFFFFFE,
  PIN_OFF = 0xFFFFFFFF,  // 04.04: VOLTAGE_OFF
};

// SDEVICE members.
enum : ULong {
  DEVICE_STATE_UNKNOWN = 0x00,
  DEVICE_AVAILABLE = 0x01,
  DEVICE_IN_USE = 0x02,
};
enum : ULong {
  DEVICE_DLL_FW_COMPATIBILITY_UNKNOWN = 0x00,
  DEVICE_DLL_FW_COMPATIBLE = 0x01,
  DEVICE_DLL_OR_FW_NOT_COMPATIBLE = 0x02,
  DEVICE_DLL_NOT_COMPATIBLE = 0x03,
  DEVICE_FW_NOT_COMPATIBLE = 0x04,
};
enum : ULong {
  DEVICE_CONN_UNKNOWN = 0x00,
  DEVICE_CONN_WIRELESS = 0x01,
  DEVICE_CONN_WIRED = 0x02,
};

// Ioctl ids. The control target is a device id (READ_PIN_VOLTAGE,
// READ_PROG_VOLTAGE), a physical or a logical channel id.
enum : ULong {
  GET_CONFIG = 0x01,
  SET_CONFIG = 0x02,
  READ_PIN_VOLTAGE = 0x03,  // 04.04: READ_VBATT; input RESOURCE_STRUCT*, output ULong* (mV)
  FIVE_BAUD_INIT = 0x04,
  FAST_INIT = 0x05,
  CLEAR_TX_QUEUE = 0x07,  // 04.04: CLEAR_TX_BUFFER
  CLEAR_RX_QUEUE = 0x08,  // 04.04: CLEAR_RX_BUFFER
  CLEAR_PERIODIC_MSGS = 0x09,
  CLEAR_MSG_FILTERS = 0x0A,
  CLEAR_FUNCT_MSG_LOOKUP_TABLE = 0x0B,
  ADD_TO_FUNCT_MSG_LOOKUP_TABLE = 0x0C,
  DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE = 0x0D,
  READ_PROG_VOLTAGE = 0x0E,
  BUS_ON = 0x0F,
};

// Configuration parameters (GET_CONFIG / SET_CONFIG). 0x02, 0x03 (04.04
// LOOPBACK), 0x17 and 0x18 (04.04 BIT_SAMPLE_POINT, SYNC_JUMP_WIDTH) are
// reserved; several timing names now say MIN or MAX.
enum : ULong {
  DATA_RATE = 0x01,
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
  W1_MAX = 0x0E,
  W2_MAX = 0x0F,
  W3_MAX = 0x10,
  W4_MIN = 0x11,
  W5_MIN = 0x12,
  TIDLE = 0x13,
  TINIL = 0x14,
  TWUP = 0x15,
  PARITY = 0x16,
  W0_MIN = 0x19,
  T1_MAX = 0x1A,
  T2_MIN = 0x1B,
  T4_MAX = 0x1C,
  T5_MIN = 0x1D,
  ISO15765_BS = 0x1E,
  ISO15765_STMIN = 0x1F,
  DATA_BITS = 0x20,
  FIVE_BAUD_MOD = 0x21,
  BS_TX = 0x22,
  STMIN_TX = 0x23,
  T3_MAX = 0x24,
  ISO15765_WAIT_LIMIT = 0x25,  // 04.04: ISO15765_WFT_MAX
  W1_MIN = 0x26,
  W2_MIN = 0x27,
  W3_MIN = 0x28,
  W4_MAX = 0x29,
  N_BR_MIN = 0x2A,
  ISO15765_PAD_VALUE = 0x2B,
  N_AS_MAX = 0x2C,
  N_AR_MAX = 0x2D,
  N_BS_MAX = 0x2E,
  N_CR_MAX = 0x2F,
  N_CS_MIN = 0x30,
  ECHO_PHYSICAL_CHANNEL_TX = 0x31,
};

// The 19 exported functions: long __stdcall, exported under their plain names
// (PASSTHRU_CALL from j2534.h). RESOURCE_STRUCT is passed by value: on x86 its
// three members are pushed on the stack, on x86-64 the caller passes the
// address of a copy; declaring it by value lets the compiler do either.
using PassThruScanForDevicesFn = Long(PASSTHRU_CALL*)(ULong* pDeviceCount);
using PassThruGetNextDeviceFn = Long(PASSTHRU_CALL*)(SDevice* psDevice);
using PassThruOpenFn = Long(PASSTHRU_CALL*)(const char* pName, ULong* pDeviceID);
using PassThruCloseFn = Long(PASSTHRU_CALL*)(ULong DeviceID);
using PassThruConnectFn = Long(PASSTHRU_CALL*)(ULong DeviceID, ULong ProtocolID, ULong Flags,
                                               ULong BaudRate, ResourceStruct ResourceStruct,
                                               ULong* pChannelID);
using PassThruDisconnectFn = Long(PASSTHRU_CALL*)(ULong ChannelID);
using PassThruLogicalConnectFn = Long(PASSTHRU_CALL*)(ULong PhysicalChannelID, ULong ProtocolID,
                                                      ULong Flags, void* pChannelDescriptor,
                                                      ULong* pChannelID);
using PassThruLogicalDisconnectFn = Long(PASSTHRU_CALL*)(ULong ChannelID);
using PassThruSelectFn = Long(PASSTHRU_CALL*)(SChannelSet* ChannelSetPtr, ULong SelectType,
                                              ULong Timeout);
using PassThruReadMsgsFn = Long(PASSTHRU_CALL*)(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs,
                                                ULong Timeout);
using PassThruQueueMsgsFn = Long(PASSTHRU_CALL*)(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs);
using PassThruStartPeriodicMsgFn = Long(PASSTHRU_CALL*)(ULong ChannelID, PassThruMsg* pMsg,
                                                        ULong* pMsgID, ULong TimeInterval);
using PassThruStopPeriodicMsgFn = Long(PASSTHRU_CALL*)(ULong ChannelID, ULong MsgID);
using PassThruStartMsgFilterFn = Long(PASSTHRU_CALL*)(ULong ChannelID, ULong FilterType,
                                                      PassThruMsg* pMaskMsg, PassThruMsg* pPatternMsg,
                                                      ULong* pFilterID);
using PassThruStopMsgFilterFn = Long(PASSTHRU_CALL*)(ULong ChannelID, ULong FilterID);
using PassThruSetProgrammingVoltageFn = Long(PASSTHRU_CALL*)(ULong DeviceID,
                                                             ResourceStruct ResourceStruct,
                                                             ULong Voltage);
using PassThruReadVersionFn = Long(PASSTHRU_CALL*)(ULong DeviceID, char* pFirmwareVersion,
                                                   char* pDllVersion, char* pApiVersion);
using PassThruGetLastErrorFn = Long(PASSTHRU_CALL*)(char* pErrorDescription);
using PassThruIoctlFn = Long(PASSTHRU_CALL*)(ULong ControlTarget, ULong IoctlID, void* pInput,
                                             void* pOutput);

}  // namespace passthru::v05
