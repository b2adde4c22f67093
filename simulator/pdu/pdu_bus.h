// The simulated D-PDU VCI's side of the CAN bus: a ComPrimitive's request goes
// to the simulated vehicle as ISO 15765-2 frames, and the answers come back
// the same way, with the link's block size and separation time in the flow
// control the VCI sends, as the J2534 VCI's channels do. The conversation runs
// in the bus's own time (microseconds): each answer says when it was whole,
// and the VCI hands it to the application then. Free of Windows headers.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "simulator/vehicle/isotp.h"
#include "simulator/vehicle/vehicle_node.h"

namespace simulator {

// What shapes one request on the bus: where it goes, which answers the VCI
// takes (each response identifier with the request identifier of its ECU, to
// which the flow control goes), and the flow control the VCI announces.
struct PduTransfer {
  std::uint32_t target = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> listen;  // response id, request id
  std::uint8_t blockSize = 0;
  std::uint8_t stMin = 0;  // as sent in a flow-control frame
};

// One answer taken whole from the bus.
struct PduAnswer {
  std::uint32_t responseId = 0;
  std::uint64_t afterUs = 0;  // from the request's start to its last frame
  Bytes payload;
};

// One frame on the bus, as the tests read it.
struct BusFrame {
  std::uint64_t afterUs = 0;  // from the request's start
  bool fromVci = false;
  CanFrame frame;
};

// The separation time a flow-control frame announces for a CP_StMin in
// microseconds: 100 us steps below 1 ms, milliseconds up to 127 above.
std::uint8_t StMinByte(std::uint32_t micros);

class PduBus {
 public:
  Vehicle& vehicle() { return node_.vehicle(); }
  // Starts the bus again at time 0 with a new vehicle (faults and scenario kept).
  void Reset();
  // Sends `request` at `nowUs` and runs the bus until it is quiet. The
  // answers come in the order they became whole (at the same time: in the
  // order they began). The vehicle's time never runs back: a request
  // given a time before the last one reached the vehicle starts then.
  std::vector<PduAnswer> Exchange(const PduTransfer& transfer, const Bytes& request,
                                  std::uint64_t nowUs);
  // The frames of the last conversation (at most kMaxTraceFrames).
  const std::vector<BusFrame>& lastFrames() const { return frames_; }
  static constexpr std::size_t kMaxTraceFrames = 1024;

 private:
  VehicleNode node_;
  std::uint64_t clockUs_ = 0;
  std::vector<BusFrame> frames_;
};

}  // namespace simulator
