// The simulated D-PDU VCI: one module with one CAN resource carrying ISO 15765,
// ComLogicalLinks with their ComParams, and ComPrimitives answered by the
// simulated vehicle. ComPrimitives run on the library's own event thread, which
// queues their events per link (or module) and calls the registered callbacks;
// the application takes events with GetEventItem and frees every item it gets
// with DestroyItem. Free of Windows headers; the exports wrap one instance.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pdu/dpdu.h"
#include "simulator/pdu/pdu_bus.h"

namespace simulator {

// The ids of the objects the simulated module knows (PDUGetObjectId).
namespace simpdu {
constexpr pdu::UNUM32 kModuleHandle = 1;
constexpr pdu::UNUM32 kResourceId = 1;
constexpr pdu::UNUM32 kProtocolIso15765 = 0x0101;  // "ISO_15765_3_on_ISO_15765_2", "ISO_OBD_on_ISO_15765_4"
constexpr pdu::UNUM32 kBusTypeCan = 0x0201;        // "ISO_11898_2_DWCAN"
constexpr pdu::UNUM32 kPinCanHigh = 0x0401;        // "HI", pin 6
constexpr pdu::UNUM32 kPinCanLow = 0x0402;         // "LOW", pin 14
constexpr pdu::UNUM32 kCpBaudrate = 0x0301;        // "CP_Baudrate"
constexpr pdu::UNUM32 kCpCanPhysReqId = 0x0302;    // "CP_CanPhysReqId"
constexpr pdu::UNUM32 kCpCanRespUsdtId = 0x0303;   // "CP_CanRespUSDTId"
constexpr pdu::UNUM32 kCpCanFuncReqId = 0x0304;    // "CP_CanFuncReqId"
constexpr pdu::UNUM32 kCpRequestAddrMode = 0x0305; // "CP_RequestAddrMode" (and more up to 0x030F)
constexpr pdu::UNUM32 kIoCtlReadVbatt = 0x0501;    // "PDU_IOCTL_READ_VBATT"
constexpr pdu::UNUM32 kIoCtlScenarioAnswered = 0x0580;  // requests the recorded scenario answered
constexpr pdu::UNUM32 kIoCtlClearTxQueue = 0x0581;  // nothing queued to clear: succeeds, with no output
constexpr pdu::UNUM32 kMaxLinks = 16;
constexpr std::size_t kMaxQueuedEvents = 256;      // per link or module queue
constexpr pdu::UNUM32 kMaxCopData = 4095;          // ISO 15765 payload limit
}  // namespace simpdu

// Where the event thread runs. The default is a std::thread; the library's
// exports give one that keeps the library loaded while the thread runs, so
// that a host that frees the library without PDUDestruct never unmaps it
// under the thread, nor waits for the thread under the loader lock.
class ThreadHost {
 public:
  virtual ~ThreadHost() = default;
  // Runs `body` on a new thread; false when none could be started.
  virtual bool Start(std::function<void()> body) = 0;
  // True on the thread that Start began.
  virtual bool OnThread() const = 0;
  // Waits for that thread to end and lets go of it (on the thread itself:
  // lets go without waiting, the thread ends on its own).
  virtual void Join() = 0;
  // Lets go of the thread without waiting for it.
  virtual void Forget() = 0;
};

// The default host: a std::thread.
class StdThreadHost : public ThreadHost {
 public:
  ~StdThreadHost() override;
  bool Start(std::function<void()> body) override;
  bool OnThread() const override;
  void Join() override;
  void Forget() override;

 private:
  std::thread thread_;
};

// One simulated VCI. Every method is one API function with its arguments; all
// are safe to call from several threads and from inside a callback.
class SimPduVci {
 public:
  // `threads` runs the event thread (null: a std::thread).
  explicit SimPduVci(std::unique_ptr<ThreadHost> threads = nullptr);
  ~SimPduVci();
  // For the library's unload: lets go of an event thread that has ended or
  // is ending without waiting for it (the loader lock is held), so that the
  // destructor that follows waits for nothing.
  void ForgetThread();
  SimPduVci(const SimPduVci&) = delete;
  SimPduVci& operator=(const SimPduVci&) = delete;

  pdu::T_PDU_ERROR Construct(const char* options, void* apiTag);
  pdu::T_PDU_ERROR Destruct();
  pdu::T_PDU_ERROR IoCtl(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::UNUM32 commandId,
                         pdu::PDU_DATA_ITEM* input, pdu::PDU_DATA_ITEM** output);
  pdu::T_PDU_ERROR GetVersion(pdu::UNUM32 hMod, pdu::PDU_VERSION_DATA* version);
  pdu::T_PDU_ERROR GetStatus(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::UNUM32 hCoP,
                             pdu::T_PDU_STATUS* status, pdu::UNUM32* timestamp,
                             pdu::UNUM32* extraInfo);
  pdu::T_PDU_ERROR GetLastError(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::T_PDU_ERR_EVT* code,
                                pdu::UNUM32* hCoP, pdu::UNUM32* timestamp,
                                pdu::UNUM32* extraInfo);
  pdu::T_PDU_ERROR GetResourceStatus(pdu::PDU_RSC_STATUS_ITEM* item);
  pdu::T_PDU_ERROR CreateComLogicalLink(pdu::UNUM32 hMod, pdu::PDU_RSC_DATA* rscData,
                                        pdu::UNUM32 resourceId, void* cllTag,
                                        pdu::UNUM32* hCLL, pdu::PDU_FLAG_DATA* createFlag);
  pdu::T_PDU_ERROR DestroyComLogicalLink(pdu::UNUM32 hMod, pdu::UNUM32 hCLL);
  pdu::T_PDU_ERROR Connect(pdu::UNUM32 hMod, pdu::UNUM32 hCLL);
  pdu::T_PDU_ERROR Disconnect(pdu::UNUM32 hMod, pdu::UNUM32 hCLL);
  pdu::T_PDU_ERROR LockResourceMask(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::UNUM32 mask);
  pdu::T_PDU_ERROR UnlockResourceMask(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::UNUM32 mask);
  pdu::T_PDU_ERROR GetComParam(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::UNUM32 paramId,
                               pdu::PDU_PARAM_ITEM** item);
  pdu::T_PDU_ERROR SetComParam(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::PDU_PARAM_ITEM* item);
  pdu::T_PDU_ERROR StartComPrimitive(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::T_PDU_COPT type,
                                     pdu::UNUM32 dataSize, pdu::UNUM8* data,
                                     pdu::PDU_COP_CTRL_DATA* ctrl, void* copTag,
                                     pdu::UNUM32* hCoP);
  pdu::T_PDU_ERROR CancelComPrimitive(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::UNUM32 hCoP);
  pdu::T_PDU_ERROR GetEventItem(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, pdu::PDU_EVENT_ITEM** item);
  pdu::T_PDU_ERROR DestroyItem(pdu::PDU_ITEM* item);
  pdu::T_PDU_ERROR RegisterEventCallback(pdu::UNUM32 hMod, pdu::UNUM32 hCLL,
                                         pdu::CALLBACKFNC callback);
  pdu::T_PDU_ERROR GetObjectId(pdu::T_PDU_OBJT type, const char* shortName, pdu::UNUM32* id);
  pdu::T_PDU_ERROR GetModuleIds(pdu::PDU_MODULE_ITEM** list);
  pdu::T_PDU_ERROR GetResourceIds(pdu::UNUM32 hMod, pdu::PDU_RSC_DATA* rscData,
                                  pdu::PDU_RSC_ID_ITEM** list);
  pdu::T_PDU_ERROR GetConflictingResources(pdu::UNUM32 resourceId,
                                           pdu::PDU_MODULE_ITEM* modules,
                                           pdu::PDU_RSC_CONFLICT_ITEM** list);
  pdu::T_PDU_ERROR GetUniqueRespIdTable(pdu::UNUM32 hMod, pdu::UNUM32 hCLL,
                                        pdu::PDU_UNIQUE_RESP_ID_TABLE_ITEM** table);
  pdu::T_PDU_ERROR SetUniqueRespIdTable(pdu::UNUM32 hMod, pdu::UNUM32 hCLL,
                                        pdu::PDU_UNIQUE_RESP_ID_TABLE_ITEM* table);
  pdu::T_PDU_ERROR ModuleConnect(pdu::UNUM32 hMod);
  pdu::T_PDU_ERROR ModuleDisconnect(pdu::UNUM32 hMod);
  pdu::T_PDU_ERROR GetTimestamp(pdu::UNUM32 hMod, pdu::UNUM32* timestamp);

  // The vehicle's fault settings (the library takes them at each PDUConnect).
  void SetFaults(const Faults& faults);
  // The recorded scenario in front of the vehicle (the library takes it at
  // each PDUModuleConnect; null: none).
  void SetScenario(std::shared_ptr<Scenario> scenario, bool only, std::uint32_t speedPercent);

  // Items handed out and not yet destroyed (for tests: nothing may leak).
  std::size_t LiveItems() const;
  // The frames of the last request on the bus (for tests).
  std::vector<BusFrame> LastBusFrames() const;

 private:
  struct Item;      // one allocation handed to the application
  struct Link;
  struct Job;       // a started ComPrimitive waiting for the event thread
  struct Callback {
    pdu::CALLBACKFNC function = nullptr;
    pdu::UNUM32 hMod = 0;
    pdu::UNUM32 hCLL = 0;
    void* cllTag = nullptr;
    bool lost = false;  // PDU_EVT_DATA_LOST instead of PDU_EVT_DATA_AVAILABLE
  };

  bool ModuleOk(pdu::UNUM32 hMod) const;
  // Every API function but PDUConstruct and PDUDestruct starts with one of
  // these: `body` runs under the lock once the API is constructed (else
  // PDU_ERR_PDUAPI_NOT_CONSTRUCTED) and, for OnLink, on the module's link
  // `hCLL` (else PDU_ERR_INVALID_HANDLE). Defined in sim_vci_parts.h.
  template <typename Body>
  pdu::T_PDU_ERROR Constructed(Body&& body);
  template <typename Body>
  pdu::T_PDU_ERROR OnLink(pdu::UNUM32 hMod, pdu::UNUM32 hCLL, Body&& body);
  Link* FindLink(pdu::UNUM32 hMod, pdu::UNUM32 hCLL);
  pdu::UNUM32 Now() const;
  pdu::PDU_ITEM* Keep(std::unique_ptr<Item> item);
  void QueueEvent(std::deque<pdu::PDU_EVENT_ITEM*>& queue, std::unique_ptr<Item> event,
                  pdu::UNUM32 hCLL);
  void QueueStatus(Link& link, pdu::UNUM32 hCoP, void* copTag, pdu::T_PDU_STATUS status);
  void QueueModuleStatus(pdu::T_PDU_STATUS status);
  void Notify(std::unique_lock<std::mutex>& lock);
  void RunJobs();
  void Execute(Job& job, std::unique_lock<std::mutex>& lock);
  void StopThread(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool constructed_ = false;
  bool moduleConnected_ = false;
  bool stopping_ = false;
  void* apiTag_ = nullptr;
  std::uint64_t startMicros_ = 0;
  std::unique_ptr<ThreadHost> threads_;
  bool threadRunning_ = false;
  std::map<pdu::UNUM32, std::unique_ptr<Link>> links_;
  pdu::UNUM32 nextLink_ = 1;
  pdu::UNUM32 nextCop_ = 1;
  std::deque<std::unique_ptr<Job>> jobs_;
  std::deque<std::unique_ptr<Job>> waiting_;  // cyclic ComPrimitives between cycles
  // The ComPrimitive the event thread is running, which lets go of the lock
  // while it waits for an answer or calls back (null: none).
  Job* running_ = nullptr;
  std::map<const pdu::PDU_ITEM*, std::unique_ptr<Item>> items_;
  std::deque<pdu::PDU_EVENT_ITEM*> moduleEvents_;
  std::vector<Callback> pendingCalls_;  // callbacks the event thread owes, in order
  pdu::CALLBACKFNC systemCallback_ = nullptr;
  pdu::CALLBACKFNC moduleCallback_ = nullptr;
  PduBus bus_;  // the vehicle, reached through the ISO 15765-2 transport
};

}  // namespace simulator
