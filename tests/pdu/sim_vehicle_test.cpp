// The simulated D-PDU VCI in front of the simulated vehicle, through the
// library's exports: a link per ECU from its ComParams, functional requests
// collecting both ECUs' answers, and the fault settings taken at PDUConnect
// (the same vehicle and settings the J2534 side meets).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "pdu/pdu_names.h"
#include "settings/registry.h"
#include "simulator/fault_settings.h"
#include "tests/pdu/pdu_client.h"
#include "tests/test_support.h"
#include "hosted/arch.h"

using namespace pdu;
using namespace pdutest;

namespace {

// One event of a ComPrimitive: a result (its unique response id, acceptance
// id, bytes) or an error (its code).
struct Event {
  std::string what;
  UNUM32 uniqueId = 0, acceptanceId = 0;
  UNUM32 latencyUs = 0;  // from the request's end to the answer
  bool operator==(const Event& o) const {
    return what == o.what && uniqueId == o.uniqueId && acceptanceId == o.acceptanceId;
  }
};
std::string Hex(const UNUM8* bytes, UNUM32 n) {
  std::string s;
  char x[4];
  for (UNUM32 i = 0; i < n && i < 64; ++i) {
    std::snprintf(x, sizeof x, i == 0 ? "%02X" : " %02X", bytes[i]);
    s += x;
  }
  return s;
}

class PduVehicle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir_.Path(), L"SimVehicle.dll"));
    ASSERT_TRUE(lib_.Load(dir_ / L"SimVehicle.dll"));
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, scratch_.User()), ERROR_SUCCESS);
    char options[] = "";
    ASSERT_EQ(lib_.Construct(options, nullptr), PDU_STATUS_NOERROR);
    ASSERT_EQ(lib_.ModuleConnect(1), PDU_STATUS_NOERROR);
  }
  void TearDown() override {
    lib_.ModuleDisconnect(1);
    lib_.Destruct();
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  }
  UNUM32 Param(const char* name) { return ObjectId(lib_, PDU_OBJT_COMPARAM, name); }
  void Set(UNUM32 hCLL, const char* name, UNUM32 value) {
    PDU_PARAM_ITEM item{PDU_IT_PARAM, Param(name), PDU_PT_UNUM32, PDU_PC_COM, &value};
    ASSERT_EQ(lib_.SetComParam(1, hCLL, &item), PDU_STATUS_NOERROR) << name;
  }
  // A link to the ECU with these ids, connected and communicating.
  UNUM32 Link(UNUM32 request, UNUM32 response) {
    UNUM32 hCLL = PDU_HANDLE_UNDEF;
    EXPECT_EQ(lib_.CreateComLogicalLink(1, nullptr, 1, nullptr, &hCLL, nullptr), PDU_STATUS_NOERROR);
    Set(hCLL, "CP_CanPhysReqId", request);
    Set(hCLL, "CP_CanRespUSDTId", response);
    Start(hCLL);
    return hCLL;
  }
  void Start(UNUM32 hCLL) {
    EXPECT_EQ(lib_.Connect(1, hCLL), PDU_STATUS_NOERROR);
    UNUM32 hCoP = 0;
    EXPECT_EQ(lib_.StartComPrimitive(1, hCLL, PDU_COPT_STARTCOMM, 0, nullptr, nullptr, nullptr, &hCoP),
              PDU_STATUS_NOERROR);
    Events(hCLL, hCoP);
  }
  // The results and errors of ComPrimitive hCoP, until it finishes.
  std::vector<Event> Events(UNUM32 hCLL, UNUM32 hCoP) {
    std::vector<Event> events;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
      PDU_EVENT_ITEM* item = nullptr;
      if (lib_.GetEventItem(1, hCLL, &item) != PDU_STATUS_NOERROR || item == nullptr) {
        Sleep(1);
        continue;
      }
      bool finished = false;
      if (item->hCop == hCoP && item->pData != nullptr) {
        if (item->ItemType == PDU_IT_RESULT) {
          const auto* r = static_cast<const PDU_RESULT_DATA*>(item->pData);
          events.push_back({Hex(r->pDataBytes, r->NumDataBytes), r->UniqueRespIdentifier, r->AcceptanceId,
                            r->StartMsgTimestamp - r->TxMsgDoneTimestamp});
        } else if (item->ItemType == PDU_IT_ERROR) {
          const auto* e = static_cast<const PDU_ERROR_DATA*>(item->pData);
          events.push_back({NameOr(ErrorEventName(e->ErrorCodeId), e->ErrorCodeId)});
        } else if (item->ItemType == PDU_IT_STATUS) {
          finished = *static_cast<const T_PDU_STATUS*>(item->pData) == PDU_COPST_FINISHED;
        }
      }
      lib_.DestroyItem(reinterpret_cast<PDU_ITEM*>(item));
      if (finished) return events;
    }
    events.push_back({"timeout"});
    return events;
  }
  std::vector<Event> SendReceive(UNUM32 hCLL, std::vector<UNUM8> request, PDU_COP_CTRL_DATA ctrl) {
    UNUM32 hCoP = 0;
    EXPECT_EQ(lib_.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, static_cast<UNUM32>(request.size()),
                                     request.data(), &ctrl, nullptr, &hCoP),
              PDU_STATUS_NOERROR);
    return Events(hCLL, hCoP);
  }

  varrow::test::ScratchDir dir_;
  varrow::test::ScratchRegistry scratch_;
  PduLib lib_;
};

constexpr char kEngineSerial[] = "62 F1 8C 45 4E 32 34 30 33 31 35 30 30 30 31 37";
constexpr char kTransmissionSerial[] = "62 F1 8C 54 43 32 34 30 33 31 35 30 30 30 34 32";

TEST_F(PduVehicle, LinksPerEcuAndFunctionalRequestsCollectingBothEcus) {
  const UNUM32 engine = Link(0x7E0, 0x7E8);
  const UNUM32 transmission = Link(0x7E1, 0x7E9);
  PDU_COP_CTRL_DATA one{0, 1, 1, 0, {0, nullptr}, 0, nullptr};
  EXPECT_EQ(SendReceive(engine, {0x22, 0xF1, 0x8C}, one), (std::vector<Event>{{kEngineSerial, 1, 0}}));
  EXPECT_EQ(SendReceive(transmission, {0x22, 0xF1, 0x8C}, one), (std::vector<Event>{{kTransmissionSerial, 1, 0}}));

  // Functional on the engine's link: both ECUs in its unique response id
  // table, one expected response per ECU.
  UNUM32 ids[2][2] = {{0x7E0, 0x7E8}, {0x7E1, 0x7E9}};
  PDU_PARAM_ITEM params[2][2];
  PDU_ECU_UNIQUE_RESP_DATA entries[2];
  for (int e = 0; e < 2; ++e) {
    params[e][0] = {PDU_IT_PARAM, Param("CP_CanPhysReqId"), PDU_PT_UNUM32, PDU_PC_UNIQUE_ID, &ids[e][0]};
    params[e][1] = {PDU_IT_PARAM, Param("CP_CanRespUSDTId"), PDU_PT_UNUM32, PDU_PC_UNIQUE_ID, &ids[e][1]};
    entries[e] = {static_cast<UNUM32>(e + 1), 2, params[e]};
  }
  PDU_UNIQUE_RESP_ID_TABLE_ITEM table{PDU_IT_UNIQUE_RESP_ID_TABLE, 2, entries};
  ASSERT_EQ(lib_.SetUniqueRespIdTable(1, engine, &table), PDU_STATUS_NOERROR);
  Set(engine, "CP_RequestAddrMode", 2);
  UNUM32 hUpdate = 0;
  ASSERT_EQ(lib_.StartComPrimitive(1, engine, PDU_COPT_UPDATEPARAM, 0, nullptr, nullptr, nullptr, &hUpdate),
            PDU_STATUS_NOERROR);
  Events(engine, hUpdate);
  UNUM8 mask = 0xFF, positive = 0x62;
  UNUM32 engineId = 1, transmissionId = 2;
  PDU_EXP_RESP_DATA expected[2] = {{0, 11, 1, &mask, &positive, 1, &engineId},
                                   {0, 12, 1, &mask, &positive, 1, &transmissionId}};
  PDU_COP_CTRL_DATA both{0, 1, 2, 0, {0, nullptr}, 2, expected};
  EXPECT_EQ(SendReceive(engine, {0x22, 0xF1, 0x8C}, both),
            (std::vector<Event>{{kEngineSerial, 1, 11}, {kTransmissionSerial, 2, 12}}));
  // Only the transmission expected: the engine's answer is not taken.
  PDU_COP_CTRL_DATA second{0, 1, 1, 0, {0, nullptr}, 1, &expected[1]};
  EXPECT_EQ(SendReceive(engine, {0x22, 0xF1, 0x8C}, second), (std::vector<Event>{{kTransmissionSerial, 2, 12}}));
  // A service only the engine knows: the other ECU stays silent.
  EXPECT_EQ(SendReceive(engine, {0x09, 0x02}, PDU_COP_CTRL_DATA{0, 1, -1, 0, {0, nullptr}, 0, nullptr}).size(), 1u);
  for (UNUM32 hCLL : {engine, transmission}) {
    EXPECT_EQ(lib_.Disconnect(1, hCLL), PDU_STATUS_NOERROR);
    EXPECT_EQ(lib_.DestroyComLogicalLink(1, hCLL), PDU_STATUS_NOERROR);
  }
}

TEST_F(PduVehicle, FaultSettingsTakeEffectAtConnect) {
  struct Row {
    const char* what;
    DWORD delayMs, unansweredPercent, pending;
    std::vector<Event> events;
    UNUM32 minimumLatencyUs;
  } rows[] = {
      {"healthy", 0, 0, 0, {{"7E 00", 1, 0}}, 0},
      {"two pending answers: handled by the VCI", 0, 0, 2, {{"7E 00", 1, 0}}, 200000},
      {"delay", 300, 0, 0, {{"7E 00", 1, 0}}, 300000},
      {"every request unanswered", 0, 100, 0, {{"PDU_ERR_EVT_RX_TIMEOUT"}}, 0},
  };
  UNUM32 hCLL = PDU_HANDLE_UNDEF;
  ASSERT_EQ(lib_.CreateComLogicalLink(1, nullptr, 1, nullptr, &hCLL, nullptr), PDU_STATUS_NOERROR);
  for (const Row& r : rows) {
    varrow::RegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, simulator::kSimulatorKey, KEY_SET_VALUE), ERROR_SUCCESS);
    ASSERT_EQ(varrow::WriteDword(key.Get(), L"ResponseDelayMs", r.delayMs), ERROR_SUCCESS);
    ASSERT_EQ(varrow::WriteDword(key.Get(), L"UnansweredPercent", r.unansweredPercent), ERROR_SUCCESS);
    ASSERT_EQ(varrow::WriteDword(key.Get(), L"PendingResponses", r.pending), ERROR_SUCCESS);
    Start(hCLL);
    const std::vector<Event> events =
        SendReceive(hCLL, {0x3E, 0x00}, PDU_COP_CTRL_DATA{0, 1, 1, 0, {0, nullptr}, 0, nullptr});
    EXPECT_EQ(events, r.events) << r.what;
    if (!events.empty()) {
      EXPECT_GE(events[0].latencyUs, r.minimumLatencyUs) << r.what;
    }
    EXPECT_EQ(lib_.Disconnect(1, hCLL), PDU_STATUS_NOERROR);
  }
  EXPECT_EQ(lib_.DestroyComLogicalLink(1, hCLL), PDU_STATUS_NOERROR);
}

// A cyclic ComPrimitive cancelled while a run of it waits for its answer (the
// event thread lets go of the lock then) is cancelled, not unknown: the run's
// answer still comes, then the cancellation, and no further cycle.
TEST_F(PduVehicle, CyclicComPrimitiveCancelledWhileItRuns) {
  varrow::RegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, simulator::kSimulatorKey, KEY_SET_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(varrow::WriteDword(key.Get(), L"ResponseDelayMs", 1000), ERROR_SUCCESS);
  UNUM32 hCLL = PDU_HANDLE_UNDEF;
  ASSERT_EQ(lib_.CreateComLogicalLink(1, nullptr, 1, nullptr, &hCLL, nullptr), PDU_STATUS_NOERROR);
  Start(hCLL);
  UNUM8 testerPresent[] = {0x3E, 0x00};
  PDU_COP_CTRL_DATA cyclic{10, -1, 1, 0, {0, nullptr}, 0, nullptr};
  UNUM32 hCoP = 0;
  ASSERT_EQ(lib_.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, 2, testerPresent, &cyclic, nullptr, &hCoP),
            PDU_STATUS_NOERROR);
  T_PDU_STATUS status = 0;
  UNUM32 timestamp = 0, extra = 0;
  for (int i = 0; i < 5000 && status != PDU_COPST_EXECUTING; ++i) {
    lib_.GetStatus(1, hCLL, hCoP, &status, &timestamp, &extra);
    Sleep(1);
  }
  ASSERT_EQ(status, static_cast<T_PDU_STATUS>(PDU_COPST_EXECUTING));
  EXPECT_EQ(lib_.CancelComPrimitive(1, hCLL, hCoP), PDU_STATUS_NOERROR);  // within the answer's second
  std::vector<std::string> seen;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 5000 && (seen.empty() || seen.back() != "cancelled")) {
    PDU_EVENT_ITEM* item = nullptr;
    if (lib_.GetEventItem(1, hCLL, &item) != PDU_STATUS_NOERROR || item == nullptr) {
      Sleep(1);
      continue;
    }
    if (item->hCop == hCoP && item->ItemType == PDU_IT_RESULT) seen.push_back("result");
    if (item->hCop == hCoP && item->ItemType == PDU_IT_STATUS) {
      const T_PDU_STATUS s = *static_cast<const T_PDU_STATUS*>(item->pData);
      if (s == PDU_COPST_CANCELLED) seen.push_back("cancelled");
      if (s == PDU_COPST_WAITING || s == PDU_COPST_FINISHED) seen.push_back(s == PDU_COPST_WAITING ? "waiting" : "finished");
    }
    lib_.DestroyItem(reinterpret_cast<PDU_ITEM*>(item));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"result", "waiting", "cancelled"}));
  Sleep(50);  // a further cycle would have started by now
  PDU_EVENT_ITEM* late = nullptr;
  EXPECT_NE(lib_.GetEventItem(1, hCLL, &late), PDU_STATUS_NOERROR);
  if (late != nullptr) lib_.DestroyItem(reinterpret_cast<PDU_ITEM*>(late));
  EXPECT_EQ(lib_.Disconnect(1, hCLL), PDU_STATUS_NOERROR);
  EXPECT_EQ(lib_.DestroyComLogicalLink(1, hCLL), PDU_STATUS_NOERROR);
}

}  // namespace
