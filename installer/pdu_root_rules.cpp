#include "installer/pdu_root_rules.h"

#include <algorithm>

namespace varrow::pduroot {
namespace {

constexpr std::string_view kRoot = "MVCI_PDU_API_ROOT";
constexpr std::string_view kEntry = "MVCI_PDU_API";

bool Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool NameChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == ':' || c >= 0x80;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && Space(s.front())) s.remove_prefix(1);
  while (!s.empty() && Space(s.back())) s.remove_suffix(1);
  return s;
}

// Well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF), no NUL.
bool Utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == 0) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t more = 0;
    unsigned long value = 0, least = 0;
    if ((c & 0xE0) == 0xC0) more = 1, value = c & 0x1F, least = 0x80;
    else if ((c & 0xF0) == 0xE0) more = 2, value = c & 0x0F, least = 0x800;
    else if ((c & 0xF8) == 0xF0) more = 3, value = c & 0x07, least = 0x10000;
    else return false;
    if (s.size() - i <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      value = (value << 6) | (d & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

std::string Decoded(std::string_view s) {
  static constexpr struct { std::string_view from; char to; } kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    bool replaced = false;
    for (const auto& e : kEntities) {
      if (s.substr(i, e.from.size()) == e.from) {
        out.push_back(e.to);
        i += e.from.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out.push_back(s[i++]);
  }
  return out;
}

std::string Escaped(std::string_view s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// A start tag's attributes, from just after its name to its ">" or "/>":
// sets *close to the offset after the tag, *empty for "/>", and hands each
// (name, raw value) to `seen`. False when the tag is malformed.
template <typename Seen>
bool Attributes(std::string_view t, std::size_t i, std::size_t* close, bool* empty, Seen seen) {
  for (;;) {
    const std::size_t before = i;
    while (i < t.size() && Space(t[i])) ++i;
    if (i >= t.size()) return false;
    if (t[i] == '>') return *close = i + 1, *empty = false, true;
    if (t[i] == '/') return i + 1 < t.size() && t[i + 1] == '>' && (*close = i + 2, *empty = true, true);
    if (i == before) return false;  // attributes are separated by white space
    const std::size_t name = i;
    while (i < t.size() && NameChar(static_cast<unsigned char>(t[i]))) ++i;
    if (i == name) return false;
    const std::string_view attribute = t.substr(name, i - name);
    while (i < t.size() && Space(t[i])) ++i;
    if (i >= t.size() || t[i] != '=') return false;
    ++i;
    while (i < t.size() && Space(t[i])) ++i;
    if (i >= t.size() || (t[i] != '"' && t[i] != '\'')) return false;
    const char quote = t[i++];
    const std::size_t end = t.find(quote, i);
    if (end == std::string_view::npos) return false;
    const std::string_view value = t.substr(i, end - i);
    if (value.find('<') != std::string_view::npos) return false;
    seen(attribute, value);
    i = end + 1;
  }
}

Edit Refused(const char* why) { return {Outcome::kRefused, {}, why}; }

// The newline the file uses before offset `at` ("\r\n" or "\n").
std::string_view NewlineOf(std::string_view t, std::size_t at) {
  const std::size_t n = t.rfind('\n', at);
  return n != std::string_view::npos && n > 0 && t[n - 1] == '\r' ? "\r\n" : "\n";
}

// The start of the line holding `at` when only blanks stand before it there.
bool BlankBefore(std::string_view t, std::size_t at, std::size_t* lineStart) {
  std::size_t i = at;
  while (i > 0 && (t[i - 1] == ' ' || t[i - 1] == '\t')) --i;
  if (i > 0 && t[i - 1] != '\n') return false;
  *lineStart = i;
  return true;
}

}  // namespace

Scan ScanRootFile(std::string_view t) {
  Scan scan;
  auto refuse = [&](const char* why) {
    scan.problem = why;
    scan.entries.clear();
    return scan;
  };
  if (t.size() > kMaxRootFileBytes) return refuse("larger than 1 MiB");
  if (t.size() >= 2 && ((t[0] == '\xFF' && t[1] == '\xFE') || (t[0] == '\xFE' && t[1] == '\xFF')))
    return refuse("UTF-16, not UTF-8");
  if (!Utf8(t)) return refuse("not UTF-8 text");
  std::size_t i = t.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  std::vector<std::string_view> open;  // the names of the open elements
  bool rootSeen = false, rootDone = false;
  EntrySpan* entry = nullptr;          // the entry being read
  std::string_view child;              // the entry's child being read (depth 3)
  int shortNames = 0;
  while (i < t.size()) {
    if (t[i] != '<') {
      const std::size_t next = std::min(t.find('<', i), t.size());
      const std::string_view text = t.substr(i, next - i);
      if (open.empty() && !Trimmed(text).empty()) return refuse("text outside the document element");
      if (entry != nullptr && open.size() == 3 && child == "SHORT_NAME" && shortNames == 1)
        entry->shortName += text;
      i = next;
      continue;
    }
    const std::string_view rest = t.substr(i);
    if (rest.substr(0, 4) == "<!--") {
      const std::size_t end = t.find("-->", i + 4);
      if (end == std::string_view::npos) return refuse("an unterminated comment");
      i = end + 3;
    } else if (rest.substr(0, 9) == "<![CDATA[") {
      const std::size_t end = t.find("]]>", i + 9);
      if (end == std::string_view::npos || open.empty()) return refuse("a stray or unterminated CDATA section");
      if (entry != nullptr && open.size() == 3 && child == "SHORT_NAME" && shortNames == 1)
        entry->shortName += t.substr(i + 9, end - i - 9);
      i = end + 3;
    } else if (rest.substr(0, 2) == "<?") {
      const std::size_t end = t.find("?>", i + 2);
      if (end == std::string_view::npos) return refuse("an unterminated processing instruction");
      i = end + 2;
    } else if (rest.substr(0, 2) == "<!") {
      return refuse("a document type declaration");
    } else if (rest.substr(0, 2) == "</") {
      std::size_t j = i + 2;
      while (j < t.size() && NameChar(static_cast<unsigned char>(t[j]))) ++j;
      const std::string_view name = t.substr(i + 2, j - i - 2);
      while (j < t.size() && Space(t[j])) ++j;
      if (j >= t.size() || t[j] != '>' || open.empty() || open.back() != name) return refuse("unbalanced tags");
      if (open.size() == 1) {
        scan.rootClose = i;
        rootDone = true;
      }
      if (open.size() == 2 && entry != nullptr) {
        entry->end = j + 1;
        entry->shortName = std::string(Trimmed(entry->shortName));
        entry = nullptr;
      }
      open.pop_back();
      i = j + 1;
    } else {
      std::size_t j = i + 1;
      while (j < t.size() && NameChar(static_cast<unsigned char>(t[j]))) ++j;
      const std::string_view name = t.substr(i + 1, j - i - 1);
      if (name.empty()) return refuse("a stray \"<\"");
      if (open.empty() && (rootSeen || name != kRoot)) return refuse("not a D-PDU API root description file");
      std::size_t close = 0;
      bool empty = false;
      std::string uri;
      const bool isLibrary = entry != nullptr && open.size() == 2 && name == "LIBRARY_FILE";
      if (!Attributes(t, j, &close, &empty, [&](std::string_view a, std::string_view v) {
            if (isLibrary && a == "URI") uri = Decoded(v);
          }))
        return refuse("a malformed tag");
      if (open.empty()) {
        if (empty) return refuse("an empty document element");
        rootSeen = true;
      }
      if (open.size() == 1 && name == kEntry) {
        if (scan.entries.size() >= kMaxEntries) return refuse("too many entries");
        scan.entries.push_back({i, close, {}, {}});
        entry = empty ? nullptr : &scan.entries.back();
        shortNames = 0;
      }
      if (isLibrary && scan.entries.back().libraryUri.empty()) scan.entries.back().libraryUri = uri;
      if (!empty) {
        if (open.size() >= kMaxDepth) return refuse("nested too deep");
        if (entry != nullptr && open.size() == 2) {
          child = name;
          if (name == "SHORT_NAME") ++shortNames;
        }
        open.push_back(name);
      }
      i = close;
    }
  }
  if (!rootSeen || !rootDone || !open.empty()) return refuse("unbalanced tags");
  return scan;
}

std::string EmptyRootFile() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<MVCI_PDU_API_ROOT MVCI_PART2_STANDARD_VERSION=\"2.2.0\">\n"
         "</MVCI_PDU_API_ROOT>\n";
}

std::string EntryElement(const OurEntry& ours, std::string_view indent, std::string_view newline) {
  const std::string inner = std::string(newline) + std::string(indent) + "  ";
  auto file = [&](const char* tag, const std::string& uri) {
    return inner + "<" + tag + " URI=\"" + Escaped(uri) + "\"/>";
  };
  return "<MVCI_PDU_API>" + inner + "<SHORT_NAME>" + Escaped(ours.shortName) + "</SHORT_NAME>" + inner +
         "<DESCRIPTION>" + Escaped(ours.description) + "</DESCRIPTION>" + inner + "<SUPPLIER_NAME>" +
         Escaped(ours.supplier) + "</SUPPLIER_NAME>" + file("LIBRARY_FILE", ours.libraryUri) +
         file("MODULE_DESCRIPTION_FILE", ours.moduleUri) + file("CABLE_DESCRIPTION_FILE", ours.cableUri) +
         std::string(newline) + std::string(indent) + "</MVCI_PDU_API>";
}

Edit AddOrUpdate(std::string_view text, const OurEntry& ours) {
  const std::string fresh = EmptyRootFile();
  if (text.size() <= kMaxRootFileBytes && Trimmed(text).empty()) text = fresh;
  const Scan scan = ScanRootFile(text);
  if (scan.problem != nullptr) return Refused(scan.problem);
  const EntrySpan* mine = nullptr;
  for (const EntrySpan& e : scan.entries) {
    if (e.shortName != ours.shortName) continue;
    if (mine != nullptr) return Refused("the package's name is on more than one entry");
    mine = &e;
  }
  std::string out(text);
  if (mine != nullptr) {
    std::size_t line = 0;
    const std::string indent = BlankBefore(text, mine->begin, &line)
                                   ? std::string(text.substr(line, mine->begin - line)) : "";
    const std::string element = EntryElement(ours, indent, NewlineOf(text, mine->begin));
    if (text.substr(mine->begin, mine->end - mine->begin) == element) return {Outcome::kUnchanged, out, nullptr};
    out.replace(mine->begin, mine->end - mine->begin, element);
  } else {
    std::size_t line = 0;
    const std::string_view newline = NewlineOf(text, scan.rootClose);
    if (BlankBefore(text, scan.rootClose, &line)) {
      out.insert(line, "  " + EntryElement(ours, "  ", newline) + std::string(newline));
    } else {
      out.insert(scan.rootClose, EntryElement(ours, "", newline));
    }
  }
  if (out.size() > kMaxRootFileBytes) return Refused("would grow past 1 MiB");
  return {Outcome::kWritten, std::move(out), nullptr};
}

Edit RemoveEntry(std::string_view text, std::string_view shortName) {
  const Scan scan = ScanRootFile(text);
  if (scan.problem != nullptr) return Refused(scan.problem);
  const EntrySpan* mine = nullptr;
  for (const EntrySpan& e : scan.entries) {
    if (e.shortName != shortName) continue;
    if (mine != nullptr) return Refused("the package's name is on more than one entry");
    mine = &e;
  }
  if (mine == nullptr) return {Outcome::kUnchanged, std::string(text), nullptr};
  std::size_t begin = mine->begin, end = mine->end, line = 0;
  if (BlankBefore(text, begin, &line)) {
    if (text.substr(end, 2) == "\r\n") begin = line, end += 2;
    else if (text.substr(end, 1) == "\n") begin = line, end += 1;
  }
  std::string out(text);
  out.erase(begin, end - begin);
  return {Outcome::kWritten, std::move(out), nullptr};
}

std::string FileUri(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:///";
  for (const char ch : path) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      uri.push_back('/');
    } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.' || c == '_' || c == '~' || c == '/' || c == ':') {
      uri.push_back(static_cast<char>(c));
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 15]);
    }
  }
  return uri;
}

bool PathFromFileUri(std::string_view uri, std::string* path) {
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return out;
  };
  uri = Trimmed(uri);
  if (lower(uri.substr(0, 8)) == "file:///") uri.remove_prefix(8);
  else if (lower(uri.substr(0, 17)) == "file://localhost/") uri.remove_prefix(17);
  else return false;
  std::string out;
  for (std::size_t i = 0; i < uri.size(); ++i) {
    char c = uri[i];
    if (c == '\0') return false;  // a path never holds one: it would end the name early
    if (c == '%') {
      auto hex = [](char h) {
        return h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                             : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
      };
      if (i + 2 >= uri.size()) return false;
      const int high = hex(uri[i + 1]), low = hex(uri[i + 2]);
      if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    out.push_back(c == '/' ? '\\' : c);
    if (out.size() > 32767) return false;
  }
  const bool drive = out.size() >= 3 && ((out[0] >= 'A' && out[0] <= 'Z') || (out[0] >= 'a' && out[0] <= 'z')) &&
                     out[1] == ':' && out[2] == '\\';
  if (!drive) return false;
  *path = std::move(out);
  return true;
}

}  // namespace varrow::pduroot
