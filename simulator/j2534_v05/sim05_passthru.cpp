// OvraSim05PT32.dll / OvraSim05PT64.dll: the simulated VCI as a J2534 05.00
// library. The 19 exports take the lock around the device, wait on the
// condition for messages (read and select time-outs), and run what is due
// from the timer thread while the device is open (the same host as the 04.04
// library, simulator/j2534/sim_host.h). No export lets an exception out.
#include <windows.h>

#include "passthru/j2534_v05.h"
#include "simulator/fault_settings.h"
#include "simulator/j2534/sim_host.h"
#include "simulator/j2534_v05/sim05_device.h"

using namespace passthru::v05;
using simulator::Sim05Device;
using simulator::host::Guarded;
using simulator::host::NowMicros;

namespace {

// Made on first use and never destroyed: process exit may come at any time.
Sim05Device* g_device = nullptr;
HMODULE g_self = nullptr;

Sim05Device& Device() {
  if (g_device == nullptr) g_device = new Sim05Device();
  return *g_device;
}

// Keeps the device's last error text for PassThruGetLastError (under the lock).
Long Remember(Long code) {
  if (code != STATUS_NOERROR) simulator::host::SetErrorText(Device().lastError().c_str());
  return code;
}

// `body` runs on the device under the lock; its code is remembered.
template <typename Body>
Long OnDevice(const char* failure, Body&& body) {
  return Guarded(failure, [&] { return Remember(body(Device())); });
}

}  // namespace

extern "C" {

Long __stdcall PassThruScanForDevices(ULong* pDeviceCount) {
  return OnDevice("PassThruScanForDevices failed", [&](Sim05Device& d) { return d.ScanForDevices(pDeviceCount); });
}

Long __stdcall PassThruGetNextDevice(SDevice* psDevice) {
  return OnDevice("PassThruGetNextDevice failed", [&](Sim05Device& d) { return d.GetNextDevice(psDevice); });
}

Long __stdcall PassThruOpen(const char* pName, ULong* pDeviceID) {
  try {
    return simulator::host::OpenDevice(Device(), Device().base(),
                                       [&] { return Remember(Device().Open(pName, pDeviceID)); });
  } catch (...) {
    return simulator::host::Failed("PassThruOpen failed: out of memory");
  }
}

Long __stdcall PassThruClose(ULong DeviceID) {
  try {
    return simulator::host::CloseDevice(g_self, [&] { return Remember(Device().Close(DeviceID)); });
  } catch (...) {
    return simulator::host::Failed("PassThruClose failed");
  }
}

Long __stdcall PassThruConnect(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                               ResourceStruct ResourceStruct, ULong* pChannelID) {
  const simulator::Faults faults = simulator::ReadFaultSettings();  // outside the lock
  return OnDevice("PassThruConnect failed: out of memory", [&](Sim05Device& d) {
    const Long code = d.Connect(DeviceID, ProtocolID, Flags, BaudRate, ResourceStruct, pChannelID);
    if (code == STATUS_NOERROR) d.SetFaults(faults);
    return code;
  });
}

Long __stdcall PassThruDisconnect(ULong ChannelID) {
  return OnDevice("PassThruDisconnect failed", [&](Sim05Device& d) {
    const Long code = d.Disconnect(ChannelID);
    simulator::host::WakeAll();
    return code;
  });
}

Long __stdcall PassThruLogicalConnect(ULong PhysicalChannelID, ULong ProtocolID, ULong Flags,
                                      void* pChannelDescriptor, ULong* pChannelID) {
  return OnDevice("PassThruLogicalConnect failed: out of memory", [&](Sim05Device& d) {
    return d.LogicalConnect(PhysicalChannelID, ProtocolID, Flags, pChannelDescriptor, pChannelID);
  });
}

Long __stdcall PassThruLogicalDisconnect(ULong ChannelID) {
  return OnDevice("PassThruLogicalDisconnect failed", [&](Sim05Device& d) {
    const Long code = d.LogicalDisconnect(ChannelID);
    simulator::host::WakeAll();
    return code;
  });
}

// Waits until ChannelThreshold channels of the set have messages or the time
// is up; a timeout of 0 looks once.
Long __stdcall PassThruSelect(SChannelSet* ChannelSetPtr, ULong SelectType, ULong Timeout) {
  return OnDevice("PassThruSelect failed", [&](Sim05Device& d) -> Long {
    if (const Long code = d.CheckSelect(ChannelSetPtr, SelectType); code != STATUS_NOERROR) return code;
    const std::uint64_t deadline = NowMicros() + std::uint64_t{Timeout} * 1000;
    while (Timeout != 0 && d.open() && d.ReadyCount(*ChannelSetPtr) < ChannelSetPtr->ChannelThreshold &&
           NowMicros() < deadline)
      simulator::host::WaitUntil(deadline);
    if (!d.open()) return ERR_DEVICE_NOT_OPEN;
    return d.AnswerSelect(ChannelSetPtr, Timeout != 0);
  });
}

// Reads what is queued; with a timeout, waits until *pNumMsgs messages came
// or the time is up (ERR_TIMEOUT when some but not all came), as in 04.04.
Long __stdcall PassThruReadMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  return OnDevice("PassThruReadMsgs failed", [&](Sim05Device& d) -> Long {
    if (pNumMsgs == nullptr) return ERR_NULL_PARAMETER;
    ULong total = 0;
    const Long code = simulator::host::ReadWaiting(*pNumMsgs, Timeout, &total, [&](ULong at, ULong room, ULong* got) {
      return Remember(d.Read(ChannelID, pMsg == nullptr ? nullptr : pMsg + at, room, got));
    });
    *pNumMsgs = total;
    return code;
  });
}

// Queues the messages and returns (05.00 has no write timeout).
Long __stdcall PassThruQueueMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs) {
  return OnDevice("PassThruQueueMsgs failed: out of memory", [&](Sim05Device& d) {
    const Long code = d.Queue(ChannelID, pMsg, pNumMsgs, NowMicros());
    simulator::host::WakeAll();  // the timer thread takes new due times
    return code;
  });
}

Long __stdcall PassThruStartPeriodicMsg(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID, ULong TimeInterval) {
  return OnDevice("PassThruStartPeriodicMsg failed: out of memory", [&](Sim05Device& d) {
    const Long code = d.StartPeriodic(ChannelID, pMsg, pMsgID, TimeInterval, NowMicros());
    simulator::host::WakeAll();
    return code;
  });
}

Long __stdcall PassThruStopPeriodicMsg(ULong ChannelID, ULong MsgID) {
  return OnDevice("PassThruStopPeriodicMsg failed", [&](Sim05Device& d) { return d.StopPeriodic(ChannelID, MsgID); });
}

Long __stdcall PassThruStartMsgFilter(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                      PassThruMsg* pPatternMsg, ULong* pFilterID) {
  return OnDevice("PassThruStartMsgFilter failed: out of memory", [&](Sim05Device& d) {
    return d.StartFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg, pFilterID);
  });
}

Long __stdcall PassThruStopMsgFilter(ULong ChannelID, ULong FilterID) {
  return OnDevice("PassThruStopMsgFilter failed", [&](Sim05Device& d) { return d.StopFilter(ChannelID, FilterID); });
}

Long __stdcall PassThruSetProgrammingVoltage(ULong DeviceID, ResourceStruct ResourceStruct, ULong Voltage) {
  return OnDevice("PassThruSetProgrammingVoltage failed", [&](Sim05Device& d) {
    return d.SetProgrammingVoltage(DeviceID, ResourceStruct, Voltage);
  });
}

Long __stdcall PassThruReadVersion(ULong DeviceID, char* pFirmwareVersion, char* pDllVersion, char* pApiVersion) {
  return OnDevice("PassThruReadVersion failed", [&](Sim05Device& d) {
    return d.ReadVersion(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion);
  });
}

Long __stdcall PassThruGetLastError(char* pErrorDescription) {
  return simulator::host::LastErrorExport(pErrorDescription);
}

Long __stdcall PassThruIoctl(ULong ControlTarget, ULong IoctlID, void* pInput, void* pOutput) {
  return OnDevice("PassThruIoctl failed", [&](Sim05Device& d) {
    return d.Ioctl(ControlTarget, IoctlID, pInput, pOutput, NowMicros());
  });
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
