// Owners of Windows kernel and search handles, the file-system twins of RegKey:
// they move but never copy, take null and INVALID_HANDLE_VALUE alike for empty,
// close exactly once, and keep the thread's last error intact when they close.
#pragma once

#include <windows.h>

namespace varrow {

template <typename Closer>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() { Close(); }
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.Release();
    }
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return Valid(); }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Close() {
    if (Valid()) {
      const DWORD lastError = GetLastError();
      Closer::Close(handle_);
      SetLastError(lastError);
    }
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

struct KernelHandleCloser {
  static void Close(HANDLE handle) { CloseHandle(handle); }
};
struct FindHandleCloser {
  static void Close(HANDLE handle) { FindClose(handle); }
};

// Files, processes, events, threads: closed with CloseHandle.
using KernelHandle = OwnedHandle<KernelHandleCloser>;
// Directory searches of FindFirstFileW: closed with FindClose.
using FindHandle = OwnedHandle<FindHandleCloser>;

}  // namespace varrow
