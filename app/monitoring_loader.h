// The monitoring configuration loaded on a worker thread, so that the main
// dialog can show while the implementation libraries are looked for. The
// worker reads the registry and probes files exactly as the dialog's own
// thread would; of the windows it only posts one message to the dialog.
#pragma once

#include <windows.h>

#include <exception>
#include <memory>
#include <string>

#include "monitoring/api_implementation.h"
#include "settings/registry.h"

namespace varrow {

// Posted to the dialog when the load has ended: wparam 0, lparam 0.
constexpr UINT kMonitoringLoadedMessage = WM_APP + 0x160;

// One load of LoadMonitoringConfiguration into a state that the caller owns.
class MonitoringLoader {
 public:
  MonitoringLoader() = default;
  // Waits for a load still running; what it threw is dropped.
  ~MonitoringLoader();
  MonitoringLoader(const MonitoringLoader&) = delete;
  MonitoringLoader& operator=(const MonitoringLoader&) = delete;

  // Starts loading into *state on a worker thread, which posts
  // kMonitoringLoadedMessage to `notify` when it ends. When no thread can be
  // started, the load runs at once on the calling thread. *state belongs to
  // the worker until Wait has returned.
  // `gate`, when given (tests), holds the worker back until it is signalled.
  void Start(MonitoringState* state, const RegistryRoots& roots, int brandId,
             const std::wstring& text131, HWND notify, HANDLE gate = nullptr);
  // True when a load was started and has ended; never blocks.
  bool Ended() const;
  // Waits for the load to end (nothing when none runs) and rethrows, once,
  // what the load threw.
  void Wait();

 private:
  struct Job {
    MonitoringState* state;
    RegistryRoots roots;
    int brandId;
    std::wstring text131;
    HWND notify;
    HANDLE gate;
    std::exception_ptr failure;
  };
  static DWORD WINAPI ThreadProc(void* parameter);
  // Waits for the thread and closes it; the job's failure stays in the job.
  void Join();

  std::unique_ptr<Job> job_;
  HANDLE thread_ = nullptr;
};

}  // namespace varrow
