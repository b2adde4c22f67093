// The simulated D-PDU VCI's events: the queues per link and module, the
// callbacks owed, and the event thread that runs ComPrimitives in order.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "simulator/pdu/sim_vci.h"
#include "simulator/pdu/sim_vci_parts.h"

namespace simulator {

void SimPduVci::QueueEvent(std::deque<PDU_EVENT_ITEM*>& queue, std::unique_ptr<Item> event,
                           UNUM32 hCLL) {
  Link* link = hCLL == PDU_HANDLE_UNDEF ? nullptr : FindLink(kModuleHandle, hCLL);
  Callback call;
  call.hMod = kModuleHandle;
  call.hCLL = hCLL;
  call.cllTag = link != nullptr ? link->tag : nullptr;
  if (queue.size() >= kMaxQueuedEvents) {
    // Nothing more fits: the event is lost and the application is told so.
    call.lost = true;
    pendingCalls_.push_back(call);
    wake_.notify_all();
    return;
  }
  event->head = reinterpret_cast<PDU_ITEM*>(&event->event);
  event->event.Timestamp = Now();
  queue.push_back(reinterpret_cast<PDU_EVENT_ITEM*>(Keep(std::move(event))));
  pendingCalls_.push_back(call);
  wake_.notify_all();
}

void SimPduVci::QueueStatus(Link& link, UNUM32 hCoP, void* copTag, T_PDU_STATUS status) {
  auto event = std::make_unique<Item>();
  event->status = status;
  event->event.ItemType = PDU_IT_STATUS;
  event->event.hCop = hCoP;
  event->event.pCoPTag = copTag;
  event->event.pData = &event->status;
  if (hCoP != PDU_HANDLE_UNDEF) link.copStatus[hCoP] = status;
  QueueEvent(link.events, std::move(event), link.handle);
}

void SimPduVci::QueueModuleStatus(T_PDU_STATUS status) {
  auto event = std::make_unique<Item>();
  event->status = status;
  event->event.ItemType = PDU_IT_STATUS;
  event->event.hCop = PDU_HANDLE_UNDEF;
  event->event.pData = &event->status;
  QueueEvent(moduleEvents_, std::move(event), PDU_HANDLE_UNDEF);
}

// Calls the callbacks of queued events in their order, without the lock. The
// callback is the one registered when the call is made, as a later
// registration (or removal) takes effect at once.
void SimPduVci::Notify(std::unique_lock<std::mutex>& lock) {
  while (!pendingCalls_.empty()) {
    std::vector<Callback> calls;
    calls.swap(pendingCalls_);
    for (Callback& call : calls) {
      Link* link = call.hCLL == PDU_HANDLE_UNDEF ? nullptr : FindLink(kModuleHandle, call.hCLL);
      if (call.hCLL != PDU_HANDLE_UNDEF)
        call.function = link != nullptr ? link->callback : nullptr;
      else
        call.function = moduleCallback_ != nullptr ? moduleCallback_ : systemCallback_;
    }
    void* apiTag = apiTag_;
    lock.unlock();
    for (const Callback& call : calls)
      if (call.function != nullptr)
        call.function(call.lost ? PDU_EVT_DATA_LOST : PDU_EVT_DATA_AVAILABLE, call.hMod,
                      call.hCLL, call.cllTag, apiTag);
    lock.lock();
    if (stopping_) return;
  }
}

// The library's event thread: delivers callbacks and runs ComPrimitives in
// order; a cyclic ComPrimitive waits for its next cycle among the waiting ones.
void SimPduVci::RunJobs() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto ready = [this] {
      if (stopping_ || !jobs_.empty() || !pendingCalls_.empty()) return true;
      for (const auto& job : waiting_)
        if (job->due <= Clock::now()) return true;
      return false;
    };
    if (waiting_.empty()) {
      wake_.wait(lock, ready);
    } else {
      auto next = waiting_.front()->due;
      for (const auto& job : waiting_) next = std::min(next, job->due);
      wake_.wait_until(lock, next, ready);
    }
    if (stopping_) return;
    Notify(lock);
    if (stopping_) return;
    for (auto job = waiting_.begin(); job != waiting_.end();) {
      if ((*job)->due <= Clock::now()) {
        jobs_.push_back(std::move(*job));
        job = waiting_.erase(job);
      } else {
        ++job;
      }
    }
    if (jobs_.empty()) continue;
    std::unique_ptr<Job> job = std::move(jobs_.front());
    jobs_.pop_front();
    // Known as running (for a cancel) until this run is over, on every way out.
    running_ = job.get();
    struct Clear {
      Job*& running;
      ~Clear() { running = nullptr; }
    } clear{running_};
    Execute(*job, lock);
    Notify(lock);
    if (stopping_) return;
    if (job->type == PDU_COPT_DELAY && job->delayMs > 0) {
      const auto delay = std::chrono::milliseconds(job->delayMs < 10000 ? job->delayMs : 10000);
      wake_.wait_for(lock, delay, [this] { return stopping_; });
    }
    if (stopping_) return;
    if (job->cancelled) {
      // Cancelled while it ran: no further cycle (a last run has finished already).
      Link* link = FindLink(kModuleHandle, job->hCLL);
      if (!job->Last() && link != nullptr) {
        QueueStatus(*link, job->hCoP, job->tag, PDU_COPST_CANCELLED);
        Notify(lock);
      }
    } else if (!(job->type == PDU_COPT_DELAY && job->delayMs > 0) && !job->Last() &&
               FindLink(kModuleHandle, job->hCLL) != nullptr) {
      if (job->sendCycles > 0) --job->sendCycles;
      job->due = Clock::now() + std::chrono::milliseconds(std::max<UNUM32>(1, std::min<UNUM32>(job->delayMs, 60000)));
      waiting_.push_back(std::move(job));
    }
  }
}

namespace {

// The unique response id of the link's table entry whose response id is
// `responseId`; false when no entry has it.
bool UniqueIdOf(const std::vector<TableEntry>& table, UNUM32 responseId, UNUM32* uniqueId) {
  for (const TableEntry& entry : table)
    for (const auto& [id, value] : entry.params)
      if (id == kCpCanRespUsdtId && value == responseId) {
        *uniqueId = entry.uniqueId;
        return true;
      }
  return false;
}

// The expected response an answer matches (its mask and pattern, and its
// ECUs when it names some); null when none does.
const ExpectedResponse* Match(const std::vector<ExpectedResponse>& expected, const Bytes& answer,
                              UNUM32 uniqueId) {
  for (const ExpectedResponse& e : expected) {
    bool match = e.mask.size() <= answer.size();
    for (std::size_t i = 0; match && i < e.mask.size(); ++i)
      match = (answer[i] & e.mask[i]) == (e.pattern[i] & e.mask[i]);
    if (match && !e.uniqueIds.empty())
      match = std::find(e.uniqueIds.begin(), e.uniqueIds.end(), uniqueId) != e.uniqueIds.end();
    if (match) return &e;
  }
  return nullptr;
}

// How a request of `link` goes on the bus: the answers it takes (its own
// CP_CanRespUSDTId and, for a functional request, those of its unique
// response id table), and the flow control it sends them.
PduTransfer TransferOf(const UNUM32 (&active)[kComParams], const std::vector<TableEntry>& table,
                       UNUM32 target, bool functional) {
  PduTransfer transfer;
  transfer.target = target;
  transfer.listen.push_back({active[kRespIndex], active[kPhysIndex]});
  for (const TableEntry& entry : functional ? table : std::vector<TableEntry>{}) {
    UNUM32 response = PDU_ID_UNDEF, request = PDU_ID_UNDEF;
    for (const auto& [id, value] : entry.params) {
      if (id == kCpCanRespUsdtId) response = value;
      if (id == kCpCanPhysReqId) request = value;
    }
    const bool known = std::any_of(transfer.listen.begin(), transfer.listen.end(),
                                   [response](const auto& l) { return l.first == response; });
    if (response != PDU_ID_UNDEF && !known) transfer.listen.push_back({response, request});
  }
  transfer.blockSize = static_cast<std::uint8_t>(std::min<UNUM32>(active[kBlockSizeIndex], 0xFF));
  transfer.stMin = StMinByte(active[kStMinIndex]);
  return transfer;
}

}  // namespace

// Runs one ComPrimitive under the lock. A request goes to the vehicle over the
// bus (pdu_bus.h), with the link's block size and separation time: to the
// link's CP_CanPhysReqId, or with CP_RequestAddrMode 2 to its CP_CanFuncReqId.
// Answers are taken from the link's CP_CanRespUSDTId and, for a functional
// request, from every ECU in the link's unique response id table; each one
// taken becomes a result event at its time (the lock is let go while waiting),
// up to NumReceiveCycles of them (-1: all). "Response pending" answers are
// handled here, as a VCI does, and do not reach the application. No answer
// at all: an error event. Then the final status.
void SimPduVci::Execute(Job& job, std::unique_lock<std::mutex>& lock) {
  Link* link = FindLink(kModuleHandle, job.hCLL);
  if (link == nullptr) return;
  QueueStatus(*link, job.hCoP, job.tag, PDU_COPST_EXECUTING);
  switch (job.type) {
    case PDU_COPT_STARTCOMM:
      std::memcpy(link->active, link->working, sizeof(link->active));
      link->state = PDU_CLLST_COMM_STARTED;
      break;
    case PDU_COPT_UPDATEPARAM:
      std::memcpy(link->active, link->working, sizeof(link->active));
      break;
    case PDU_COPT_RESTORE_PARAM:
      std::memcpy(link->working, link->active, sizeof(link->active));
      break;
    default:
      break;
  }
  const UNUM32 txDone = Now();
  if (!job.data.empty() && job.type != PDU_COPT_DELAY) {
    const bool functional = link->active[kAddrModeIndex] == 2;
    const UNUM32 target = functional ? link->active[kFuncIndex] : link->active[kPhysIndex];
    const UNUM32 ownResponse = link->active[kRespIndex];
    const std::uint64_t sentMicros = MonotonicMicros();
    const std::vector<PduAnswer> replies =
        bus_.Exchange(TransferOf(link->active, link->table, target, functional), job.data,
                      sentMicros - startMicros_);
    SNUM32 delivered = 0;
    for (const PduAnswer& reply : replies) {
      if (job.receiveCycles == 0 || (job.receiveCycles > 0 && delivered >= job.receiveCycles)) break;
      if (reply.payload.size() == 3 && reply.payload[0] == 0x7F && reply.payload[2] == 0x78) continue;
      UNUM32 uniqueId = 0;
      const bool inTable = UniqueIdOf(link->table, reply.responseId, &uniqueId);
      if (reply.responseId != ownResponse && !(functional && inTable)) continue;
      // A physical link's own answer: its (first) table entry.
      if (!inTable && !link->table.empty()) uniqueId = link->table.front().uniqueId;
      UNUM32 acceptance = 0;
      if (!job.expected.empty()) {
        const ExpectedResponse* expected = Match(job.expected, reply.payload, uniqueId);
        if (expected == nullptr) continue;
        acceptance = expected->acceptanceId;
      }
      // The answer's time: the events so far go out, then the wait, without
      // the lock (at most the vehicle's longest delay); then the link is
      // looked up again, as the application may have closed it meanwhile.
      const std::uint64_t dueMicros = sentMicros + reply.afterUs;
      const std::uint64_t nowMicros = MonotonicMicros();
      if (dueMicros > nowMicros) {
        Notify(lock);
        if (stopping_) return;
        const auto due = std::chrono::steady_clock::now() + std::chrono::microseconds(dueMicros - nowMicros);
        if (wake_.wait_until(lock, due, [this] { return stopping_; })) return;
      }
      link = FindLink(kModuleHandle, job.hCLL);
      if (link == nullptr || link->state == PDU_CLLST_OFFLINE) return;
      auto event = std::make_unique<Item>();
      event->bytes = reply.payload;
      event->result.UniqueRespIdentifier = uniqueId;
      event->result.AcceptanceId = acceptance;
      event->result.TxMsgDoneTimestamp = txDone;
      event->result.StartMsgTimestamp = Now();
      event->result.NumDataBytes = static_cast<UNUM32>(event->bytes.size());
      event->result.pDataBytes = event->bytes.data();
      event->event.ItemType = PDU_IT_RESULT;
      event->event.hCop = job.hCoP;
      event->event.pCoPTag = job.tag;
      event->event.pData = &event->result;
      QueueEvent(link->events, std::move(event), link->handle);
      ++delivered;
    }
    if (job.receiveCycles != 0 && delivered == 0) {
      auto event = std::make_unique<Item>();
      event->error.ErrorCodeId = PDU_ERR_EVT_RX_TIMEOUT;
      event->event.ItemType = PDU_IT_ERROR;
      event->event.hCop = job.hCoP;
      event->event.pCoPTag = job.tag;
      event->event.pData = &event->error;
      link->lastError = PDU_ERR_EVT_RX_TIMEOUT;
      link->lastErrorCop = job.hCoP;
      link->lastErrorTime = Now();
      QueueEvent(link->events, std::move(event), link->handle);
    }
  }
  if (job.type == PDU_COPT_STOPCOMM) link->state = PDU_CLLST_ONLINE;
  QueueStatus(*link, job.hCoP, job.tag, job.Last() ? PDU_COPST_FINISHED : PDU_COPST_WAITING);
  if (job.type == PDU_COPT_STARTCOMM)
    QueueStatus(*link, PDU_HANDLE_UNDEF, nullptr, PDU_CLLST_COMM_STARTED);
  if (job.type == PDU_COPT_STOPCOMM)
    QueueStatus(*link, PDU_HANDLE_UNDEF, nullptr, PDU_CLLST_ONLINE);
}

}  // namespace simulator
