// Whether memory an application hands over can be read, before the monitor
// reads variable-length structures (SCONFIG lists, byte arrays, name texts)
// whose length the application states.
#pragma once

#include <cstddef>

namespace monitor {

// How many of the `wanted` bytes at `p` are committed and readable (0 for NULL).
std::size_t ReadableBytes(const void* p, std::size_t wanted);

}  // namespace monitor
