#include "app/monitoring_loader.h"

#include "monitoring/discovery.h"

namespace varrow {

MonitoringLoader::~MonitoringLoader() { Join(); }

void MonitoringLoader::Start(MonitoringState* state, const RegistryRoots& roots, int brandId,
                             const std::wstring& text131, HWND notify, HANDLE gate) {
  if (job_ != nullptr || state == nullptr) return;
  job_.reset(new Job{state, roots, brandId, text131, notify, gate, nullptr});
  thread_ = CreateThread(nullptr, 0, ThreadProc, job_.get(), 0, nullptr);
  if (thread_ != nullptr) {
    // The dialog's own thread comes first while both run; whoever waits for
    // the load gives the thread its normal priority back (Join).
    (void)SetThreadPriority(thread_, THREAD_PRIORITY_LOWEST);
  } else {
    // No second thread: the load runs here, as it would without one.
    LoadMonitoringConfiguration(*state, roots, brandId, text131);
    (void)PostMessageW(notify, kMonitoringLoadedMessage, 0, 0);
  }
}

bool MonitoringLoader::Ended() const {
  if (job_ == nullptr) return false;
  return thread_ == nullptr || WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0;
}

void MonitoringLoader::Wait() {
  Join();
  if (job_ != nullptr && job_->failure) {
    const std::exception_ptr failure = job_->failure;
    job_->failure = nullptr;
    std::rethrow_exception(failure);
  }
}

void MonitoringLoader::Join() {
  if (thread_ == nullptr) return;
  (void)SetThreadPriority(thread_, THREAD_PRIORITY_NORMAL);
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = nullptr;
}

DWORD WINAPI MonitoringLoader::ThreadProc(void* parameter) {
  auto* job = static_cast<Job*>(parameter);
  try {
    if (job->gate != nullptr) (void)WaitForSingleObject(job->gate, INFINITE);
    LoadMonitoringConfiguration(*job->state, job->roots, job->brandId, job->text131);
  } catch (...) {
    // Handed to the dialog's thread, which rethrows it where it waits.
    job->failure = std::current_exception();
  }
  // A dialog already gone only means nobody waits for the message.
  (void)PostMessageW(job->notify, kMonitoringLoadedMessage, 0, 0);
  return 0;
}

}  // namespace varrow
