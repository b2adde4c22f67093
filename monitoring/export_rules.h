// The export tables of a monitored library and of the monitor copy that stands
// in its place: read from the files' bytes, every offset and size checked
// against the file (the files may be hostile), and the copy's table rewritten
// so that the monitor's pool of forwarding entries carries the original's
// extra functions (monitoring/forward_block.h). Free of Windows headers
// (tests/native fuzzes them); fails with a problem text, never past a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varrow {

// One ordinal of a library's export table.
struct ExportSlot {
  enum class Kind : std::uint8_t { Unused, Code, Data };
  Kind kind = Kind::Unused;
  std::vector<std::string> names;  // empty: exported by ordinal only
};

struct ExportTable {
  std::uint16_t machine = 0;        // IMAGE_FILE_HEADER.Machine
  std::uint32_t base = 1;           // the ordinal of slots[0]
  std::vector<ExportSlot> slots;
  std::vector<std::string> nameOrder;  // the names as the name table lists them
};

// Limits that keep a hostile file bounded.
inline constexpr std::size_t kMaxExportNameChars = 512;
inline constexpr std::uint32_t kMaxExportSlots = 65535;

// Reads the export table of the library in `file`. A library without one has
// no slots. False with `problem` (English, one sentence) when the file is not a
// PE library or its export table does not lie within the file. A function
// whose address is in a section that cannot run is a data export; one inside
// the export directory is forwarded elsewhere by the library (a function).
bool ReadExportTable(const std::uint8_t* file, std::size_t size, ExportTable* table,
                     std::string* problem);

// The machine type of a PE file (IMAGE_FILE_HEADER.Machine), or 0 when
// `file` has no MZ header with a PE header within it.
std::uint16_t PeMachine(const std::uint8_t* file, std::size_t size);

// True when `file` is a monitor library as built with a pool of forwarding
// entries (its block unwritten). An older monitor has none.
bool IsForwardingMonitor(const std::uint8_t* file, std::size_t size);

// What a rewrite did.
struct ForwardPlan {
  std::vector<std::string> forwarded;  // the extras served by pool entries ("#12" by ordinal only)
  std::vector<std::string> leftOut;    // the original's data exports, not forwarded
  std::uint32_t base = 0;              // the copy's ordinal base
  bool sameOrdinals = true;            // every function kept the original's ordinal
};

// Rewrites, in `copy` (the bytes of a monitor library as built), the export
// table so that it holds the monitor's own functions at the ordinals the
// original gives those names, and one pool entry for each other function of
// `original` under its names (or at its ordinal when it has no name), with
// the names sorted. A name the original exports as well as one of the
// monitor's on one ordinal gets a pool entry at a new ordinal. The original's
// data exports are left out and listed in the block's notes. False with
// `problem` and `copy` unchanged when the copy is not a monitor as built, the
// machines differ, the extras outnumber the pool, or the table does not fit.
bool WriteForwardingTable(std::vector<std::uint8_t>* copy, const ExportTable& original,
                          ForwardPlan* plan, std::string* problem);

}  // namespace varrow
