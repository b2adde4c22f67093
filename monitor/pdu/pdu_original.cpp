#include "monitor/pdu/pdu_original.h"

#include "monitor/win_text.h"

namespace monitor {

namespace {


// The system's text for a Win32 error, without its line break.
std::string SystemText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return Utf8(text);
}

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn* out, std::string* missing) {
  *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*out == nullptr && missing->empty()) *missing = name;
  return *out != nullptr;
}

}  // namespace

std::wstring OriginalPathFor(const std::wstring& ownPath) {
  const std::size_t slash = ownPath.find_last_of(L"\\/");
  const std::size_t start = slash == std::wstring::npos ? 0 : slash + 1;
  std::wstring path = ownPath.substr(0, start) + L"_" + ownPath.substr(start);
  return path.size() < 32768 ? path : std::wstring();
}

PduOriginal LoadPduOriginal(const std::wstring& path) {
  PduOriginal original;
  original.path = path;
  if (path.empty()) {
    original.loadError = ERROR_FILENAME_EXCED_RANGE;
    original.problem = "the path of the original library does not fit";
    return original;
  }
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    original.loadError = GetLastError();
    original.problem = "original library " + Utf8(path) + " could not be loaded (error " +
                       std::to_string(original.loadError) + ": " + SystemText(original.loadError) +
                       ")";
    return original;
  }
  std::string missing;
  PduOriginal& o = original;
  Resolve(module, "PDUConstruct", &o.Construct, &missing);
  Resolve(module, "PDUDestruct", &o.Destruct, &missing);
  Resolve(module, "PDUIoCtl", &o.IoCtl, &missing);
  Resolve(module, "PDUGetVersion", &o.GetVersion, &missing);
  Resolve(module, "PDUGetStatus", &o.GetStatus, &missing);
  Resolve(module, "PDUGetLastError", &o.GetLastError, &missing);
  Resolve(module, "PDUGetResourceStatus", &o.GetResourceStatus, &missing);
  Resolve(module, "PDUCreateComLogicalLink", &o.CreateComLogicalLink, &missing);
  Resolve(module, "PDUDestroyComLogicalLink", &o.DestroyComLogicalLink, &missing);
  Resolve(module, "PDUConnect", &o.Connect, &missing);
  Resolve(module, "PDUDisconnect", &o.Disconnect, &missing);
  Resolve(module, "PDULockResource", &o.LockRsc, &missing);
  Resolve(module, "PDUUnlockResource", &o.UnlockRsc, &missing);
  Resolve(module, "PDUGetComParam", &o.GetComParam, &missing);
  Resolve(module, "PDUSetComParam", &o.SetComParam, &missing);
  Resolve(module, "PDUStartComPrimitive", &o.StartComPrimitive, &missing);
  Resolve(module, "PDUCancelComPrimitive", &o.CancelComPrimitive, &missing);
  Resolve(module, "PDUGetEventItem", &o.GetEventItem, &missing);
  Resolve(module, "PDUDestroyItem", &o.DestroyItem, &missing);
  Resolve(module, "PDURegisterEventCallback", &o.RegisterEventCallback, &missing);
  Resolve(module, "PDUGetObjectId", &o.GetObjectId, &missing);
  Resolve(module, "PDUGetModuleIds", &o.GetModuleIds, &missing);
  Resolve(module, "PDUGetResourceIds", &o.GetResourceIds, &missing);
  Resolve(module, "PDUGetConflictingResources", &o.GetConflictingResources, &missing);
  Resolve(module, "PDUGetUniqueRespIdTable", &o.GetUniqueRespIdTable, &missing);
  Resolve(module, "PDUSetUniqueRespIdTable", &o.SetUniqueRespIdTable, &missing);
  Resolve(module, "PDUModuleConnect", &o.ModuleConnect, &missing);
  Resolve(module, "PDUModuleDisconnect", &o.ModuleDisconnect, &missing);
  Resolve(module, "PDUGetTimestamp", &o.GetTimestamp, &missing);
  if (!missing.empty()) {
    FreeLibrary(module);
    PduOriginal failed;
    failed.path = path;
    failed.loadError = ERROR_PROC_NOT_FOUND;
    failed.problem = "original library " + Utf8(path) + " does not export " + missing;
    return failed;
  }
  original.module = module;
  return original;
}

}  // namespace monitor
