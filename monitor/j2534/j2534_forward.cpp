// The J2534 monitor's original for the forwarding entries (monitor/forward_pool.h).
#include "monitor/forward_pool.h"
#include "monitor/j2534/j2534_state.h"

namespace monitor {

HMODULE ForwardOriginal() noexcept {
  MonitorState* state = J2534State();
  return state != nullptr ? state->original : nullptr;
}

}  // namespace monitor
