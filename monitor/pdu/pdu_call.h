// One monitored D-PDU call: its record begun before the call and finished
// after it (with "log entry and exit", two records), and the forwarding of the
// call to the original around them. Logging never changes the call: a failure
// of the logging drops the record, and the call is made all the same.
#pragma once

#include <windows.h>

#include <string>

#include "monitor/memory_probe.h"
#include "monitor/pdu/pdu_state.h"
#include "hosted/arch.h"

namespace monitor {

using pdu::T_PDU_ERROR;

// The record of one call being made: begun before the call, finished after.
class Logged {
 public:
  Logged(PduMonitorState& monitor, PduFunction function) : monitor_(monitor) {
    try {
      monitor_.Stamp(record_, function, Phase::Call);
      active_ = true;
    } catch (...) {
    }
  }
  PduRecord* Record() { return active_ ? &record_ : nullptr; }
  // The arguments are in: with "log entry and exit", the call's start is queued now.
  void Entered() {
    if (!active_) return;
    try {
      startMicros_ = monitor_.Micros();
      if (monitor_.entryExit) {
        // The arguments go with the call's start; the return gets the outputs.
        PduRecord entry = std::move(record_);
        record_ = PduRecord();
        record_.function = entry.function;
        record_.phase = Phase::Exit;
        entry.phase = Phase::Entry;
        monitor_.Submit(std::move(entry));
      }
    } catch (...) {
      active_ = false;
    }
  }
  void Finish(T_PDU_ERROR result) {
    if (!active_) return;
    try {
      record_.hasResult = true;
      record_.result = result;
      record_.durationMicros = static_cast<std::int64_t>(monitor_.Micros() - startMicros_);
      if (record_.phase == Phase::Exit) {
        monitor_.Stamp(record_, record_.function, Phase::Exit);
      }
      monitor_.Submit(std::move(record_));
    } catch (...) {
    }
    active_ = false;
  }
  void Drop() { active_ = false; }

 private:
  PduMonitorState& monitor_;
  PduRecord record_;
  bool active_ = false;
  std::uint64_t startMicros_ = 0;
};

// Runs one monitored function: `before` adds the arguments, `forward` calls
// the original (and does what the monitor itself must do around it), `after`
// adds the outputs of a successful call. Without the original, the call is
// logged and fails with pdu::PDU_ERR_FCT_FAILED.
template <typename Before, typename Forward, typename After>
T_PDU_ERROR Monitored(PduFunction function, Before before, Forward forward, After after) {
  PduMonitorState& m = ThePduMonitor();
  Logged call(m, function);
  if (PduRecord* record = call.Record()) {
    try {
      ProbeScope scope;
      before(*record);
    } catch (...) {
      call.Drop();
    }
  }
  if (m.original.module == nullptr) {
    if (PduRecord* record = call.Record()) {
      try {
        record->Add("Original", m.original.problem.empty() ? "not loaded" : m.original.problem);
      } catch (...) {
      }
    }
    if (!m.told.exchange(true)) {
      const std::string line = "OvraPduMon" VARROW_BITS_TEXT ": " + m.original.problem + "\n";
      OutputDebugStringA(line.c_str());
    }
    call.Entered();
    call.Finish(pdu::PDU_ERR_FCT_FAILED);
    return pdu::PDU_ERR_FCT_FAILED;
  }
  call.Entered();
  const T_PDU_ERROR result = forward(m.original);
  if (PduRecord* record = call.Record()) {
    try {
      if (result == pdu::PDU_STATUS_NOERROR) {
        ProbeScope scope;
        after(*record);
      }
    } catch (...) {
    }
  }
  call.Finish(result);
  return result;
}

inline void NoFields(PduRecord&) {}

// The handles most calls take.
inline void AddHandles(PduRecord& r, pdu::UNUM32 hMod, pdu::UNUM32 hCLL) {
  r.Add("hMod", pdu::HandleText(hMod));
  r.Add("hCLL", pdu::HandleText(hCLL));
}

}  // namespace monitor
