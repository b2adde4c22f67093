#include "tests/pdu/pdu_client.h"

#include <cstring>
#include <mutex>

#include "pdu/pdu_names.h"

using namespace pdu;

namespace pdutest {

namespace {

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return fn != nullptr;
}

std::mutex g_callbackLock;
std::vector<CallbackCall> g_callbacks;

void Record(int which, T_PDU_EVT_DATA type, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag) {
  std::lock_guard<std::mutex> lock(g_callbackLock);
  g_callbacks.push_back({which, type, hMod, hCLL, GetCurrentThreadId(), cllTag, apiTag});
}

std::string Hex(const UNUM8* bytes, UNUM32 size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (UNUM32 i = 0; i < size && i < 4096; ++i) {
    if (i) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

bool PduLib::Load(const std::wstring& path) {
  module = LoadLibraryW(path.c_str());
  if (module == nullptr) return false;
  return Bind(module, "PDUConstruct", Construct) & Bind(module, "PDUDestruct", Destruct) &
         Bind(module, "PDUIoCtl", IoCtl) & Bind(module, "PDUGetVersion", GetVersion) &
         Bind(module, "PDUGetStatus", GetStatus) & Bind(module, "PDUGetLastError", GetLastError) &
         Bind(module, "PDUGetResourceStatus", GetResourceStatus) &
         Bind(module, "PDUCreateComLogicalLink", CreateComLogicalLink) &
         Bind(module, "PDUDestroyComLogicalLink", DestroyComLogicalLink) &
         Bind(module, "PDUConnect", Connect) & Bind(module, "PDUDisconnect", Disconnect) &
         Bind(module, "PDULockResource", LockRsc) & Bind(module, "PDUUnlockResource", UnlockRsc) &
         Bind(module, "PDUGetComParam", GetComParam) & Bind(module, "PDUSetComParam", SetComParam) &
         Bind(module, "PDUStartComPrimitive", StartComPrimitive) &
         Bind(module, "PDUCancelComPrimitive", CancelComPrimitive) &
         Bind(module, "PDUGetEventItem", GetEventItem) & Bind(module, "PDUDestroyItem", DestroyItem) &
         Bind(module, "PDURegisterEventCallback", RegisterEventCallback) &
         Bind(module, "PDUGetObjectId", GetObjectId) & Bind(module, "PDUGetModuleIds", GetModuleIds) &
         Bind(module, "PDUGetResourceIds", GetResourceIds) &
         Bind(module, "PDUGetConflictingResources", GetConflictingResources) &
         Bind(module, "PDUGetUniqueRespIdTable", GetUniqueRespIdTable) &
         Bind(module, "PDUSetUniqueRespIdTable", SetUniqueRespIdTable) &
         Bind(module, "PDUModuleConnect", ModuleConnect) &
         Bind(module, "PDUModuleDisconnect", ModuleDisconnect) &
         Bind(module, "PDUGetTimestamp", GetTimestamp);
}

PduLib::~PduLib() {
  if (module != nullptr) FreeLibrary(module);
}

std::wstring BuildFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

bool CopyBuilt(const wchar_t* built, const std::wstring& folder, const std::wstring& name) {
  return CopyFileW((BuildFolder() + built).c_str(), (folder + L"\\" + name).c_str(), FALSE) != 0;
}

UNUM32 ObjectId(PduLib& lib, T_PDU_OBJT type, const char* name) {
  std::vector<char> text(name, name + std::strlen(name) + 1);
  UNUM32 id = PDU_ID_UNDEF;
  lib.GetObjectId(type, text.data(), &id);
  return id;
}

void PDU_CALL CallbackA(T_PDU_EVT_DATA type, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag) {
  Record(0, type, hMod, hCLL, cllTag, apiTag);
}
void PDU_CALL CallbackB(T_PDU_EVT_DATA type, UNUM32 hMod, UNUM32 hCLL, void* cllTag, void* apiTag) {
  Record(1, type, hMod, hCLL, cllTag, apiTag);
}

std::vector<CallbackCall> TakeCallbacks() {
  std::lock_guard<std::mutex> lock(g_callbackLock);
  std::vector<CallbackCall> calls;
  calls.swap(g_callbacks);
  return calls;
}

void DrainUntilFinished(PduLib& lib, UNUM32 hCLL, UNUM32 hCoP, std::vector<std::string>& transcript) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 3000) {
    PDU_EVENT_ITEM* item = nullptr;
    const T_PDU_ERROR rc = lib.GetEventItem(1, hCLL, &item);
    if (rc == PDU_ERR_EVENT_QUEUE_EMPTY) {
      Sleep(1);
      continue;
    }
    if (rc != PDU_STATUS_NOERROR || item == nullptr) {
      transcript.push_back("GetEventItem " + NameOr(ErrorName(rc), rc));
      return;
    }
    std::string line = NameOr(ItemTypeName(item->ItemType), item->ItemType) +
                       (item->hCop == PDU_HANDLE_UNDEF ? std::string(" link") : " cop");
    bool finished = false;
    if (item->ItemType == PDU_IT_STATUS && item->pData != nullptr) {
      const T_PDU_STATUS status = *static_cast<const T_PDU_STATUS*>(item->pData);
      (line += ' ') += NameOr(StatusName(status), status);
      finished = item->hCop == hCoP && (status == PDU_COPST_FINISHED || status == PDU_COPST_CANCELLED);
    } else if (item->ItemType == PDU_IT_RESULT && item->pData != nullptr) {
      const auto* r = static_cast<const PDU_RESULT_DATA*>(item->pData);
      (line += ' ') += Hex(r->pDataBytes, r->NumDataBytes);
    } else if (item->ItemType == PDU_IT_ERROR && item->pData != nullptr) {
      const auto* e = static_cast<const PDU_ERROR_DATA*>(item->pData);
      (line += ' ') += NameOr(ErrorEventName(e->ErrorCodeId), e->ErrorCodeId);
    }
    transcript.push_back(line);
    const T_PDU_ERROR destroyed = lib.DestroyItem(reinterpret_cast<PDU_ITEM*>(item));
    if (destroyed != PDU_STATUS_NOERROR) transcript.push_back("DestroyItem " + NameOr(ErrorName(destroyed), destroyed));
    if (finished) return;
  }
  transcript.push_back("timeout");
}

UNUM32 OpenLink(PduLib& lib, std::vector<std::string>& transcript) {
  auto note = [&](const char* what, T_PDU_ERROR rc) {
    transcript.push_back(std::string(what) + " " + NameOr(ErrorName(rc), rc));
    return rc == PDU_STATUS_NOERROR;
  };
  char options[] = "";
  if (!note("Construct", lib.Construct(options, nullptr))) return PDU_HANDLE_UNDEF;
  if (!note("ModuleConnect", lib.ModuleConnect(1))) return PDU_HANDLE_UNDEF;
  PDU_PIN_DATA pins[2] = {{6, ObjectId(lib, PDU_OBJT_PINTYPE, "HI")},
                          {14, ObjectId(lib, PDU_OBJT_PINTYPE, "LOW")}};
  PDU_RSC_DATA resource{ObjectId(lib, PDU_OBJT_BUSTYPE, "ISO_11898_2_DWCAN"),
                        ObjectId(lib, PDU_OBJT_PROTOCOL, "ISO_15765_3_on_ISO_15765_2"), 2, pins};
  UNUM32 hCLL = PDU_HANDLE_UNDEF;
  if (!note("CreateComLogicalLink",
            lib.CreateComLogicalLink(1, &resource, PDU_ID_UNDEF, nullptr, &hCLL, nullptr)))
    return PDU_HANDLE_UNDEF;
  UNUM32 baud = 500000;
  PDU_PARAM_ITEM param{PDU_IT_PARAM, ObjectId(lib, PDU_OBJT_COMPARAM, "CP_Baudrate"), PDU_PT_UNUM32,
                       PDU_PC_BUSTYPE, &baud};
  note("SetComParam", lib.SetComParam(1, hCLL, &param));
  if (!note("Connect", lib.Connect(1, hCLL))) return PDU_HANDLE_UNDEF;
  UNUM32 hCoP = 0;
  if (!note("StartComm", lib.StartComPrimitive(1, hCLL, PDU_COPT_STARTCOMM, 0, nullptr, nullptr,
                                               nullptr, &hCoP)))
    return PDU_HANDLE_UNDEF;
  DrainUntilFinished(lib, hCLL, hCoP, transcript);
  return hCLL;
}

void SendReceive(PduLib& lib, UNUM32 hCLL, const std::vector<UNUM8>& request,
                 std::vector<std::string>& transcript) {
  std::vector<UNUM8> data = request;
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  UNUM32 hCoP = 0;
  const T_PDU_ERROR rc = lib.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV,
                                               static_cast<UNUM32>(data.size()), data.data(),
                                               &ctrl, nullptr, &hCoP);
  transcript.push_back("SendRecv " + NameOr(ErrorName(rc), rc));
  if (rc == PDU_STATUS_NOERROR) DrainUntilFinished(lib, hCLL, hCoP, transcript);
}

void CloseLink(PduLib& lib, UNUM32 hCLL, std::vector<std::string>& transcript) {
  UNUM32 hCoP = 0;
  const T_PDU_ERROR rc =
      lib.StartComPrimitive(1, hCLL, PDU_COPT_STOPCOMM, 0, nullptr, nullptr, nullptr, &hCoP);
  transcript.push_back("StopComm " + NameOr(ErrorName(rc), rc));
  if (rc == PDU_STATUS_NOERROR) DrainUntilFinished(lib, hCLL, hCoP, transcript);
  transcript.push_back("Disconnect " + NameOr(ErrorName(lib.Disconnect(1, hCLL)), 0));
  transcript.push_back("DestroyLink " + NameOr(ErrorName(lib.DestroyComLogicalLink(1, hCLL)), 0));
  transcript.push_back("ModuleDisconnect " + NameOr(ErrorName(lib.ModuleDisconnect(1)), 0));
  transcript.push_back("Destruct " + NameOr(ErrorName(lib.Destruct()), 0));
}

std::vector<std::string> VinSession(PduLib& lib, bool callbacks) {
  std::vector<std::string> transcript;
  const UNUM32 hCLL = OpenLink(lib, transcript);
  if (hCLL == PDU_HANDLE_UNDEF) return transcript;
  if (callbacks) {
    const T_PDU_ERROR rc = lib.RegisterEventCallback(1, hCLL, &CallbackA);
    transcript.push_back("Register " + NameOr(ErrorName(rc), rc));
  }
  SendReceive(lib, hCLL, {0x09, 0x02}, transcript);
  SendReceive(lib, hCLL, {0x22, 0xF1, 0x90}, transcript);
  CloseLink(lib, hCLL, transcript);
  return transcript;
}

std::string ReadAll(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string text;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
  CloseHandle(file);
  return text;
}

}  // namespace pdutest
