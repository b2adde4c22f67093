#include "monitor/j2534/j2534_record.h"

#include <algorithm>
#include <cstring>

#include "log/text_rules.h"
#include "monitor/memory_probe.h"
#include "passthru/names.h"

namespace monitor {

using passthru::ULong;

const char* FunctionName(J2534Function function) {
  switch (function) {
    case J2534Function::Open: return "PassThruOpen";
    case J2534Function::Close: return "PassThruClose";
    case J2534Function::Connect: return "PassThruConnect";
    case J2534Function::Disconnect: return "PassThruDisconnect";
    case J2534Function::ReadMsgs: return "PassThruReadMsgs";
    case J2534Function::WriteMsgs: return "PassThruWriteMsgs";
    case J2534Function::StartPeriodicMsg: return "PassThruStartPeriodicMsg";
    case J2534Function::StopPeriodicMsg: return "PassThruStopPeriodicMsg";
    case J2534Function::StartMsgFilter: return "PassThruStartMsgFilter";
    case J2534Function::StopMsgFilter: return "PassThruStopMsgFilter";
    case J2534Function::SetProgrammingVoltage: return "PassThruSetProgrammingVoltage";
    case J2534Function::ReadVersion: return "PassThruReadVersion";
    case J2534Function::GetLastError: return "PassThruGetLastError";
    case J2534Function::Ioctl: return "PassThruIoctl";
    case J2534Function::ScanForDevices: return "PassThruScanForDevices";
    case J2534Function::GetNextDevice: return "PassThruGetNextDevice";
    case J2534Function::LogicalConnect: return "PassThruLogicalConnect";
    case J2534Function::LogicalDisconnect: return "PassThruLogicalDisconnect";
    case J2534Function::Select: return "PassThruSelect";
    case J2534Function::QueueMsgs: return "PassThruQueueMsgs";
  }
  return "PassThru?";
}

std::string Dec(std::uint64_t value) { return std::to_string(value); }

CapturedMsg CaptureMessage(const passthru::PassThruMsg& msg, std::uint32_t limit) {
  CapturedMsg out;
  out.protocol = msg.ProtocolID;
  out.rxStatus = msg.RxStatus;
  out.txFlags = msg.TxFlags;
  out.timestamp = msg.Timestamp;
  out.dataSize = msg.DataSize;
  out.extraDataIndex = msg.ExtraDataIndex;
  std::uint32_t bytes = std::min<std::uint32_t>(msg.DataSize, passthru::kMaxDataSize);
  if (limit != 0) bytes = std::min(bytes, limit);
  out.data.assign(msg.Data, msg.Data + bytes);
  return out;
}

CapturedMsg CaptureMessage(const passthru::v05::PassThruMsg& msg, std::uint32_t limit) {
  CapturedMsg out;
  out.v05 = true;
  out.protocol = msg.ProtocolID;
  out.msgHandle = msg.MsgHandle;
  out.rxStatus = msg.RxStatus;
  out.txFlags = msg.TxFlags;
  out.timestamp = msg.Timestamp;
  out.dataSize = msg.DataLength;
  out.extraDataIndex = msg.ExtraDataIndex;
  out.dataBufferSize = msg.DataBufferSize;
  std::uint32_t bytes = std::min<std::uint32_t>(BytesInBuffer(out), passthru::kMaxDataSize);
  if (limit != 0) bytes = std::min(bytes, limit);
  // The buffer is the application's: only what can be read of it.
  bytes = static_cast<std::uint32_t>(ReadableBytes(msg.DataBuffer, bytes));
  out.data.assign(msg.DataBuffer, msg.DataBuffer + bytes);
  return out;
}

std::uint32_t BytesInBuffer(const CapturedMsg& msg) {
  return msg.v05 ? std::min(msg.dataSize, msg.dataBufferSize) : msg.dataSize;
}

void AppendMessageText(std::string* text, const CapturedMsg& msg) {
  const passthru::VersionNames& names =
      passthru::NamesOf(msg.v05 ? passthru::ApiVersion::k0500 : passthru::ApiVersion::k0404);
  *text += "protocol ";
  if (const char* name = names.knownProtocol(msg.protocol)) {
    *text += name;
  } else {
    *text += names.protocol(msg.protocol);
  }
  if (msg.v05) {
    *text += ", MsgHandle ";
    AppendDecimal(text, msg.msgHandle);
  }
  *text += ", RxStatus ";
  names.appendRxStatus(text, msg.rxStatus);
  *text += ", TxFlags ";
  names.appendTxFlags(text, msg.txFlags);
  *text += ", Timestamp ";
  AppendDecimal(text, msg.timestamp);
  *text += msg.v05 ? " us, DataLength " : " us, DataSize ";
  AppendDecimal(text, msg.dataSize);
  const std::uint32_t inBuffer = BytesInBuffer(msg);
  if (inBuffer < msg.dataSize) {
    *text += " (beyond its buffer: ";
    AppendDecimal(text, inBuffer);
    *text += " bytes in it)";
  }
  if (inBuffer > passthru::kMaxDataSize) {
    *text += " (exceeds ";
    AppendDecimal(text, passthru::kMaxDataSize);
    *text += ": capped)";
  }
  *text += ", ExtraDataIndex ";
  AppendDecimal(text, msg.extraDataIndex);
  if (msg.v05) {
    *text += ", DataBufferSize ";
    AppendDecimal(text, msg.dataBufferSize);
  }
  const std::uint64_t whole = std::min<std::uint64_t>(inBuffer, passthru::kMaxDataSize);
  if (msg.data.size() < whole) {
    *text += "\nData (";
    AppendDecimal(text, msg.data.size());
    *text += " of ";
    AppendDecimal(text, whole);
    *text += " bytes):";
  } else {
    *text += "\nData:";
  }
  if (!msg.data.empty()) {
    *text += msg.data.size() > kBytesPerLine ? '\n' : ' ';
    AppendHexDump(text, msg.data.data(), msg.data.size(), kBytesPerLine);
  }
}

std::string MessageText(const CapturedMsg& msg) {
  std::string text;
  AppendMessageText(&text, msg);
  return text;
}

std::string ConfigListText(const passthru::SConfig* items, std::uint32_t count,
                           std::uint32_t shown, passthru::ApiVersion version) {
  const passthru::VersionNames& names = passthru::NamesOf(version);
  std::string text = "NumOfParams " + Dec(count);
  if (items == nullptr) return text + ", ConfigPtr NULL";
  shown = std::min(shown, count);
  for (std::uint32_t i = 0; i < shown; ++i) {
    text.append("\n").append(names.parameter(items[i].Parameter)).append(" = ").append(Dec(items[i].Value));
  }
  if (shown < count) text += "\n(" + Dec(count - shown) + " more not logged)";
  return text;
}

std::string ByteArrayText(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t shown) {
  std::string text = "NumOfBytes " + Dec(count);
  if (bytes == nullptr) return text + ", BytePtr NULL";
  shown = std::min(shown, count);
  if (shown != 0) text += ": " + HexDump(bytes, shown, 0);
  if (shown < count) text += " (" + Dec(count - shown) + " more not logged)";
  return text;
}

namespace {

// The next item of `items` in use (`used` of them so far): one kept in `spare`
// where there is one, with its room.
template <typename T>
T& NextItem(std::vector<T>& items, std::vector<T>& spare, std::size_t* used) {
  if (*used == items.size()) {
    if (spare.empty()) {
      items.emplace_back();
    } else {
      items.push_back(std::move(spare.back()));
      spare.pop_back();
    }
  }
  return items[(*used)++];
}

// Items beyond the `used` ones go to `spare`.
template <typename T>
void SpareRest(std::vector<T>& items, std::vector<T>& spare, std::size_t used) {
  while (items.size() > used) {
    spare.push_back(std::move(items.back()));
    items.pop_back();
  }
}

// How a message of `protocol` reads in the decoded conversation: a raw CAN
// frame, a whole ISO 15765 message, or not at all (false).
bool ConversationKind(ULong protocol, bool v05, FrameKind* kind) {
  const bool can = protocol == passthru::CAN || protocol == 0x8004 || protocol == 0x8008 ||
                   (protocol >= 0x9000 && protocol <= 0x907F);  // CAN_PS, SW_CAN_PS, CAN_CH1..128
  // 0x06 is ISO15765 in 04.04 only; 05.00 speaks ISO 15765 on logical channels.
  const bool iso = (v05 ? protocol == passthru::v05::ISO15765_LOGICAL : protocol == passthru::ISO15765) ||
                   protocol == 0x8005 || protocol == 0x8007 ||
                   (protocol >= 0x9400 && protocol <= 0x947F);  // ISO15765_PS, SW_ISO15765_PS, _CH1..128
  if (can) *kind = FrameKind::Can;
  if (iso) *kind = FrameKind::Iso15765;
  return can || iso;
}

// The messages of a read, a write or a periodic message as frames to decode.
void AddFrames(const J2534Record& record, const std::string& label,
               const CapturedMsg& msg, std::uint32_t channel, LogEntry* entry, std::size_t* frames) {
  FrameKind kind;
  if (!ConversationKind(msg.protocol, msg.v05, &kind)) return;
  if (record.function != J2534Function::ReadMsgs && record.function != J2534Function::WriteMsgs &&
      record.function != J2534Function::QueueMsgs && record.function != J2534Function::StartPeriodicMsg) {
    return;
  }
  DiagFrame& frame = NextItem(entry->frames, entry->spareFrames, frames);
  frame.kind = kind;
  frame.label = label;
  frame.channel = channel;
  const bool read = record.function == J2534Function::ReadMsgs;
  const ULong flags = read ? msg.rxStatus : msg.txFlags;
  frame.echo = read && (msg.rxStatus & passthru::TX_MSG_TYPE) != 0;
  frame.sent = !read || frame.echo;
  frame.extendedId = (flags & passthru::RX_CAN_29BIT_ID) != 0;
  frame.extendedAddress = kind == FrameKind::Iso15765 && (flags & passthru::RX_ISO15765_ADDR_TYPE) != 0;
  frame.indication = read && kind == FrameKind::Iso15765 &&
                     (msg.rxStatus & (passthru::START_OF_MESSAGE | passthru::TX_INDICATION)) != 0 &&
                     msg.data.size() <= (frame.extendedAddress ? 5u : 4u);
  if (frame.indication && (msg.rxStatus & passthru::TX_INDICATION) != 0) frame.sent = true;  // done sending
  frame.bytes.assign(msg.data.begin(), msg.data.end());
  const std::uint32_t whole = std::min<std::uint32_t>(BytesInBuffer(msg), passthru::kMaxDataSize);
  frame.total = whole > msg.data.size() ? whole : 0;
}

// The channel a call is about, from its ChannelID argument or output ("channel 2").
bool ChannelOf(const J2534Record& record, std::uint32_t* channel) {
  for (const PendingField& field : record.fields) {
    if (std::strcmp(field.name, "ChannelID") != 0 || field.text.empty() || field.text.size() > 10) continue;
    if (field.text.find_first_not_of("0123456789") != std::string::npos) continue;
    *channel = static_cast<std::uint32_t>(std::stoull(field.text));
    return true;
  }
  return false;
}

}  // namespace

void BuildEntry(const J2534Record& record, LogEntry* into) {
  LogEntry& entry = *into;
  entry.time = WallTimeFromFileTime(record.localFileTime);
  entry.elapsedMicros = record.elapsedMicros;
  entry.processId = record.processId;
  entry.threadId = record.threadId;
  entry.function = FunctionName(record.function);
  entry.phase = record.phase;
  entry.link.clear();
  std::uint32_t channel = 0;
  if (ChannelOf(record, &channel)) {
    entry.link = "channel ";
    AppendDecimal(&entry.link, channel);
  }
  // The entry's texts keep their room from one entry to the next.
  std::size_t fields = 0, frames = 0;
  const auto next = [&entry, &fields]() -> Field& { return NextItem(entry.fields, entry.spareFields, &fields); };
  for (const PendingField& pending : record.fields) {
    if (pending.messages.empty()) {
      Field& field = next();
      field.name = pending.name;
      field.value = pending.text;
      continue;
    }
    const bool numbered = pending.messages.size() > 1 || pending.messagesNotLogged != 0;
    for (std::size_t i = 0; i < pending.messages.size(); ++i) {
      Field& field = next();
      field.name = pending.name;
      if (numbered) {
        field.name += '[';
        AppendDecimal(&field.name, i);
        field.name += ']';
      }
      AddFrames(record, field.name, pending.messages[i], channel, &entry, &frames);
      field.value.clear();
      AppendMessageText(&field.value, pending.messages[i]);
    }
    if (pending.messagesNotLogged != 0) {
      Field& field = next();
      field.name = pending.name;
      field.value.clear();
      AppendDecimal(&field.value, pending.messagesNotLogged);
      field.value += " more not logged";
    }
  }
  SpareRest(entry.fields, entry.spareFields, fields);
  SpareRest(entry.frames, entry.spareFrames, frames);
  entry.result.clear();
  entry.failed = false;
  if (record.hasResult) {
    entry.result = passthru::NamesOf(record.version).returnCode(record.result);
    entry.failed = record.result != passthru::STATUS_NOERROR;
  }
  entry.durationMicros = record.durationMicros;
  Conversation& conversation = entry.conversation;  // decoded on the writer thread
  conversation.text.clear();
  conversation.ecu.clear();
  conversation.nrcs.clear();
  conversation.negative = conversation.pending = false;
}

LogEntry BuildEntry(const J2534Record& record) {
  LogEntry entry;
  BuildEntry(record, &entry);
  return entry;
}

std::size_t RecordBytes(const J2534Record& record) {
  std::size_t bytes = sizeof record;
  for (const PendingField& field : record.fields) {
    bytes += sizeof field + field.text.size();
    for (const CapturedMsg& msg : field.messages) bytes += sizeof msg + msg.data.size();
  }
  return bytes;
}

}  // namespace monitor
