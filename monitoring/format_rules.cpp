#include "monitoring/format_rules.h"

namespace varrow {

namespace {
constexpr OutputFormatInfo kOutputFormats[] = {
    {1, L"ASCII", L"txt", L".txt"},
    {2, L"XML", L"xml", L".xml"},
    {3, L"CSV", L"csv", L".csv"},
    {4, L"HTML", L"html", L".html"},
};
}  // namespace

const OutputFormatInfo* FindOutputFormat(std::int32_t code) {
  for (const OutputFormatInfo& format : kOutputFormats) {
    if (format.code == code) return &format;
  }
  return nullptr;
}

namespace {
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
}  // namespace

std::size_t FileNameStart(const std::wstring& path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (IsSeparator(path[i - 1])) return i;
  }
  return 0;
}

std::wstring FileNameExtension(const std::wstring& path) {
  const std::size_t start = FileNameStart(path);
  const std::size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || dot < start) return {};
  return path.substr(dot);
}

std::wstring ApplyFormatExtension(const std::wstring& text, std::int32_t code) {
  const OutputFormatInfo* format = FindOutputFormat(code);
  const std::size_t start = FileNameStart(text);
  if (format == nullptr || start >= text.size()) return text;
  const std::size_t dot = text.rfind(L'.');
  const std::size_t stem = (dot == std::wstring::npos || dot < start) ? text.size() : dot;
  return text.substr(0, stem) + format->dotted;
}

}  // namespace varrow
