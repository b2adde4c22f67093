// OvraPduMon32.dll: the D-PDU API monitor. Copied in place of the D-PDU
// library, it forwards each of the 29 functions to the set-aside original
// untouched and logs the call: handles, object ids with the short names the
// application asked for, ComParams, ComPrimitives with their payload, event
// items and the return code by name. The application's event callbacks are
// interposed (monitor/pdu/pdu_callbacks.h) so that events are logged too. No
// exception leaves an export or the interposed callback. Here: the module's
// exports (construction, versions, status, ids, module connection); a link's
// are in monitor/pdu/pdu_link_exports.cpp.
#include <windows.h>

#include <mutex>
#include <string>

#include "monitor/forward_pool.h"
#include "monitor/pdu/pdu_call.h"
#include "monitor/memory_probe.h"
#include "monitor/pdu/pdu_callbacks.h"
#include "log/text_rules.h"
#include "pdu/pdu_names.h"

using namespace pdu;
using namespace monitor;

namespace {

std::string Dec(std::uint64_t value) { return std::to_string(value); }

}  // namespace

extern "C" {

T_PDU_ERROR PDU_CALL PDUConstruct(CHAR8* OptionStr, void* pAPITag) {
  return Monitored(
      PduFunction::Construct,
      [&](PduRecord& r) {
        r.Add("OptionStr", QuotedForeignText(OptionStr, 1024));
        r.Add("APITag", PointerText(pAPITag));
      },
      [&](PduOriginal& o) { return o.Construct(OptionStr, pAPITag); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDUDestruct() {
  const T_PDU_ERROR result = Monitored(
      PduFunction::Destruct, NoFields,
      [&](PduOriginal& o) {
        const T_PDU_ERROR r = o.Destruct();
        if (r == PDU_STATUS_NOERROR) {
          ClearPduCallbacks();
          LetGoAfterDestruct();  // the original calls no trampoline any more
          if (PduMonitorState* made = PduMonitorIfMade()) {
            std::lock_guard<std::mutex> lock(made->itemsLock);
            made->items.clear();  // the library freed them all
          }
        }
        return r;
      },
      NoFields);
  NotePduForwardedCalls();  // the other functions forwarded, before the session ends
  PduSessionEnded();  // on disk, and the module free to be unloaded
  return result;
}

T_PDU_ERROR PDU_CALL PDUIoCtl(UNUM32 hMod, UNUM32 hCLL, UNUM32 IoCtlCommandId,
                              PDU_DATA_ITEM* pInputData, PDU_DATA_ITEM** pOutputData) {
  PduMonitorState& m = ThePduMonitor();
  PDU_DATA_ITEM* outputBefore = nullptr;
  return Monitored(
      PduFunction::IoCtl,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("IoCtlCommandId", m.names.Text(PDU_OBJT_IO_CTRL, IoCtlCommandId));
        r.Add("InputData", DataItemText(pInputData, m.byteLimit));
      },
      [&](PduOriginal& o) {
        // Many IoCtls have no output, and the library may leave the caller's
        // variable as it was (uninitialised): what it held before tells.
        if (!Foreign<PDU_DATA_ITEM*>::Read(pOutputData, &outputBefore)) outputBefore = nullptr;
        return o.IoCtl(hMod, hCLL, IoCtlCommandId, pInputData, pOutputData);
      },
      [&](PduRecord& r) {
        PDU_DATA_ITEM* output = nullptr;
        if (pOutputData == nullptr) {
          r.Add("OutputData", "NULL");
        } else if (!Foreign<PDU_DATA_ITEM*>::Read(pOutputData, &output)) {
          r.Add("OutputData", PointerText(pOutputData) + " (not readable)");
        } else if (output != nullptr && output == outputBefore) {
          r.Add("OutputData", "(not written)");
        } else {
          r.Add("OutputData", DataItemText(output, m.byteLimit));
          m.HandedOut(output);
        }
      });
}

T_PDU_ERROR PDU_CALL PDUGetVersion(UNUM32 hMod, PDU_VERSION_DATA* pVersionData) {
  return Monitored(
      PduFunction::GetVersion, [&](PduRecord& r) { r.Add("hMod", HandleText(hMod)); },
      [&](PduOriginal& o) { return o.GetVersion(hMod, pVersionData); },
      [&](PduRecord& r) { r.Add("VersionData", VersionText(pVersionData)); });
}

T_PDU_ERROR PDU_CALL PDUGetStatus(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP, T_PDU_STATUS* pStatusCode,
                                  UNUM32* pTimestamp, UNUM32* pExtraInfo) {
  return Monitored(
      PduFunction::GetStatus,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("hCoP", HandleText(hCoP));
      },
      [&](PduOriginal& o) {
        return o.GetStatus(hMod, hCLL, hCoP, pStatusCode, pTimestamp, pExtraInfo);
      },
      [&](PduRecord& r) {
        r.Add("StatusCode", pStatusCode == nullptr ? "NULL" : NameOr(StatusName(*pStatusCode), *pStatusCode));
        r.Add("Timestamp", pTimestamp == nullptr ? "NULL" : Dec(*pTimestamp) + " us");
        r.Add("ExtraInfo", pExtraInfo == nullptr ? "NULL" : Hex32(*pExtraInfo));
      });
}

T_PDU_ERROR PDU_CALL PDUGetLastError(UNUM32 hMod, UNUM32 hCLL, T_PDU_ERR_EVT* pErrorCode,
                                     UNUM32* phCoP, UNUM32* pTimestamp, UNUM32* pExtraErrorInfo) {
  PduMonitorState& m = ThePduMonitor();
  if (m.original.module == nullptr) {
    // Without the original the monitor answers itself: communication with the
    // VCI is lost, and the extra information is the load's Win32 error.
    Logged call(m, PduFunction::GetLastError);
    if (PduRecord* r = call.Record()) {
      try {
        AddHandles(*r, hMod, hCLL);
        r->Add("Original", m.original.problem);
      } catch (...) {
      }
    }
    call.Entered();
    if (pErrorCode != nullptr) *pErrorCode = PDU_ERR_EVT_LOST_COMM_TO_VCI;
    if (phCoP != nullptr) *phCoP = PDU_HANDLE_UNDEF;
    if (pTimestamp != nullptr) *pTimestamp = 0;
    if (pExtraErrorInfo != nullptr) *pExtraErrorInfo = m.original.loadError;
    const T_PDU_ERROR result = pErrorCode == nullptr || phCoP == nullptr || pTimestamp == nullptr ||
                                       pExtraErrorInfo == nullptr
                                   ? PDU_ERR_INVALID_PARAMETERS
                                   : PDU_STATUS_NOERROR;
    call.Finish(result);
    return result;
  }
  return Monitored(
      PduFunction::GetLastError, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](PduOriginal& o) {
        return o.GetLastError(hMod, hCLL, pErrorCode, phCoP, pTimestamp, pExtraErrorInfo);
      },
      [&](PduRecord& r) {
        r.Add("ErrorCode", pErrorCode == nullptr ? "NULL" : NameOr(ErrorEventName(*pErrorCode), *pErrorCode));
        r.Add("hCoP", phCoP == nullptr ? "NULL" : HandleText(*phCoP));
        r.Add("Timestamp", pTimestamp == nullptr ? "NULL" : Dec(*pTimestamp) + " us");
        r.Add("ExtraErrorInfo", pExtraErrorInfo == nullptr ? "NULL" : Hex32(*pExtraErrorInfo));
      });
}

T_PDU_ERROR PDU_CALL PDUGetResourceStatus(PDU_RSC_STATUS_ITEM* pResourceStatus) {
  return Monitored(
      PduFunction::GetResourceStatus, NoFields,
      [&](PduOriginal& o) { return o.GetResourceStatus(pResourceStatus); },
      [&](PduRecord& r) { r.Add("ResourceStatus", RscStatusItemText(pResourceStatus)); });
}

T_PDU_ERROR PDU_CALL PDUGetObjectId(T_PDU_OBJT pduObjectType, CHAR8* pShortname,
                                    UNUM32* pPduObjectId) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::GetObjectId,
      [&](PduRecord& r) {
        r.Add("ObjectType", NameOr(ObjectTypeName(pduObjectType), pduObjectType));
        r.Add("ShortName", QuotedForeignText(pShortname, kPduShortNameLimit));
      },
      [&](PduOriginal& o) {
        const T_PDU_ERROR r = o.GetObjectId(pduObjectType, pShortname, pPduObjectId);
        try {
          if (r == PDU_STATUS_NOERROR && pPduObjectId != nullptr && pShortname != nullptr &&
              *pPduObjectId != PDU_ID_UNDEF)
            m.names.Remember(pduObjectType, *pPduObjectId,
                             BoundedShortName(pShortname, ReadableTextBytes(pShortname, kPduShortNameLimit)));
        } catch (...) {
        }
        return r;
      },
      [&](PduRecord& r) {
        r.Add("ObjectId", pPduObjectId == nullptr       ? std::string("NULL")
                          : *pPduObjectId == PDU_ID_UNDEF ? std::string("UNDEF (no such object)")
                                                          : Hex32(*pPduObjectId));
      });
}

T_PDU_ERROR PDU_CALL PDUGetModuleIds(PDU_MODULE_ITEM** pModuleIdList) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::GetModuleIds, NoFields,
      [&](PduOriginal& o) { return o.GetModuleIds(pModuleIdList); },
      [&](PduRecord& r) {
        r.Add("ModuleIdList", pModuleIdList == nullptr ? std::string("NULL")
                                                       : ModuleItemText(*pModuleIdList));
        if (pModuleIdList != nullptr) m.HandedOut(*pModuleIdList);
      });
}

T_PDU_ERROR PDU_CALL PDUGetResourceIds(UNUM32 hMod, PDU_RSC_DATA* pResourceIdData,
                                       PDU_RSC_ID_ITEM** pResourceIdList) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::GetResourceIds,
      [&](PduRecord& r) {
        r.Add("hMod", HandleText(hMod));
        r.Add("ResourceIdData", RscDataText(pResourceIdData, m.names));
      },
      [&](PduOriginal& o) { return o.GetResourceIds(hMod, pResourceIdData, pResourceIdList); },
      [&](PduRecord& r) {
        r.Add("ResourceIdList", pResourceIdList == nullptr ? std::string("NULL")
                                                           : RscIdItemText(*pResourceIdList));
        if (pResourceIdList != nullptr) m.HandedOut(*pResourceIdList);
      });
}

T_PDU_ERROR PDU_CALL PDUGetConflictingResources(UNUM32 resourceId, PDU_MODULE_ITEM* pInputModuleList,
                                                PDU_RSC_CONFLICT_ITEM** pOutputConflictList) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::GetConflictingResources,
      [&](PduRecord& r) {
        r.Add("ResourceId", std::to_string(resourceId));
        r.Add("InputModuleList", ModuleItemText(pInputModuleList));
      },
      [&](PduOriginal& o) {
        return o.GetConflictingResources(resourceId, pInputModuleList, pOutputConflictList);
      },
      [&](PduRecord& r) {
        r.Add("OutputConflictList", pOutputConflictList == nullptr
                                        ? std::string("NULL")
                                        : ConflictItemText(*pOutputConflictList));
        if (pOutputConflictList != nullptr) m.HandedOut(*pOutputConflictList);
      });
}

T_PDU_ERROR PDU_CALL PDUModuleConnect(UNUM32 hMod) {
  return Monitored(
      PduFunction::ModuleConnect, [&](PduRecord& r) { r.Add("hMod", HandleText(hMod)); },
      [&](PduOriginal& o) { return o.ModuleConnect(hMod); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDUModuleDisconnect(UNUM32 hMod) {
  return Monitored(
      PduFunction::ModuleDisconnect, [&](PduRecord& r) { r.Add("hMod", HandleText(hMod)); },
      [&](PduOriginal& o) {
        const T_PDU_ERROR r = o.ModuleDisconnect(hMod);
        if (r == PDU_STATUS_NOERROR) ReleasePduModuleLinks(hMod);  // its links are gone
        return r;
      },
      NoFields);
}

T_PDU_ERROR PDU_CALL PDUGetTimestamp(UNUM32 hMod, UNUM32* pTimestamp) {
  return Monitored(
      PduFunction::GetTimestamp, [&](PduRecord& r) { r.Add("hMod", HandleText(hMod)); },
      [&](PduOriginal& o) { return o.GetTimestamp(hMod, pTimestamp); },
      [&](PduRecord& r) {
        r.Add("Timestamp", pTimestamp == nullptr ? "NULL" : Dec(*pTimestamp) + " us");
      });
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    SetPduMonitorModule(instance);
#if !defined(_MSC_VER) || defined(_DLL)
    // Not with the static MSVC runtime (/MT): it relies on thread notifications.
    DisableThreadLibraryCalls(instance);
#endif
  } else if (reason == DLL_PROCESS_DETACH) {
    PduModuleDetach(reserved != nullptr);
  }
  return TRUE;
}

}  // extern "C"
