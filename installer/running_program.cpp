#include "installer/running_program.h"

#include <restartmanager.h>
#include <tlhelp32.h>

#include "settings/owned_handle.h"

namespace varrow {

namespace {

constexpr DWORD kPathChars = 32768;
constexpr DWORD kRepeatMs = 1000;

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring FileNameOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The program file of process `id`, or empty when it cannot be read.
std::wstring ProgramOf(DWORD id) {
  const KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  if (!process) return {};
  std::wstring path(kPathChars, L'\0');
  DWORD chars = kPathChars;
  if (!QueryFullProcessImageNameW(process.Get(), 0, path.data(), &chars) || chars >= kPathChars) {
    return {};
  }
  path.resize(chars);
  return path;
}

BOOL CALLBACK CloseWindowOf(HWND window, LPARAM processId) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(processId)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

std::vector<DWORD> ProcessesOf(const std::wstring& program) {
  std::vector<DWORD> ids;
  const std::wstring name = FileNameOf(program);
  const KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    if (entry.th32ProcessID == GetCurrentProcessId() || !SameText(entry.szExeFile, name)) continue;
    const std::wstring path = ProgramOf(entry.th32ProcessID);
    if (path.empty() || SameText(path, program)) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

std::vector<DWORD> CloseProgram(const std::wstring& program, DWORD waitMs) {
  const DWORD start = GetTickCount();
  std::vector<DWORD> running = ProcessesOf(program);
  while (!running.empty()) {
    for (const DWORD id : running) EnumWindows(CloseWindowOf, static_cast<LPARAM>(id));
    // Wait for the first of them to end, a second at most, then look again.
    bool waited = false;
    for (const DWORD id : running) {
      const KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
      if (process) {
        (void)WaitForSingleObject(process.Get(), kRepeatMs);
        waited = true;
        break;
      }
    }
    if (!waited) Sleep(kRepeatMs);
    running = ProcessesOf(program);
    if (GetTickCount() - start >= waitMs) break;
  }
  return running;
}

RestartManagerResult CloseThroughRestartManager(const std::vector<std::wstring>& files) {
  RestartManagerResult result;
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  result.code = RmStartSession(&session, 0, key);
  if (result.code != ERROR_SUCCESS) return result;
  std::vector<LPCWSTR> names;
  for (const std::wstring& file : files) {
    if (names.size() < kMaxRestartManagerFiles) names.push_back(file.c_str());
  }
  result.code = RmRegisterResources(session, static_cast<UINT>(names.size()), names.data(), 0,
                                    nullptr, 0, nullptr);
  if (result.code == ERROR_SUCCESS) {
    UINT needed = 0, count = 0;
    DWORD reasons = 0;
    // Asked for the count only: ERROR_MORE_DATA when there are processes.
    const DWORD listed = RmGetList(session, &needed, &count, nullptr, &reasons);
    result.code = listed == ERROR_MORE_DATA ? ERROR_SUCCESS : listed;
    result.listed = needed;
    if (result.code == ERROR_SUCCESS && needed > 0) {
      result.code = RmShutdown(session, 0, nullptr);  // not forced: one that refuses stays
      result.shutDown = result.code == ERROR_SUCCESS;
    }
  }
  (void)RmEndSession(session);
  return result;
}

}  // namespace varrow
