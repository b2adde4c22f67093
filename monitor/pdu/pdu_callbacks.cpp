#include "monitor/pdu/pdu_callbacks.h"

#include <array>
#include <atomic>
#include <mutex>
#include <utility>

namespace monitor {

using namespace pdu;

namespace {

struct Slot {
  bool used = false;  // guarded by g_lock
  UNUM32 hMod = 0;
  UNUM32 hCLL = 0;
  std::atomic<CALLBACKFNC> application{nullptr};
};

Slot g_slots[kPduCallbackSlots];
std::mutex g_lock;
std::atomic<PduEventObserver> g_observer{nullptr};

void Dispatch(int slot, T_PDU_EVT_DATA eventType, UNUM32 hMod, UNUM32 hCLL, void* cllTag,
              void* apiTag) {
  const CALLBACKFNC application = g_slots[slot].application.load(std::memory_order_acquire);
  if (const PduEventObserver observer = g_observer.load(std::memory_order_acquire))
    observer(eventType, hMod, hCLL, cllTag, apiTag, application);
  // Called as the library would have called it, outside any lock of ours.
  if (application != nullptr) application(eventType, hMod, hCLL, cllTag, apiTag);
}

template <int N>
void PDU_CALL Trampoline(T_PDU_EVT_DATA eventType, UNUM32 hMod, UNUM32 hCLL, void* cllTag,
                         void* apiTag) {
  Dispatch(N, eventType, hMod, hCLL, cllTag, apiTag);
}

template <int... N>
constexpr auto MakeTrampolines(std::integer_sequence<int, N...>) {
  return std::array<CALLBACKFNC, sizeof...(N)>{&Trampoline<N>...};
}

Slot* FindSlot(UNUM32 hMod, UNUM32 hCLL) {
  for (Slot& slot : g_slots)
    if (slot.used && slot.hMod == hMod && slot.hCLL == hCLL) return &slot;
  return nullptr;
}

}  // namespace

void SetPduEventObserver(PduEventObserver observer) {
  g_observer.store(observer, std::memory_order_release);
}

CALLBACKFNC BindPduCallback(UNUM32 hMod, UNUM32 hCLL, CALLBACKFNC application,
                            CALLBACKFNC* previous) {
  static const auto kTrampolines = MakeTrampolines(std::make_integer_sequence<int, kPduCallbackSlots>());
  std::lock_guard<std::mutex> lock(g_lock);
  Slot* slot = FindSlot(hMod, hCLL);
  if (slot == nullptr) {
    for (Slot& free : g_slots) {
      if (!free.used) {
        slot = &free;
        slot->used = true;
        slot->hMod = hMod;
        slot->hCLL = hCLL;
        slot->application.store(nullptr);
        break;
      }
    }
  }
  if (slot == nullptr) return nullptr;
  *previous = slot->application.exchange(application, std::memory_order_acq_rel);
  return kTrampolines[slot - g_slots];
}

void RestorePduCallback(UNUM32 hMod, UNUM32 hCLL, CALLBACKFNC previous) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (Slot* slot = FindSlot(hMod, hCLL)) {
    slot->application.store(previous, std::memory_order_release);
    // Nothing of ours is registered for the pair: the slot is free again.
    if (previous == nullptr) slot->used = false;
  }
}

void UnbindPduCallback(UNUM32 hMod, UNUM32 hCLL) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (Slot* slot = FindSlot(hMod, hCLL)) slot->application.store(nullptr, std::memory_order_release);
}

void ReleasePduCallback(UNUM32 hMod, UNUM32 hCLL) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (Slot* slot = FindSlot(hMod, hCLL)) {
    slot->application.store(nullptr, std::memory_order_release);
    slot->used = false;
  }
}

void ReleasePduModuleLinks(UNUM32 hMod) {
  std::lock_guard<std::mutex> lock(g_lock);
  for (Slot& slot : g_slots) {
    if (!slot.used || slot.hCLL == PDU_HANDLE_UNDEF) continue;
    if (hMod != PDU_HANDLE_UNDEF && slot.hMod != hMod) continue;
    slot.application.store(nullptr, std::memory_order_release);
    slot.used = false;
  }
}

void ClearPduCallbacks() {
  std::lock_guard<std::mutex> lock(g_lock);
  for (Slot& slot : g_slots) {
    slot.application.store(nullptr, std::memory_order_release);
    slot.used = false;
  }
}

CALLBACKFNC BoundPduCallback(UNUM32 hMod, UNUM32 hCLL) {
  std::lock_guard<std::mutex> lock(g_lock);
  Slot* slot = FindSlot(hMod, hCLL);
  return slot != nullptr ? slot->application.load() : nullptr;
}

}  // namespace monitor
