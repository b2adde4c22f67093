// The simulated vehicle on the CAN bus (see vehicle_node.h).
#include "simulator/vehicle/vehicle_node.h"

#include <algorithm>

namespace simulator {
namespace {

constexpr std::size_t kMaxScheduled = 64;  // answers waiting per ECU; more are dropped
constexpr std::size_t kMaxRawFrames = 256;  // recorded frames waiting; more are dropped

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

CanFrame VehicleNode::FrameOf(const ScenarioAnswer& answer) {
  CanFrame frame;
  frame.id = answer.canId & 0x1FFFFFFF;
  frame.extendedId = answer.canId > 0x7FF;
  frame.size = static_cast<std::uint8_t>(std::min<std::size_t>(answer.data.size(), 8));
  std::copy(answer.data.begin(), answer.data.begin() + frame.size, frame.data);
  return frame;
}

void VehicleNode::StartScenario(std::uint64_t nowUs) {
  rawFrames_.clear();
  periodic_.clear();
  const Scenario* scenario = vehicle_.scenario();
  if (scenario == nullptr) return;
  for (const std::vector<ScenarioAnswer>& track : scenario->periodic())
    periodic_.push_back({0, track.empty() ? kNoDue : nowUs + track.front().delayUs});
}

void VehicleNode::OnFrame(const CanFrame& frame, std::uint64_t nowUs, std::vector<CanFrame>& out) {
  if (Scenario* scenario = vehicle_.scenario()) {
    // A frame the recording answered frame by frame (a raw CAN channel).
    std::vector<ScenarioAnswer> answers;
    const Bytes data(frame.data, frame.data + std::min<std::uint8_t>(frame.size, 8));
    if (scenario->Answer(ScenarioLevel::Frame, frame.id, data, vehicle_.scenarioSpeed(), &answers)) {
      for (const ScenarioAnswer& answer : answers)
        if (rawFrames_.size() < kMaxRawFrames)
          rawFrames_.push_back({nowUs + answer.delayUs, FrameOf(answer)});
      std::stable_sort(rawFrames_.begin(), rawFrames_.end(),
                       [](const TimedFrame& a, const TimedFrame& b) { return a.dueUs < b.dueUs; });
      RunDue(nowUs, out);
      return;
    }
  }
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
  std::size_t sent = 0;
  while (sent < rawFrames_.size() && rawFrames_[sent].dueUs <= nowUs) out.push_back(rawFrames_[sent++].frame);
  rawFrames_.erase(rawFrames_.begin(), rawFrames_.begin() + static_cast<std::ptrdiff_t>(sent));
  if (const Scenario* scenario = vehicle_.scenario()) {
    const auto& tracks = scenario->periodic();
    for (std::size_t t = 0; t < periodic_.size() && t < tracks.size(); ++t) {
      PeriodicTrack& track = periodic_[t];
      // At most one round of a track per call: a late caller does not flood the bus.
      for (std::size_t n = 0; n < tracks[t].size() && track.dueUs <= nowUs; ++n) {
        out.push_back(FrameOf(tracks[t][track.next]));
        track.next = (track.next + 1) % tracks[t].size();
        // The recorded gap to the next frame (at least 1 ms, so that a track
        // recorded without gaps cannot spin); the speed setting leaves the rhythm.
        track.dueUs = std::max(track.dueUs, nowUs - std::min<std::uint64_t>(nowUs, 1000000)) +
                      std::max<std::uint32_t>(tracks[t][track.next].delayUs, 1000);
      }
    }
  }
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
  if (!rawFrames_.empty()) due = rawFrames_.front().dueUs;
  for (const PeriodicTrack& track : periodic_) due = std::min(due, track.dueUs);
  for (const Ecu& ecu : ecus_) {
    if (ecu.sender.busy()) due = std::min(due, ecu.nextUs);
    else if (!ecu.scheduled.empty()) due = std::min(due, ecu.scheduled.front().dueUs);
  }
  return due;
}

}  // namespace simulator
