// Benchmark of the J2534 monitor library: the time a call takes through the
// monitor (with full logging) against the same call made directly to the
// original library, side by side in one run, alternating call by call.
//
//   monitor_bench.exe [calls]           the figures (default 20000 calls per case)
//   monitor_bench.exe sample <folder>   a varied session logged in each format into <folder>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/log_writer.h"
#include "monitoring/path_rules.h"
#include "tests/monitor_fixture.h"

namespace {

using namespace passthru;
using varrow::test::PassThruApi;

double Micros(LONGLONG ticks) {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  return static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
  return values[at];
}

struct Figures {
  double directMedian, directP99, monitorMedian, monitorP99;
};

// Times `calls` calls of `call(api)` on both libraries, alternating.
template <typename Call>
Figures Measure(const PassThruApi& direct, const PassThruApi& monitored, int calls, Call call) {
  std::vector<double> d, m;
  d.reserve(calls);
  m.reserve(calls);
  for (int i = 0; i < calls; ++i) {
    LARGE_INTEGER a, b, c;
    QueryPerformanceCounter(&a);
    call(direct);
    QueryPerformanceCounter(&b);
    call(monitored);
    QueryPerformanceCounter(&c);
    d.push_back(Micros(b.QuadPart - a.QuadPart));
    m.push_back(Micros(c.QuadPart - b.QuadPart));
  }
  return {Percentile(d, 0.5), Percentile(d, 0.99), Percentile(m, 0.5), Percentile(m, 0.99)};
}

void Row(const char* what, const Figures& f, double medianTarget, double p99Target) {
  const double median = f.monitorMedian - f.directMedian;
  const double p99 = f.monitorP99 - f.directP99;
  std::printf("| %s | %.2f / %.2f | %.2f / %.2f | %.2f (%.1f%% of a CAN frame) | %.2f | median <= %.0f, p99 <= %.0f | %s |\n",
              what, f.directMedian, f.directP99, f.monitorMedian, f.monitorP99, median,
              median * 100.0 / 222.0, p99, medianTarget, p99Target,
              median <= medianTarget && p99 <= p99Target ? "met" : "NOT met");
}

struct Installed {
  std::wstring library;
  PassThruApi monitored, direct;
  fake::State* state = nullptr;
  bool ok = false;
};

Installed Install(const varrow::test::ScratchDir& dir, const varrow::test::RedirectedRegistry& reg,
                  const std::wstring& name, const std::wstring& log, DWORD format, DWORD entryExit) {
  Installed in;
  in.library = varrow::test::InstallMonitor(dir, reg.Machine(), name);
  varrow::test::WriteUserSettings(reg.User(), in.library, log, format, 1, entryExit, 0, 0);
  varrow::test::SetDword(reg.User(), L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\J2534 API\\" +
                                         varrow::SettingsKeyName(in.library),
                         L"LogDebugView", 0);
  in.ok = in.monitored.Load(in.library) && in.direct.Load(varrow::AsidePath(in.library));
  in.state = varrow::test::FakeStateOf(in.library);
  return in;
}

int Figures(int calls) {
  varrow::test::ScratchDir dir;
  varrow::test::RedirectedRegistry reg;
  std::printf("\n| Calls (%d each) | direct median / p99 (us) | monitored median / p99 (us) | added median (us) | added p99 (us) | target | |\n|---|---|---|---|---|---|---|\n", calls);

  // 8-byte CAN messages, full logging: XML, entry and exit, whole messages, empty polls too.
  Installed full = Install(dir, reg, L"Full.dll", dir / L"full.xml", 2, 1);
  if (!full.ok || full.state == nullptr) {
    std::printf("monitor benchmark: cannot load the libraries\n");
    return 0;
  }
  ULong device = 0;
  full.monitored.Open(nullptr, &device);
  full.state->readAvailable = 1;
  full.state->readDataSize = 8;
  static PassThruMsg read[4];
  PassThruMsg can8 = varrow::test::CanMessage(8, 1);
  Row("ReadMsgs, one 8-byte CAN message", Measure(full.direct, full.monitored, calls, [&](const PassThruApi& api) {
        ULong n = 1;
        api.ReadMsgs(1, read, &n, 0);
      }), 5, 20);
  Row("WriteMsgs, one 8-byte CAN message", Measure(full.direct, full.monitored, calls, [&](const PassThruApi& api) {
        ULong n = 1;
        api.WriteMsgs(1, &can8, &n, 0);
      }), 5, 20);
  full.monitored.Close(device);

  // 4,128-byte messages logged whole.
  Installed big = Install(dir, reg, L"Big.dll", dir / L"big.txt", 1, 0);
  big.monitored.Open(nullptr, &device);
  static PassThruMsg large = varrow::test::CanMessage(4128, 7);
  Row("WriteMsgs, one 4,128-byte message", Measure(big.direct, big.monitored, calls / 4, [&](const PassThruApi& api) {
        ULong n = 1;
        api.WriteMsgs(1, &large, &n, 0);
      }), 50, 1e9);
  big.monitored.Close(device);

  // A disk that does not take the log: another writer holds the file all along.
  const std::wstring slowLog = dir / L"slow.xml";
  Installed slow = Install(dir, reg, L"Slow.dll", slowLog, 2, 1);
  wchar_t full_[MAX_PATH];
  GetFullPathNameW(slowLog.c_str(), MAX_PATH, full_, nullptr);
  HANDLE held = CreateMutexW(nullptr, TRUE, monitor::LogMutexName(full_, L"File", 0).c_str());
  slow.monitored.Open(nullptr, &device);
  Row("WriteMsgs, 8 bytes, log file held (slow disk)", Measure(slow.direct, slow.monitored, calls, [&](const PassThruApi& api) {
        ULong n = 1;
        api.WriteMsgs(1, &can8, &n, 0);
      }), 5, 20);
  ReleaseMutex(held);
  CloseHandle(held);
  slow.monitored.Close(device);
  std::string text;
  varrow::test::ReadFileText(slowLog, &text);
  const std::size_t note = text.find(" entries not logged");
  std::size_t start = note;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
  std::printf("\nWith the log file held, %s entries were dropped and counted in the log (queue bound 16,384 entries).\n",
              note == std::string::npos ? "no" : text.substr(start, note - start).c_str());
  return 0;
}

// A varied session in each format, for reading the logs.
int Sample(const std::wstring& folder) {
  varrow::test::ScratchDir dir;
  varrow::test::RedirectedRegistry reg;
  const wchar_t* const ext[] = {L"", L"txt", L"xml", L"csv", L"html"};
  for (DWORD format = 1; format <= 4; ++format) {
    Installed in = Install(dir, reg, L"Sample" + std::to_wstring(format) + L".dll",
                           folder + L"\\sample." + ext[format], format, 0);
    if (!in.ok || in.state == nullptr) return 1;
    const PassThruApi& api = in.monitored;
    ULong device = 0, channel = 0, filter = 0, count = 0, mv = 0;
    api.Open(nullptr, &device);
    char fw[80], dll[80], version[80], error[80];
    api.ReadVersion(device, fw, dll, version);
    api.Ioctl(device, READ_VBATT, nullptr, &mv);
    api.Connect(device, ISO15765, 0, 500000, &channel);
    SConfig set[2] = {{DATA_RATE, 500000}, {ISO15765_STMIN, 0}};
    SConfigList list{2, set};
    api.Ioctl(channel, SET_CONFIG, &list, nullptr);
    api.Ioctl(channel, GET_CONFIG, &list, nullptr);
    PassThruMsg mask = varrow::test::CanMessage(4, 0), pattern = varrow::test::CanMessage(4, 0),
                flow = varrow::test::CanMessage(4, 0);
    std::memcpy(mask.Data, "\xFF\xFF\xFF\xFF", 4);
    std::memcpy(pattern.Data, "\x00\x00\x07\xE8", 4);
    std::memcpy(flow.Data, "\x00\x00\x07\xE0", 4);
    api.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter);
    PassThruMsg request = varrow::test::CanMessage(6, 0);
    std::memcpy(request.Data, "\x00\x00\x07\xE0\x09\x02", 6);
    count = 1;
    api.WriteMsgs(channel, &request, &count, 100);
    static PassThruMsg read[2];
    in.state->readDataSize = 44;
    in.state->readAvailable = 2;
    count = 2;
    api.ReadMsgs(channel, read, &count, 100);
    in.state->readAvailable = 0;
    count = 2;
    api.ReadMsgs(channel, read, &count, 0);
    in.state->forcedResult = ERR_INVALID_FILTER_ID;
    api.StopMsgFilter(channel, 99);
    in.state->forcedResult = -1;
    api.GetLastError(error);
    api.StopMsgFilter(channel, filter);
    api.Disconnect(channel);
    api.Close(device);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"sample") == 0) return Sample(argv[2]);
  const int calls = argc >= 2 ? std::max(100, _wtoi(argv[1])) : 20000;
  return Figures(calls);
}
