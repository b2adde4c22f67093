// What a simulated J2534 library needs around its device, whatever the
// version of the interface it exports (OvraSimPT32.dll speaks 04.04,
// OvraSim05PT32.dll 05.00): one lock around every call, a clock in
// microseconds, a condition to wait on for messages, the timer thread that
// runs what the device has due, and the text for PassThruGetLastError. Each
// library links its own copy (the state is per library).
#pragma once

#include <windows.h>

#include <cstdint>

#include "passthru/j2534.h"
#include "simulator/j2534/sim_device.h"

namespace simulator::host {

// Holds the library's lock for one scope.
class Locked {
 public:
  Locked();
  ~Locked();
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Microseconds since the library's first call to it.
std::uint64_t NowMicros();
// Wakes every waiter (messages queued, the device closed, new due times).
void WakeAll();
// Under the lock: sleeps until woken or until `deadlineUs` (NowMicros time).
void WaitUntil(std::uint64_t deadlineUs);

// Under the lock: starts the thread that runs `device`'s due work until
// StopTimer; it holds a reference on the library. False when it cannot start.
bool StartTimer(SimDevice* device);
// Under the lock: tells the timer thread to end; returns its handle (null if
// none) to be waited for with JoinTimer once the lock is let go.
HANDLE StopTimer();
void JoinTimer(HANDLE thread);

// The text PassThruGetLastError gives (under the lock), at most 79 characters.
void SetErrorText(const char* text);
// Keeps `device`'s last error text when `code` is a failure; returns `code`.
passthru::Long Remember(const SimDevice& device, passthru::Long code);
// Copies the text into an 80-character buffer of the application.
void CopyErrorText(char* out);
// ERR_FAILED with `text` as the last error (takes the lock).
passthru::Long Failed(const char* text);

// Every export but PassThruGetLastError runs its body here, under the lock;
// an exception ends the call with ERR_FAILED and `failure` as its text.
template <typename Body>
passthru::Long Guarded(const char* failure, Body&& body) {
  try {
    Locked lock;
    return body();
  } catch (...) {
    return Failed(failure);
  }
}

}  // namespace simulator::host
