#include "bench/bench_process.h"

#include "bench/bench_install.h"

namespace varrow::bench {

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.rfind(L'\\'));
}

std::wstring ExePath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

std::wstring GetVariable(const wchar_t* name) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return {};
  std::wstring value(needed, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), needed));
  return value;
}

bool RunProcess(const std::wstring& commandLine, HANDLE ready, double* elapsedMs,
                DWORD timeoutMs) {
  std::wstring line = commandLine;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const double start = Now();
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  bool ok = true;
  if (ready != nullptr) {
    HANDLE waits[2] = {ready, process.hProcess};
    ok = WaitForMultipleObjects(2, waits, FALSE, timeoutMs) == WAIT_OBJECT_0;
    *elapsedMs = Now() - start;
  }
  if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    ok = false;
  }
  if (ready == nullptr) *elapsedMs = Now() - start;
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ok && code == 0;
}

}  // namespace varrow::bench
