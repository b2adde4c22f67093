// ISO 15765-2 transport over classic CAN frames: single, first, consecutive
// and flow-control frames, normal or extended addressing (one address byte
// before the protocol byte), optional padding to 8 bytes. Both ends of a link
// (the channel of the simulated VCI and the simulated ECU) use it. Free of
// Windows headers; time is the caller's: the sender says when the next
// consecutive frame may go (gapMicros), the caller sends it then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simulator {

constexpr std::size_t kMaxIsoTpPayload = 4095;  // 12-bit length of a first frame
constexpr std::uint8_t kPadByte = 0x00;

// One classic CAN frame: 11- or 29-bit identifier, 0..8 data bytes.
struct CanFrame {
  std::uint32_t id = 0;
  bool extendedId = false;  // 29-bit identifier
  std::uint8_t size = 0;
  std::uint8_t data[8] = {};
};

// Addressing of one end of a link: the CAN identifier and, with extended
// addressing, the address byte that opens every frame.
struct IsoTpAddress {
  std::uint32_t id = 0;
  bool extendedId = false;
  int addressByte = -1;  // -1: normal addressing
};

enum class FrameKind { Single, First, Consecutive, FlowControl, Invalid };

// The kind of `frame` as seen with addressing `a` (its address byte skipped).
FrameKind KindOf(const CanFrame& frame, const IsoTpAddress& a);
// True when `frame` carries identifier and address byte of `a`.
bool Addressed(const CanFrame& frame, const IsoTpAddress& a);

// A flow-control frame: status 0 continue, 1 wait, 2 overflow.
CanFrame MakeFlowControl(const IsoTpAddress& a, std::uint8_t status, std::uint8_t blockSize,
                         std::uint8_t stMin, bool pad);

// The separation time STmin as announced in a flow-control frame, in
// microseconds: 0x00-0x7F ms, 0xF1-0xF9 hundreds of microseconds; reserved
// values count as the longest time, 127 ms, as ISO 15765-2 asks.
std::uint32_t StMinMicros(std::uint8_t stMin);

// Sends one payload: a single frame, or a first frame and then consecutive
// frames as the receiver's flow control allows (block size, separation time,
// wait and overflow).
class IsoTpSender {
 public:
  // Idle: nothing started. WaitingForFlowControl: after the first frame or a
  // full block. Sending: frames of a block remain, the next one due after
  // gapMicros(). Done / Aborted: the payload went out whole / was given up.
  enum class State { Idle, WaitingForFlowControl, Sending, Done, Aborted };
  // Starts `payload` (at most kMaxIsoTpPayload bytes) to `to`; the first frame
  // goes to `out`. `blockSizeOverride` / `stMinOverride` replace the
  // receiver's values when not negative. False (and nothing sent) for an
  // empty or oversized payload.
  bool Start(const IsoTpAddress& to, const std::uint8_t* payload, std::size_t size, bool pad,
             std::vector<CanFrame>& out, int blockSizeOverride = -1, int stMinOverride = -1);
  // A flow-control frame from the receiver. Continue: the first consecutive
  // frame goes to `out` (all of the block when the separation time is 0).
  // Wait: nothing, the next flow control follows. Overflow or an unknown
  // status: the transfer ends (Aborted). Ignored unless waiting for one.
  void OnFlowControl(const CanFrame& frame, const IsoTpAddress& from, std::vector<CanFrame>& out);
  // In state Sending, once the separation time has passed: the next
  // consecutive frame goes to `out`.
  void SendNext(std::vector<CanFrame>& out);
  // Gives up (no flow control came).
  void Abort() { state_ = State::Aborted; }
  State state() const { return state_; }
  bool busy() const { return state_ == State::WaitingForFlowControl || state_ == State::Sending; }
  std::uint8_t lastStMin() const { return stMin_; }
  // Time to leave between two consecutive frames.
  std::uint32_t gapMicros() const { return StMinMicros(stMin_); }

 private:
  void SendOne(std::vector<CanFrame>& out);
  IsoTpAddress to_;
  std::vector<std::uint8_t> payload_;
  std::size_t sent_ = 0;
  std::uint8_t sequence_ = 1;
  std::uint8_t blockSize_ = 0;
  std::uint8_t stMin_ = 0;
  std::uint32_t inBlock_ = 0;
  int blockSizeOverride_ = -1;
  int stMinOverride_ = -1;
  bool pad_ = false;
  State state_ = State::Idle;
};

// Reassembles payloads from single, first and consecutive frames.
class IsoTpReceiver {
 public:
  enum class Event {
    None,        // nothing for the application (ignored or a middle frame)
    Complete,    // a whole payload is in payload()
    FirstFrame,  // a segmented payload began: send flow control now
    BlockEnd,    // the block size was reached: send flow control again
    Error,       // a sequence error: the payload under way was dropped
  };
  // `blockSize` is the block size announced in this receiver's flow control
  // (0: no further flow control during the payload).
  Event OnFrame(const CanFrame& frame, const IsoTpAddress& from, std::uint8_t blockSize);
  const std::vector<std::uint8_t>& payload() const { return payload_; }
  std::size_t expected() const { return expected_; }
  bool busy() const { return expected_ != 0; }

 private:
  std::vector<std::uint8_t> payload_;
  std::size_t expected_ = 0;  // length of the segmented payload under way; 0 when none
  std::uint8_t sequence_ = 1;
  std::uint32_t inBlock_ = 0;
};

}  // namespace simulator
