// The D-PDU monitor's state for the process: the set-aside original, the
// settings and the log writer, the short names of object ids, the items the
// library handed out; made on the first call, never inside DllMain.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "log/log_writer.h"
#include "monitor/memory_probe.h"
#include "log/precise_time.h"
#include "monitor/pdu/pdu_original.h"
#include "monitor/pdu/pdu_record.h"
#include "monitor/pdu/pdu_settings.h"
#include "pdu/pdu_names.h"

namespace monitor {

// Everything the monitor holds for the process, made on the first call.
struct PduMonitorState {
  PduOriginal original;
  PduLogPlan plan;
  std::unique_ptr<LogWriter> writer;
  ObjectNames names;
  LARGE_INTEGER frequency{};
  LARGE_INTEGER start{};
  bool entryExit = false;
  bool skipEmptyQueue = true;
  std::uint32_t byteLimit = 0;
  // The items the library handed out and their types, so that PDUDestroyItem
  // is logged without reading memory the application may hand back wrongly.
  std::mutex itemsLock;
  std::unordered_map<const void*, pdu::T_PDU_IT> items;
  static constexpr std::size_t kMaxItems = 4096;
  // Remembers an item the library handed out (its pointer and type), when
  // its type can be read (through the gate: the pointer is the caller's variable).
  void HandedOut(const void* item) {
    if (item == nullptr) return;
    pdu::T_PDU_IT type{};
    const auto* at = reinterpret_cast<const pdu::T_PDU_IT*>(static_cast<const char*>(item) +
                                                            offsetof(pdu::PDU_ITEM, ItemType));
    if (!Foreign<pdu::T_PDU_IT>::Read(at, &type)) return;
    std::lock_guard<std::mutex> lock(itemsLock);
    if (items.size() < kMaxItems) items[item] = type;
  }
  // The type of an item handed out (and forgets it), or nullptr when unknown.
  const char* TakeBack(const void* item) {
    std::lock_guard<std::mutex> lock(itemsLock);
    auto found = items.find(item);
    if (found == items.end()) return nullptr;
    const char* name = pdu::ItemTypeName(found->second);
    items.erase(found);
    return name != nullptr ? name : "an item of an unknown type";
  }
  std::atomic<bool> told{false};  // the missing original was reported to the debugger output
  std::int64_t localBias = 0;  // local time minus UTC, in 100 ns, taken once

  // Stamps a record: time, microseconds since the state was made, process, thread, function, phase.
  void Stamp(PduRecord& record, PduFunction function, Phase phase) const {
    record.localFileTime = LocalFileTimeNow();  // the J2534 monitor's clock
    record.elapsedMicros = Micros();
    record.processId = GetCurrentProcessId();
    record.threadId = GetCurrentThreadId();
    record.function = function;
    record.phase = phase;
    record.texts.reserve(192);
  }
  // Microseconds since the state was made.
  std::uint64_t Micros() const {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return TicksToMicros(now.QuadPart - start.QuadPart, frequency.QuadPart);
  }
  // Queues the record for the writer (dropped and counted when the queue is full).
  void Submit(PduRecord record);
};

// The monitor library's own module (set at DLL_PROCESS_ATTACH).
void SetPduMonitorModule(HMODULE module);
// The state, made on the first call: settings read, writer made, original
// loaded, the event observer installed. Never throws (a state without an
// original stands in when making it failed).
PduMonitorState& ThePduMonitor();
// The state when it was made, else nullptr (for DllMain and the event observer).
PduMonitorState* PduMonitorIfMade();
// PDUDestruct succeeded or failed: what is queued is written and the writer
// thread ends, so that the module is held by the application alone.
void PduSessionEnded() noexcept;
// An event callback of the application was interposed: the library may call
// the monitor's trampolines from its own threads at any time from now on, so
// the monitor holds a reference to itself (once) and is not unmapped while the
// original can still call it, even if the application lets it go first.
void HoldWhileCallbacksBound() noexcept;
// PDUDestruct succeeded: the original calls no callback any more. The
// reference is let go by a thread of its own whose start routine is the
// system's FreeLibrary (the caller still holds the monitor while it returns).
void LetGoAfterDestruct() noexcept;
// DLL_PROCESS_DETACH. At process exit (`processExit`) the other threads are
// gone: writes what is queued, waiting for no lock and using no heap another
// thread may hold. On FreeLibrary the writer thread has ended: gives back the
// writer, its file and handles, the state and the original library.
void PduModuleDetach(bool processExit) noexcept;

}  // namespace monitor
