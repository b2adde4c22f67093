// The simulated D-PDU VCI reaches the vehicle through the ISO 15765-2
// transport: the link's CP_BlockSize and CP_StMin are what the VCI's flow
// control announces, and the vehicle's answer follows them in the bus's time.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "simulator/pdu/sim_vci.h"

using namespace pdu;

namespace {

UNUM32 SetParam(simulator::SimPduVci& vci, UNUM32 hCLL, UNUM32 id, UNUM32 value) {
  PDU_PARAM_ITEM item{PDU_IT_PARAM, id, PDU_PT_UNUM32, PDU_PC_COM, &value};
  return vci.SetComParam(simulator::simpdu::kModuleHandle, hCLL, &item);
}

// Runs a ComPrimitive and waits (bounded) until it finished.
void RunCop(simulator::SimPduVci& vci, UNUM32 hCLL, T_PDU_COPT type, std::vector<UNUM8> data) {
  PDU_COP_CTRL_DATA ctrl{0, 1, 1, 0, {}, 0, nullptr};
  UNUM32 hCoP = 0;
  ASSERT_EQ(vci.StartComPrimitive(1, hCLL, type, static_cast<UNUM32>(data.size()), data.data(),
                                  type == PDU_COPT_SENDRECV ? &ctrl : nullptr, nullptr, &hCoP),
            PDU_STATUS_NOERROR);
  T_PDU_STATUS status = 0;
  UNUM32 timestamp = 0, extra = 0;
  for (int wait = 0; wait < 5000 && status != PDU_COPST_FINISHED; ++wait) {
    vci.GetStatus(1, hCLL, hCoP, &status, &timestamp, &extra);
    if (status != PDU_COPST_FINISHED) Sleep(1);
  }
  ASSERT_EQ(status, static_cast<T_PDU_STATUS>(PDU_COPST_FINISHED));
}

// The VIN (09 02, 20 bytes: a first frame and two consecutive frames) under
// the link's flow control: the flow-control frames the VCI sent, what they
// announce, and the bus time between the two consecutive frames.
TEST(PduSimulator, TheLinksBlockSizeAndSeparationTimeShapeTheVehiclesAnswer) {
  struct Case {
    UNUM32 blockSize, stMinMicros;
    std::size_t flowControls;
    UNUM8 stMinByte;
    std::uint64_t gapUs;
  } const cases[] = {
      {0, 0, 1, 0x00, 0},
      {0, 10000, 1, 0x0A, 10000},
      {0, 300, 1, 0xF3, 300},
      {1, 10000, 2, 0x0A, 0},  // a block of one: each consecutive frame follows a flow control at once
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.blockSize) + " / " + std::to_string(c.stMinMicros));
    simulator::SimPduVci vci;
    ASSERT_EQ(vci.Construct("", nullptr), PDU_STATUS_NOERROR);
    ASSERT_EQ(vci.ModuleConnect(1), PDU_STATUS_NOERROR);
    UNUM32 hCLL = 0;
    ASSERT_EQ(vci.CreateComLogicalLink(1, nullptr, simulator::simpdu::kResourceId, nullptr, &hCLL, nullptr),
              PDU_STATUS_NOERROR);
    ASSERT_EQ(SetParam(vci, hCLL, 0x030A, c.blockSize), PDU_STATUS_NOERROR);  // CP_BlockSize
    ASSERT_EQ(SetParam(vci, hCLL, 0x030B, c.stMinMicros), PDU_STATUS_NOERROR);  // CP_StMin
    ASSERT_EQ(vci.Connect(1, hCLL), PDU_STATUS_NOERROR);
    RunCop(vci, hCLL, PDU_COPT_STARTCOMM, {});
    RunCop(vci, hCLL, PDU_COPT_SENDRECV, {0x09, 0x02});
    std::vector<simulator::BusFrame> flowControls, consecutive;
    for (const simulator::BusFrame& f : vci.LastBusFrames()) {
      if (f.fromVci && f.frame.id == 0x7E0 && (f.frame.data[0] & 0xF0) == 0x30) flowControls.push_back(f);
      if (!f.fromVci && f.frame.id == 0x7E8 && (f.frame.data[0] & 0xF0) == 0x20) consecutive.push_back(f);
    }
    ASSERT_EQ(flowControls.size(), c.flowControls);
    for (const simulator::BusFrame& f : flowControls) {
      EXPECT_EQ(f.frame.data[1], c.blockSize);
      EXPECT_EQ(f.frame.data[2], c.stMinByte);
    }
    ASSERT_EQ(consecutive.size(), 2u);
    EXPECT_EQ(consecutive[1].afterUs - consecutive[0].afterUs, c.gapUs);
    // The application still gets the whole answer.
    bool answered = false;
    for (PDU_EVENT_ITEM* event = nullptr; vci.GetEventItem(1, hCLL, &event) == PDU_STATUS_NOERROR;) {
      if (event->ItemType == PDU_IT_RESULT) {
        const auto* result = static_cast<const PDU_RESULT_DATA*>(event->pData);
        answered = result->NumDataBytes == 20 && result->pDataBytes[0] == 0x49 && result->pDataBytes[3] == 'W';
      }
      vci.DestroyItem(reinterpret_cast<PDU_ITEM*>(event));
    }
    EXPECT_TRUE(answered);
    ASSERT_EQ(vci.Destruct(), PDU_STATUS_NOERROR);
  }
}

}  // namespace
