// A recorded scenario: what a vehicle answered in a session the monitor
// logged (XML or CSV), replayed by the simulated VCIs. Free of Windows
// headers: the text of the log goes in, the matcher answers requests.
//
// From the sessions of one API in the log (J2534 or D-PDU), the parser takes
// every request with the answers that followed it, per CAN id:
//   - whole payloads (ISO15765 channels, D-PDU ComPrimitives): offered by the
//     vehicle model for every reassembled request;
//   - raw frames (CAN channels): offered by the bus for every frame;
//   - frames the vehicle sent unasked on a CAN channel (periodic traffic),
//     with their recorded rhythm.
// A request is answered with the answers of the next recorded occurrence of
// the same request (same id, same bytes); after the last one it starts over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace simulator {

enum class ScenarioApi { J2534, Pdu };

// Bounds: whatever the file holds, the scenario stays within them.
constexpr std::size_t kMaxScenarioFileBytes = 512u << 20;  // larger files are refused
constexpr std::size_t kMaxScenarioRequests = 200000;       // distinct occurrences kept
constexpr std::size_t kMaxScenarioAnswers = 64;             // answers per occurrence
constexpr std::size_t kMaxScenarioPayload = 4095;           // bytes of one payload
constexpr std::size_t kMaxPeriodicIds = 32;                 // periodic CAN ids
constexpr std::size_t kMaxPeriodicFrames = 256;             // recorded frames per periodic id
constexpr std::uint32_t kMaxScenarioDelayUs = 30000000;     // one answer's delay at most

// One recorded answer: from `canId`, `delayUs` after the request (or, for a
// periodic frame, after the frame before it).
struct ScenarioAnswer {
  std::uint32_t canId = 0;
  std::uint32_t delayUs = 0;
  std::vector<std::uint8_t> data;
  bool operator==(const ScenarioAnswer& o) const {
    return canId == o.canId && delayUs == o.delayUs && data == o.data;
  }
};

// What a request is matched at.
enum class ScenarioLevel { Payload, Frame };

class Scenario {
 public:
  // Parses a whole log. False (and `error` says why, in words for a user)
  // when the text is not a monitor log, is cut short, or holds no request
  // answered in a session of `api`.
  bool Parse(const std::string& text, ScenarioApi api, std::string* error);

  // The answers to `data` sent to `canId`, from the next recorded occurrence,
  // delays scaled by `speedPercent` (100: as recorded, 0: at once). False when
  // the recording holds no such request.
  bool Answer(ScenarioLevel level, std::uint32_t canId, const std::vector<std::uint8_t>& data,
              std::uint32_t speedPercent, std::vector<ScenarioAnswer>* answers);

  // Periodic frames per CAN id, each delayUs after the one before (the
  // first one's delay counts from the connect); replayed in a loop.
  const std::vector<std::vector<ScenarioAnswer>>& periodic() const { return periodic_; }

  // Distinct requests recorded (both levels) and requests answered so far.
  std::size_t requests() const { return payloads_.size() + frames_.size(); }
  std::size_t answered() const { return answered_; }

  // A short summary for the debugger output ("12 requests, 1 periodic id").
  std::string Summary() const;

 private:
  struct Recorded {
    std::vector<std::vector<ScenarioAnswer>> occurrences;
    std::size_t next = 0;
  };
  using Key = std::pair<std::uint32_t, std::vector<std::uint8_t>>;
  friend class ScenarioBuilder;
  std::map<Key, Recorded> payloads_, frames_;
  std::vector<std::vector<ScenarioAnswer>> periodic_;
  std::size_t answered_ = 0;
};

}  // namespace simulator
