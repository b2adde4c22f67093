#include "installer/running_program.h"

#include <gtest/gtest.h>

#include "monitoring/leftover_rules.h"
#include "settings/owned_handle.h"
#include "tests/test_support.h"

namespace varrow {
namespace {

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD chars = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return FolderOf(std::wstring(path, chars < MAX_PATH ? chars : 0));
}

// A running program of the package is found by its path, not by its name
// alone; one without a window to close is reported as still running.
TEST(RunningProgram, FoundByPathAndReportedWhenItStays) {
  test::ScratchDir dir;
  const std::wstring holder = ProgramFolder() + L"\\varrow_library_holder.exe";
  const std::wstring marker = dir / L"holding";
  std::wstring command = L"\"" + holder + L"\" \"" + ProgramFolder() +
                         L"\\varrow_stub_library.dll\" \"" + marker + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info));
  const KernelHandle process(info.hProcess), thread(info.hThread);
  for (int waited = 0; waited < 30000 && !test::FileExists(marker); waited += 10) {
    ASSERT_EQ(WaitForSingleObject(process.Get(), 10), static_cast<DWORD>(WAIT_TIMEOUT));
  }

  const struct {
    std::wstring program;
    bool found;
  } cases[] = {
      {holder, true},
      {ProgramFolder() + L"\\VARROW_LIBRARY_HOLDER.EXE", true},
      {dir / L"varrow_library_holder.exe", false},  // the same name elsewhere
      {ProgramFolder() + L"\\Varrow.exe", false},
  };
  for (const auto& c : cases) {
    const std::vector<DWORD> ids = ProcessesOf(c.program);
    EXPECT_EQ(ids == std::vector<DWORD>{info.dwProcessId}, c.found)
        << std::string(c.program.begin(), c.program.end());
    if (!c.found) {
      EXPECT_TRUE(ids.empty());
    }
  }
  EXPECT_EQ(CloseProgram(holder, 0), std::vector<DWORD>{info.dwProcessId});

  ASSERT_TRUE(DeleteFileW(marker.c_str()));  // lets it end
  if (WaitForSingleObject(process.Get(), 30000) != WAIT_OBJECT_0) TerminateProcess(process.Get(), 1);
  WaitForSingleObject(process.Get(), 30000);
  EXPECT_TRUE(ProcessesOf(holder).empty());
  EXPECT_TRUE(CloseProgram(holder, 0).empty());
}

}  // namespace
}  // namespace varrow
