// The default of MarkWriterThread for programs that keep the process heap (the
// tests, the benchmark driver): nothing to mark. A monitor library links
// monitor/split_heap.cpp, whose definition is then used instead of this one.
#include "monitor/split_heap.h"

namespace monitor {

void MarkWriterThread(bool) noexcept {}

}  // namespace monitor
