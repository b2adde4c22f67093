// OvraSimPT32.dll: the simulated VCI as a J2534 04.04 library. The 14 exports
// take one lock around the device, wait for messages on a condition variable
// (read timeouts), and send periodic messages from a thread of their own that
// runs while the device is open. No export lets an exception out.
#include <windows.h>


#include "passthru/j2534.h"
#include "simulator/fault_settings.h"
#include "simulator/j2534/sim_device.h"
#include "simulator/j2534/sim_host.h"

using namespace passthru;
using simulator::SimDevice;

namespace {

using simulator::host::Guarded;
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
    return simulator::host::OpenDevice(Device(), Device(),
                                       [&] { return Remember(Device(), Device().Open(pName, pDeviceID)); });
  } catch (...) {
    return simulator::host::Failed("PassThruOpen failed: out of memory");
  }
}

Long __stdcall PassThruClose(ULong DeviceID) {
  try {
    return simulator::host::CloseDevice(g_self, [&] { return Remember(Device(), Device().Close(DeviceID)); });
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
    ULong total = 0;
    const Long code = simulator::host::ReadWaiting(*pNumMsgs, Timeout, &total, [&](ULong at, ULong room, ULong* got) {
      return Remember(device, device.Read(ChannelID, pMsg == nullptr ? nullptr : pMsg + at, room, got));
    });
    *pNumMsgs = total;
    return code;
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
  return simulator::host::LastErrorExport(pErrorDescription);
}

Long __stdcall PassThruIoctl(ULong ChannelID, ULong IoctlID, void* pInput, void* pOutput) {
  return OnDevice("PassThruIoctl failed", [&](SimDevice& device) { return Remember(device, device.Ioctl(ChannelID, IoctlID, pInput, pOutput, NowMicros())); });
}

}  // extern "C"

// Freed by the host (reserved null): the timer thread, which holds the
// library, has ended, so the device goes with the library.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) g_self = instance;
  simulator::host::LibraryMain(instance, reason, reserved, [] {
    delete g_device;
    g_device = nullptr;
  });
  return TRUE;
}
