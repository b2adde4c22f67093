// The simulated D-PDU VCI: its API functions over the module, its links, their
// ComParams and ComPrimitives, the object ids and the I/O controls (the
// queries and items are in sim_vci_items.cpp).
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
  bus_.vehicle().SetScenario(std::move(scenario), only, speedPercent);
}

void SimPduVci::SetFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  bus_.vehicle().SetFaults(faults);
}

std::size_t SimPduVci::LiveItems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

std::vector<BusFrame> SimPduVci::LastBusFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bus_.lastFrames();
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
  bus_.Reset();  // the vehicle's clock starts again with the library's
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
  return Constructed([&]() -> T_PDU_ERROR {
    if (hMod != kModuleHandle && hMod != PDU_HANDLE_UNDEF) return PDU_ERR_INVALID_HANDLE;
    if (moduleConnected_) return PDU_STATUS_NOERROR;
    moduleConnected_ = true;
    QueueModuleStatus(PDU_MODST_READY);
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::ModuleDisconnect(UNUM32 hMod) {
  return Constructed([&]() -> T_PDU_ERROR {
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
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::CreateComLogicalLink(UNUM32 hMod, PDU_RSC_DATA* rscData,
                                                 UNUM32 resourceId, void* cllTag, UNUM32* hCLL,
                                                 PDU_FLAG_DATA* createFlag) {
  return Constructed([&]() -> T_PDU_ERROR {
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
  });
}

pdu::T_PDU_ERROR SimPduVci::DestroyComLogicalLink(UNUM32 hMod, UNUM32 hCLL) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (link.state != PDU_CLLST_OFFLINE) return PDU_ERR_CLL_CONNECTED;
    for (PDU_EVENT_ITEM* event : link.events) items_.erase(reinterpret_cast<PDU_ITEM*>(event));
    links_.erase(hCLL);
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::Connect(UNUM32 hMod, UNUM32 hCLL) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (link.state != PDU_CLLST_OFFLINE) return PDU_ERR_CLL_CONNECTED;
    std::memcpy(link.active, link.working, sizeof(link.active));
    link.state = PDU_CLLST_ONLINE;
    QueueStatus(link, PDU_HANDLE_UNDEF, nullptr, PDU_CLLST_ONLINE);
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::Disconnect(UNUM32 hMod, UNUM32 hCLL) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (link.state == PDU_CLLST_OFFLINE) return PDU_ERR_CLL_NOT_CONNECTED;
    for (auto* list : {&jobs_, &waiting_}) {
      for (auto job = list->begin(); job != list->end();) {
        if ((*job)->hCLL == hCLL) {
          QueueStatus(link, (*job)->hCoP, (*job)->tag, PDU_COPST_CANCELLED);
          job = list->erase(job);
        } else {
          ++job;
        }
      }
    }
    link.state = PDU_CLLST_OFFLINE;
    link.lockMask = 0;
    QueueStatus(link, PDU_HANDLE_UNDEF, nullptr, PDU_CLLST_OFFLINE);
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::LockResourceMask(UNUM32 hMod, UNUM32 hCLL, UNUM32 mask) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (mask == 0 || (mask & ~(PDU_LOCK_PHYSICAL_COMPARAMS | PDU_LOCK_TX_QUEUE)) != 0)
      return PDU_ERR_INVALID_PARAMETERS;
    for (auto& [handle, other] : links_)
      if (handle != hCLL && (other->lockMask & mask) != 0) return PDU_ERR_RSC_LOCKED;
    link.lockMask |= mask;
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::UnlockResourceMask(UNUM32 hMod, UNUM32 hCLL, UNUM32 mask) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (mask == 0 || (mask & ~(PDU_LOCK_PHYSICAL_COMPARAMS | PDU_LOCK_TX_QUEUE)) != 0)
      return PDU_ERR_INVALID_PARAMETERS;
    if ((link.lockMask & mask) != mask) {
      for (auto& [handle, other] : links_)
        if (handle != hCLL && (other->lockMask & mask) != 0) return PDU_ERR_RSC_LOCKED_BY_OTHER_CLL;
      return PDU_ERR_RSC_NOT_LOCKED;
    }
    link.lockMask &= ~mask;
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::GetComParam(UNUM32 hMod, UNUM32 hCLL, UNUM32 paramId,
                                        PDU_PARAM_ITEM** item) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (item == nullptr) return PDU_ERR_INVALID_PARAMETERS;
    const int index = ComParamIndex(paramId);
    if (index < 0) return PDU_ERR_COMPARAM_NOT_SUPPORTED;
    auto out = std::make_unique<Item>();
    out->value = link.working[index];
    out->param.ItemType = PDU_IT_PARAM;
    out->param.ComParamId = paramId;
    out->param.ComParamDataType = PDU_PT_UNUM32;
    out->param.ComParamClass = kComParamTable[index].parameterClass;
    out->param.pComParamData = &out->value;
    out->head = reinterpret_cast<PDU_ITEM*>(&out->param);
    *item = reinterpret_cast<PDU_PARAM_ITEM*>(Keep(std::move(out)));
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::SetComParam(UNUM32 hMod, UNUM32 hCLL, PDU_PARAM_ITEM* item) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (item == nullptr || item->ItemType != PDU_IT_PARAM || item->pComParamData == nullptr)
      return PDU_ERR_INVALID_PARAMETERS;
    const int index = ComParamIndex(item->ComParamId);
    if (index < 0) return PDU_ERR_COMPARAM_NOT_SUPPORTED;
    if (item->ComParamDataType != PDU_PT_UNUM32) return PDU_ERR_INVALID_PARAMETERS;
    const UNUM32 value = *static_cast<const UNUM32*>(item->pComParamData);
    if (static_cast<std::size_t>(index) == kBaudIndex) {
      if (!BaudrateSupported(value)) return PDU_ERR_VALUE_NOT_SUPPORTED;
      if (link.state != PDU_CLLST_OFFLINE) {
        for (auto& [handle, other] : links_)
          if (handle != hCLL && (other->lockMask & PDU_LOCK_PHYSICAL_COMPARAMS) != 0)
            return PDU_ERR_COMPARAM_LOCKED;
      }
    } else if (static_cast<std::size_t>(index) == kAddrModeIndex) {
      if (value != 1 && value != 2) return PDU_ERR_VALUE_NOT_SUPPORTED;
    } else if (index <= static_cast<int>(kFuncIndex) && value > 0x1FFFFFFF) {
      return PDU_ERR_VALUE_NOT_SUPPORTED;  // not a CAN identifier
    }
    link.working[index] = value;
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::SetUniqueRespIdTable(UNUM32 hMod, UNUM32 hCLL,
                                                 PDU_UNIQUE_RESP_ID_TABLE_ITEM* table) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
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
    link.table = std::move(entries);
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::StartComPrimitive(UNUM32 hMod, UNUM32 hCLL, T_PDU_COPT type,
                                              UNUM32 dataSize, UNUM8* data,
                                              PDU_COP_CTRL_DATA* ctrl, void* copTag,
                                              UNUM32* hCoP) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    if (hCoP == nullptr || dataSize > kMaxCopData || (dataSize > 0 && data == nullptr))
      return PDU_ERR_INVALID_PARAMETERS;
    if (type < PDU_COPT_STARTCOMM || type > PDU_COPT_RESTORE_PARAM) return PDU_ERR_INVALID_PARAMETERS;
    if (link.state == PDU_CLLST_OFFLINE) return PDU_ERR_CLL_NOT_CONNECTED;
    if (type == PDU_COPT_SENDRECV) {
      if (link.state != PDU_CLLST_COMM_STARTED) return PDU_ERR_CLL_NOT_STARTED;
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
    link.copStatus[job->hCoP] = PDU_COPST_IDLE;
    while (link.copStatus.size() > kMaxCopStatuses) link.copStatus.erase(link.copStatus.begin());
    jobs_.push_back(std::move(job));
    wake_.notify_all();
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::CancelComPrimitive(UNUM32 hMod, UNUM32 hCLL, UNUM32 hCoP) {
  return OnLink(hMod, hCLL, [&](Link& link) -> T_PDU_ERROR {
    bool found = false;
    for (auto* list : {&jobs_, &waiting_}) {
      for (auto job = list->begin(); !found && job != list->end(); ++job) {
        if ((*job)->hCLL == hCLL && (*job)->hCoP == hCoP) {
          QueueStatus(link, hCoP, (*job)->tag, PDU_COPST_CANCELLED);
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
    return PDU_STATUS_NOERROR;
  });
}

pdu::T_PDU_ERROR SimPduVci::RegisterEventCallback(UNUM32 hMod, UNUM32 hCLL, CALLBACKFNC callback) {
  return Constructed([&]() -> T_PDU_ERROR {
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
  });
}

pdu::T_PDU_ERROR SimPduVci::GetObjectId(T_PDU_OBJT type, const char* shortName, UNUM32* id) {
  return Constructed([&]() -> T_PDU_ERROR {
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
  });
}

pdu::T_PDU_ERROR SimPduVci::IoCtl(UNUM32 hMod, UNUM32 hCLL, UNUM32 commandId,
                                  PDU_DATA_ITEM* input, PDU_DATA_ITEM** output) {
  return Constructed([&]() -> T_PDU_ERROR {
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
    const Scenario* scenario = bus_.vehicle().scenario();
    out->value = commandId == kIoCtlReadVbatt ? bus_.vehicle().BatteryMillivolts(Now() / 1000)
                 : scenario == nullptr        ? kNoScenario
                                              : static_cast<UNUM32>(scenario->answered());
    out->data.ItemType = PDU_IT_IO_UNUM32;
    out->data.pData = &out->value;
    out->head = reinterpret_cast<PDU_ITEM*>(&out->data);
    *output = reinterpret_cast<PDU_DATA_ITEM*>(Keep(std::move(out)));
    return PDU_STATUS_NOERROR;
  });
}

}  // namespace simulator
