// Memory of the monitor library: two private heaps instead of the process heap,
// one for the application's threads (the entries they capture) and one for the
// writer thread (the text work). The writer's many allocations then never hold
// the lock that an application's thread needs in the middle of a call. Each
// block remembers its heap, so a block is freed to the heap it came from
// whichever thread frees it. This file replaces operator new and delete for
// this library only (it is statically linked).
//
// The heaps are given back when the library is unloaded: an object made
// before every other static object of the library (and so destroyed after the
// last of them) destroys them. At process exit they stay: the process takes
// them with it, and a dead thread may hold their locks.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "hosted/module_release.h"
#include "monitor/split_heap.h"

namespace monitor {

namespace {

std::atomic<HANDLE> g_callerHeap{nullptr};
std::atomic<HANDLE> g_writerHeap{nullptr};
std::atomic<DWORD> g_writerThread{0};
std::atomic<bool> g_processExit{false};

// The block's heap and its size class (0: none), in front of the block. The
// header is as long as the alignment a heap block has (8 bytes on x86, 16 on
// x86-64, where the handle alone is 8), so the block after it keeps that alignment.
constexpr std::size_t kAlignment = sizeof(void*) == 8 ? 16 : 8;
constexpr std::size_t kHeader = kAlignment;
struct Header {
  HANDLE heap;
  std::uint32_t sizeClass;
};
static_assert(sizeof(Header) <= kHeader, "the header fits in front of the block");
static_assert(kHeader % alignof(Header) == 0, "the header keeps the block's alignment");

// The writer's small blocks are kept for reuse instead of freed: the text work
// allocates and frees many small strings per entry, and a heap call for each
// costs more than the work itself. Blocks of a class are kSizeStep * class
// bytes (header included) up to kMaxClassed; at most kMaxCachedBytes are kept.
// Only the thread that wins `g_cacheBusy` touches the lists (the writer
// thread; a thread that loses goes to the heap); a block freed by another
// thread goes back to the writer's heap, where it came from.
constexpr std::size_t kSizeStep = 16;
constexpr std::size_t kMaxClassed = 512;
constexpr std::size_t kClasses = kMaxClassed / kSizeStep + 1;
constexpr std::size_t kMaxCachedBytes = 1u << 20;
struct FreeBlock {
  FreeBlock* next;
};
struct WriterCache {
  FreeBlock* lists[kClasses] = {};
  std::size_t bytes = 0;
} g_cache;
std::atomic<bool> g_cacheBusy{false};

bool TakeCache() noexcept { return !g_cacheBusy.exchange(true, std::memory_order_acquire); }
void LeaveCache() noexcept { g_cacheBusy.store(false, std::memory_order_release); }

bool OnWriterThread() noexcept {
  const DWORD writer = g_writerThread.load(std::memory_order_relaxed);
  return writer != 0 && writer == GetCurrentThreadId();
}

// At process exit: blocks from pages of their own (one thread is left, so no
// lock), handed out in order and taken back all at once when the last block
// out is freed. A batch of the exit flush frees what it allocated, so the
// pages are reused from batch to batch.
HANDLE const kExitPages = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(1));
constexpr std::size_t kChunk = 1u << 20;
struct ExitPages {
  unsigned char* chunk = nullptr;  // the current chunk (kChunk bytes)
  std::size_t used = 0;
  std::size_t live = 0;            // blocks handed out and not yet freed
} g_exit;

void* ExitAllocate(std::size_t bytes) noexcept {
  bytes = (bytes + kAlignment - 1) & ~(kAlignment - 1);
  if (bytes > kChunk) {
    // A block larger than a chunk gets pages of its own; they stay until the end.
    auto* big = static_cast<unsigned char*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (big == nullptr) return nullptr;
    ++g_exit.live;
    return big;
  }
  if (g_exit.chunk == nullptr || kChunk - g_exit.used < bytes) {
    // The old chunk stays until the end of the process (blocks of it may be alive).
    g_exit.chunk = static_cast<unsigned char*>(VirtualAlloc(nullptr, kChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    g_exit.used = 0;
    if (g_exit.chunk == nullptr) return nullptr;
  }
  void* block = g_exit.chunk + g_exit.used;
  g_exit.used += bytes;
  ++g_exit.live;
  return block;
}

void ExitRelease() noexcept {
  if (g_exit.live > 0 && --g_exit.live == 0) g_exit.used = 0;  // nothing of the chunk is alive
}

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

void* Allocate(std::size_t size) noexcept {
  if (size > static_cast<std::size_t>(-1) - kHeader) return nullptr;
  HANDLE heap = nullptr;
  unsigned char* block = nullptr;
  if (g_processExit.load(std::memory_order_relaxed)) {
    heap = kExitPages;
    block = static_cast<unsigned char*>(ExitAllocate(size + kHeader));
  } else {
    const bool writer = OnWriterThread();
    heap = writer ? Heap(g_writerHeap) : Heap(g_callerHeap);
    std::uint32_t sizeClass = 0;
    std::size_t bytes = size + kHeader;
    if (writer && bytes <= kMaxClassed) {
      sizeClass = static_cast<std::uint32_t>((bytes + kSizeStep - 1) / kSizeStep);
      bytes = sizeClass * kSizeStep;
      if (TakeCache()) {
        if (FreeBlock* reused = g_cache.lists[sizeClass]) {
          g_cache.lists[sizeClass] = reused->next;
          g_cache.bytes -= bytes;
          block = reinterpret_cast<unsigned char*>(reused) - kHeader;
        }
        LeaveCache();
      }
    }
    if (block == nullptr) block = static_cast<unsigned char*>(HeapAlloc(heap, 0, bytes));
    if (block == nullptr) return nullptr;
    *reinterpret_cast<Header*>(block) = Header{heap, sizeClass};
    return block + kHeader;
  }
  if (block == nullptr) return nullptr;
  *reinterpret_cast<Header*>(block) = Header{heap, 0};
  return block + kHeader;
}

// Keeps a classed block of the writer's heap for reuse; false when it is not kept.
bool KeepForReuse(unsigned char* block, const Header& header) noexcept {
  if (header.sizeClass == 0 || header.sizeClass >= kClasses || !OnWriterThread() ||
      header.heap != g_writerHeap.load(std::memory_order_relaxed)) {
    return false;
  }
  const std::size_t bytes = header.sizeClass * kSizeStep;
  if (!TakeCache()) return false;
  const bool keep = g_cache.bytes + bytes <= kMaxCachedBytes;
  if (keep) {
    auto* freed = reinterpret_cast<FreeBlock*>(block + kHeader);
    freed->next = g_cache.lists[header.sizeClass];
    g_cache.lists[header.sizeClass] = freed;
    g_cache.bytes += bytes;
  }
  LeaveCache();
  return keep;
}

// Gives the kept blocks back to the writer's heap.
void DrainCache() noexcept {
  if (!TakeCache()) return;
  HANDLE heap = g_writerHeap.load(std::memory_order_relaxed);
  for (FreeBlock*& list : g_cache.lists) {
    while (list != nullptr) {
      FreeBlock* next = list->next;
      if (heap != nullptr) HeapFree(heap, 0, reinterpret_cast<unsigned char*>(list) - kHeader);
      list = next;
    }
  }
  g_cache.bytes = 0;
  LeaveCache();
}

void Release(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  const Header header = *reinterpret_cast<const Header*>(block);
  if (header.heap == kExitPages) {
    ExitRelease();
  } else if (!g_processExit.load(std::memory_order_relaxed) && !KeepForReuse(block, header)) {
    HeapFree(header.heap, 0, block);
  }  // at process exit a heap's lock may be held by a dead thread: the block stays
}

// Destroyed after every other static object of the library: gives the heaps
// (and the runtime's buffer for exceptions) back when the library is
// unloaded, not at process exit.
struct HeapOwner {
  ~HeapOwner() {
    if (g_processExit.load()) return;
    GiveBackRuntimeBuffers();  // the runtime's buffer for exceptions
    DrainCache();
    for (std::atomic<HANDLE>* slot : {&g_callerHeap, &g_writerHeap}) {
      HANDLE heap = slot->exchange(nullptr);
      if (heap != nullptr && heap != GetProcessHeap()) HeapDestroy(heap);
    }
  }
};

}  // namespace

void MarkWriterThread(bool writer) noexcept {
  if (writer) {
    g_writerThread.store(GetCurrentThreadId(), std::memory_order_relaxed);
    return;
  }
  // Only this thread's mark is taken back (a writer started since keeps its own);
  // the blocks kept for reuse go back to the heap when the writer ends.
  DWORD self = GetCurrentThreadId();
  if (g_writerThread.compare_exchange_strong(self, 0, std::memory_order_relaxed)) DrainCache();
}

void BeginProcessExit() noexcept { g_processExit.store(true); }

}  // namespace monitor

#if defined(_MSC_VER)
#pragma warning(disable : 4073)
#pragma init_seg(lib)
static monitor::HeapOwner g_heapOwner;
#else
static monitor::HeapOwner g_heapOwner __attribute__((init_priority(101)));
#endif

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
