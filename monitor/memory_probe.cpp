#include "monitor/memory_probe.h"

#include <windows.h>

namespace monitor {

std::size_t ReadableBytes(const void* p, std::size_t wanted) {
  if (p == nullptr || wanted == 0) return 0;
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

std::size_t ReadableTextBytes(const char* p, std::size_t limit) {
  // Page by page, so that a short text costs one query however large `limit` is.
  constexpr std::size_t kPage = 4096;
  std::size_t checked = 0;
  while (checked < limit) {
    const auto at = reinterpret_cast<std::uintptr_t>(p) + checked;
    const std::size_t toPageEnd = kPage - (at % kPage);
    const std::size_t step = toPageEnd < limit - checked ? toPageEnd : limit - checked;
    const std::size_t readable = ReadableBytes(p + checked, step);
    for (std::size_t i = 0; i < readable; ++i) {
      if (p[checked + i] == '\0') return checked + i + 1;
    }
    checked += readable;
    if (readable < step) break;
  }
  return checked;
}

}  // namespace monitor
