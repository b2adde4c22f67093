#include "monitoring/leftover_rules.h"

#include "monitoring/path_rules.h"

namespace varrow {

namespace {

constexpr std::size_t kSuffixChars = sizeof(kLeftoverSuffix) / sizeof(wchar_t) - 1;

std::wstring Hex(std::uint64_t value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text(16, L'0');
  for (int i = 15; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 0xF];
  return text;
}

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

}  // namespace

std::wstring LeftoverPath(const std::wstring& library, std::uint64_t unique) {
  const std::size_t slash = library.rfind(L'\\');
  const std::size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
  if (nameStart >= library.size()) return {};
  // A name that holds another separator or a drive would move the leftover elsewhere.
  if (library.find_first_of(L"/:", nameStart) != std::wstring::npos) return {};
  const std::wstring folder = library.substr(0, nameStart);  // with its "\"
  const std::wstring tail = Hex(unique) + kLeftoverSuffix;
  std::wstring path = folder + L"~" + library.substr(nameStart) + L"." + tail;
  if (path.size() < kPathFieldChars) return path;
  path = folder + L"~" + tail;
  if (path.size() < kPathFieldChars) return path;
  return {};
}

bool IsLeftoverName(const std::wstring& name) {
  if (name.size() < 2 + kSuffixChars || name[0] != L'~') return false;
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return false;
  const std::size_t start = name.size() - kSuffixChars;
  for (std::size_t i = 0; i < kSuffixChars; ++i) {
    if (AsciiLower(name[start + i]) != kLeftoverSuffix[i]) return false;
  }
  return true;
}

bool LeftoverOwner(const std::wstring& name, std::uint32_t* process) {
  if (!IsLeftoverName(name) || name.size() < 1 + 16 + kSuffixChars) return false;
  const std::size_t digits = name.size() - kSuffixChars - 16;
  const wchar_t before = name[digits - 1];
  if (before != L'.' && before != L'~') return false;
  std::uint64_t value = 0;
  for (std::size_t i = digits; i < digits + 16; ++i) {
    const wchar_t c = AsciiLower(name[i]);
    int digit;
    if (c >= L'0' && c <= L'9') digit = c - L'0';
    else if (c >= L'a' && c <= L'f') digit = c - L'a' + 10;
    else return false;
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  *process = static_cast<std::uint32_t>(value >> 32);
  return true;
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return {};
  return path.substr(0, slash);
}

}  // namespace varrow
