// What a simulated J2534 library needs around its device, whatever the
// version of the interface it exports (OvraSimPT32.dll speaks 04.04,
// OvraSim05PT32.dll 05.00): one lock around every call, a clock in
// microseconds, a condition to wait on for messages, the timer thread that
// runs what the device has due, and the text for PassThruGetLastError. Each
// library links its own copy (the state is per library).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "hosted/module_release.h"
#include "passthru/j2534.h"
#include "simulator/j2534/sim_device.h"
#include "simulator/scenario/scenario_settings.h"

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

// PassThruGetLastError's body: the text into the application's 80 characters.
passthru::Long LastErrorExport(char* out);

// PassThruOpen's body around `open` (the device's open, its code kept as the
// last error): the recorded scenario read outside the lock, the timer thread
// started for `timed`, the scenario handed to `device`. Throws on no memory.
template <typename Device, typename Open>
passthru::Long OpenDevice(Device& device, SimDevice& timed, Open&& open) {
  const ScenarioSettings settings = ReadScenarioSettings();
  std::string note;
  std::shared_ptr<Scenario> scenario = LoadScenario(settings, ScenarioApi::J2534, &note);
  Locked lock;
  NowMicros();  // timestamps count from the first open
  const passthru::Long code = open();
  if (code != passthru::STATUS_NOERROR) return code;
  if (!StartTimer(&timed)) {
    device.Close(kSimDeviceId);
    SetErrorText("The simulated device could not start its timer thread");
    return passthru::ERR_FAILED;
  }
  device.SetScenario(std::move(scenario), settings.only, settings.speedPercent, NowMicros());
  // The open succeeds; PassThruGetLastError says what became of the scenario.
  if (!note.empty()) SetErrorText(note.c_str());
  return code;
}

// PassThruClose's body around `close` (the device's close, its code kept):
// the timer thread ends and is waited for outside the lock, and what the
// runtime keeps for the calling thread goes now, not when the thread ends
// (library `self` may be gone by then).
template <typename Close>
passthru::Long CloseDevice(HMODULE self, Close&& close) {
  HANDLE thread = nullptr;
  passthru::Long code;
  {
    Locked lock;
    code = close();
    if (code == passthru::STATUS_NOERROR) thread = StopTimer();
  }
  JoinTimer(thread);
  monitor::ReleaseThreadRuntimeData(self);
  return code;
}

// PassThruReadMsgs's wait (under the lock): `read(offset, room, &got)` moves
// up to `room` messages to the application's messages from `offset` on; it
// runs until `room` came, a failure other than ERR_BUFFER_EMPTY, or the
// time-out (0: once). *total says how many came; ERR_BUFFER_EMPTY when none,
// ERR_TIMEOUT when some but not all came within a time-out.
template <typename Read>
passthru::Long ReadWaiting(passthru::ULong room, passthru::ULong timeoutMs, passthru::ULong* total, Read&& read) {
  const std::uint64_t deadline = NowMicros() + std::uint64_t{timeoutMs} * 1000;
  *total = 0;
  passthru::Long code = passthru::STATUS_NOERROR;
  for (;;) {
    passthru::ULong got = 0;
    code = read(*total, room - *total, &got);
    *total += got;
    if (code != passthru::STATUS_NOERROR && code != passthru::ERR_BUFFER_EMPTY) return code;
    if (*total >= room || timeoutMs == 0 || NowMicros() >= deadline) break;
    WaitUntil(deadline);
  }
  if (*total == 0) return code;  // ERR_BUFFER_EMPTY, its text kept by `read`
  if (*total < room && timeoutMs != 0) {
    SetErrorText("Fewer messages than requested came within the timeout");
    return passthru::ERR_TIMEOUT;
  }
  return passthru::STATUS_NOERROR;
}

// DllMain's body for `reason`: at attach the loading thread's runtime data
// goes; when the host frees the library (reserved null) `destroy` runs and the
// runtime's buffers are given back. At process exit nothing is touched.
template <typename Destroy>
void LibraryMain(HINSTANCE instance, DWORD reason, LPVOID reserved, Destroy&& destroy) {
  if (reason == DLL_PROCESS_ATTACH) {
    monitor::ReleaseThreadRuntimeData(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    destroy();
    monitor::GiveBackRuntimeBuffers();
  }
}

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
