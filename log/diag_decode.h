// The diagnostic conversation in words: what a CAN id stands for, the OBD-II
// modes and PIDs with scaled values, UDS and KWP2000 services with their
// sub-functions, negative response codes and identification DIDs, and the
// ISO 15765-2 frames of a raw CAN channel, reassembled into whole messages.
// Runs on the writer thread only. Free of Windows headers (fuzzed natively).
// A decoder never fails: bytes it cannot read are shown as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/log_entry.h"

namespace monitor {

// What a decoded payload told about itself.
struct ServiceMarks {
  bool negative = false;  // a negative response (other than "response pending")
  bool pending = false;   // a negative response 0x78: the answer follows later
  int nrc = -1;           // the negative response code, -1: none
};

// "7E8 response from ECU 1", "18DB33F1 functional request", or the id alone
// ("123", "18FEF100") when it is none of the OBD-II ids.
std::string CanIdText(std::uint32_t id, bool extended);
// The ECU an OBD-II id talks to or answers for ("ECU 1", "ECU 10"), else empty.
std::string CanIdEcu(std::uint32_t id, bool extended);
// A diagnostic message (its first byte the service id) in words: OBD-II for
// modes 01..0A, else UDS or KWP2000. Reads only `size` bytes at `data`.
std::string ServiceText(const std::uint8_t* data, std::size_t size, ServiceMarks* marks);
// The name of a negative response code ("request out of range"), or "" when unknown.
const char* NrcName(std::uint8_t nrc);
// "P0133", "C1234", "B0001", "U0100".
std::string DtcText(std::uint8_t high, std::uint8_t low);

// Decodes the frames of entries in the order they are logged, keeping what a
// multi-frame message has received so far per channel and CAN id (bounded in
// streams and in bytes), so that its last frame shows the whole message.
class ConversationDecoder {
 public:
  // Fills entry->conversation from entry->frames (and link / ECU / marks).
  // May throw std::bad_alloc only.
  void Decode(LogEntry* entry);
  // One frame in words (without its label); updates the reassembly state.
  std::string FrameText(const DiagFrame& frame, Conversation* conversation);
  // The same appended to `text`.
  void AppendFrameText(const DiagFrame& frame, Conversation* conversation, std::string* text);

  // Messages being reassembled now (at most kMaxStreams).
  std::size_t Streams() const { return streams_.size(); }

  static constexpr std::size_t kMaxStreams = 64;
  static constexpr std::size_t kMaxMessageBytes = 4095;

 private:
  struct Stream {
    std::uint32_t channel = 0, id = 0;
    bool extended = false;
    int address = -1;  // the extended-addressing byte, -1: normal addressing
    std::size_t expected = 0;
    std::uint8_t nextSequence = 1;
    std::uint64_t lastUse = 0;
    std::vector<std::uint8_t> data;
  };
  Stream* Find(const DiagFrame& frame, std::uint32_t id, int address);
  Stream* Start(const DiagFrame& frame, std::uint32_t id, int address);
  void Forget(Stream* stream);
  void AppendCanFrameText(const DiagFrame& frame, std::uint32_t id, const std::uint8_t* p, std::size_t n,
                          int address, Conversation* conversation, std::string* text);

  std::vector<Stream> streams_;
  std::uint64_t clock_ = 0;
};

}  // namespace monitor
