// The calling thread's information block (NT_TIB: its stack bounds), read
// from the segment register that holds its address at NT_TIB.Self.
// mingw-w64's NtCurrentTeb reads it through a constant address in the fs
// segment, which GCC takes for a read of address 0x18 and warns about
// (-Warray-bounds); the same read in a line of assembly says what it is.
#pragma once

#include <windows.h>

namespace monitor {

inline const NT_TIB* OwnThreadBlock() {
#if defined(__GNUC__) && defined(__i386__)
  const NT_TIB* tib;
  __asm__("movl %%fs:0x18, %0" : "=r"(tib));
  return tib;
#elif defined(__GNUC__) && defined(__x86_64__)
  const NT_TIB* tib;
  __asm__("movq %%gs:0x30, %0" : "=r"(tib));
  return tib;
#else
  return reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
#endif
}

}  // namespace monitor
