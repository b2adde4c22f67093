// Memory that ends where a no-access page begins, for the tests that hand a
// library lying counts and bad pointers: a read one byte too far faults for
// certain instead of reading whatever lies there.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace varrow::test {

class PageEnd {
 public:
  static constexpr std::size_t kPage = 4096;
  PageEnd() {
    base_ = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (base_ != nullptr) VirtualProtect(base_ + kPage, kPage, PAGE_NOACCESS, &old);
  }
  ~PageEnd() {
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
  }
  PageEnd(const PageEnd&) = delete;
  PageEnd& operator=(const PageEnd&) = delete;
  bool Ok() const { return base_ != nullptr; }
  // The last `bytes` readable (and writable) bytes before the no-access page.
  template <typename T = void>
  T* Last(std::size_t bytes) const {
    return reinterpret_cast<T*>(base_ + kPage - bytes);
  }
  // The first byte of the no-access page.
  template <typename T = void>
  T* NoAccess() const {
    return reinterpret_cast<T*>(base_ + kPage);
  }

 private:
  std::uint8_t* base_ = nullptr;
};

// A fault of this process ends it at once with a line on stderr, instead of
// waiting for a debugger (Wine's would hold the test until its time-out).
inline LONG WINAPI EndOnFault(EXCEPTION_POINTERS* e) {
  std::fprintf(stderr, "fault 0x%08lX at %p: the test fails\n",
               static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode),
               e->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}
inline void EndProcessOnFault() { SetUnhandledExceptionFilter(&EndOnFault); }

}  // namespace varrow::test
