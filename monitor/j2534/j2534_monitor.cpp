// OvraJ2534Mon32.dll: a J2534 04.04 library that stands in for an
// implementation library, forwards every call to the original (set aside in
// its folder as "_" + its own file name) and logs each call. Nothing here
// changes what the application sees: arguments, out-parameters and return
// values pass through untouched, and logging never throws into the caller.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "monitor/j2534/j2534_call.h"
#include "monitor/j2534/j2534_state.h"
#include "passthru/j2534.h"
#include "passthru/names.h"

using namespace passthru;
using monitor::Call;
using monitor::ConfigList;
using monitor::ByteArray;
using monitor::CountText;
using monitor::ForeignText;
using monitor::IdOut;
using monitor::J2534Function;
using monitor::MonitorState;
using monitor::Number;
using monitor::Pointer;

namespace {

MonitorState* State() { return monitor::J2534State(); }

// Without the original every call fails.
Long Missing() { return ERR_FAILED; }

bool HaveOriginal(MonitorState* s) { return s != nullptr && s->original != nullptr; }

}  // namespace

extern "C" {

Long __stdcall PassThruOpen(void* pName, ULong* pDeviceID) {
  MonitorState* s = State();
  Call call(s, J2534Function::Open);
  if (call.Active()) try {
    call.In("pName", ForeignText(pName));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.open ? s->fn.open(pName, pDeviceID) : Missing();
  if (call.Active()) try {
    call.Out("DeviceID", IdOut(pDeviceID, rc));
    call.Finish(rc);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruClose(ULong DeviceID) {
  MonitorState* s = State();
  Call call(s, J2534Function::Close);
  if (call.Active()) try {
    call.In("DeviceID", Number(DeviceID));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.close ? s->fn.close(DeviceID) : Missing();
  if (call.Active()) try {
    call.Finish(rc);
    // The session's end: on disk before the application goes on, and the
    // module free to be unloaded.
    monitor::J2534SessionEnded(s);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruConnect(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                               ULong* pChannelID) {
  MonitorState* s = State();
  Call call(s, J2534Function::Connect);
  if (call.Active()) try {
    call.In("DeviceID", Number(DeviceID));
    call.In("ProtocolID", ProtocolName(ProtocolID));
    call.In("Flags", ConnectFlagsText(Flags));
    call.In("BaudRate", Number(BaudRate));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.connect
                      ? s->fn.connect(DeviceID, ProtocolID, Flags, BaudRate, pChannelID)
                      : Missing();
  if (call.Active()) try {
    call.Out("ChannelID", IdOut(pChannelID, rc));
    call.Finish(rc);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruDisconnect(ULong ChannelID) {
  MonitorState* s = State();
  Call call(s, J2534Function::Disconnect);
  if (call.Active()) try {
    call.In("ChannelID", Number(ChannelID));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.disconnect ? s->fn.disconnect(ChannelID) : Missing();
  call.Finish(rc);
  return rc;
}

Long __stdcall PassThruReadMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  MonitorState* s = State();
  Call call(s, J2534Function::ReadMsgs);
  // The room the application states; read through the gate, since an original
  // that rejects the channel never looks at it.
  const ULong room = call.Active() ? monitor::ReadableCount(pNumMsgs) : 0;
  if (call.Active()) try {
    call.In("ChannelID", Number(ChannelID));
    call.In("NumMsgs (room)", CountText(pNumMsgs));
    call.In("Timeout (ms)", Number(Timeout));
    call.Begin(true);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const bool forwarded = HaveOriginal(s) && s->fn.readMsgs;
  const Long rc = forwarded ? s->fn.readMsgs(ChannelID, pMsg, pNumMsgs, Timeout) : Missing();
  if (call.Active()) try {
    // Never more than the application made room for, nor what the original did
    // not give: messages only where it reports some read (also at a time-out).
    const bool gave = forwarded && (rc == STATUS_NOERROR || rc == ERR_TIMEOUT || rc == ERR_BUFFER_EMPTY);
    const ULong read = gave ? std::min(monitor::ReadableCount(pNumMsgs), room) : 0;
    call.Out("NumMsgs (read)", CountText(pNumMsgs));
    if (read != 0 || pMsg == nullptr) call.OutMessages("Msg", pMsg, read);
    call.Finish(rc, rc == ERR_BUFFER_EMPTY && read == 0);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruWriteMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  MonitorState* s = State();
  Call call(s, J2534Function::WriteMsgs);
  if (call.Active()) try {
    call.In("ChannelID", Number(ChannelID));
    call.In("NumMsgs (to send)", CountText(pNumMsgs));
    call.In("Timeout (ms)", Number(Timeout));
    call.InMessages("Msg", pMsg, monitor::ReadableCount(pNumMsgs));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.writeMsgs
                      ? s->fn.writeMsgs(ChannelID, pMsg, pNumMsgs, Timeout)
                      : Missing();
  if (call.Active()) try {
    call.Out("NumMsgs (sent)", CountText(pNumMsgs));
    call.Finish(rc);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruStartPeriodicMsg(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID,
                                        ULong TimeInterval) {
  MonitorState* s = State();
  Call call(s, J2534Function::StartPeriodicMsg);
  if (call.Active()) try {
    call.In("ChannelID", Number(ChannelID));
    call.InMessages("Msg", pMsg, 1);
    call.In("TimeInterval (ms)", Number(TimeInterval));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.startPeriodic
                      ? s->fn.startPeriodic(ChannelID, pMsg, pMsgID, TimeInterval)
                      : Missing();
  if (call.Active()) try {
    call.Out("MsgID", IdOut(pMsgID, rc));
    call.Finish(rc);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruStopPeriodicMsg(ULong ChannelID, ULong MsgID) {
  MonitorState* s = State();
  Call call(s, J2534Function::StopPeriodicMsg);
  if (call.Active()) try {
    call.In("ChannelID", Number(ChannelID));
    call.In("MsgID", Number(MsgID));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.stopPeriodic ? s->fn.stopPeriodic(ChannelID, MsgID)
                                                        : Missing();
  call.Finish(rc);
  return rc;
}

Long __stdcall PassThruStartMsgFilter(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                      PassThruMsg* pPatternMsg, PassThruMsg* pFlowControlMsg,
                                      ULong* pFilterID) {
  MonitorState* s = State();
  Call call(s, J2534Function::StartMsgFilter);
  if (call.Active()) try {
    call.In("ChannelID", Number(ChannelID));
    call.In("FilterType", FilterTypeName(FilterType));
    call.InMessages("MaskMsg", pMaskMsg, 1);
    call.InMessages("PatternMsg", pPatternMsg, 1);
    call.InMessages("FlowControlMsg", pFlowControlMsg, 1);
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.startFilter
                      ? s->fn.startFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg,
                                          pFlowControlMsg, pFilterID)
                      : Missing();
  if (call.Active()) try {
    call.Out("FilterID", IdOut(pFilterID, rc));
    call.Finish(rc);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruStopMsgFilter(ULong ChannelID, ULong FilterID) {
  MonitorState* s = State();
  Call call(s, J2534Function::StopMsgFilter);
  if (call.Active()) try {
    call.In("ChannelID", Number(ChannelID));
    call.In("FilterID", Number(FilterID));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.stopFilter ? s->fn.stopFilter(ChannelID, FilterID)
                                                      : Missing();
  call.Finish(rc);
  return rc;
}

Long __stdcall PassThruSetProgrammingVoltage(ULong DeviceID, ULong PinNumber, ULong Voltage) {
  MonitorState* s = State();
  Call call(s, J2534Function::SetProgrammingVoltage);
  if (call.Active()) try {
    call.In("DeviceID", Number(DeviceID));
    call.In("PinNumber", Number(PinNumber));
    call.In("Voltage", Voltage == 0xFFFFFFFF   ? std::string("VOLTAGE_OFF")
                       : Voltage == 0xFFFFFFFE ? std::string("SHORT_TO_GROUND")
                                               : Number(Voltage) + " mV");
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.setVoltage ? s->fn.setVoltage(DeviceID, PinNumber, Voltage)
                                                      : Missing();
  call.Finish(rc);
  return rc;
}

Long __stdcall PassThruReadVersion(ULong DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                   char* pApiVersion) {
  MonitorState* s = State();
  Call call(s, J2534Function::ReadVersion);
  if (call.Active()) try {
    call.In("DeviceID", Number(DeviceID));
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.readVersion
                      ? s->fn.readVersion(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion)
                      : Missing();
  if (call.Active()) try {
    const bool ok = rc == STATUS_NOERROR;
    call.Out("FirmwareVersion", ok || pFirmwareVersion == nullptr ? ForeignText(pFirmwareVersion) : "-");
    call.Out("DllVersion", ok || pDllVersion == nullptr ? ForeignText(pDllVersion) : "-");
    call.Out("ApiVersion", ok || pApiVersion == nullptr ? ForeignText(pApiVersion) : "-");
    call.Finish(rc);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruGetLastError(char* pErrorDescription) {
  MonitorState* s = State();
  Call call(s, J2534Function::GetLastError);
  if (call.Active()) call.Begin();
  Long rc;
  if (HaveOriginal(s) && s->fn.getLastError) {
    rc = s->fn.getLastError(pErrorDescription);
  } else if (pErrorDescription == nullptr) {
    rc = ERR_NULL_PARAMETER;
  } else {
    const char* text = s != nullptr ? s->missingText : "J2534 monitor: not initialised";
    std::strncpy(pErrorDescription, text, kTextChars - 1);
    pErrorDescription[kTextChars - 1] = '\0';
    rc = STATUS_NOERROR;
  }
  if (call.Active()) try {
    call.Out("ErrorDescription", rc == STATUS_NOERROR || pErrorDescription == nullptr
                                     ? ForeignText(pErrorDescription)
                                     : "-");
    call.Finish(rc);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

Long __stdcall PassThruIoctl(ULong ChannelID, ULong IoctlID, void* pInput, void* pOutput) {
  MonitorState* s = State();
  Call call(s, J2534Function::Ioctl);
  const bool deviceLevel = IoctlID == READ_VBATT || IoctlID == READ_PROG_VOLTAGE;
  if (call.Active()) try {
    call.In(deviceLevel ? "DeviceID" : "ChannelID", Number(ChannelID));
    call.In("IoctlID", IoctlName(IoctlID));
    switch (IoctlID) {
      case GET_CONFIG: call.In("Input (parameters)", ConfigList(pInput)); break;
      case SET_CONFIG: call.In("Input", ConfigList(pInput)); break;
      case FIVE_BAUD_INIT:
      case ADD_TO_FUNCT_MSG_LOOKUP_TABLE:
      case DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE: call.In("Input", ByteArray(pInput)); break;
      case FAST_INIT: call.InMessages("Input", static_cast<const PassThruMsg*>(pInput), 1); break;
      case READ_VBATT:
      case READ_PROG_VOLTAGE:
      case CLEAR_TX_BUFFER:
      case CLEAR_RX_BUFFER:
      case CLEAR_PERIODIC_MSGS:
      case CLEAR_MSG_FILTERS:
      case CLEAR_FUNCT_MSG_LOOKUP_TABLE: break;
      default:
        call.In("Input", Pointer(pInput));
        call.In("Output", Pointer(pOutput));
    }
    call.Begin();
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  const Long rc = HaveOriginal(s) && s->fn.ioctl ? s->fn.ioctl(ChannelID, IoctlID, pInput, pOutput)
                                                 : Missing();
  if (call.Active()) try {
    const bool ok = rc == STATUS_NOERROR;
    switch (IoctlID) {
      case GET_CONFIG:
        if (ok) call.Out("Output", ConfigList(pInput));
        break;
      case READ_VBATT:
      case READ_PROG_VOLTAGE: {
        const ULong* mv = static_cast<const ULong*>(pOutput);
        call.Out("Output", mv == nullptr ? "NULL" : ok ? CountText(mv) + " mV" : "-");
        break;
      }
      case FIVE_BAUD_INIT:
        call.Out("Output", pOutput == nullptr ? "NULL" : ok ? ByteArray(pOutput) : "-");
        break;
      case FAST_INIT:
        if (ok || pOutput == nullptr) {
          call.OutMessages("Output", static_cast<const PassThruMsg*>(pOutput), 1);
        }
        break;
      default: break;
    }
    call.Finish(rc);
  } catch (...) {
    call.Abandon();  // the application never sees our failure
  }
  return rc;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      monitor::SetJ2534Module(instance);
#if !defined(_MSC_VER) || defined(_DLL)
      // Not with the static MSVC runtime (/MT): it relies on thread notifications
      // to free what it keeps per thread.
      DisableThreadLibraryCalls(instance);
#endif
      break;
    case DLL_PROCESS_DETACH:
      monitor::J2534ModuleDetach(reserved != nullptr);
      break;
    default: break;
  }
  return TRUE;
}
