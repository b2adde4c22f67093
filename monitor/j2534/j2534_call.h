// One forwarded J2534 call as the monitor logs it: the arguments captured on
// the calling thread before the original runs, the outputs after, and the
// entry (or the entry and the exit) queued for the writer; the one shape of
// every export (Monitored); and the texts of arguments that point into the
// application's memory, read only as far as it can be read. Nothing here
// throws into the application.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "monitor/j2534/j2534_record.h"
#include "monitor/j2534/j2534_state.h"
#include "passthru/j2534.h"
#include "passthru/j2534_v05.h"

namespace monitor {

class Call {
 public:
  // Starts the clock; inactive (every member does nothing) without a log.
  Call(MonitorState* state, J2534Function function) noexcept;
  bool Active() const { return active_; }
  // The version served: the names its fields use.
  passthru::ApiVersion Version() const { return state_ != nullptr ? state_->version : passthru::ApiVersion::k0404; }
  const passthru::VersionNames& Names() const { return passthru::NamesOf(Version()); }
  // Logging this call failed (out of memory): nothing more of it is logged.
  void Abandon() noexcept { active_ = false; }

  // A decoded argument before the call / an output after it.
  void In(const char* name, std::string text) noexcept { Add(&inputs_, name, std::move(text)); }
  void Out(const char* name, std::string text) noexcept { Add(&outputs_, name, std::move(text)); }
  // Messages handed in by the application: read only as far as memory can be read.
  void InMessages(const char* name, const passthru::PassThruMsg* msgs, passthru::ULong count) noexcept {
    AddMessages(&inputs_, name, msgs, count);
  }
  // Messages the original has just written: read through the gate all the same
  // (the count is the original's word, the room the application's).
  void OutMessages(const char* name, const passthru::PassThruMsg* msgs, passthru::ULong count) noexcept {
    AddMessages(&outputs_, name, msgs, count);
  }
  // The same for 05.00 messages, whose data are read from the caller's buffers
  // only as far as each message's sizes state and memory can be read.
  void InMessages(const char* name, const passthru::v05::PassThruMsg* msgs, passthru::ULong count) noexcept {
    AddMessages(&inputs_, name, msgs, count);
  }
  void OutMessages(const char* name, const passthru::v05::PassThruMsg* msgs, passthru::ULong count) noexcept {
    AddMessages(&outputs_, name, msgs, count);
  }
  // The entry phase waits for the result (a read may turn out an empty poll).
  void HoldEntry() noexcept { holdEntry_ = true; }
  // The call was an empty poll: dropped whole when the settings say so.
  void MarkNoise() noexcept { noise_ = true; }
  // The inputs are complete: with "log entry and exit", the entry phase is
  // queued now (or held back until the result is known, when `holdEntry`).
  void Begin(bool holdEntry = false) noexcept;
  // The call returned `rc`: queues the call (or its exit). `noise` (an empty
  // poll) drops the whole call when the settings say so.
  void Finish(passthru::Long rc, bool noise = false) noexcept;

 private:
  J2534Record Make(Phase phase, std::uint64_t time, LARGE_INTEGER at) const;
  void Submit(J2534Record&& record);
  void Add(std::vector<PendingField>* list, const char* name, std::string text) noexcept;
  template <typename Msg>
  void AddMessages(std::vector<PendingField>* list, const char* name, const Msg* msgs,
                   passthru::ULong count) noexcept;

  MonitorState* state_;
  J2534Function function_;
  bool active_ = false;
  LARGE_INTEGER start_{};
  std::uint64_t startTime_ = 0;  // local FILETIME of the start
  std::vector<PendingField> inputs_;
  std::vector<PendingField> outputs_;
  J2534Record entry_;  // the entry phase, held back until the result is known
  bool holding_ = false;
  bool holdEntry_ = false;
  bool noise_ = false;
};

// "NULL", or the application's C text (at most 80 bytes) in quotes.
std::string ForeignText(const void* p);
// Decimal text of a number.
std::string Number(std::uint64_t value);
// "NULL" or the address in hex.
std::string Pointer(const void* p);
// An id the original was to write to *p: its value, or "(not written)" after a
// failure (when *p is never read: the original need not have checked it).
std::string IdOut(const passthru::ULong* p, passthru::Long rc);
// "NULL", *p, or the address marked "(not readable)".
std::string CountText(const passthru::ULong* p);
// *p when it can be read, else 0.
passthru::ULong ReadableCount(const passthru::ULong* p);
// An SCONFIG_LIST / SBYTE_ARRAY handed over as an Ioctl argument ("NULL",
// "(not readable)", or its items; the parameters by `version`'s names).
std::string ConfigList(const void* p, passthru::ApiVersion version = passthru::ApiVersion::k0404);
std::string ByteArray(const void* p);

// PassThruIoctl's arguments before the call and its outputs after it, by the
// version the call's record names. The ids of both versions keep their values
// (GET_CONFIG 0x01 ... READ_PROG_VOLTAGE 0x0E); 0x03 is READ_VBATT (no input) in
// 04.04 and READ_PIN_VOLTAGE (a RESOURCE_STRUCT in) in 05.00, both on a device;
// 0x0F is 05.00's BUS_ON. Any other id's pointers are shown, never read.
void IoctlInputs(Call& c, passthru::ULong target, passthru::ULong id, void* in, void* out);
void IoctlOutputs(Call& c, passthru::ULong id, void* in, void* out, passthru::Long rc);

// What an export without inputs adds before the call, or without outputs after it.
inline void NoInputs(Call&) {}
inline void NoOutputs(Call&, passthru::Long) {}
// What an export does once its call is logged: nothing (PassThruClose ends the session).
inline void NothingMore(MonitorState*) {}

// The original's function `member` called with `args`; ERR_FAILED without the
// original or without that function in it.
template <typename Fn, typename... Args>
passthru::Long Forward(MonitorState* state, Fn OriginalFunctions::*member, Args... args) {
  if (state == nullptr || state->original == nullptr || state->fn.*member == nullptr) {
    return passthru::ERR_FAILED;
  }
  return (state->fn.*member)(args...);
}

// The same for a function of the 05.00 declarations. A function the original
// lacks is one it does not support (ERR_NOT_SUPPORTED, in both versions).
template <typename Fn, typename... Args>
passthru::Long Forward05(MonitorState* state, Fn OriginalV05Functions::*member, Args... args) {
  if (state == nullptr || state->original == nullptr) return passthru::ERR_FAILED;
  if (state->fn05.*member == nullptr) return passthru::ERR_NOT_SUPPORTED;
  return (state->fn05.*member)(args...);
}

// Runs one monitored function, as every export does: `before(call)` adds the
// arguments, `forward(state)` calls the original (or answers without it),
// `after(call, rc)` adds the outputs for its result, and `then(state)` runs
// once the call is queued (all three only while the call is logged). Logging
// never changes the call: a failure of it abandons the record, and the call is
// made and answered all the same.
template <typename BeforeFn, typename ForwardFn, typename AfterFn,
          typename ThenFn = void (*)(MonitorState*)>
passthru::Long Monitored(J2534Function function, BeforeFn before, ForwardFn forward, AfterFn after,
                         ThenFn then = NothingMore) {
  MonitorState* state = J2534State();
  Call call(state, function);
  if (call.Active()) {
    try {
      before(call);
      call.Begin();
    } catch (...) {
      call.Abandon();  // the application never sees our failure
    }
  }
  const passthru::Long rc = forward(state);
  if (call.Active()) {
    try {
      after(call, rc);
      call.Finish(rc);
      then(state);
    } catch (...) {
      call.Abandon();  // the application never sees our failure
    }
  }
  return rc;
}

}  // namespace monitor
