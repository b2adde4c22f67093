// The simulated VCI's device: one device with CAN and ISO15765 channels on a
// simulated bus that carries the simulated vehicle (engine and transmission). It checks every J2534
// argument and returns the standard's codes; it neither locks nor waits (the
// library around it does both) and takes the time as an argument, so that it
// is free of Windows headers and runs natively under the fuzzer.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "passthru/j2534.h"
#include "simulator/vehicle/isotp.h"
#include "simulator/vehicle/vehicle_node.h"

namespace simulator {

using passthru::Long;
using passthru::PassThruMsg;
using passthru::ULong;

constexpr ULong kSimDeviceId = 1;
constexpr std::size_t kMaxFiltersPerChannel = 10;
constexpr std::size_t kMaxPeriodicPerChannel = 10;
constexpr std::size_t kRxQueueLimit = 512;      // messages per channel before overflow
constexpr std::size_t kTxQueueLimit = 64;       // messages per channel waiting to be sent
constexpr ULong kMaxConfigParams = 64;          // SCONFIG entries per GET/SET_CONFIG call
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
constexpr char kFirmwareVersion[] = "OVRA-SIM 1.0";
constexpr char kLibraryVersion[] = "1.0.0";
constexpr char kApiVersion[] = "04.04";

class SimDevice {
 public:
  SimDevice();
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // The 14 calls with their J2534 meaning; `now` is in microseconds.
  Long Open(const void* name, ULong* deviceId);
  Long Close(ULong deviceId);
  // `shared`: another channel of the same protocol may be connected (the
  // 05.00 device's logical channels are each an ISO15765 channel of their own).
  Long Connect(ULong deviceId, ULong protocol, ULong flags, ULong baudRate, ULong* channelId,
               bool shared = false);
  Long Disconnect(ULong channelId);
  // Moves up to `room` queued messages to `msgs`; *read says how many.
  // ERR_BUFFER_EMPTY when there were none.
  Long Read(ULong channelId, PassThruMsg* msgs, ULong room, ULong* read);
  // Queues the messages for sending and sends what can go at once; *count
  // says how many were queued. A segmented ISO15765 message goes out as the
  // receiver's flow control allows (see TxPending and RunDue).
  Long Write(ULong channelId, const PassThruMsg* msgs, ULong* count, std::uint64_t now);
  // Messages of the channel not yet sent whole (0 for an unknown channel).
  ULong TxPending(ULong channelId);
  // Messages waiting to be read on the channel (0 for an unknown channel).
  ULong RxPending(ULong channelId);
  Long StartPeriodic(ULong channelId, const PassThruMsg* msg, ULong* msgId, ULong intervalMs,
                     std::uint64_t now);
  Long StopPeriodic(ULong channelId, ULong msgId);
  Long StartFilter(ULong channelId, ULong type, const PassThruMsg* mask,
                   const PassThruMsg* pattern, const PassThruMsg* flowControl, ULong* filterId);
  Long StopFilter(ULong channelId, ULong filterId);
  Long SetProgrammingVoltage(ULong deviceId, ULong pin, ULong millivolts);
  Long ReadVersion(ULong deviceId, char* firmware, char* library, char* api);
  Long Ioctl(ULong id, ULong ioctlId, void* input, void* output, std::uint64_t now = 0);

  // The vehicle's fault settings (taken at each connect).
  void SetFaults(const Faults& faults) { vehicle_.vehicle().SetFaults(faults); }
  // The recorded scenario in front of the vehicle (taken at each open; null:
  // none), its periodic traffic starting at `now`.
  void SetScenario(std::shared_ptr<Scenario> scenario, bool only, std::uint32_t speedPercent,
                   std::uint64_t now) {
    vehicle_.vehicle().SetScenario(std::move(scenario), only, speedPercent);
    vehicle_.StartScenario(now);
  }
  // When something is due next: a periodic message, a consecutive frame, a
  // delayed answer of the vehicle, a flow-control time-out (kNever: nothing).
  std::uint64_t NextDue() const;
  // Does everything due at `now`.
  void RunDue(std::uint64_t now);
  bool open() const { return open_; }
  // The text of the last failed call (at most 79 characters).
  const std::string& lastError() const { return lastError_; }

  struct Channel;

 private:
  Long Fail(Long code, const char* text);
  Channel* Find(ULong channelId);
  bool Opened(ULong deviceId) const { return open_ && deviceId == kSimDeviceId; }
  // Every call on a channel starts here: `body` runs on the open device's
  // channel `channelId`, or the call fails with ERR_INVALID_CHANNEL_ID.
  template <typename Body>
  Long OnChannel(ULong channelId, Body&& body) {
    Channel* ch = Find(channelId);
    if (ch == nullptr) return Fail(passthru::ERR_INVALID_CHANNEL_ID, "Unknown channel id");
    return body(*ch);
  }
  Long CheckMessage(const Channel& ch, const PassThruMsg& msg, bool periodic);
  Long Config(Channel& ch, ULong ioctlId, void* input);
  // Puts `frames` (sent by channel `origin`, or by the ECU when null) on the
  // bus and delivers everything that follows until the bus is quiet.
  void Deliver(std::vector<CanFrame> frames, Channel* origin, std::uint64_t now);

  bool open_ = false;
  ULong nextChannelId_ = 2;
  ULong programmingPin_ = 0;
  ULong programmingMillivolts_ = 0;
  std::vector<std::unique_ptr<Channel>> channels_;
  VehicleNode vehicle_;
  std::string lastError_;
};

}  // namespace simulator
