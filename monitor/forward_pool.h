// The monitor side of forwarding: the pool entries (monitor/forward_thunks.cpp)
// carry, in a monitor copy that Varrow prepared, the names of the original's
// functions that the monitor does not log. At its first call an entry finds
// its own name (or ordinal) in this module's export table, resolves it in the
// set-aside original and keeps the address; later calls jump there directly.
// Runs on the application's threads.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace monitor {

class LogWriter;

// The set-aside original, loaded at the first call when it is not yet:
// defined by each monitor library (null when it cannot be loaded).
HMODULE ForwardOriginal() noexcept;

// The name under which pool entry `index` is exported, or empty with its
// ordinal in *ordinal when it is exported by ordinal only. False when the
// entry is not exported (an unused entry, or a monitor as built).
bool ForwardEntryIdentity(std::uint32_t index, std::string* name, std::uint32_t* ordinal);

// The summary of the process's forwarded calls: one line per forwarded
// function ("VendorScan: 3 calls", "#7: 1 call"), in entry order. Empty in a
// monitor that forwards nothing.
std::string ForwardedCallsText();
// The original's data exports that the copy leaves out, one per line.
std::string LeftOutExportsText();

// At a session's end: queues a note of the forwarded functions and their call
// counts when they changed since the last such note of the process (the first
// time always, when the copy forwards anything). Never throws.
void NoteForwardedCalls(LogWriter* writer) noexcept;
// The same for the D-PDU monitor's writer (monitor/pdu/pdu_forward.cpp).
void NotePduForwardedCalls() noexcept;

}  // namespace monitor
