#include "monitor/pdu/pdu_record.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

#include "monitor/memory_probe.h"
#include "log/text_rules.h"
#include "pdu/pdu_names.h"

namespace monitor {

using namespace pdu;

namespace {

std::string Dec(std::uint64_t value) { return std::to_string(value); }

}  // namespace

const char* PduFunctionName(PduFunction function) {
  static const char* const kNames[] = {
      "PDUConstruct", "PDUDestruct", "PDUIoCtl", "PDUGetVersion", "PDUGetStatus",
      "PDUGetLastError", "PDUGetResourceStatus", "PDUCreateComLogicalLink",
      "PDUDestroyComLogicalLink", "PDUConnect", "PDUDisconnect", "PDULockResource",
      "PDUUnlockResource", "PDUGetComParam", "PDUSetComParam", "PDUStartComPrimitive",
      "PDUCancelComPrimitive", "PDUGetEventItem", "PDUDestroyItem", "PDURegisterEventCallback",
      "PDUGetObjectId", "PDUGetModuleIds", "PDUGetResourceIds", "PDUGetConflictingResources",
      "PDUGetUniqueRespIdTable", "PDUSetUniqueRespIdTable", "PDUModuleConnect",
      "PDUModuleDisconnect", "PDUGetTimestamp", "EventCallback"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<int>(PduFunction::Count));
  const int index = static_cast<int>(function);
  return index >= 0 && index < static_cast<int>(PduFunction::Count) ? kNames[index] : "PDU?";
}

void ObjectNames::Remember(T_PDU_OBJT type, UNUM32 id, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto key = std::make_pair(type, id);
  if (names_.size() >= kMaxNames && names_.find(key) == names_.end()) return;
  names_[key] = name;
}

std::string ObjectNames::Text(T_PDU_OBJT type, UNUM32 id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = names_.find(std::make_pair(type, id));
  if (found == names_.end()) return Hex32(id);
  return found->second + " (" + Hex32(id) + ")";
}

void ObjectNames::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  names_.clear();
}

void PduRecord::Add(const char* name, const std::string& text) {
  if (fieldCount >= kMaxFields) return;
  PduField& field = fields[fieldCount++];
  field.name = name;
  field.textStart = static_cast<std::uint32_t>(texts.size());
  field.textLength = static_cast<std::uint32_t>(text.size());
  texts += text;
}

void PduRecord::AddBytes(const char* name, const std::uint8_t* data, std::uint32_t size,
                         std::uint32_t limit) {
  if (fieldCount >= kMaxFields) return;
  PduField& field = fields[fieldCount++];
  field.name = name;
  field.dump = true;
  field.total = size;
  field.textStart = static_cast<std::uint32_t>(texts.size());
  if (data == nullptr && size > 0) {
    field.dump = false;
    const std::string text = Dec(size) + " bytes at NULL";
    field.textLength = static_cast<std::uint32_t>(text.size());
    texts += text;
  } else if (data != nullptr) {
    std::uint32_t copied = std::min(size, kPduMaxLoggedBytes);
    if (limit != 0) copied = std::min(copied, limit);
    const auto readable = static_cast<std::uint32_t>(ReadableBytes(data, copied));
    if (readable < copied) {
      // Appended in place: a literal + a temporary makes GCC warn of an overlapping copy (-Wrestrict).
      std::string text = "(";
      text += PointerText(data);
      text += ": ";
      text += Dec(readable);
      text += " readable)";
      field.textLength = static_cast<std::uint32_t>(text.size());
      texts += text;
      copied = readable;
    }
    field.bytesStart = static_cast<std::uint32_t>(bytes.size());
    field.bytesLength = copied;
    bytes.insert(bytes.end(), data, data + copied);
  }
}

LogEntry BuildPduEntry(const PduRecord& record) {
  LogEntry entry;
  entry.time = WallTimeFromFileTime(record.localFileTime);
  entry.elapsedMicros = record.elapsedMicros;
  entry.processId = record.processId;
  entry.threadId = record.threadId;
  entry.function = PduFunctionName(record.function);
  entry.phase = record.phase;
  entry.fields.reserve(record.fieldCount);
  for (std::size_t i = 0; i < record.fieldCount && i < PduRecord::kMaxFields; ++i) {
    const PduField& field = record.fields[i];
    std::string value = record.Text(field);
    if (field.dump) {
      if (!value.empty()) value += " ";
      value += Dec(field.total) + " bytes";
      if (field.bytesLength < field.total) value += " (" + Dec(field.bytesLength) + " logged)";
      if (field.bytesLength > 0) {
        value += field.bytesLength > kPduBytesPerLine ? ":\n" : ": ";
        value += HexDump(record.bytes.data() + field.bytesStart, field.bytesLength, kPduBytesPerLine);
      }
    }
    // The conversation: what a ComPrimitive sends, what a result item brings.
    const std::string name = field.name;
    if (name == "hCLL") entry.link = "link " + record.Text(field);
    if (field.dump && field.bytesLength > 0 && (name == "CoPData" || (name == "Data" && i > 0 &&
                                                  std::string(record.fields[i - 1].name) == "Result"))) {
      DiagFrame frame;
      frame.label = name;
      frame.sent = name == "CoPData";
      frame.bytes.assign(record.bytes.begin() + field.bytesStart,
                         record.bytes.begin() + field.bytesStart + field.bytesLength);
      if (field.total > field.bytesLength) frame.total = field.total;
      entry.frames.push_back(std::move(frame));
    }
    entry.fields.push_back({field.name, std::move(value)});
  }
  if (record.hasResult) {
    entry.result = NameOr(ErrorName(record.result), record.result);
    entry.failed = record.result != PDU_STATUS_NOERROR;
  }
  entry.durationMicros = record.durationMicros;
  return entry;
}

std::size_t PduRecordBytes(const PduRecord& record) {
  return sizeof(PduRecord) + record.texts.capacity() + record.bytes.capacity();
}

std::string PointerText(const void* pointer) {
  if (pointer == nullptr) return "NULL";
  // Every digit of the address: 8 on 32-bit Windows, 16 on 64-bit.
  char text[32];
  std::snprintf(text, sizeof(text), "0x%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
  return text;
}

}  // namespace monitor
