// A small D-PDU client for the tests: loads a library by path, binds the 29
// functions, and runs the VIN session the way an application does, writing a
// transcript of what it saw (codes, event items) so that a session directly on
// the simulated VCI and one through the monitor can be compared.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "pdu/dpdu.h"

namespace pdutest {

struct PduLib {
  HMODULE module = nullptr;
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

  // Loads `path` and binds every function; false when any is missing.
  bool Load(const std::wstring& path);
  ~PduLib();
};

// The folder of the test program (where the build puts the libraries), with "\".
std::wstring BuildFolder();
// Copies a built file into `folder` under `name`.
bool CopyBuilt(const wchar_t* built, const std::wstring& folder, const std::wstring& name);

// The ids of the simulated module's objects, asked the way an application asks.
pdu::UNUM32 ObjectId(PduLib& lib, pdu::T_PDU_OBJT type, const char* name);

// Callbacks the tests register: each records (which, event type, hCLL, thread, tags).
struct CallbackCall {
  int which;
  pdu::T_PDU_EVT_DATA type;
  pdu::UNUM32 hMod, hCLL;
  DWORD thread;
  void* cllTag;
  void* apiTag;
};
void PDU_CALL CallbackA(pdu::T_PDU_EVT_DATA, pdu::UNUM32, pdu::UNUM32, void*, void*);
void PDU_CALL CallbackB(pdu::T_PDU_EVT_DATA, pdu::UNUM32, pdu::UNUM32, void*, void*);
std::vector<CallbackCall> TakeCallbacks();

// Constructs, connects the module, creates and connects a CAN / ISO 15765
// link with the ECU's ids, and starts communication. Returns the link (or
// PDU_HANDLE_UNDEF, with a note in `transcript`).
pdu::UNUM32 OpenLink(PduLib& lib, std::vector<std::string>& transcript);
// Sends `request` with SENDRECV and takes the link's events until the
// ComPrimitive finishes; each event item becomes a transcript line.
void SendReceive(PduLib& lib, pdu::UNUM32 hCLL, const std::vector<pdu::UNUM8>& request,
                 std::vector<std::string>& transcript);
// Stops communication and tears everything down.
void CloseLink(PduLib& lib, pdu::UNUM32 hCLL, std::vector<std::string>& transcript);
// Takes and destroys the link's events until `hCoP` finishes (3 s at most).
void DrainUntilFinished(PduLib& lib, pdu::UNUM32 hCLL, pdu::UNUM32 hCoP,
                        std::vector<std::string>& transcript);

// A whole VIN session (OBD 09 02 and UDS 22 F1 90); with `callbacks` a
// callback (A) is registered on the link.
std::vector<std::string> VinSession(PduLib& lib, bool callbacks);

// Reads a whole file (empty when missing).
std::string ReadAll(const std::wstring& path);

}  // namespace pdutest
