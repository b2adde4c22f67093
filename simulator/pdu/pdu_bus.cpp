// The simulated D-PDU VCI's side of the CAN bus (see pdu_bus.h).
#include "simulator/pdu/pdu_bus.h"

#include <algorithm>
#include <deque>

namespace simulator {
namespace {

constexpr int kMaxBusFrames = 20000;  // bound on one conversation (a 4 KiB payload is ~600 frames)
constexpr int kMaxRounds = 20000;     // bound on the times the bus waits for something due

}  // namespace

std::uint8_t StMinByte(std::uint32_t micros) {
  if (micros == 0) return 0;
  if (micros < 1000) return static_cast<std::uint8_t>(0xF0 + std::min<std::uint32_t>((micros + 99) / 100, 9));
  return static_cast<std::uint8_t>(std::min<std::uint32_t>((micros + 999) / 1000, 0x7F));
}

void PduBus::Reset() {
  node_ = VehicleNode();
  clockUs_ = 0;
  frames_.clear();
}

std::vector<PduAnswer> PduBus::Exchange(const PduTransfer& transfer, const Bytes& request,
                                        std::uint64_t nowUs) {
  struct InFlight {
    CanFrame frame;
    bool fromVci;
  };
  frames_.clear();
  std::vector<PduAnswer> answers;
  const std::uint64_t startUs = std::max(nowUs, clockUs_);
  std::uint64_t now = startUs;
  std::deque<InFlight> bus;
  std::vector<CanFrame> out;
  const auto put = [&bus, &out](bool fromVci) {
    for (const CanFrame& f : out) bus.push_back({f, fromVci});
    out.clear();
  };
  IsoTpSender sender;
  std::uint64_t senderDue = kNoDue;
  std::uint64_t sentUs = startUs;  // when the request went out whole
  const auto afterStep = [&] {
    if (sender.state() == IsoTpSender::State::Done) sentUs = now;
    if (sender.state() == IsoTpSender::State::Sending) senderDue = now + sender.gapMicros();
    else if (sender.state() == IsoTpSender::State::WaitingForFlowControl) senderDue = now + kFlowControlWaitUs;
    else senderDue = kNoDue;
  };
  if (!sender.Start({transfer.target, false, -1}, request.data(), request.size(), true, out)) return answers;
  afterStep();
  put(true);
  std::vector<IsoTpReceiver> receivers(transfer.listen.size());
  std::vector<int> begun(transfer.listen.size(), 0);  // the frame that began each answer under way
  std::vector<int> order;  // per answer: the frame that began it
  int frames = 0;
  for (int round = 0; round < kMaxRounds; ++round) {
    for (; !bus.empty() && frames < kMaxBusFrames; ++frames) {
      const InFlight next = bus.front();
      bus.pop_front();
      if (frames_.size() < kMaxTraceFrames) frames_.push_back({now - startUs, next.fromVci, next.frame});
      if (next.fromVci) {
        node_.OnFrame(next.frame, now, out);
        put(false);
        continue;
      }
      if (next.frame.extendedId) continue;
      for (std::size_t i = 0; i < transfer.listen.size(); ++i) {
        const IsoTpAddress from{transfer.listen[i].first, false, -1};
        if (!Addressed(next.frame, from)) continue;
        if (KindOf(next.frame, from) == FrameKind::FlowControl) {
          // The ECU's flow control for a segmented request.
          if (transfer.listen[i].second == transfer.target && sender.busy()) {
            sender.OnFlowControl(next.frame, from, out);
            afterStep();
            put(true);
          }
        } else {
          const bool under = receivers[i].busy();
          switch (receivers[i].OnFrame(next.frame, from, transfer.blockSize)) {
            case IsoTpReceiver::Event::FirstFrame:
              begun[i] = frames;
              [[fallthrough]];
            case IsoTpReceiver::Event::BlockEnd:
              out.push_back(MakeFlowControl({transfer.listen[i].second, false, -1}, 0, transfer.blockSize,
                                            transfer.stMin, true));
              put(true);
              break;
            case IsoTpReceiver::Event::Complete:
              answers.push_back({from.id, now - startUs, receivers[i].payload()});
              order.push_back(under ? begun[i] : frames);
              break;
            default: break;
          }
        }
        break;
      }
    }
    if (frames >= kMaxBusFrames) break;
    std::uint64_t due = node_.NextDue();
    if (sender.busy()) due = std::min(due, senderDue);
    if (due == kNoDue) break;  // quiet
    now = std::max(now, due);
    node_.RunDue(now, out);
    put(false);
    if (sender.busy() && senderDue <= now) {
      if (sender.state() == IsoTpSender::State::Sending) sender.SendNext(out);
      else sender.Abort();  // no flow control came in time
      afterStep();
      put(true);
    }
  }
  // The vehicle saw the request at sentUs: the next one comes no earlier. The
  // bus is quiet now, so nothing of this conversation waits for a later time.
  clockUs_ = sentUs;
  // Answers whole at the same time come in the order they began, as the
  // ECUs sent them (a single frame does not overtake a longer answer begun
  // before it unless the flow control made that one wait).
  std::vector<std::size_t> index(answers.size());
  for (std::size_t i = 0; i < index.size(); ++i) index[i] = i;
  std::stable_sort(index.begin(), index.end(), [&](std::size_t a, std::size_t b) {
    return answers[a].afterUs != answers[b].afterUs ? answers[a].afterUs < answers[b].afterUs
                                                    : order[a] < order[b];
  });
  std::vector<PduAnswer> sorted;
  sorted.reserve(answers.size());
  for (std::size_t i : index) sorted.push_back(std::move(answers[i]));
  return sorted;
}

}  // namespace simulator
