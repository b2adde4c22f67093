// An owning kernel handle (event, thread, token): moves but never copies,
// treats null and INVALID_HANDLE_VALUE alike as empty, and keeps the caller's
// GetLastError when it closes.
#pragma once

#include <windows.h>

namespace varrow {

class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.Release();
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE Get() const { return Valid() ? handle_ : nullptr; }
  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return Valid(); }
  // Gives the handle up without closing it.
  HANDLE Release() {
    HANDLE handle = Get();
    handle_ = nullptr;
    return handle;
  }
  void Close() {
    if (Valid()) {
      const DWORD error = GetLastError();
      CloseHandle(handle_);
      SetLastError(error);
    }
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace varrow
