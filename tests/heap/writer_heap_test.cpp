// The monitor library's heaps (monitor/split_heap.cpp), linked into this
// program of its own as they are into a monitor library: the small blocks the
// writer thread frees and keeps for reuse are never handed to another thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

#include "monitor/split_heap.h"

namespace {

// Fills `blocks` (its room reserved beforehand: no other allocation in between).
void Take(std::vector<char*>* blocks, std::size_t size) {
  for (char*& block : *blocks) block = new char[size];
}

void Give(const std::vector<char*>& blocks) {
  for (char* block : blocks) delete[] block;
}

bool Among(const std::vector<char*>& blocks, const char* block) {
  return std::find(blocks.begin(), blocks.end(), block) != blocks.end();
}

TEST(WriterHeapTest, SmallBlocksFreedByTheWriterNeverGoToAnotherThread) {
  const std::size_t sizes[] = {1, 24, 100, 400};
  for (std::size_t size : sizes) {
    SCOPED_TRACE(size);
    std::vector<char*> kept(8), other(8), again(8);
    monitor::MarkWriterThread(true);
    Take(&kept, size);
    Give(kept);
    // Another thread's blocks come from the callers' heap: none of those kept.
    std::thread([&] { Take(&other, size); }).join();
    // The writer's own come back to it (from where is the heap's business), usable.
    Take(&again, size);
    monitor::MarkWriterThread(false);  // gives the kept blocks back
    for (char* block : other) EXPECT_FALSE(Among(kept, block));
    for (char* block : again) block[0] = block[size - 1] = 'x';
    Give(again);
    std::thread([&] { Give(other); }).join();
  }
}

}  // namespace
