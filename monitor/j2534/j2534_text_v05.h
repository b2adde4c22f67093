// The texts of the J2534 05.00 structures as the monitor logs them: the
// resources of a channel or a voltage, the ISO 15765 channel descriptor, a
// discovered device and a channel set. Free of Windows headers (fuzzed
// natively): everything a structure points to is read through the memory gate
// (monitor/memory_probe.h), never more than the structure states.
#pragma once

#include <string>

#include "passthru/j2534_v05.h"

namespace monitor {

// "J1962_CONNECTOR, NumOfResources 2: 6, 14": the pins, at most kMaxLoggedParams
// of them, as far as ResourceListPtr can be read.
std::string ResourceText(const passthru::v05::ResourceStruct& resources);
// The ISO15765_CHANNEL_DESCRIPTOR at `p` (its 18 bytes through the gate):
// "LocalTxFlags ..., RemoteTxFlags ..., LocalAddress 00 00 07 E0 00, RemoteAddress ...";
// "NULL", or the address marked "(not readable)". Another protocol's
// descriptor is unknown: its address only.
std::string DescriptorText(const void* p, passthru::ULong protocol);
// An SDEVICE: "\"OVRA VCI 05\", DEVICE_AVAILABLE, DEVICE_DLL_FW_COMPATIBLE,
// DEVICE_CONN_WIRED, ConnectSpeed 480000000, SignalQuality 100, SignalStrength 100".
std::string DeviceText(const passthru::v05::SDevice& device);
// An SCHANNELSET: "ChannelCount 2, ChannelThreshold 1, ChannelList: 3, 4", of the
// list at most `room` ids (the count the application gave: the list's size).
std::string ChannelSetText(const passthru::v05::SChannelSet& set, passthru::ULong room);

}  // namespace monitor
