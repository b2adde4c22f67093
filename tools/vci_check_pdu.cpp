// VciCheck's D-PDU session: through the library registered under the vendor
// key "PDU API Support", as a D-PDU application does: construct, find and
// connect the module, create a CAN / ISO 15765 link, read the VIN, RPM and
// coolant temperature with send-receive ComPrimitives, then switch the link
// to functional addressing with both ECUs in its unique response id table and
// read the supported PIDs, the stored DTCs and the serial numbers of every
// ECU that answers, tear everything down. Events are taken either on
// the library's callback or by polling.
#include "tools/vci_check_pdu.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pdu/dpdu.h"
#include "simulator/scenario/scenario_settings.h"
#include "pdu/pdu_names.h"
#include "tools/answer_text.h"

using namespace pdu;

namespace {

constexpr wchar_t kPduKey[] = L"SOFTWARE\\OVRA\\OVRA_VCI\\PDU API Support";
constexpr DWORD kFieldChars = 260;
constexpr DWORD kCopWaitMs = 3000;

struct PduApi {
  PDUConstructFn construct = nullptr;
  PDUDestructFn destruct = nullptr;
  PDUGetModuleIdsFn getModuleIds = nullptr;
  PDUModuleConnectFn moduleConnect = nullptr;
  PDUModuleDisconnectFn moduleDisconnect = nullptr;
  PDUGetVersionFn getVersion = nullptr;
  PDUGetObjectIdFn getObjectId = nullptr;
  PDUIoCtlFn ioCtl = nullptr;
  PDUCreateComLogicalLinkFn createLink = nullptr;
  PDUDestroyComLogicalLinkFn destroyLink = nullptr;
  PDUSetComParamFn setComParam = nullptr;
  PDUConnectFn connect = nullptr;
  PDUDisconnectFn disconnect = nullptr;
  PDUStartComPrimitiveFn startCop = nullptr;
  PDUGetEventItemFn getEventItem = nullptr;
  PDUDestroyItemFn destroyItem = nullptr;
  PDURegisterEventCallbackFn registerCallback = nullptr;
  PDUSetUniqueRespIdTableFn setTable = nullptr;
};

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (fn == nullptr) std::printf("  the library does not export %s\n", name);
  return fn != nullptr;
}

// The steps and their failures, printed as they go.
class Steps {
 public:
  bool Step(const char* what, T_PDU_ERROR code, const std::string& detail = "") {
    ++step_;
    std::printf("%2d. %-40s %s", step_, what, NameOr(ErrorName(code), code).c_str());
    if (code == PDU_STATUS_NOERROR && !detail.empty()) std::printf("  %s", detail.c_str());
    if (code != PDU_STATUS_NOERROR) ++failures_;
    std::printf("\n");
    std::fflush(stdout);
    return code == PDU_STATUS_NOERROR;
  }
  void Problem(const char* what, const std::string& why) {
    ++step_;
    ++failures_;
    std::printf("%2d. %-40s FAILED  %s\n", step_, what, why.c_str());
    std::fflush(stdout);
  }
  int failures() const { return failures_; }

 private:
  int step_ = 0;
  int failures_ = 0;
};

// What the event callback saw: it only signals; items are taken on this thread.
HANDLE g_eventSignal = nullptr;
volatile LONG g_callbacks = 0;
volatile DWORD g_callbackThread = 0;

void PDU_CALL OnEvent(T_PDU_EVT_DATA, UNUM32, UNUM32, void*, void*) {
  InterlockedIncrement(&g_callbacks);
  g_callbackThread = GetCurrentThreadId();
  SetEvent(g_eventSignal);
}

// One result: the unique response id of the ECU that answered, and its bytes.
struct Result {
  UNUM32 uniqueId;
  std::vector<UNUM8> bytes;
};
constexpr std::size_t kMaxResults = 16;

// Takes the link's events until ComPrimitive `hCoP` finishes (or is cancelled);
// the last result's bytes go to `result`, every result (up to kMaxResults) to
// `all`. False when it did not finish in time.
bool WaitForCop(const PduApi& api, UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP, bool polling,
                std::vector<UNUM8>* result, std::string* error, std::vector<Result>* all = nullptr) {
  const DWORD start = GetTickCount();
  for (;;) {
    PDU_EVENT_ITEM* item = nullptr;
    while (api.getEventItem(hMod, hCLL, &item) == PDU_STATUS_NOERROR && item != nullptr) {
      bool finished = false;
      if (item->hCop == hCoP && item->pData != nullptr) {
        if (item->ItemType == PDU_IT_RESULT) {
          const auto* data = static_cast<const PDU_RESULT_DATA*>(item->pData);
          if (data->pDataBytes != nullptr && data->NumDataBytes <= 4095) {
            if (result != nullptr) result->assign(data->pDataBytes, data->pDataBytes + data->NumDataBytes);
            if (all != nullptr && all->size() < kMaxResults)
              all->push_back({data->UniqueRespIdentifier,
                              std::vector<UNUM8>(data->pDataBytes, data->pDataBytes + data->NumDataBytes)});
          }
        } else if (item->ItemType == PDU_IT_ERROR && error != nullptr) {
          const auto* data = static_cast<const PDU_ERROR_DATA*>(item->pData);
          *error = NameOr(ErrorEventName(data->ErrorCodeId), data->ErrorCodeId);
        } else if (item->ItemType == PDU_IT_STATUS) {
          const T_PDU_STATUS status = *static_cast<const T_PDU_STATUS*>(item->pData);
          finished = status == PDU_COPST_FINISHED || status == PDU_COPST_CANCELLED;
        }
      }
      api.destroyItem(reinterpret_cast<PDU_ITEM*>(item));
      item = nullptr;
      if (finished) return true;
    }
    const DWORD spent = GetTickCount() - start;
    if (spent >= kCopWaitMs) return false;
    if (polling)
      Sleep(1);
    else
      WaitForSingleObject(g_eventSignal, kCopWaitMs - spent);
  }
}

UNUM32 ObjectId(const PduApi& api, T_PDU_OBJT type, const char* name) {
  UNUM32 id = PDU_ID_UNDEF;
  std::vector<char> text(name, name + std::strlen(name) + 1);
  if (api.getObjectId(type, text.data(), &id) != PDU_STATUS_NOERROR) return PDU_ID_UNDEF;
  return id;
}

T_PDU_ERROR SetUnum32(const PduApi& api, UNUM32 hMod, UNUM32 hCLL, UNUM32 id, UNUM32 value) {
  PDU_PARAM_ITEM item{PDU_IT_PARAM, id, PDU_PT_UNUM32, PDU_PC_COM, &value};
  return api.setComParam(hMod, hCLL, &item);
}

// The ECUs VciCheck asks functionally: unique response id, request and response id.
struct EcuIds {
  UNUM32 uniqueId, request, response;
};
constexpr EcuIds kEcus[] = {{1, 0x7E0, 0x7E8}, {2, 0x7E1, 0x7E9}};

// One send-receive step: `request`, then every result within the time, as
// "7E8: text; 7E9: text" (response ids from the unique response ids). With
// `positiveSid`, one expected response per ECU (first byte `positiveSid`).
void ExchangeStep(const PduApi& api, Steps& steps, UNUM32 hMod, UNUM32 hCLL, bool polling,
                  const char* what, std::vector<UNUM8> request, UNUM8 positiveSid,
                  std::string (*text)(const vcicheck::Bytes&)) {
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  UNUM8 mask = 0xFF;
  UNUM32 uniqueIds[2] = {kEcus[0].uniqueId, kEcus[1].uniqueId};
  PDU_EXP_RESP_DATA expected[2] = {{0, 1, 1, &mask, &positiveSid, 1, &uniqueIds[0]},
                                   {0, 2, 1, &mask, &positiveSid, 1, &uniqueIds[1]}};
  if (positiveSid != 0) {
    ctrl.NumReceiveCycles = 2;
    ctrl.NumPossibleExpectedResponses = 2;
    ctrl.pExpectedResponseArray = expected;
  }
  UNUM32 hCoP = 0;
  const T_PDU_ERROR rc = api.startCop(hMod, hCLL, PDU_COPT_SENDRECV, static_cast<UNUM32>(request.size()),
                                      request.data(), &ctrl, nullptr, &hCoP);
  if (rc != PDU_STATUS_NOERROR) {
    steps.Step(what, rc);
    return;
  }
  std::vector<Result> results;
  std::string error;
  if (!WaitForCop(api, hMod, hCLL, hCoP, polling, nullptr, &error, &results)) {
    steps.Problem(what, "the ComPrimitive did not finish within 3 s");
    return;
  }
  if (results.empty()) {
    steps.Problem(what, error.empty() ? "no answer from the vehicle" : "error event " + error);
    return;
  }
  std::string detail;
  for (const Result& r : results) {
    UNUM32 response = 0;
    for (const EcuIds& ecu : kEcus)
      if (ecu.uniqueId == r.uniqueId) response = ecu.response;
    char from[24];
    std::snprintf(from, sizeof from, "%s%03X: ", detail.empty() ? "" : "; ", response);
    const vcicheck::Bytes bytes(r.bytes.begin(), r.bytes.end());
    const std::string negative = vcicheck::NegativeText(bytes);
    detail += from + (negative.empty() ? text(bytes) : negative);
  }
  steps.Step(what, PDU_STATUS_NOERROR, detail);
}

// Functional addressing on the link: both ECUs in its unique response id
// table, CP_RequestAddrMode 2, in force after an UPDATEPARAM ComPrimitive.
bool GoFunctional(const PduApi& api, Steps& steps, UNUM32 hMod, UNUM32 hCLL, bool polling) {
  const UNUM32 physReq = ObjectId(api, PDU_OBJT_COMPARAM, "CP_CanPhysReqId");
  const UNUM32 resp = ObjectId(api, PDU_OBJT_COMPARAM, "CP_CanRespUSDTId");
  const UNUM32 mode = ObjectId(api, PDU_OBJT_COMPARAM, "CP_RequestAddrMode");
  if (mode == PDU_ID_UNDEF) {
    steps.Problem("PDUGetObjectId (CP_RequestAddrMode)", "the module does not know it");
    return false;
  }
  UNUM32 ids[2][2] = {{kEcus[0].request, kEcus[0].response}, {kEcus[1].request, kEcus[1].response}};
  PDU_PARAM_ITEM params[2][2];
  PDU_ECU_UNIQUE_RESP_DATA entries[2];
  for (int e = 0; e < 2; ++e) {
    params[e][0] = {PDU_IT_PARAM, physReq, PDU_PT_UNUM32, PDU_PC_UNIQUE_ID, &ids[e][0]};
    params[e][1] = {PDU_IT_PARAM, resp, PDU_PT_UNUM32, PDU_PC_UNIQUE_ID, &ids[e][1]};
    entries[e] = {kEcus[e].uniqueId, 2, params[e]};
  }
  PDU_UNIQUE_RESP_ID_TABLE_ITEM table{PDU_IT_UNIQUE_RESP_ID_TABLE, 2, entries};
  if (!steps.Step("PDUSetUniqueRespIdTable (7E8, 7E9)", api.setTable(hMod, hCLL, &table))) return false;
  if (!steps.Step("PDUSetComParam (CP_RequestAddrMode 2)", SetUnum32(api, hMod, hCLL, mode, 2))) return false;
  UNUM32 hCoP = 0;
  if (!steps.Step("PDUStartComPrimitive (UPDATEPARAM)",
                  api.startCop(hMod, hCLL, PDU_COPT_UPDATEPARAM, 0, nullptr, nullptr, nullptr, &hCoP)))
    return false;
  if (!WaitForCop(api, hMod, hCLL, hCoP, polling, nullptr, nullptr)) {
    steps.Problem("UPDATEPARAM events", "the ComPrimitive did not finish within 3 s");
    return false;
  }
  return true;
}

// The session on the link, once it exists.
void RunLink(const PduApi& api, Steps& steps, UNUM32 hMod, UNUM32 hCLL, bool polling) {
  if (!polling)
    steps.Step("PDURegisterEventCallback (link)", api.registerCallback(hMod, hCLL, &OnEvent));
  const UNUM32 baud = ObjectId(api, PDU_OBJT_COMPARAM, "CP_Baudrate");
  const UNUM32 physReq = ObjectId(api, PDU_OBJT_COMPARAM, "CP_CanPhysReqId");
  const UNUM32 resp = ObjectId(api, PDU_OBJT_COMPARAM, "CP_CanRespUSDTId");
  if (baud == PDU_ID_UNDEF || physReq == PDU_ID_UNDEF || resp == PDU_ID_UNDEF) {
    steps.Problem("PDUGetObjectId (ComParams)", "the module does not know CP_Baudrate, CP_CanPhysReqId or CP_CanRespUSDTId");
    return;
  }
  steps.Step("PDUSetComParam (CP_Baudrate 500000)", SetUnum32(api, hMod, hCLL, baud, 500000));
  steps.Step("PDUSetComParam (CP_CanPhysReqId 7E0)", SetUnum32(api, hMod, hCLL, physReq, 0x7E0));
  steps.Step("PDUSetComParam (CP_CanRespUSDTId 7E8)", SetUnum32(api, hMod, hCLL, resp, 0x7E8));
  if (!steps.Step("PDUConnect", api.connect(hMod, hCLL))) return;
  UNUM32 hCoP = 0;
  if (steps.Step("PDUStartComPrimitive (STARTCOMM)",
                 api.startCop(hMod, hCLL, PDU_COPT_STARTCOMM, 0, nullptr, nullptr, nullptr, &hCoP)) &&
      !WaitForCop(api, hMod, hCLL, hCoP, polling, nullptr, nullptr))
    steps.Problem("STARTCOMM events", "the ComPrimitive did not finish within 3 s");
  UNUM8 request[] = {0x09, 0x02};
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  if (steps.Step("PDUStartComPrimitive (SENDRECV 09 02)",
                 api.startCop(hMod, hCLL, PDU_COPT_SENDRECV, sizeof(request), request, &ctrl,
                              nullptr, &hCoP))) {
    std::vector<UNUM8> answer;
    std::string error;
    if (!WaitForCop(api, hMod, hCLL, hCoP, polling, &answer, &error)) {
      steps.Problem("SENDRECV events (VIN)", "the ComPrimitive did not finish within 3 s");
    } else if (!error.empty()) {
      steps.Problem("SENDRECV events (VIN)", "error event " + error);
    } else if (answer.size() < 4 || answer[0] != 0x49 || answer[1] != 0x02) {
      steps.Problem("SENDRECV events (VIN)", "no positive answer from the ECU");
    } else {
      std::string vin;
      for (std::size_t i = 3; i < answer.size(); ++i)
        vin.push_back(answer[i] >= 0x20 && answer[i] < 0x7F ? static_cast<char>(answer[i]) : '?');
      steps.Step("SENDRECV result (VIN)", PDU_STATUS_NOERROR, "VIN " + vin);
    }
  }
  ExchangeStep(api, steps, hMod, hCLL, polling, "SENDRECV 01 0C 05 (RPM, coolant)", {0x01, 0x0C, 0x05}, 0,
               &vcicheck::RpmAndCoolantText);
  if (GoFunctional(api, steps, hMod, hCLL, polling)) {
    ExchangeStep(api, steps, hMod, hCLL, polling, "SENDRECV 01 00 20 40 (supported PIDs)",
                 {0x01, 0x00, 0x20, 0x40}, 0x41, &vcicheck::SupportedPidsText);
    ExchangeStep(api, steps, hMod, hCLL, polling, "SENDRECV 03 (stored DTCs)", {0x03}, 0x43,
                 &vcicheck::StoredDtcsText);
    ExchangeStep(api, steps, hMod, hCLL, polling, "SENDRECV 22 F18C (serial numbers)", {0x22, 0xF1, 0x8C},
                 0x62, &vcicheck::SerialNumberText);
  }
  if (steps.Step("PDUStartComPrimitive (STOPCOMM)",
                 api.startCop(hMod, hCLL, PDU_COPT_STOPCOMM, 0, nullptr, nullptr, nullptr, &hCoP)) &&
      !WaitForCop(api, hMod, hCLL, hCoP, polling, nullptr, nullptr))
    steps.Problem("STOPCOMM events", "the ComPrimitive did not finish within 3 s");
  steps.Step("PDUDisconnect", api.disconnect(hMod, hCLL));
  if (!polling) steps.Step("PDURegisterEventCallback (remove)", api.registerCallback(hMod, hCLL, nullptr));
}

std::wstring RegisteredPduLibrary() {
  HKEY key = nullptr;
  // The library of our own architecture: the 32-bit view's for VciCheck.exe, the native one's for VciCheck64.exe.
  const REGSAM view = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPduKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
    return L"";
  wchar_t buffer[kFieldChars + 1] = {};
  DWORD type = 0;
  DWORD bytes = kFieldChars * sizeof(wchar_t);
  const LONG rc = RegQueryValueExW(key, L"FunctionLibrary", nullptr, &type,
                                   reinterpret_cast<BYTE*>(buffer), &bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return L"";
  buffer[bytes / sizeof(wchar_t)] = L'\0';
  return buffer;
}

}  // namespace

int RunPduSession(bool polling, void (*print)(const std::wstring&)) {
  const std::wstring library = RegisteredPduLibrary();
  if (library.empty()) {
    print(L"No D-PDU API library is registered (HKLM\\SOFTWARE\\OVRA\\OVRA_VCI\\PDU API Support, "
          L"FunctionLibrary, 32-bit view).\n");
    return 1;
  }
  print(L"D-PDU library: " + library + L"\nEvents: " + (polling ? L"polled" : L"by callback") + L"\n");
  HMODULE module = LoadLibraryW(library.c_str());
  if (module == nullptr) {
    print(L"The library could not be loaded (Windows error " + std::to_wstring(GetLastError()) + L").\n");
    return 1;
  }
  PduApi api;
  const bool bound =
      Bind(module, "PDUConstruct", api.construct) & Bind(module, "PDUDestruct", api.destruct) &
      Bind(module, "PDUGetModuleIds", api.getModuleIds) &
      Bind(module, "PDUModuleConnect", api.moduleConnect) &
      Bind(module, "PDUModuleDisconnect", api.moduleDisconnect) &
      Bind(module, "PDUGetVersion", api.getVersion) & Bind(module, "PDUGetObjectId", api.getObjectId) &
      Bind(module, "PDUIoCtl", api.ioCtl) & Bind(module, "PDUCreateComLogicalLink", api.createLink) &
      Bind(module, "PDUDestroyComLogicalLink", api.destroyLink) &
      Bind(module, "PDUSetComParam", api.setComParam) & Bind(module, "PDUConnect", api.connect) &
      Bind(module, "PDUDisconnect", api.disconnect) &
      Bind(module, "PDUStartComPrimitive", api.startCop) &
      Bind(module, "PDUGetEventItem", api.getEventItem) &
      Bind(module, "PDUDestroyItem", api.destroyItem) &
      Bind(module, "PDURegisterEventCallback", api.registerCallback) &
      Bind(module, "PDUSetUniqueRespIdTable", api.setTable);
  if (!bound) {
    std::printf("The library is not a D-PDU API library.\n");
    FreeLibrary(module);
    return 1;
  }
  g_eventSignal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Steps steps;
  char options[] = "";
  if (steps.Step("PDUConstruct", api.construct(options, nullptr))) {
    PDU_MODULE_ITEM* modules = nullptr;
    UNUM32 hMod = PDU_HANDLE_UNDEF;
    std::string moduleName;
    if (steps.Step("PDUGetModuleIds", api.getModuleIds(&modules)) && modules != nullptr) {
      if (modules->NumEntries > 0 && modules->pModuleData != nullptr) {
        hMod = modules->pModuleData[0].hMod;
        moduleName = BoundedShortName(modules->pModuleData[0].pVendorModuleName, 128);
      }
      api.destroyItem(reinterpret_cast<PDU_ITEM*>(modules));
    }
    if (hMod == PDU_HANDLE_UNDEF) {
      steps.Problem("PDUGetModuleIds", "the library reports no module");
    } else if (steps.Step("PDUModuleConnect", api.moduleConnect(hMod), "module \"" + moduleName + "\"")) {
      PDU_VERSION_DATA version{};
      const T_PDU_ERROR code = api.getVersion(hMod, &version);
      version.PDUApiSwName[63] = version.VendorName[63] = '\0';
      steps.Step("PDUGetVersion", code,
                 std::string("vendor ") + version.VendorName + ", library " + version.PDUApiSwName);
      const UNUM32 vbatt = ObjectId(api, PDU_OBJT_IO_CTRL, "PDU_IOCTL_READ_VBATT");
      PDU_DATA_ITEM* out = nullptr;
      if (vbatt != PDU_ID_UNDEF) {
        const T_PDU_ERROR rc = api.ioCtl(hMod, PDU_HANDLE_UNDEF, vbatt, nullptr, &out);
        char volts[48] = "";
        if (rc == PDU_STATUS_NOERROR && out != nullptr && out->ItemType == PDU_IT_IO_UNUM32 &&
            out->pData != nullptr) {
          const UNUM32 mv = *static_cast<const UNUM32*>(out->pData);
          std::snprintf(volts, sizeof volts, "%u.%03u V", mv / 1000, mv % 1000);
        }
        steps.Step("PDUIoCtl (PDU_IOCTL_READ_VBATT)", rc, volts);
        if (out != nullptr) api.destroyItem(reinterpret_cast<PDU_ITEM*>(out));
      }
      PDU_PIN_DATA pins[2] = {{6, ObjectId(api, PDU_OBJT_PINTYPE, "HI")},
                              {14, ObjectId(api, PDU_OBJT_PINTYPE, "LOW")}};
      PDU_RSC_DATA resource{ObjectId(api, PDU_OBJT_BUSTYPE, "ISO_11898_2_DWCAN"),
                            ObjectId(api, PDU_OBJT_PROTOCOL, "ISO_15765_3_on_ISO_15765_2"), 2, pins};
      UNUM32 hCLL = PDU_HANDLE_UNDEF;
      if (steps.Step("PDUCreateComLogicalLink (CAN, ISO 15765)",
                     api.createLink(hMod, &resource, PDU_ID_UNDEF, nullptr, &hCLL, nullptr))) {
        RunLink(api, steps, hMod, hCLL, polling);
        steps.Step("PDUDestroyComLogicalLink", api.destroyLink(hMod, hCLL));
      }
      // How many requests a recorded scenario answered (simulated VCI only).
      const UNUM32 answeredId = ObjectId(api, PDU_OBJT_IO_CTRL, simulator::kPduIoCtlScenarioAnswered);
      PDU_DATA_ITEM* answered = nullptr;
      if (answeredId != PDU_ID_UNDEF &&
          api.ioCtl(hMod, PDU_HANDLE_UNDEF, answeredId, nullptr, &answered) == PDU_STATUS_NOERROR &&
          answered != nullptr) {
        if (answered->ItemType == PDU_IT_IO_UNUM32 && answered->pData != nullptr) {
          const UNUM32 count = *static_cast<const UNUM32*>(answered->pData);
          if (count == simulator::kNoScenario)
            std::printf("  No recorded scenario in use (the debugger output says why when one is set)\n");
          else
            std::printf("  Requests answered from the recording: %u\n", count);
        }
        api.destroyItem(reinterpret_cast<PDU_ITEM*>(answered));
      }
      steps.Step("PDUModuleDisconnect", api.moduleDisconnect(hMod));
    }
    steps.Step("PDUDestruct", api.destruct());
  }
  if (!polling && g_callbacks > 0)
    std::printf("    %ld event callback(s), on thread %lu (VciCheck's own thread is %lu)\n",
                static_cast<long>(g_callbacks), static_cast<unsigned long>(g_callbackThread),
                static_cast<unsigned long>(GetCurrentThreadId()));
  FreeLibrary(module);
  CloseHandle(g_eventSignal);
  std::printf(steps.failures() == 0 ? "All steps succeeded.\n" : "%d step(s) failed.\n",
              steps.failures());
  return steps.failures() == 0 ? 0 : 1;
}
