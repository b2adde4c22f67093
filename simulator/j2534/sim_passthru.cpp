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
#include "simulator/j2534/sim_host.h"

using namespace passthru;
using simulator::SimDevice;

namespace {

using simulator::host::Guarded;
using simulator::host::Locked;
using simulator::host::NowMicros;
using simulator::host::Remember;

// Made on first use and never destroyed: process exit may come at any time.
SimDevice* g_device = nullptr;
HMODULE g_self = nullptr;

SimDevice& Device() {
  if (g_device == nullptr) g_device = new SimDevice();
  return *g_device;
}

// Every export but PassThruGetLastError starts here: `body` runs on the
// device under the lock; an exception ends the call with ERR_FAILED and
// `failure` as its text.
template <typename Body>
Long OnDevice(const char* failure, Body&& body) {
  return Guarded(failure, [&] { return body(Device()); });
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
    if (code == STATUS_NOERROR && !simulator::host::StartTimer(&Device())) {
      Device().Close(simulator::kSimDeviceId);
      simulator::host::SetErrorText("The simulated device could not start its timer thread");
      return ERR_FAILED;
    }
    if (code == STATUS_NOERROR) {
      Device().SetScenario(std::move(scenario), settings.only, settings.speedPercent, NowMicros());
      // The open succeeds; PassThruGetLastError says what became of the scenario.
      if (!note.empty()) simulator::host::SetErrorText(note.c_str());
    }
    return Remember(Device(), code);
  } catch (...) {
    return simulator::host::Failed("PassThruOpen failed: out of memory");
  }
}

Long __stdcall PassThruClose(ULong DeviceID) {
  try {
    HANDLE thread = nullptr;
    Long code;
    {
      Locked lock;
      code = Remember(Device(), Device().Close(DeviceID));
      if (code == STATUS_NOERROR) thread = simulator::host::StopTimer();
    }
    simulator::host::JoinTimer(thread);
    // The session's end: what the runtime keeps for this thread goes now,
    // not when the thread ends (this library may be gone by then).
    monitor::ReleaseThreadRuntimeData(g_self);
    return code;
  } catch (...) {
    return simulator::host::Failed("PassThruClose failed");
  }
}

Long __stdcall PassThruConnect(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                               ULong* pChannelID) {
  const simulator::Faults faults = simulator::ReadFaultSettings();  // outside the lock
  return OnDevice("PassThruConnect failed: out of memory", [&](SimDevice& device) {
    const Long code = Remember(device, device.Connect(DeviceID, ProtocolID, Flags, BaudRate, pChannelID));
    if (code == STATUS_NOERROR) device.SetFaults(faults);
    return code;
  });
}

Long __stdcall PassThruDisconnect(ULong ChannelID) {
  return OnDevice("PassThruDisconnect failed", [&](SimDevice& device) {
    const Long code = Remember(device, device.Disconnect(ChannelID));
    simulator::host::WakeAll();
    return code;
  });
}

// Reads what is queued; with a timeout, waits until *pNumMsgs messages came
// or the time is up (ERR_TIMEOUT when some but not all came).
Long __stdcall PassThruReadMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  return OnDevice("PassThruReadMsgs failed", [&](SimDevice& device) -> Long {
    if (pNumMsgs == nullptr) {
      simulator::host::SetErrorText("PassThruReadMsgs: pNumMsgs is NULL");
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
      if (NowMicros() >= deadline) break;
      simulator::host::WaitUntil(deadline);
    }
    *pNumMsgs = total;
    if (code != STATUS_NOERROR && code != ERR_BUFFER_EMPTY) return Remember(device, code);
    if (total == 0) return Remember(device, ERR_BUFFER_EMPTY);
    if (total < room && Timeout != 0) {
      simulator::host::SetErrorText("Fewer messages than requested came within the timeout");
      return ERR_TIMEOUT;
    }
    return STATUS_NOERROR;
  });
}

// Queues the messages; with a timeout, waits until they went out whole
// (ERR_TIMEOUT when they did not in time; *pNumMsgs then counts those that did).
Long __stdcall PassThruWriteMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  return OnDevice("PassThruWriteMsgs failed: out of memory", [&](SimDevice& device) -> Long {
    const Long code = Remember(device, device.Write(ChannelID, pMsg, pNumMsgs, NowMicros()));
    simulator::host::WakeAll();  // the timer thread takes new due times
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
        simulator::host::SetErrorText("Not every message went out within the timeout");
        return ERR_TIMEOUT;
      }
      simulator::host::WaitUntil(deadline);
    }
  });
}

Long __stdcall PassThruStartPeriodicMsg(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID,
                                        ULong TimeInterval) {
  return OnDevice("PassThruStartPeriodicMsg failed: out of memory", [&](SimDevice& device) {
    const Long code = Remember(device, device.StartPeriodic(ChannelID, pMsg, pMsgID, TimeInterval, NowMicros()));
    simulator::host::WakeAll();  // the timer thread takes the new due time
    return code;
  });
}

Long __stdcall PassThruStopPeriodicMsg(ULong ChannelID, ULong MsgID) {
  return OnDevice("PassThruStopPeriodicMsg failed", [&](SimDevice& device) { return Remember(device, device.StopPeriodic(ChannelID, MsgID)); });
}

Long __stdcall PassThruStartMsgFilter(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                      PassThruMsg* pPatternMsg, PassThruMsg* pFlowControlMsg,
                                      ULong* pFilterID) {
  return OnDevice("PassThruStartMsgFilter failed: out of memory", [&](SimDevice& device) {
    return Remember(device, device.StartFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg, pFilterID));
  });
}

Long __stdcall PassThruStopMsgFilter(ULong ChannelID, ULong FilterID) {
  return OnDevice("PassThruStopMsgFilter failed", [&](SimDevice& device) { return Remember(device, device.StopFilter(ChannelID, FilterID)); });
}

Long __stdcall PassThruSetProgrammingVoltage(ULong DeviceID, ULong PinNumber, ULong Voltage) {
  return OnDevice("PassThruSetProgrammingVoltage failed", [&](SimDevice& device) { return Remember(device, device.SetProgrammingVoltage(DeviceID, PinNumber, Voltage)); });
}

Long __stdcall PassThruReadVersion(ULong DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                   char* pApiVersion) {
  return OnDevice("PassThruReadVersion failed", [&](SimDevice& device) { return Remember(device, device.ReadVersion(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion)); });
}

Long __stdcall PassThruGetLastError(char* pErrorDescription) {
  try {
    if (pErrorDescription == nullptr) return ERR_NULL_PARAMETER;
    Locked lock;
    simulator::host::CopyErrorText(pErrorDescription);
    return STATUS_NOERROR;
  } catch (...) {
    return ERR_FAILED;
  }
}

Long __stdcall PassThruIoctl(ULong ChannelID, ULong IoctlID, void* pInput, void* pOutput) {
  return OnDevice("PassThruIoctl failed", [&](SimDevice& device) { return Remember(device, device.Ioctl(ChannelID, IoctlID, pInput, pOutput, NowMicros())); });
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
