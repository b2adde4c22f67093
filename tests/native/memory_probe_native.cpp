// The memory gate for the native fuzz builds: the fuzz targets hand the
// decoders buffers exactly as large as their counts say, so every stated byte
// is readable here and the sanitizers catch any read beyond.
#include "monitor/memory_probe.h"

namespace monitor {

std::size_t ReadableBytes(const void* p, std::size_t wanted) { return p == nullptr ? 0 : wanted; }

ProbeScope::ProbeScope() noexcept {}
ProbeScope::~ProbeScope() { (void)slot_; }  // no slot of the memo to give back here

std::size_t ReadableTextBytes(const char* p, std::size_t limit) {
  if (p == nullptr) return 0;
  for (std::size_t i = 0; i < limit; ++i)
    if (p[i] == '\0') return i + 1;
  return limit;
}

}  // namespace monitor
