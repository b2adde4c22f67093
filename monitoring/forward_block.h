// The table block that a monitor library carries for forwarding the functions
// of an original library that the monitor does not log itself. Both monitors
// export a pool of generic forwarding entries under placeholder names and hold
// an initialised block in a section of its own; when Varrow copies a monitor in
// place of a library, it writes the copy's export table into that block: the
// monitor's own functions and the pool entries under the original's extra
// names (monitoring/export_rules.h). The monitor (monitor/forward_pool.cpp)
// reads the block's header. Free of Windows headers; little-endian fields.
#pragma once

#include <cstdint>

namespace forward {

// Entries in the pool: the most extra functions a monitored library may have.
// Libraries re-export between 2 and about 17 functions beyond the standard's;
// 64 leaves room for the larger vendor sets at 16 bytes of code per entry.
inline constexpr std::uint32_t kPoolSize = 64;
// The block's size in the file: header, function table, names and notes.
inline constexpr std::uint32_t kBlockBytes = 32768;
// The section that holds the block (at its start), and what the block begins with.
inline constexpr char kBlockSection[] = ".vfwd";
inline constexpr char kBlockMagic[8] = {'V', 'R', 'W', 'F', 'W', 'D', '0', '1'};
// The pool entries' names as built: this prefix and the entry's index in
// decimal ("VarrowForward0" .. "VarrowForward63").
inline constexpr char kPlaceholderPrefix[] = "VarrowForward";

struct BlockHeader {
  char magic[8];
  std::uint32_t poolSize;
  std::uint32_t blockBytes;
  std::uint32_t written;      // 0 as built; 1 once the copy's table was written
  std::uint32_t notesOffset;  // from the block's start: the original's data exports that
  std::uint32_t notesBytes;   // were left out, names joined by '\n' (no terminator)
  std::uint32_t reserved;
};
static_assert(sizeof(BlockHeader) == 32, "the block header is 32 bytes");
// Where the written table begins, from the block's start.
inline constexpr std::uint32_t kBlockDataOffset = 32;

}  // namespace forward
