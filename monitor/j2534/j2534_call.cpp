#include "monitor/j2534/j2534_call.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "monitor/memory_probe.h"
#include "log/precise_time.h"
#include "log/text_rules.h"
#include "passthru/names.h"

namespace monitor {

using namespace passthru;

namespace {

// Fields of a call's inputs or outputs made room for at once (most calls have fewer).
constexpr std::size_t kFieldsReserved = 6;

// A captured call as the writer's queue holds it.
class RecordEntry : public EntrySource {
 public:
  explicit RecordEntry(J2534Record record) : record_(std::move(record)) {}
  std::size_t Bytes() const override { return RecordBytes(record_); }
  void Build(LogEntry* entry) const override { BuildEntry(record_, entry); }

 private:
  J2534Record record_;
};

}  // namespace

Call::Call(MonitorState* state, J2534Function function) noexcept : state_(state), function_(function) {
  if (state_ == nullptr || state_->writer == nullptr) return;
  active_ = true;
  QueryPerformanceCounter(&start_);
  startTime_ = LocalFileTimeNow();
}

void Call::Begin(bool holdEntry) noexcept {
  if (!active_ || !state_->settings.logEntryExit) return;
  try {
    J2534Record entry = Make(Phase::Entry, startTime_, start_);
    entry.fields = std::move(inputs_);
    inputs_.clear();
    if (holdEntry || holdEntry_) {
      entry_ = std::move(entry);
      holding_ = true;
    } else {
      Submit(std::move(entry));
    }
  } catch (...) {
    holding_ = false;
  }
}

void Call::Finish(Long rc, bool noise) noexcept {
  if (!active_) return;
  try {
    LARGE_INTEGER end;
    QueryPerformanceCounter(&end);
    const auto micros = static_cast<std::int64_t>(
        TicksToMicros(end.QuadPart - start_.QuadPart, state_->frequency.QuadPart));
    if ((noise || noise_) && state_->settings.disableErrBufferEmpty) return;
    if (state_->settings.logEntryExit) {
      if (holding_) Submit(std::move(entry_));
      holding_ = false;
      J2534Record exit = Make(Phase::Exit, startTime_ + micros * 10, end);
      exit.fields = std::move(outputs_);
      exit.hasResult = true;
      exit.result = rc;
      exit.durationMicros = micros;
      Submit(std::move(exit));
    } else {
      J2534Record call = Make(Phase::Call, startTime_, start_);
      call.fields = std::move(inputs_);
      for (PendingField& field : outputs_) call.fields.push_back(std::move(field));
      call.hasResult = true;
      call.result = rc;
      call.durationMicros = micros;
      Submit(std::move(call));
    }
  } catch (...) {
  }
}

J2534Record Call::Make(Phase phase, std::uint64_t time, LARGE_INTEGER at) const {
  J2534Record r;
  r.localFileTime = time;
  r.elapsedMicros = TicksToMicros(at.QuadPart - state_->firstCall.QuadPart, state_->frequency.QuadPart);
  r.processId = state_->processId;
  r.threadId = GetCurrentThreadId();
  r.function = function_;
  r.phase = phase;
  return r;
}

void Call::Submit(J2534Record&& record) {
  state_->writer->Submit(std::make_unique<RecordEntry>(std::move(record)));
}

void Call::Add(std::vector<PendingField>* list, const char* name, std::string text) noexcept {
  if (!active_) return;
  try {
    if (list->empty()) list->reserve(kFieldsReserved);  // one block for a call's fields
    PendingField field;
    field.name = name;
    field.text = std::move(text);
    list->push_back(std::move(field));
  } catch (...) {
  }
}

void Call::AddMessages(std::vector<PendingField>* list, const char* name, const PassThruMsg* msgs,
                       ULong count) noexcept {
  if (!active_) return;
  try {
    if (list->empty()) list->reserve(kFieldsReserved);
    PendingField field;
    field.name = name;
    if (msgs == nullptr) {
      field.text = "NULL";
    } else if (count == 0) {
      field.text = "no message";
    } else {
      // The count is the application's word: never read past what can be read.
      ULong shown = std::min(count, kMaxLoggedMessages);
      shown = static_cast<ULong>(Foreign<PassThruMsg>::Probe(msgs, shown));
      field.messages.reserve(shown);
      for (ULong i = 0; i < shown; ++i) {
        field.messages.push_back(CaptureMessage(msgs[i], state_->settings.messageSizeLimit));
      }
      field.messagesNotLogged = count - shown;
    }
    list->push_back(std::move(field));
  } catch (...) {
  }
}

std::string ForeignText(const void* p) {
  if (p == nullptr) return "NULL";
  const std::size_t readable = ReadableBytes(p, kTextChars);
  // Appended in place: `"\"" + text` makes GCC warn of an overlapping copy (-Wrestrict).
  std::string quoted = "\"";
  quoted += PrintableText(static_cast<const char*>(p), readable);
  quoted += '"';
  return quoted;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

// Every digit of the address: 8 on 32-bit Windows, 16 on 64-bit (where an
// address above 4 GB would otherwise lose its upper half).
std::string Pointer(const void* p) {
  if (p == nullptr) return "NULL";
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
  return text;
}

std::string IdOut(const ULong* p, Long rc) {
  if (p == nullptr) return "NULL";
  // After a failure the original wrote nothing there, and the pointer may be bad.
  if (rc != STATUS_NOERROR) return "(not written)";
  return CountText(p);
}

std::string CountText(const ULong* p) {
  if (p == nullptr) return "NULL";
  ULong value = 0;
  return Foreign<ULong>::Read(p, &value) ? Number(value) : Pointer(p) + " (not readable)";
}

ULong ReadableCount(const ULong* p) {
  ULong value = 0;
  return Foreign<ULong>::Read(p, &value) ? value : 0;
}

// The list and the array are copied once through the gate, and only the copy
// is used: another thread of the application may change them meanwhile.
std::string ConfigList(const void* p) {
  if (p == nullptr) return "NULL";
  SConfigList list{};
  if (!Foreign<SConfigList>::Read(static_cast<const SConfigList*>(p), &list)) return Pointer(p) + " (not readable)";
  ULong shown = std::min(list.NumOfParams, kMaxLoggedParams);
  shown = static_cast<ULong>(Foreign<SConfig>::Probe(list.ConfigPtr, shown));
  return ConfigListText(list.ConfigPtr, list.NumOfParams, shown);
}

std::string ByteArray(const void* p) {
  if (p == nullptr) return "NULL";
  SByteArray array{};
  if (!Foreign<SByteArray>::Read(static_cast<const SByteArray*>(p), &array)) return Pointer(p) + " (not readable)";
  ULong shown = std::min(array.NumOfBytes, kMaxLoggedBytes);
  shown = static_cast<ULong>(ReadableBytes(array.BytePtr, shown));
  return ByteArrayText(array.BytePtr, array.NumOfBytes, shown);
}

}  // namespace monitor
