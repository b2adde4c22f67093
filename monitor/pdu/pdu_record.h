// What the D-PDU monitor captures of a call on the calling thread (handles,
// ids, decoded values, payload bytes up to the message size) and how the
// writer thread turns it into a LogEntry. Also the decoders of the API's items:
// each reads only memory the application or the library handed over, checks
// every pointer for NULL first, caps every count and reads nothing that the
// memory gate does not find readable. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/log_entry.h"
#include "pdu/dpdu.h"

namespace monitor {

enum class PduFunction {
  Construct, Destruct, IoCtl, GetVersion, GetStatus, GetLastError, GetResourceStatus,
  CreateComLogicalLink, DestroyComLogicalLink, Connect, Disconnect, LockResource,
  UnlockResource, GetComParam, SetComParam, StartComPrimitive, CancelComPrimitive,
  GetEventItem, DestroyItem, RegisterEventCallback, GetObjectId, GetModuleIds,
  GetResourceIds, GetConflictingResources, GetUniqueRespIdTable, SetUniqueRespIdTable,
  ModuleConnect, ModuleDisconnect, GetTimestamp,
  EventCallback,  // the library calling the application's event callback
  Count
};
// "PDUConstruct", ..., "EventCallback".
const char* PduFunctionName(PduFunction function);

// Caps of what one entry decodes from the application's or library's memory.
inline constexpr std::uint32_t kPduMaxLoggedBytes = 65536;   // payload bytes
inline constexpr std::uint32_t kPduMaxLoggedEntries = 64;    // array entries
inline constexpr std::size_t kPduShortNameLimit = 128;       // bytes of a short name or text
inline constexpr std::size_t kPduBytesPerLine = 32;

// The short names the application asked ids for (PDUGetObjectId), so that
// later entries show "CP_Baudrate (0x00000301)". Bounded; safe across threads.
class ObjectNames {
 public:
  static constexpr std::size_t kMaxNames = 1024;
  void Remember(pdu::T_PDU_OBJT type, pdu::UNUM32 id, const std::string& name);
  // "name (0x........)" when the id of `type` was named, else "0x........".
  std::string Text(pdu::T_PDU_OBJT type, pdu::UNUM32 id) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<pdu::T_PDU_OBJT, pdu::UNUM32>, std::string> names_;
};

// One decoded argument or output: its text (and, when `dump`, its bytes, to be
// hex-dumped by the writer thread, `total` being how many there were before the
// message size cut them), as a range of the record's shared buffers.
struct PduField {
  const char* name = "";  // a literal: no allocation on the calling thread
  std::uint32_t textStart = 0, textLength = 0;
  bool dump = false;
  std::uint32_t bytesStart = 0, bytesLength = 0;
  std::uint32_t total = 0;
};

// One call (or its start, its return, or an event callback) as captured. Its
// texts share one buffer and its bytes another, so that a record costs the
// calling thread (which also frees written records) few allocations.
struct PduRecord {
  static constexpr std::size_t kMaxFields = 12;  // more than any call adds
  std::uint64_t localFileTime = 0;  // 100 ns since 1601-01-01, local time
  std::uint64_t elapsedMicros = 0;
  std::uint32_t processId = 0, threadId = 0;
  PduFunction function = PduFunction::Construct;
  Phase phase = Phase::Call;
  PduField fields[kMaxFields];
  std::size_t fieldCount = 0;
  std::string texts;
  std::vector<std::uint8_t> bytes;
  bool hasResult = false;
  pdu::T_PDU_ERROR result = 0;
  std::int64_t durationMicros = -1;

  void Add(const char* name, const std::string& text);
  // Payload bytes: `size` of them at `data`, at most `limit` copied (0: up to the
// cap), and no more than can be read (the field then says how many could).
  void AddBytes(const char* name, const std::uint8_t* data, std::uint32_t size,
                std::uint32_t limit);
  std::string Text(const PduField& field) const { return texts.substr(field.textStart, field.textLength); }
};
// The entry of a record: fields decoded, the result by name.
LogEntry BuildPduEntry(const PduRecord& record);
// Bytes a record holds (for the writer's queue bound).
std::size_t PduRecordBytes(const PduRecord& record);

// "NULL" or the pointer's value in hex.
std::string PointerText(const void* pointer);

// Decoders of the API's structures into text. Each takes the pointer it was
// handed (NULL gives "NULL") and the names known so far, and reads every
// structure, array and text through the memory gate (monitor/memory_probe.h):
// what cannot be read is marked "(not readable)" instead.
std::string ParamItemText(const pdu::PDU_PARAM_ITEM* item, const ObjectNames& names);
std::string RscDataText(const pdu::PDU_RSC_DATA* data, const ObjectNames& names);
std::string FlagDataText(const pdu::PDU_FLAG_DATA* flags);
std::string CopCtrlText(const pdu::PDU_COP_CTRL_DATA* ctrl);
std::string VersionText(const pdu::PDU_VERSION_DATA* version);
std::string ModuleItemText(const pdu::PDU_MODULE_ITEM* item);
std::string RscIdItemText(const pdu::PDU_RSC_ID_ITEM* item);
std::string RscStatusItemText(const pdu::PDU_RSC_STATUS_ITEM* item);
std::string ConflictItemText(const pdu::PDU_RSC_CONFLICT_ITEM* item);
std::string UniqueRespTableText(const pdu::PDU_UNIQUE_RESP_ID_TABLE_ITEM* table,
                                const ObjectNames& names);
std::string DataItemText(const pdu::PDU_DATA_ITEM* item, std::uint32_t byteLimit);
// The event item's fields: "Event" (type, hCoP, tag, timestamp) and what its
// data holds; a result's bytes are captured up to `byteLimit` (0: up to the cap).
void AddEventItem(PduRecord& record, const pdu::PDU_EVENT_ITEM* item, std::uint32_t byteLimit);
// A foreign C text of at most `limit` bytes in quotes, as far as it can be
// read ("NULL", or its address marked "(not readable)").
std::string QuotedForeignText(const char* text, std::size_t limit);

}  // namespace monitor
