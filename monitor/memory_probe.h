// The one gate through which both monitors read memory an application (or a
// library) hands over: how much of it can be read, checked before every read
// of a structure, an array or a text whose place or length the caller states.
// The header is free of Windows headers (the decoders that use it are fuzzed
// natively, where a stand-in of ReadableBytes trusts the stated length).
#pragma once

#include <cstddef>
#include <cstdint>

namespace monitor {

// How many of the `wanted` bytes at `p` are committed and readable (0 for NULL).
std::size_t ReadableBytes(const void* p, std::size_t wanted);

// Items of type T at a foreign address.
template <typename T>
struct Foreign {
  // How many of the `count` items at `p` can be read whole (0 for NULL).
  static std::size_t Probe(const T* p, std::size_t count) {
    constexpr std::size_t kMaxCount = SIZE_MAX / sizeof(T);
    if (count > kMaxCount) count = kMaxCount;
    return ReadableBytes(p, count * sizeof(T)) / sizeof(T);
  }
  // True when the item at `p` can be read.
  static bool Readable(const T* p) { return Probe(p, 1) == 1; }
  // Copies the item at `p` to `*out` when it can be read.
  static bool Read(const T* p, T* out) {
    if (!Readable(p)) return false;
    *out = *p;
    return true;
  }
};

// While one lives, the readable ranges the calling thread's probes find are
// remembered, so that the structures of one call or item, which mostly lie
// together, cost one query of the memory map. Make one around the decoding of
// one call only (the memory is the caller's for that long); a thread whose
// place is taken by another's scope just queries each time.
class ProbeScope {
 public:
  ProbeScope() noexcept;
  ~ProbeScope();
  ProbeScope(const ProbeScope&) = delete;
  ProbeScope& operator=(const ProbeScope&) = delete;

 private:
  int slot_ = -1;
};

// How many bytes of the foreign C text at `p` may be read: its length up to
// and including its terminating null when that lies within `limit` readable
// bytes, else the readable part of `limit` bytes.
std::size_t ReadableTextBytes(const char* p, std::size_t limit);

}  // namespace monitor
