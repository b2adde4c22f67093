// The simulated D-PDU VCI: its API functions over the module, its links, their
// ComParams and ComPrimitives, and the items it hands out.
#include "simulator/pdu/sim_vci.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "simulator/pdu/sim_vci_parts.h"
#include "simulator/scenario/scenario_settings.h"

namespace simulator {

StdThreadHost::~StdThreadHost() { Join(); }

bool StdThreadHost::Start(std::function<void()> body) {
  thread_ = std::thread(std::move(body));
  return true;
}

bool StdThreadHost::OnThread() const { return thread_.get_id() == std::this_thread::get_id(); }

void StdThreadHost::Join() {
  if (!thread_.joinable()) return;
  if (OnThread())
    thread_.detach();  // PDUDestruct from inside a callback: the thread ends on its own
  else
    thread_.join();
}

void StdThreadHost::Forget() {
  if (thread_.joinable()) thread_.detach();
}

SimPduVci::SimPduVci(std::unique_ptr<ThreadHost> threads)
    : threads_(threads ? std::move(threads) : std::make_unique<StdThreadHost>()) {}

SimPduVci::~SimPduVci() {
  std::unique_lock<std::mutex> lock(mutex_);
  StopThread(lock);
}

void SimPduVci::ForgetThread() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!threadRunning_) return;
  threadRunning_ = false;
  threads_->Forget();
}

void SimPduVci::SetScenario(std::shared_ptr<Scenario> scenario, bool only, std::uint32_t speedPercent) {
  std::lock_guard<std::mutex> lock(mutex_);
  vehicle_.SetScenario(std::move(scenario), only, speedPercent);
}

void SimPduVci::SetFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  vehicle_.SetFaults(faults);
}

std::size_t SimPduVci::LiveItems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

bool SimPduVci::ModuleOk(UNUM32 hMod) const { return hMod == kModuleHandle; }

SimPduVci::Link* SimPduVci::FindLink(UNUM32 hMod, UNUM32 hCLL) {
  if (!ModuleOk(hMod)) return nullptr;
  auto found = links_.find(hCLL);
  return found == links_.end() ? nullptr : found->second.get();
}

UNUM32 SimPduVci::Now() const { return static_cast<UNUM32>(MonotonicMicros() - startMicros_); }

PDU_ITEM* SimPduVci::Keep(std::unique_ptr<Item> item) {
  PDU_ITEM* head = item->head;
  items_[head] = std::move(item);
  return head;
}

void SimPduVci::StopThread(std::unique_lock<std::mutex>& lock) {
  if (!threadRunning_) return;
  threadRunning_ = false;
  stopping_ = true;
  wake_.notify_all();
  lock.unlock();
  threads_->Join();
  lock.lock();
  stopping_ = false;
}

pdu::T_PDU_ERROR SimPduVci::Construct(const char* options, void* apiTag) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (constructed_) return PDU_ERR_SHARING_VIOLATION;
  constructed_ = true;
  moduleConnected_ = false;
  apiTag_ = apiTag;
  startMicros_ = MonotonicMicros();
  vehicle_ = Vehicle();  // its clock starts again with the library's
  nextLink_ = 1;
  nextCop_ = 1;
  if (!threads_->Start([this] { RunJobs(); })) {
    constructed_ = false;
    return PDU_ERR_FCT_FAILED;
  }
  threadRunning_ = true;
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::Destruct() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  constructed_ = false;
  StopThread(lock);
  jobs_.clear();
  waiting_.clear();
  links_.clear();
  moduleEvents_.clear();
  pendingCalls_.clear();
  items_.clear();
  systemCallback_ = nullptr;
  moduleCallback_ = nullptr;
  moduleConnected_ = false;
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::ModuleConnect(UNUM32 hMod) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
    if (hMod != kModuleHandle && hMod != PDU_HANDLE_UNDEF) return PDU_ERR_INVALID_HANDLE;
    if (moduleConnected_) return PDU_STATUS_NOERROR;
    moduleConnected_ = true;
    QueueModuleStatus(PDU_MODST_READY);
  }
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::ModuleDisconnect(UNUM32 hMod) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
    if (hMod != kModuleHandle && hMod != PDU_HANDLE_UNDEF) return PDU_ERR_INVALID_HANDLE;
    if (!moduleConnected_) return PDU_ERR_MODULE_NOT_CONNECTED;
    jobs_.clear();
    waiting_.clear();
    for (auto& [handle, link] : links_) {
      for (PDU_EVENT_ITEM* event : link->events) items_.erase(reinterpret_cast<PDU_ITEM*>(event));
    }
    links_.clear();
    moduleConnected_ = false;
    QueueModuleStatus(PDU_MODST_AVAIL);
  }
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::GetModuleIds(PDU_MODULE_ITEM** list) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
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
}

pdu::T_PDU_ERROR SimPduVci::GetObjectId(T_PDU_OBJT type, const char* shortName, UNUM32* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  if (shortName == nullptr || id == nullptr) return PDU_ERR_INVALID_PARAMETERS;
  struct Known {
    T_PDU_OBJT type;
    const char* name;
    UNUM32 id;
  };
  static const Known kKnown[] = {
      {PDU_OBJT_PROTOCOL, "ISO_15765_3_on_ISO_15765_2", kProtocolIso15765},
      {PDU_OBJT_BUSTYPE, "ISO_11898_2_DWCAN", kBusTypeCan},
      {PDU_OBJT_PINTYPE, "HI", kPinCanHigh},
      {PDU_OBJT_PINTYPE, "LOW", kPinCanLow},
      {PDU_OBJT_PROTOCOL, "ISO_OBD_on_ISO_15765_4", kProtocolIso15765},
      {PDU_OBJT_IO_CTRL, "PDU_IOCTL_READ_VBATT", kIoCtlReadVbatt},
      {PDU_OBJT_IO_CTRL, kPduIoCtlScenarioAnswered, kIoCtlScenarioAnswered},
      {PDU_OBJT_IO_CTRL, "PDU_IOCTL_CLEAR_TX_QUEUE", kIoCtlClearTxQueue},
  };
  *id = PDU_ID_UNDEF;
  for (const Known& known : kKnown)
    if (known.type == type && SameName(shortName, known.name)) *id = known.id;
  if (type == PDU_OBJT_COMPARAM)
    for (const ComParamInfo& param : kComParamTable)
      if (SameName(shortName, param.name)) *id = param.id;
  return PDU_STATUS_NOERROR;
}

// The one resource matches a request for CAN with ISO 15765 (pins optional: 6 and 14).
static bool ResourceMatches(const PDU_RSC_DATA* rsc) {
  if (rsc->BusTypeId != kBusTypeCan || rsc->ProtocolId != kProtocolIso15765) return false;
  if (rsc->NumPinData > 0 && rsc->pDLCPinData == nullptr) return false;
  for (UNUM32 i = 0; i < rsc->NumPinData && i < 16; ++i) {
    const PDU_PIN_DATA& pin = rsc->pDLCPinData[i];
    const bool ok = (pin.DLCPinNumber == 6 && pin.DLCPinTypeId == kPinCanHigh) ||
                    (pin.DLCPinNumber == 14 && pin.DLCPinTypeId == kPinCanLow);
    if (!ok) return false;
  }
  return rsc->NumPinData <= 16;
}

pdu::T_PDU_ERROR SimPduVci::GetResourceIds(UNUM32 hMod, PDU_RSC_DATA* rscData,
                                           PDU_RSC_ID_ITEM** list) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
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
}

pdu::T_PDU_ERROR SimPduVci::GetResourceStatus(PDU_RSC_STATUS_ITEM* item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
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
}

pdu::T_PDU_ERROR SimPduVci::GetConflictingResources(UNUM32 resourceId, PDU_MODULE_ITEM* modules,
                                                    PDU_RSC_CONFLICT_ITEM** list) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  if (modules == nullptr || list == nullptr) return PDU_ERR_INVALID_PARAMETERS;
  if (resourceId != kResourceId) return PDU_ERR_INVALID_PARAMETERS;
  auto item = std::make_unique<Item>();
  item->conflicts.ItemType = PDU_IT_RSC_CONFLICT;  // one resource: nothing conflicts
  item->head = reinterpret_cast<PDU_ITEM*>(&item->conflicts);
  *list = reinterpret_cast<PDU_RSC_CONFLICT_ITEM*>(Keep(std::move(item)));
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::CreateComLogicalLink(UNUM32 hMod, PDU_RSC_DATA* rscData,
                                                 UNUM32 resourceId, void* cllTag, UNUM32* hCLL,
                                                 PDU_FLAG_DATA* createFlag) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
  if (!moduleConnected_) return PDU_ERR_MODULE_NOT_CONNECTED;
  if (hCLL == nullptr) return PDU_ERR_INVALID_PARAMETERS;
  if (resourceId == PDU_ID_UNDEF) {
    if (rscData == nullptr || !ResourceMatches(rscData)) return PDU_ERR_INVALID_PARAMETERS;
  } else if (resourceId != kResourceId) {
    return PDU_ERR_INVALID_PARAMETERS;
  }
  if (links_.size() >= kMaxLinks) return PDU_ERR_RESOURCE_BUSY;
  auto link = std::make_unique<Link>();
  link->handle = nextLink_++;
  link->tag = cllTag;
  for (std::size_t i = 0; i < kComParams; ++i) link->working[i] = link->active[i] = kComParamTable[i].initial;
  TableEntry entry;
  entry.uniqueId = 1;
  entry.params = {{kCpCanPhysReqId, kEngineRequestId}, {kCpCanRespUsdtId, kEngineResponseId}};
  link->table.push_back(entry);
  *hCLL = link->handle;
  links_[link->handle] = std::move(link);
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::DestroyComLogicalLink(UNUM32 hMod, UNUM32 hCLL) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  if (link->state != PDU_CLLST_OFFLINE) return PDU_ERR_CLL_CONNECTED;
  for (PDU_EVENT_ITEM* event : link->events) items_.erase(reinterpret_cast<PDU_ITEM*>(event));
  links_.erase(hCLL);
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::Connect(UNUM32 hMod, UNUM32 hCLL) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
    Link* link = FindLink(hMod, hCLL);
    if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
    if (link->state != PDU_CLLST_OFFLINE) return PDU_ERR_CLL_CONNECTED;
    std::memcpy(link->active, link->working, sizeof(link->active));
    link->state = PDU_CLLST_ONLINE;
    QueueStatus(*link, PDU_HANDLE_UNDEF, nullptr, PDU_CLLST_ONLINE);
  }
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::Disconnect(UNUM32 hMod, UNUM32 hCLL) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
    Link* link = FindLink(hMod, hCLL);
    if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
    if (link->state == PDU_CLLST_OFFLINE) return PDU_ERR_CLL_NOT_CONNECTED;
    for (auto* list : {&jobs_, &waiting_}) {
      for (auto job = list->begin(); job != list->end();) {
        if ((*job)->hCLL == hCLL) {
          QueueStatus(*link, (*job)->hCoP, (*job)->tag, PDU_COPST_CANCELLED);
          job = list->erase(job);
        } else {
          ++job;
        }
      }
    }
    link->state = PDU_CLLST_OFFLINE;
    link->lockMask = 0;
    QueueStatus(*link, PDU_HANDLE_UNDEF, nullptr, PDU_CLLST_OFFLINE);
  }
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::LockResourceMask(UNUM32 hMod, UNUM32 hCLL, UNUM32 mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  if (mask == 0 || (mask & ~(PDU_LOCK_PHYSICAL_COMPARAMS | PDU_LOCK_TX_QUEUE)) != 0)
    return PDU_ERR_INVALID_PARAMETERS;
  for (auto& [handle, other] : links_)
    if (handle != hCLL && (other->lockMask & mask) != 0) return PDU_ERR_RSC_LOCKED;
  link->lockMask |= mask;
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::UnlockResourceMask(UNUM32 hMod, UNUM32 hCLL, UNUM32 mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  if (mask == 0 || (mask & ~(PDU_LOCK_PHYSICAL_COMPARAMS | PDU_LOCK_TX_QUEUE)) != 0)
    return PDU_ERR_INVALID_PARAMETERS;
  if ((link->lockMask & mask) != mask) {
    for (auto& [handle, other] : links_)
      if (handle != hCLL && (other->lockMask & mask) != 0) return PDU_ERR_RSC_LOCKED_BY_OTHER_CLL;
    return PDU_ERR_RSC_NOT_LOCKED;
  }
  link->lockMask &= ~mask;
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::GetComParam(UNUM32 hMod, UNUM32 hCLL, UNUM32 paramId,
                                        PDU_PARAM_ITEM** item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  if (item == nullptr) return PDU_ERR_INVALID_PARAMETERS;
  const int index = ComParamIndex(paramId);
  if (index < 0) return PDU_ERR_COMPARAM_NOT_SUPPORTED;
  auto out = std::make_unique<Item>();
  out->value = link->working[index];
  out->param.ItemType = PDU_IT_PARAM;
  out->param.ComParamId = paramId;
  out->param.ComParamDataType = PDU_PT_UNUM32;
  out->param.ComParamClass = kComParamTable[index].parameterClass;
  out->param.pComParamData = &out->value;
  out->head = reinterpret_cast<PDU_ITEM*>(&out->param);
  *item = reinterpret_cast<PDU_PARAM_ITEM*>(Keep(std::move(out)));
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::SetComParam(UNUM32 hMod, UNUM32 hCLL, PDU_PARAM_ITEM* item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  if (item == nullptr || item->ItemType != PDU_IT_PARAM || item->pComParamData == nullptr)
    return PDU_ERR_INVALID_PARAMETERS;
  const int index = ComParamIndex(item->ComParamId);
  if (index < 0) return PDU_ERR_COMPARAM_NOT_SUPPORTED;
  if (item->ComParamDataType != PDU_PT_UNUM32) return PDU_ERR_INVALID_PARAMETERS;
  const UNUM32 value = *static_cast<const UNUM32*>(item->pComParamData);
  if (static_cast<std::size_t>(index) == kBaudIndex) {
    if (!BaudrateSupported(value)) return PDU_ERR_VALUE_NOT_SUPPORTED;
    if (link->state != PDU_CLLST_OFFLINE) {
      for (auto& [handle, other] : links_)
        if (handle != hCLL && (other->lockMask & PDU_LOCK_PHYSICAL_COMPARAMS) != 0)
          return PDU_ERR_COMPARAM_LOCKED;
    }
  } else if (static_cast<std::size_t>(index) == kAddrModeIndex) {
    if (value != 1 && value != 2) return PDU_ERR_VALUE_NOT_SUPPORTED;
  } else if (index <= static_cast<int>(kFuncIndex) && value > 0x1FFFFFFF) {
    return PDU_ERR_VALUE_NOT_SUPPORTED;  // not a CAN identifier
  }
  link->working[index] = value;
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::GetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                                 PDU_UNIQUE_RESP_ID_TABLE_ITEM** table) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  if (table == nullptr) return PDU_ERR_INVALID_PARAMETERS;
  auto out = std::make_unique<Item>();
  std::size_t params = 0;
  for (const TableEntry& entry : link->table) params += entry.params.size();
  out->tableParams.resize(params);
  out->tableValues.resize(params);
  std::size_t at = 0;
  for (const TableEntry& entry : link->table) {
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
}

pdu::T_PDU_ERROR SimPduVci::SetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                                 PDU_UNIQUE_RESP_ID_TABLE_ITEM* table) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  if (table == nullptr || table->ItemType != PDU_IT_UNIQUE_RESP_ID_TABLE ||
      table->NumEntries > kMaxTableEntries || (table->NumEntries > 0 && table->pUniqueData == nullptr))
    return PDU_ERR_INVALID_PARAMETERS;
  std::vector<TableEntry> entries;
  for (UNUM32 i = 0; i < table->NumEntries; ++i) {
    const PDU_ECU_UNIQUE_RESP_DATA& data = table->pUniqueData[i];
    if (data.NumParamItems > kMaxTableParams || (data.NumParamItems > 0 && data.pParams == nullptr))
      return PDU_ERR_INVALID_PARAMETERS;
    TableEntry entry;
    entry.uniqueId = data.UniqueRespIdentifier;
    for (UNUM32 p = 0; p < data.NumParamItems; ++p) {
      const PDU_PARAM_ITEM& param = data.pParams[p];
      if (param.ComParamDataType != PDU_PT_UNUM32 || param.pComParamData == nullptr)
        return PDU_ERR_INVALID_PARAMETERS;
      if (ComParamIndex(param.ComParamId) < 0) return PDU_ERR_COMPARAM_NOT_SUPPORTED;
      entry.params.emplace_back(param.ComParamId, *static_cast<const UNUM32*>(param.pComParamData));
    }
    entries.push_back(std::move(entry));
  }
  link->table = std::move(entries);
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::StartComPrimitive(UNUM32 hMod, UNUM32 hCLL, T_PDU_COPT type,
                                              UNUM32 dataSize, UNUM8* data,
                                              PDU_COP_CTRL_DATA* ctrl, void* copTag,
                                              UNUM32* hCoP) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
    Link* link = FindLink(hMod, hCLL);
    if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
    if (hCoP == nullptr || dataSize > kMaxCopData || (dataSize > 0 && data == nullptr))
      return PDU_ERR_INVALID_PARAMETERS;
    if (type < PDU_COPT_STARTCOMM || type > PDU_COPT_RESTORE_PARAM) return PDU_ERR_INVALID_PARAMETERS;
    if (link->state == PDU_CLLST_OFFLINE) return PDU_ERR_CLL_NOT_CONNECTED;
    if (type == PDU_COPT_SENDRECV) {
      if (link->state != PDU_CLLST_COMM_STARTED) return PDU_ERR_CLL_NOT_STARTED;
      if (ctrl == nullptr || dataSize == 0) return PDU_ERR_INVALID_PARAMETERS;
    }
    auto job = std::make_unique<Job>();
    job->hCLL = hCLL;
    job->type = type;
    job->tag = copTag;
    job->data.assign(data, data + dataSize);
    if (ctrl != nullptr) {
      if (ctrl->NumSendCycles < -1 || ctrl->NumReceiveCycles < -1) return PDU_ERR_INVALID_PARAMETERS;
      job->sendCycles = ctrl->NumSendCycles == 0 ? 1 : ctrl->NumSendCycles;
      job->receiveCycles = ctrl->NumReceiveCycles;
      job->delayMs = ctrl->Time;
      if (ctrl->NumPossibleExpectedResponses > kMaxExpected ||
          (ctrl->NumPossibleExpectedResponses > 0 && ctrl->pExpectedResponseArray == nullptr))
        return PDU_ERR_INVALID_PARAMETERS;
      for (UNUM32 i = 0; i < ctrl->NumPossibleExpectedResponses; ++i) {
        const PDU_EXP_RESP_DATA& given = ctrl->pExpectedResponseArray[i];
        const UNUM32 n = given.NumMaskPatternBytes;
        if (n > kMaxMaskBytes || (n > 0 && (given.pMaskData == nullptr || given.pPatternData == nullptr)))
          return PDU_ERR_INVALID_PARAMETERS;
        ExpectedResponse expected;
        expected.type = given.ResponseType;
        expected.acceptanceId = given.AcceptanceId;
        expected.mask.assign(given.pMaskData, given.pMaskData + n);
        expected.pattern.assign(given.pPatternData, given.pPatternData + n);
        if (given.NumUniqueRespIds > kMaxTableEntries ||
            (given.NumUniqueRespIds > 0 && given.pUniqueRespIds == nullptr))
          return PDU_ERR_INVALID_PARAMETERS;
        expected.uniqueIds.assign(given.pUniqueRespIds, given.pUniqueRespIds + given.NumUniqueRespIds);
        job->expected.push_back(std::move(expected));
      }
    } else if (type == PDU_COPT_STARTCOMM || type == PDU_COPT_STOPCOMM) {
      job->receiveCycles = dataSize > 0 ? 1 : 0;
    } else {
      job->receiveCycles = 0;
    }
    job->hCoP = nextCop_++;
    *hCoP = job->hCoP;
    link->copStatus[job->hCoP] = PDU_COPST_IDLE;
    while (link->copStatus.size() > kMaxCopStatuses) link->copStatus.erase(link->copStatus.begin());
    jobs_.push_back(std::move(job));
    wake_.notify_all();
  }
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::CancelComPrimitive(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
    Link* link = FindLink(hMod, hCLL);
    if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
    bool found = false;
    for (auto* list : {&jobs_, &waiting_}) {
      for (auto job = list->begin(); !found && job != list->end(); ++job) {
        if ((*job)->hCLL == hCLL && (*job)->hCoP == hCoP) {
          QueueStatus(*link, hCoP, (*job)->tag, PDU_COPST_CANCELLED);
          list->erase(job);
          found = true;
          break;
        }
      }
    }
    // Running now: it ends, cancelled, once this run's events are out.
    if (!found && running_ != nullptr && running_->hCLL == hCLL && running_->hCoP == hCoP && !running_->cancelled) {
      running_->cancelled = true;
      found = true;
    }
    if (!found) return PDU_ERR_INVALID_HANDLE;  // unknown or already finished
  }
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::GetEventItem(UNUM32 hMod, UNUM32 hCLL, PDU_EVENT_ITEM** item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
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
}

pdu::T_PDU_ERROR SimPduVci::DestroyItem(PDU_ITEM* item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
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
}

pdu::T_PDU_ERROR SimPduVci::RegisterEventCallback(UNUM32 hMod, UNUM32 hCLL, CALLBACKFNC callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  if (hMod == PDU_HANDLE_UNDEF && hCLL == PDU_HANDLE_UNDEF) {
    systemCallback_ = callback;
    return PDU_STATUS_NOERROR;
  }
  if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
  if (hCLL == PDU_HANDLE_UNDEF) {
    moduleCallback_ = callback;
    return PDU_STATUS_NOERROR;
  }
  Link* link = FindLink(hMod, hCLL);
  if (link == nullptr) return PDU_ERR_INVALID_HANDLE;
  link->callback = callback;
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::GetStatus(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP, T_PDU_STATUS* status,
                                      UNUM32* timestamp, UNUM32* extraInfo) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
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
}

pdu::T_PDU_ERROR SimPduVci::GetLastError(UNUM32 hMod, UNUM32 hCLL, T_PDU_ERR_EVT* code,
                                         UNUM32* hCoP, UNUM32* timestamp, UNUM32* extraInfo) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
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
}

pdu::T_PDU_ERROR SimPduVci::GetVersion(UNUM32 hMod, PDU_VERSION_DATA* version) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
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
  CopyText(out.PDUApiSwName, "OvraSimPdu32");
  out.PDUApiSwVersion = 0x01000000;
  *version = out;
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::GetTimestamp(UNUM32 hMod, UNUM32* timestamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
  if (timestamp == nullptr) return PDU_ERR_INVALID_PARAMETERS;
  *timestamp = Now();
  return PDU_STATUS_NOERROR;
}

pdu::T_PDU_ERROR SimPduVci::IoCtl(UNUM32 hMod, UNUM32 hCLL, UNUM32 commandId,
                                  PDU_DATA_ITEM* input, PDU_DATA_ITEM** output) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!constructed_) return PDU_ERR_PDUAPI_NOT_CONSTRUCTED;
  if (!ModuleOk(hMod)) return PDU_ERR_INVALID_HANDLE;
  if (hCLL != PDU_HANDLE_UNDEF && FindLink(hMod, hCLL) == nullptr) return PDU_ERR_INVALID_HANDLE;
  if (commandId == kIoCtlClearTxQueue) {
    // Requests are sent at once: there is no queue to clear, and no output (the caller's is left as it was).
    return moduleConnected_ ? PDU_STATUS_NOERROR : PDU_ERR_MODULE_NOT_CONNECTED;
  }
  if (commandId != kIoCtlReadVbatt && commandId != kIoCtlScenarioAnswered) return PDU_ERR_ID_NOT_SUPPORTED;
  if (output == nullptr) return PDU_ERR_INVALID_PARAMETERS;
  if (!moduleConnected_) return PDU_ERR_MODULE_NOT_CONNECTED;
  auto out = std::make_unique<Item>();
  const Scenario* scenario = vehicle_.scenario();
  out->value = commandId == kIoCtlReadVbatt ? vehicle_.BatteryMillivolts(Now() / 1000)
               : scenario == nullptr        ? kNoScenario
                                            : static_cast<UNUM32>(scenario->answered());
  out->data.ItemType = PDU_IT_IO_UNUM32;
  out->data.pData = &out->value;
  out->head = reinterpret_cast<PDU_ITEM*>(&out->data);
  *output = reinterpret_cast<PDU_DATA_ITEM*>(Keep(std::move(out)));
  return PDU_STATUS_NOERROR;
}

}  // namespace simulator
