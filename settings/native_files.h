// File-system redirection off on this thread while a NativeFiles lives, for a
// 32-bit program that looks at the files of the native 64-bit registry view
// (System32 is then System32, not SysWOW64). Nothing changes in a 64-bit
// program, on 32-bit Windows, or when `native` is false.
#pragma once

#include <windows.h>

namespace varrow {

class NativeFiles {
 public:
  explicit NativeFiles(bool native) {
#if !defined(_WIN64)
    BOOL wow = FALSE;
    if (native && IsWow64Process(GetCurrentProcess(), &wow) && wow) off_ = Wow64DisableWow64FsRedirection(&old_) != FALSE;
#else
    (void)native;
#endif
  }
  ~NativeFiles() {
    if (off_) Wow64RevertWow64FsRedirection(old_);
  }
  NativeFiles(const NativeFiles&) = delete;
  NativeFiles& operator=(const NativeFiles&) = delete;

 private:
  void* old_ = nullptr;
  bool off_ = false;
};

}  // namespace varrow
