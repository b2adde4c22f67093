// FakePassThru05.dll: the stand-in of fake_passthru.h speaking J2534 05.00.
// Its functions are exported as declared here; the linker's --kill-at gives
// the x86 build's __stdcall names their plain form (no .def: one for both
// architectures).
#include <windows.h>

#include <cstring>
#include <initializer_list>

#include "passthru/j2534_v05.h"
#include "tests/helpers/fake_passthru.h"

using namespace passthru::v05;
using passthru::Long;
using passthru::ULong;

namespace {

fake::State g_state;
bool g_listed = false;  // the one device given by GetNextDevice since the last scan

Long Record(const char* function, std::initializer_list<ULong> args,
            std::initializer_list<const void*> pointers, Long normal) {
  return fake::Record(g_state, function, args, pointers, normal);
}

using fake::Text;

Long GiveId(Long rc, ULong* out, ULong id) {
  if (rc == STATUS_NOERROR && out != nullptr) *out = id;
  return rc;
}

}  // namespace

extern "C" {

__declspec(dllexport) fake::State* __stdcall FakePassThruState() { return &g_state; }

__declspec(dllexport) Long __stdcall PassThruScanForDevices(ULong* pDeviceCount) {
  g_listed = false;
  return GiveId(Record("ScanForDevices", {}, {pDeviceCount}, STATUS_NOERROR), pDeviceCount, 1);
}
__declspec(dllexport) Long __stdcall PassThruGetNextDevice(SDevice* psDevice) {
  const Long rc = Record("GetNextDevice", {}, {psDevice}, g_listed ? ERR_EXCEEDED_LIMIT : STATUS_NOERROR);
  if (rc != STATUS_NOERROR || psDevice == nullptr) return rc;
  std::memset(psDevice, 0, sizeof *psDevice);
  Text(psDevice->DeviceName, fake::kDeviceName);
  psDevice->DeviceAvailable = DEVICE_AVAILABLE;
  psDevice->DeviceDLLFWStatus = DEVICE_DLL_FW_COMPATIBLE;
  psDevice->DeviceConnectMedia = DEVICE_CONN_WIRED;
  psDevice->DeviceConnectSpeed = 480000000;
  g_listed = true;
  return rc;
}
__declspec(dllexport) Long __stdcall PassThruOpen(const char* pName, ULong* pDeviceID) {
  return GiveId(Record("Open", {}, {pName, pDeviceID}, STATUS_NOERROR), pDeviceID, fake::kDeviceId);
}
__declspec(dllexport) Long __stdcall PassThruClose(ULong DeviceID) { return Record("Close", {DeviceID}, {}, STATUS_NOERROR); }
__declspec(dllexport) Long __stdcall PassThruConnect(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                               ResourceStruct ResourceStruct, ULong* pChannelID) {
  const Long rc = Record("Connect", {DeviceID, ProtocolID, Flags, BaudRate, ResourceStruct.Connector,
                                     ResourceStruct.NumOfResources},
                         {ResourceStruct.ResourceListPtr, pChannelID}, STATUS_NOERROR);
  return GiveId(rc, pChannelID, fake::kChannelId);
}
__declspec(dllexport) Long __stdcall PassThruDisconnect(ULong ChannelID) { return Record("Disconnect", {ChannelID}, {}, STATUS_NOERROR); }
__declspec(dllexport) Long __stdcall PassThruLogicalConnect(ULong PhysicalChannelID, ULong ProtocolID, ULong Flags,
                                      void* pChannelDescriptor, ULong* pChannelID) {
  const Long rc = Record("LogicalConnect", {PhysicalChannelID, ProtocolID, Flags}, {pChannelDescriptor, pChannelID},
                         STATUS_NOERROR);
  return GiveId(rc, pChannelID, fake::kLogicalChannelId);
}
__declspec(dllexport) Long __stdcall PassThruLogicalDisconnect(ULong ChannelID) {
  return Record("LogicalDisconnect", {ChannelID}, {}, STATUS_NOERROR);
}
__declspec(dllexport) Long __stdcall PassThruSelect(SChannelSet* ChannelSetPtr, ULong SelectType, ULong Timeout) {
  const Long rc = Record("Select", {SelectType, Timeout}, {ChannelSetPtr}, STATUS_NOERROR);
  // The first channel of the list has messages; the others none.
  if (rc == STATUS_NOERROR && ChannelSetPtr != nullptr && ChannelSetPtr->ChannelCount > 1) {
    ChannelSetPtr->ChannelCount = 1;
  }
  return rc;
}
__declspec(dllexport) Long __stdcall PassThruReadMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  if (g_state.forcedResult >= 0) return Record("ReadMsgs", {ChannelID, 0, Timeout}, {pMsg, pNumMsgs}, 0);
  const ULong room = pNumMsgs != nullptr ? *pNumMsgs : 0;
  const ULong n = room < g_state.readAvailable ? room : g_state.readAvailable;
  Long rc = Record("ReadMsgs", {ChannelID, room, Timeout}, {pMsg, pNumMsgs}, n == 0 ? ERR_BUFFER_EMPTY : STATUS_NOERROR);
  if (pMsg == nullptr || pNumMsgs == nullptr) return ERR_NULL_PARAMETER;
  for (ULong i = 0; i < n; ++i) {
    PassThruMsg& m = pMsg[i];
    m.ProtocolID = ISO15765_LOGICAL;
    m.MsgHandle = 0;
    m.RxStatus = 0;
    m.TxFlags = 0;
    m.Timestamp = 1000 + i;
    m.DataLength = g_state.readDataSize;
    m.ExtraDataIndex = m.DataLength;
    // A message longer than the buffer: the buffer's size of it, and the read says so.
    ULong bytes = m.DataLength;
    if (bytes > m.DataBufferSize) bytes = m.DataBufferSize, rc = ERR_BUFFER_TOO_SMALL;
    for (ULong k = 0; k < bytes && m.DataBuffer != nullptr; ++k) m.DataBuffer[k] = static_cast<std::uint8_t>(k + i);
  }
  *pNumMsgs = n;
  return rc;
}
__declspec(dllexport) Long __stdcall PassThruQueueMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs) {
  return Record("QueueMsgs", {ChannelID, pNumMsgs ? *pNumMsgs : 0}, {pMsg, pNumMsgs}, STATUS_NOERROR);
}
__declspec(dllexport) Long __stdcall PassThruStartPeriodicMsg(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID, ULong TimeInterval) {
  const Long rc = Record("StartPeriodicMsg", {ChannelID, TimeInterval}, {pMsg, pMsgID}, STATUS_NOERROR);
  return GiveId(rc, pMsgID, fake::kPeriodicId);
}
__declspec(dllexport) Long __stdcall PassThruStopPeriodicMsg(ULong ChannelID, ULong MsgID) {
  return Record("StopPeriodicMsg", {ChannelID, MsgID}, {}, STATUS_NOERROR);
}
__declspec(dllexport) Long __stdcall PassThruStartMsgFilter(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                      PassThruMsg* pPatternMsg, ULong* pFilterID) {
  const Long rc = Record("StartMsgFilter", {ChannelID, FilterType}, {pMaskMsg, pPatternMsg, pFilterID}, STATUS_NOERROR);
  return GiveId(rc, pFilterID, fake::kFilterId);
}
__declspec(dllexport) Long __stdcall PassThruStopMsgFilter(ULong ChannelID, ULong FilterID) {
  return Record("StopMsgFilter", {ChannelID, FilterID}, {}, STATUS_NOERROR);
}
__declspec(dllexport) Long __stdcall PassThruSetProgrammingVoltage(ULong DeviceID, ResourceStruct ResourceStruct, ULong Voltage) {
  return Record("SetProgrammingVoltage", {DeviceID, ResourceStruct.Connector, ResourceStruct.NumOfResources, Voltage},
                {ResourceStruct.ResourceListPtr}, STATUS_NOERROR);
}
__declspec(dllexport) Long __stdcall PassThruReadVersion(ULong DeviceID, char* pFirmwareVersion, char* pDllVersion, char* pApiVersion) {
  const Long rc = Record("ReadVersion", {DeviceID}, {pFirmwareVersion, pDllVersion, pApiVersion}, STATUS_NOERROR);
  Text(pFirmwareVersion, "1.2.3 <fw> & \"co\"");
  Text(pDllVersion, "4.5.6");
  Text(pApiVersion, "05.00");
  return rc;
}
__declspec(dllexport) Long __stdcall PassThruGetLastError(char* pErrorDescription) {
  const Long rc = Record("GetLastError", {}, {pErrorDescription}, STATUS_NOERROR);
  Text(pErrorDescription, fake::kLastError);
  return rc;
}
__declspec(dllexport) Long __stdcall PassThruIoctl(ULong ControlTarget, ULong IoctlID, void* pInput, void* pOutput) {
  const Long rc = Record("Ioctl", {ControlTarget, IoctlID}, {pInput, pOutput}, STATUS_NOERROR);
  if (rc != STATUS_NOERROR) return rc;
  if (IoctlID == GET_CONFIG && pInput != nullptr) {
    auto* list = static_cast<SConfigList*>(pInput);
    for (ULong i = 0; i < list->NumOfParams && list->ConfigPtr != nullptr; ++i) {
      list->ConfigPtr[i].Value = list->ConfigPtr[i].Parameter * 10;
    }
  } else if ((IoctlID == READ_PIN_VOLTAGE || IoctlID == READ_PROG_VOLTAGE) && pOutput != nullptr) {
    *static_cast<ULong*>(pOutput) = fake::kBatteryMillivolts;
  }
  return rc;
}

}  // extern "C"
