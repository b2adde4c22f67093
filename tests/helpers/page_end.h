// Memory that ends where a no-access page begins, for handing a library lying
// counts and bad pointers: a read one byte too far faults for certain.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace varrow::test {

class PageEnd {
 public:
  // Readable room before the no-access page: a whole PASSTHRU_MSG (4,152 bytes) is longer than a page.
  static constexpr std::size_t kReadable = 16384;
  PageEnd()
      : base_(static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, kReadable + 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))) {
    DWORD old = 0;
    if (base_ != nullptr) VirtualProtect(base_ + kReadable, 4096, PAGE_NOACCESS, &old);
  }
  ~PageEnd() { VirtualFree(base_, 0, MEM_RELEASE); }
  PageEnd(const PageEnd&) = delete;
  PageEnd& operator=(const PageEnd&) = delete;
  bool Ok() const { return base_ != nullptr; }
  // The last `bytes` (at most kReadable) readable bytes before the no-access page, and its first byte.
  template <typename T = void> T* Last(std::size_t bytes) const { return reinterpret_cast<T*>(base_ + kReadable - bytes); }
  template <typename T = void> T* NoAccess() const { return reinterpret_cast<T*>(base_ + kReadable); }

 private:
  std::uint8_t* base_;
};

// A fault ends this process at once with a line on stderr (Wine's debugger
// would hold the test until its time-out).
inline LONG WINAPI EndOnFault(EXCEPTION_POINTERS* e) {
  std::fprintf(stderr, "fault 0x%08lX at %p\n", static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode),
               e->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}
inline void EndProcessOnFault() { SetUnhandledExceptionFilter(&EndOnFault); }

}  // namespace varrow::test
