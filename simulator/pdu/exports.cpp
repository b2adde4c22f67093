// OvraSimPdu32.dll: the D-PDU API functions of the simulated VCI, each
// forwarding to the one SimPduVci of the process. No exception leaves an
// export: a failure inside becomes PDU_ERR_FCT_FAILED.
#include <windows.h>

#include <atomic>

#include "hosted/module_release.h"
#include "pdu/dpdu.h"
#include "simulator/fault_settings.h"
#include "simulator/scenario/scenario_settings.h"
#include "simulator/pdu/sim_vci.h"

using namespace pdu;

namespace {

// The event thread on a thread of Windows' own that holds a reference on this
// library while it runs and lets go of it as it ends: a host that frees the
// library without PDUDestruct leaves it loaded (the thread still runs) rather
// than unmapped under the thread.
class LibraryThread : public simulator::ThreadHost {
 public:
  ~LibraryThread() override { Forget(); }
  bool Start(std::function<void()> body) override {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Run), &self))
      return false;
    body_ = std::move(body);
    thread_ = CreateThread(nullptr, 0, &Run, this, 0, &id_);
    if (thread_ == nullptr) {
      FreeLibrary(self);
      return false;
    }
    return true;
  }
  bool OnThread() const override { return thread_ != nullptr && GetCurrentThreadId() == id_; }
  void Join() override {
    if (thread_ != nullptr && !OnThread()) WaitForSingleObject(thread_, INFINITE);
    Forget();
  }
  void Forget() override {
    if (thread_ != nullptr) CloseHandle(thread_);
    thread_ = nullptr;
    id_ = 0;
  }

 private:
  static DWORD WINAPI Run(void* param) {
    auto* self = static_cast<LibraryThread*>(param);
    {
      std::function<void()> body = std::move(self->body_);
      body();
    }
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&Run), &module);
    // Its last reference may unload the library before the thread's end is told.
    monitor::ReleaseThreadRuntimeData(module);
    FreeLibraryAndExitThread(module, 0);
  }

  std::function<void()> body_;
  HANDLE thread_ = nullptr;
  DWORD id_ = 0;
};

// Made on the first call, never inside DllMain; given back when the library
// is freed, and left alone at process exit (other threads are gone by then,
// possibly holding its lock).
std::atomic<simulator::SimPduVci*> g_vci{nullptr};
HMODULE g_self = nullptr;
SRWLOCK g_make = SRWLOCK_INIT;

simulator::SimPduVci& Vci() {
  simulator::SimPduVci* vci = g_vci.load(std::memory_order_acquire);
  if (vci != nullptr) return *vci;
  AcquireSRWLockExclusive(&g_make);
  vci = g_vci.load(std::memory_order_relaxed);
  if (vci == nullptr) {
    try {
      vci = new simulator::SimPduVci(std::make_unique<LibraryThread>());
    } catch (...) {
      ReleaseSRWLockExclusive(&g_make);
      throw;
    }
    g_vci.store(vci, std::memory_order_release);
  }
  ReleaseSRWLockExclusive(&g_make);
  return *vci;
}

template <typename Call>
T_PDU_ERROR Guard(Call call) {
  try {
    return call();
  } catch (...) {
    return PDU_ERR_FCT_FAILED;
  }
}

}  // namespace

extern "C" {

T_PDU_ERROR PDU_CALL PDUConstruct(CHAR8* OptionStr, void* pAPITag) {
  return Guard([&] { return Vci().Construct(OptionStr, pAPITag); });
}
T_PDU_ERROR PDU_CALL PDUDestruct() {
  const T_PDU_ERROR code = Guard([&] { return Vci().Destruct(); });
  // The session's end: what the runtime keeps for this thread goes now, not
  // when the thread ends (this library may be gone by then).
  monitor::ReleaseThreadRuntimeData(g_self);
  return code;
}
T_PDU_ERROR PDU_CALL PDUIoCtl(UNUM32 hMod, UNUM32 hCLL, UNUM32 IoCtlCommandId,
                              PDU_DATA_ITEM* pInputData, PDU_DATA_ITEM** pOutputData) {
  return Guard([&] { return Vci().IoCtl(hMod, hCLL, IoCtlCommandId, pInputData, pOutputData); });
}
T_PDU_ERROR PDU_CALL PDUGetVersion(UNUM32 hMod, PDU_VERSION_DATA* pVersionData) {
  return Guard([&] { return Vci().GetVersion(hMod, pVersionData); });
}
T_PDU_ERROR PDU_CALL PDUGetStatus(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP, T_PDU_STATUS* pStatusCode,
                                  UNUM32* pTimestamp, UNUM32* pExtraInfo) {
  return Guard([&] { return Vci().GetStatus(hMod, hCLL, hCoP, pStatusCode, pTimestamp, pExtraInfo); });
}
T_PDU_ERROR PDU_CALL PDUGetLastError(UNUM32 hMod, UNUM32 hCLL, T_PDU_ERR_EVT* pErrorCode,
                                     UNUM32* phCoP, UNUM32* pTimestamp, UNUM32* pExtraErrorInfo) {
  return Guard([&] {
    return Vci().GetLastError(hMod, hCLL, pErrorCode, phCoP, pTimestamp, pExtraErrorInfo);
  });
}
T_PDU_ERROR PDU_CALL PDUGetResourceStatus(PDU_RSC_STATUS_ITEM* pResourceStatus) {
  return Guard([&] { return Vci().GetResourceStatus(pResourceStatus); });
}
T_PDU_ERROR PDU_CALL PDUCreateComLogicalLink(UNUM32 hMod, PDU_RSC_DATA* pRscData, UNUM32 resourceId,
                                             void* pCllTag, UNUM32* phCLL,
                                             PDU_FLAG_DATA* pCllCreateFlag) {
  return Guard([&] {
    return Vci().CreateComLogicalLink(hMod, pRscData, resourceId, pCllTag, phCLL, pCllCreateFlag);
  });
}
T_PDU_ERROR PDU_CALL PDUDestroyComLogicalLink(UNUM32 hMod, UNUM32 hCLL) {
  return Guard([&] { return Vci().DestroyComLogicalLink(hMod, hCLL); });
}
T_PDU_ERROR PDU_CALL PDUConnect(UNUM32 hMod, UNUM32 hCLL) {
  return Guard([&] {
    Vci().SetFaults(simulator::ReadFaultSettings());  // the settings as they are now
    return Vci().Connect(hMod, hCLL);
  });
}
T_PDU_ERROR PDU_CALL PDUDisconnect(UNUM32 hMod, UNUM32 hCLL) {
  return Guard([&] { return Vci().Disconnect(hMod, hCLL); });
}
T_PDU_ERROR PDU_CALL PDULockResource(UNUM32 hMod, UNUM32 hCLL, UNUM32 LockMask) {
  return Guard([&] { return Vci().LockResourceMask(hMod, hCLL, LockMask); });
}
T_PDU_ERROR PDU_CALL PDUUnlockResource(UNUM32 hMod, UNUM32 hCLL, UNUM32 LockMask) {
  return Guard([&] { return Vci().UnlockResourceMask(hMod, hCLL, LockMask); });
}
T_PDU_ERROR PDU_CALL PDUGetComParam(UNUM32 hMod, UNUM32 hCLL, UNUM32 ParamId,
                                    PDU_PARAM_ITEM** pParamItem) {
  return Guard([&] { return Vci().GetComParam(hMod, hCLL, ParamId, pParamItem); });
}
T_PDU_ERROR PDU_CALL PDUSetComParam(UNUM32 hMod, UNUM32 hCLL, PDU_PARAM_ITEM* pParamItem) {
  return Guard([&] { return Vci().SetComParam(hMod, hCLL, pParamItem); });
}
T_PDU_ERROR PDU_CALL PDUStartComPrimitive(UNUM32 hMod, UNUM32 hCLL, T_PDU_COPT CoPType,
                                          UNUM32 CoPDataSize, UNUM8* pCoPData,
                                          PDU_COP_CTRL_DATA* pCopCtrlData, void* pCoPTag,
                                          UNUM32* phCoP) {
  return Guard([&] {
    return Vci().StartComPrimitive(hMod, hCLL, CoPType, CoPDataSize, pCoPData, pCopCtrlData,
                                   pCoPTag, phCoP);
  });
}
T_PDU_ERROR PDU_CALL PDUCancelComPrimitive(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP) {
  return Guard([&] { return Vci().CancelComPrimitive(hMod, hCLL, hCoP); });
}
T_PDU_ERROR PDU_CALL PDUGetEventItem(UNUM32 hMod, UNUM32 hCLL, PDU_EVENT_ITEM** pEventItem) {
  return Guard([&] { return Vci().GetEventItem(hMod, hCLL, pEventItem); });
}
T_PDU_ERROR PDU_CALL PDUDestroyItem(PDU_ITEM* pItem) {
  return Guard([&] { return Vci().DestroyItem(pItem); });
}
// Not part of the D-PDU API: the items handed out and not yet destroyed, so
// that tests can see a leak through a library in between.
UNUM32 PDU_CALL SimPduLiveItems() {
  try {
    return static_cast<UNUM32>(Vci().LiveItems());
  } catch (...) {
    return 0xFFFFFFFFu;
  }
}
T_PDU_ERROR PDU_CALL PDURegisterEventCallback(UNUM32 hMod, UNUM32 hCLL,
                                              CALLBACKFNC EventCallbackFunction) {
  return Guard([&] { return Vci().RegisterEventCallback(hMod, hCLL, EventCallbackFunction); });
}
T_PDU_ERROR PDU_CALL PDUGetObjectId(T_PDU_OBJT pduObjectType, CHAR8* pShortname,
                                    UNUM32* pPduObjectId) {
  return Guard([&] { return Vci().GetObjectId(pduObjectType, pShortname, pPduObjectId); });
}
T_PDU_ERROR PDU_CALL PDUGetModuleIds(PDU_MODULE_ITEM** pModuleIdList) {
  return Guard([&] { return Vci().GetModuleIds(pModuleIdList); });
}
T_PDU_ERROR PDU_CALL PDUGetResourceIds(UNUM32 hMod, PDU_RSC_DATA* pResourceIdData,
                                       PDU_RSC_ID_ITEM** pResourceIdList) {
  return Guard([&] { return Vci().GetResourceIds(hMod, pResourceIdData, pResourceIdList); });
}
T_PDU_ERROR PDU_CALL PDUGetConflictingResources(UNUM32 resourceId, PDU_MODULE_ITEM* pInputModuleList,
                                                PDU_RSC_CONFLICT_ITEM** pOutputConflictList) {
  return Guard([&] {
    return Vci().GetConflictingResources(resourceId, pInputModuleList, pOutputConflictList);
  });
}
T_PDU_ERROR PDU_CALL PDUGetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                             PDU_UNIQUE_RESP_ID_TABLE_ITEM** pUniqueRespIdTable) {
  return Guard([&] { return Vci().GetUniqueRespIdTable(hMod, hCLL, pUniqueRespIdTable); });
}
T_PDU_ERROR PDU_CALL PDUSetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                             PDU_UNIQUE_RESP_ID_TABLE_ITEM* pUniqueRespIdTable) {
  return Guard([&] { return Vci().SetUniqueRespIdTable(hMod, hCLL, pUniqueRespIdTable); });
}
T_PDU_ERROR PDU_CALL PDUModuleConnect(UNUM32 hMod) {
  return Guard([&] {
    // The recorded scenario as set now (the debugger output says what became of it).
    const simulator::ScenarioSettings settings = simulator::ReadScenarioSettings();
    std::string note;
    std::shared_ptr<simulator::Scenario> scenario =
        simulator::LoadScenario(settings, simulator::ScenarioApi::Pdu, &note);
    const T_PDU_ERROR code = Vci().ModuleConnect(hMod);
    if (code == PDU_STATUS_NOERROR) Vci().SetScenario(std::move(scenario), settings.only, settings.speedPercent);
    return code;
  });
}
T_PDU_ERROR PDU_CALL PDUModuleDisconnect(UNUM32 hMod) {
  return Guard([&] { return Vci().ModuleDisconnect(hMod); });
}
T_PDU_ERROR PDU_CALL PDUGetTimestamp(UNUM32 hMod, UNUM32* pTimestamp) {
  return Guard([&] { return Vci().GetTimestamp(hMod, pTimestamp); });
}

}  // extern "C"

// Freed by the host (reserved null): by then the event thread, which holds the
// library, has ended or is ending on this very call, so nothing is waited for
// under the loader lock. At process exit nothing is touched.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_self = instance;
    // The loading thread's runtime data, made while the library started.
    monitor::ReleaseThreadRuntimeData(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    simulator::SimPduVci* vci = g_vci.exchange(nullptr);
    if (vci != nullptr) {
      vci->ForgetThread();
      delete vci;
    }
    monitor::GiveBackRuntimeBuffers();
  }
  return TRUE;
}
