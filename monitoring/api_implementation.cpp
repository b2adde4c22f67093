#include "monitoring/api_implementation.h"

namespace varrow {

const wchar_t* ApiKindName(ApiKind kind) {
  return kind == ApiKind::J2534 ? kJ2534ApiName : kPduApiName;
}

bool ApiImplementation::SetText(std::wstring& field, std::wstring_view text) {
  // Copied up to the terminator, as a fixed field would hold it.
  const std::size_t end = text.find(L'\0');
  if (end != std::wstring_view::npos) text = text.substr(0, end);
  if (!FitsField(text)) return false;
  field.assign(text);
  return true;
}

MonitoringSettings ApiImplementation::Settings() const {
  MonitoringSettings s;
  s.OutputFile = outputFile_;
  s.OutputFormat = outputFormat_;
  s.Overwrite = overwrite_;
  s.LogEntryExit = logEntryExit_;
  s.LogDebugView = logDebugView_;
  s.DisableErrBufferEmpty = disableErrBufferEmpty_;
  s.MessageSize = messageSize_;
  s.StoreWithPrimaryAPI = storeWithPrimaryAPI_;
  s.Version = version_;
  return s;
}

bool ApiImplementation::SetSettings(const MonitoringSettings& s) {
  if (!SetOutputFile(s.OutputFile)) return false;
  outputFormat_ = s.OutputFormat;
  overwrite_ = s.Overwrite;
  logEntryExit_ = s.LogEntryExit;
  logDebugView_ = s.LogDebugView;
  disableErrBufferEmpty_ = s.DisableErrBufferEmpty;
  messageSize_ = s.MessageSize;
  storeWithPrimaryAPI_ = s.StoreWithPrimaryAPI;
  version_ = s.Version;
  return true;
}

std::wstring AsidePath(const std::wstring& p) {
  const std::size_t slash = p.rfind(L'\\');
  std::wstring aside;
  if (slash == std::wstring::npos) {
    aside = L"_" + p;
  } else {
    aside = p.substr(0, slash + 1) + L"_" + p.substr(slash + 1);
  }
  if (!FitsField(aside)) return {};
  return aside;
}

std::wstring SettingsKeyName(const std::wstring& p) {
  std::wstring name = p;
  for (wchar_t& c : name) {
    if (c == L'\\') c = L'_';
  }
  return name;
}

bool FileExistsAt(const std::wstring& path) {
  if (path.empty() || !FitsField(path)) return false;
  if (path.find_first_of(L"*?") != std::wstring::npos) return false;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FindLibraryInFolders(std::wstring* path, const std::wstring& pathVariable) {
  if (FileExistsAt(*path)) return true;
  if (path->empty()) return false;
  std::size_t start = 0;
  while (start <= pathVariable.size()) {
    std::size_t end = pathVariable.find(L';', start);
    if (end == std::wstring::npos) end = pathVariable.size();
    std::wstring folder = pathVariable.substr(start, end - start);
    start = end + 1;
    if (folder.empty()) continue;
    while (!folder.empty() && folder.back() == L' ') folder.pop_back();
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    const std::wstring combined = folder + L"\\" + *path;
    if (!FitsField(combined)) continue;  // never truncated into another name
    if (FileExistsAt(combined)) {
      *path = combined;
      return true;
    }
  }
  return false;
}

bool FindLibraryOnPath(std::wstring* path) {
  // PATH may hold up to 32,767 characters; ask for its size first.
  std::wstring value;
  DWORD needed = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (needed > 0 && needed <= 32768) {
    value.resize(needed);
    DWORD got = GetEnvironmentVariableW(L"PATH", value.data(), needed);
    if (got < needed) {
      value.resize(got);
    } else {
      value.clear();  // changed under us: search no folder
    }
  }
  return FindLibraryInFolders(path, value);
}

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

}  // namespace varrow
