#include "monitor/j2534/j2534_text_v05.h"

#include <algorithm>
#include <cstring>

#include "log/text_rules.h"
#include "monitor/j2534/j2534_record.h"
#include "monitor/memory_probe.h"
#include "passthru/names_v05.h"

namespace monitor {

using passthru::ULong;
namespace v05 = passthru::v05;

namespace {

// ", " separated decimal ids or pins: `shown` of `count` read at `items`, the rest counted.
void AppendIds(std::string* text, const ULong* items, ULong count) {
  ULong shown = std::min(count, kMaxLoggedParams);
  shown = static_cast<ULong>(Foreign<ULong>::Probe(items, shown));
  for (ULong i = 0; i < shown; ++i) {
    *text += i == 0 ? ": " : ", ";
    AppendDecimal(text, items[i]);
  }
  if (shown < count) {
    *text += " (";
    AppendDecimal(text, count - shown);
    *text += items == nullptr ? " not given: NULL)" : " more not logged)";
  }
}

std::string Address(const void* p) {
  return p == nullptr ? "NULL" : "0x" + passthru::Hex(static_cast<ULong>(reinterpret_cast<std::uintptr_t>(p)), 8);
}

}  // namespace

std::string ResourceText(const v05::ResourceStruct& resources) {
  std::string text = v05::ConnectorName(resources.Connector);
  text += ", NumOfResources ";
  AppendDecimal(&text, resources.NumOfResources);
  AppendIds(&text, resources.ResourceListPtr, resources.NumOfResources);
  return text;
}

std::string DescriptorText(const void* p, ULong protocol) {
  if (p == nullptr) return "NULL";
  if (protocol != v05::ISO15765_LOGICAL) return Address(p);
  // The 18 bytes both public layouts share; the 2 bytes of tail padding are never read.
  if (ReadableBytes(p, v05::kDescriptorBytes) < v05::kDescriptorBytes) return Address(p) + " (not readable)";
  v05::Iso15765ChannelDescriptor d;
  std::memset(&d, 0, sizeof d);
  std::memcpy(&d, p, v05::kDescriptorBytes);
  std::string text = "LocalTxFlags ";
  v05::AppendTxFlagsText(&text, d.LocalTxFlags);
  text += ", RemoteTxFlags ";
  v05::AppendTxFlagsText(&text, d.RemoteTxFlags);
  text += ", LocalAddress ";
  AppendHexDump(&text, d.LocalAddress, v05::kAddressBytes, 0);
  text += ", RemoteAddress ";
  AppendHexDump(&text, d.RemoteAddress, v05::kAddressBytes, 0);
  return text;
}

std::string DeviceText(const v05::SDevice& device) {
  // Cut at its null, and never past its 80 characters; appended in place (GCC
  // warns of an overlapping copy in `"\"" + text`: -Wrestrict).
  std::string text = "\"";
  text += PrintableText(device.DeviceName, sizeof device.DeviceName);
  text += "\", ";
  text += v05::DeviceAvailableName(device.DeviceAvailable);
  text += ", " + v05::DeviceDllFwStatusName(device.DeviceDLLFWStatus);
  text += ", " + v05::DeviceConnectMediaName(device.DeviceConnectMedia);
  text += ", ConnectSpeed ";
  AppendDecimal(&text, device.DeviceConnectSpeed);
  text += ", SignalQuality ";
  AppendDecimal(&text, device.DeviceSignalQuality);
  text += ", SignalStrength ";
  AppendDecimal(&text, device.DeviceSignalStrength);
  return text;
}

std::string ChannelSetText(const v05::SChannelSet& set, ULong room) {
  std::string text = "ChannelCount ";
  AppendDecimal(&text, set.ChannelCount);
  text += ", ChannelThreshold ";
  AppendDecimal(&text, set.ChannelThreshold);
  text += ", ChannelList";
  // Never past the list the application made room for, whatever the count says now.
  AppendIds(&text, set.ChannelList, std::min(set.ChannelCount, room));
  return text;
}

}  // namespace monitor
