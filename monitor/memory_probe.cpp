#include "monitor/memory_probe.h"

#include <windows.h>

#include <cstdint>

namespace monitor {

std::size_t ReadableBytes(const void* p, std::size_t wanted) {
  if (p == nullptr) return 0;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  std::uintptr_t at = start;
  const std::uintptr_t end = wanted > UINTPTR_MAX - start ? UINTPTR_MAX : start + wanted;
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  while (at < end) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == 0) break;
    if (info.State != MEM_COMMIT || (info.Protect & kReadable) == 0 ||
        (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) {
      break;
    }
    const std::uintptr_t regionEnd =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (regionEnd <= at) break;
    at = regionEnd;
  }
  if (at <= start) return 0;
  return at >= end ? wanted : static_cast<std::size_t>(at - start);
}

}  // namespace monitor
