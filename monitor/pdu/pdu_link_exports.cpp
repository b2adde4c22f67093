// The D-PDU API monitor's exports of a ComLogicalLink's life and conversation
// (monitor/pdu/pdu_exports.cpp has the module's): creating, connecting and
// locking a link, its ComParams and unique response id table, its
// ComPrimitives, its event items and the application's event callback.
#include <windows.h>

#include <mutex>
#include <string>

#include "monitor/pdu/pdu_call.h"
#include "monitor/memory_probe.h"
#include "monitor/pdu/pdu_callbacks.h"
#include "log/text_rules.h"
#include "pdu/pdu_names.h"

using namespace pdu;
using namespace monitor;

namespace {

std::string LockMaskText(UNUM32 mask) {
  std::string text = Hex32(mask);
  if (mask & PDU_LOCK_PHYSICAL_COMPARAMS) text += " PHYSICAL_COMPARAMS";
  if (mask & PDU_LOCK_TX_QUEUE) text += " TX_QUEUE";
  return text;
}

}  // namespace

extern "C" {

T_PDU_ERROR PDU_CALL PDUCreateComLogicalLink(UNUM32 hMod, PDU_RSC_DATA* pRscData, UNUM32 resourceId,
                                             void* pCllTag, UNUM32* phCLL,
                                             PDU_FLAG_DATA* pCllCreateFlag) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::CreateComLogicalLink,
      [&](PduRecord& r) {
        r.Add("hMod", HandleText(hMod));
        r.Add("RscData", RscDataText(pRscData, m.names));
        r.Add("ResourceId", resourceId == PDU_ID_UNDEF ? std::string("UNDEF")
                                                       : m.names.Text(PDU_OBJT_RESOURCE, resourceId));
        r.Add("CllTag", PointerText(pCllTag));
        r.Add("CllCreateFlag", FlagDataText(pCllCreateFlag));
      },
      [&](PduOriginal& o) {
        return o.CreateComLogicalLink(hMod, pRscData, resourceId, pCllTag, phCLL, pCllCreateFlag);
      },
      [&](PduRecord& r) { r.Add("hCLL", phCLL == nullptr ? "NULL" : HandleText(*phCLL)); });
}

T_PDU_ERROR PDU_CALL PDUDestroyComLogicalLink(UNUM32 hMod, UNUM32 hCLL) {
  return Monitored(
      PduFunction::DestroyComLogicalLink, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](PduOriginal& o) {
        const T_PDU_ERROR r = o.DestroyComLogicalLink(hMod, hCLL);
        if (r == PDU_STATUS_NOERROR) ReleasePduCallback(hMod, hCLL);
        return r;
      },
      NoFields);
}

T_PDU_ERROR PDU_CALL PDUConnect(UNUM32 hMod, UNUM32 hCLL) {
  return Monitored(
      PduFunction::Connect, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](PduOriginal& o) { return o.Connect(hMod, hCLL); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDUDisconnect(UNUM32 hMod, UNUM32 hCLL) {
  return Monitored(
      PduFunction::Disconnect, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](PduOriginal& o) { return o.Disconnect(hMod, hCLL); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDULockResource(UNUM32 hMod, UNUM32 hCLL, UNUM32 LockMask) {
  return Monitored(
      PduFunction::LockResource,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("LockMask", LockMaskText(LockMask));
      },
      [&](PduOriginal& o) { return o.LockRsc(hMod, hCLL, LockMask); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDUUnlockResource(UNUM32 hMod, UNUM32 hCLL, UNUM32 LockMask) {
  return Monitored(
      PduFunction::UnlockResource,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("LockMask", LockMaskText(LockMask));
      },
      [&](PduOriginal& o) { return o.UnlockRsc(hMod, hCLL, LockMask); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDUGetComParam(UNUM32 hMod, UNUM32 hCLL, UNUM32 ParamId,
                                    PDU_PARAM_ITEM** pParamItem) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::GetComParam,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("ParamId", m.names.Text(PDU_OBJT_COMPARAM, ParamId));
      },
      [&](PduOriginal& o) { return o.GetComParam(hMod, hCLL, ParamId, pParamItem); },
      [&](PduRecord& r) {
        r.Add("ParamItem", pParamItem == nullptr ? std::string("NULL")
                                                 : ParamItemText(*pParamItem, m.names));
        if (pParamItem != nullptr) m.HandedOut(*pParamItem);
      });
}

T_PDU_ERROR PDU_CALL PDUSetComParam(UNUM32 hMod, UNUM32 hCLL, PDU_PARAM_ITEM* pParamItem) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::SetComParam,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("ParamItem", ParamItemText(pParamItem, m.names));
      },
      [&](PduOriginal& o) { return o.SetComParam(hMod, hCLL, pParamItem); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDUStartComPrimitive(UNUM32 hMod, UNUM32 hCLL, T_PDU_COPT CoPType,
                                          UNUM32 CoPDataSize, UNUM8* pCoPData,
                                          PDU_COP_CTRL_DATA* pCopCtrlData, void* pCoPTag,
                                          UNUM32* phCoP) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::StartComPrimitive,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("CoPType", NameOr(CopTypeName(CoPType), CoPType));
        r.AddBytes("CoPData", pCoPData, CoPDataSize, m.byteLimit);
        r.Add("CopCtrlData", CopCtrlText(pCopCtrlData));
        r.Add("CoPTag", PointerText(pCoPTag));
      },
      [&](PduOriginal& o) {
        return o.StartComPrimitive(hMod, hCLL, CoPType, CoPDataSize, pCoPData, pCopCtrlData,
                                   pCoPTag, phCoP);
      },
      [&](PduRecord& r) { r.Add("hCoP", phCoP == nullptr ? "NULL" : HandleText(*phCoP)); });
}

T_PDU_ERROR PDU_CALL PDUCancelComPrimitive(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP) {
  return Monitored(
      PduFunction::CancelComPrimitive,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("hCoP", HandleText(hCoP));
      },
      [&](PduOriginal& o) { return o.CancelComPrimitive(hMod, hCLL, hCoP); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDUGetEventItem(UNUM32 hMod, UNUM32 hCLL, PDU_EVENT_ITEM** pEventItem) {
  PduMonitorState& m = ThePduMonitor();
  if (m.original.module != nullptr && m.skipEmptyQueue && !m.entryExit) {
    // Polling an empty queue is noise: such calls are not logged (the
    // "empty buffer" option), every other one is.
    Logged call(m, PduFunction::GetEventItem);
    call.Entered();
    const T_PDU_ERROR result = m.original.GetEventItem(hMod, hCLL, pEventItem);
    if (result == PDU_ERR_EVENT_QUEUE_EMPTY) {
      call.Drop();
      return result;
    }
    if (PduRecord* r = call.Record()) {
      try {
        AddHandles(*r, hMod, hCLL);
        if (result == PDU_STATUS_NOERROR && pEventItem != nullptr) {
          ProbeScope scope;
          AddEventItem(*r, *pEventItem, m.byteLimit);
          m.HandedOut(*pEventItem);
        }
      } catch (...) {
      }
    }
    call.Finish(result);
    return result;
  }
  return Monitored(
      PduFunction::GetEventItem, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](PduOriginal& o) { return o.GetEventItem(hMod, hCLL, pEventItem); },
      [&](PduRecord& r) {
        AddEventItem(r, pEventItem == nullptr ? nullptr : *pEventItem, m.byteLimit);
        if (pEventItem != nullptr) m.HandedOut(*pEventItem);
      });
}

T_PDU_ERROR PDU_CALL PDUDestroyItem(PDU_ITEM* pItem) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::DestroyItem,
      [&](PduRecord& r) {
        if (pItem == nullptr) {
          r.Add("Item", "NULL");
          return;
        }
        const char* type = m.TakeBack(pItem);
        r.Add("Item", PointerText(pItem) + " " +
                          (type != nullptr ? std::string(type) : std::string("(not handed out through the monitor)")));
      },
      [&](PduOriginal& o) { return o.DestroyItem(pItem); }, NoFields);
}

T_PDU_ERROR PDU_CALL PDURegisterEventCallback(UNUM32 hMod, UNUM32 hCLL,
                                              CALLBACKFNC EventCallbackFunction) {
  bool interposed = false;
  return Monitored(
      PduFunction::RegisterEventCallback,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("EventCallbackFunction",
              PointerText(reinterpret_cast<void*>(EventCallbackFunction)));
      },
      [&](PduOriginal& o) {
        if (EventCallbackFunction == nullptr) {
          const T_PDU_ERROR r = o.RegisterEventCallback(hMod, hCLL, nullptr);
          if (r == PDU_STATUS_NOERROR) UnbindPduCallback(hMod, hCLL);
          return r;
        }
        CALLBACKFNC previous = nullptr;
        const CALLBACKFNC trampoline =
            BindPduCallback(hMod, hCLL, EventCallbackFunction, &previous);
        if (trampoline == nullptr) return o.RegisterEventCallback(hMod, hCLL, EventCallbackFunction);
        interposed = true;
        // Held before the library knows the trampoline: its thread may call it at once.
        HoldWhileCallbacksBound();
        const T_PDU_ERROR r = o.RegisterEventCallback(hMod, hCLL, trampoline);
        if (r != PDU_STATUS_NOERROR) RestorePduCallback(hMod, hCLL, previous);
        return r;
      },
      [&](PduRecord& r) {
        if (EventCallbackFunction != nullptr)
          r.Add("Events", interposed ? "logged" : "not logged (every callback slot is taken)");
      });
}

T_PDU_ERROR PDU_CALL PDUGetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                             PDU_UNIQUE_RESP_ID_TABLE_ITEM** pUniqueRespIdTable) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::GetUniqueRespIdTable, [&](PduRecord& r) { AddHandles(r, hMod, hCLL); },
      [&](PduOriginal& o) { return o.GetUniqueRespIdTable(hMod, hCLL, pUniqueRespIdTable); },
      [&](PduRecord& r) {
        r.Add("UniqueRespIdTable", pUniqueRespIdTable == nullptr
                                       ? std::string("NULL")
                                       : UniqueRespTableText(*pUniqueRespIdTable, m.names));
        if (pUniqueRespIdTable != nullptr) m.HandedOut(*pUniqueRespIdTable);
      });
}

T_PDU_ERROR PDU_CALL PDUSetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                             PDU_UNIQUE_RESP_ID_TABLE_ITEM* pUniqueRespIdTable) {
  PduMonitorState& m = ThePduMonitor();
  return Monitored(
      PduFunction::SetUniqueRespIdTable,
      [&](PduRecord& r) {
        AddHandles(r, hMod, hCLL);
        r.Add("UniqueRespIdTable", UniqueRespTableText(pUniqueRespIdTable, m.names));
      },
      [&](PduOriginal& o) { return o.SetUniqueRespIdTable(hMod, hCLL, pUniqueRespIdTable); },
      NoFields);
}

}  // extern "C"
