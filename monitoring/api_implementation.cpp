#include "monitoring/api_implementation.h"

namespace varrow {

std::wstring MonitoringKeyName(ApiKind kind, RegistryView view) {
  std::wstring name = ApiKindName(kind);
  if (view == RegistryView::k64) name += kNativeViewKeySuffix;
  return name;
}

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

static_assert(kPathFieldChars == kFieldChars, "one field size for paths");

bool FileExistsAt(const std::wstring& path) {
  if (!PlainFilePath(path)) return false;
  // An attribute query, not a directory search: the same answer for a plain
  // path, at a tenth of the cost per probe (the PATH search makes thousands).
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {

bool FindLibraryIn(std::wstring* path, const std::wstring& pathVariable, RegistryView view) {
  if (FileExistsAt(FileSystemPath(*path, view))) return true;
  for (const std::wstring& candidate : PathSearchCandidates(*path, pathVariable)) {
    if (FileExistsAt(FileSystemPath(candidate, view))) {
      *path = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace

bool FindLibraryInFolders(std::wstring* path, const std::wstring& pathVariable) {
  return FindLibraryIn(path, pathVariable, RegistryView::k32);
}

std::wstring FileSystemPath(const std::wstring& path, RegistryView view) {
  if (view != RegistryView::k64 || !IsRunningUnderWow64()) return path;
  static const std::wstring windowsDir = [] {
    wchar_t buffer[kFieldChars] = {};
    const UINT chars = GetSystemWindowsDirectoryW(buffer, static_cast<UINT>(kFieldChars));
    return chars == 0 || chars >= kFieldChars ? std::wstring() : std::wstring(buffer, chars);
  }();
  return NativeSystemPath(path, windowsDir);
}

bool FindLibraryOnPath(std::wstring* path) { return FindLibraryOnPath(path, RegistryView::k32); }

bool FindLibraryOnPath(std::wstring* path, RegistryView view) {
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
  return FindLibraryIn(path, value, view);
}

}  // namespace varrow
