// The simulated vehicle as nodes on the CAN bus (11-bit ids, normal
// addressing): every ECU reassembles requests to its physical id and to the
// functional id, answers through the Vehicle, and segments its answers with
// the tester's flow control, keeping the tester's block size and separation
// time. Answers the vehicle delays (response pending, fault settings) wait
// for their time here. Free of Windows headers: time (microseconds) is an
// argument, and the caller runs RunDue when NextDue says.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "simulator/vehicle/isotp.h"
#include "simulator/vehicle/vehicle.h"

namespace simulator {

constexpr std::uint64_t kNoDue = std::numeric_limits<std::uint64_t>::max();
// How long a sender waits for a flow-control frame (ISO 15765-2 N_Bs).
constexpr std::uint32_t kFlowControlWaitUs = 1000000;

class VehicleNode {
 public:
  VehicleNode();
  Vehicle& vehicle() { return vehicle_; }
  // A frame on the bus at `nowUs`; the frames the ECUs send at once go to `out`.
  void OnFrame(const CanFrame& frame, std::uint64_t nowUs, std::vector<CanFrame>& out);
  // Sends what is due at `nowUs`: delayed answers, consecutive frames whose
  // separation time has passed; gives up on flow control that did not come.
  void RunDue(std::uint64_t nowUs, std::vector<CanFrame>& out);
  // When RunDue has something to do next (kNoDue: nothing).
  std::uint64_t NextDue() const;
  // Starts the scenario's periodic traffic at `nowUs` (see Vehicle::SetScenario).
  void StartScenario(std::uint64_t nowUs);

 private:
  struct Scheduled {
    std::uint64_t dueUs;
    Bytes payload;
  };
  struct Ecu {
    IsoTpAddress request, response;
    std::uint8_t blockSize = 0, stMin = 0;
    IsoTpReceiver receiver;
    IsoTpSender sender;
    std::uint64_t nextUs = kNoDue;  // next consecutive frame, or the flow-control deadline
    std::vector<Scheduled> scheduled;  // answers waiting for their time, in order
  };
  void Answer(Ecu& ecu, std::uint32_t canId, const Bytes& request, std::uint64_t nowUs,
              std::vector<CanFrame>& out);
  void Pump(Ecu& ecu, std::uint64_t nowUs, std::vector<CanFrame>& out);

  // Frames of the scenario sent as recorded, at their time.
  struct TimedFrame {
    std::uint64_t dueUs;
    CanFrame frame;
  };
  struct PeriodicTrack {
    std::size_t next = 0;
    std::uint64_t dueUs = kNoDue;
  };
  static CanFrame FrameOf(const ScenarioAnswer& answer);

  Vehicle vehicle_;
  std::vector<TimedFrame> rawFrames_;     // in the order they are due
  std::vector<PeriodicTrack> periodic_;   // per Scenario::periodic() id
  std::vector<Ecu> ecus_;
  IsoTpReceiver functional_;
};

}  // namespace simulator
