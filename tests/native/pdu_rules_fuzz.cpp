// Fuzz target of the D-PDU rules that build without Windows headers: the names
// of codes, short names from an application, the decoders of items (with
// counts, pointers and the message size drawn from the input, the memory
// behind each pointer as large as its count says), the object-name table and
// the callback slots. A broken promise aborts; the sanitizers catch bad access.
//
// VARROW_FUZZ_RULE=<n> restricts the run to one rule (0..kRules-1).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/native/fuzz_promise.h"
#include "monitor/pdu/pdu_callbacks.h"
#include "monitor/pdu/pdu_record.h"
#include "pdu/pdu_names.h"

using namespace pdu;
using namespace monitor;

namespace {

constexpr int kRules = 5;
int g_rule = -1;


// Reads the input as a stream of values; zeros once it is used up.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t U32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return v;
  }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Up to `max` bytes of the rest of the input (a copy the decoders may read whole).
  std::vector<std::uint8_t> Bytes(std::size_t max) {
    const std::size_t n = std::min(max, size_ - at_);
    std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void Names(Input& in) {
  for (int i = 0; i < 32; ++i) {
    const std::uint32_t code = i % 2 ? in.U32() : in.U32() & 0xFFFF;
    const char* (*namers[])(std::uint32_t) = {ErrorName, ItemTypeName, CopTypeName, ObjectTypeName,
                                              StatusName, InfoName, EventDataName, ErrorEventName,
                                              ParamTypeName};
    for (auto namer : namers) {
      const char* name = namer(code);
      PROMISE("names", name == nullptr || std::strncmp(name, "PDU_", 4) == 0);
      const std::string text = NameOr(name, code);
      PROMISE("names", name != nullptr ? text == name : text == Hex32(code));
    }
    PROMISE("names", Hex32(code).size() == 10);
  }
}

void ShortNames(Input& in) {
  const std::size_t limit = in.Byte();
  const std::vector<std::uint8_t> bytes = in.Bytes(limit);
  const std::string name = BoundedShortName(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  PROMISE("short names", name.size() <= bytes.size());
  for (char c : name) PROMISE("short names", c >= 0x20 && c <= 0x7E);
  PROMISE("short names", BoundedShortName(nullptr, 100).empty());
}

// Items as an application or a library would hand them over, from the input.
void Decoders(Input& in) {
  ObjectNames names;
  const std::uint32_t limit = in.Byte() % 3 == 0 ? 0 : in.Byte();
  // A result event: data bytes, flags, extra info, maybe NULL.
  std::vector<std::uint8_t> payload = in.Bytes(in.U32() % 5000);
  std::vector<std::uint8_t> flags = in.Bytes(in.Byte() % 80);
  PDU_EXTRA_INFO extra{static_cast<UNUM32>(flags.size()), 0, flags.data(), nullptr};
  PDU_RESULT_DATA result{};
  result.RxFlag = {static_cast<UNUM32>(flags.size()), in.Byte() & 1 ? flags.data() : nullptr};
  result.pExtraInfo = in.Byte() & 1 ? &extra : nullptr;
  result.NumDataBytes = static_cast<UNUM32>(payload.size());
  result.pDataBytes = in.Byte() & 1 ? payload.data() : nullptr;
  if (result.pDataBytes == nullptr && in.Byte() & 1) result.NumDataBytes = in.U32();
  UNUM32 status = in.U32();
  PDU_ERROR_DATA error{in.U32(), in.U32()};
  PDU_INFO_DATA info{in.U32(), in.U32()};
  void* datas[] = {&result, &status, &error, &info, nullptr};
  const T_PDU_IT types[] = {PDU_IT_RESULT, PDU_IT_STATUS, PDU_IT_ERROR, PDU_IT_INFO, in.U32()};
  const int pick = in.Byte() % 5;
  PDU_EVENT_ITEM event{types[pick], in.U32(), nullptr, in.U32(), datas[in.Byte() % 5 == 0 ? 4 : pick]};
  PduRecord record;
  AddEventItem(record, in.Byte() % 8 ? &event : nullptr, limit);
  PROMISE("decoders", record.fieldCount <= PduRecord::kMaxFields);
  for (std::size_t i = 0; i < record.fieldCount; ++i) {
    const PduField& field = record.fields[i];
    PROMISE("decoders", field.bytesLength <= kPduMaxLoggedBytes);
    if (limit != 0) PROMISE("decoders", field.bytesLength <= limit);
    PROMISE("decoders", !field.dump || field.bytesLength <= field.total);
    PROMISE("decoders", field.bytesStart + field.bytesLength <= record.bytes.size());
    PROMISE("decoders", field.textStart + field.textLength <= record.texts.size());
  }
  // Arrays with their counts: modules, resource ids, a ComParam of each type.
  std::vector<std::uint8_t> text = in.Bytes(in.Byte());
  text.push_back(0);
  std::vector<PDU_MODULE_DATA> modules(in.Byte() % 100);
  for (PDU_MODULE_DATA& m : modules)
    m = {in.U32(), in.U32(), reinterpret_cast<CHAR8*>(text.data()), nullptr, in.U32()};
  PDU_MODULE_ITEM moduleItem{PDU_IT_MODULE_ID, static_cast<UNUM32>(modules.size()),
                             modules.empty() || in.Byte() % 4 == 0 ? nullptr : modules.data()};
  const std::string moduleText = ModuleItemText(&moduleItem);
  PROMISE("decoders", !moduleText.empty());
  std::vector<UNUM32> longs(in.Byte());
  for (UNUM32& v : longs) v = in.U32();
  PDU_PARAM_LONGFIELD_DATA longField{in.U32(), static_cast<UNUM32>(longs.size()), longs.data()};
  PDU_PARAM_BYTEFIELD_DATA byteField{in.U32(), static_cast<UNUM32>(payload.size()), payload.data()};
  std::uint8_t scalar[4] = {in.Byte(), in.Byte(), in.Byte(), in.Byte()};
  const T_PDU_PT type = PDU_PT_UNUM8 + in.Byte() % 10;
  void* data = type == PDU_PT_BYTEFIELD ? static_cast<void*>(&byteField)
             : type == PDU_PT_LONGFIELD ? static_cast<void*>(&longField)
             : type == PDU_PT_STRUCTFIELD ? nullptr : static_cast<void*>(scalar);
  const UNUM32 id = in.U32();
  if (in.Byte() & 1) names.Remember(PDU_OBJT_COMPARAM, id, std::string(reinterpret_cast<char*>(text.data())));
  PDU_PARAM_ITEM param{in.U32(), id, type, in.U32(), data};
  PROMISE("decoders", ParamItemText(&param, names).find(Hex32(id)) != std::string::npos);
  const LogEntry entry = BuildPduEntry(record);
  PROMISE("decoders", entry.fields.size() == record.fieldCount);
}

void Objects(Input& in) {
  ObjectNames names;
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t id = in.U32() % 1500;
    names.Remember(PDU_OBJT_COMPARAM, id, "name");
    const std::string text = names.Text(PDU_OBJT_COMPARAM, id);
    PROMISE("objects", text.find(Hex32(id)) != std::string::npos);
    if (in.Byte() == 0xFF) break;
  }
}

void PDU_CALL AppCallback(T_PDU_EVT_DATA, UNUM32, UNUM32, void*, void*) {}

void Callbacks(Input& in) {
  ClearPduCallbacks();
  for (int i = 0; i < 200; ++i) {
    const UNUM32 hMod = in.Byte() % 3;
    const UNUM32 hCLL = in.Byte() % 90;
    CALLBACKFNC previous = nullptr;
    switch (in.Byte() % 4) {
      case 0: {
        const CALLBACKFNC trampoline = BindPduCallback(hMod, hCLL, &AppCallback, &previous);
        if (trampoline != nullptr) PROMISE("callbacks", BoundPduCallback(hMod, hCLL) == &AppCallback);
        break;
      }
      case 1:
        UnbindPduCallback(hMod, hCLL);
        PROMISE("callbacks", BoundPduCallback(hMod, hCLL) == nullptr);
        break;
      case 2:
        ReleasePduCallback(hMod, hCLL);
        PROMISE("callbacks", BoundPduCallback(hMod, hCLL) == nullptr);
        break;
      default:
        RestorePduCallback(hMod, hCLL, nullptr);
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* rule = std::getenv("VARROW_FUZZ_RULE")) g_rule = std::atoi(rule) % kRules;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int rule = g_rule >= 0 ? g_rule : data[0] % kRules;
  Input in(data + 1, size - 1);
  switch (rule) {
    case 0: Names(in); break;
    case 1: ShortNames(in); break;
    case 2: Decoders(in); break;
    case 3: Objects(in); break;
    default: Callbacks(in); break;
  }
  return 0;
}
