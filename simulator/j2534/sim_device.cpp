// The simulated J2534 VCI's calls: each checks its arguments against the
// device, the channel and the standard's rules (see sim_device.h).
#include "simulator/j2534/sim_device.h"

#include "simulator/scenario/scenario_settings.h"

#include <algorithm>
#include <cstring>

#include "simulator/j2534/sim_channel.h"

namespace simulator {

SimDevice::SimDevice() = default;
SimDevice::~SimDevice() = default;

Long SimDevice::Fail(Long code, const char* text) {
  lastError_.assign(text, std::min<std::size_t>(std::strlen(text), kTextChars - 1));
  return code;
}

SimDevice::Channel* SimDevice::Find(ULong channelId) {
  if (!open_) return nullptr;
  for (auto& ch : channels_)
    if (ch->id == channelId) return ch.get();
  return nullptr;
}

Long SimDevice::Open(const void* name, ULong* deviceId) {
  (void)name;  // one device: any name (or none) opens it
  if (deviceId == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruOpen: pDeviceID is NULL");
  if (open_) return Fail(ERR_DEVICE_IN_USE, "The simulated device is already open");
  open_ = true;
  *deviceId = kSimDeviceId;
  return STATUS_NOERROR;
}

Long SimDevice::Close(ULong deviceId) {
  if (!Opened(deviceId)) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  channels_.clear();
  programmingMillivolts_ = 0;
  open_ = false;
  return STATUS_NOERROR;
}

Long SimDevice::Connect(ULong deviceId, ULong protocol, ULong flags, ULong baudRate,
                        ULong* channelId, bool shared) {
  if (!Opened(deviceId)) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  if (channelId == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruConnect: pChannelID is NULL");
  if (protocol != CAN && protocol != ISO15765) {
    if (protocol >= J1850VPW && protocol <= SCI_B_TRANS)
      return Fail(ERR_NOT_SUPPORTED, "The simulated device has CAN and ISO15765 only");
    return Fail(ERR_INVALID_PROTOCOL_ID, "Unknown protocol id");
  }
  if (flags & ~kConnectFlags) return Fail(ERR_INVALID_FLAGS, "Connect flags not valid for CAN");
  if (!Supported(baudRate))
    return Fail(ERR_INVALID_BAUDRATE, "Baud rate must be 125000, 250000 or 500000");
  for (const auto& ch : channels_)
    if (ch->protocol == protocol && !shared) return Fail(ERR_CHANNEL_IN_USE, "Protocol already connected");
  auto ch = std::make_unique<Channel>();
  ch->id = nextChannelId_++;
  ch->protocol = protocol;
  ch->flags = flags;
  ch->dataRate = baudRate;
  *channelId = ch->id;
  channels_.push_back(std::move(ch));
  return STATUS_NOERROR;
}

Long SimDevice::Disconnect(ULong channelId) {
  return OnChannel(channelId, [&](Channel& ch) -> Long {
    channels_.erase(std::find_if(channels_.begin(), channels_.end(),
                                 [&ch](const auto& c) { return c.get() == &ch; }));
    return STATUS_NOERROR;
  });
}

Long SimDevice::Read(ULong channelId, PassThruMsg* msgs, ULong room, ULong* read) {
  *read = 0;
  return OnChannel(channelId, [&](Channel& ch) -> Long {
    if (msgs == nullptr) return Fail(ERR_NULL_PARAMETER, "PassThruReadMsgs: pMsg is NULL");
    while (*read < room && !ch.rx.empty()) {
      msgs[*read] = ch.rx.front();
      ch.rx.pop_front();
      ++*read;
    }
    if (ch.overflow) {
      ch.overflow = false;
      return Fail(ERR_BUFFER_OVERFLOW, "The receive queue overflowed: messages were lost");
    }
    if (*read == 0) return Fail(ERR_BUFFER_EMPTY, "No message in the receive queue");
    return STATUS_NOERROR;
  });
}

Long SimDevice::CheckMessage(const Channel& ch, const PassThruMsg& msg, bool periodic) {
  if (msg.ProtocolID != ch.protocol)
    return Fail(ERR_MSG_PROTOCOL_ID, "The message's protocol is not the channel's");
  if (msg.TxFlags & ~(ch.iso() ? kIsoTxFlags : kCanTxFlags))
    return Fail(ERR_INVALID_FLAGS, "TxFlags not valid for the channel's protocol");
  const bool extendedId = (msg.TxFlags & TX_CAN_29BIT_ID) != 0;
  if (!ch.Hears(extendedId))
    return Fail(ERR_INVALID_MSG, "11/29-bit identifier does not match the connect flags");
  if (msg.DataSize < 4 || IdOf(msg) > (extendedId ? 0x1FFFFFFFu : 0x7FFu))
    return Fail(ERR_INVALID_MSG, "The message has no valid CAN identifier");
  const ULong header = msg.TxFlags & TX_ISO15765_ADDR_TYPE ? 5 : 4;
  ULong most = 12;
  if (ch.iso()) most = periodic ? 4 + 7 : header + kMaxIsoTpPayload;  // periodic: single frames
  if (msg.DataSize > most || (ch.iso() && msg.DataSize <= header))
    return Fail(ERR_INVALID_MSG, "DataSize out of range for the channel's protocol");
  return STATUS_NOERROR;
}

Long SimDevice::Write(ULong channelId, const PassThruMsg* msgs, ULong* count, std::uint64_t now) {
  return OnChannel(channelId, [&](Channel& ch) -> Long {
    if (msgs == nullptr || count == nullptr)
      return Fail(ERR_NULL_PARAMETER, "PassThruWriteMsgs: pMsg or pNumMsgs is NULL");
    const ULong wanted = *count;
    *count = 0;
    Long code = STATUS_NOERROR;
    for (ULong i = 0; i < wanted; ++i) {
      const PassThruMsg& msg = msgs[i];
      if (code = CheckMessage(ch, msg, false); code != STATUS_NOERROR) break;
      // ISO15765: only a segmented message must match a flow-control filter;
      // "non-segmented messages do not need to match" one.
      const ULong header = msg.TxFlags & TX_ISO15765_ADDR_TYPE ? 5 : 4;
      if (ch.iso() && msg.DataSize - header > SingleFrameRoom(header == 5) &&
          ch.FlowFilterFor(msg) == nullptr) {
        code = Fail(ERR_NO_FLOW_CONTROL, "No flow-control filter for the segmented message's identifier");
        break;
      }
      if (ch.tx.size() >= kTxQueueLimit) {
        code = Fail(ERR_BUFFER_FULL, "The transmit queue is full");
        break;
      }
      ch.tx.push_back(msg);
      ++*count;
    }
    std::vector<CanFrame> frames;
    ch.Pump(now, frames);
    Deliver(std::move(frames), &ch, now);
    return code;
  });
}

ULong SimDevice::TxPending(ULong channelId) {
  Channel* ch = Find(channelId);
  return ch == nullptr ? 0 : ch->Pending();
}

ULong SimDevice::RxPending(ULong channelId) {
  Channel* ch = Find(channelId);
  return ch == nullptr ? 0 : static_cast<ULong>(ch->rx.size());
}

Long SimDevice::StartPeriodic(ULong channelId, const PassThruMsg* msg, ULong* msgId,
                              ULong intervalMs, std::uint64_t now) {
  return OnChannel(channelId, [&](Channel& ch) -> Long {
    if (msg == nullptr || msgId == nullptr)
      return Fail(ERR_NULL_PARAMETER, "PassThruStartPeriodicMsg: pMsg or pMsgID is NULL");
    if (Long code = CheckMessage(ch, *msg, true); code != STATUS_NOERROR) return code;
    if (intervalMs < 5 || intervalMs > 65535)
      return Fail(ERR_INVALID_TIME_INTERVAL, "Interval must be 5 to 65535 ms");
    if (ch.periodic.size() >= kMaxPeriodicPerChannel)
      return Fail(ERR_EXCEEDED_LIMIT, "Ten periodic messages per channel at most");
    Periodic p;
    p.id = ch.nextPeriodicId++;
    p.intervalMs = intervalMs;
    p.due = now;  // the first goes out at once, then one every interval
    p.msg = *msg;
    ch.periodic.push_back(p);
    *msgId = p.id;
    RunDue(now);
    return STATUS_NOERROR;
  });
}

Long SimDevice::StopPeriodic(ULong channelId, ULong msgId) {
  return OnChannel(channelId, [&](Channel& ch) -> Long {
    auto it = std::find_if(ch.periodic.begin(), ch.periodic.end(),
                           [msgId](const Periodic& p) { return p.id == msgId; });
    if (it == ch.periodic.end()) return Fail(ERR_INVALID_MSG_ID, "Unknown periodic message id");
    ch.periodic.erase(it);
    return STATUS_NOERROR;
  });
}

Long SimDevice::StartFilter(ULong channelId, ULong type, const PassThruMsg* mask,
                            const PassThruMsg* pattern, const PassThruMsg* flowControl,
                            ULong* filterId) {
  return OnChannel(channelId, [&](Channel& ch) -> Long {
    if (type != PASS_FILTER && type != BLOCK_FILTER && type != FLOW_CONTROL_FILTER)
      return Fail(ERR_NOT_SUPPORTED, "Unknown filter type");
    // PASS and BLOCK filters "must not be used" on ISO15765 channels, and
    // flow-control filters exist for ISO15765 only. The public descriptions name
    // ERR_INVALID_FILTER_ID for the first; for the second some give
    // ERR_INVALID_MSG or ERR_NOT_SUPPORTED: the same code as the first is kept,
    // as both are a filter type the channel's protocol has not.
    if (ch.iso() != (type == FLOW_CONTROL_FILTER))
      return Fail(ERR_INVALID_FILTER_ID, ch.iso() ? "ISO15765 channels take flow-control filters only"
                                                   : "Flow-control filters belong to ISO15765 channels");
    if (mask == nullptr || pattern == nullptr || filterId == nullptr ||
        (type == FLOW_CONTROL_FILTER && flowControl == nullptr))
      return Fail(ERR_NULL_PARAMETER, "PassThruStartMsgFilter: a required pointer is NULL");
    if (mask->ProtocolID != ch.protocol || pattern->ProtocolID != ch.protocol ||
        (type == FLOW_CONTROL_FILTER && flowControl->ProtocolID != ch.protocol))
      return Fail(ERR_MSG_PROTOCOL_ID, "A filter message's protocol is not the channel's");
    if (mask->DataSize != pattern->DataSize || mask->DataSize < 1 || mask->DataSize > 12)
      return Fail(ERR_INVALID_MSG, "Mask and pattern need the same DataSize of 1 to 12");
    Filter filter;
    filter.type = type;
    filter.mask = *mask;
    filter.pattern = *pattern;
    if (type == FLOW_CONTROL_FILTER) {
      // The pattern and the flow-control message address the same link: their
      // 29-bit and extended-addressing flags must agree. The mask's flags are
      // not compared (applications commonly leave them zero); ISO15765_FRAME_PAD
      // may differ, as it concerns only the frames the channel sends.
      constexpr ULong kAddressing = TX_CAN_29BIT_ID | TX_ISO15765_ADDR_TYPE;
      if ((pattern->TxFlags & kAddressing) != (flowControl->TxFlags & kAddressing))
        return Fail(ERR_INVALID_MSG, "Pattern and flow-control message differ in their addressing flags");
      filter.flow = *flowControl;
      const ULong header = filter.extendedAddressing() ? 5 : 4;
      if (mask->DataSize != header || flowControl->DataSize != header ||
          IdOf(*flowControl) > ((flowControl->TxFlags & TX_CAN_29BIT_ID) ? 0x1FFFFFFFu : 0x7FFu))
        return Fail(ERR_INVALID_MSG, "Flow-control filter messages need the identifier only");
      for (const Filter& other : ch.filters) {
        if (other.type != FLOW_CONTROL_FILTER) continue;
        if (std::memcmp(other.pattern.Data, pattern->Data, header) == 0 ||
            std::memcmp(other.flow.Data, flowControl->Data, header) == 0)
          return Fail(ERR_NOT_UNIQUE, "A flow-control filter for these identifiers exists");
      }
    }
    if (ch.filters.size() >= kMaxFiltersPerChannel)
      return Fail(ERR_EXCEEDED_LIMIT, "Ten filters per channel at most");
    filter.id = ch.nextFilterId++;
    *filterId = filter.id;
    ch.filters.push_back(filter);
    return STATUS_NOERROR;
  });
}

Long SimDevice::StopFilter(ULong channelId, ULong filterId) {
  return OnChannel(channelId, [&](Channel& ch) -> Long {
    auto it = std::find_if(ch.filters.begin(), ch.filters.end(),
                           [filterId](const Filter& f) { return f.id == filterId; });
    if (it == ch.filters.end()) return Fail(ERR_INVALID_FILTER_ID, "Unknown filter id");
    ch.filters.erase(it);
    return STATUS_NOERROR;
  });
}

Long SimDevice::SetProgrammingVoltage(ULong deviceId, ULong pin, ULong millivolts) {
  if (!Opened(deviceId)) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  static const ULong kPins[] = {0, 6, 9, 11, 12, 13, 14, 15};
  if (std::find(std::begin(kPins), std::end(kPins), pin) == std::end(kPins))
    return Fail(ERR_PIN_INVALID, "Not a programming pin");
  const bool off = millivolts == 0xFFFFFFFF;
  const bool ground = millivolts == 0xFFFFFFFE;
  if (!off && !ground && (millivolts < 5000 || millivolts > 20000))
    return Fail(ERR_EXCEEDED_LIMIT, "Programming voltage must be 5000 to 20000 mV");
  if (ground && pin != 15) return Fail(ERR_PIN_INVALID, "Only pin 15 can be shorted to ground");
  programmingPin_ = pin;
  programmingMillivolts_ = off || ground ? 0 : millivolts;
  return STATUS_NOERROR;
}

Long SimDevice::ReadVersion(ULong deviceId, char* firmware, char* library, char* api) {
  if (!Opened(deviceId)) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
  if (firmware == nullptr || library == nullptr || api == nullptr)
    return Fail(ERR_NULL_PARAMETER, "PassThruReadVersion: a text buffer is NULL");
  PutText(firmware, kFirmwareVersion);
  PutText(library, kLibraryVersion);
  PutText(api, kApiVersion);
  return STATUS_NOERROR;
}

Long SimDevice::Config(Channel& ch, ULong ioctlId, void* input) {
  if (input == nullptr) return Fail(ERR_NULL_PARAMETER, "GET_CONFIG/SET_CONFIG: pInput is NULL");
  auto* list = static_cast<SConfigList*>(input);
  if (list->NumOfParams > kMaxConfigParams)
    return Fail(ERR_INVALID_IOCTL_VALUE, "More than 64 parameters in one list");
  if (list->NumOfParams > 0 && list->ConfigPtr == nullptr)
    return Fail(ERR_NULL_PARAMETER, "GET_CONFIG/SET_CONFIG: ConfigPtr is NULL");
  const bool set = ioctlId == SET_CONFIG;
  for (ULong i = 0; i < list->NumOfParams; ++i) {
    SConfig& p = list->ConfigPtr[i];
    ULong* value = nullptr;
    ULong most = 0xFF;
    switch (p.Parameter) {
      case DATA_RATE:
        if (set && !Supported(p.Value))
          return Fail(ERR_INVALID_BAUDRATE, "Baud rate must be 125000, 250000 or 500000");
        value = &ch.dataRate;
        most = 0xFFFFFFFF;
        break;
      case LOOPBACK: value = &ch.loopback; most = 1; break;
      case BIT_SAMPLE_POINT: value = &ch.bitSamplePoint; most = 100; break;
      case SYNC_JUMP_WIDTH: value = &ch.syncJumpWidth; most = 100; break;
      case ISO15765_BS: value = ch.iso() ? &ch.blockSize : nullptr; break;
      case ISO15765_STMIN: value = ch.iso() ? &ch.stMin : nullptr; break;
      case ISO15765_WFT_MAX: value = ch.iso() ? &ch.wftMax : nullptr; break;
      case BS_TX: value = ch.iso() ? &ch.blockSizeTx : nullptr; most = kNoOverride; break;
      case STMIN_TX: value = ch.iso() ? &ch.stMinTx : nullptr; most = kNoOverride; break;
      default: break;
    }
    if (value == nullptr) return Fail(ERR_NOT_SUPPORTED, "Parameter not supported on this channel");
    if (!set) {
      p.Value = *value;
      continue;
    }
    const bool overrideValue = (p.Parameter == BS_TX || p.Parameter == STMIN_TX);
    if (p.Value > most || (overrideValue && p.Value > 0xFF && p.Value != kNoOverride))
      return Fail(ERR_INVALID_IOCTL_VALUE, "Parameter value out of range");
    *value = p.Value;
  }
  return STATUS_NOERROR;
}

Long SimDevice::Ioctl(ULong id, ULong ioctlId, void* input, void* output, std::uint64_t now) {
  switch (ioctlId) {
    case READ_VBATT:
    case READ_PROG_VOLTAGE: {
      if (!open_ || (id != kSimDeviceId && Find(id) == nullptr))
        return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
      if (output == nullptr) return Fail(ERR_NULL_PARAMETER, "Ioctl: pOutput is NULL");
      *static_cast<ULong*>(output) =
          ioctlId == READ_VBATT ? vehicle_.vehicle().BatteryMillivolts(now / 1000)
                                : programmingMillivolts_;
      return STATUS_NOERROR;
    }
    case kIoctlScenarioAnswered: {
      if (!Opened(id)) return Fail(ERR_INVALID_DEVICE_ID, "Unknown device id");
      if (output == nullptr) return Fail(ERR_NULL_PARAMETER, "Ioctl: pOutput is NULL");
      const Scenario* scenario = vehicle_.vehicle().scenario();
      *static_cast<ULong*>(output) =
          scenario == nullptr ? kNoScenario : static_cast<ULong>(scenario->answered());
      return STATUS_NOERROR;
    }
    case GET_CONFIG:
    case SET_CONFIG:
    case CLEAR_TX_BUFFER:
    case CLEAR_RX_BUFFER:
    case CLEAR_PERIODIC_MSGS:
    case CLEAR_MSG_FILTERS:
    case FIVE_BAUD_INIT:
    case FAST_INIT:
    case CLEAR_FUNCT_MSG_LOOKUP_TABLE:
    case ADD_TO_FUNCT_MSG_LOOKUP_TABLE:
    case DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE: break;
    default: return Fail(ERR_INVALID_IOCTL_ID, "Unknown Ioctl id");
  }
  return OnChannel(id, [&](Channel& ch) -> Long {
    switch (ioctlId) {
      case GET_CONFIG:
      case SET_CONFIG: return Config(ch, ioctlId, input);
      case CLEAR_TX_BUFFER:
        // Messages not yet started are dropped, and so are segmented ones under way.
        ch.tx.clear();
        for (Filter& f : ch.filters)
          if (f.sender.busy()) f.sender.Abort();
        return STATUS_NOERROR;
      case CLEAR_RX_BUFFER:
        ch.rx.clear();
        ch.overflow = false;
        return STATUS_NOERROR;
      case CLEAR_PERIODIC_MSGS: ch.periodic.clear(); return STATUS_NOERROR;
      case CLEAR_MSG_FILTERS: ch.filters.clear(); return STATUS_NOERROR;
      default: return Fail(ERR_NOT_SUPPORTED, "Ioctl not supported on CAN and ISO15765 channels");
    }
  });
}

}  // namespace simulator
