// The J2534 05.00 side of the monitor library: the calls of a session whose
// library is registered under PassThruSupport.05.00, logged with 05.00's
// signatures, structures and names. The exports whose arguments are laid out
// alike in both versions (j2534_monitor.cpp) hand a 05.00 session's calls to
// the functions here; those laid out otherwise reach theirs through the
// dispatch entries of j2534_dispatch.cpp. The functions 05.00 added are
// exported from j2534_monitor_v05.cpp itself.
#pragma once

#include "passthru/j2534.h"
#include "passthru/j2534_v05.h"

namespace monitor {

passthru::Long ReadMsgs05(passthru::ULong ChannelID, passthru::v05::PassThruMsg* pMsg,
                          passthru::ULong* pNumMsgs, passthru::ULong Timeout);
passthru::Long StartPeriodicMsg05(passthru::ULong ChannelID, passthru::v05::PassThruMsg* pMsg,
                                  passthru::ULong* pMsgID, passthru::ULong TimeInterval);
passthru::Long Ioctl05(passthru::ULong ControlTarget, passthru::ULong IoctlID, void* pInput, void* pOutput);
// PassThruWriteMsgs in a 05.00 session: not a 05.00 function. Forwarded when
// the original exports it (its own extension), logged with its plain
// arguments; else ERR_NOT_SUPPORTED.
passthru::Long WriteMsgs05(passthru::ULong ChannelID, void* pMsg, passthru::ULong* pNumMsgs,
                           passthru::ULong Timeout);

}  // namespace monitor

// The two versions of the functions whose arguments differ, each under a plain
// assembler name the dispatch entries jump to (__stdcall: each pops its own).
extern "C" {
passthru::Long __stdcall VarrowConnect0404(passthru::ULong DeviceID, passthru::ULong ProtocolID,
                                           passthru::ULong Flags, passthru::ULong BaudRate,
                                           passthru::ULong* pChannelID) __asm__("varrow_connect_0404");
passthru::Long __stdcall VarrowConnect0500(passthru::ULong DeviceID, passthru::ULong ProtocolID,
                                           passthru::ULong Flags, passthru::ULong BaudRate,
                                           passthru::v05::ResourceStruct ResourceStruct,
                                           passthru::ULong* pChannelID) __asm__("varrow_connect_0500");
passthru::Long __stdcall VarrowStartMsgFilter0404(passthru::ULong ChannelID, passthru::ULong FilterType,
                                                  passthru::PassThruMsg* pMaskMsg,
                                                  passthru::PassThruMsg* pPatternMsg,
                                                  passthru::PassThruMsg* pFlowControlMsg,
                                                  passthru::ULong* pFilterID) __asm__("varrow_start_filter_0404");
passthru::Long __stdcall VarrowStartMsgFilter0500(passthru::ULong ChannelID, passthru::ULong FilterType,
                                                  passthru::v05::PassThruMsg* pMaskMsg,
                                                  passthru::v05::PassThruMsg* pPatternMsg,
                                                  passthru::ULong* pFilterID) __asm__("varrow_start_filter_0500");
passthru::Long __stdcall VarrowSetProgrammingVoltage0404(passthru::ULong DeviceID, passthru::ULong PinNumber,
                                                         passthru::ULong Voltage) __asm__("varrow_set_voltage_0404");
passthru::Long __stdcall VarrowSetProgrammingVoltage0500(passthru::ULong DeviceID,
                                                         passthru::v05::ResourceStruct ResourceStruct,
                                                         passthru::ULong Voltage) __asm__("varrow_set_voltage_0500");
// Nonzero when the monitor serves 05.00 (the dispatch entries ask at every call).
int VarrowJ2534ServesV05() __asm__("varrow_j2534_serves_v05");
}
