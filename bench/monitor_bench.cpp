// Benchmark of the J2534 monitor library: the time a call takes through the
// monitor (with full logging) against the same call made directly to the
// original library, side by side in one run, alternating call by call.
//
//   monitor_bench.exe [calls]           the figures (default 20000 calls per case; the
//                                       flat-out caller makes five times as many)
//   monitor_bench.exe sample <folder>   a varied session logged in each format into <folder>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/monitor_bench_util.h"
#include "bench/monitor_bench_v05.h"
#include "monitor/j2534/j2534_record.h"
#include "log/log_writer.h"
#include "monitoring/path_rules.h"
#include "tests/monitor_fixture.h"

namespace {

using namespace passthru;
using namespace varrow::bench;
using varrow::test::PassThruApi;

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

// The entry and the exit of PassThruWriteMsgs with one 8-byte CAN message, as
// the monitor captures them on the calling thread.
class WriteRecord : public monitor::EntrySource {
 public:
  WriteRecord(bool exit, std::uint32_t n) {
    using monitor::J2534Record;
    record_.localFileTime = 133000000000000000ull + n * 2220ull;
    record_.processId = GetCurrentProcessId();
    record_.threadId = GetCurrentThreadId();
    record_.function = monitor::J2534Function::WriteMsgs;
    if (exit) {
      record_.phase = monitor::Phase::Exit;
      record_.fields.push_back({"NumMsgs (sent)", "1", {}, 0});
      record_.hasResult = true;
      record_.durationMicros = 3;
      return;
    }
    record_.phase = monitor::Phase::Entry;
    record_.fields.push_back({"ChannelID", "1", {}, 0});
    record_.fields.push_back({"NumMsgs (to send)", "1", {}, 0});
    record_.fields.push_back({"Timeout (ms)", "0", {}, 0});
    monitor::PendingField msg;
    msg.name = "Msg";
    msg.messages.push_back(monitor::CaptureMessage(varrow::test::CanMessage(8, static_cast<std::uint8_t>(n)), 0));
    record_.fields.push_back(std::move(msg));
  }
  std::size_t Bytes() const override { return monitor::RecordBytes(record_); }
  void Build(monitor::LogEntry* entry) const override { monitor::BuildEntry(record_, entry); }

 private:
  monitor::J2534Record record_;
};

// Entries per second the writer renders, decodes and writes in `format`: the
// writer sleeps while a queue large enough for all of them is filled (its
// period is long, and the queue is half full only at the last entry, which
// wakes it); it is timed from the last entry until all are written.
double WriterRate(const std::wstring& log, monitor::LogFormat format, std::uint32_t entries) {
  monitor::WriterOptions options;
  options.path = log;
  options.format = format;
  options.maxEntries = 2 * entries;
  options.maxBytes = 1u << 30;
  options.periodMs = 60000;
  std::vector<std::unique_ptr<monitor::EntrySource>> ready;
  ready.reserve(entries);
  for (std::uint32_t i = 0; i < entries; ++i) ready.push_back(std::make_unique<WriteRecord>(i % 2 != 0, i / 2));
  monitor::LogWriter writer(options);
  LARGE_INTEGER a, b;
  for (std::uint32_t i = 0; i + 1 < entries; ++i) writer.Submit(std::move(ready[i]));
  QueryPerformanceCounter(&a);
  writer.Submit(std::move(ready.back()));
  writer.Flush(120000);
  QueryPerformanceCounter(&b);
  const monitor::WriterStats stats = writer.Stats();
  writer.Finish(10000);
  return static_cast<double>(stats.written) * 1e6 / Micros(b.QuadPart - a.QuadPart);
}

// The writer's text work alone on the same entries, in batches of 4,096, no
// file: entries per second of the whole, and nanoseconds per entry of its
// steps (building, then decoding, then rendering: each pass does the steps
// before it too, and a step is the difference); the best of five passes each.
struct TextWork {
  double rate = 0;
  double buildNs = 0, decodeNs = 0, renderNs = 0;
};
TextWork MeasureTextWork(monitor::LogFormat format, std::uint32_t entries) {
  std::vector<std::unique_ptr<WriteRecord>> records;
  records.reserve(entries);
  for (std::uint32_t i = 0; i < entries; ++i) records.push_back(std::make_unique<WriteRecord>(i % 2 != 0, i / 2));
  monitor::LogEntry entry;
  std::string scratch[monitor::kRenderScratch], batch;
  double best[3] = {1e300, 1e300, 1e300};  // ns per entry: build; build + decode; all three
  for (int steps = 1; steps <= 3; ++steps) {
    for (int run = 0; run < 5; ++run) {
      monitor::ConversationDecoder decoder;
      std::size_t bytes = 0;
      LARGE_INTEGER a, b;
      QueryPerformanceCounter(&a);
      for (std::uint32_t i = 0; i < entries; ++i) {
        if (i % 4096 == 0) {
          bytes += batch.size();
          batch.clear();
        }
        records[i]->Build(&entry);
        if (steps >= 2) decoder.Decode(&entry);
        if (steps >= 3) monitor::AppendEntry(format, entry, &batch, scratch);
      }
      QueryPerformanceCounter(&b);
      bytes += batch.size();
      if (steps < 3 || bytes != 0) best[steps - 1] = std::min(best[steps - 1], Micros(b.QuadPart - a.QuadPart) * 1000 / entries);
    }
  }
  return {1e9 / best[2], best[0], best[1] - best[0], best[2] - best[1]};
}

// A single caller flat out (WriteMsgs of one 8-byte CAN message, entry and exit
// logged) in each format, against what the writer alone sustains.
void RunFlatOut(const varrow::test::ScratchDir& dir, const varrow::test::RedirectedRegistry& reg, int calls) {
  std::printf("\n| Flat-out caller, %d WriteMsgs of 8 bytes (entry and exit, decoding on) | caller's entries/s "
              "| writer alone, entries/s | writer / caller | log entries | its text work alone (no file), entries/s |\n|---|---|---|---|---|---|\n", calls);
  const char* const names[] = {"", "ASCII", "XML", "CSV", "HTML"};
  const wchar_t* const ext[] = {L"", L"txt", L"xml", L"csv", L"html"};
  const char* const markers[] = {"", "PassThruWriteMsgs", "function=\"PassThruWriteMsgs\"", ",PassThruWriteMsgs,",
                                 "<td>PassThruWriteMsgs</td>"};
  PassThruMsg can8 = varrow::test::CanMessage(8, 1);
  TextWork text[5];
  for (DWORD format = 1; format <= 4; ++format) {
    const std::wstring log = dir / (L"flat." + std::wstring(ext[format]));
    Installed in = Install(dir, reg, L"Flat" + std::to_wstring(format) + L".dll", log, format, 1);
    if (!in.ok) continue;
    ULong device = 0;
    in.monitored.Open(nullptr, &device);
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    for (int i = 0; i < calls; ++i) {
      ULong n = 1;
      in.monitored.WriteMsgs(1, &can8, &n, 0);
    }
    QueryPerformanceCounter(&b);
    in.monitored.Close(device);
    const double caller = 2.0 * calls * 1e6 / Micros(b.QuadPart - a.QuadPart);
    // The writer alone: the best of three runs (the machine's other work only
    // slows it). Each log is deleted once measured, so that every run writes
    // into as much free memory as the first (on a virtual machine, memory the
    // system has never used costs far more to write to the first time).
    double writer = 0;
    for (int run = 0; run < 3; ++run) {
      const std::wstring alone = dir / (L"alone" + std::to_wstring(run) + L"." + ext[format]);
      writer = std::max(writer, WriterRate(alone, static_cast<monitor::LogFormat>(format), 100000));
      DeleteFileW(alone.c_str());
    }
    text[format] = MeasureTextWork(static_cast<monitor::LogFormat>(format), 100000);
    std::printf("| %s | %.0f | %.0f | %.2f | %s | %.0f |\n", names[format], caller, writer, writer / caller,
                Logged(log, markers[format]).c_str(), text[format].rate);
    DeleteFileW(log.c_str());
  }
  std::printf("\n| The writer's text work per entry, ns (best of 5) | building | decoding | rendering | all |\n"
              "|---|---|---|---|---|\n");
  for (DWORD format = 1; format <= 4; ++format) {
    const TextWork& t = text[format];
    std::printf("| %s | %.0f | %.0f | %.0f | %.0f |\n", names[format], t.buildNs, t.decodeNs, t.renderNs,
                t.buildNs + t.decodeNs + t.renderNs);
  }
}

int RunFigures(int calls) {
  varrow::test::ScratchDir dir;
  varrow::test::RedirectedRegistry reg;
  std::printf("\n| Calls (%d each, alternating) | direct median / p99 (us) | monitored median / p99 (us) | added median (us) | added p99 (us) | target (us) | | log entries |\n|---|---|---|---|---|---|---|---|\n", calls);

  // 8-byte CAN messages, full logging: XML, entry and exit, whole messages, empty polls too.
  Installed full = Install(dir, reg, L"FullRead.dll", dir / L"read.xml", 2, 1);
  Installed fullWrite = Install(dir, reg, L"FullWrite.dll", dir / L"write.xml", 2, 1);
  if (!full.ok || full.state == nullptr || !fullWrite.ok) {
    std::printf("monitor benchmark: cannot load the libraries\n");
    return 0;
  }
  ULong device = 0;
  full.monitored.Open(nullptr, &device);
  full.state->readAvailable = 1;
  full.state->readDataSize = 8;
  static PassThruMsg read[4];
  PassThruMsg can8 = varrow::test::CanMessage(8, 1);
  const Figures reads = Measure(full.direct, full.monitored, calls, [&](const PassThruApi& api) {
    ULong n = 1;
    api.ReadMsgs(1, read, &n, 0);
  });
  full.monitored.Close(device);
  fullWrite.monitored.Open(nullptr, &device);
  const Figures writes = Measure(fullWrite.direct, fullWrite.monitored, calls, [&](const PassThruApi& api) {
    ULong n = 1;
    api.WriteMsgs(1, &can8, &n, 0);
  });
  fullWrite.monitored.Close(device);
  Row("ReadMsgs, one 8-byte CAN message, back to back (XML, entry and exit)", reads, 5, 20,
      Logged(dir / L"read.xml", "function=\"PassThruReadMsgs\""));
  Row("WriteMsgs, one 8-byte CAN message, back to back (XML, entry and exit)", writes, 5, 20,
      Logged(dir / L"write.xml", "function=\"PassThruWriteMsgs\""));

  // The same at the pace of a saturated bus: one 8-byte frame every 222 us.
  Installed paced = Install(dir, reg, L"Paced.dll", dir / L"paced.xml", 2, 1);
  paced.monitored.Open(nullptr, &device);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const LONGLONG frame = frequency.QuadPart * 222 / 1000000;
  const Figures pacedWrites = Measure(paced.direct, paced.monitored, calls / 10, [&](const PassThruApi& api) {
    ULong n = 1;
    api.WriteMsgs(1, &can8, &n, 0);
  }, frame);
  paced.monitored.Close(device);
  Row("WriteMsgs, one 8-byte CAN message every 222 us (XML, entry and exit)", pacedWrites, 5, 20,
      Logged(dir / L"paced.xml", "function=\"PassThruWriteMsgs\""));

  // 4,128-byte messages logged whole.
  Installed big = Install(dir, reg, L"Big.dll", dir / L"big.txt", 1, 0);
  big.monitored.Open(nullptr, &device);
  static PassThruMsg large = varrow::test::CanMessage(4128, 7);
  const Figures large4128 = Measure(big.direct, big.monitored, calls / 4, [&](const PassThruApi& api) {
    ULong n = 1;
    api.WriteMsgs(1, &large, &n, 0);
  });
  big.monitored.Close(device);
  Row("WriteMsgs, one 4,128-byte message logged whole (ASCII)", large4128, 50, 0,
      Logged(dir / L"big.txt", "PassThruWriteMsgs"));

  // A disk that does not take the log: another writer holds the file all along.
  const std::wstring slowLog = dir / L"slow.xml";
  Installed slow = Install(dir, reg, L"Slow.dll", slowLog, 2, 1);
  wchar_t full_[MAX_PATH];
  GetFullPathNameW(slowLog.c_str(), MAX_PATH, full_, nullptr);
  HANDLE held = monitor::HoldLogFile(full_);
  slow.monitored.Open(nullptr, &device);
  const Figures held8 = Measure(slow.direct, slow.monitored, calls, [&](const PassThruApi& api) {
    ULong n = 1;
    api.WriteMsgs(1, &can8, &n, 0);
  });
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  slow.monitored.Close(device);
  Row("WriteMsgs, 8 bytes, log file held by another writer all along (XML, entry and exit)", held8, 5, 20,
      Logged(slowLog, "function=\"PassThruWriteMsgs\""));
  RunFiguresV05(dir, reg, calls);
  std::printf("\nEntries are counted per phase (entry and exit make two per call); the queue holds 131,072 (and 64 MiB).\n");

  RunFlatOut(dir, reg, calls * 5);

  // The first call of a process through a fresh copy of the monitor (it loads
  // the original, reads its settings, opens the log and starts its writer),
  // against loading a fresh copy of the original and calling it.
  std::vector<double> firstDirect, firstMonitored;
  for (int i = 0; i < 9; ++i) {
    const std::wstring n = std::to_wstring(i);
    const std::wstring copy = dir / (L"Original" + n + L".dll");
    CopyFileW((varrow::test::BinFolder() + L"\\FakePassThru.dll").c_str(), copy.c_str(), FALSE);
    LARGE_INTEGER a, b, c;
    QueryPerformanceCounter(&a);
    HMODULE original = LoadLibraryW(copy.c_str());
    const auto open = original == nullptr ? nullptr
                                          : reinterpret_cast<PassThruOpenFn>(reinterpret_cast<void*>(
                                                GetProcAddress(original, "PassThruOpen")));
    if (open != nullptr) open(nullptr, &device);
    QueryPerformanceCounter(&b);
    firstDirect.push_back(Micros(b.QuadPart - a.QuadPart));
    const std::wstring library = varrow::test::InstallMonitor(dir, reg.Machine(), L"First" + n + L".dll");
    varrow::test::WriteUserSettings(reg.User(), library, dir / (L"first" + n + L".xml"), 2, 1, 1, 0, 0);
    PassThruApi monitored;
    if (!monitored.Load(library)) continue;
    QueryPerformanceCounter(&b);
    monitored.Open(nullptr, &device);
    QueryPerformanceCounter(&c);
    firstMonitored.push_back(Micros(c.QuadPart - b.QuadPart));
    monitored.Close(device);
  }
  std::printf("\nFirst call of a process (9 fresh copies, median / slowest): through the monitor %.0f / %.0f us; "
              "the original loaded and called directly %.0f / %.0f us\n",
              Percentile(firstMonitored, 0.5), Percentile(firstMonitored, 1.0),
              Percentile(firstDirect, 0.5), Percentile(firstDirect, 1.0));
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
  if (argc >= 2 && std::wcscmp(argv[1], L"writer") == 0) {
    // Only the writer against a flat-out caller.
    varrow::test::ScratchDir dir;
    varrow::test::RedirectedRegistry reg;
    RunFlatOut(dir, reg, argc >= 3 ? std::max(1000, _wtoi(argv[2])) : 100000);
    return 0;
  }
  const int calls = argc >= 2 ? std::max(100, _wtoi(argv[1])) : 20000;
  return RunFigures(calls);
}
