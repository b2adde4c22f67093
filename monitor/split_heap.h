// The monitor library's two heaps (monitor/split_heap.cpp): blocks allocated
// on the writer thread come from the writer's heap, all others from the
// callers' heap. Linked into a monitor library only.
#pragma once

namespace monitor {

// Marks the calling thread as the writer thread (or no longer, with false).
void MarkWriterThread(bool writer) noexcept;

// Process exit (DLL_PROCESS_DETACH with lpReserved set): the other threads
// are gone and may have died holding a heap's lock. From now on blocks come
// from pages of their own, taken without any lock, and freeing a block of the
// heaps is left to the end of the process. Never undone.
void BeginProcessExit() noexcept;

}  // namespace monitor
