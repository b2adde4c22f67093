// What the writer tells the program it runs in about its thread: a monitor
// library gives the writer thread a heap of its own (monitor/split_heap.cpp
// defines this); programs that keep the process heap link the do-nothing
// default (monitor/writer_thread_default.cpp). Declared here so that the log
// library needs no header of the programs that use it.
#pragma once

namespace monitor {

// Marks the calling thread as the writer thread (or no longer, with false).
void MarkWriterThread(bool writer) noexcept;

}  // namespace monitor
