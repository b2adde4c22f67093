// The simulated vehicle on the CAN bus (see vehicle_node.h).
#include "simulator/vehicle_node.h"

#include <algorithm>

namespace simulator {
namespace {

constexpr std::size_t kMaxScheduled = 64;  // answers waiting per ECU; more are dropped

}  // namespace

VehicleNode::VehicleNode() {
  std::size_t count = 0;
  const EcuSpec* specs = VehicleEcus(&count);
  ecus_.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    ecus_[i].request = {specs[i].request, false, -1};
    ecus_[i].response = {specs[i].response, false, -1};
    ecus_[i].blockSize = specs[i].blockSize;
    ecus_[i].stMin = specs[i].stMin;
  }
}

void VehicleNode::OnFrame(const CanFrame& frame, std::uint64_t nowUs, std::vector<CanFrame>& out) {
  if (frame.extendedId) return;
  const IsoTpAddress functional{kFunctionalRequestId, false, -1};
  if (Addressed(frame, functional)) {
    // Functional requests are single frames only.
    if (KindOf(frame, functional) != FrameKind::Single) return;
    if (functional_.OnFrame(frame, functional, 0) != IsoTpReceiver::Event::Complete) return;
    const Bytes request = functional_.payload();
    const std::vector<Reply> replies =
        vehicle_.Request(kFunctionalRequestId, request, nowUs / 1000);
    for (const Reply& reply : replies)
      for (Ecu& ecu : ecus_)
        if (ecu.response.id == reply.responseId && ecu.scheduled.size() < kMaxScheduled)
          ecu.scheduled.push_back({nowUs + std::uint64_t{reply.delayMs} * 1000, reply.payload});
    for (Ecu& ecu : ecus_) Pump(ecu, nowUs, out);
    return;
  }
  for (Ecu& ecu : ecus_) {
    if (!Addressed(frame, ecu.request)) continue;
    if (KindOf(frame, ecu.request) == FrameKind::FlowControl) {
      // The tester's flow control for the answer under way.
      ecu.sender.OnFlowControl(frame, ecu.request, out);
      if (ecu.sender.state() == IsoTpSender::State::Sending)
        ecu.nextUs = nowUs + ecu.sender.gapMicros();
      else if (ecu.sender.state() == IsoTpSender::State::WaitingForFlowControl)
        ecu.nextUs = nowUs + kFlowControlWaitUs;  // after a wait, or the next block
      if (!ecu.sender.busy()) Pump(ecu, nowUs, out);
      return;
    }
    switch (ecu.receiver.OnFrame(frame, ecu.request, ecu.blockSize)) {
      case IsoTpReceiver::Event::FirstFrame:
      case IsoTpReceiver::Event::BlockEnd:
        out.push_back(MakeFlowControl(ecu.response, 0, ecu.blockSize, ecu.stMin, true));
        break;
      case IsoTpReceiver::Event::Complete: {
        const Bytes request = ecu.receiver.payload();
        const std::vector<Reply> replies = vehicle_.Request(ecu.request.id, request, nowUs / 1000);
        for (const Reply& reply : replies)
          if (ecu.scheduled.size() < kMaxScheduled)
            ecu.scheduled.push_back({nowUs + std::uint64_t{reply.delayMs} * 1000, reply.payload});
        Pump(ecu, nowUs, out);
        break;
      }
      default: break;
    }
    return;
  }
}

// Starts the next answer whose time has come, once the sender is free.
void VehicleNode::Pump(Ecu& ecu, std::uint64_t nowUs, std::vector<CanFrame>& out) {
  while (!ecu.sender.busy() && !ecu.scheduled.empty() && ecu.scheduled.front().dueUs <= nowUs) {
    const Bytes payload = std::move(ecu.scheduled.front().payload);
    ecu.scheduled.erase(ecu.scheduled.begin());
    ecu.sender.Start(ecu.response, payload.data(), payload.size(), true, out);
    ecu.nextUs = ecu.sender.busy() ? nowUs + kFlowControlWaitUs : kNoDue;
  }
}

void VehicleNode::RunDue(std::uint64_t nowUs, std::vector<CanFrame>& out) {
  for (Ecu& ecu : ecus_) {
    if (ecu.sender.busy() && ecu.nextUs <= nowUs) {
      if (ecu.sender.state() == IsoTpSender::State::Sending) {
        ecu.sender.SendNext(out);
        if (ecu.sender.state() == IsoTpSender::State::Sending)
          ecu.nextUs = nowUs + ecu.sender.gapMicros();
        else if (ecu.sender.state() == IsoTpSender::State::WaitingForFlowControl)
          ecu.nextUs = nowUs + kFlowControlWaitUs;
      } else {
        ecu.sender.Abort();  // no flow control came in time
      }
    }
    if (!ecu.sender.busy()) ecu.nextUs = kNoDue;
    Pump(ecu, nowUs, out);
  }
}

std::uint64_t VehicleNode::NextDue() const {
  std::uint64_t due = kNoDue;
  for (const Ecu& ecu : ecus_) {
    if (ecu.sender.busy()) due = std::min(due, ecu.nextUs);
    else if (!ecu.scheduled.empty()) due = std::min(due, ecu.scheduled.front().dueUs);
  }
  return due;
}

}  // namespace simulator
