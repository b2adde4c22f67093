// The simulated VCI as a J2534 05.00 device: one device found by discovery,
// opened by its name, with CAN physical channels and ISO15765_LOGICAL logical
// channels on them, in front of the same simulated vehicle as the 04.04
// device. It translates each 05.00 call to the 04.04 device underneath
// (sim_device.h), which carries the bus, the ISO 15765 transport and the
// vehicle: a physical channel is a CAN channel there, a logical channel an
// ISO15765 channel of its own with one flow-control filter made from the
// channel descriptor (local address = the identifier the ECU answers on,
// remote address = the one it is addressed with). Free of Windows headers and
// of waiting; time is an argument (microseconds), so it fuzzes natively.
//
// The rules were settled against public descriptions of 05.00 (a C definition
// file with the standard's comments, an open implementation, a vendor's
// reference pages, two language bindings); where they disagree the choice is
// noted at the rule in sim05_device.cpp or sim05_controls.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "passthru/j2534_v05.h"
#include "simulator/j2534/sim_device.h"

namespace simulator {

namespace v05 = passthru::v05;

constexpr char kDevice05Name[] = "OVRA VCI 05";     // SDEVICE::DeviceName, PassThruOpen's name
constexpr char kOpenNamePrefix[] = "J2534-1:";      // optional before the name
constexpr char kApi05Version[] = "05.00";
constexpr std::size_t kMaxLogicalPerPhysical = 10;  // logical channels on one physical channel
constexpr std::size_t kMaxSelectChannels = 16;      // ids in one PassThruSelect set
constexpr ULong kUsbFullSpeed = 12000000;           // SDEVICE::DeviceConnectSpeed, bit/s
// J1962 pins: CAN high and low, battery, grounds.
constexpr ULong kCanHighPin = 6, kCanLowPin = 14, kBatteryPin = 16, kChassisGroundPin = 4,
                kSignalGroundPin = 5;

class Sim05Device {
 public:
  // Discovery: one device. ScanForDevices (again) starts the list over.
  v05::Long ScanForDevices(ULong* count);
  v05::Long GetNextDevice(v05::SDevice* device);

  v05::Long Open(const char* name, ULong* deviceId);
  v05::Long Close(ULong deviceId);
  v05::Long Connect(ULong deviceId, ULong protocol, ULong flags, ULong baudRate,
                    const v05::ResourceStruct& resources, ULong* channelId);
  // Also ends the physical channel's logical channels.
  v05::Long Disconnect(ULong channelId);
  v05::Long LogicalConnect(ULong physicalId, ULong protocol, ULong flags, const void* descriptor,
                           ULong* channelId);
  v05::Long LogicalDisconnect(ULong channelId);
  // Queues `*count` messages (none is waited for); *count says how many were queued.
  v05::Long Queue(ULong channelId, const v05::PassThruMsg* msgs, ULong* count, std::uint64_t now);
  // Moves up to `room` messages into the application's messages and their
  // buffers; *read says how many. A message longer than its DataBufferSize
  // is cut to it, counted, keeps its whole DataLength and ends the read with
  // ERR_BUFFER_TOO_SMALL. ERR_BUFFER_EMPTY when there were none.
  v05::Long Read(ULong channelId, v05::PassThruMsg* msgs, ULong room, ULong* read);
  v05::Long StartPeriodic(ULong channelId, const v05::PassThruMsg* msg, ULong* msgId,
                          ULong intervalMs, std::uint64_t now);
  v05::Long StopPeriodic(ULong channelId, ULong msgId);
  v05::Long StartFilter(ULong channelId, ULong type, const v05::PassThruMsg* mask,
                        const v05::PassThruMsg* pattern, ULong* filterId);
  v05::Long StopFilter(ULong channelId, ULong filterId);
  v05::Long SetProgrammingVoltage(ULong deviceId, const v05::ResourceStruct& resources,
                                  ULong millivolts);
  v05::Long ReadVersion(ULong deviceId, char* firmware, char* library, char* api);
  // `target`: the device (READ_PIN_VOLTAGE, READ_PROG_VOLTAGE), a physical or
  // a logical channel (the others).
  v05::Long Ioctl(ULong target, ULong ioctlId, void* input, void* output, std::uint64_t now);

  // PassThruSelect without the wait: the set's checks (STATUS_NOERROR when it
  // may be waited on), how many of its channels have messages now, and the
  // answer written into the set (its list: the channels with messages, in
  // the set's order; its count: how many) with the call's return code.
  v05::Long CheckSelect(const v05::SChannelSet* set, ULong selectType);
  ULong ReadyCount(const v05::SChannelSet& set);
  v05::Long AnswerSelect(v05::SChannelSet* set, bool waited);

  // As the 04.04 device's (sim_device.h).
  void SetFaults(const Faults& faults) { base_.SetFaults(faults); }
  void SetScenario(std::shared_ptr<Scenario> scenario, bool only, std::uint32_t speedPercent,
                   std::uint64_t now) {
    base_.SetScenario(std::move(scenario), only, speedPercent, now);
  }
  std::uint64_t NextDue() const { return base_.NextDue(); }
  void RunDue(std::uint64_t now) { base_.RunDue(now); }
  bool open() const { return base_.open(); }
  const std::string& lastError() const { return lastError_; }
  // The device underneath (its timer runs what is due).
  SimDevice& base() { return base_; }

 private:
  struct Channel {
    ULong id = 0;          // the 04.04 device's channel id, also the 05.00 id
    ULong physical = 0;    // logical: its physical channel's id; physical: 0
    ULong flags = 0, baudRate = 0;
    std::uint8_t local[v05::kAddressBytes] = {}, remote[v05::kAddressBytes] = {};
    std::size_t addressBytes = 4;  // 5 with extended addressing
    bool logical() const { return physical != 0; }
  };
  v05::Long Fail(v05::Long code, const char* text);
  // The base device's code, with its text as the last error.
  v05::Long Base(v05::Long code);
  Channel* Find(ULong channelId);
  // The channel of a call, or the code to fail it with.
  v05::Long Lookup(ULong channelId, Channel** channel);
  // An application's message as the base device's (ERR_* when it cannot be one).
  v05::Long ToBase(const Channel& ch, const v05::PassThruMsg& in, PassThruMsg* out, ULong most);
  v05::Long Config(const Channel& ch, ULong ioctlId, void* input, void* output);
  v05::Long PinVoltage(ULong deviceId, const void* input, void* output, std::uint64_t now);
  bool Opened(ULong deviceId) const { return base_.open() && deviceId == kSimDeviceId; }

  SimDevice base_;
  std::vector<Channel> channels_;
  bool scanned_ = false;
  ULong nextDevice_ = 0;
  std::string lastError_;
  PassThruMsg scratch_{};  // one message in the base device's form (4 KiB: not on the stack)
};

}  // namespace simulator
