// ISO 15765-2 segmentation and reassembly (see isotp.h).
#include "simulator/vehicle/isotp.h"

#include <algorithm>

namespace simulator {
namespace {

// Index of the protocol byte: after the address byte with extended addressing.
std::size_t PciIndex(const IsoTpAddress& a) { return a.addressByte >= 0 ? 1 : 0; }

// A frame to `a` whose protocol-control part starts with the given bytes.
CanFrame NewFrame(const IsoTpAddress& a) {
  CanFrame f;
  f.id = a.id;
  f.extendedId = a.extendedId;
  if (a.addressByte >= 0) f.data[f.size++] = static_cast<std::uint8_t>(a.addressByte);
  return f;
}

void Pad(CanFrame& f, bool pad) {
  if (!pad) return;
  while (f.size < 8) f.data[f.size++] = kPadByte;
}

}  // namespace

bool Addressed(const CanFrame& frame, const IsoTpAddress& a) {
  if (frame.id != a.id || frame.extendedId != a.extendedId) return false;
  if (a.addressByte < 0) return true;
  return frame.size >= 1 && frame.data[0] == static_cast<std::uint8_t>(a.addressByte);
}

FrameKind KindOf(const CanFrame& frame, const IsoTpAddress& a) {
  const std::size_t pci = PciIndex(a);
  if (frame.size <= pci || frame.size > 8) return FrameKind::Invalid;
  switch (frame.data[pci] >> 4) {
    case 0: return FrameKind::Single;
    case 1: return FrameKind::First;
    case 2: return FrameKind::Consecutive;
    case 3: return FrameKind::FlowControl;
    default: return FrameKind::Invalid;
  }
}

std::uint32_t StMinMicros(std::uint8_t stMin) {
  if (stMin <= 0x7F) return std::uint32_t{stMin} * 1000;
  if (stMin >= 0xF1 && stMin <= 0xF9) return std::uint32_t{stMin - 0xF0u} * 100;
  return 127000;
}

CanFrame MakeFlowControl(const IsoTpAddress& a, std::uint8_t status, std::uint8_t blockSize,
                         std::uint8_t stMin, bool pad) {
  CanFrame f = NewFrame(a);
  f.data[f.size++] = static_cast<std::uint8_t>(0x30 | (status & 0x0F));
  f.data[f.size++] = blockSize;
  f.data[f.size++] = stMin;
  Pad(f, pad);
  return f;
}

bool IsoTpSender::Start(const IsoTpAddress& to, const std::uint8_t* payload, std::size_t size,
                        bool pad, std::vector<CanFrame>& out, int blockSizeOverride,
                        int stMinOverride) {
  if (size == 0 || size > kMaxIsoTpPayload || payload == nullptr) return false;
  to_ = to;
  pad_ = pad;
  blockSizeOverride_ = blockSizeOverride;
  stMinOverride_ = stMinOverride;
  payload_.assign(payload, payload + size);
  sequence_ = 1;
  CanFrame f = NewFrame(to);
  const std::size_t singleRoom = 7 - PciIndex(to);
  if (size <= singleRoom) {
    f.data[f.size++] = static_cast<std::uint8_t>(size);
    std::copy(payload, payload + size, f.data + f.size);
    f.size = static_cast<std::uint8_t>(f.size + size);
    Pad(f, pad);
    out.push_back(f);
    sent_ = size;
    state_ = State::Done;
    return true;
  }
  f.data[f.size++] = static_cast<std::uint8_t>(0x10 | (size >> 8));
  f.data[f.size++] = static_cast<std::uint8_t>(size & 0xFF);
  const std::size_t room = 8 - f.size;
  std::copy(payload, payload + room, f.data + f.size);
  f.size = 8;
  out.push_back(f);
  sent_ = room;
  state_ = State::WaitingForFlowControl;
  return true;
}

void IsoTpSender::OnFlowControl(const CanFrame& frame, const IsoTpAddress& from,
                                std::vector<CanFrame>& out) {
  if (state_ != State::WaitingForFlowControl || !Addressed(frame, from) ||
      KindOf(frame, from) != FrameKind::FlowControl)
    return;
  const std::size_t pci = PciIndex(from);
  const std::uint8_t status = frame.data[pci] & 0x0F;
  if (status == 1) return;  // wait: the next flow control follows
  if (status != 0) {        // overflow or an unknown status ends the transfer
    state_ = State::Aborted;
    return;
  }
  blockSize_ = frame.size > pci + 1 ? frame.data[pci + 1] : 0;
  stMin_ = frame.size > pci + 2 ? frame.data[pci + 2] : 0;
  if (blockSizeOverride_ >= 0) blockSize_ = static_cast<std::uint8_t>(blockSizeOverride_);
  if (stMinOverride_ >= 0) stMin_ = static_cast<std::uint8_t>(stMinOverride_);
  inBlock_ = 0;
  state_ = State::Sending;
  SendNext(out);
}

void IsoTpSender::SendNext(std::vector<CanFrame>& out) {
  if (state_ != State::Sending) return;
  do {
    SendOne(out);
  } while (state_ == State::Sending && gapMicros() == 0);
}

// One consecutive frame; then Done, WaitingForFlowControl at the end of a
// block, or still Sending.
void IsoTpSender::SendOne(std::vector<CanFrame>& out) {
  CanFrame f = NewFrame(to_);
  f.data[f.size++] = static_cast<std::uint8_t>(0x20 | sequence_);
  sequence_ = static_cast<std::uint8_t>((sequence_ + 1) & 0x0F);
  const std::size_t take = std::min<std::size_t>(8 - f.size, payload_.size() - sent_);
  std::copy(payload_.begin() + static_cast<std::ptrdiff_t>(sent_),
            payload_.begin() + static_cast<std::ptrdiff_t>(sent_ + take), f.data + f.size);
  f.size = static_cast<std::uint8_t>(f.size + take);
  sent_ += take;
  Pad(f, pad_);
  out.push_back(f);
  if (sent_ >= payload_.size()) {
    state_ = State::Done;
  } else if (blockSize_ != 0 && ++inBlock_ == blockSize_) {
    state_ = State::WaitingForFlowControl;
  }
}

IsoTpReceiver::Event IsoTpReceiver::OnFrame(const CanFrame& frame, const IsoTpAddress& from,
                                            std::uint8_t blockSize) {
  if (!Addressed(frame, from)) return Event::None;
  const std::size_t pci = PciIndex(from);
  const FrameKind kind = KindOf(frame, from);
  if (kind == FrameKind::Single) {
    const std::size_t length = frame.data[pci] & 0x0F;
    if (length == 0 || pci + 1 + length > frame.size) return Event::None;
    expected_ = 0;  // a new payload replaces one under way, as the standard allows
    payload_.assign(frame.data + pci + 1, frame.data + pci + 1 + length);
    return Event::Complete;
  }
  if (kind == FrameKind::First) {
    if (frame.size != 8 || frame.size < pci + 2) return Event::None;
    const std::size_t length = (static_cast<std::size_t>(frame.data[pci] & 0x0F) << 8) |
                               frame.data[pci + 1];
    if (length <= 7 - pci) return Event::None;  // would have fitted a single frame
    expected_ = length;
    payload_.assign(frame.data + pci + 2, frame.data + 8);
    sequence_ = 1;
    inBlock_ = 0;
    return Event::FirstFrame;
  }
  if (kind == FrameKind::Consecutive) {
    if (!busy()) return Event::None;
    if ((frame.data[pci] & 0x0F) != sequence_) {
      expected_ = 0;
      payload_.clear();
      return Event::Error;
    }
    sequence_ = static_cast<std::uint8_t>((sequence_ + 1) & 0x0F);
    const std::size_t take =
        std::min<std::size_t>(frame.size - pci - 1, expected_ - payload_.size());
    payload_.insert(payload_.end(), frame.data + pci + 1, frame.data + pci + 1 + take);
    if (payload_.size() >= expected_) {
      expected_ = 0;
      return Event::Complete;
    }
    if (blockSize != 0 && ++inBlock_ == blockSize) {
      inBlock_ = 0;
      return Event::BlockEnd;
    }
    return Event::None;
  }
  return Event::None;
}

}  // namespace simulator
