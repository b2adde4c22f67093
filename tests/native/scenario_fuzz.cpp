// Fuzz target of the recorded scenario's parser and matcher, free of Windows
// headers: any bytes as a log (raw, or spliced into a valid XML or CSV frame)
// parse without a bad access, refuse with a reason or give a scenario within
// its bounds, whose answers keep their bounds too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/scenario/scenario.h"
#include "tests/native/fuzz_promise.h"

namespace {

using namespace simulator;

void ParseAnything(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::uint8_t mode = data[0];
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string text;
  switch (mode % 3) {
    case 0: text = body; break;
    case 1:
      text = "<?xml version=\"1.0\"?>\n<log title=\"t\">\n<session api=\"" +
             std::string(mode & 4 ? "PDU" : "J2534") + "\">\n" + body + "</session>\n</log>\n";
      break;
    default:
      text = "Time,Elapsed (us),Process,Thread,Function,Phase,Arguments,Result,Duration (us)\r\n"
             "t,,1,,(session),note,\"program: p\nJ2534 library: l\",,\r\n" + body;
      break;
  }
  for (ScenarioApi api : {ScenarioApi::J2534, ScenarioApi::Pdu}) {
    Scenario scenario;
    std::string error;
    const bool taken = scenario.Parse(text, api, &error);
    PROMISE("scenario", taken == error.empty());
    PROMISE("scenario", taken || scenario.requests() == 0 || !error.empty());
    PROMISE("scenario", scenario.requests() <= kMaxScenarioRequests);
    PROMISE("scenario", scenario.periodic().size() <= kMaxPeriodicIds);
    for (const auto& track : scenario.periodic()) PROMISE("scenario", track.size() <= kMaxPeriodicFrames);
    // Ask what the body's bytes might hold, at both levels.
    for (std::size_t at = 0; at + 4 < size && at < 64; at += 4) {
      const std::uint32_t id = data[at] | (data[at + 1] << 8);
      const std::vector<std::uint8_t> request(data + at + 2, data + std::min(size, at + 2 + (data[at + 2] % 9)));
      for (ScenarioLevel level : {ScenarioLevel::Payload, ScenarioLevel::Frame}) {
        std::vector<ScenarioAnswer> answers;
        if (!scenario.Answer(level, id, request, data[at + 3], &answers)) continue;
        PROMISE("scenario", answers.size() <= kMaxScenarioAnswers);
        for (const ScenarioAnswer& a : answers) {
          PROMISE("scenario", a.data.size() <= kMaxScenarioPayload);
          PROMISE("scenario", a.delayUs <= kMaxScenarioDelayUs);
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ParseAnything(data, size);
  return 0;
}
