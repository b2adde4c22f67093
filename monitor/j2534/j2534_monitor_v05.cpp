// The J2534 05.00 calls of the monitor library (see j2534_monitor_v05.h): each
// in the one shape of every export (Monitored), with 05.00's signatures,
// structures and names. Nothing here changes what the application sees.
//
// The functions 05.00 added are exported in every session. In a 04.04 session
// they are forwarded when the original exports them (some 04.04 libraries
// offer device discovery under these names) and logged alike; when it does
// not, they return ERR_NOT_SUPPORTED, as a library without them would be
// taken to answer.
#include "monitor/j2534/j2534_monitor_v05.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "monitor/j2534/j2534_call.h"
#include "monitor/j2534/j2534_state.h"
#include "monitor/j2534/j2534_text_v05.h"
#include "monitor/memory_probe.h"
#include "passthru/names_v05.h"

using namespace passthru::v05;
using passthru::Long;
using passthru::ULong;
using monitor::Call;
using monitor::CountText;
using monitor::Forward05;
using monitor::IdOut;
using monitor::J2534Function;
using monitor::Monitored;
using monitor::MonitorState;
using monitor::NoInputs;
using monitor::NoOutputs;
using monitor::Number;
using monitor::OriginalV05Functions;
using monitor::Pointer;

namespace {

// The structure at `p` as text through the gate: "NULL", "(not readable)", or `text(copy)`.
template <typename T, typename TextFn>
std::string Structure(const T* p, TextFn text) {
  if (p == nullptr) return "NULL";
  T copy{};
  if (!monitor::Foreign<T>::Read(p, &copy)) return Pointer(p) + " (not readable)";
  return text(copy);
}

// What a 05.00 read hands back: messages with these results (the count says how many).
bool ReadGaveMessages(Long rc) {
  return rc == STATUS_NOERROR || rc == ERR_TIMEOUT || rc == ERR_BUFFER_EMPTY || rc == ERR_BUFFER_OVERFLOW ||
         rc == ERR_BUFFER_TOO_SMALL;
}

}  // namespace

namespace monitor {

Long ReadMsgs05(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs, ULong Timeout) {
  ULong room = 0;
  bool forwarded = false;
  return Monitored(
      J2534Function::ReadMsgs,
      [&](Call& c) {
        room = ReadableCount(pNumMsgs);
        c.In("ChannelID", Number(ChannelID));
        c.In("NumMsgs (room)", CountText(pNumMsgs));
        c.In("Timeout (ms)", Number(Timeout));
        c.HoldEntry();
      },
      [&](MonitorState* s) {
        forwarded = s != nullptr && s->original != nullptr && s->fn05.readMsgs != nullptr;
        return Forward05(s, &OriginalV05Functions::readMsgs, ChannelID, pMsg, pNumMsgs, Timeout);
      },
      [&](Call& c, Long rc) {
        // Never more messages than the room given; of each, never more bytes
        // than its buffer holds (a too-small buffer keeps DataBufferSize bytes).
        const ULong read = forwarded && ReadGaveMessages(rc) ? std::min(ReadableCount(pNumMsgs), room) : 0;
        c.Out("NumMsgs (read)", CountText(pNumMsgs));
        if (read != 0 || pMsg == nullptr) c.OutMessages("Msg", pMsg, read);
        if (rc == ERR_BUFFER_EMPTY && read == 0) c.MarkNoise();
      });
}

Long StartPeriodicMsg05(ULong ChannelID, PassThruMsg* pMsg, ULong* pMsgID, ULong TimeInterval) {
  return Monitored(
      J2534Function::StartPeriodicMsg,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.InMessages("Msg", pMsg, 1);
        c.In("TimeInterval (ms)", Number(TimeInterval));
      },
      [&](MonitorState* s) {
        return Forward05(s, &OriginalV05Functions::startPeriodic, ChannelID, pMsg, pMsgID, TimeInterval);
      },
      [&](Call& c, Long rc) { c.Out("MsgID", IdOut(pMsgID, rc)); });
}

Long Ioctl05(ULong ControlTarget, ULong IoctlID, void* pInput, void* pOutput) {
  return Monitored(
      J2534Function::Ioctl, [&](Call& c) { IoctlInputs(c, ControlTarget, IoctlID, pInput, pOutput); },
      [&](MonitorState* s) {
        return Forward05(s, &OriginalV05Functions::ioctl, ControlTarget, IoctlID, pInput, pOutput);
      },
      [&](Call& c, Long rc) { IoctlOutputs(c, IoctlID, pInput, pOutput, rc); });
}

Long WriteMsgs05(ULong ChannelID, void* pMsg, ULong* pNumMsgs, ULong Timeout) {
  return Monitored(
      J2534Function::WriteMsgs,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.In("pMsg", Pointer(pMsg));
        c.In("NumMsgs", CountText(pNumMsgs));
        c.In("Timeout (ms)", Number(Timeout));
      },
      [&](MonitorState* s) -> Long {
        if (s == nullptr || s->original == nullptr) return ERR_FAILED;
        if (s->fn.writeMsgs == nullptr) return ERR_NOT_SUPPORTED;  // not a 05.00 function
        return s->fn.writeMsgs(ChannelID, static_cast<passthru::PassThruMsg*>(pMsg), pNumMsgs, Timeout);
      },
      [&](Call& c, Long) { c.Out("NumMsgs", CountText(pNumMsgs)); });
}

}  // namespace monitor

extern "C" {

Long __stdcall VarrowConnect0500(ULong DeviceID, ULong ProtocolID, ULong Flags, ULong BaudRate,
                                 ResourceStruct ResourceStruct, ULong* pChannelID) {
  return Monitored(
      J2534Function::Connect,
      [&](Call& c) {
        c.In("DeviceID", Number(DeviceID));
        c.In("ProtocolID", ProtocolName(ProtocolID));
        c.In("Flags", ConnectFlagsText(Flags));
        c.In("BaudRate", Number(BaudRate));
        c.In("ResourceStruct", monitor::ResourceText(ResourceStruct));
      },
      [&](MonitorState* s) {
        return Forward05(s, &OriginalV05Functions::connect, DeviceID, ProtocolID, Flags, BaudRate, ResourceStruct,
                         pChannelID);
      },
      [&](Call& c, Long rc) { c.Out("ChannelID", IdOut(pChannelID, rc)); });
}

Long __stdcall VarrowStartMsgFilter0500(ULong ChannelID, ULong FilterType, PassThruMsg* pMaskMsg,
                                        PassThruMsg* pPatternMsg, ULong* pFilterID) {
  return Monitored(
      J2534Function::StartMsgFilter,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.In("FilterType", FilterTypeName(FilterType));
        c.InMessages("MaskMsg", pMaskMsg, 1);
        c.InMessages("PatternMsg", pPatternMsg, 1);
      },
      [&](MonitorState* s) {
        return Forward05(s, &OriginalV05Functions::startFilter, ChannelID, FilterType, pMaskMsg, pPatternMsg,
                         pFilterID);
      },
      [&](Call& c, Long rc) { c.Out("FilterID", IdOut(pFilterID, rc)); });
}

Long __stdcall VarrowSetProgrammingVoltage0500(ULong DeviceID, ResourceStruct ResourceStruct, ULong Voltage) {
  return Monitored(
      J2534Function::SetProgrammingVoltage,
      [&](Call& c) {
        c.In("DeviceID", Number(DeviceID));
        c.In("ResourceStruct", monitor::ResourceText(ResourceStruct));
        c.In("Voltage", VoltageText(Voltage));
      },
      [&](MonitorState* s) {
        return Forward05(s, &OriginalV05Functions::setVoltage, DeviceID, ResourceStruct, Voltage);
      },
      NoOutputs);
}

int VarrowJ2534ServesV05() { return monitor::J2534ServesV05() ? 1 : 0; }

Long __stdcall PassThruScanForDevices(ULong* pDeviceCount) {
  return Monitored(
      J2534Function::ScanForDevices, NoInputs,
      [&](MonitorState* s) { return Forward05(s, &OriginalV05Functions::scan, pDeviceCount); },
      [&](Call& c, Long rc) { c.Out("DeviceCount", IdOut(pDeviceCount, rc)); });
}

Long __stdcall PassThruGetNextDevice(SDevice* psDevice) {
  return Monitored(
      J2534Function::GetNextDevice, NoInputs,
      [&](MonitorState* s) { return Forward05(s, &OriginalV05Functions::getNext, psDevice); },
      [&](Call& c, Long rc) {
        c.Out("Device", rc == STATUS_NOERROR || psDevice == nullptr ? Structure(psDevice, monitor::DeviceText)
                                                                    : "(not written)");
      });
}

Long __stdcall PassThruLogicalConnect(ULong PhysicalChannelID, ULong ProtocolID, ULong Flags,
                                      void* pChannelDescriptor, ULong* pChannelID) {
  return Monitored(
      J2534Function::LogicalConnect,
      [&](Call& c) {
        c.In("PhysicalChannelID", Number(PhysicalChannelID));
        c.In("ProtocolID", ProtocolName(ProtocolID));
        c.In("Flags", ConnectFlagsText(Flags));
        c.In("ChannelDescriptor", monitor::DescriptorText(pChannelDescriptor, ProtocolID));
      },
      [&](MonitorState* s) {
        return Forward05(s, &OriginalV05Functions::logicalConnect, PhysicalChannelID, ProtocolID, Flags,
                         pChannelDescriptor, pChannelID);
      },
      [&](Call& c, Long rc) { c.Out("ChannelID", IdOut(pChannelID, rc)); });
}

Long __stdcall PassThruLogicalDisconnect(ULong ChannelID) {
  return Monitored(
      J2534Function::LogicalDisconnect, [&](Call& c) { c.In("ChannelID", Number(ChannelID)); },
      [&](MonitorState* s) { return Forward05(s, &OriginalV05Functions::logicalDisconnect, ChannelID); },
      NoOutputs);
}

Long __stdcall PassThruSelect(SChannelSet* ChannelSetPtr, ULong SelectType, ULong Timeout) {
  ULong room = 0;  // the ids the application's list holds
  return Monitored(
      J2534Function::Select,
      [&](Call& c) {
        c.In("ChannelSet", Structure(ChannelSetPtr, [&room](const SChannelSet& set) {
               room = set.ChannelCount;
               return monitor::ChannelSetText(set, room);
             }));
        c.In("SelectType", SelectTypeName(SelectType));
        c.In("Timeout (ms)", Number(Timeout));
      },
      [&](MonitorState* s) { return Forward05(s, &OriginalV05Functions::select, ChannelSetPtr, SelectType, Timeout); },
      [&](Call& c, Long rc) {
        const bool answered = rc == STATUS_NOERROR || rc == ERR_TIMEOUT || rc == ERR_BUFFER_EMPTY;
        c.Out("ChannelSet", answered || ChannelSetPtr == nullptr
                                ? Structure(ChannelSetPtr,
                                            [room](const SChannelSet& set) { return monitor::ChannelSetText(set, room); })
                                : "-");
      });
}

Long __stdcall PassThruQueueMsgs(ULong ChannelID, PassThruMsg* pMsg, ULong* pNumMsgs) {
  return Monitored(
      J2534Function::QueueMsgs,
      [&](Call& c) {
        c.In("ChannelID", Number(ChannelID));
        c.In("NumMsgs (to queue)", CountText(pNumMsgs));
        c.InMessages("Msg", pMsg, monitor::ReadableCount(pNumMsgs));
      },
      [&](MonitorState* s) { return Forward05(s, &OriginalV05Functions::queueMsgs, ChannelID, pMsg, pNumMsgs); },
      [&](Call& c, Long) { c.Out("NumMsgs (queued)", CountText(pNumMsgs)); });
}

}  // extern "C"
