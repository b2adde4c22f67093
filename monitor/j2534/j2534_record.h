// What the J2534 monitor captures of a call on the calling thread (cheap copies
// of the arguments, the message bytes up to the message size) and how the
// writer thread turns that into a LogEntry. Free of Windows headers: it reads
// only memory handed to it with its size, and never dereferences a pointer it
// was not given as valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/log_entry.h"
#include "passthru/j2534.h"
#include "passthru/j2534_v05.h"
#include "passthru/names_v05.h"

namespace monitor {

enum class J2534Function {
  Open, Close, Connect, Disconnect, ReadMsgs, WriteMsgs, StartPeriodicMsg, StopPeriodicMsg,
  StartMsgFilter, StopMsgFilter, SetProgrammingVoltage, ReadVersion, GetLastError, Ioctl,
  // 05.00 only.
  ScanForDevices, GetNextDevice, LogicalConnect, LogicalDisconnect, Select, QueueMsgs,
};
// "PassThruOpen", ...
const char* FunctionName(J2534Function function);

// Messages logged per call at most; the rest are counted.
inline constexpr std::uint32_t kMaxLoggedMessages = 1024;
// Entries of an SCONFIG list or bytes of an SBYTE_ARRAY logged at most.
inline constexpr std::uint32_t kMaxLoggedParams = 256;
inline constexpr std::uint32_t kMaxLoggedBytes = 4128;
// Hex bytes to a line in a message dump.
inline constexpr std::size_t kBytesPerLine = 32;

// A message's header and its data bytes up to the message size. A 05.00
// message (`v05`) has its data in a buffer of the caller's: `dataSize` is its
// DataLength, and the buffer's size is kept.
struct CapturedMsg {
  passthru::ULong protocol = 0, rxStatus = 0, txFlags = 0, timestamp = 0, dataSize = 0,
                  extraDataIndex = 0;
  bool v05 = false;
  passthru::ULong msgHandle = 0, dataBufferSize = 0;
  std::vector<std::uint8_t> data;
};
// Copies `msg`: DataSize capped at 4128, then at `limit` bytes (0: no limit).
CapturedMsg CaptureMessage(const passthru::PassThruMsg& msg, std::uint32_t limit);
// Copies the 05.00 message `msg` (a copy of the caller's header): of its data,
// never more than DataLength, nor than DataBufferSize (the caller's buffer),
// nor than 4128 and `limit` bytes, nor than can be read at DataBuffer.
CapturedMsg CaptureMessage(const passthru::v05::PassThruMsg& msg, std::uint32_t limit);
// The bytes of a 05.00 message that lie in its buffer: DataLength, but never
// more than DataBufferSize (a read into a smaller buffer keeps that much).
std::uint32_t BytesInBuffer(const CapturedMsg& msg);
// "protocol CAN, RxStatus 0x... (...), TxFlags ..., Timestamp 123 us, DataSize 12,
// ExtraDataIndex 0" and the data lines; a DataSize above 4128 is marked as
// capped, data cut by the message size is marked as shown/total. A 05.00
// message reads "protocol ISO15765_LOGICAL, MsgHandle 1, RxStatus ..., DataLength
// 12, ExtraDataIndex 0, DataBufferSize 4128", with its version's names; a
// DataLength beyond its buffer is marked as such.
std::string MessageText(const CapturedMsg& msg);
void AppendMessageText(std::string* text, const CapturedMsg& msg);

// "DATA_RATE = 500000" lines of `shown` items of a list of `count` (the rest counted).
std::string ConfigListText(const passthru::SConfig* items, std::uint32_t count,
                           std::uint32_t shown,
                           passthru::ApiVersion version = passthru::ApiVersion::k0404);
// "NumOfBytes 3: 01 02 03" of `shown` bytes of `count`.
std::string ByteArrayText(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t shown);

// A decoded argument waiting for the writer: ready text, or messages to dump.
struct PendingField {
  const char* name = "";  // a text of the library's own (a literal): nothing to copy per call
  std::string text;
  std::vector<CapturedMsg> messages;
  std::uint32_t messagesNotLogged = 0;
};

// One call (or its start or its return) as captured.
struct J2534Record {
  std::uint64_t localFileTime = 0;  // 100 ns since 1601-01-01, local time
  std::uint64_t elapsedMicros = 0;
  std::uint32_t processId = 0, threadId = 0;
  J2534Function function = J2534Function::Open;
  passthru::ApiVersion version = passthru::ApiVersion::k0404;  // names the result
  Phase phase = Phase::Call;
  std::vector<PendingField> fields;
  bool hasResult = false;
  passthru::Long result = 0;
  std::int64_t durationMicros = -1;
};
// The entry of a record: fields decoded, the result by name.
LogEntry BuildEntry(const J2534Record& record);
// The same into `entry`, every member set; the texts keep their room (the
// writer builds every entry into one).
void BuildEntry(const J2534Record& record, LogEntry* entry);
// Bytes a record holds (for the writer's queue bound).
std::size_t RecordBytes(const J2534Record& record);

// Decimal text of a number.
std::string Dec(std::uint64_t value);

}  // namespace monitor
