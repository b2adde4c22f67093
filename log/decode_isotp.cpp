// The decoder's ISO 15765-2 part: the OBD-II CAN ids, the frames (single,
// first, consecutive, flow control) and the conversation across them.
#include "log/diag_decode.h"

#include <algorithm>
#include <cstdio>

#include "log/decode_parts.h"

namespace monitor {

using namespace decode;

// The OBD-II CAN ids of ISO 15765-4 (SAE J1979 on CAN): 11-bit 7DF functional
// request, 7E0-7E7 physical request to ECU 1-8, 7E8-7EF its response; 29-bit
// 18DB33F1 functional request, 18DA<ecu>F1 physical request (tester F1 as
// source), 18DAF1<ecu> response. One description lists 18DAxxF1 among the
// response ids; the target/source order of the 29-bit id makes it the request.
std::string CanIdText(std::uint32_t id, bool extended) {
  // "7E8" or "18DAF110": three or eight upper-case hex digits (more when an 11-bit id is not).
  static const char kDigits[] = "0123456789ABCDEF";
  const int least = extended ? 8 : 3;
  char digits[8];
  int n = 0;
  for (std::uint32_t rest = id; n < 8 && (rest != 0 || n < least); rest >>= 4) digits[7 - n++] = kDigits[rest & 0xF];
  const std::string hex(digits + 8 - n, static_cast<std::size_t>(n));
  const std::string ecu = CanIdEcu(id, extended);
  if (!extended) {
    if (id == 0x7DF) return std::string(hex) + " functional request";
    if (id >= 0x7E0 && id <= 0x7E7) return std::string(hex) + " request to " + ecu;
    if (id >= 0x7E8 && id <= 0x7EF) return std::string(hex) + " response from " + ecu;
  } else {
    if (id == 0x18DB33F1) return std::string(hex) + " functional request";
    if ((id & 0xFFFF00FF) == 0x18DA00F1) return std::string(hex) + " request to " + ecu;
    if ((id & 0xFFFFFF00) == 0x18DAF100) return std::string(hex) + " response from " + ecu;
  }
  return hex;
}

std::string CanIdEcu(std::uint32_t id, bool extended) {
  if (!extended) {
    if (id >= 0x7E0 && id <= 0x7E7) return "ECU " + std::to_string(id - 0x7E0 + 1);
    if (id >= 0x7E8 && id <= 0x7EF) return "ECU " + std::to_string(id - 0x7E8 + 1);
    return {};
  }
  if ((id & 0xFFFF00FF) == 0x18DA00F1 && id != 0x18DAF1F1) return "ECU " + Hex2(static_cast<std::uint8_t>(id >> 8));
  if ((id & 0xFFFFFF00) == 0x18DAF100) return "ECU " + Hex2(static_cast<std::uint8_t>(id));
  return {};
}

// ---- frames and the conversation ------------------------------------------
// ISO 15765-2 frames: PCI type 0 single, 1 first (12-bit length, or 0 and a
// 32-bit one), 2 consecutive (sequence 1..15, 0, ...), 3 flow control (status
// 0 continue to send, 1 wait, 2 overflow; STmin 00-7F ms, F1-F9 100-900 us).

namespace {

// Adds `item` to a `separator`-separated list unless it is there already.
void AddUnique(std::string* list, const std::string& item, char separator) {
  std::size_t at = 0;
  while (at <= list->size()) {
    std::size_t end = list->find(separator, at);
    if (end == std::string::npos) end = list->size();
    if (list->compare(at, end - at, item) == 0) return;
    at = end + 1;
  }
  if (!list->empty()) *list += separator;
  *list += item;
}

void NoteMarks(const ServiceMarks& marks, Conversation* conversation) {
  if (marks.nrc < 0 || conversation == nullptr) return;
  conversation->negative |= marks.negative;
  conversation->pending |= marks.pending;
  AddUnique(&conversation->nrcs, Hex2(static_cast<std::uint8_t>(marks.nrc)), ' ');
}

}  // namespace

ConversationDecoder::Stream* ConversationDecoder::Find(const DiagFrame& frame, std::uint32_t id, int address) {
  for (Stream& s : streams_) {
    if (s.channel == frame.channel && s.id == id && s.extended == frame.extendedId && s.address == address) {
      s.lastUse = ++clock_;
      return &s;
    }
  }
  return nullptr;
}

ConversationDecoder::Stream* ConversationDecoder::Start(const DiagFrame& frame, std::uint32_t id, int address) {
  Stream* s = Find(frame, id, address);
  if (s == nullptr) {
    if (streams_.size() < kMaxStreams) {
      streams_.emplace_back();
      s = &streams_.back();
    } else {  // the longest unused one makes room
      s = &*std::min_element(streams_.begin(), streams_.end(),
                             [](const Stream& a, const Stream& b) { return a.lastUse < b.lastUse; });
    }
  }
  s->channel = frame.channel;
  s->id = id;
  s->extended = frame.extendedId;
  s->address = address;
  s->nextSequence = 1;
  s->lastUse = ++clock_;
  s->data.clear();
  return s;
}

void ConversationDecoder::Forget(Stream* stream) {
  if (stream != &streams_.back()) *stream = std::move(streams_.back());
  streams_.pop_back();
}

void ConversationDecoder::AppendCanFrameText(const DiagFrame& frame, std::uint32_t id, const std::uint8_t* p,
                                             std::size_t n, int address, Conversation* conversation,
                                             std::string* text) {
  if (n == 0) {
    *text += "no data";
    return;
  }
  const bool track = !frame.echo;
  ServiceMarks marks;
  switch (p[0] >> 4) {
    case 0: {  // single frame (a CAN FD one puts its length in the next byte)
      std::size_t length = p[0] & 15;
      std::size_t at = 1;
      if (length == 0 && n > 8) {
        length = p[1];
        at = 2;
      }
      if (length == 0 || at + length > n) {
        *text += "single frame, length ";
        *text += std::to_string(length);
        *text += ": ";
        AppendBytes(text, p, n);
        return;
      }
      *text += "single frame: ";
      *text += ServiceText(p + at, length, &marks);
      break;
    }
    case 1: {  // first frame: 12-bit length, or 0 and a 32-bit one
      std::size_t length = 0;
      std::size_t at = 2;
      bool cut = n < 2;
      if (!cut) {
        length = static_cast<std::size_t>(p[0] & 15) << 8 | p[1];
        if (length == 0) {
          cut = n < 6;
          if (!cut) {
            length = static_cast<std::size_t>(p[2]) << 24 | static_cast<std::size_t>(p[3]) << 16 |
                     static_cast<std::size_t>(p[4]) << 8 | p[5];
            at = 6;
          }
        }
      }
      if (cut) {
        *text += "first frame, cut: ";
        AppendBytes(text, p, n);
        return;
      }
      *text += "first frame of ";
      *text += std::to_string(length);
      *text += " bytes: ";
      AppendBytes(text, p + at, n - at);
      if (track && length <= kMaxMessageBytes && length > n - at) {
        Stream* s = Start(frame, id, address);
        s->expected = length;
        s->data.assign(p + at, p + n);
      }
      break;
    }
    case 2: {  // consecutive frame
      const std::uint8_t sequence = p[0] & 15;
      *text += "consecutive frame ";
      *text += std::to_string(sequence);
      if (!track) {
        *text += ": ";
        AppendBytes(text, p + 1, n - 1);
        return;
      }
      Stream* s = Find(frame, id, address);
      if (s == nullptr) {
        *text += " (no first frame logged): ";
        AppendBytes(text, p + 1, n - 1);
        return;
      }
      if (sequence != s->nextSequence) {
        *text += " out of sequence (expected " + std::to_string(s->nextSequence) + "): message dropped";
        Forget(s);
        return;
      }
      s->nextSequence = (s->nextSequence + 1) & 15;
      const std::size_t take = std::min(n - 1, s->expected - s->data.size());
      s->data.insert(s->data.end(), p + 1, p + 1 + take);
      if (s->data.size() < s->expected) {
        *text += " (" + std::to_string(s->data.size()) + " of " + std::to_string(s->expected) + " bytes)";
        return;
      }
      *text += ", last of " + std::to_string(s->expected) + " bytes: " + ServiceText(s->data.data(), s->data.size(), &marks);
      Forget(s);
      break;
    }
    case 3: {  // flow control
      const std::uint8_t status = p[0] & 15;
      *text += "flow control: ";
      *text += status == 0 ? "continue to send" : status == 1 ? "wait" : status == 2 ? "overflow" : "status " + Hex2(status);
      if (n >= 3) {
        *text += ", block size " + std::to_string(p[1]) + ", STmin ";
        if (p[2] <= 0x7F) *text += std::to_string(p[2]) + " ms";
        else if (p[2] >= 0xF1 && p[2] <= 0xF9) *text += std::to_string((p[2] - 0xF0) * 100) + " us";
        else *text += Hex2(p[2]) + " (reserved)";
      }
      return;
    }
    default:
      *text += "not an ISO 15765-2 frame: ";
      AppendBytes(text, p, n);
      return;
  }
  NoteMarks(marks, conversation);
}

void ConversationDecoder::AppendFrameText(const DiagFrame& frame, Conversation* conversation, std::string* text) {
  const std::uint8_t* p = frame.bytes.data();
  std::size_t n = frame.bytes.size();
  ServiceMarks marks;
  if (frame.kind == FrameKind::Payload) {
    *text += ServiceText(p, n, &marks);
  } else {
    if (n < 4) {
      *text += "CAN id cut: ";
      AppendBytes(text, p, n);
      return;
    }
    const std::uint32_t id = static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                             static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    p += 4;
    n -= 4;
    *text += CanIdText(id, frame.extendedId);
    if (conversation != nullptr) {
      const std::string ecu = CanIdEcu(id, frame.extendedId);
      if (!ecu.empty()) AddUnique(&conversation->ecu, ecu, ';');
    }
    if (frame.echo) *text += " (echo of a sent frame)";
    int address = -1;
    if (frame.extendedAddress && n > 0) {
      address = p[0];
      text->append(", address ").append(Hex2(p[0]));
      ++p;
      --n;
    }
    if (frame.indication) {
      *text += frame.sent ? ": transmission done (indication)" : ": first frame received (indication)";
      return;
    }
    *text += ": ";
    if (frame.kind == FrameKind::Can) {
      AppendCanFrameText(frame, id, p, n, address, conversation, text);
      return;
    }
    *text += ServiceText(p, n, &marks);
  }
  NoteMarks(marks, conversation);
}

std::string ConversationDecoder::FrameText(const DiagFrame& frame, Conversation* conversation) {
  std::string text;
  AppendFrameText(frame, conversation, &text);
  return text;
}

void ConversationDecoder::Decode(LogEntry* entry) {
  Conversation& c = entry->conversation;
  for (const DiagFrame& frame : entry->frames) {
    if (!c.text.empty()) c.text += '\n';
    c.text += frame.label;
    c.text += ": ";
    AppendFrameText(frame, &c, &c.text);
    // Decoded as far as it was logged: say so rather than pass a part for the whole.
    if (frame.total > frame.bytes.size()) {
      c.text += " [cut: " + std::to_string(frame.bytes.size()) + " of " + std::to_string(frame.total) + " bytes logged]";
    }
  }
}

}  // namespace monitor
