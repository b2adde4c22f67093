// Reading a monitor log (XML or CSV) into its sessions and logged calls, for
// the scenario (simulator/scenario/scenario.cpp), by the log library's
// description of the formats. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace simulator {
namespace logread {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxFieldsPerEntry = 4096;

// One logged call: who, what, and its fields by name.
struct Entry {
  std::string function, phase;
  std::uint32_t process = 0;
  std::uint64_t elapsedUs = 0;
  std::vector<std::pair<std::string, std::string>> fields;
};

// What the reader hands on, in the log's order: each session's API as it
// opens ("" when a session closes) and each logged call.
class EntrySink {
 public:
  virtual ~EntrySink() = default;
  virtual void SessionApi(const std::string& api) = 0;
  virtual void Add(const Entry& e) = 0;
};

// Reads a whole log into `sink`. False (and `error` says why, in words for a
// user) when the text is not an XML or CSV monitor log or is cut short.
bool ReadLog(const std::string& text, EntrySink& sink, std::string* error);

bool StartsWith(const std::string& text, std::size_t at, const char* prefix);
// The unsigned decimal number at `at` (false when there is none or it overflows).
bool Number(const std::string& text, std::size_t at, std::uint64_t* value, std::size_t* end = nullptr);
// The number after `label` in `text` ("Timestamp 3116 us": label "Timestamp ").
bool NumberAfter(const std::string& text, const char* label, std::uint64_t* value);
// The hex number after "0x" at `at`.
bool HexNumber(const std::string& text, std::size_t at, std::uint32_t* value);
// Space-separated two-digit hex bytes from `at`, across line breaks, up to
// the first other word; at most `limit` bytes.
Bytes HexBytes(const std::string& text, std::size_t at, std::size_t limit);

}  // namespace logread
}  // namespace simulator
