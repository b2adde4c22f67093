// The monitor library's two heaps (monitor/split_heap.cpp): blocks allocated
// on the writer thread come from the writer's heap, all others from the
// callers' heap. Linked into a monitor library only.
#pragma once

namespace monitor {

// Marks the calling thread as the writer thread (or no longer, with false).
void MarkWriterThread(bool writer) noexcept;

}  // namespace monitor
