// Reads a monitor log into request -> answers pairs (see scenario.h).
#include "simulator/scenario/scenario.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "log/log_formats.h"
#include "simulator/scenario/scenario_log.h"

namespace simulator {
using namespace logread;

namespace {

// J2534 receive status bits that mark the tester's own messages.
constexpr std::uint32_t kTxMsgType = 0x01, kStartOfMessage = 0x02, kTxIndication = 0x08;
// An answer counts as one to the request before it while it comes within
// this time of the request or of the answer before it, longer after a
// "response pending" answer (P2* and a margin).
constexpr std::uint64_t kAnswerWindowUs = 1000000;
constexpr std::uint64_t kPendingWindowUs = 6000000;
// A CAN id the vehicle sent unasked this often is periodic traffic.
constexpr int kPeriodicAfter = 2;

}  // namespace

// Turns the entries of one API's sessions into the scenario.
class ScenarioBuilder : public EntrySink {
 public:
  ScenarioBuilder(Scenario& s, ScenarioApi api) : s_(s), api_(api) {}

  void SessionApi(const std::string& api) override {
    inApi_ = (api_ == ScenarioApi::J2534 && api == monitor::kJ2534Api) ||
             (api_ == ScenarioApi::Pdu && api == monitor::kPduApi);
    if (inApi_) sessions_ = true;
  }
  bool sessions() const { return sessions_; }

  void Add(const Entry& e) override {
    if (!inApi_ || full_) return;
    if (api_ == ScenarioApi::J2534) J2534(e);
    else Pdu(e);
  }

  void Finish() {
    // Ids the vehicle sent unasked repeatedly are periodic: their frames
    // are no answers, and they are replayed at their rhythm.
    std::set<std::uint32_t> periodic;
    for (auto& [id, seen] : seen_)
      if (seen.unasked >= kPeriodicAfter && s_.periodic_.size() < kMaxPeriodicIds) {
        periodic.insert(id);
        s_.periodic_.push_back(std::move(seen.frames));
      }
    for (auto* table : {&s_.payloads_, &s_.frames_})
      for (auto& [key, recorded] : *table)
        for (auto& answers : recorded.occurrences)
          answers.erase(std::remove_if(answers.begin(), answers.end(),
                                       [&](const ScenarioAnswer& a) { return periodic.count(a.canId) != 0; }),
                        answers.end());
    for (auto* table : {&s_.payloads_, &s_.frames_})
      for (auto it = table->begin(); it != table->end();) {
        bool any = false;
        for (const auto& answers : it->second.occurrences) any = any || !answers.empty();
        it = any ? std::next(it) : table->erase(it);
      }
  }

 private:
  struct Open {
    std::vector<ScenarioAnswer>* answers = nullptr;
    std::uint64_t sentUs = 0;    // the request's time on the device
    bool sentKnown = false;
    std::uint64_t lastUs = 0;    // the last answer's time
    bool pending = false;        // the last answer was "response pending"
  };

  std::vector<ScenarioAnswer>* NewOccurrence(ScenarioLevel level, std::uint32_t id, Bytes data) {
    if (count_ >= kMaxScenarioRequests) {
      full_ = true;
      return nullptr;
    }
    ++count_;
    auto& table = level == ScenarioLevel::Payload ? s_.payloads_ : s_.frames_;
    auto& recorded = table[{id, std::move(data)}];
    recorded.occurrences.emplace_back();
    return &recorded.occurrences.back();
  }

  static std::uint32_t Delay(std::uint64_t from, std::uint64_t to) {
    return static_cast<std::uint32_t>(to > from ? std::min<std::uint64_t>(to - from, kMaxScenarioDelayUs) : 0);
  }

  void AddAnswer(Open& open, std::uint32_t id, std::uint64_t atUs, Bytes data) {
    if (!open.sentKnown) {  // no time for the request: the first answer at once
      open.sentUs = atUs;
      open.sentKnown = true;
    }
    open.lastUs = atUs;
    open.pending = data.size() == 3 && data[0] == 0x7F && data[2] == 0x78;
    if (open.answers->size() < kMaxScenarioAnswers)
      open.answers->push_back({id, Delay(open.sentUs, atUs), std::move(data)});
  }

  // Every frame the vehicle sent, per id, with its time: the ids it also
  // sent unasked become periodic traffic with all their frames.
  void Seen(std::uint32_t id, std::uint64_t atUs, Bytes frame, bool unasked) {
    auto it = seen_.find(id);
    if (it == seen_.end()) {
      if (seen_.size() >= kMaxPeriodicIds * 8) return;
      it = seen_.emplace(id, SeenFrames{}).first;
    }
    SeenFrames& seen = it->second;
    if (unasked) ++seen.unasked;
    if (seen.frames.size() < kMaxPeriodicFrames)
      seen.frames.push_back({id, seen.frames.empty() ? 0 : Delay(seen.lastUs, atUs), std::move(frame)});
    seen.lastUs = atUs;
  }

  // A J2534 message field: protocol, status, time and bytes.
  struct Msg {
    bool iso = false;
    std::uint32_t rxStatus = 0;
    std::uint64_t timestamp = 0;
    std::uint32_t id = 0;
    Bytes data;  // after the id
  };
  static bool ParseMsg(const std::string& text, Msg* msg) {
    if (StartsWith(text, 0, "protocol ISO15765,")) msg->iso = true;
    else if (!StartsWith(text, 0, "protocol CAN,")) return false;
    const std::size_t rx = text.find("RxStatus ");
    if (rx == std::string::npos || !HexNumber(text, rx + 9, &msg->rxStatus)) return false;
    if (!NumberAfter(text, "Timestamp ", &msg->timestamp)) return false;
    std::uint64_t size = 0;
    if (!NumberAfter(text, "DataSize ", &size)) return false;
    const std::size_t data = text.find("\nData: ");
    const std::size_t dataLines = text.find("\nData:\n");
    if (data == std::string::npos && dataLines == std::string::npos) return false;  // cut or no bytes
    const std::size_t from = data != std::string::npos ? data + 7 : dataLines + 7;
    Bytes bytes = HexBytes(text, from, kMaxScenarioPayload + 4);
    if (bytes.size() != size || bytes.size() < 4) return false;
    msg->id = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
              (std::uint32_t{bytes[2]} << 8) | bytes[3];
    msg->data.assign(bytes.begin() + 4, bytes.end());
    if (!msg->iso && msg->data.size() > 8) return false;
    return true;
  }

  static bool IsMsgField(const std::string& name) {
    return name == "Msg" || (StartsWith(name, 0, "Msg[") && name.back() == ']');
  }

  void J2534(const Entry& e) {
    const bool write = e.function == "PassThruWriteMsgs" && (e.phase == "call" || e.phase == "entry");
    const bool read = e.function == "PassThruReadMsgs" && (e.phase == "call" || e.phase == "exit");
    if (!write && !read) return;
    std::uint64_t channel = 0;
    for (const auto& [name, value] : e.fields)
      if (name == "ChannelID") Number(value, 0, &channel);
    Open& open = j2534Open_[{e.process, channel}];
    for (const auto& [name, value] : e.fields) {
      Msg msg;
      if (!IsMsgField(name) || !ParseMsg(value, &msg)) continue;
      if (write) {
        open = Open{};
        if (msg.data.empty()) continue;
        open.answers = NewOccurrence(msg.iso ? ScenarioLevel::Payload : ScenarioLevel::Frame, msg.id,
                                     std::move(msg.data));
        continue;
      }
      if (msg.rxStatus & (kTxMsgType | kTxIndication)) {
        if (open.answers != nullptr && !open.sentKnown) {
          open.sentUs = msg.timestamp;
          open.sentKnown = true;
        }
        continue;
      }
      if (msg.rxStatus & kStartOfMessage) continue;
      const bool answer = open.answers != nullptr &&
                          (!open.sentKnown || msg.timestamp <= std::max(open.sentUs, open.lastUs) +
                                                                    (open.pending ? kPendingWindowUs : kAnswerWindowUs));
      if (!msg.iso) {
        Seen(msg.id, msg.timestamp, msg.data, !answer);
      } else if (msg.data.size() <= 7) {
        // Single-frame payloads replay as the frame that carried them.
        Bytes frame{static_cast<std::uint8_t>(msg.data.size())};
        frame.insert(frame.end(), msg.data.begin(), msg.data.end());
        Seen(msg.id, msg.timestamp, std::move(frame), !answer);
      }
      if (answer) AddAnswer(open, msg.id, msg.timestamp, std::move(msg.data));
    }
  }

  // --- D-PDU: ComLogicalLinks with their ids, ComPrimitives and their results.
  struct Link {
    std::uint32_t phys = 0, func = 0x7DF, resp = 0, mode = 1;
    std::map<std::uint32_t, std::uint32_t> uniqueResp;  // unique response id -> response CAN id
  };
  struct Cop {
    std::vector<ScenarioAnswer>* answers = nullptr;
    std::uint64_t sentUs = 0;
    bool sentKnown = false;
    std::uint32_t hCLL = 0;
  };

  static std::string Field(const Entry& e, const char* name) {
    for (const auto& [n, value] : e.fields)
      if (n == name) return value;
    return {};
  }
  static std::uint32_t Handle(const Entry& e, const char* name) {
    std::uint64_t v = 0;
    Number(Field(e, name), 0, &v);
    return static_cast<std::uint32_t>(v);
  }
  // "CP_CanPhysReqId (0x00000302) PDU_PT_UNUM32 class 3 = 2016 (0x000007E0)": the name's value.
  static bool ComParam(const std::string& text, const char* name, std::uint32_t* value) {
    const std::size_t at = text.find(name);
    if (at == std::string::npos) return false;
    const std::size_t eq = text.find(" = ", at);
    const std::size_t line = text.find('\n', at);
    std::uint64_t v = 0;
    if (eq == std::string::npos || (line != std::string::npos && eq > line) || !Number(text, eq + 3, &v)) return false;
    *value = static_cast<std::uint32_t>(v);
    return true;
  }

  void Pdu(const Entry& e) {
    const std::uint64_t process = e.process;
    if (e.phase != "call" && e.phase != "exit" && e.phase != "entry") return;
    if (e.function == "PDUSetComParam" && e.phase != "exit") {
      Link& link = links_[{process, Handle(e, "hCLL")}];
      const std::string item = Field(e, "ParamItem");
      ComParam(item, "CP_CanPhysReqId ", &link.phys);
      ComParam(item, "CP_CanRespUSDTId ", &link.resp);
      ComParam(item, "CP_CanFuncReqId ", &link.func);
      ComParam(item, "CP_RequestAddrMode ", &link.mode);
    } else if (e.function == "PDUSetUniqueRespIdTable" && e.phase != "exit") {
      Link& link = links_[{process, Handle(e, "hCLL")}];
      const std::string table = Field(e, "UniqueRespIdTable");
      std::size_t at = 0;
      while ((at = table.find("UniqueRespIdentifier ", at)) != std::string::npos) {
        std::uint64_t unique = 0;
        std::size_t end = 0;
        if (!Number(table, at + 21, &unique, &end)) break;
        const std::size_t next = table.find("UniqueRespIdentifier ", end);
        const std::string block = table.substr(end, next == std::string::npos ? std::string::npos : next - end);
        std::uint32_t resp = 0;
        if (ComParam(block, "CP_CanRespUSDTId ", &resp) && link.uniqueResp.size() < 256)
          link.uniqueResp[static_cast<std::uint32_t>(unique)] = resp;
        at = end;
      }
    } else if (e.function == "PDUStartComPrimitive" && e.phase != "entry") {
      const std::string data = Field(e, "CoPData");
      std::uint64_t size = 0;
      std::size_t end = 0;
      if (!Number(data, 0, &size, &end) || size == 0 || !StartsWith(data, end, " bytes: ")) return;
      Bytes bytes = HexBytes(data, end + 8, kMaxScenarioPayload);
      if (bytes.size() != size) return;  // cut by the message size
      const std::uint32_t hCLL = Handle(e, "hCLL");
      const Link& link = links_[{process, hCLL}];
      const std::uint32_t target = link.mode == 2 ? link.func : link.phys;
      Cop& cop = cops_[{process, Handle(e, "hCoP")}];
      cop = Cop{};
      cop.hCLL = hCLL;
      cop.answers = NewOccurrence(ScenarioLevel::Payload, target, std::move(bytes));
    } else if (e.function == "PDUGetEventItem" || e.function == "EventCallback") {
      const std::string event = Field(e, "Event");
      if (!StartsWith(event, 0, "PDU_IT_RESULT, hCoP ")) return;
      std::uint64_t hCoP = 0;
      if (!Number(event, 20, &hCoP)) return;
      auto it = cops_.find({process, static_cast<std::uint32_t>(hCoP)});
      if (it == cops_.end() || it->second.answers == nullptr) return;
      Cop& cop = it->second;
      const std::string result = Field(e, "Result"), data = Field(e, "Data");
      std::uint64_t size = 0, unique = 0, txDone = 0, start = 0;
      std::size_t end = 0;
      if (!Number(data, 0, &size, &end) || !StartsWith(data, end, " bytes: ")) return;
      Bytes bytes = HexBytes(data, end + 8, kMaxScenarioPayload);
      if (bytes.size() != size || bytes.empty()) return;
      NumberAfter(result, "UniqueRespIdentifier ", &unique);
      const Link& link = links_[{process, cop.hCLL}];
      const auto resp = link.uniqueResp.find(static_cast<std::uint32_t>(unique));
      const std::uint32_t id = resp != link.uniqueResp.end() ? resp->second : link.resp;
      if (!cop.sentKnown && NumberAfter(result, "TxMsgDoneTimestamp ", &txDone)) {
        cop.sentUs = txDone;
        cop.sentKnown = true;
      }
      NumberAfter(result, "StartMsgTimestamp ", &start);
      if (!cop.sentKnown) {
        cop.sentUs = start;
        cop.sentKnown = true;
      }
      if (cop.answers->size() < kMaxScenarioAnswers)
        cop.answers->push_back({id, Delay(cop.sentUs, start), std::move(bytes)});
    }
  }

  Scenario& s_;
  ScenarioApi api_;
  bool inApi_ = false, sessions_ = false, full_ = false;
  std::size_t count_ = 0;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Open> j2534Open_;
  struct SeenFrames {
    std::vector<ScenarioAnswer> frames;
    std::uint64_t lastUs = 0;
    int unasked = 0;
  };
  std::map<std::uint32_t, SeenFrames> seen_;
  std::map<std::pair<std::uint64_t, std::uint32_t>, Link> links_;
  std::map<std::pair<std::uint64_t, std::uint32_t>, Cop> cops_;
};

bool Scenario::Parse(const std::string& text, ScenarioApi api, std::string* error) {
  *this = Scenario();
  ScenarioBuilder builder(*this, api);
  const char* apiName = api == ScenarioApi::J2534 ? "J2534" : "D-PDU";
  if (!ReadLog(text, builder, error)) return false;
  builder.Finish();
  if (!builder.sessions()) {
    *error = std::string("the log holds no ") + apiName + " session";
    *this = Scenario();
    return false;
  }
  if (payloads_.empty() && frames_.empty() && periodic_.empty()) {
    *error = std::string("the log's ") + apiName + " sessions hold no answered request";
    return false;
  }
  return true;
}

bool Scenario::Answer(ScenarioLevel level, std::uint32_t canId, const std::vector<std::uint8_t>& data,
                      std::uint32_t speedPercent, std::vector<ScenarioAnswer>* answers) {
  auto& table = level == ScenarioLevel::Payload ? payloads_ : frames_;
  const auto it = table.find({canId, data});
  if (it == table.end()) return false;
  Recorded& recorded = it->second;
  if (recorded.next >= recorded.occurrences.size()) recorded.next = 0;
  *answers = recorded.occurrences[recorded.next++];
  for (ScenarioAnswer& a : *answers)
    a.delayUs = speedPercent == 0 ? 0
                                  : static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                        std::uint64_t{a.delayUs} * 100 / speedPercent, kMaxScenarioDelayUs));
  ++answered_;
  return true;
}

std::string Scenario::Summary() const {
  return std::to_string(requests()) + " recorded request(s), " + std::to_string(periodic_.size()) +
         " periodic id(s)";
}

}  // namespace simulator
