// Fuzz target of the text rules that build without Windows headers: version
// packing, the set-aside and settings-key paths, the PATH search candidates,
// the existence-test path check, the RP1210 list, serial numbers, entry
// positions, the log formats' extension rules, a library's PE header and the
// native system folder's path. Each rule is run on the
// input and its promises are checked; a broken promise aborts (and the
// sanitizers catch any bad access).
//
// VARROW_FUZZ_RULE=<n> restricts the run to one rule (0..kRules-1); otherwise
// the first input byte chooses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/native/fuzz_promise.h"
#include "locale/version_rules.h"
#include "monitoring/format_rules.h"
#include "monitoring/path_rules.h"
#include "monitoring/pe_rules.h"
#include "settings/number_text.h"

namespace {

constexpr int kRules = 11;
int g_rule = -1;


// Bytes to a wide text: pairs of bytes as UTF-16 units, or (when `alphabet`)
// each byte picks a character that matters to the rules.
std::wstring Wide(const std::uint8_t* data, std::size_t size, bool alphabet) {
  static const wchar_t kAlphabet[] = L"\\/:;,. \t\r\n_-+0123456789abcdefABCDEF*?xyz\x00e9\x4e2d";
  constexpr std::size_t kAlphabetSize = sizeof(kAlphabet) / sizeof(wchar_t) - 1;
  std::wstring text;
  if (alphabet) {
    for (std::size_t i = 0; i < size; ++i) text.push_back(kAlphabet[data[i] % kAlphabetSize]);
  } else {
    for (std::size_t i = 0; i + 1 < size; i += 2)
      text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

void Aside(const std::wstring& p) {
  const std::wstring aside = varrow::AsidePath(p);
  PROMISE("AsidePath", aside.size() < varrow::kPathFieldChars);
  if (aside.empty()) {
    PROMISE("AsidePath", p.size() + 1 >= varrow::kPathFieldChars);
    return;
  }
  PROMISE("AsidePath", aside.size() == p.size() + 1);
  const std::size_t slash = p.rfind(L'\\');
  const std::size_t name = slash == std::wstring::npos ? 0 : slash + 1;
  PROMISE("AsidePath", aside.compare(0, name, p, 0, name) == 0);
  PROMISE("AsidePath", aside[name] == L'_');
  PROMISE("AsidePath", aside.compare(name + 1, std::wstring::npos, p, name) == 0);
}

void KeyName(const std::wstring& p) {
  const std::wstring key = varrow::SettingsKeyName(p);
  PROMISE("SettingsKeyName", key.size() == p.size());
  for (std::size_t i = 0; i < p.size(); ++i)
    PROMISE("SettingsKeyName", key[i] == (p[i] == L'\\' ? L'_' : p[i]));
}

void Candidates(const std::wstring& text) {
  // The text is "path|PATH value".
  const std::size_t bar = text.find(L'|');
  const std::wstring path = text.substr(0, bar);
  const std::wstring variable = bar == std::wstring::npos ? L"" : text.substr(bar + 1);
  const std::vector<std::wstring> found = varrow::PathSearchCandidates(path, variable);
  if (path.empty() || path.find(L':') != std::wstring::npos) PROMISE("PathSearch", found.empty());
  std::size_t pieces = 1;
  for (wchar_t c : variable) pieces += c == L';';
  PROMISE("PathSearch", found.size() <= pieces);
  for (const std::wstring& candidate : found) {
    PROMISE("PathSearch", candidate.size() < varrow::kPathFieldChars);
    PROMISE("PathSearch", candidate.size() > path.size());
    PROMISE("PathSearch", candidate.compare(candidate.size() - path.size(), path.size(), path) == 0);
    PROMISE("PathSearch", candidate[candidate.size() - path.size() - 1] == L'\\');
    PROMISE("PathSearch", candidate.find(L';') == std::wstring::npos ||
                              path.find(L';') != std::wstring::npos);
  }
}

void Plain(const std::wstring& p) {
  const bool plain = varrow::PlainFilePath(p);
  bool expected = !p.empty() && p.size() < varrow::kPathFieldChars &&
                  p.find_first_of(L"*?") == std::wstring::npos;
  for (std::size_t i = 0; expected && i < p.size(); ++i) expected = p[i] != L':' || i == 1;
  PROMISE("PlainFilePath", plain == expected);
}

void Rp1210(const std::wstring& list, bool cut) {
  for (const std::wstring& name : varrow::SplitRp1210List(list, cut)) {
    PROMISE("SplitRp1210List", !name.empty());
    PROMISE("SplitRp1210List", name.find_first_of(L",\r\n\\/:*?") == std::wstring::npos);
    PROMISE("SplitRp1210List", name.front() != L' ' && name.front() != L'\t');
    PROMISE("SplitRp1210List", name.back() != L' ' && name.back() != L'\t');
    PROMISE("SplitRp1210List", list.find(name) != std::wstring::npos);
  }
}

void Version(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::uint32_t packed = 0xDEADBEEF;
  const bool ok = varrow::PackVersionNumber(text, &packed);
  PROMISE("PackVersionNumber", ok == (!text.empty() && text.size() <= 127));
  if (!ok) PROMISE("PackVersionNumber", packed == 0xDEADBEEF);
  const std::uint32_t date = varrow::PackCompileDate(text);
  if (text.size() < 9) PROMISE("PackCompileDate", date == 27071500u);
  else PROMISE("PackCompileDate", (date & 0xFF) == 0 && ((date >> 16) & 0xFF) <= 12);
}

void Serial(const std::wstring& text) {
  std::uint32_t value = 0xDEADBEEF;
  const bool ok = varrow::ParseSerialText(text, &value);
  if (!ok) PROMISE("ParseSerialText", value == 0xDEADBEEF);
  // Whatever the text, a number written back reads as itself.
  if (ok) {
    std::uint32_t again = 1;
    PROMISE("ParseSerialText", varrow::ParseSerialText(std::to_wstring(value), &again));
    PROMISE("ParseSerialText", again == value);
  }
  const varrow::LeadingNumber number = varrow::ReadLeadingNumber(text.c_str(), text.size());
  if (number.overflow) PROMISE("ReadLeadingNumber", number.hasDigits && !ok);
  if (!number.hasDigits) PROMISE("ReadLeadingNumber", number.magnitude == 0 && ok && value == 0);
}

void Entry(const std::wstring& text, std::uint32_t entries) {
  std::uint32_t position = 0xDEADBEEF;
  if (varrow::EntryPositionText(text.c_str(), text.size(), entries, &position))
    PROMISE("EntryPositionText", position < entries);
  else
    PROMISE("EntryPositionText", position == 0xDEADBEEF);
}

void Extension(const std::wstring& text, std::int32_t code) {
  const std::wstring extension = varrow::FileNameExtension(text);
  if (!extension.empty()) {
    PROMISE("FileNameExtension", extension[0] == L'.');
    PROMISE("FileNameExtension", extension.find_first_of(L"\\/") == std::wstring::npos);
    PROMISE("FileNameExtension", text.size() >= extension.size() &&
                                     text.compare(text.size() - extension.size(), extension.size(),
                                                  extension) == 0);
  }
  const std::wstring applied = varrow::ApplyFormatExtension(text, code);
  const varrow::OutputFormatInfo* format = varrow::FindOutputFormat(code);
  const std::size_t start = varrow::FileNameStart(text);
  PROMISE("FileNameStart", start <= text.size());
  if (format == nullptr || start >= text.size()) {
    PROMISE("ApplyFormatExtension", applied == text);
    return;
  }
  PROMISE("ApplyFormatExtension", varrow::FileNameExtension(applied) == format->dotted);
  PROMISE("ApplyFormatExtension", applied.compare(0, start, text, 0, start) == 0);
  PROMISE("ApplyFormatExtension", varrow::ApplyFormatExtension(applied, code) == applied);
}

// Any bytes as a DOS header, then as the bytes at the signature offset: only
// what was given is read (the sanitizers see a copy of exactly that size).
void PeHeader(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  std::uint32_t offset = 0xdeadbeef;
  const varrow::PeCheck dos = varrow::PeSignatureOffset(bytes.data(), bytes.size(), &offset);
  if (dos == varrow::PeCheck::kOk) {
    PROMISE("PeHeader", offset >= varrow::kDosHeaderBytes && offset <= varrow::kMaxPeOffset);
  } else {
    PROMISE("PeHeader", offset == 0xdeadbeef);
  }
  std::uint16_t machine = 0xbeef;
  const varrow::PeCheck pe = varrow::PeMachineAt(bytes.data(), bytes.size(), &machine);
  PROMISE("PeHeader", pe != varrow::PeCheck::kOk || (size >= 6 && machine == (data[4] | data[5] << 8)));
}

void NativePath(const std::wstring& text) {
  // The text is "path|windows folder".
  const std::size_t bar = text.find(L'|');
  const std::wstring path = text.substr(0, bar);
  const std::wstring windows = bar == std::wstring::npos ? L"C:\\Windows" : text.substr(bar + 1);
  const std::wstring native = varrow::NativeSystemPath(path, windows);
  PROMISE("NativeSystemPath", native.size() < varrow::kPathFieldChars || native == path);
  if (native.empty() || native == path) return;
  // The folder's System32 became Sysnative, and the rest is kept.
  std::wstring root = windows;
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  PROMISE("NativeSystemPath", path.size() >= root.size() + 9);
  PROMISE("NativeSystemPath", native == root + L"\\Sysnative" + path.substr(root.size() + 9));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* rule = std::getenv("VARROW_FUZZ_RULE")) g_rule = std::atoi(rule) % kRules;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int rule = g_rule >= 0 ? g_rule : data[0] % kRules;
  const bool alphabet = (data[1] & 1) != 0;
  const std::uint8_t* rest = data + 2;
  const std::size_t restSize = size - 2;
  const std::wstring text = Wide(rest, restSize, alphabet);
  switch (rule) {
    case 0: Aside(text); break;
    case 1: KeyName(text); break;
    case 2: Candidates(text); break;
    case 3: Plain(text); break;
    case 4: Rp1210(text, (data[1] & 2) != 0); break;
    case 5: Version(rest, restSize); break;
    case 6: Serial(text); break;
    case 7: Entry(text, 1 + data[1] % 16); break;
    case 8: Extension(text, static_cast<std::int32_t>(data[1] % 7) - 1); break;
    case 9: PeHeader(rest, restSize); break;
    case 10: NativePath(text); break;
  }
  return 0;
}
