#include "bench/bench_window.h"

#include <windows.h>
#include <shlwapi.h>

#include "monitoring/discovery.h"
#include "resources/resource.h"
#include "settings/registry.h"
#include "tests/test_support.h"

namespace varrow::bench {

namespace {

constexpr DWORD kWaitMs = 20000;

enum class Installation { Bare, Realistic, Worst };

// Deletes the program's keys and the registrations from the prefix's registry.
void RemoveInstallation() {
  SHDeleteKeyW(HKEY_LOCAL_MACHINE, kJ2534RegistrationPath);
  SHDeleteKeyW(HKEY_LOCAL_MACHINE, ProductPath().c_str());
  SHDeleteKeyW(HKEY_CURRENT_USER, ProductPath().c_str());
}

// Writes one installation into the prefix's registry, and the PATH that the
// program inherits.
void Install(Installation which, const CrowdedFiles& files, const std::wstring& exeFolder,
             const std::wstring& pathTail) {
  RemoveInstallation();
  SeedBareMachine(HKEY_LOCAL_MACHINE, exeFolder, files.folder + L"\\logs");
  if (which == Installation::Realistic)
    SeedRealisticMonitoring(HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, files);
  if (which == Installation::Worst) SeedCrowdedMonitoring(HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, files);
  const std::wstring path = which == Installation::Worst ? files.PathVariable(pathTail) : pathTail;
  SetEnvironmentVariableW(L"PATH", path.c_str());
}

struct Search {
  DWORD process;
  HWND found;
};

// EnumWindows: the visible unowned dialog window of `process`.
BOOL CALLBACK FindDialogOf(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<Search*>(parameter);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (process == search->process && IsWindowVisible(window) &&
      GetWindow(window, GW_OWNER) == nullptr && lstrcmpW(className, L"#32770") == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// Starts the program and measures its way to the window; false when it did
// not show its dialog or More>> did not answer.
bool StartOnce(const std::wstring& exe, double* toWindow, double* toPages) {
  std::wstring line = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const double start = Now();
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  // Blocks until the program first waits for input, without spinning; the
  // poll below then confirms the dialog (or goes on polling when it is not
  // there yet).
  (void)WaitForInputIdle(process.hProcess, kWaitMs);
  Search search{process.dwProcessId, nullptr};
  bool answered = false;
  while (Now() - start < kWaitMs) {
    search.found = nullptr;
    EnumWindows(FindDialogOf, reinterpret_cast<LPARAM>(&search));
    DWORD_PTR result = 0;
    if (search.found != nullptr &&
        SendMessageTimeoutW(search.found, WM_NULL, 0, 0, SMTO_NORMAL, kWaitMs, &result) != 0) {
      *toWindow = Now() - start;
      answered = true;
      break;
    }
    if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) break;  // ended early
  }
  bool pages = false;
  if (answered) {
    // More>> waits for the pages: the time until it has been handled.
    DWORD_PTR result = 0;
    HWND more = GetDlgItem(search.found, IDC_MORE_LESS);
    pages = SendMessageTimeoutW(search.found, WM_COMMAND, MAKEWPARAM(IDC_MORE_LESS, BN_CLICKED),
                                reinterpret_cast<LPARAM>(more), SMTO_NORMAL, kWaitMs,
                                &result) != 0;
    *toPages = Now() - start;
    PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
  if (WaitForSingleObject(process.hProcess, kWaitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    answered = false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return answered && pages;
}

}  // namespace

TimeToWindow MeasureTimeToWindow(int rounds, const std::wstring& exe, const CrowdedFiles& files,
                                 const std::wstring& pathTail) {
  TimeToWindow times;
  if (test::KeyExists(HKEY_LOCAL_MACHINE, kJ2534RegistrationPath) ||
      test::KeyExists(HKEY_LOCAL_MACHINE, ProductPath()) ||
      test::KeyExists(HKEY_CURRENT_USER, ProductPath())) {
    times.refused = true;
    return times;
  }
  const std::wstring exeFolder = exe.substr(0, exe.rfind(L'\\'));
  const Installation order[3] = {Installation::Bare, Installation::Realistic, Installation::Worst};
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < 3; ++k) {
      const Installation which = order[(round + k) % 3];
      Install(which, files, exeFolder, pathTail);
      double window = 0, pages = 0;
      // The first start copies the factory sections and creates the user's keys.
      (void)StartOnce(exe, &window, &pages);
      if (!StartOnce(exe, &window, &pages)) {
        ++times.failures;
        continue;
      }
      WindowTimes& into = which == Installation::Bare        ? times.bare
                          : which == Installation::Realistic ? times.realistic
                                                             : times.worst;
      into.toWindow.push_back(window);
      into.toPages.push_back(pages);
    }
  }
  RemoveInstallation();
  SetEnvironmentVariableW(L"PATH", pathTail.c_str());
  return times;
}

}  // namespace varrow::bench
