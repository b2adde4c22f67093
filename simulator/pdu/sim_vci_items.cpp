// The simulated D-PDU VCI's queries and items: the module and its resource,
// the status and errors of links and ComPrimitives, the response id tables,
// the events taken and the items freed.
#include <cstring>

#include "simulator/pdu/sim_vci.h"
#include "simulator/pdu/sim_vci_parts.h"
#include "hosted/arch.h"

namespace simulator {

pdu::T_PDU_ERROR SimPduVci::GetModuleIds(PDU_MODULE_ITEM** list) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (list == nullptr) return PDU_ERR_INVALID_PARAMETERS;
    auto item = std::make_unique<Item>();
    item->name = "OVRA VCI (simulated)";
    item->additional = "Serial 0; one CAN resource with ISO 15765";
    item->moduleData.ModuleTypeId = 1;
    item->moduleData.hMod = kModuleHandle;
    item->moduleData.pVendorModuleName = item->name.data();
    item->moduleData.pVendorAdditionalInfo = item->additional.data();
    item->moduleData.ModuleStatus = moduleConnected_ ? PDU_MODST_READY : PDU_MODST_AVAIL;
    item->modules.ItemType = PDU_IT_MODULE_ID;
    item->modules.NumEntries = 1;
    item->modules.pModuleData = &item->moduleData;
    item->head = reinterpret_cast<PDU_ITEM*>(&item->modules);
    *list = reinterpret_cast<PDU_MODULE_ITEM*>(Keep(std::move(item)));
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetResourceIds(UNUM32 hMod, PDU_RSC_DATA* rscData,
                                           PDU_RSC_ID_ITEM** list) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (rscData == nullptr || list == nullptr) return PDU_ERR_INVALID_PARAMETERS;
    if (!ModuleOk(hMod) && hMod != PDU_HANDLE_UNDEF) return PDU_ERR_INVALID_HANDLE;
    auto item = std::make_unique<Item>();
    item->rscIdData.hMod = kModuleHandle;
    item->rscIdData.NumIds = ResourceMatches(rscData) ? 1 : 0;
    item->rscIdData.pResourceIdArray = item->rscIdData.NumIds ? item->rscIdArray : nullptr;
    item->rscIds.ItemType = PDU_IT_RSC_ID;
    item->rscIds.NumModules = 1;
    item->rscIds.pResourceIdDataArray = &item->rscIdData;
    item->head = reinterpret_cast<PDU_ITEM*>(&item->rscIds);
    *list = reinterpret_cast<PDU_RSC_ID_ITEM*>(Keep(std::move(item)));
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetResourceStatus(PDU_RSC_STATUS_ITEM* item) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (item == nullptr || item->ItemType != PDU_IT_RSC_STATUS ||
        (item->NumEntries > 0 && item->pResourceStatusData == nullptr) || item->NumEntries > 256)
      return PDU_ERR_INVALID_PARAMETERS;
    bool inUse = false;
    for (auto& [handle, link] : links_) inUse = inUse || link->state != PDU_CLLST_OFFLINE;
    for (UNUM32 i = 0; i < item->NumEntries; ++i) {
      PDU_RSC_STATUS_DATA& entry = item->pResourceStatusData[i];
      if (entry.hMod != kModuleHandle || entry.ResourceId != kResourceId)
        return PDU_ERR_INVALID_PARAMETERS;
      entry.ResourceStatus = inUse ? 1 : 0;  // 1: a link on it is online
    }
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetConflictingResources(UNUM32 resourceId, PDU_MODULE_ITEM* modules,
                                                    PDU_RSC_CONFLICT_ITEM** list) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (modules == nullptr || list == nullptr) return PDU_ERR_INVALID_PARAMETERS;
    if (resourceId != kResourceId) return PDU_ERR_INVALID_PARAMETERS;
    auto item = std::make_unique<Item>();
    item->conflicts.ItemType = PDU_IT_RSC_CONFLICT;  // one resource: nothing conflicts
    item->head = reinterpret_cast<PDU_ITEM*>(&item->conflicts);
    *list = reinterpret_cast<PDU_RSC_CONFLICT_ITEM*>(Keep(std::move(item)));
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                                 PDU_UNIQUE_RESP_ID_TABLE_ITEM** table) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (table == nullptr) return PDU_ERR_INVALID_PARAMETERS;
    auto out = std::make_unique<Item>();
    std::size_t params = 0;
    for (const TableEntry& entry : link.table) params += entry.params.size();
    out->tableParams.resize(params);
    out->tableValues.resize(params);
    std::size_t at = 0;
    for (const TableEntry& entry : link.table) {
      PDU_ECU_UNIQUE_RESP_DATA data{};
      data.UniqueRespIdentifier = entry.uniqueId;
      data.NumParamItems = static_cast<UNUM32>(entry.params.size());
      data.pParams = entry.params.empty() ? nullptr : &out->tableParams[at];
      for (const auto& [id, value] : entry.params) {
        const int index = ComParamIndex(id);
        out->tableValues[at] = value;
        out->tableParams[at] = {PDU_IT_PARAM, id, PDU_PT_UNUM32,
                                index >= 0 ? kComParamTable[index].parameterClass : PDU_PC_UNIQUE_ID,
                                &out->tableValues[at]};
        ++at;
      }
      out->tableData.push_back(data);
    }
    out->table.ItemType = PDU_IT_UNIQUE_RESP_ID_TABLE;
    out->table.NumEntries = static_cast<UNUM32>(out->tableData.size());
    out->table.pUniqueData = out->tableData.empty() ? nullptr : out->tableData.data();
    out->head = reinterpret_cast<PDU_ITEM*>(&out->table);
    *table = reinterpret_cast<PDU_UNIQUE_RESP_ID_TABLE_ITEM*>(Keep(std::move(out)));
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetEventItem(UNUM32 hMod, UNUM32 hCLL, PDU_EVENT_ITEM** item) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (item == nullptr) return PDU_ERR_INVALID_PARAMETERS;
    std::deque<PDU_EVENT_ITEM*>* queue = nullptr;
    if (hCLL == PDU_HANDLE_UNDEF) {
      if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
      queue = &moduleEvents_;
    } else {
      Link* link = FindLink(hMod, hCLL);
      if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
      queue = &link->events;
    }
    if (queue->empty()) return PDU_ERR_EVENT_QUEUE_EMPTY;
    *item = queue->front();
    queue->pop_front();
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::DestroyItem(PDU_ITEM* item) {
  return Constructed([&]() -> T_PDU_ERROR {
    auto found = items_.find(item);
    if (found == items_.end()) return PDU_ERR_INVALID_PARAMETERS;  // not ours, or freed already
    // An event still queued is not the application's to free.
    for (auto& [handle, link] : links_)
      for (PDU_EVENT_ITEM* queued : link->events)
        if (reinterpret_cast<PDU_ITEM*>(queued) == item) return PDU_ERR_INVALID_PARAMETERS;
    for (PDU_EVENT_ITEM* queued : moduleEvents_)
      if (reinterpret_cast<PDU_ITEM*>(queued) == item) return PDU_ERR_INVALID_PARAMETERS;
    items_.erase(found);
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetStatus(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP, T_PDU_STATUS* status,
                                      UNUM32* timestamp, UNUM32* extraInfo) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (status == nullptr || timestamp == nullptr || extraInfo == nullptr)
      return PDU_ERR_INVALID_PARAMETERS;
    if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
    T_PDU_STATUS value = moduleConnected_ ? PDU_MODST_READY : PDU_MODST_AVAIL;
    if (hCLL != PDU_HANDLE_UNDEF) {
      Link* link = FindLink(hMod, hCLL);
      if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
      value = link->state;
      if (hCoP != PDU_HANDLE_UNDEF) {
        auto found = link->copStatus.find(hCoP);
        if (found == link->copStatus.end()) return PDU_ERR_INVALID_HANDLE;
        value = found->second;
      }
    }
    *status = value;
    *timestamp = Now();
    *extraInfo = 0;
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetLastError(UNUM32 hMod, UNUM32 hCLL, T_PDU_ERR_EVT* code,
                                         UNUM32* hCoP, UNUM32* timestamp, UNUM32* extraInfo) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (code == nullptr || hCoP == nullptr || timestamp == nullptr || extraInfo == nullptr)
      return PDU_ERR_INVALID_PARAMETERS;
    if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
    *code = PDU_ERR_EVT_NOERROR;
    *hCoP = PDU_HANDLE_UNDEF;
    *timestamp = 0;
    *extraInfo = 0;
    if (hCLL != PDU_HANDLE_UNDEF) {
      Link* link = FindLink(hMod, hCLL);
      if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
      *code = link->lastError;
      *hCoP = link->lastErrorCop;
      *timestamp = link->lastErrorTime;
    }
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetVersion(UNUM32 hMod, PDU_VERSION_DATA* version) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
    if (version == nullptr) return PDU_ERR_INVALID_PARAMETERS;
    PDU_VERSION_DATA out{};
    out.MVCI_Part1StandardVersion = 0x01000000;  // major.minor.revision, one byte each
    out.MVCI_Part2StandardVersion = 0x02020000;
    out.HwSerialNumber = 0;
    CopyText(out.HwName, "OVRA VCI (simulated)");
    out.HwVersion = 0x01000000;
    CopyText(out.FwName, "OVRA simulated firmware");
    out.FwVersion = 0x01000000;
    CopyText(out.VendorName, "OVRA");
    CopyText(out.PDUApiSwName, "OvraSimPdu" VARROW_BITS_TEXT);
    out.PDUApiSwVersion = 0x01000000;
    *version = out;
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetTimestamp(UNUM32 hMod, UNUM32* timestamp) {
  return Constructed([&]() -> T_PDU_ERROR {
    if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
    if (timestamp == nullptr) return PDU_ERR_INVALID_PARAMETERS;
    *timestamp = Now();
    return PDU_STATUS_NOERROR;
  });
}

}  // namespace simulator
