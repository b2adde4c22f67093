// The D-PDU monitor's original for the forwarding entries (monitor/forward_pool.h),
// and the note of forwarded calls at the session's end.
#include "monitor/forward_pool.h"
#include "monitor/pdu/pdu_state.h"

namespace monitor {

HMODULE ForwardOriginal() noexcept {
  try {
    return ThePduMonitor().original.module;
  } catch (...) {
    return nullptr;
  }
}

void NotePduForwardedCalls() noexcept {
  if (PduMonitorState* m = PduMonitorIfMade(); m != nullptr) NoteForwardedCalls(m->writer.get());
}

}  // namespace monitor
