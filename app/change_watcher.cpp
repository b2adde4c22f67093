#include "app/change_watcher.h"

namespace varrow {

bool ChangeWatcher::Start(HWND target) {
  if (context_ != nullptr) return true;
  auto* context = new Context;  // deleted by Stop, or left to a thread that never ends
  context->target = target;
  context->event = KernelHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (context->event) {
    thread_ = KernelHandle(CreateThread(nullptr, 0, ThreadProc, context, 0, nullptr));
  }
  if (!thread_) {
    delete context;  // closes the event
    return false;
  }
  context_ = context;
  return true;
}

void ChangeWatcher::Stop() {
  if (context_ == nullptr) return;
  context_->run = false;
  SetEvent(context_->event.Get());
  const DWORD waited = WaitForSingleObject(thread_.Get(), kWatcherStopTimeoutMs);
  thread_.Close();
  // A thread that did not end may still wait on the event: leave the event and
  // the state alive rather than close them under it.
  if (waited == WAIT_OBJECT_0) delete context_;
  context_ = nullptr;
}

HANDLE ChangeWatcher::Event() const { return context_ ? context_->event.Get() : nullptr; }

void ChangeWatcher::Arm(const HKEY* keys, std::size_t count) const {
  if (context_ == nullptr || !context_->event) return;
  for (std::size_t i = 0; i < count; ++i) {
    if (keys[i] == nullptr) continue;
    // A failed arming only means later changes under that key go unnoticed.
    (void)RegNotifyChangeKeyValue(keys[i], TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                  context_->event.Get(), TRUE);
  }
}

DWORD WINAPI ChangeWatcher::ThreadProc(void* parameter) {
  auto* context = static_cast<Context*>(parameter);
  try {
    const HANDLE event = context->event.Get();
    while (context->run) {
      if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return 0;
      if (!context->run) return 0;  // stopping: the window is going away
      (void)PostMessageW(context->target, kReloadMessage, 0, 0);
    }
  } catch (...) {
  }
  return 0;
}

}  // namespace varrow
