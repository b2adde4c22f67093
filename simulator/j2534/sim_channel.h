// The simulated J2534 VCI's inner parts, shared by its source files: the
// channels with their filters and periodic messages, and the small rules on
// messages and identifiers. Free of Windows headers. Not for use outside
// simulator/j2534/.
#pragma once

#include <algorithm>
#include <cstring>

#include "simulator/j2534/sim_device.h"

namespace simulator {
namespace sim_device_parts {

using namespace passthru;

constexpr ULong kConnectFlags = CONNECT_CAN_29BIT_ID | CAN_ID_BOTH;
constexpr ULong kCanTxFlags = TX_CAN_29BIT_ID;
constexpr ULong kIsoTxFlags = TX_CAN_29BIT_ID | ISO15765_FRAME_PAD | TX_ISO15765_ADDR_TYPE;
constexpr ULong kNoOverride = 0xFFFF;  // BS_TX / STMIN_TX: use the receiver's value
constexpr int kMaxBusFrames = 20000;   // bound on one delivery (a 4 KiB payload is ~600)

// Payload bytes a single frame carries (one fewer with extended addressing).
inline ULong SingleFrameRoom(bool extendedAddressing) { return extendedAddressing ? 6 : 7; }

inline bool Supported(ULong rate) { return rate == 125000 || rate == 250000 || rate == 500000; }

inline std::uint32_t IdOf(const PassThruMsg& m) {
  return (std::uint32_t{m.Data[0]} << 24) | (std::uint32_t{m.Data[1]} << 16) |
         (std::uint32_t{m.Data[2]} << 8) | m.Data[3];
}

inline void PutId(PassThruMsg& m, std::uint32_t id) {
  m.Data[0] = static_cast<std::uint8_t>(id >> 24);
  m.Data[1] = static_cast<std::uint8_t>(id >> 16);
  m.Data[2] = static_cast<std::uint8_t>(id >> 8);
  m.Data[3] = static_cast<std::uint8_t>(id);
}

// Copies a text into an 80-character buffer of the application.
inline void PutText(char* out, const char* text) {
  const std::size_t n = std::min<std::size_t>(std::strlen(text), kTextChars - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// The 12 bytes a filter sees of a frame: identifier, then the data.
struct FrameView {
  std::uint8_t bytes[12] = {};
  std::size_t size = 0;
};
inline FrameView ViewOf(const CanFrame& f) {
  FrameView v;
  PassThruMsg m{};
  PutId(m, f.id);
  std::memcpy(v.bytes, m.Data, 4);
  std::memcpy(v.bytes + 4, f.data, f.size);
  v.size = 4u + f.size;
  return v;
}

}  // namespace sim_device_parts

using namespace sim_device_parts;

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

}  // namespace simulator
