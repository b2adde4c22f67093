// The simulated J2534 05.00 device's discovery, channels and messages (see
// sim05_device.h). Where the public descriptions of 05.00 disagree, the
// choice made is said at the rule.
#include "simulator/j2534_v05/sim05_device.h"

#include <algorithm>
#include <cstring>

namespace simulator {

using namespace passthru::v05;

namespace {

constexpr ULong kDescriptorTxFlags = ISO15765_FRAME_PAD | TX_ISO15765_ADDR_TYPE | TX_CAN_29BIT_ID;
constexpr ULong kAddressing = TX_ISO15765_ADDR_TYPE | TX_CAN_29BIT_ID;

void PutText(char* out, const char* text) {
  const std::size_t n = std::min<std::size_t>(std::strlen(text), v05::kTextChars - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// The application's name, read no further than a device name can be long.
std::string NameOf(const char* name) {
  std::size_t n = 0;
  while (n < 2 * v05::kTextChars && name[n] != '\0') ++n;
  return std::string(name, n);
}

}  // namespace

Long Sim05Device::Fail(Long code, const char* text) {
  lastError_.assign(text, std::min<std::size_t>(std::strlen(text), v05::kTextChars - 1));
  return code;
}

Long Sim05Device::Base(Long code) {
  if (code != STATUS_NOERROR) lastError_ = base_.lastError();
  return code;
}

Sim05Device::Channel* Sim05Device::Find(ULong channelId) {
  for (Channel& ch : channels_)
    if (ch.id == channelId) return &ch;
  return nullptr;
}

Long Sim05Device::Lookup(ULong channelId, Channel** channel) {
  if (!base_.open()) return Fail(ERR_DEVICE_NOT_OPEN, "The device is not open");
  *channel = Find(channelId);
  if (*channel == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id");
  return STATUS_NOERROR;
}

// Discovery. Both descriptions that say so give ERR_BUFFER_EMPTY before a
// scan (or after one that found nothing) and ERR_EXCEEDED_LIMIT once every
// device found was given.
Long Sim05Device::ScanForDevices(ULong* count) {
  if (count == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruScanForDevices: pDeviceCount is NULL");
  scanned_ = true;
  nextDevice_ = 0;
  *count = 1;
  return STATUS_NOERROR;
}

Long Sim05Device::GetNextDevice(SDevice* device) {
  if (device == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruGetNextDevice: psDevice is NULL");
  if (!scanned_) return Fail(ERR_BUFFER_EMPTY, "PassThruScanForDevices has not been called");
  if (nextDevice_ >= 1) return Fail(ERR_EXCEEDED_LIMIT, "Every device found has been given");
  ++nextDevice_;
  std::memset(device, 0, sizeof *device);
  PutText(device->DeviceName, kDevice05Name);
  device->DeviceAvailable = base_.open() ? DEVICE_IN_USE : DEVICE_AVAILABLE;
  device->DeviceDLLFWStatus = DEVICE_DLL_FW_COMPATIBLE;
  // A USB cable: wired. Signal quality and strength mean nothing on a cable;
  // one description fills 0xFFFFFFFF, another 100 (per cent): 100 is given.
  device->DeviceConnectMedia = DEVICE_CONN_WIRED;
  device->DeviceConnectSpeed = kUsbFullSpeed;
  device->DeviceSignalQuality = 100;
  device->DeviceSignalStrength = 100;
  return STATUS_NOERROR;
}

// PassThruOpen by the name discovery gave. One description (an open
// implementation) asks for "J2534-1:" before the name, the others show the
// bare name: both are taken. A NULL name (allowed in 04.04) is
// ERR_NULL_PARAMETER, another name ERR_OPEN_FAILED, as both descriptions that
// treat it say.
Long Sim05Device::Open(const char* name, ULong* deviceId) {
  if (name == nullptr || deviceId == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruOpen: pName or pDeviceID is NULL");
  std::string wanted = NameOf(name);
  if (wanted.rfind(kOpenNamePrefix, 0) == 0) wanted.erase(0, std::strlen(kOpenNamePrefix));
  if (wanted != kDevice05Name) return Fail(ERR_OPEN_FAILED, "No device of that name");
  if (base_.open()) return Fail(ERR_DEVICE_IN_USE, "The simulated device is already open");
  return Base(base_.Open(nullptr, deviceId));
}

Long Sim05Device::Close(ULong deviceId) {
  if (!base_.open()) return Fail(ERR_DEVICE_NOT_OPEN, "The device is not open");
  if (!Opened(deviceId)) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  channels_.clear();
  return Base(base_.Close(deviceId));
}

// A CAN physical channel on the J1962 connector's CAN pins (6 and 14, in
// either order). The 04.04 device's codes keep their values: ERR_RESOURCE_CONFLICT
// (04.04 ERR_CHANNEL_IN_USE) for a second CAN channel, ERR_BAUDRATE_NOT_SUPPORTED,
// ERR_FLAG_NOT_SUPPORTED.
Long Sim05Device::Connect(ULong deviceId, ULong protocol, ULong flags, ULong baudRate,
                          const ResourceStruct& resources, ULong* channelId) {
  if (!base_.open()) return Fail(ERR_DEVICE_NOT_OPEN, "The device is not open");
  if (!Opened(deviceId)) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  if (channelId == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruConnect: pChannelID is NULL");
  // Every other physical protocol is unsupported here; "a fully compliant
  // interface never returns ERR_NOT_SUPPORTED", so not that code.
  if (protocol != CAN) return Fail(ERR_PROTOCOL_ID_NOT_SUPPORTED, "The simulated device has CAN only");
  if (resources.NumOfResources > 0 && resources.ResourceListPtr == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruConnect: ResourceListPtr is NULL");
  if (resources.Connector != J1962_CONNECTOR || resources.NumOfResources != 2)
    return Fail(ERR_PIN_NOT_SUPPORTED, "CAN needs the J1962 connector's pins 6 and 14");
  const ULong a = resources.ResourceListPtr[0], b = resources.ResourceListPtr[1];
  if (!((a == kCanHighPin && b == kCanLowPin) || (a == kCanLowPin && b == kCanHighPin)))
    return Fail(ERR_PIN_NOT_SUPPORTED, "CAN needs the J1962 connector's pins 6 and 14");
  ULong id = 0;
  if (Long code = Base(base_.Connect(deviceId, passthru::CAN, flags, baudRate, &id)); code != STATUS_NOERROR)
    return code;
  Channel ch;
  ch.id = id;
  ch.flags = flags;
  ch.baudRate = baudRate;
  channels_.push_back(ch);
  *channelId = id;
  return STATUS_NOERROR;
}

Long Sim05Device::Disconnect(ULong channelId) {
  Channel* ch = nullptr;
  if (Long code = Lookup(channelId, &ch); code != STATUS_NOERROR) return code;
  // A logical channel ends with PassThruLogicalDisconnect (open implementation).
  if (ch->logical()) return Fail(ERR_INVALID_CHANNEL_ID, "A logical channel: PassThruLogicalDisconnect");
  for (const Channel& c : channels_)
    if (c.physical == channelId) base_.Disconnect(c.id);
  base_.Disconnect(channelId);
  channels_.erase(std::remove_if(channels_.begin(), channels_.end(),
                                 [&](const Channel& c) { return c.id == channelId || c.physical == channelId; }),
                  channels_.end());
  return STATUS_NOERROR;
}

// An ISO15765_LOGICAL channel on a CAN physical channel. The descriptor's
// addresses hold the CAN identifier big-endian in bytes 0-3 and, with
// ISO15765_ADDR_TYPE, the extension byte in byte 4, as the 04.04 messages do
// (one public implementation reads the identifier from bytes 1-4 instead; the
// open implementation and the bindings' examples use bytes 0-3). Only the
// descriptor's first 18 bytes are read (they are laid out alike packed or not).
Long Sim05Device::LogicalConnect(ULong physicalId, ULong protocol, ULong flags, const void* descriptor,
                                 ULong* channelId) {
  Channel* physical = nullptr;
  if (Long code = Lookup(physicalId, &physical); code != STATUS_NOERROR) return code;
  if (descriptor == nullptr || channelId == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruLogicalConnect: pChannelDescriptor or pChannelID is NULL");
  if (physical->logical() || protocol != ISO15765_LOGICAL)
    return Fail(ERR_LOG_CHAN_NOT_ALLOWED, "ISO15765_LOGICAL channels go on a CAN physical channel");
  if (flags != 0) return Fail(ERR_FLAG_NOT_SUPPORTED, "No flags for an ISO15765_LOGICAL channel");
  Iso15765ChannelDescriptor d{};
  std::memcpy(&d, descriptor, kDescriptorBytes);
  if ((d.LocalTxFlags & ~kDescriptorTxFlags) || (d.RemoteTxFlags & ~kDescriptorTxFlags) ||
      (d.LocalTxFlags & kAddressing) != (d.RemoteTxFlags & kAddressing))
    return Fail(ERR_FLAG_NOT_SUPPORTED, "Descriptor TxFlags not valid or not alike in their addressing");
  std::size_t logicals = 0;
  const std::size_t bytes = (d.RemoteTxFlags & TX_ISO15765_ADDR_TYPE) ? 5 : 4;
  for (const Channel& c : channels_) {
    if (c.physical != physicalId) continue;
    ++logicals;
    if ((c.addressBytes == bytes && std::memcmp(c.local, d.LocalAddress, bytes) == 0) ||
        (c.addressBytes == bytes && std::memcmp(c.remote, d.RemoteAddress, bytes) == 0))
      return Fail(ERR_NOT_UNIQUE, "A logical channel with these addresses exists");
  }
  if (logicals >= kMaxLogicalPerPhysical)
    return Fail(ERR_EXCEEDED_LIMIT, "Ten logical channels per physical channel at most");
  ULong id = 0;
  if (Long code = Base(base_.Connect(kSimDeviceId, passthru::ISO15765, physical->flags, physical->baudRate,
                                     &id, true));
      code != STATUS_NOERROR)
    return code;
  // The 04.04 flow-control filter that the descriptor stands for.
  PassThruMsg& mask = scratch_;
  mask = PassThruMsg{};
  mask.ProtocolID = passthru::ISO15765;
  mask.DataSize = static_cast<ULong>(bytes);
  std::memset(mask.Data, 0xFF, bytes);
  PassThruMsg pattern = mask, flow = mask;
  pattern.TxFlags = d.LocalTxFlags;
  flow.TxFlags = d.RemoteTxFlags;
  std::memcpy(pattern.Data, d.LocalAddress, bytes);
  std::memcpy(flow.Data, d.RemoteAddress, bytes);
  ULong filter = 0;
  if (Long code = Base(base_.StartFilter(id, passthru::FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter));
      code != STATUS_NOERROR) {
    base_.Disconnect(id);
    return code;
  }
  Channel ch;
  ch.id = id;
  ch.physical = physicalId;
  ch.flags = physical->flags;
  ch.baudRate = physical->baudRate;
  ch.addressBytes = bytes;
  std::memcpy(ch.local, d.LocalAddress, bytes);
  std::memcpy(ch.remote, d.RemoteAddress, bytes);
  channels_.push_back(ch);
  *channelId = id;
  return STATUS_NOERROR;
}

Long Sim05Device::LogicalDisconnect(ULong channelId) {
  Channel* ch = nullptr;
  if (Long code = Lookup(channelId, &ch); code != STATUS_NOERROR) return code;
  if (!ch->logical()) return Fail(ERR_INVALID_CHANNEL_ID, "A physical channel: PassThruDisconnect");
  base_.Disconnect(channelId);
  channels_.erase(std::remove_if(channels_.begin(), channels_.end(),
                                 [&](const Channel& c) { return c.id == channelId; }),
                  channels_.end());
  return STATUS_NOERROR;
}

// The application's buffer is read no further than DataLength, which may not
// pass DataBufferSize (both descriptions: ERR_INVALID_MSG).
Long Sim05Device::ToBase(const Channel& ch, const v05::PassThruMsg& in, passthru::PassThruMsg* out, ULong most) {
  const ULong protocol = ch.logical() ? ISO15765_LOGICAL : CAN;
  if (in.ProtocolID != protocol) return Fail(ERR_MSG_PROTOCOL_ID, "The message's protocol is not the channel's");
  if (in.DataLength > 0 && in.DataBuffer == nullptr) return Fail(ERR_NULL_PARAMETER, "The message's DataBuffer is NULL");
  if (in.DataLength > in.DataBufferSize || in.DataLength > most)
    return Fail(ERR_INVALID_MSG, "DataLength is larger than DataBufferSize or the protocol allows");
  out->ProtocolID = ch.logical() ? passthru::ISO15765 : passthru::CAN;
  out->RxStatus = 0;
  out->TxFlags = in.TxFlags;
  out->Timestamp = 0;
  out->DataSize = in.DataLength;
  out->ExtraDataIndex = 0;
  if (in.DataLength > 0) std::memcpy(out->Data, in.DataBuffer, in.DataLength);
  return STATUS_NOERROR;
}

// On a logical channel a segmented message must go to the remote address
// (else ERR_MSG_NOT_ALLOWED, the value of 04.04's ERR_NO_FLOW_CONTROL); a
// single frame may go to any address (a functional request, 7DF).
Long Sim05Device::Queue(ULong channelId, const v05::PassThruMsg* msgs, ULong* count, std::uint64_t now) {
  Channel* ch = nullptr;
  if (count == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruQueueMsgs: pNumMsgs is NULL");
  const ULong wanted = *count;
  *count = 0;
  if (Long code = Lookup(channelId, &ch); code != STATUS_NOERROR) return code;
  if (msgs == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruQueueMsgs: pMsg is NULL");
  for (ULong i = 0; i < wanted; ++i) {
    if (Long code = ToBase(*ch, msgs[i], &scratch_, passthru::kMaxDataSize); code != STATUS_NOERROR) return code;
    ULong one = 1;
    if (Long code = Base(base_.Write(channelId, &scratch_, &one, now)); code != STATUS_NOERROR) return code;
    ++*count;
  }
  return STATUS_NOERROR;
}

// A too-small buffer: one open implementation cuts the message, sets
// DataLength to what was copied and drops the rest of the read; another
// keeps the whole DataLength and reads on. Here the message is cut to
// DataBufferSize, keeps its whole DataLength (the size the application
// needs), is counted, and the read ends with ERR_BUFFER_TOO_SMALL.
Long Sim05Device::Read(ULong channelId, v05::PassThruMsg* msgs, ULong room, ULong* read) {
  *read = 0;
  Channel* ch = nullptr;
  if (Long code = Lookup(channelId, &ch); code != STATUS_NOERROR) return code;
  if (msgs == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruReadMsgs: pMsg is NULL");
  const ULong protocol = ch->logical() ? ISO15765_LOGICAL : CAN;
  while (*read < room) {
    v05::PassThruMsg& out = msgs[*read];
    if (out.DataBuffer == nullptr && out.DataBufferSize > 0)
      return Fail(ERR_NULL_PARAMETER, "A message's DataBuffer is NULL");
    ULong got = 0;
    const Long code = base_.Read(channelId, &scratch_, 1, &got);
    if (got == 0) {
      if (code == ERR_BUFFER_EMPTY && *read > 0) return STATUS_NOERROR;
      return Base(code);
    }
    out.ProtocolID = protocol;
    out.MsgHandle = 0;
    out.RxStatus = scratch_.RxStatus;
    out.TxFlags = 0;
    out.Timestamp = scratch_.Timestamp;
    out.DataLength = scratch_.DataSize;
    out.ExtraDataIndex = scratch_.ExtraDataIndex;
    const ULong copied = std::min(scratch_.DataSize, out.DataBufferSize);
    if (copied > 0) std::memcpy(out.DataBuffer, scratch_.Data, copied);
    ++*read;
    if (copied < scratch_.DataSize)
      return Fail(ERR_BUFFER_TOO_SMALL, "A message is longer than its DataBufferSize: it was cut");
    if (code != STATUS_NOERROR) return Base(code);  // an overflow, told once
  }
  return STATUS_NOERROR;
}

Long Sim05Device::StartPeriodic(ULong channelId, const v05::PassThruMsg* msg, ULong* msgId, ULong intervalMs,
                                std::uint64_t now) {
  Channel* ch = nullptr;
  if (Long code = Lookup(channelId, &ch); code != STATUS_NOERROR) return code;
  if (msg == nullptr || msgId == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruStartPeriodicMsg: pMsg or pMsgID is NULL");
  if (Long code = ToBase(*ch, *msg, &scratch_, passthru::kMaxDataSize); code != STATUS_NOERROR) return code;
  return Base(base_.StartPeriodic(channelId, &scratch_, msgId, intervalMs, now));
}

Long Sim05Device::StopPeriodic(ULong channelId, ULong msgId) {
  Channel* ch = nullptr;
  if (Long code = Lookup(channelId, &ch); code != STATUS_NOERROR) return code;
  return Base(base_.StopPeriodic(channelId, msgId));
}

// PASS and BLOCK filters on a physical channel. 05.00 has no flow-control
// filter (the logical channel's descriptor replaces it); filters on a logical
// channel are not offered here: ERR_FILTER_TYPE_NOT_SUPPORTED.
Long Sim05Device::StartFilter(ULong channelId, ULong type, const v05::PassThruMsg* mask, const v05::PassThruMsg* pattern,
                              ULong* filterId) {
  Channel* ch = nullptr;
  if (Long code = Lookup(channelId, &ch); code != STATUS_NOERROR) return code;
  if ((type != PASS_FILTER && type != BLOCK_FILTER) || ch->logical())
    return Fail(ERR_FILTER_TYPE_NOT_SUPPORTED, "PASS and BLOCK filters on physical channels only");
  if (mask == nullptr || pattern == nullptr || filterId == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruStartMsgFilter: a required pointer is NULL");
  static passthru::PassThruMsg maskMsg, patternMsg;  // 4 KiB each: not on the stack
  if (Long code = ToBase(*ch, *mask, &maskMsg, 12); code != STATUS_NOERROR) return code;
  if (Long code = ToBase(*ch, *pattern, &patternMsg, 12); code != STATUS_NOERROR) return code;
  return Base(base_.StartFilter(channelId, type, &maskMsg, &patternMsg, nullptr, filterId));
}

Long Sim05Device::StopFilter(ULong channelId, ULong filterId) {
  Channel* ch = nullptr;
  if (Long code = Lookup(channelId, &ch); code != STATUS_NOERROR) return code;
  return Base(base_.StopFilter(channelId, filterId));
}

Long Sim05Device::SetProgrammingVoltage(ULong deviceId, const ResourceStruct& resources, ULong millivolts) {
  if (!base_.open()) return Fail(ERR_DEVICE_NOT_OPEN, "The device is not open");
  if (resources.NumOfResources > 0 && resources.ResourceListPtr == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruSetProgrammingVoltage: ResourceListPtr is NULL");
  if (resources.Connector != J1962_CONNECTOR || resources.NumOfResources != 1)
    return Fail(ERR_PIN_NOT_SUPPORTED, "One pin of the J1962 connector");
  return Base(base_.SetProgrammingVoltage(deviceId, resources.ResourceListPtr[0], millivolts));
}

Long Sim05Device::ReadVersion(ULong deviceId, char* firmware, char* library, char* api) {
  if (!base_.open()) return Fail(ERR_DEVICE_NOT_OPEN, "The device is not open");
  if (Long code = Base(base_.ReadVersion(deviceId, firmware, library, api)); code != STATUS_NOERROR) return code;
  PutText(api, kApi05Version);
  return STATUS_NOERROR;
}

}  // namespace simulator
