// The simulated J2534 05.00 device's controls: PassThruIoctl on the device,
// a physical or a logical channel, and PassThruSelect's rules (see
// sim05_device.h).
#include <algorithm>
#include <cstring>

#include "simulator/j2534_v05/sim05_device.h"
#include "simulator/scenario/scenario_settings.h"

namespace simulator {

using namespace passthru::v05;

namespace {

// The parameters each kind of channel has (05.00 reserves 04.04's LOOPBACK,
// BIT_SAMPLE_POINT and SYNC_JUMP_WIDTH); others are ERR_IOCTL_PARAM_ID_NOT_SUPPORTED.
bool Has(bool logical, ULong parameter) {
  if (!logical) return parameter == DATA_RATE;
  switch (parameter) {
    case ISO15765_BS:
    case ISO15765_STMIN:
    case BS_TX:
    case STMIN_TX:
    case ISO15765_WAIT_LIMIT: return true;  // 04.04's ISO15765_WFT_MAX, the same id
    default: return false;
  }
}

}  // namespace

// GET_CONFIG / SET_CONFIG: the list goes to the 04.04 device once every
// parameter in it is one the channel has. pOutput must be NULL (the open
// implementation: ERR_NULL_REQUIRED).
Long Sim05Device::Config(const Channel& ch, ULong ioctlId, void* input, void* output) {
  if (input == nullptr) return Fail(ERR_NULL_PARAMETER, "GET_CONFIG/SET_CONFIG: pInput is NULL");
  if (output != nullptr) return Fail(ERR_NULL_REQUIRED, "GET_CONFIG/SET_CONFIG: pOutput must be NULL");
  const auto* list = static_cast<const SConfigList*>(input);
  if (list->NumOfParams > kMaxConfigParams)
    return Fail(ERR_IOCTL_VALUE_NOT_SUPPORTED, "More than 64 parameters in one list");
  if (list->NumOfParams > 0 && list->ConfigPtr == nullptr)
    return Fail(ERR_NULL_PARAMETER, "GET_CONFIG/SET_CONFIG: ConfigPtr is NULL");
  for (ULong i = 0; i < list->NumOfParams; ++i)
    if (!Has(ch.logical(), list->ConfigPtr[i].Parameter))
      return Fail(ERR_IOCTL_PARAM_ID_NOT_SUPPORTED, "Parameter not supported on this channel");
  return Base(base_.Ioctl(ch.id, ioctlId, input, nullptr));
}

// READ_PIN_VOLTAGE (04.04's READ_VBATT, now for any pin named by a
// RESOURCE_STRUCT): pin 16 gives the battery, the ground pins 0 V.
Long Sim05Device::PinVoltage(ULong deviceId, const void* input, void* output, std::uint64_t now) {
  if (!Opened(deviceId)) return Fail(ERR_INVALID_DEVICE_ID, "READ_PIN_VOLTAGE: the target is the device id");
  if (input == nullptr || output == nullptr)
    return Fail(ERR_NULL_PARAMETER, "READ_PIN_VOLTAGE: pInput or pOutput is NULL");
  const auto* pins = static_cast<const ResourceStruct*>(input);
  if (pins->NumOfResources > 0 && pins->ResourceListPtr == nullptr)
    return Fail(ERR_NULL_PARAMETER, "READ_PIN_VOLTAGE: ResourceListPtr is NULL");
  if (pins->Connector != J1962_CONNECTOR || pins->NumOfResources != 1)
    return Fail(ERR_PIN_NOT_SUPPORTED, "READ_PIN_VOLTAGE: one pin of the J1962 connector");
  const ULong pin = pins->ResourceListPtr[0];
  if (pin == kChassisGroundPin || pin == kSignalGroundPin) {
    *static_cast<ULong*>(output) = 0;
    return STATUS_NOERROR;
  }
  if (pin != kBatteryPin) return Fail(ERR_PIN_NOT_SUPPORTED, "READ_PIN_VOLTAGE: pins 4, 5 and 16");
  return Base(base_.Ioctl(deviceId, passthru::READ_VBATT, nullptr, output, now));
}

Long Sim05Device::Ioctl(ULong target, ULong ioctlId, void* input, void* output, std::uint64_t now) {
  if (!base_.open()) return Fail(ERR_DEVICE_NOT_OPEN, "The device is not open");
  switch (ioctlId) {
    case READ_PIN_VOLTAGE: return PinVoltage(target, input, output, now);
    case READ_PROG_VOLTAGE:
      if (!Opened(target)) return Fail(ERR_INVALID_DEVICE_ID, "READ_PROG_VOLTAGE: the target is the device id");
      if (input != nullptr) return Fail(ERR_NULL_REQUIRED, "READ_PROG_VOLTAGE: pInput must be NULL");
      return Base(base_.Ioctl(target, passthru::READ_PROG_VOLTAGE, nullptr, output, now));
    case kIoctlScenarioAnswered: return Base(base_.Ioctl(target, ioctlId, input, output, now));
    default: break;
  }
  Channel* ch = nullptr;
  if (Long code = Lookup(target, &ch); code != STATUS_NOERROR) return code;
  switch (ioctlId) {
    case GET_CONFIG:
    case SET_CONFIG: return Config(*ch, ioctlId, input, output);
    case CLEAR_TX_QUEUE:
    case CLEAR_RX_QUEUE:
    case CLEAR_PERIODIC_MSGS:
      if (input != nullptr || output != nullptr) return Fail(ERR_NULL_REQUIRED, "pInput and pOutput must be NULL");
      return Base(base_.Ioctl(target, ioctlId, nullptr, nullptr, now));
    case CLEAR_MSG_FILTERS:
      if (input != nullptr || output != nullptr) return Fail(ERR_NULL_REQUIRED, "pInput and pOutput must be NULL");
      // A logical channel has no filters of the application's (its own
      // flow-control filter underneath stays).
      return ch->logical() ? STATUS_NOERROR : Base(base_.Ioctl(target, ioctlId, nullptr, nullptr, now));
    case BUS_ON:
      if (!ch->logical()) return STATUS_NOERROR;  // the CAN controller is on the bus from connect
      break;
    default: break;
  }
  return Fail(ERR_IOCTL_ID_NOT_SUPPORTED, "Ioctl not supported on this channel");
}

// PassThruSelect's checks. Both descriptions with rules: READABLE_TYPE only
// (ERR_SELECT_TYPE_NOT_SUPPORTED); an unknown or repeated id is
// ERR_INVALID_CHANNEL_ID; a threshold above the count ERR_EXCEEDED_LIMIT.
Long Sim05Device::CheckSelect(const SChannelSet* set, ULong selectType) {
  if (!base_.open()) return Fail(ERR_DEVICE_NOT_OPEN, "The device is not open");
  if (set == nullptr || (set->ChannelCount > 0 && set->ChannelList == nullptr))
    return Fail(ERR_NULL_PARAMETER, "PassThruSelect: ChannelSetPtr or its ChannelList is NULL");
  if (selectType != READABLE_TYPE) return Fail(ERR_SELECT_TYPE_NOT_SUPPORTED, "Only READABLE_TYPE");
  if (set->ChannelCount > kMaxSelectChannels || set->ChannelThreshold > set->ChannelCount)
    return Fail(ERR_EXCEEDED_LIMIT, "Too many channels, or a threshold above their count");
  for (ULong i = 0; i < set->ChannelCount; ++i) {
    if (Find(set->ChannelList[i]) == nullptr) return Fail(ERR_INVALID_CHANNEL_ID, "Unknown channel id in the set");
    for (ULong j = 0; j < i; ++j)
      if (set->ChannelList[j] == set->ChannelList[i])
        return Fail(ERR_INVALID_CHANNEL_ID, "A channel id twice in the set");
  }
  return STATUS_NOERROR;
}

ULong Sim05Device::ReadyCount(const SChannelSet& set) {
  ULong ready = 0;
  for (ULong i = 0; i < set.ChannelCount && i < kMaxSelectChannels; ++i)
    if (base_.RxPending(set.ChannelList[i]) > 0) ++ready;
  return ready;
}

// The answer, as the open implementation gives it (the other descriptions
// say only that the set comes back with the channels that have messages):
// none is ERR_BUFFER_EMPTY; fewer than the threshold after a wait (timeout
// not 0) ERR_TIMEOUT; else STATUS_NOERROR. A set of 0 channels answers at once.
Long Sim05Device::AnswerSelect(SChannelSet* set, bool waited) {
  const ULong threshold = set->ChannelThreshold;
  ULong ready = 0;
  for (ULong i = 0; i < set->ChannelCount && i < kMaxSelectChannels; ++i)
    if (base_.RxPending(set->ChannelList[i]) > 0) set->ChannelList[ready++] = set->ChannelList[i];
  set->ChannelCount = ready;
  if (ready == 0) return Fail(ERR_BUFFER_EMPTY, "No channel of the set has a message");
  if (waited && ready < threshold) return Fail(ERR_TIMEOUT, "Fewer channels than the threshold have messages");
  return STATUS_NOERROR;
}

}  // namespace simulator
