// The pure D-PDU rules: code names, the decoders of items handed over by an
// application or a library (NULL pointers, counts past the caps, the message
// size), and the simulated VCI's bounds (a full event queue, items never leaked).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "monitor/pdu/pdu_record.h"
#include "pdu/pdu_names.h"
#include "simulator/pdu/sim_vci.h"

using namespace pdu;
using namespace monitor;

namespace {

TEST(PduRules, CodesHaveTheirPublishedNamesAndOthersShowInHex) {
  struct Row {
    const char* (*namer)(std::uint32_t);
    std::uint32_t code;
    const char* name;
  } rows[] = {
      {ErrorName, 0x00, "PDU_STATUS_NOERROR"},
      {ErrorName, 0x01, "PDU_ERR_FCT_FAILED"},
      {ErrorName, 0x20, "PDU_ERR_PDUAPI_NOT_CONSTRUCTED"},
      {ErrorName, 0x71, "PDU_ERR_EVENT_QUEUE_EMPTY"},
      {ErrorName, 0xA1, "PDU_ERR_RSC_LOCKED_BY_OTHER_CLL"},
      {ErrorName, 0xA6, "PDU_ERR_PIN_NOT_CONNECTED"},
      {ErrorName, 0x02, nullptr},
      {ItemTypeName, 0x1300, "PDU_IT_RESULT"},
      {ItemTypeName, 0x1800, "PDU_IT_IO_VEHICLE_ID_REQUEST"},
      {ItemTypeName, 1800, nullptr},
      {CopTypeName, 0x8004, "PDU_COPT_SENDRECV"},
      {ObjectTypeName, 0x8024, "PDU_OBJT_COMPARAM"},
      {StatusName, 0x8052, "PDU_CLLST_COMM_STARTED"},
      {StatusName, 0x8063, "PDU_MODST_AVAIL"},
      {InfoName, 0x8072, "PDU_INFO_PHYS_COMPARAM_CHG"},
      {EventDataName, 0x0802, "PDU_EVT_DATA_LOST"},
      {ErrorEventName, 0x0109, "PDU_ERR_EVT_RSC_LOCKED"},
      {ParamTypeName, 0x109, "PDU_PT_LONGFIELD"},
  };
  for (const Row& row : rows) {
    const char* name = row.namer(row.code);
    if (row.name == nullptr) {
      EXPECT_EQ(name, nullptr) << row.code;
      EXPECT_EQ(NameOr(name, row.code), Hex32(row.code));
    } else {
      ASSERT_NE(name, nullptr) << row.code;
      EXPECT_STREQ(name, row.name);
    }
  }
  EXPECT_EQ(HandleText(PDU_HANDLE_UNDEF), "UNDEF");
  EXPECT_EQ(BoundedShortName("CP_\x01\xFF", 5), "CP_??");
  const char unterminated[4] = {'A', 'B', 'C', 'D'};
  EXPECT_EQ(BoundedShortName(unterminated, sizeof unterminated), "ABCD");
}

TEST(PduRules, DecodersCheckPointersCapCountsAndHonourTheMessageSize) {
  ObjectNames names;
  names.Remember(PDU_OBJT_COMPARAM, 0x301, "CP_Baudrate");
  UNUM32 baud = 500000;
  PDU_PARAM_ITEM param{PDU_IT_PARAM, 0x301, PDU_PT_UNUM32, PDU_PC_BUSTYPE, &baud};
  EXPECT_EQ(ParamItemText(&param, names),
            "CP_Baudrate (0x00000301) PDU_PT_UNUM32 class 5 = 500000 (0x0007A120)");
  param.pComParamData = nullptr;
  EXPECT_NE(ParamItemText(&param, names).find("= NULL"), std::string::npos);
  EXPECT_EQ(ParamItemText(nullptr, names), "NULL");
  PDU_PARAM_LONGFIELD_DATA longs{1000000, 1000000, nullptr};
  param = {PDU_IT_PARAM, 0x999, PDU_PT_LONGFIELD, PDU_PC_COM, &longs};
  EXPECT_NE(ParamItemText(&param, names).find("0x00000999"), std::string::npos);
  EXPECT_NE(ParamItemText(&param, names).find(" NULL"), std::string::npos);

  std::vector<UNUM32> ids(200, 7);
  PDU_RSC_ID_ITEM_DATA idData{1, 200, ids.data()};
  PDU_RSC_ID_ITEM idItem{PDU_IT_RSC_ID, 1, &idData};
  EXPECT_NE(RscIdItemText(&idItem).find("(136 more not logged)"), std::string::npos);
  PDU_MODULE_ITEM modules{PDU_IT_MODULE_ID, 3, nullptr};
  EXPECT_EQ(ModuleItemText(&modules), "3 module(s) at NULL");
  PDU_COP_CTRL_DATA ctrl{0, 1, -1, 0, {2, nullptr}, 1, nullptr};
  EXPECT_NE(CopCtrlText(&ctrl).find("NumReceiveCycles -1"), std::string::npos);
  EXPECT_NE(CopCtrlText(&ctrl).find("1 expected response(s) at NULL"), std::string::npos);

  // A result of 100 bytes with a message size of 8: 8 logged, 100 counted.
  std::vector<UNUM8> bytes(100, 0xAB);
  PDU_RESULT_DATA result{};
  result.NumDataBytes = 100;
  result.pDataBytes = bytes.data();
  PDU_EVENT_ITEM event{PDU_IT_RESULT, 3, nullptr, 42, &result};
  PduRecord record;
  AddEventItem(record, &event, 8);
  record.hasResult = true;
  record.result = PDU_ERR_EVENT_QUEUE_EMPTY;
  const LogEntry entry = BuildPduEntry(record);
  ASSERT_EQ(entry.fields.size(), 3u);
  EXPECT_EQ(entry.fields[0].value, "PDU_IT_RESULT, hCoP 3, CoPTag NULL, Timestamp 42 us");
  EXPECT_EQ(entry.fields[2].value, "100 bytes (8 logged): AB AB AB AB AB AB AB AB");
  EXPECT_EQ(entry.result, "PDU_ERR_EVENT_QUEUE_EMPTY");
  EXPECT_TRUE(entry.failed);
  PduRecord nulls;
  event.pData = nullptr;
  AddEventItem(nulls, &event, 0);
  AddEventItem(nulls, nullptr, 0);
  nulls.AddBytes("CoPData", nullptr, 5000, 0);
  EXPECT_EQ(BuildPduEntry(nulls).fields.back().value, "5000 bytes at NULL");
}

std::atomic<int> g_lost{0};
void PDU_CALL CountLost(T_PDU_EVT_DATA type, UNUM32, UNUM32, void*, void*) {
  if (type == PDU_EVT_DATA_LOST) ++g_lost;
}

// Events nobody takes fill the link's queue; the rest are lost and the
// application is told so. Every item handed out is freed, the queued ones at PDUDestruct.
TEST(PduSimulator, AFullEventQueueLosesEventsAndSaysSo) {
  simulator::SimPduVci vci;
  ASSERT_EQ(vci.Construct("", nullptr), PDU_STATUS_NOERROR);
  ASSERT_EQ(vci.ModuleConnect(1), PDU_STATUS_NOERROR);
  UNUM32 hCLL = 0;
  ASSERT_EQ(vci.CreateComLogicalLink(1, nullptr, simulator::simpdu::kResourceId, nullptr, &hCLL, nullptr),
            PDU_STATUS_NOERROR);
  ASSERT_EQ(vci.RegisterEventCallback(1, hCLL, &CountLost), PDU_STATUS_NOERROR);
  ASSERT_EQ(vci.Connect(1, hCLL), PDU_STATUS_NOERROR);
  UNUM32 hCoP = 0;
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(vci.StartComPrimitive(1, hCLL, PDU_COPT_UPDATEPARAM, 0, nullptr, nullptr, nullptr, &hCoP),
              PDU_STATUS_NOERROR);
  T_PDU_STATUS status = 0;
  UNUM32 timestamp = 0, extra = 0;
  for (int wait = 0; wait < 3000; ++wait) {
    if (vci.GetStatus(1, hCLL, hCoP, &status, &timestamp, &extra) == PDU_STATUS_NOERROR &&
        status == PDU_COPST_FINISHED)
      break;
    Sleep(1);
  }
  EXPECT_EQ(status, static_cast<T_PDU_STATUS>(PDU_COPST_FINISHED));
  Sleep(100);
  EXPECT_EQ(vci.LiveItems(), simulator::simpdu::kMaxQueuedEvents + 1);  // and the module's READY
  EXPECT_EQ(g_lost.load(), static_cast<int>(1 + 2 * 200 - simulator::simpdu::kMaxQueuedEvents));
  PDU_EVENT_ITEM* item = nullptr;
  ASSERT_EQ(vci.GetEventItem(1, hCLL, &item), PDU_STATUS_NOERROR);
  EXPECT_EQ(vci.DestroyItem(reinterpret_cast<PDU_ITEM*>(item)), PDU_STATUS_NOERROR);
  EXPECT_EQ(vci.DestroyItem(reinterpret_cast<PDU_ITEM*>(item)), PDU_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(vci.Destruct(), PDU_STATUS_NOERROR);
  EXPECT_EQ(vci.LiveItems(), 0u);
}

}  // namespace
