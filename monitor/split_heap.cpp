// Memory of the monitor library: two private heaps instead of the process heap,
// one for the application's threads (the entries they capture) and one for the
// writer thread (the text work). The writer's many allocations then never hold
// the lock that an application's thread needs in the middle of a call. Each
// block remembers its heap, so a block is freed to the heap it came from
// whichever thread frees it. This file replaces operator new and delete for
// this library only (it is statically linked).
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <new>

#include "monitor/split_heap.h"

namespace monitor {

namespace {

std::atomic<HANDLE> g_callerHeap{nullptr};
std::atomic<HANDLE> g_writerHeap{nullptr};
std::atomic<DWORD> g_writerThread{0};

HANDLE Heap(std::atomic<HANDLE>& slot) {
  HANDLE heap = slot.load(std::memory_order_acquire);
  if (heap != nullptr) return heap;
  HANDLE created = HeapCreate(0, 0, 0);
  if (created == nullptr) return GetProcessHeap();
  HANDLE expected = nullptr;
  if (!slot.compare_exchange_strong(expected, created)) {
    HeapDestroy(created);
    return expected;
  }
  return created;
}

// The block's heap, in front of the block (8 bytes keep the alignment).
constexpr std::size_t kHeader = 8;

void* Allocate(std::size_t size) noexcept {
  if (size > static_cast<std::size_t>(-1) - kHeader) return nullptr;
  HANDLE heap = GetCurrentThreadId() == g_writerThread.load(std::memory_order_relaxed)
                    ? Heap(g_writerHeap)
                    : Heap(g_callerHeap);
  auto* block = static_cast<unsigned char*>(HeapAlloc(heap, 0, size + kHeader));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<HANDLE*>(block) = heap;
  return block + kHeader;
}

void Release(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  HeapFree(*reinterpret_cast<HANDLE*>(block), 0, block);
}

}  // namespace

void MarkWriterThread(bool writer) noexcept {
  g_writerThread.store(writer ? GetCurrentThreadId() : 0, std::memory_order_relaxed);
}

}  // namespace monitor

void* operator new(std::size_t size) {
  if (void* p = monitor::Allocate(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return monitor::Allocate(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return monitor::Allocate(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { monitor::Release(p); }
void operator delete[](void* p) noexcept { monitor::Release(p); }
void operator delete(void* p, std::size_t) noexcept { monitor::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { monitor::Release(p); }
