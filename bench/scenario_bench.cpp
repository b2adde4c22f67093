// How long a recorded scenario takes to load: a J2534 session of the
// simulated vehicle, written as the monitor writes it, repeated to about
// 10 MB in XML and in CSV, parsed `rounds` times each; prints the best and the
// median time per 10 MB (the aim: well under a second).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "simulator/scenario/scenario.h"

namespace {

std::string Msg(unsigned rx, unsigned ts, const std::string& hex) {
  char head[200];
  std::snprintf(head, sizeof head,
                "protocol ISO15765, RxStatus 0x%08X (none), TxFlags 0x00000040 (ISO15765_FRAME_PAD), Timestamp %u us, "
                "DataSize %zu, ExtraDataIndex 0\nData: ",
                rx, ts, (hex.size() + 1) / 3);
  return head + hex;
}

// One exchange in the given format ("xml" or "csv").
std::string Exchange(bool xml, unsigned i) {
  char did[3];
  std::snprintf(did, sizeof did, "%02X", i % 256);  // 256 distinct requests
  const std::string request = Msg(0, 0, std::string("00 00 07 E0 22 F1 ") + did);
  const std::string answer = Msg(0, i * 1000 + 300, std::string("00 00 07 E8 62 F1 ") + did +
                                                        " 57 4F 56 52 41 30 30 53 49 4D 30 30 30 30 30 30 31");
  std::string out;
  for (const auto& [function, msg] : {std::pair<const char*, std::string>{"PassThruWriteMsgs", request},
                                      {"PassThruReadMsgs", answer}}) {
    if (xml) {
      out += std::string("<entry time=\"2026-01-01 00:00:00.000000\" elapsed_us=\"") + std::to_string(i) +
             "\" process=\"7\" thread=\"8\" function=\"" + function +
             "\" phase=\"call\" result=\"STATUS_NOERROR\" failed=\"0\" duration_us=\"5\">\n"
             "  <field name=\"ChannelID\">2</field>\n  <field name=\"Msg\">" + msg + "</field>\n</entry>\n";
    } else {
      std::string args = "ChannelID: 2\nMsg: ";
      for (char c : msg) args += c == '\n' ? std::string("\n  ") : std::string(1, c);
      out += "2026-01-01 00:00:00.000000," + std::to_string(i) + ",7,8," + function + ",call,\"" + args +
             "\",STATUS_NOERROR,5\r\n";
    }
  }
  return out;
}

std::string Log(bool xml) {
  std::string text = xml ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<log title=\"t\">\n"
                           "<session start=\"s\" process=\"7\" program=\"p\" api=\"J2534\" library=\"l\">\n"
                         : "Time,Elapsed (us),Process,Thread,Function,Phase,Arguments,Result,Duration (us)\r\n"
                           "s,,7,,(session),note,\"program: p\nJ2534 library: l\",,\r\n";
  for (unsigned i = 0; text.size() < (10u << 20); ++i) text += Exchange(xml, i);
  return text + (xml ? "</session>\n</log>\n" : "");
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  for (bool xml : {true, false}) {
    const std::string text = Log(xml);
    std::vector<double> seconds;
    std::size_t requests = 0;
    for (int r = 0; r < rounds; ++r) {
      simulator::Scenario scenario;
      std::string error;
      const auto start = std::chrono::steady_clock::now();
      const bool ok = scenario.Parse(text, simulator::ScenarioApi::J2534, &error);
      seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (!ok) {
        std::printf("scenario load: %s\n", error.c_str());
        return 1;
      }
      requests = scenario.requests();
    }
    std::sort(seconds.begin(), seconds.end());
    const double per10 = (10.0 * (1 << 20)) / static_cast<double>(text.size());
    std::printf("scenario load, %s, %.1f MB, %zu distinct request(s): best %.3f s, median %.3f s per 10 MB\n",
                xml ? "XML" : "CSV", static_cast<double>(text.size()) / (1 << 20), requests, seconds.front() * per10,
                seconds[seconds.size() / 2] * per10);
  }
  return 0;
}
