// The registry change watcher: a worker thread that waits on one auto-reset
// event, which RegNotifyChangeKeyValue signals for the watched per-user keys,
// and posts the reload message to the dialog for every wake-up.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>

#include "settings/owned_handle.h"

namespace varrow {

// The message the watcher posts: wparam 0 (the wait result), lparam 0.
constexpr UINT kReloadMessage = WM_USER + 1;
// How long the stop waits for the thread before giving up on it.
constexpr DWORD kWatcherStopTimeoutMs = 5000;

// One watcher: the event, the thread, its run flag and its target window.
class ChangeWatcher {
 public:
  ChangeWatcher() = default;
  ~ChangeWatcher() { Stop(); }
  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

  // Creates the event and starts the thread, which posts kReloadMessage to
  // `target` on every signal. False (no event, no thread) when either fails.
  bool Start(HWND target);
  // Clears the run flag, wakes the thread and waits for it to end (at most
  // kWatcherStopTimeoutMs) before closing the handles. A thread that does not
  // end in time keeps its event and state alive (they are leaked, not closed
  // under it). Safe to call twice.
  void Stop();

  // The change event, or null when none was created.
  HANDLE Event() const;
  bool Running() const { return context_ != nullptr; }

  // Arms the one-shot notification (subtree, value changes) on each key that
  // is not null, in order; results are ignored. Nothing when there is no event.
  void Arm(const HKEY* keys, std::size_t count) const;

 private:
  struct Context {
    KernelHandle event;
    HWND target = nullptr;
    std::atomic<bool> run{true};
  };
  static DWORD WINAPI ThreadProc(void* parameter);

  Context* context_ = nullptr;
  KernelHandle thread_;
};

}  // namespace varrow
