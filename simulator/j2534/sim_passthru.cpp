// OvraSimPT32.dll: the simulated VCI as a J2534 04.04 library. The 14 exports
// take one lock around the device, wait for messages on a condition variable
// (read timeouts), and send periodic messages from a thread of their own that
// runs while the device is open. No export lets an exception out.
#include <windows.h>

#include <cstring>
#include <new>

#include "hosted/module_release.h"
#include "passthru/j2534.h"
#include "simulator/fault_settings.h"
#include "simulator/scenario/scenario_settings.h"
#include "simulator/j2534/sim_device.h"

using namespace passthru;
using simulator::SimDevice;

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;  // messages queued, device closed
// Made on first use and never destroyed: process exit may come at any time.
SimDevice* g_device = nullptr;
HANDLE g_periodicThread = nullptr;
bool g_stopPeriodic = false;
char g_lastError[kTextChars] = "";
HMODULE g_self = nullptr;

// Holds the lock for one scope.
class Locked {
 public:
  Locked() { AcquireSRWLockExclusive(&g_lock); }
  ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Microseconds since the library's first call.
std::uint64_t NowMicros() {
  static LARGE_INTEGER frequency{}, start{};
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  if (frequency.QuadPart == 0) {
    QueryPerformanceFrequency(&frequency);
    start = now;
  }
  return static_cast<std::uint64_t>((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
}

SimDevice& Device() {
  if (g_device == nullptr) g_device = new SimDevice();
  return *g_device;
}

// Keeps the device's last error text for PassThruGetLastError (under the lock).
Long Remember(Long code) {
  if (code != STATUS_NOERROR && g_device != nullptr) {
    const std::string& text = g_device->lastError();
    const std::size_t n = text.size() < kTextChars ? text.size() : kTextChars - 1;
    std::memcpy(g_lastError, text.data(), n);
    g_lastError[n] = '\0';
  }
  return code;
}

Long Failed(const char* text) {
  Locked lock;
  std::strncpy(g_lastError, text, kTextChars - 1);
  g_lastError[kTextChars - 1] = '\0';
  return ERR_FAILED;
}

// Does what the device has due (periodic messages, consecutive frames, the
// vehicle's delayed answers, flow-control time-outs); ends when the device closes. It holds a
// reference on this library so that FreeLibrary cannot unmap it underneath.
DWORD WINAPI PeriodicThread(void*) {
  {
    Locked lock;
    while (!g_stopPeriodic) {
      const std::uint64_t due = g_device->NextDue();
      const std::uint64_t now = NowMicros();
      if (due <= now) {
        g_device->RunDue(now);
        WakeAllConditionVariable(&g_changed);
        continue;
      }
      DWORD waitMs = INFINITE;
      if (due != simulator::kNever) waitMs = static_cast<DWORD>((due - now + 999) / 1000);
      SleepConditionVariableSRW(&g_changed, &g_lock, waitMs, 0);
    }
  }
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&PeriodicThread), &self);
  // Its last reference may unload the library before the thread's end is told.
  monitor::ReleaseThreadRuntimeData(self);
  FreeLibraryAndExitThread(self, 0);
}

// Starts the periodic thread (under the lock); false when it cannot start.
bool StartPeriodicThread() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&PeriodicThread), &self))
    return false;
  g_stopPeriodic = false;
  g_periodicThread = CreateThread(nullptr, 0, PeriodicThread, nullptr, 0, nullptr);
  if (g_periodicThread == nullptr) {
    FreeLibrary(self);
    return false;
  }
  return true;
}

// Every export but PassThruGetLastError starts here: `body` runs on the
// device under the lock; an exception ends the call with ERR_FAILED and
// `failure` as its text.
template <typename Body>
Long OnDevice(const char* failure, Body&& body) {
  try {
    Locked lock;
    return body(Device());
  } catch (...) {
    return Failed(failure);
  }
}

}  // namespace

extern "C" {

Long __stdcall PassThruOpen(void* pName, ULong* pDeviceID) {
  try {
    // The recorded scenario, read outside the lock (a large log takes a while).
    const simulator::ScenarioSettings settings = simulator::ReadScenarioSettings();
    std::string note;
    std::shared_ptr<simulator::Scenario> scenario =
        simulator::LoadScenario(settings, simulator::ScenarioApi::J2534, &note);
    Locked lock;
    NowMicros();  // timestamps count from the first open
    const Long code = Device().Open(pName, pDeviceID);
    if (code == STATUS_NOERROR && !StartPeriodicThread()) {
      Device().Close(simulator::kSimDeviceId);
      std::strcpy(g_lastError, "The simulated device could not start its timer thread");
      return ERR_FAILED;
    }
    if (code == STATUS_NOERROR) {
      Device().SetScenario(std::move(scenario), settings.only, settings.speedPercent, NowMicros());
      // The open succeeds; PassThruGetLastError says what became of the scenario.
      if (!note.empty()) {
        std::strncpy(g_lastError, note.c_str(), kTextChars - 1);
        g_lastError[kTextChars - 1] = '\0';
      }
    }
    return Remember(code);
  } catch (...) {
    return Failed("PassThruOpen failed: out of memory");
  }
}

Long __stdcall PassThruClose(ULong DeviceID) {
  try {
    HANDLE thread = nullptr;
    Long code;
    {
      Locked lock;
      code = Remember(Device().Close(DeviceID));
      if (code == STATUS_NOERROR) {
        g_stopPeriodic = true;
        thread = g_periodicThread;
        g_periodicThread = nullptr;
        WakeAllConditionVariable(&g_changed);
      }
    }
    if (thread != nullptr) {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    }
    // The session's end: what the runtime keeps for this thread goes now,
    // not when the thread ends (this library may be gone by then).
    monitor::ReleaseThreadRuntimeData(g_self);
    return code;
  } catch (...) {
    return Failed("PassThruClose failed");
  }
}

Long __stdcall PassThruConnect(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                               ULong* pChannelID) {
  const simulator::Faults faults = simulator::ReadFaultSettings();  // outside the lock
  return OnDevice("PassThruConnect failed: out of memory", [&](SimDevice& device) {
    const Long code = Remember(device.Connect(DeviceID, ProtocolID, Flags, BaudRate, pChannelID));
    if (code == STATUS_NOERROR) device.SetFaults(faults);
    return code;
  });
}

Long __stdcall PassThruDisconnect(ULong ChannelID) {
  return OnDevice("PassThruDisconnect failed", [&](SimDevice& device) {
    const Long code = Remember(device.Disconnect(ChannelID));
    WakeAllConditionVariable(&g_changed);
    return code;
  });
}

// Reads what is queued; with a timeout, waits until *pNumMsgs messages came
// or the time is up (ERR_TIMEOUT when some but not all came).
Long __stdcall PassThruReadMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  return OnDevice("PassThruReadMsgs failed", [&](SimDevice& device) -> Long {
    if (pNumMsgs == nullptr) {
      std::strcpy(g_lastError, "PassThruReadMsgs: pNumMsgs is NULL");
      return ERR_NULL_PARAMETER;
    }
    const ULong room = *pNumMsgs;
    const std::uint64_t deadline = NowMicros() + std::uint64_t{Timeout} * 1000;
    ULong total = 0;
    Long code = STATUS_NOERROR;
    for (;;) {
      ULong got = 0;
      code = device.Read(ChannelID, pMsg == nullptr ? nullptr : pMsg + total, room - total, &got);
      total += got;
      if (code != STATUS_NOERROR && code != ERR_BUFFER_EMPTY) break;
      if (total >= room || Timeout == 0) break;
      const std::uint64_t now = NowMicros();
      if (now >= deadline) break;
      SleepConditionVariableSRW(&g_changed, &g_lock,
                                static_cast<DWORD>((deadline - now + 999) / 1000), 0);
    }
    *pNumMsgs = total;
    if (code != STATUS_NOERROR && code != ERR_BUFFER_EMPTY) return Remember(code);
    if (total == 0) return Remember(ERR_BUFFER_EMPTY);
    if (total < room && Timeout != 0) {
      std::strcpy(g_lastError, "Fewer messages than requested came within the timeout");
      return ERR_TIMEOUT;
    }
    return STATUS_NOERROR;
  });
}

// Queues the messages; with a timeout, waits until they went out whole
// (ERR_TIMEOUT when they did not in time; *pNumMsgs then counts those that did).
Long __stdcall PassThruWriteMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  return OnDevice("PassThruWriteMsgs failed: out of memory", [&](SimDevice& device) -> Long {
    const Long code = Remember(device.Write(ChannelID, pMsg, pNumMsgs, NowMicros()));
    WakeAllConditionVariable(&g_changed);  // the timer thread takes new due times
    if (code != STATUS_NOERROR || Timeout == 0) return code;
    const std::uint64_t deadline = NowMicros() + std::uint64_t{Timeout} * 1000;
    const ULong queued = *pNumMsgs;
    ULong before = device.TxPending(ChannelID);
    before = before > queued ? before - queued : 0;  // messages of earlier calls
    for (;;) {
      const ULong pending = device.TxPending(ChannelID);
      if (pending <= before) return STATUS_NOERROR;
      const std::uint64_t now = NowMicros();
      if (now >= deadline || !device.open()) {
        const ULong unsent = pending - before;
        *pNumMsgs = queued > unsent ? queued - unsent : 0;
        std::strcpy(g_lastError, "Not every message went out within the timeout");
        return ERR_TIMEOUT;
      }
      SleepConditionVariableSRW(&g_changed, &g_lock,
                                static_cast<DWORD>((deadline - now + 999) / 1000), 0);
    }
  });
}

Long __stdcall PassThruStartPeriodicMsg(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID,
                                        ULong TimeInterval) {
  return OnDevice("PassThruStartPeriodicMsg failed: out of memory", [&](SimDevice& device) {
    const Long code = Remember(device.StartPeriodic(ChannelID, pMsg, pMsgID, TimeInterval, NowMicros()));
    WakeAllConditionVariable(&g_changed);  // the timer thread takes the new due time
    return code;
  });
}

Long __stdcall PassThruStopPeriodicMsg(ULong ChannelID, ULong MsgID) {
  return OnDevice("PassThruStopPeriodicMsg failed", [&](SimDevice& device) { return Remember(device.StopPeriodic(ChannelID, MsgID)); });
}

Long __stdcall PassThruStartMsgFilter(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                      PassThruMsg* pPatternMsg, PassThruMsg* pFlowControlMsg,
                                      ULong* pFilterID) {
  return OnDevice("PassThruStartMsgFilter failed: out of memory", [&](SimDevice& device) {
    return Remember(device.StartFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg, pFilterID));
  });
}

Long __stdcall PassThruStopMsgFilter(ULong ChannelID, ULong FilterID) {
  return OnDevice("PassThruStopMsgFilter failed", [&](SimDevice& device) { return Remember(device.StopFilter(ChannelID, FilterID)); });
}

Long __stdcall PassThruSetProgrammingVoltage(ULong DeviceID, ULong PinNumber, ULong Voltage) {
  return OnDevice("PassThruSetProgrammingVoltage failed", [&](SimDevice& device) { return Remember(device.SetProgrammingVoltage(DeviceID, PinNumber, Voltage)); });
}

Long __stdcall PassThruReadVersion(ULong DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                   char* pApiVersion) {
  return OnDevice("PassThruReadVersion failed", [&](SimDevice& device) { return Remember(device.ReadVersion(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion)); });
}

Long __stdcall PassThruGetLastError(char* pErrorDescription) {
  try {
    if (pErrorDescription == nullptr) return ERR_NULL_PARAMETER;
    Locked lock;
    std::memcpy(pErrorDescription, g_lastError, kTextChars);
    pErrorDescription[kTextChars - 1] = '\0';
    return STATUS_NOERROR;
  } catch (...) {
    return ERR_FAILED;
  }
}

Long __stdcall PassThruIoctl(ULong ChannelID, ULong IoctlID, void* pInput, void* pOutput) {
  return OnDevice("PassThruIoctl failed", [&](SimDevice& device) { return Remember(device.Ioctl(ChannelID, IoctlID, pInput, pOutput, NowMicros())); });
}

}  // extern "C"

// Freed by the host (reserved null): the periodic thread, which holds the
// library, has ended, so the device goes with the library. At process exit
// nothing is touched (other threads are gone, possibly holding the lock).
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_self = instance;
    // The loading thread's runtime data, made while the library started.
    monitor::ReleaseThreadRuntimeData(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    delete g_device;
    g_device = nullptr;
    monitor::GiveBackRuntimeBuffers();
  }
  return TRUE;
}
