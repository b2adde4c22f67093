// FakePassThru.dll: see fake_passthru.h.
#include "tests/helpers/fake_passthru.h"

#include <windows.h>
#include <malloc.h>

#include <cstring>
#include <initializer_list>

#include "monitor/thread_block.h"

using namespace passthru;

namespace {

fake::State g_state;

Long Record(const char* function, std::initializer_list<ULong> args,
            std::initializer_list<const void*> pointers, Long normal) {
  return fake::Record(g_state, function, args, pointers, normal);
}

using fake::Text;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_state.detachStackBytes != 0) {
    // Every page of it touched, as a large buffer's initialisation does.
    volatile char* buffer = static_cast<volatile char*>(_alloca(g_state.detachStackBytes));
    for (std::uint32_t i = g_state.detachStackBytes; i >= 512; i -= 512) buffer[i - 1] = static_cast<char>(i);
    MEMORY_BASIC_INFORMATION stack{};
    VirtualQuery(const_cast<char*>(buffer), &stack, sizeof stack);
    const NT_TIB* tib = monitor::OwnThreadBlock();
    wchar_t text[24];
    _ultow(static_cast<unsigned long>(static_cast<char*>(tib->StackBase) - static_cast<char*>(stack.AllocationBase)),
           text, 10);
    SetEnvironmentVariableW(L"FAKE_PASSTHRU_DETACH_STACK", text);
  }
  return TRUE;
}

fake::State* __stdcall FakePassThruState() { return &g_state; }

Long __stdcall PassThruOpen(void* pName, ULong* pDeviceID) {
  const Long rc = Record("Open", {}, {pName, pDeviceID}, STATUS_NOERROR);
  if (rc == STATUS_NOERROR && pDeviceID != nullptr) *pDeviceID = fake::kDeviceId;
  return rc;
}
Long __stdcall PassThruClose(ULong DeviceID) { return Record("Close", {DeviceID}, {}, STATUS_NOERROR); }
Long __stdcall PassThruConnect(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                               ULong* pChannelID) {
  const Long rc =
      Record("Connect", {DeviceID, ProtocolID, Flags, BaudRate}, {pChannelID}, STATUS_NOERROR);
  if (rc == STATUS_NOERROR && pChannelID != nullptr) *pChannelID = fake::kChannelId;
  return rc;
}
Long __stdcall PassThruDisconnect(ULong ChannelID) {
  return Record("Disconnect", {ChannelID}, {}, STATUS_NOERROR);
}
Long __stdcall PassThruReadMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  // A forced code stands for a channel rejected before any pointer is looked at.
  if (g_state.forcedResult >= 0) return Record("ReadMsgs", {ChannelID, 0, Timeout}, {pMsg, pNumMsgs}, 0);
  const ULong room = pNumMsgs != nullptr ? *pNumMsgs : 0;
  const ULong n = room < g_state.readAvailable ? room : g_state.readAvailable;
  const Long rc = Record("ReadMsgs", {ChannelID, room, Timeout}, {pMsg, pNumMsgs},
                         n == 0 ? ERR_BUFFER_EMPTY : STATUS_NOERROR);
  if (pMsg == nullptr || pNumMsgs == nullptr) return ERR_NULL_PARAMETER;
  for (ULong i = 0; i < n; ++i) {
    PassThruMsg& m = pMsg[i];
    m.ProtocolID = CAN;
    m.RxStatus = i == 0 ? ULong{START_OF_MESSAGE} : ULong{0};
    m.TxFlags = 0;
    m.Timestamp = 1000 + i;
    m.DataSize = g_state.readDataSize;
    m.ExtraDataIndex = 0;
    const ULong bytes = m.DataSize < kMaxDataSize ? m.DataSize : kMaxDataSize;
    for (ULong k = 0; k < bytes; ++k) m.Data[k] = static_cast<std::uint8_t>(k + i);
  }
  *pNumMsgs = n;
  return rc;
}
Long __stdcall PassThruWriteMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  if (g_state.forcedResult >= 0) return Record("WriteMsgs", {ChannelID, 0, Timeout}, {pMsg, pNumMsgs}, 0);
  return Record("WriteMsgs", {ChannelID, pNumMsgs ? *pNumMsgs : 0, Timeout}, {pMsg, pNumMsgs},
                STATUS_NOERROR);
}
Long __stdcall PassThruStartPeriodicMsg(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID,
                                        ULong TimeInterval) {
  const Long rc = Record("StartPeriodicMsg", {ChannelID, TimeInterval}, {pMsg, pMsgID}, STATUS_NOERROR);
  if (rc == STATUS_NOERROR && pMsgID != nullptr) *pMsgID = fake::kPeriodicId;
  return rc;
}
Long __stdcall PassThruStopPeriodicMsg(ULong ChannelID, ULong MsgID) {
  return Record("StopPeriodicMsg", {ChannelID, MsgID}, {}, STATUS_NOERROR);
}
Long __stdcall PassThruStartMsgFilter(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                      PassThruMsg* pPatternMsg, PassThruMsg* pFlowControlMsg,
                                      ULong* pFilterID) {
  const Long rc = Record("StartMsgFilter", {ChannelID, FilterType},
                         {pMaskMsg, pPatternMsg, pFlowControlMsg, pFilterID}, STATUS_NOERROR);
  if (rc == STATUS_NOERROR && pFilterID != nullptr) *pFilterID = fake::kFilterId;
  return rc;
}
Long __stdcall PassThruStopMsgFilter(ULong ChannelID, ULong FilterID) {
  return Record("StopMsgFilter", {ChannelID, FilterID}, {}, STATUS_NOERROR);
}
Long __stdcall PassThruSetProgrammingVoltage(ULong DeviceID, ULong PinNumber, ULong Voltage) {
  return Record("SetProgrammingVoltage", {DeviceID, PinNumber, Voltage}, {}, STATUS_NOERROR);
}
Long __stdcall PassThruReadVersion(ULong DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                   char* pApiVersion) {
  const Long rc = Record("ReadVersion", {DeviceID}, {pFirmwareVersion, pDllVersion, pApiVersion},
                         STATUS_NOERROR);
  Text(pFirmwareVersion, "1.2.3 <fw> & \"co\"");
  Text(pDllVersion, "4.5.6");
  Text(pApiVersion, "04.04");
  return rc;
}
Long __stdcall PassThruGetLastError(char* pErrorDescription) {
  const Long rc = Record("GetLastError", {}, {pErrorDescription}, STATUS_NOERROR);
  Text(pErrorDescription, fake::kLastError);
  return rc;
}
Long __stdcall PassThruIoctl(ULong ChannelID, ULong IoctlID, void* pInput, void* pOutput) {
  const Long rc = Record("Ioctl", {ChannelID, IoctlID}, {pInput, pOutput}, STATUS_NOERROR);
  if (rc != STATUS_NOERROR) return rc;
  if (IoctlID == GET_CONFIG && pInput != nullptr) {
    auto* list = static_cast<SConfigList*>(pInput);
    for (ULong i = 0; i < list->NumOfParams && list->ConfigPtr != nullptr; ++i) {
      list->ConfigPtr[i].Value = list->ConfigPtr[i].Parameter * 10;
    }
  } else if ((IoctlID == READ_VBATT || IoctlID == READ_PROG_VOLTAGE) && pOutput != nullptr) {
    *static_cast<ULong*>(pOutput) = fake::kBatteryMillivolts;
  } else if (IoctlID == FIVE_BAUD_INIT && pOutput != nullptr) {
    auto* out = static_cast<SByteArray*>(pOutput);
    const std::uint8_t key[] = {0x55, 0x08, 0x08};
    for (ULong i = 0; i < 3 && i < out->NumOfBytes && out->BytePtr != nullptr; ++i) out->BytePtr[i] = key[i];
    if (out->NumOfBytes > 3) out->NumOfBytes = 3;
  }
  return rc;
}

}  // extern "C"
