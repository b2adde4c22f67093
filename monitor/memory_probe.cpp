#include "monitor/memory_probe.h"

#include <windows.h>

#include <atomic>

#include "monitor/thread_block.h"

namespace monitor {

namespace {

// The remembered readable range of each thread inside a ProbeScope, by a hash
// of its id; a slot is the owner's alone while its scope lives.
struct Memo {
  std::atomic<DWORD> owner{0};
  std::uintptr_t low = 0, high = 0;
};
constexpr int kMemos = 64;
Memo g_memos[kMemos];

int MemoSlot(DWORD thread) { return static_cast<int>((thread >> 2) % kMemos); }

Memo* OwnMemo() {
  const DWORD thread = GetCurrentThreadId();
  Memo& memo = g_memos[MemoSlot(thread)];
  return memo.owner.load(std::memory_order_relaxed) == thread ? &memo : nullptr;
}

}  // namespace

ProbeScope::ProbeScope() noexcept {
  const DWORD thread = GetCurrentThreadId();
  const int slot = MemoSlot(thread);
  DWORD free = 0;
  if (g_memos[slot].owner.compare_exchange_strong(free, thread, std::memory_order_acquire)) {
    g_memos[slot].low = g_memos[slot].high = 0;
    slot_ = slot;
  }
}

ProbeScope::~ProbeScope() {
  if (slot_ >= 0) g_memos[slot_].owner.store(0, std::memory_order_release);
}

std::size_t ReadableBytes(const void* p, std::size_t wanted) {
  if (p == nullptr || wanted == 0) return 0;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  std::uintptr_t at = start;
  const std::uintptr_t end = wanted > UINTPTR_MAX - start ? UINTPTR_MAX : start + wanted;
  // The calling thread's own stack from its lowest committed address up is
  // committed and readable by definition: the structures applications hand
  // over most often live there, and this costs no query.
  const NT_TIB* tib = OwnThreadBlock();
  const auto stackLow = reinterpret_cast<std::uintptr_t>(tib->StackLimit);
  const auto stackHigh = reinterpret_cast<std::uintptr_t>(tib->StackBase);
  if (start >= stackLow && end <= stackHigh) return wanted;
  Memo* memo = OwnMemo();
  if (memo != nullptr && start >= memo->low && end <= memo->high) return wanted;
  std::uintptr_t firstBase = 0;
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
    if (at == start) firstBase = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
    at = regionEnd;
  }
  if (at <= start) return 0;
  if (memo != nullptr) {
    memo->low = firstBase;
    memo->high = at;
  }
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
