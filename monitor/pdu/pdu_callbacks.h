// The interposition of the application's event callbacks. Each registration
// (one per module and link, and one for the whole system) gets a slot with a
// trampoline of its own: the monitor registers the trampoline with the
// library, and when the library calls it, on the library's thread, the
// observer (the monitor's logging) runs and then the application's callback,
// with the same arguments, on the same thread, in the same order. A slot is
// kept for its (module, link) pair, so replacing and removing a callback
// reach the library exactly as the application made them. Free of Windows headers.
#pragma once

#include <cstddef>

#include "pdu/dpdu.h"

namespace monitor {

inline constexpr int kPduCallbackSlots = 64;

// What the monitor does with an event before the application sees it. Must not throw.
using PduEventObserver = void (*)(pdu::T_PDU_EVT_DATA eventType, pdu::UNUM32 hMod,
                                  pdu::UNUM32 hCLL, void* cllTag, void* apiTag,
                                  pdu::CALLBACKFNC application);
void SetPduEventObserver(PduEventObserver observer);

// The trampoline that stands for `application` at (hMod, hCLL), to be
// registered with the library instead of it; `*previous` receives the
// callback the slot held before (for Restore). Returns nullptr when every
// slot is taken: the application's callback is then registered as it is.
pdu::CALLBACKFNC BindPduCallback(pdu::UNUM32 hMod, pdu::UNUM32 hCLL,
                                 pdu::CALLBACKFNC application, pdu::CALLBACKFNC* previous);
// Puts back what the slot of (hMod, hCLL) held (the library refused the
// registration); a slot that held nothing is free again.
void RestorePduCallback(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::CALLBACKFNC previous);
// The application's callback at (hMod, hCLL) is gone (removed, link destroyed).
void UnbindPduCallback(pdu::UNUM32 hMod, pdu::UNUM32 hCLL);
// The link (hMod, hCLL) is destroyed: its slot is free for another pair.
void ReleasePduCallback(pdu::UNUM32 hMod, pdu::UNUM32 hCLL);
// The module `hMod` (every module for PDU_HANDLE_UNDEF) was disconnected and
// its links with it: their slots are free; the module's own stays.
void ReleasePduModuleLinks(pdu::UNUM32 hMod);
// Every registration is gone (PDUDestruct).
void ClearPduCallbacks();
// The application's callback bound at (hMod, hCLL), or nullptr.
pdu::CALLBACKFNC BoundPduCallback(pdu::UNUM32 hMod, pdu::UNUM32 hCLL);

}  // namespace monitor
