#include "bench/monitor_bench_v05.h"

#include "bench/monitor_bench_util.h"
#include "monitoring/path_rules.h"

namespace varrow::bench {

namespace {

using passthru::ULong;
namespace v05 = passthru::v05;

struct Installed05 {
  test::PassThruApi05 monitored, direct;
  fake::State* state = nullptr;
  bool ok = false;
};

// A copy of the monitor registered as 05.00, logging to `log` in XML with entry and exit.
Installed05 Install05(const test::ScratchDir& dir, const test::RedirectedRegistry& reg, const std::wstring& name,
                      const std::wstring& log) {
  Installed05 in;
  const std::wstring library =
      test::InstallMonitor(dir, reg.Machine(), name, true, passthru::ApiVersion::k0500);
  test::WriteUserSettings(reg.User(), library, log, 2, 1, 1, 0, 0);
  test::SetDword(reg.User(), L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\J2534 API\\" + SettingsKeyName(library),
                 L"LogDebugView", 0);
  in.ok = in.monitored.Load(library) && in.direct.Load(AsidePath(library));
  in.state = test::FakeStateOf(library);
  return in;
}

}  // namespace

void RunFiguresV05(const test::ScratchDir& dir, const test::RedirectedRegistry& reg, int calls) {
  Installed05 read = Install05(dir, reg, L"Read05.dll", dir / L"read05.xml");
  Installed05 queue = Install05(dir, reg, L"Queue05.dll", dir / L"queue05.xml");
  Installed05 select = Install05(dir, reg, L"Select05.dll", dir / L"select05.xml");
  if (!read.ok || read.state == nullptr || !queue.ok || !select.ok) {
    std::printf("monitor benchmark: cannot load the 05.00 libraries\n");
    return;
  }
  // One 8-byte CAN message in a 64-byte buffer of the caller's.
  static std::uint8_t bytes[64];
  v05::PassThruMsg msg{};
  msg.ProtocolID = v05::CAN;
  msg.DataBuffer = bytes;
  msg.DataBufferSize = sizeof bytes;
  msg.DataLength = 8;
  ULong device = 0;
  read.monitored.Open("Fake VCI 05", &device);
  read.state->readAvailable = 1;
  read.state->readDataSize = 8;
  const Figures reads = Measure(read.direct, read.monitored, calls, [&](const test::PassThruApi05& api) {
    ULong n = 1;
    api.ReadMsgs(1, &msg, &n, 0);
  });
  read.monitored.Close(device);
  queue.monitored.Open("Fake VCI 05", &device);
  // A message made on the stack, as the 04.04 WriteMsgs row sends it; then the
  // same with its data in static memory, which the memory gate must query.
  std::uint8_t local[64] = {};
  v05::PassThruMsg onStack = msg;
  onStack.DataBuffer = local;
  const Figures queues = Measure(queue.direct, queue.monitored, calls, [&](const test::PassThruApi05& api) {
    ULong n = 1;
    api.QueueMsgs(1, &onStack, &n);
  });
  const Figures queuesStatic = Measure(queue.direct, queue.monitored, calls, [&](const test::PassThruApi05& api) {
    ULong n = 1;
    api.QueueMsgs(1, &msg, &n);
  });
  queue.monitored.Close(device);
  select.monitored.Open("Fake VCI 05", &device);
  const Figures selects = Measure(select.direct, select.monitored, calls, [&](const test::PassThruApi05& api) {
    ULong ids[2] = {1, 2};
    v05::SChannelSet set{2, 1, ids};
    api.Select(&set, v05::READABLE_TYPE, 0);
  });
  select.monitored.Close(device);
  Row("05.00 ReadMsgs, one 8-byte CAN message into the caller's buffer, back to back (XML, entry and exit)", reads,
      5, 20, Logged(dir / L"read05.xml", "function=\"PassThruReadMsgs\""));
  Row("05.00 QueueMsgs, one 8-byte CAN message on the stack, back to back (XML, entry and exit)", queues, 5, 20,
      "");
  Row("05.00 QueueMsgs, the same with its data in static memory (XML, entry and exit)", queuesStatic, 5, 20,
      Logged(dir / L"queue05.xml", "function=\"PassThruQueueMsgs\"") + " (both rows)");
  Row("05.00 Select of two channels, back to back (XML, entry and exit)", selects, 5, 20,
      Logged(dir / L"select05.xml", "function=\"PassThruSelect\""));
}

}  // namespace varrow::bench
