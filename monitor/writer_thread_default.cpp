// The defaults of monitor/split_heap.h for programs that keep the process heap
// (the tests, the benchmark driver): nothing to mark. A monitor library links
// monitor/split_heap.cpp, whose definitions are then used instead of these.
#include "monitor/split_heap.h"

namespace monitor {

void MarkWriterThread(bool) noexcept {}
void BeginProcessExit() noexcept {}

}  // namespace monitor
