// The simulated VCI's device, channels, filters and bus (see sim_device.h).
#include "simulator/sim_device.h"

#include "simulator/scenario/scenario_settings.h"

#include <algorithm>
#include <cstring>

namespace simulator {

using namespace passthru;

namespace {

constexpr ULong kConnectFlags = CONNECT_CAN_29BIT_ID | CAN_ID_BOTH;
constexpr ULong kCanTxFlags = TX_CAN_29BIT_ID;
constexpr ULong kIsoTxFlags = TX_CAN_29BIT_ID | ISO15765_FRAME_PAD | TX_ISO15765_ADDR_TYPE;
constexpr ULong kNoOverride = 0xFFFF;  // BS_TX / STMIN_TX: use the receiver's value
constexpr int kMaxBusFrames = 20000;   // bound on one delivery (a 4 KiB payload is ~600)

// Payload bytes a single frame carries (one fewer with extended addressing).
ULong SingleFrameRoom(bool extendedAddressing) { return extendedAddressing ? 6 : 7; }

bool Supported(ULong rate) { return rate == 125000 || rate == 250000 || rate == 500000; }

std::uint32_t IdOf(const PassThruMsg& m) {
  return (std::uint32_t{m.Data[0]} << 24) | (std::uint32_t{m.Data[1]} << 16) |
         (std::uint32_t{m.Data[2]} << 8) | m.Data[3];
}

void PutId(PassThruMsg& m, std::uint32_t id) {
  m.Data[0] = static_cast<std::uint8_t>(id >> 24);
  m.Data[1] = static_cast<std::uint8_t>(id >> 16);
  m.Data[2] = static_cast<std::uint8_t>(id >> 8);
  m.Data[3] = static_cast<std::uint8_t>(id);
}

// Copies a text into an 80-character buffer of the application.
void PutText(char* out, const char* text) {
  const std::size_t n = std::min<std::size_t>(std::strlen(text), kTextChars - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// The 12 bytes a filter sees of a frame: identifier, then the data.
struct FrameView {
  std::uint8_t bytes[12] = {};
  std::size_t size = 0;
};
FrameView ViewOf(const CanFrame& f) {
  FrameView v;
  PassThruMsg m{};
  PutId(m, f.id);
  std::memcpy(v.bytes, m.Data, 4);
  std::memcpy(v.bytes + 4, f.data, f.size);
  v.size = 4u + f.size;
  return v;
}

}  // namespace

struct Filter {
  ULong id = 0;
  ULong type = 0;
  PassThruMsg mask{};
  PassThruMsg pattern{};
  PassThruMsg flow{};
  IsoTpReceiver receiver;
  IsoTpSender sender;
  PassThruMsg sending{};  // the message the sender carries
  std::uint64_t nextUs = 0;  // next consecutive frame, or the flow-control deadline

  bool Matches(const FrameView& v) const {
    if (v.size < mask.DataSize) return false;
    for (ULong i = 0; i < mask.DataSize; ++i)
      if ((v.bytes[i] & mask.Data[i]) != (pattern.Data[i] & mask.Data[i])) return false;
    return true;
  }
  bool extendedAddressing() const { return (flow.TxFlags & TX_ISO15765_ADDR_TYPE) != 0; }
  std::size_t header() const { return extendedAddressing() ? 5 : 4; }
  // A filter whose pattern is its own flow-control id receives functionally
  // addressed single frames only.
  bool functionalOnly() const { return std::memcmp(pattern.Data, flow.Data, header()) == 0; }
  IsoTpAddress Local() const {
    return {IdOf(flow), (flow.TxFlags & TX_CAN_29BIT_ID) != 0,
            extendedAddressing() ? int{flow.Data[4]} : -1};
  }
};

struct Periodic {
  ULong id = 0;
  ULong intervalMs = 0;
  std::uint64_t due = 0;
  PassThruMsg msg{};
};

struct SimDevice::Channel {
  ULong id = 0;
  ULong protocol = 0;
  ULong flags = 0;
  ULong dataRate = 0;
  ULong loopback = 0;
  ULong blockSize = 0, stMin = 0, blockSizeTx = kNoOverride, stMinTx = kNoOverride, wftMax = 0;
  ULong bitSamplePoint = 80, syncJumpWidth = 15;
  ULong nextFilterId = 1, nextPeriodicId = 1;
  std::vector<Filter> filters;
  std::vector<Periodic> periodic;
  std::deque<PassThruMsg> rx;
  std::deque<PassThruMsg> tx;  // written, not yet started
  bool overflow = false;

  bool iso() const { return protocol == ISO15765; }
  // True when this channel listens to frames with 11- or 29-bit identifiers.
  bool Hears(bool extendedId) const {
    if (flags & CAN_ID_BOTH) return true;
    return extendedId == ((flags & CONNECT_CAN_29BIT_ID) != 0);
  }
  void Queue(const PassThruMsg& m) {
    if (rx.size() >= kRxQueueLimit) {
      overflow = true;
      return;
    }
    rx.push_back(m);
  }
  // A message of this channel's protocol from `bytes` (identifier first).
  // ExtraDataIndex is DataSize for received messages and 0 for indications
  // (TX_INDICATION, START_OF_MESSAGE), which carry no data.
  PassThruMsg Message(ULong rxStatus, const std::uint8_t* bytes, std::size_t size,
                      std::uint64_t now) const {
    PassThruMsg m{};
    m.ProtocolID = protocol;
    m.RxStatus = rxStatus;
    m.Timestamp = static_cast<ULong>(now);
    m.DataSize = static_cast<ULong>(std::min<std::size_t>(size, kMaxDataSize));
    const bool indication = (rxStatus & (TX_INDICATION | START_OF_MESSAGE)) != 0;
    m.ExtraDataIndex = indication ? 0 : m.DataSize;
    std::memcpy(m.Data, bytes, m.DataSize);
    return m;
  }
  // The flow-control filter whose flow-control id `msg` is sent to.
  Filter* FlowFilterFor(const PassThruMsg& msg) {
    const bool extended = (msg.TxFlags & TX_ISO15765_ADDR_TYPE) != 0;
    for (Filter& f : filters)
      if (f.type == FLOW_CONTROL_FILTER && f.extendedAddressing() == extended &&
          std::memcmp(f.flow.Data, msg.Data, f.header()) == 0)
        return &f;
    return nullptr;
  }
  // Starts the queued messages in order as far as they can go now; a
  // segmented message waits while its filter's sender is busy.
  void Pump(std::uint64_t now, std::vector<CanFrame>& out);
  // Frames of segmented messages whose time has come; flow control that did
  // not come ends its message.
  void RunSenders(std::uint64_t now, std::vector<CanFrame>& out);
  // After a sender's step at `now`: when it needs time next, or the indication.
  void AfterSend(Filter& filter, std::uint64_t now);
  ULong Pending() const {
    ULong n = static_cast<ULong>(tx.size());
    for (const Filter& f : filters) n += f.sender.busy() ? 1 : 0;
    return n;
  }
  // After a message went out whole: the ISO15765 transmit indication and the loopback echo.
  void Sent(const PassThruMsg& msg, bool indicate, std::uint64_t now) {
    const ULong addressing = (msg.TxFlags & TX_CAN_29BIT_ID ? ULong{RX_CAN_29BIT_ID} : 0u) |
                             (msg.TxFlags & TX_ISO15765_ADDR_TYPE ? ULong{RX_ISO15765_ADDR_TYPE} : 0u);
    if (indicate && iso()) {
      const std::size_t header = msg.TxFlags & TX_ISO15765_ADDR_TYPE ? 5 : 4;
      Queue(Message(TX_INDICATION | addressing, msg.Data, header, now));
    }
    if (loopback) Queue(Message(TX_MSG_TYPE | addressing, msg.Data, msg.DataSize, now));
  }
  // A frame from the bus; frames this channel sends in answer go to `out`.
  void Receive(const CanFrame& f, std::uint64_t now, std::vector<CanFrame>& out);
};

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

SimDevice::SimDevice() = default;
SimDevice::~SimDevice() = default;

Long SimDevice::Fail(Long code, const char* text) {
  lastError_.assign(text, std::min<std::size_t>(std::strlen(text), kTextChars - 1));
  return code;
}

SimDevice::Channel* SimDevice::Find(ULong channelId) {
  if (!open_) return nullptr;
  for (auto& ch : channels_)
    if (ch->id == channelId) return ch.get();
  return nullptr;
}

Long SimDevice::Open(const void* name, ULong* deviceId) {
  (void)name;  // one device: any name (or none) opens it
  if (deviceId == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruOpen: pDeviceID is NULL");
  if (open_) return Fail(ERR_DEVICE_IN_USE, "The simulated device is already open");
  open_ = true;
  *deviceId = kSimDeviceId;
  return STATUS_NOERROR;
}

Long SimDevice::Close(ULong deviceId) {
  if (!open_ || deviceId != kSimDeviceId) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  channels_.clear();
  programmingMillivolts_ = 0;
  open_ = false;
  return STATUS_NOERROR;
}

Long SimDevice::Connect(ULong deviceId, ULong protocol, ULong flags, ULong baudRate,
                        ULong* channelId) {
  if (!open_ || deviceId != kSimDeviceId) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  if (channelId == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruConnect: pChannelID is NULL");
  if (protocol != CAN && protocol != ISO15765) {
    if (protocol >= J1850VPW && protocol <= SCI_B_TRANS)
      return Fail(ERR_NOT_SUPPORTED, "The simulated device has CAN and ISO15765 only");
    return Fail(ERR_INVALID_PROTOCOL_ID, "Unknown protocol id");
  }
  if (flags & ~kConnectFlags) return Fail(ERR_INVALID_FLAGS, "Connect flags not valid for CAN");
  if (!Supported(baudRate))
    return Fail(ERR_INVALID_BAUDRATE, "Baud rate must be 125000, 250000 or 500000");
  for (const auto& ch : channels_)
    if (ch->protocol == protocol) return Fail(ERR_CHANNEL_IN_USE, "Protocol already connected");
  auto ch = std::make_unique<Channel>();
  ch->id = nextChannelId_++;
  ch->protocol = protocol;
  ch->flags = flags;
  ch->dataRate = baudRate;
  *channelId = ch->id;
  channels_.push_back(std::move(ch));
  return STATUS_NOERROR;
}

Long SimDevice::Disconnect(ULong channelId) {
  Channel* ch = Find(channelId);
  if (ch == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  channels_.erase(std::find_if(channels_.begin(), channels_.end(),
                               [ch](const auto& c) { return c.get() == ch; }));
  return STATUS_NOERROR;
}

Long SimDevice::Read(ULong channelId, PassThruMsg* msgs, ULong room, ULong* read) {
  *read = 0;
  Channel* ch = Find(channelId);
  if (ch == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  if (msgs == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruReadMsgs: pMsg is NULL");
  while (*read < room && !ch->rx.empty()) {
    msgs[*read] = ch->rx.front();
    ch->rx.pop_front();
    ++*read;
  }
  if (ch->overflow) {
    ch->overflow = false;
    return Fail(ERR_BUFFER_OVERFLOW, "The receive queue overflowed: messages were lost");
  }
  if (*read == 0) return Fail(ERR_BUFFER_EMPTY, "No message in the receive queue");
  return STATUS_NOERROR;
}

Long SimDevice::CheckMessage(const Channel& ch, const PassThruMsg& msg, bool periodic) {
  if (msg.ProtocolID != ch.protocol)
    return Fail(ERR_MSG_PROTOCOL_ID, "The message's protocol is not the channel's");
  if (msg.TxFlags & ~(ch.iso() ? kIsoTxFlags : kCanTxFlags))
    return Fail(ERR_INVALID_FLAGS, "TxFlags not valid for the channel's protocol");
  const bool extendedId = (msg.TxFlags & TX_CAN_29BIT_ID) != 0;
  if (!ch.Hears(extendedId))
    return Fail(ERR_INVALID_MSG, "11/29-bit identifier does not match the connect flags");
  if (msg.DataSize < 4 || IdOf(msg) > (extendedId ? 0x1FFFFFFFu : 0x7FFu))
    return Fail(ERR_INVALID_MSG, "The message has no valid CAN identifier");
  const ULong header = msg.TxFlags & TX_ISO15765_ADDR_TYPE ? 5 : 4;
  ULong most = 12;
  if (ch.iso()) most = periodic ? 4 + 7 : header + kMaxIsoTpPayload;  // periodic: single frames
  if (msg.DataSize > most || (ch.iso() && msg.DataSize <= header))
    return Fail(ERR_INVALID_MSG, "DataSize out of range for the channel's protocol");
  return STATUS_NOERROR;
}

Long SimDevice::Write(ULong channelId, const PassThruMsg* msgs, ULong* count, std::uint64_t now) {
  Channel* ch = Find(channelId);
  if (ch == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  if (msgs == nullptr || count == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruWriteMsgs: pMsg or pNumMsgs is NULL");
  const ULong wanted = *count;
  *count = 0;
  Long code = STATUS_NOERROR;
  for (ULong i = 0; i < wanted; ++i) {
    const PassThruMsg& msg = msgs[i];
    if (code = CheckMessage(*ch, msg, false); code != STATUS_NOERROR) break;
    // ISO15765: only a segmented message must match a flow-control filter;
    // "non-segmented messages do not need to match" one.
    const ULong header = msg.TxFlags & TX_ISO15765_ADDR_TYPE ? 5 : 4;
    if (ch->iso() && msg.DataSize - header > SingleFrameRoom(header == 5) &&
        ch->FlowFilterFor(msg) == nullptr) {
      code = Fail(ERR_NO_FLOW_CONTROL, "No flow-control filter for the segmented message's identifier");
      break;
    }
    if (ch->tx.size() >= kTxQueueLimit) {
      code = Fail(ERR_BUFFER_FULL, "The transmit queue is full");
      break;
    }
    ch->tx.push_back(msg);
    ++*count;
  }
  std::vector<CanFrame> frames;
  ch->Pump(now, frames);
  Deliver(std::move(frames), ch, now);
  return code;
}

ULong SimDevice::TxPending(ULong channelId) {
  Channel* ch = Find(channelId);
  return ch == nullptr ? 0 : ch->Pending();
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

Long SimDevice::StartPeriodic(ULong channelId, const PassThruMsg* msg, ULong* msgId,
                              ULong intervalMs, std::uint64_t now) {
  Channel* ch = Find(channelId);
  if (ch == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  if (msg == nullptr || msgId == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruStartPeriodicMsg: pMsg or pMsgID is NULL");
  if (Long code = CheckMessage(*ch, *msg, true); code != STATUS_NOERROR) return code;
  if (intervalMs < 5 || intervalMs > 65535)
    return Fail(ERR_INVALID_TIME_INTERVAL, "Interval must be 5 to 65535 ms");
  if (ch->periodic.size() >= kMaxPeriodicPerChannel)
    return Fail(ERR_EXCEEDED_LIMIT, "Ten periodic messages per channel at most");
  Periodic p;
  p.id = ch->nextPeriodicId++;
  p.intervalMs = intervalMs;
  p.due = now;  // the first goes out at once, then one every interval
  p.msg = *msg;
  ch->periodic.push_back(p);
  *msgId = p.id;
  RunDue(now);
  return STATUS_NOERROR;
}

Long SimDevice::StopPeriodic(ULong channelId, ULong msgId) {
  Channel* ch = Find(channelId);
  if (ch == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  auto it = std::find_if(ch->periodic.begin(), ch->periodic.end(),
                         [msgId](const Periodic& p) { return p.id == msgId; });
  if (it == ch->periodic.end()) return Fail(ERR_INVALID_MSG_ID, "Unknown periodic message id");
  ch->periodic.erase(it);
  return STATUS_NOERROR;
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

Long SimDevice::StartFilter(ULong channelId, ULong type, const PassThruMsg* mask,
                            const PassThruMsg* pattern, const PassThruMsg* flowControl,
                            ULong* filterId) {
  Channel* ch = Find(channelId);
  if (ch == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  if (type != PASS_FILTER && type != BLOCK_FILTER && type != FLOW_CONTROL_FILTER)
    return Fail(ERR_NOT_SUPPORTED, "Unknown filter type");
  // PASS and BLOCK filters "must not be used" on ISO15765 channels, and
  // flow-control filters exist for ISO15765 only. The public descriptions name
  // ERR_INVALID_FILTER_ID for the first; for the second some give
  // ERR_INVALID_MSG or ERR_NOT_SUPPORTED: the same code as the first is kept,
  // as both are a filter type the channel's protocol has not.
  if (ch->iso() != (type == FLOW_CONTROL_FILTER))
    return Fail(ERR_INVALID_FILTER_ID, ch->iso() ? "ISO15765 channels take flow-control filters only"
                                                 : "Flow-control filters belong to ISO15765 channels");
  if (mask == nullptr || pattern == nullptr || filterId == nullptr ||
      (type == FLOW_CONTROL_FILTER && flowControl == nullptr))
    return Fail(ERR_NULL_PARAMETER, "PassThruStartMsgFilter: a required pointer is NULL");
  if (mask->ProtocolID != ch->protocol || pattern->ProtocolID != ch->protocol ||
      (type == FLOW_CONTROL_FILTER && flowControl->ProtocolID != ch->protocol))
    return Fail(ERR_MSG_PROTOCOL_ID, "A filter message's protocol is not the channel's");
  if (mask->DataSize != pattern->DataSize || mask->DataSize < 1 || mask->DataSize > 12)
    return Fail(ERR_INVALID_MSG, "Mask and pattern need the same DataSize of 1 to 12");
  Filter filter;
  filter.type = type;
  filter.mask = *mask;
  filter.pattern = *pattern;
  if (type == FLOW_CONTROL_FILTER) {
    // The pattern and the flow-control message address the same link: their
    // 29-bit and extended-addressing flags must agree. The mask's flags are
    // not compared (applications commonly leave them zero); ISO15765_FRAME_PAD
    // may differ, as it concerns only the frames the channel sends.
    constexpr ULong kAddressing = TX_CAN_29BIT_ID | TX_ISO15765_ADDR_TYPE;
    if ((pattern->TxFlags & kAddressing) != (flowControl->TxFlags & kAddressing))
      return Fail(ERR_INVALID_MSG, "Pattern and flow-control message differ in their addressing flags");
    filter.flow = *flowControl;
    const ULong header = filter.extendedAddressing() ? 5 : 4;
    if (mask->DataSize != header || flowControl->DataSize != header ||
        IdOf(*flowControl) > ((flowControl->TxFlags & TX_CAN_29BIT_ID) ? 0x1FFFFFFFu : 0x7FFu))
      return Fail(ERR_INVALID_MSG, "Flow-control filter messages need the identifier only");
    for (const Filter& other : ch->filters) {
      if (other.type != FLOW_CONTROL_FILTER) continue;
      if (std::memcmp(other.pattern.Data, pattern->Data, header) == 0 ||
          std::memcmp(other.flow.Data, flowControl->Data, header) == 0)
        return Fail(ERR_NOT_UNIQUE, "A flow-control filter for these identifiers exists");
    }
  }
  if (ch->filters.size() >= kMaxFiltersPerChannel)
    return Fail(ERR_EXCEEDED_LIMIT, "Ten filters per channel at most");
  filter.id = ch->nextFilterId++;
  *filterId = filter.id;
  ch->filters.push_back(filter);
  return STATUS_NOERROR;
}

Long SimDevice::StopFilter(ULong channelId, ULong filterId) {
  Channel* ch = Find(channelId);
  if (ch == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  auto it = std::find_if(ch->filters.begin(), ch->filters.end(),
                         [filterId](const Filter& f) { return f.id == filterId; });
  if (it == ch->filters.end()) return Fail(ERR_INVALID_FILTER_ID, "Unknown filter id");
  ch->filters.erase(it);
  return STATUS_NOERROR;
}

Long SimDevice::SetProgrammingVoltage(ULong deviceId, ULong pin, ULong millivolts) {
  if (!open_ || deviceId != kSimDeviceId) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  static const ULong kPins[] = {0, 6, 9, 11, 12, 13, 14, 15};
  if (std::find(std::begin(kPins), std::end(kPins), pin) == std::end(kPins))
    return Fail(ERR_PIN_INVALID, "Not a programming pin");
  const bool off = millivolts == 0xFFFFFFFF;
  const bool ground = millivolts == 0xFFFFFFFE;
  if (!off && !ground && (millivolts < 5000 || millivolts > 20000))
    return Fail(ERR_EXCEEDED_LIMIT, "Programming voltage must be 5000 to 20000 mV");
  if (ground && pin != 15) return Fail(ERR_PIN_INVALID, "Only pin 15 can be shorted to ground");
  programmingPin_ = pin;
  programmingMillivolts_ = off || ground ? 0 : millivolts;
  return STATUS_NOERROR;
}

Long SimDevice::ReadVersion(ULong deviceId, char* firmware, char* library, char* api) {
  if (!open_ || deviceId != kSimDeviceId) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  if (firmware == nullptr || library == nullptr || api == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruReadVersion: a text buffer is NULL");
  PutText(firmware, kFirmwareVersion);
  PutText(library, kLibraryVersion);
  PutText(api, kApiVersion);
  return STATUS_NOERROR;
}

Long SimDevice::Config(Channel& ch, ULong ioctlId, void* input) {
  if (input == nullptr) return Fail(ERR_NULL_PARAMETER, "GET_CONFIG/SET_CONFIG: pInput is NULL");
  auto* list = static_cast<SConfigList*>(input);
  if (list->NumOfParams > kMaxConfigParams)
    return Fail(ERR_INVALID_IOCTL_VALUE, "More than 64 parameters in one list");
  if (list->NumOfParams > 0 && list->ConfigPtr == nullptr)
    return Fail(ERR_NULL_PARAMETER, "GET_CONFIG/SET_CONFIG: ConfigPtr is NULL");
  const bool set = ioctlId == SET_CONFIG;
  for (ULong i = 0; i < list->NumOfParams; ++i) {
    SConfig& p = list->ConfigPtr[i];
    ULong* value = nullptr;
    ULong most = 0xFF;
    switch (p.Parameter) {
      case DATA_RATE:
        if (set && !Supported(p.Value))
          return Fail(ERR_INVALID_BAUDRATE, "Baud rate must be 125000, 250000 or 500000");
        value = &ch.dataRate;
        most = 0xFFFFFFFF;
        break;
      case LOOPBACK: value = &ch.loopback; most = 1; break;
      case BIT_SAMPLE_POINT: value = &ch.bitSamplePoint; most = 100; break;
      case SYNC_JUMP_WIDTH: value = &ch.syncJumpWidth; most = 100; break;
      case ISO15765_BS: value = ch.iso() ? &ch.blockSize : nullptr; break;
      case ISO15765_STMIN: value = ch.iso() ? &ch.stMin : nullptr; break;
      case ISO15765_WFT_MAX: value = ch.iso() ? &ch.wftMax : nullptr; break;
      case BS_TX: value = ch.iso() ? &ch.blockSizeTx : nullptr; most = kNoOverride; break;
      case STMIN_TX: value = ch.iso() ? &ch.stMinTx : nullptr; most = kNoOverride; break;
      default: break;
    }
    if (value == nullptr) return Fail(ERR_NOT_SUPPORTED, "Parameter not supported on this channel");
    if (!set) {
      p.Value = *value;
      continue;
    }
    const bool overrideValue = (p.Parameter == BS_TX || p.Parameter == STMIN_TX);
    if (p.Value > most || (overrideValue && p.Value > 0xFF && p.Value != kNoOverride))
      return Fail(ERR_INVALID_IOCTL_VALUE, "Parameter value out of range");
    *value = p.Value;
  }
  return STATUS_NOERROR;
}

Long SimDevice::Ioctl(ULong id, ULong ioctlId, void* input, void* output, std::uint64_t now) {
  switch (ioctlId) {
    case READ_VBATT:
    case READ_PROG_VOLTAGE: {
      if (!open_ || (id != kSimDeviceId && Find(id) == nullptr))
        return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
      if (output == nullptr) return Fail(ERR_NULL_PARAMETER, "Ioctl: pOutput is NULL");
      *static_cast<ULong*>(output) =
          ioctlId == READ_VBATT ? vehicle_.vehicle().BatteryMillivolts(now / 1000)
                                : programmingMillivolts_;
      return STATUS_NOERROR;
    }
    case kIoctlScenarioAnswered: {
      if (!open_ || id != kSimDeviceId) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
      if (output == nullptr) return Fail(ERR_NULL_PARAMETER, "Ioctl: pOutput is NULL");
      const Scenario* scenario = vehicle_.vehicle().scenario();
      *static_cast<ULong*>(output) =
          scenario == nullptr ? kNoScenario : static_cast<ULong>(scenario->answered());
      return STATUS_NOERROR;
    }
    case GET_CONFIG:
    case SET_CONFIG:
    case CLEAR_TX_BUFFER:
    case CLEAR_RX_BUFFER:
    case CLEAR_PERIODIC_MSGS:
    case CLEAR_MSG_FILTERS:
    case FIVE_BAUD_INIT:
    case FAST_INIT:
    case CLEAR_FUNCT_MSG_LOOKUP_TABLE:
    case ADD_TO_FUNCT_MSG_LOOKUP_TABLE:
    case DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE: break;
    default: return Fail(ERR_INVALID_IOCTL_ID, "Unknown Ioctl id");
  }
  Channel* ch = Find(id);
  if (ch == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  switch (ioctlId) {
    case GET_CONFIG:
    case SET_CONFIG: return Config(*ch, ioctlId, input);
    case CLEAR_TX_BUFFER:
      // Messages not yet started are dropped, and so are segmented ones under way.
      ch->tx.clear();
      for (Filter& f : ch->filters)
        if (f.sender.busy()) f.sender.Abort();
      return STATUS_NOERROR;
    case CLEAR_RX_BUFFER:
      ch->rx.clear();
      ch->overflow = false;
      return STATUS_NOERROR;
    case CLEAR_PERIODIC_MSGS: ch->periodic.clear(); return STATUS_NOERROR;
    case CLEAR_MSG_FILTERS: ch->filters.clear(); return STATUS_NOERROR;
    default: return Fail(ERR_NOT_SUPPORTED, "Ioctl not supported on CAN and ISO15765 channels");
  }
}

}  // namespace simulator
