// The simulated D-PDU VCI's inner parts, shared by its source files: the
// ComParams a link holds, the bounds, and the records of items, links and
// ComPrimitives. Not for use outside simulator/pdu/.
#pragma once

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "simulator/pdu/sim_vci.h"

namespace simulator {
namespace simpdu_parts {

using namespace pdu;
using namespace simpdu;


// The ComParams a link holds: the bus speed, the CAN identifiers, the block
// size and the separation time act; the others are kept and reported as set,
// so that applications can set what they usually set.
struct ComParamInfo {
  const char* name;
  UNUM32 id;
  UNUM32 initial;
  T_PDU_PC parameterClass;
};
constexpr ComParamInfo kComParamTable[] = {
    {"CP_Baudrate", kCpBaudrate, 500000, PDU_PC_BUSTYPE},
    {"CP_CanPhysReqId", kCpCanPhysReqId, kEngineRequestId, PDU_PC_UNIQUE_ID},
    {"CP_CanRespUSDTId", kCpCanRespUsdtId, kEngineResponseId, PDU_PC_UNIQUE_ID},
    {"CP_CanFuncReqId", kCpCanFuncReqId, kFunctionalRequestId, PDU_PC_COM},
    {"CP_RequestAddrMode", kCpRequestAddrMode, 1, PDU_PC_COM},  // 1 physical, 2 functional
    {"CP_P2Max", 0x0306, 50000, PDU_PC_TIMING},
    {"CP_P2Star", 0x0307, 5000000, PDU_PC_TIMING},
    {"CP_TesterPresentHandling", 0x0308, 0, PDU_PC_TESTER_PRESENT},
    {"CP_TesterPresentTime", 0x0309, 2000000, PDU_PC_TESTER_PRESENT},
    {"CP_BlockSize", 0x030A, 0, PDU_PC_COM},
    {"CP_StMin", 0x030B, 0, PDU_PC_COM},
    {"CP_CanFillerByte", 0x030C, 0xAA, PDU_PC_COM},
    {"CP_CanFillerByteHandling", 0x030D, 1, PDU_PC_COM},
    {"CP_RepeatReqCountApp", 0x030E, 0, PDU_PC_ERRHDL},
    {"CP_Loopback", 0x030F, 0, PDU_PC_COM},
};
constexpr std::size_t kComParams = sizeof(kComParamTable) / sizeof(kComParamTable[0]);
constexpr std::size_t kBaudIndex = 0, kPhysIndex = 1, kRespIndex = 2, kFuncIndex = 3, kAddrModeIndex = 4;
constexpr std::size_t kBlockSizeIndex = 9, kStMinIndex = 10;  // CP_StMin in microseconds
constexpr std::size_t kMaxTableEntries = 16;
constexpr std::size_t kMaxTableParams = 16;
constexpr std::size_t kMaxExpected = 16;
constexpr std::size_t kMaxMaskBytes = 12;
constexpr std::size_t kMaxCopStatuses = 64;
constexpr std::size_t kShortNameLimit = 128;

inline int ComParamIndex(UNUM32 id) {
  for (std::size_t i = 0; i < kComParams; ++i)
    if (kComParamTable[i].id == id) return static_cast<int>(i);
  return -1;
}

inline bool BaudrateSupported(UNUM32 baud) {
  return baud == 125000 || baud == 250000 || baud == 500000 || baud == 1000000;
}

inline std::uint64_t MonotonicMicros() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// Short name equality within a bound: the application's text may lack a terminator.
inline bool SameName(const char* given, const char* known) {
  const std::size_t length = std::strlen(known);
  for (std::size_t i = 0; i <= length; ++i) {
    if (i >= kShortNameLimit) return false;
    if (given[i] != known[i]) return false;
  }
  return true;
}

// The one resource matches a request for CAN with ISO 15765 (pins optional: 6 and 14).
inline bool ResourceMatches(const PDU_RSC_DATA* rsc) {
  if (rsc->BusTypeId != kBusTypeCan || rsc->ProtocolId != kProtocolIso15765) return false;
  if (rsc->NumPinData > 0 && rsc->pDLCPinData == nullptr) return false;
  for (UNUM32 i = 0; i < rsc->NumPinData && i < 16; ++i) {
    const PDU_PIN_DATA& pin = rsc->pDLCPinData[i];
    const bool ok = (pin.DLCPinNumber == 6 && pin.DLCPinTypeId == kPinCanHigh) ||
                    (pin.DLCPinNumber == 14 && pin.DLCPinTypeId == kPinCanLow);
    if (!ok) return false;
  }
  return rsc->NumPinData <= 16;
}

inline void CopyText(CHAR8 (&field)[64], const char* text) {
  std::strncpy(field, text, sizeof(field) - 1);
  field[sizeof(field) - 1] = '\0';
}


struct TableEntry {
  UNUM32 uniqueId = 0;
  std::vector<std::pair<UNUM32, UNUM32>> params;  // ComParam id, UNUM32 value
};

struct ExpectedResponse {
  UNUM32 type = 0;
  UNUM32 acceptanceId = 0;
  std::vector<UNUM8> mask;
  std::vector<UNUM8> pattern;
  std::vector<UNUM32> uniqueIds;  // the ECUs whose answers it accepts (none: any)
};

}  // namespace simpdu_parts

using namespace simpdu_parts;

// One allocation handed to the application: every member an item may point to.
struct SimPduVci::Item {
  PDU_ITEM* head = nullptr;
  PDU_EVENT_ITEM event{};
  PDU_RESULT_DATA result{};
  PDU_ERROR_DATA error{};
  PDU_INFO_DATA info{};
  T_PDU_STATUS status = 0;
  PDU_PARAM_ITEM param{};
  UNUM32 value = 0;
  PDU_MODULE_ITEM modules{};
  PDU_MODULE_DATA moduleData{};
  PDU_RSC_ID_ITEM rscIds{};
  PDU_RSC_ID_ITEM_DATA rscIdData{};
  UNUM32 rscIdArray[1] = {kResourceId};
  PDU_RSC_CONFLICT_ITEM conflicts{};
  PDU_DATA_ITEM data{};
  PDU_UNIQUE_RESP_ID_TABLE_ITEM table{};
  std::vector<PDU_ECU_UNIQUE_RESP_DATA> tableData;
  std::vector<PDU_PARAM_ITEM> tableParams;
  std::vector<UNUM32> tableValues;
  std::vector<UNUM8> bytes;
  std::string name;
  std::string additional;
};

struct SimPduVci::Link {
  UNUM32 handle = 0;
  void* tag = nullptr;
  T_PDU_STATUS state = PDU_CLLST_OFFLINE;
  UNUM32 working[kComParams] = {};
  UNUM32 active[kComParams] = {};
  CALLBACKFNC callback = nullptr;
  std::deque<PDU_EVENT_ITEM*> events;
  T_PDU_ERR_EVT lastError = PDU_ERR_EVT_NOERROR;
  UNUM32 lastErrorCop = PDU_HANDLE_UNDEF;
  UNUM32 lastErrorTime = 0;
  UNUM32 lockMask = 0;
  std::map<UNUM32, T_PDU_STATUS> copStatus;
  std::vector<TableEntry> table;
};

struct SimPduVci::Job {
  UNUM32 hCLL = 0;
  UNUM32 hCoP = 0;
  T_PDU_COPT type = 0;
  void* tag = nullptr;
  std::vector<UNUM8> data;
  SNUM32 receiveCycles = 1;
  SNUM32 sendCycles = 1;  // -1: until cancelled
  UNUM32 delayMs = 0;     // DELAY's time, and the cycle time of a cyclic send
  std::chrono::steady_clock::time_point due;
  std::vector<ExpectedResponse> expected;
  bool cancelled = false;  // cancelled while it ran: it ends when this run does
  // True when this run is the ComPrimitive's last.
  bool Last() const { return sendCycles != -1 && sendCycles <= 1; }
};


template <typename Body>
T_PDU_ERROR SimPduVci::Constructed(Body&& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  return body();
}

template <typename Body>
T_PDU_ERROR SimPduVci::OnLink(UNUM32 hMod, UNUM32 hCLL, Body&& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  return body(*link);
}

}  // namespace simulator
