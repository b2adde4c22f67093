// OvraJ2534Mon32.dll: a J2534 library that stands in for an implementation
// library, forwards every call to the original (set aside in its folder as
// "_" + its own file name) and logs each call. It serves the version its own
// registration names: 04.04 here, 05.00 in j2534_monitor_v05.cpp (the exports
// below hand a 05.00 session's calls there). Nothing here
// changes what the application sees: arguments, out-parameters and return
// values pass through untouched, and logging never throws into the caller.
// Every export has one shape (monitor/j2534/j2534_call.h, Monitored): its
// arguments, its forwarding, its outputs.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "monitor/j2534/j2534_call.h"
#include "monitor/j2534/j2534_monitor_v05.h"
#include "monitor/j2534/j2534_state.h"
#include "passthru/j2534.h"
#include "passthru/names.h"

using namespace passthru;
using monitor::ByteArray;
using monitor::Call;
using monitor::ConfigList;
using monitor::CountText;
using monitor::ForeignText;
using monitor::Forward;
using monitor::IdOut;
using monitor::J2534Function;
using monitor::Monitored;
using monitor::MonitorState;
using monitor::NoInputs;
using monitor::NoOutputs;
using monitor::Number;
using monitor::OriginalFunctions;
using monitor::Pointer;

extern "C" {

Long __stdcall PassThruOpen(void* pName, ULong* pDeviceID) {
  return Monitored(
      J2534Function::Open, [&](Call& c) { c.In("pName", ForeignText(pName)); },
      [&](MonitorState* s) { return Forward(s, &OriginalFunctions::open, pName, pDeviceID); },
      [&](Call& c, Long rc) { c.Out("DeviceID", IdOut(pDeviceID, rc)); });
}

Long __stdcall PassThruClose(ULong DeviceID) {
  return Monitored(
      J2534Function::Close, [&](Call& c) { c.In("DeviceID", Number(DeviceID)); },
      [&](MonitorState* s) { return Forward(s, &OriginalFunctions::close, DeviceID); }, NoOutputs,
      // The session's end: on disk before the application goes on, and the
      // module free to be unloaded.
      monitor::J2534SessionEnded);
}

Long __stdcall VarrowConnect0404(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                                 ULong* pChannelID) {
  return Monitored(
      J2534Function::Connect,
      [&](Call& c) {
        c.In("DeviceID", Number(DeviceID));
        c.In("ProtocolID", ProtocolName(ProtocolID));
        c.In("Flags", ConnectFlagsText(Flags));
        c.In("BaudRate", Number(BaudRate));
      },
      [&](MonitorState* s) {
        return Forward(s, &OriginalFunctions::connect, DeviceID, ProtocolID, Flags, BaudRate, pChannelID);
      },
      [&](Call& c, Long rc) { c.Out("ChannelID", IdOut(pChannelID, rc)); });
}

Long __stdcall PassThruDisconnect(ULong ChannelID) {
  return Monitored(
      J2534Function::Disconnect, [&](Call& c) { c.In("ChannelID", Number(ChannelID)); },
      [&](MonitorState* s) { return Forward(s, &OriginalFunctions::disconnect, ChannelID); }, NoOutputs);
}

Long __stdcall PassThruReadMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  if (monitor::J2534ServesV05()) {
    return monitor::ReadMsgs05(ChannelID, reinterpret_cast<v05::PassThruMsg*>(pMsg), pNumMsgs, Timeout);
  }
  ULong room = 0;
  bool forwarded = false;
  return Monitored(
      J2534Function::ReadMsgs,
      [&](Call& c) {
        // The room the application states; read through the gate, since an
        // original that rejects the channel never looks at it.
        room = monitor::ReadableCount(pNumMsgs);
        c.In("ChannelID", Number(ChannelID));
        c.In("NumMsgs (room)", CountText(pNumMsgs));
        c.In("Timeout (ms)", Number(Timeout));
        c.HoldEntry();
      },
      [&](MonitorState* s) {
        forwarded = s != nullptr && s->original != nullptr && s->fn.readMsgs != nullptr;
        return Forward(s, &OriginalFunctions::readMsgs, ChannelID, pMsg, pNumMsgs, Timeout);
      },
      [&](Call& c, Long rc) {
        // Never more than the application made room for, nor what the original
        // did not give: messages only where it reports some read (also at a time-out).
        const bool gave = forwarded && (rc == STATUS_NOERROR || rc == ERR_TIMEOUT || rc == ERR_BUFFER_EMPTY);
        const ULong read = gave ? std::min(monitor::ReadableCount(pNumMsgs), room) : 0;
        c.Out("NumMsgs (read)", CountText(pNumMsgs));
        if (read != 0 || pMsg == nullptr) c.OutMessages("Msg", pMsg, read);
        if (rc == ERR_BUFFER_EMPTY && read == 0) c.MarkNoise();
      });
}

Long __stdcall PassThruWriteMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  if (monitor::J2534ServesV05()) return monitor::WriteMsgs05(ChannelID, pMsg, pNumMsgs, Timeout);
  return Monitored(
      J2534Function::WriteMsgs,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.In("NumMsgs (to send)", CountText(pNumMsgs));
        c.In("Timeout (ms)", Number(Timeout));
        c.InMessages("Msg", pMsg, monitor::ReadableCount(pNumMsgs));
      },
      [&](MonitorState* s) {
        return Forward(s, &OriginalFunctions::writeMsgs, ChannelID, pMsg, pNumMsgs, Timeout);
      },
      [&](Call& c, Long) { c.Out("NumMsgs (sent)", CountText(pNumMsgs)); });
}

Long __stdcall PassThruStartPeriodicMsg(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID,
                                        ULong TimeInterval) {
  if (monitor::J2534ServesV05()) {
    return monitor::StartPeriodicMsg05(ChannelID, reinterpret_cast<v05::PassThruMsg*>(pMsg), pMsgID, TimeInterval);
  }
  return Monitored(
      J2534Function::StartPeriodicMsg,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.InMessages("Msg", pMsg, 1);
        c.In("TimeInterval (ms)", Number(TimeInterval));
      },
      [&](MonitorState* s) {
        return Forward(s, &OriginalFunctions::startPeriodic, ChannelID, pMsg, pMsgID, TimeInterval);
      },
      [&](Call& c, Long rc) { c.Out("MsgID", IdOut(pMsgID, rc)); });
}

Long __stdcall PassThruStopPeriodicMsg(ULong ChannelID, ULong MsgID) {
  return Monitored(
      J2534Function::StopPeriodicMsg,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.In("MsgID", Number(MsgID));
      },
      [&](MonitorState* s) { return Forward(s, &OriginalFunctions::stopPeriodic, ChannelID, MsgID); },
      NoOutputs);
}

Long __stdcall VarrowStartMsgFilter0404(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                        PassThruMsg* pPatternMsg, PassThruMsg* pFlowControlMsg,
                                        ULong* pFilterID) {
  return Monitored(
      J2534Function::StartMsgFilter,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.In("FilterType", FilterTypeName(FilterType));
        c.InMessages("MaskMsg", pMaskMsg, 1);
        c.InMessages("PatternMsg", pPatternMsg, 1);
        c.InMessages("FlowControlMsg", pFlowControlMsg, 1);
      },
      [&](MonitorState* s) {
        return Forward(s, &OriginalFunctions::startFilter, ChannelID, FilterType, pMaskMsg, pPatternMsg,
                       pFlowControlMsg, pFilterID);
      },
      [&](Call& c, Long rc) { c.Out("FilterID", IdOut(pFilterID, rc)); });
}

Long __stdcall PassThruStopMsgFilter(ULong ChannelID, ULong FilterID) {
  return Monitored(
      J2534Function::StopMsgFilter,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.In("FilterID", Number(FilterID));
      },
      [&](MonitorState* s) { return Forward(s, &OriginalFunctions::stopFilter, ChannelID, FilterID); },
      NoOutputs);
}

Long __stdcall VarrowSetProgrammingVoltage0404(ULong DeviceID, ULong PinNumber, ULong Voltage) {
  return Monitored(
      J2534Function::SetProgrammingVoltage,
      [&](Call& c) {
        c.In("DeviceID", Number(DeviceID));
        c.In("PinNumber", Number(PinNumber));
        c.In("Voltage", Voltage == 0xFFFFFFFF   ? std::string("VOLTAGE_OFF")
                        : Voltage == 0xFFFFFFFE ? std::string("SHORT_TO_GROUND")
                                                : Number(Voltage) + " mV");
      },
      [&](MonitorState* s) {
        return Forward(s, &OriginalFunctions::setVoltage, DeviceID, PinNumber, Voltage);
      },
      NoOutputs);
}

Long __stdcall PassThruReadVersion(ULong DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                   char* pApiVersion) {
  return Monitored(
      J2534Function::ReadVersion, [&](Call& c) { c.In("DeviceID", Number(DeviceID)); },
      [&](MonitorState* s) {
        return Forward(s, &OriginalFunctions::readVersion, DeviceID, pFirmwareVersion, pDllVersion,
                       pApiVersion);
      },
      [&](Call& c, Long rc) {
        const bool ok = rc == STATUS_NOERROR;
        c.Out("FirmwareVersion", ok || pFirmwareVersion == nullptr ? ForeignText(pFirmwareVersion) : "-");
        c.Out("DllVersion", ok || pDllVersion == nullptr ? ForeignText(pDllVersion) : "-");
        c.Out("ApiVersion", ok || pApiVersion == nullptr ? ForeignText(pApiVersion) : "-");
      });
}

Long __stdcall PassThruGetLastError(char* pErrorDescription) {
  return Monitored(
      J2534Function::GetLastError, NoInputs,
      [&](MonitorState* s) -> Long {
        if (s != nullptr && s->original != nullptr && s->fn.getLastError != nullptr) {
          return s->fn.getLastError(pErrorDescription);
        }
        if (pErrorDescription == nullptr) return ERR_NULL_PARAMETER;
        // Without the original the monitor answers why.
        const char* text = s != nullptr ? s->missingText : "J2534 monitor: not initialised";
        std::strncpy(pErrorDescription, text, kTextChars - 1);
        pErrorDescription[kTextChars - 1] = '\0';
        return STATUS_NOERROR;
      },
      [&](Call& c, Long rc) {
        c.Out("ErrorDescription", rc == STATUS_NOERROR || pErrorDescription == nullptr
                                      ? ForeignText(pErrorDescription)
                                      : "-");
      });
}

Long __stdcall PassThruIoctl(ULong ChannelID, ULong IoctlID, void* pInput, void* pOutput) {
  if (monitor::J2534ServesV05()) return monitor::Ioctl05(ChannelID, IoctlID, pInput, pOutput);
  return Monitored(
      J2534Function::Ioctl, [&](Call& c) { monitor::IoctlInputs(c, ChannelID, IoctlID, pInput, pOutput); },
      [&](MonitorState* s) { return Forward(s, &OriginalFunctions::ioctl, ChannelID, IoctlID, pInput, pOutput); },
      [&](Call& c, Long rc) { monitor::IoctlOutputs(c, IoctlID, pInput, pOutput, rc); });
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
