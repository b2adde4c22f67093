// What a process holds, for the load / unload cycle tests of the monitor
// libraries: address space in use (reserved or committed), heaps, handles; and
// a bounded wait for a module to be unloaded.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace varrow::test {

struct Footprint {
  std::uint64_t bytes = 0;  // reserved and committed address space
  DWORD heaps = 0;
  DWORD handles = 0;  // open handles among the first 16,384 handle values
};

inline DWORD WINAPI EndAtOnce(void*) { return 0; }

// Wine gives back the stack of an ended thread only when the next thread
// ends: two small threads, started and ended here first, make the thread
// whose stack is still held the same at every measure.
inline Footprint TakeFootprint() {
  for (int i = 0; i < 2; ++i) {
    HANDLE thread = CreateThread(nullptr, 64 * 1024, &EndAtOnce, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    }
  }
  Footprint f;
  MEMORY_BASIC_INFORMATION info{};
  std::uintptr_t at = 0;
  while (VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info) == sizeof info) {
    if (info.State != MEM_FREE) f.bytes += info.RegionSize;
    const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (next <= at) break;
    at = next;
  }
  f.heaps = GetProcessHeaps(0, nullptr);
  // Counted one by one: Wine answers GetProcessHandleCount with 0.
  for (std::uintptr_t value = 4; value < 4 * 16384; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++f.handles;
  }
  return f;
}

// True once no module of this process has the path `path`; false when one
// still has it after `waitMs` (a module given back by another thread may take
// a moment).
inline bool WaitUntilUnloaded(const std::wstring& path, DWORD waitMs) {
  const ULONGLONG until = GetTickCount64() + waitMs;
  while (GetModuleHandleW(path.c_str()) != nullptr) {
    if (GetTickCount64() >= until) return false;
    Sleep(1);
  }
  return true;
}

}  // namespace varrow::test
