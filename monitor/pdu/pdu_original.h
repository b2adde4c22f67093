// The set-aside D-PDU library the monitor forwards to: "_" + the monitor's own
// file name, in the monitor's folder, loaded on the first call (never inside
// DllMain) with all 29 functions resolved.
#pragma once

#include <windows.h>

#include <string>

#include "pdu/dpdu.h"

namespace monitor {

struct PduOriginal {
  HMODULE module = nullptr;
  std::wstring path;       // where it was looked for
  DWORD loadError = 0;     // why it could not be loaded (0: loaded)
  std::string problem;     // the text that says so (UTF-8), empty when loaded
  pdu::PDUConstructFn Construct = nullptr;
  pdu::PDUDestructFn Destruct = nullptr;
  pdu::PDUIoCtlFn IoCtl = nullptr;
  pdu::PDUGetVersionFn GetVersion = nullptr;
  pdu::PDUGetStatusFn GetStatus = nullptr;
  pdu::PDUGetLastErrorFn GetLastError = nullptr;
  pdu::PDUGetResourceStatusFn GetResourceStatus = nullptr;
  pdu::PDUCreateComLogicalLinkFn CreateComLogicalLink = nullptr;
  pdu::PDUDestroyComLogicalLinkFn DestroyComLogicalLink = nullptr;
  pdu::PDUConnectFn Connect = nullptr;
  pdu::PDUDisconnectFn Disconnect = nullptr;
  pdu::PDULockResourceFn LockRsc = nullptr;
  pdu::PDUUnlockResourceFn UnlockRsc = nullptr;
  pdu::PDUGetComParamFn GetComParam = nullptr;
  pdu::PDUSetComParamFn SetComParam = nullptr;
  pdu::PDUStartComPrimitiveFn StartComPrimitive = nullptr;
  pdu::PDUCancelComPrimitiveFn CancelComPrimitive = nullptr;
  pdu::PDUGetEventItemFn GetEventItem = nullptr;
  pdu::PDUDestroyItemFn DestroyItem = nullptr;
  pdu::PDURegisterEventCallbackFn RegisterEventCallback = nullptr;
  pdu::PDUGetObjectIdFn GetObjectId = nullptr;
  pdu::PDUGetModuleIdsFn GetModuleIds = nullptr;
  pdu::PDUGetResourceIdsFn GetResourceIds = nullptr;
  pdu::PDUGetConflictingResourcesFn GetConflictingResources = nullptr;
  pdu::PDUGetUniqueRespIdTableFn GetUniqueRespIdTable = nullptr;
  pdu::PDUSetUniqueRespIdTableFn SetUniqueRespIdTable = nullptr;
  pdu::PDUModuleConnectFn ModuleConnect = nullptr;
  pdu::PDUModuleDisconnectFn ModuleDisconnect = nullptr;
  pdu::PDUGetTimestampFn GetTimestamp = nullptr;
};

// The path of the set-aside original for the monitor at `ownPath`: its folder,
// "_" and its file name. Empty when it would not fit a path.
std::wstring OriginalPathFor(const std::wstring& ownPath);

// Loads the original at `path` and resolves its functions. A library that
// cannot be loaded, or lacks a function, leaves `module` null and says why in
// `problem`; the module is then released again.
PduOriginal LoadPduOriginal(const std::wstring& path);

}  // namespace monitor
