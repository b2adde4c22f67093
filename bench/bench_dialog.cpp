#include "bench/bench_dialog.h"

#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "app/change_watcher.h"
#include "app/varrow_dlg.h"
#include "bench/bench_install.h"
#include "monitoring/api_implementation.h"
#include "resources/resource.h"

namespace varrow::bench {

namespace {

constexpr UINT kStepMessage = WM_APP + 0x300;
constexpr int kReloads = 10000;
// The reloads stop early when they have taken this long (a slower machine):
// the counts are then taken after the reloads done, and the driver says how
// many. The driver waits 120 s for the whole child.
constexpr double kReloadBudgetMs = 60000;
constexpr int kTabChanges = 1000;
constexpr int kReloadBatch = 500;  // posted at a time: the queue holds 10,000 at most

// key=value lines for the driver.
class ResultFile {
 public:
  explicit ResultFile(const std::wstring& path) : path_(path) {}
  void Add(const char* key, double value) {
    char line[128];
    std::snprintf(line, sizeof line, "%s=%.6f\n", key, value);
    text_ += line;
  }
  void Write() const {
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr);
    CloseHandle(file);
  }

 private:
  std::wstring path_;
  std::string text_;
};

void AddMemory(ResultFile& result) {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(),
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof counters)) {
    result.Add("private_bytes", static_cast<double>(counters.PrivateUsage));
    result.Add("peak_private_bytes", static_cast<double>(counters.PeakPagefileUsage));
    result.Add("peak_working_set", static_cast<double>(counters.PeakWorkingSetSize));
  }
}

// Open kernel handles of this process. Where GetProcessHandleCount reports
// nothing (Wine), every handle value is probed instead.
double CountHandles() {
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0) return handles;
  double count = 0;
  for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

bool RunningOnWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine's GDI takes a handle's index alone (high word 0) for the object at that
// index, so probing every index counts the process's GDI objects. -1 when the
// count does not follow GDI objects made and deleted here.
double CountGdiByIndex() {
  auto count = [] {
    double n = 0;
    for (ULONG_PTR index = 1; index < 0x10000; ++index) {
      if (GetObjectType(reinterpret_cast<HGDIOBJ>(index)) != 0) ++n;
    }
    return n;
  };
  const double before = count();
  HPEN pens[8];
  for (HPEN& pen : pens) pen = CreatePen(PS_SOLID, 1, RGB(1, 2, 3));
  const double during = count();
  for (HPEN pen : pens) DeleteObject(pen);
  const double after = count();
  if (during != before + 8 || after != before) return -1;
  return before;
}

double CountGdiObjects() {
  const DWORD reported = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  if (reported > 0 || !RunningOnWine()) return reported;
  return CountGdiByIndex();
}

void AddCounts(ResultFile& result, const char* handlesKey, const char* gdiKey, const char* userKey) {
  result.Add(handlesKey, CountHandles());
  result.Add(gdiKey, CountGdiObjects());
  result.Add(userKey, GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
}

// Dismisses any message box the dialog opens (a bench must not hang) and counts them.
class BoxWatchdog {
 public:
  explicit BoxWatchdog(HWND owner) : owner_(owner), thread_([this] { Run(); }) {}
  ~BoxWatchdog() {
    stop_ = true;
    thread_.join();
  }
  int Count() const { return count_; }

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    auto* dog = reinterpret_cast<BoxWatchdog*>(self);
    if (GetWindow(window, GW_OWNER) == dog->owner_ && IsWindowVisible(window)) {
      PostMessageW(window, WM_COMMAND, IDOK, 0);
      ++dog->count_;
    }
    return TRUE;
  }
  void Run() {
    while (!stop_) {
      EnumWindows(&BoxWatchdog::Visit, reinterpret_cast<LPARAM>(this));
      Sleep(100);
    }
  }
  HWND owner_;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::thread thread_;
};

class BenchDialog : public CVarrowDlg {
 public:
  BenchDialog(ChildMode mode, const RegistryRoots& roots, HANDLE ready, ResultFile& result,
              const std::wstring& work, int applyRounds)
      : CVarrowDlg(IDD_VARROW_DIALOG, roots, true),
        mode_(mode),
        applyRounds_(applyRounds),
        ready_(ready),
        result_(result),
        files_(DescribeCrowdedFiles(work)) {}

  BOOL OnInitDialog() override {
    const double start = Now();
    const BOOL focus = CVarrowDlg::OnInitDialog();
    SetEvent(ready_);  // the end of the initialisation
    result_.Add("init_ms", Now() - start);
    PostMessage(kStepMessage, 0, 0);
    return focus;
  }

 protected:
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) override {
    if (message == kStepMessage) {
      Step();
      *result = 0;
      return true;
    }
    return CVarrowDlg::OnMessage(message, wparam, lparam, result);
  }

 private:
  void Step() {
    // The pages are filled when their discovery ends; the workloads use them.
    EnsureMonitoringLoaded();
    switch (mode_) {
      case ChildMode::Startup:
        AddMemory(result_);
        EndDialog(IDCANCEL);
        return;
      case ChildMode::Leaks:
        LeakStep();
        return;
      case ChildMode::Apply:
        ApplyRounds();
        EndDialog(IDCANCEL);
        return;
      case ChildMode::Trips:
        TripRounds();
        EndDialog(IDCANCEL);
        return;
    }
  }

  void ChangeTab(int tabId, int tab) {
    HWND control = GetDlgItem(tabId);
    SendDlgItemMessage(tabId, TCM_SETCURSEL, tab, 0);
    NMHDR header{control, static_cast<UINT_PTR>(tabId), static_cast<UINT>(TCN_SELCHANGE)};
    SendMessage(WM_NOTIFY, tabId, reinterpret_cast<LPARAM>(&header));
  }

  int TabCount(int tabId) const {
    return static_cast<int>(SendDlgItemMessage(tabId, TCM_GETITEMCOUNT, 0, 0));
  }

  void TabChanges(int count) {
    const int tabs = std::max(1, TabCount(IDC_J2534_TAB));
    for (int i = 0; i < count; ++i) ChangeTab(IDC_J2534_TAB, (i + 1) % tabs);
  }

  // Phases: 0 warm-up, 1 baseline and reloads in batches, 2 tab changes and counts.
  void LeakStep() {
    if (phase_ == 0) {
      for (int i = 0; i < 50; ++i) PostMessage(kReloadMessage, 0, 0);
      TabChanges(40);
      phase_ = 1;
      PostMessage(kStepMessage, 0, 0);
      return;
    }
    if (phase_ == 1) {
      if (posted_ == 0) {
        AddCounts(result_, "handles_before", "gdi_before", "user_before");
        reloadStart_ = Now();
      }
      if (posted_ < kReloads && Now() - reloadStart_ < kReloadBudgetMs) {
        for (int i = 0; i < kReloadBatch && posted_ < kReloads; ++i, ++posted_) {
          PostMessage(kReloadMessage, 0, 0);
        }
        PostMessage(kStepMessage, 0, 0);  // after this batch has been handled
        return;
      }
      TabChanges(kTabChanges);
      phase_ = 2;
      PostMessage(kStepMessage, 0, 0);  // after any reload the tab changes caused
      return;
    }
    AddCounts(result_, "handles_after", "gdi_after", "user_after");
    result_.Add("reloads", posted_);
    result_.Add("tab_changes", kTabChanges);
    result_.Add("tabs", TabCount(IDC_J2534_TAB));
    EndDialog(IDCANCEL);
  }

  // Ticks or clears "Enable Monitoring" on every J2534 tab as a user would.
  void SetAllMonitoring(bool on) {
    for (int tab = 0; tab < TabCount(IDC_J2534_TAB); ++tab) {
      ChangeTab(IDC_J2534_TAB, tab);
      const bool checked = SendDlgItemMessage(IDC_J2534_ENABLE, BM_GETCHECK, 0, 0) == BST_CHECKED;
      if (checked != on) SendDlgItemMessage(IDC_J2534_ENABLE, BM_CLICK, 0, 0);
    }
  }

  // The button's handle is looked up before the clock starts: the lookup is
  // the driver's, not the program's.
  double TimedApply() {
    const LPARAM button = reinterpret_cast<LPARAM>(GetDlgItem(IDC_APPLY));
    const double start = Now();
    SendMessage(WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED), button);
    return Now() - start;
  }

  int CountAside() const {
    int found = 0;
    for (const std::wstring& library : files_.libraries) {
      if (GetFileAttributesW(AsidePath(library).c_str()) != INVALID_FILE_ATTRIBUTES) ++found;
    }
    return found;
  }

  void ApplyRounds() {
    BoxWatchdog watchdog(m_hWnd);
    std::vector<double> dialog, bare;
    int asideAfterOn = 0, asideAfterOff = 0;
    for (int round = 0; round < applyRounds_; ++round) {
      SetAllMonitoring(true);
      double elapsed = TimedApply();
      asideAfterOn = CountAside();
      SetAllMonitoring(false);
      elapsed += TimedApply();
      asideAfterOff = CountAside();
      dialog.push_back(elapsed);

      // The bare file steps of the same switch on and off.
      const double start = Now();
      for (const std::wstring& library : files_.libraries)
        BareSwitchOn(files_.monitorLibrary, library);
      for (const std::wstring& library : files_.libraries) BareSwitchOff(library);
      bare.push_back(Now() - start);
    }
    result_.Add("apply_ms", Median(dialog));
    result_.Add("bare_ms", Median(bare));
    result_.Add("aside_after_on", asideAfterOn);
    result_.Add("aside_after_off", asideAfterOff);
    result_.Add("tabs", TabCount(IDC_J2534_TAB));
    result_.Add("message_boxes", watchdog.Count());
  }

  // One Apply on and one off, then the bare steps of each, every one between
  // markers, after a round that is not marked (the first Apply's one-time work).
  void TripRounds() {
    BoxWatchdog watchdog(m_hWnd);
    for (int round = 0; round < 2; ++round) {
      const bool marked = round == 1;
      auto section = [marked](const wchar_t* name, auto&& work) {
        if (marked) TraceMarker(std::wstring(L"begin:") + name);
        work();
        if (marked) TraceMarker(std::wstring(L"end:") + name);
      };
      const LPARAM button = reinterpret_cast<LPARAM>(GetDlgItem(IDC_APPLY));
      auto apply = [this, button] {
        SendMessage(WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED), button);
      };
      SetAllMonitoring(true);
      section(L"apply-on", apply);
      SetAllMonitoring(false);
      section(L"apply-off", apply);
      section(L"bare-on", [this] {
        for (const std::wstring& library : files_.libraries)
          BareSwitchOn(files_.monitorLibrary, library);
      });
      section(L"bare-off", [this] {
        for (const std::wstring& library : files_.libraries) BareSwitchOff(library);
      });
    }
    result_.Add("aside_after_off", CountAside());
    result_.Add("message_boxes", watchdog.Count());
  }

  ChildMode mode_;
  int applyRounds_;
  HANDLE ready_;
  ResultFile& result_;
  CrowdedFiles files_;
  int phase_ = 0;
  int posted_ = 0;
  double reloadStart_ = 0;
};

}  // namespace

void TraceMarker(const std::wstring& what) {
  const std::wstring name = L"VarrowTrips:" + what;
  if (HANDLE marker = CreateEventW(nullptr, TRUE, FALSE, name.c_str())) CloseHandle(marker);
}

int RunDialogChild(ChildMode mode, const std::wstring& rootsPath, const std::wstring& eventName,
                   const std::wstring& resultFile, const std::wstring& workFolder,
                   int applyRounds) {
  InitCommonControls();
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str());
  if (ready == nullptr) return 2;
  ResultFile result(resultFile);
  INT_PTR ended = -1;
  {
    RegKey keys[3];
    RegistryRoots roots;
    if (!BenchRoots::Open(rootsPath, keys, &roots)) return 3;
    BenchDialog dialog(mode, roots, ready, result, workFolder, applyRounds);
    ended = dialog.DoModal();
  }
  result.Write();
  CloseHandle(ready);
  return ended == -1 ? 4 : 0;
}

}  // namespace varrow::bench
