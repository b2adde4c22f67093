#include "monitoring/path_rules.h"

namespace varrow {

namespace {

bool Fits(const std::wstring& text) { return text.size() < kPathFieldChars; }

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f'; }

std::wstring Trim(const std::wstring& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

// True when `text` starts with `prefix`, ASCII letters compared without case.
bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

}  // namespace

std::wstring NativeSystemPath(const std::wstring& path, const std::wstring& windowsDir) {
  if (windowsDir.empty()) return path;
  std::wstring root = windowsDir;
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  const std::wstring system = root + L"\\System32";
  if (!StartsWithNoCase(path, system)) return path;
  // The folder itself or something in it; never System32x.
  if (path.size() > system.size() && path[system.size()] != L'\\') return path;
  std::wstring native = root + L"\\Sysnative" + path.substr(system.size());
  if (!Fits(native)) return {};
  return native;
}

std::wstring AsidePath(const std::wstring& p) {
  const std::size_t slash = p.rfind(L'\\');
  std::wstring aside;
  if (slash == std::wstring::npos) {
    aside = L"_" + p;
  } else {
    aside = p.substr(0, slash + 1) + L"_" + p.substr(slash + 1);
  }
  if (!Fits(aside)) return {};
  return aside;
}

std::wstring SettingsKeyName(const std::wstring& p) {
  std::wstring name = p;
  for (wchar_t& c : name) {
    if (c == L'\\') c = L'_';
  }
  return name;
}

std::wstring DefaultJ2534LogName(const std::wstring& logFileLocation,
                                 const std::wstring& functionLibrary) {
  const std::size_t slash = functionLibrary.rfind(L'\\');
  const std::wstring fileName =
      slash == std::wstring::npos ? functionLibrary : functionLibrary.substr(slash + 1);
  std::wstring name = logFileLocation + L"J2534\\" + fileName;
  if (!Fits(name)) return {};
  return name;
}

std::vector<std::wstring> PathSearchCandidates(const std::wstring& path,
                                               const std::wstring& pathVariable) {
  std::vector<std::wstring> candidates;
  if (path.empty() || path.find(L':') != std::wstring::npos) return candidates;
  std::size_t start = 0;
  while (start <= pathVariable.size()) {
    std::size_t end = pathVariable.find(L';', start);
    if (end == std::wstring::npos) end = pathVariable.size();
    std::wstring folder = pathVariable.substr(start, end - start);
    start = end + 1;
    if (folder.empty()) continue;
    while (!folder.empty() && folder.back() == L' ') folder.pop_back();
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    std::wstring combined = folder + L"\\" + path;
    if (!Fits(combined)) continue;  // never truncated into another name
    candidates.push_back(std::move(combined));
  }
  return candidates;
}

bool PlainFilePath(const std::wstring& path) {
  if (path.empty() || !Fits(path)) return false;
  if (path.find_first_of(L"*?") != std::wstring::npos) return false;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == L':' && i != 1) return false;  // a stream, not a file
  }
  return true;
}

std::vector<std::wstring> SplitRp1210List(const std::wstring& list, bool cut) {
  std::vector<std::wstring> names;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find_first_of(L",\r\n", start);
    const bool last = end == std::wstring::npos;
    if (last) end = list.size();
    std::wstring name = Trim(list.substr(start, end - start));
    start = end + 1;
    if (last && cut) break;  // possibly cut short
    if (name.empty()) continue;
    // A name stands for a file in the system folder, never for a path elsewhere.
    if (name.find_first_of(L"\\/:*?") != std::wstring::npos) continue;
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace varrow
