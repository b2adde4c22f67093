// The simulated J2534 VCI's channels on the bus: what each channel hears and
// sends as ISO 15765-2 frames, and the bus that carries frames between the
// channels and the vehicle (see sim_device.h).
#include <deque>

#include "simulator/j2534/sim_channel.h"

namespace simulator {

void SimDevice::Channel::Receive(const CanFrame& f, std::uint64_t now, std::vector<CanFrame>& out) {
  if (!Hears(f.extendedId)) return;
  const FrameView view = ViewOf(f);
  for (const Filter& filter : filters)
    if (filter.type == BLOCK_FILTER && filter.Matches(view)) return;
  const ULong idStatus = f.extendedId ? ULong{RX_CAN_29BIT_ID} : 0u;
  if (!iso()) {
    for (const Filter& filter : filters)
      if (filter.type == PASS_FILTER && filter.Matches(view)) {
        Queue(Message(idStatus, view.bytes, view.size, now));
        return;
      }
    return;
  }
  for (Filter& filter : filters) {
    if (filter.type != FLOW_CONTROL_FILTER || !filter.Matches(view)) continue;
    const bool extended = filter.extendedAddressing();
    const IsoTpAddress from{f.id, f.extendedId, extended && f.size > 0 ? int{f.data[0]} : -1};
    const std::size_t header = filter.header();
    const ULong status = idStatus | (extended ? ULong{RX_ISO15765_ADDR_TYPE} : 0u);
    const FrameKind kind = KindOf(f, from);
    if (filter.functionalOnly() && kind != FrameKind::Single) return;
    if (kind == FrameKind::FlowControl) {
      if (filter.sender.state() != IsoTpSender::State::WaitingForFlowControl) return;
      filter.sender.OnFlowControl(f, from, out);
      AfterSend(filter, now);
      Pump(now, out);
      return;
    }
    const bool pad = (filter.flow.TxFlags & ISO15765_FRAME_PAD) != 0;
    const auto blockSize = static_cast<std::uint8_t>(this->blockSize);
    switch (filter.receiver.OnFrame(f, from, blockSize)) {
      case IsoTpReceiver::Event::FirstFrame:
        Queue(Message(START_OF_MESSAGE | status, view.bytes, header, now));
        out.push_back(MakeFlowControl(filter.Local(), 0, blockSize,
                                      static_cast<std::uint8_t>(stMin), pad));
        break;
      case IsoTpReceiver::Event::BlockEnd:
        out.push_back(MakeFlowControl(filter.Local(), 0, blockSize,
                                      static_cast<std::uint8_t>(stMin), pad));
        break;
      case IsoTpReceiver::Event::Complete: {
        std::vector<std::uint8_t> whole(view.bytes, view.bytes + header);
        whole.insert(whole.end(), filter.receiver.payload().begin(),
                     filter.receiver.payload().end());
        Queue(Message(status, whole.data(), whole.size(), now));
        break;
      }
      default: break;
    }
    return;
  }
}

void SimDevice::Channel::AfterSend(Filter& filter, std::uint64_t now) {
  switch (filter.sender.state()) {
    case IsoTpSender::State::Sending: filter.nextUs = now + filter.sender.gapMicros(); break;
    case IsoTpSender::State::WaitingForFlowControl: filter.nextUs = now + kFlowControlWaitUs; break;
    case IsoTpSender::State::Done:
      filter.sender = IsoTpSender();
      Sent(filter.sending, true, now);
      break;
    default: break;  // aborted: the message is not indicated as sent
  }
}

void SimDevice::Channel::Pump(std::uint64_t now, std::vector<CanFrame>& out) {
  while (!tx.empty()) {
    const PassThruMsg msg = tx.front();
    CanFrame frame;
    frame.id = IdOf(msg);
    frame.extendedId = (msg.TxFlags & TX_CAN_29BIT_ID) != 0;
    if (!iso()) {
      frame.size = static_cast<std::uint8_t>(msg.DataSize - 4);
      std::memcpy(frame.data, msg.Data + 4, frame.size);
      out.push_back(frame);
      tx.pop_front();
      Sent(msg, false, now);
      continue;
    }
    const bool extended = (msg.TxFlags & TX_ISO15765_ADDR_TYPE) != 0;
    const ULong header = extended ? 5 : 4;
    const IsoTpAddress to{frame.id, frame.extendedId, extended ? int{msg.Data[4]} : -1};
    const bool pad = (msg.TxFlags & ISO15765_FRAME_PAD) != 0;
    if (msg.DataSize - header <= SingleFrameRoom(extended)) {
      // A single frame needs no flow-control filter.
      IsoTpSender single;
      single.Start(to, msg.Data + header, msg.DataSize - header, pad, out);
      tx.pop_front();
      Sent(msg, true, now);
      continue;
    }
    Filter* filter = FlowFilterFor(msg);
    if (filter == nullptr) {  // the filter was stopped since the message was written
      tx.pop_front();
      continue;
    }
    if (filter->sender.busy()) return;
    filter->sending = msg;
    filter->sender.Start(to, msg.Data + header, msg.DataSize - header, pad, out,
                         blockSizeTx == kNoOverride ? -1 : static_cast<int>(blockSizeTx),
                         stMinTx == kNoOverride ? -1 : static_cast<int>(stMinTx));
    tx.pop_front();
    AfterSend(*filter, now);
  }
}

void SimDevice::Channel::RunSenders(std::uint64_t now, std::vector<CanFrame>& out) {
  for (Filter& filter : filters) {
    if (!filter.sender.busy() || filter.nextUs > now) continue;
    if (filter.sender.state() == IsoTpSender::State::Sending)
      filter.sender.SendNext(out);
    else
      filter.sender.Abort();  // no flow control came in time
    AfterSend(filter, now);
  }
  Pump(now, out);
}

void SimDevice::Deliver(std::vector<CanFrame> frames, Channel* origin, std::uint64_t now) {
  struct InFlight {
    CanFrame frame;
    Channel* origin;  // null: the ECU
  };
  std::deque<InFlight> bus;
  for (const CanFrame& f : frames) bus.push_back({f, origin});
  for (int n = 0; n < kMaxBusFrames && !bus.empty(); ++n) {
    const InFlight next = bus.front();
    bus.pop_front();
    std::vector<CanFrame> out;
    if (next.origin != nullptr) {
      vehicle_.OnFrame(next.frame, now, out);
      for (const CanFrame& f : out) bus.push_back({f, nullptr});
    }
    for (auto& ch : channels_) {
      if (ch.get() == next.origin) continue;
      out.clear();
      ch->Receive(next.frame, now, out);
      for (const CanFrame& f : out) bus.push_back({f, ch.get()});
    }
  }
}

std::uint64_t SimDevice::NextDue() const {
  std::uint64_t due = std::min(kNever, vehicle_.NextDue());
  for (const auto& ch : channels_) {
    for (const Periodic& p : ch->periodic) due = std::min(due, p.due);
    for (const Filter& f : ch->filters)
      if (f.sender.busy()) due = std::min(due, f.nextUs);
  }
  return due;
}

void SimDevice::RunDue(std::uint64_t now) {
  std::vector<CanFrame> frames;
  vehicle_.RunDue(now, frames);
  Deliver(std::move(frames), nullptr, now);
  for (std::size_t c = 0; c < channels_.size(); ++c) {
    Channel* ch = channels_[c].get();
    frames.clear();
    ch->RunSenders(now, frames);
    Deliver(std::move(frames), ch, now);
    for (std::size_t i = 0; i < ch->periodic.size(); ++i) {
      Periodic& p = ch->periodic[i];
      if (p.due > now) continue;
      p.due += std::uint64_t{p.intervalMs} * 1000;
      if (p.due <= now) p.due = now + std::uint64_t{p.intervalMs} * 1000;  // fell behind
      const PassThruMsg msg = p.msg;
      CanFrame frame;
      frame.id = IdOf(msg);
      frame.extendedId = (msg.TxFlags & TX_CAN_29BIT_ID) != 0;
      frames.clear();
      if (ch->iso()) {
        const bool extended = (msg.TxFlags & TX_ISO15765_ADDR_TYPE) != 0;
        const ULong header = extended ? 5 : 4;
        IsoTpSender single;
        single.Start({frame.id, frame.extendedId, extended ? int{msg.Data[4]} : -1},
                     msg.Data + header, msg.DataSize - header,
                     (msg.TxFlags & ISO15765_FRAME_PAD) != 0, frames);
      } else {
        frame.size = static_cast<std::uint8_t>(msg.DataSize - 4);
        std::memcpy(frame.data, msg.Data + 4, frame.size);
        frames.push_back(frame);
      }
      ch->Sent(msg, false, now);
      Deliver(std::move(frames), ch, now);
    }
  }
}

}  // namespace simulator
