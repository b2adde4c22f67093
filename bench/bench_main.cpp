// The benchmark driver. Every figure is a ratio measured side by side in one
// run: the program's work against a floor measured in the same run. It reports
// and never fails; bench/run.sh runs it in a Wine prefix of its own.
//
//   varrow_bench.exe [rounds [only]] the driver (default 9 rounds per measure;
//                                    only: startup, leaks, apply or disable;
//                                    trips: marked runs for bench/round_trips.sh)
//   varrow_bench.exe child ...       one dialog run (started by the driver)
#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/bench_dialog.h"
#include "bench/bench_disable.h"
#include "bench/bench_install.h"
#include "bench/bench_process.h"
#include "bench/bench_report.h"
#include "bench/bench_window.h"
#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "tests/test_support.h"

namespace varrow::bench {

namespace {

// key=value lines written by a child.
struct ChildResult {
  bool ok = false;
  double readyMs = 0;  // process start to the end of the dialog's initialisation
  std::vector<std::pair<std::string, double>> values;
  double Get(const char* key, double fallback = -1) const {
    for (const auto& [k, v] : values) {
      if (k == key) return v;
    }
    return fallback;
  }
};

ChildResult ParseResult(const std::wstring& path) {
  ChildResult result;
  std::string text;
  if (!test::ReadFileText(path, &text)) return result;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    result.values.emplace_back(line.substr(0, eq), std::atof(line.c_str() + eq + 1));
  }
  return result;
}

const wchar_t* ModeName(ChildMode mode) {
  switch (mode) {
    case ChildMode::Startup: return L"startup";
    case ChildMode::Leaks: return L"leaks";
    case ChildMode::Apply: return L"apply";
    case ChildMode::Trips: return L"trips";
  }
  return L"startup";
}

ChildResult RunChild(ChildMode mode, const std::wstring& rootsPath, const std::wstring& work,
                     int rounds = 1) {
  static int serial = 0;
  wchar_t eventName[64];
  std::swprintf(eventName, 64, L"VarrowBenchReady_%lu_%d", GetCurrentProcessId(), ++serial);
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName);
  const std::wstring resultFile = work + L"\\result.txt";
  DeleteFileW(resultFile.c_str());
  const std::wstring command = L"\"" + ExePath() + L"\" child " + ModeName(mode) + L" \"" +
                               rootsPath + L"\" " + eventName + L" \"" + resultFile + L"\" \"" +
                               work + L"\" " + std::to_wstring(rounds);
  double elapsed = 0;
  const bool ok = RunProcess(command, ready, &elapsed);
  CloseHandle(ready);
  ChildResult result = ParseResult(resultFile);
  result.ok = ok;
  result.readyMs = elapsed;
  return result;
}

// ------------------------------------------------------------------ dialog measures

// The program itself, started on three installations in turn: the time until
// its dialog is visible and answers, crowded against bare.
void TimeToWindowRows(int rounds, const CrowdedFiles& files, const std::wstring& pathTail) {
  const TimeToWindow t = MeasureTimeToWindow(rounds, ExeFolder() + L"\\Varrow.exe", files, pathTail);
  if (t.refused) Note("time to window: this prefix has the program's keys of its own; not touched");
  if (t.failures > 0) Note("time to window: %d starts did not show the dialog", t.failures);
  AddSpreadRow("Time to window (process start to the dialog visible and answering), realistic "
               "crowded (20 full paths) / bare installation",
               t.realistic.toWindow, t.bare.toWindow, 1.10);
  AddSpreadRow("Time to window, worst crowded (bare names in the last of 200 PATH folders) / "
               "bare installation",
               t.worst.toWindow, t.bare.toWindow, 1.10);
  Note("time to the pages (More>> answered): bare %s, realistic %s, worst %s",
       Spread(t.bare.toPages).c_str(), Spread(t.realistic.toPages).c_str(),
       Spread(t.worst.toPages).c_str());
}

// Peak private bytes of the bench child once its pages are filled.
void Memory(const BenchRoots& crowded, const BenchRoots& bare, const std::wstring& work) {
  double crowdedPeak = 0, barePeak = 0;
  std::vector<double> crowdedInit, bareInit;
  for (int run = 0; run < 3; ++run) {
    const ChildResult c = RunChild(ChildMode::Startup, crowded.Path(), work);
    const ChildResult b = RunChild(ChildMode::Startup, bare.Path(), work);
    if (!c.ok || !b.ok) continue;
    crowdedPeak = std::max(crowdedPeak, c.Get("peak_private_bytes", 0));
    barePeak = std::max(barePeak, b.Get("peak_private_bytes", 0));
    crowdedInit.push_back(c.Get("init_ms", 0));
    bareInit.push_back(b.Get("init_ms", 0));
  }
  Note("OnInitDialog alone: %.1f ms crowded, %.1f ms bare", Median(crowdedInit), Median(bareInit));
  const double mib = 1024.0 * 1024.0;
  Row memory{"Peak private bytes, crowded / bare installation", Format("%.2f MiB", crowdedPeak / mib),
             Format("%.2f MiB", barePeak / mib), Format("+%.2f MiB", (crowdedPeak - barePeak) / mib),
             "< +4 MiB", crowdedPeak - barePeak < 4 * mib ? "met" : "MISSED"};
  if (crowdedPeak == 0 || barePeak == 0) memory.verdict = "not measured";
  AddRow(memory);
}

void Leaks(const BenchRoots& crowded, const std::wstring& work) {
  const ChildResult r = RunChild(ChildMode::Leaks, crowded.Path(), work);
  if (!r.ok || r.Get("handles_after") < 0) {
    AddRow({"Leaks: 10,000 reloads (at most 60 s of them) + 1,000 tab changes", "failed", "", "",
            "", "not measured"});
    return;
  }
  const double handles = r.Get("handles_after") - r.Get("handles_before");
  const double gdi = r.Get("gdi_after") - r.Get("gdi_before");
  const double user = r.Get("user_after") - r.Get("user_before");
  char program[128], floor[128];
  std::snprintf(program, sizeof program, "handles %.0f, GDI %.0f, USER %.0f", r.Get("handles_after"),
                r.Get("gdi_after"), r.Get("user_after"));
  std::snprintf(floor, sizeof floor, "handles %.0f, GDI %.0f, USER %.0f", r.Get("handles_before"),
                r.Get("gdi_before"), r.Get("user_before"));
  char delta[96];
  std::snprintf(delta, sizeof delta, "%+.0f / %+.0f / %+.0f", handles, gdi, user);
  const bool met = handles <= 0 && gdi <= 0 && user <= 0 && r.Get("handles_before") > 0 &&
                   r.Get("gdi_before") >= 0;
  // A slower machine stops the reloads after 60 s: the figure says how many were done.
  const double reloads = r.Get("reloads", 0);
  if (reloads < 10000) {
    std::snprintf(program + std::strlen(program), sizeof program - std::strlen(program),
                  " after %.0f reloads", reloads);
    Note("leaks: the reloads stopped after 60 s, at %.0f of 10,000", reloads);
  }
  AddRow({"Leaks: 10,000 reloads (at most 60 s of them) + 1,000 tab changes (" +
              Format("%.0f", r.Get("tabs", 0)) + " tabs), after / before",
          program, floor, delta, "+0 / +0 / +0", met ? "met" : "MISSED"});
  if (r.Get("gdi_before") < 0) Note("GDI objects could not be counted here");
  if (r.Get("user_before") == 0) Note("USER objects are not counted here (GetGuiResources reports 0)");
}

void DialogApply(int rounds, const BenchRoots& crowded, const std::wstring& work) {
  const ChildResult r = RunChild(ChildMode::Apply, crowded.Path(), work, rounds);
  const bool switched = r.ok && r.Get("aside_after_on") == kDevices && r.Get("aside_after_off") == 0;
  if (!switched) {
    Note("dialog Apply: monitoring did not switch on and off for every library (on %.0f, off %.0f, "
         "boxes %.0f)", r.Get("aside_after_on"), r.Get("aside_after_off"), r.Get("message_boxes"));
    AddRow({"Apply through the dialog, 20 libraries on then off / bare file steps", "n/a", "n/a",
            "n/a", "<= 1.50", "not measured"});
    return;
  }
  AddRatioRow("Apply through the dialog, 20 libraries on then off / bare file steps",
              r.Get("apply_ms"), r.Get("bare_ms"), 1.5);
}

// The monitoring save alone (what Apply runs per library), in this process.
void MonitoringSave(int rounds, const BenchRoots& crowded, const CrowdedFiles& files) {
  MonitoringState state;
  const double loadStart = Now();
  LoadMonitoringConfiguration(state, crowded.Roots(), 0, L"");
  Note("monitoring load of the crowded installation in this process: %.1f ms", Now() - loadStart);
  {
    std::wstring name = files.libraryNames[0];
    const double searchStart = Now();
    FindLibraryOnPath(&name);
    Note("one PATH search over %d folders: %.2f ms", kPathFolders, Now() - searchStart);
  }
  if (state.J2534Count != kDevices) {
    Note("monitoring save: discovery found %d libraries", state.J2534Count);
    return;
  }
  struct Quiet : FileErrorReporter {
    int errors = 0;
    void ReportFileError(DWORD) override { ++errors; }
    void ReportRepair(const LibraryRepair&) override { ++errors; }
    void ReportMonitorRefused(const std::wstring&, MonitorRefusal) override { ++errors; }
  } reporter;
  std::vector<double> program, bare;
  for (int round = 0; round < rounds; ++round) {
    double start = Now();
    for (int on = 1; on >= 0; --on) {
      for (int i = 0; i < state.J2534Count; ++i) state.J2534[i].SetMonitoringEnabled(on);
      SaveMonitoringOfKind(state, crowded.Roots(), ApiKind::J2534, state.J2534Count, true, reporter);
    }
    program.push_back(Now() - start);
    start = Now();
    for (const std::wstring& library : files.libraries) BareSwitchOn(files.monitorLibrary, library);
    for (const std::wstring& library : files.libraries) BareSwitchOff(library);
    bare.push_back(Now() - start);
  }
  if (reporter.errors > 0) Note("monitoring save: %d file steps failed", reporter.errors);
  AddRatioRow("Monitoring save alone, 20 libraries on then off / bare file steps", Median(program),
              Median(bare), 1.5);
}

// For bench/round_trips.sh: one marked Apply on and off (and the bare steps) in
// a dialog child, and one marked `disable` with 41 libraries set aside, one with
// nothing registered, and the bare steps of the 41. Nothing is timed.
void Trips(const BenchRoots& crowded, const std::wstring& work, const std::wstring& crowdedFolder,
           const std::wstring& originalPath) {
  const ChildResult r = RunChild(ChildMode::Trips, crowded.Path(), crowdedFolder);
  if (!r.ok || r.Get("aside_after_off") != 0 || r.Get("message_boxes") != 0)
    Note("trips: the Apply child did not switch every library off cleanly");
  SetEnvironmentVariableW(L"PATH", originalPath.c_str());
  DisableMachine machine(work);
  if (!machine.Clean()) {
    Note("trips: this prefix has registrations of its own; disable not counted");
    return;
  }
  const std::wstring command = L"\"" + ExeFolder() + L"\\Varrow.exe\" disable";
  double ms = 0;
  for (int round = 0; round < 2; ++round) {
    const bool marked = round == 1;
    machine.Register();
    machine.SetAside();
    if (marked) TraceMarker(L"begin:disable");
    RunProcess(command, nullptr, &ms);
    if (marked) TraceMarker(L"end:disable");
    if (machine.Restored() != machine.Count()) Note("trips: disable left libraries set aside");
    machine.Unregister();
    machine.SetAside();
    if (marked) TraceMarker(L"begin:disable-empty");
    RunProcess(command, nullptr, &ms);
    if (marked) TraceMarker(L"end:disable-empty");
    if (marked) TraceMarker(L"begin:disable-bare");
    machine.BareSteps();
    if (marked) TraceMarker(L"end:disable-bare");
  }
}

void Size() {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  const std::wstring exe = ExeFolder() + L"\\Varrow.exe";
  if (!GetFileAttributesExW(exe.c_str(), GetFileExInfoStandard, &data)) return;
  const double bytes = static_cast<double>(data.nFileSizeLow);
  const double mib = 1024.0 * 1024.0;
  AddRow({"Size of Varrow.exe", Format("%.0f KiB", bytes / 1024), "1024 KiB", Format("%.2f", bytes / mib),
          "< 1.00", bytes < mib ? "met" : "MISSED"});
}

int Driver(int rounds, const std::wstring& only) {
  auto wanted = [&only](const wchar_t* name) { return only.empty() || only == name; };
  test::ScratchDir work;
  const CrowdedFiles files = DescribeCrowdedFiles(work.Path() + L"\\crowded");
  if (!MakeCrowdedFiles(files)) {
    Note("cannot write the crowded installation's files");
    return 1;
  }
  BenchRoots crowded(L"crowded"), bare(L"bare");
  SeedBareMachine(crowded.Roots().machine, ExeFolder(), work.Path() + L"\\logs");
  SeedBareMachine(bare.Roots().machine, ExeFolder(), work.Path() + L"\\logs");
  SeedCrowdedMonitoring(crowded.Roots().machine, crowded.Roots().user, files);

  const std::wstring originalPath = GetVariable(L"PATH");
  if (only == L"trips") {
    SetEnvironmentVariableW(L"PATH", files.PathVariable(originalPath).c_str());
    Trips(crowded, work.Path(), files.folder, originalPath);
    return 0;
  }
  if (wanted(L"startup")) {
    Note("time to window (%d rounds of three installations) and memory", rounds);
    TimeToWindowRows(rounds, files, originalPath);
  }
  SetEnvironmentVariableW(L"PATH", files.PathVariable(originalPath).c_str());
  if (wanted(L"startup")) Memory(crowded, bare, files.folder);
  if (wanted(L"leaks")) {
    Note("leaks (one dialog, 10,000 reloads and 1,000 tab changes)");
    Leaks(crowded, files.folder);
  }
  if (wanted(L"apply")) {
    Note("Apply (%d rounds)", rounds);
    DialogApply(rounds, crowded, files.folder);
    MonitoringSave(rounds, crowded, files);
  }
  SetEnvironmentVariableW(L"PATH", originalPath.c_str());
  if (wanted(L"disable")) {
    Note("disable (%d rounds)", rounds);
    Disable(rounds, work.Path());
  }
  Size();
  PrintTable();
  return 0;
}

}  // namespace

}  // namespace varrow::bench

int wmain(int argc, wchar_t** argv) {
  using namespace varrow::bench;
  if (argc >= 7 && std::wcscmp(argv[1], L"child") == 0) {
    const std::wstring mode = argv[2];
    ChildMode childMode = ChildMode::Startup;
    if (mode == L"leaks") childMode = ChildMode::Leaks;
    if (mode == L"apply") childMode = ChildMode::Apply;
    if (mode == L"trips") childMode = ChildMode::Trips;
    const int applyRounds = argc >= 8 ? std::max(1, _wtoi(argv[7])) : 5;
    return RunDialogChild(childMode, argv[3], argv[4], argv[5], argv[6], applyRounds);
  }
  const int rounds = argc >= 2 ? std::max(1, _wtoi(argv[1])) : 9;
  return Driver(rounds, argc >= 3 ? argv[2] : L"");
}
