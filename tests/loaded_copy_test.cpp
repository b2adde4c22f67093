// Switching monitoring off while another process really has the monitor copy
// loaded, as a running diagnostic program has it: through Apply, RestoreLibrary
// and the disable mode. The library must be back byte for byte at once; the
// loaded copy waits under a leftover name until the process has ended and the
// next clean-up deletes it.
#include <gtest/gtest.h>

#include "monitoring/file_steps.h"
#include "monitoring/leftover_rules.h"
#include "monitoring/library_swap.h"
#include "monitoring/maintenance.h"
#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

constexpr char kLibrary[] = "implementation library";

// The folder of this test program, where the build puts its helpers.
std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD chars = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return FolderOf(std::wstring(path, chars < MAX_PATH ? chars : 0));
}

// A helper process that holds `library` loaded from construction until Release().
class LibraryHolder {
 public:
  LibraryHolder(const std::wstring& library, const std::wstring& marker) : marker_(marker) {
    DeleteFileW(marker_.c_str());  // an earlier holder's would say "holding" too soon
    std::wstring command = L"\"" + ProgramFolder() + L"\\varrow_library_holder.exe\" \"" +
                           library + L"\" \"" + marker + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
      return;
    }
    process_ = KernelHandle(info.hProcess);
    const KernelHandle thread(info.hThread);
    // It holds the library once the marker exists; a holder that ended failed.
    // A loaded machine may take long to start a process: the bound only keeps
    // a broken holder from outliving the test's own time limit.
    for (int waited = 0; waited < 90000 && !test::FileExists(marker_); waited += 10) {
      if (WaitForSingleObject(process_.Get(), 10) != WAIT_TIMEOUT) break;
    }
  }
  ~LibraryHolder() { Release(); }
  LibraryHolder(const LibraryHolder&) = delete;
  LibraryHolder& operator=(const LibraryHolder&) = delete;

  bool Holding() const { return process_.Valid() && test::FileExists(marker_); }
  // The holder's exit code, or STILL_ACTIVE while it runs (for failure messages).
  DWORD ExitCode() const {
    DWORD code = 0;
    return process_.Valid() && GetExitCodeProcess(process_.Get(), &code) ? code : 0;
  }
  HANDLE Process() const { return process_.Get(); }
  // Lets go of the library and waits for the process to end.
  void Release() {
    if (!process_) return;
    // The holder may still have the marker open for a moment after making it.
    for (int i = 0; i < 3000 && !DeleteFileW(marker_.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND; ++i) {
      if (WaitForSingleObject(process_.Get(), 10) != WAIT_TIMEOUT) break;
    }
    // A holder that hangs in Wine's process exit is ended: what counts here is
    // that nothing holds the library any more.
    if (WaitForSingleObject(process_.Get(), 30000) != WAIT_OBJECT_0) {
      TerminateProcess(process_.Get(), 1);
      WaitForSingleObject(process_.Get(), 30000);
    }
    process_.Close();
  }

 private:
  std::wstring marker_;
  KernelHandle process_;
};

class LoadedCopy : public test::MonitoringFixture {
 protected:
  void SetUp() override {
    test::MakeDir(dir / L"lib");
    lib = MakeFile(L"lib\\lib.dll", kLibrary);
    aside = AsidePath(lib);
    // A monitor library that really loads.
    monitor = dir / L"monitor.dll";
    ASSERT_TRUE(CopyFileW((ProgramFolder() + L"\\varrow_stub_library.dll").c_str(),
                          monitor.c_str(), TRUE));
    AddJ2534Device(L"Dev", L"Vendor", L"Device", lib);
    Seal();
    layout.roots = reg.Roots();
    state.J2534Count = 1;
    ApiImplementation& r = state.J2534[0];
    ASSERT_TRUE(r.SetFunctionLibrary(lib));
    ASSERT_TRUE(r.SetMonitorLibrary(monitor));
    r.SetLibraryFound(1);
  }
  bool Save(int enable) {
    state.J2534[0].SetMonitoringEnabled(enable);
    return SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, 0, reporter);
  }

  std::wstring lib, aside, monitor;
  MachineLayout layout;
  MonitoringState state;
  test::RecordingReporter reporter;
};

TEST_F(LoadedCopy, SwitchOffPutsTheLibraryBackAndTheLeftoverGoesLater) {
  enum Route { kApply, kRestoreLibrary, kDisable, kUninstall };
  const struct {
    const char* name;
    Route route;
  } routes[] = {{"Apply", kApply},
                {"RestoreLibrary", kRestoreLibrary},
                {"disable", kDisable},
                {"uninstall", kUninstall}};
  const std::string before = test::FolderListing(dir / L"lib");
  for (const auto& r : routes) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(Save(1));
    ASSERT_TRUE(reporter.codes.empty());
    ASSERT_TRUE(Content(lib) == Content(monitor)) << "switched on";
    {
      LibraryHolder holder(lib, dir / L"holding");
      ASSERT_TRUE(holder.Holding()) << "the helper did not load the monitor copy, exit code "
                                    << holder.ExitCode();
      ASSERT_FALSE(DeleteFileW(lib.c_str())) << "method check: a loaded library stays";
      switch (r.route) {
        case kApply: EXPECT_TRUE(Save(0)); break;
        case kRestoreLibrary: EXPECT_TRUE(RestoreLibrary(lib, aside)); break;
        case kDisable: DisableAllMonitoring(layout); break;
        case kUninstall: UninstallUserSettings(layout); break;
      }
      EXPECT_TRUE(reporter.codes.empty());
      EXPECT_EQ(Content(lib), kLibrary) << "the library is back while the copy is loaded";
      EXPECT_FALSE(test::FileExists(aside));
      EXPECT_EQ(test::LeftoverCount(dir / L"lib"), 1) << "the loaded copy waits under a leftover name";
    }
    DeleteMonitorLeftovers(layout);
    EXPECT_EQ(test::LeftoverCount(dir / L"lib"), 0) << "the leftover goes once unloaded";
    EXPECT_TRUE(test::FolderListing(dir / L"lib") == before) << "the folder is as before";
  }
}

// A leftover carries the id of the process that made it: one made by another
// program that still runs may hold the library itself for a moment (its
// put-back found the library already back), so the clean-up spares it.
TEST_F(LoadedCopy, CleanUpSparesTheLeftoversOfProgramsThatStillRun) {
  LibraryHolder running(monitor, dir / L"holding");
  ASSERT_TRUE(running.Holding());
  const DWORD runningId = GetProcessId(running.Process());
  ASSERT_NE(runningId, 0u);
  DWORD endedId = 0;
  {
    LibraryHolder ended(monitor, dir / L"ended");
    ASSERT_TRUE(ended.Holding());
    endedId = GetProcessId(ended.Process());
  }
  const std::uint64_t low = 0x1234;
  const std::wstring ofRunning = LeftoverPath(lib, (std::uint64_t{runningId} << 32) | low);
  const std::wstring ofEnded = LeftoverPath(lib, (std::uint64_t{endedId} << 32) | low);
  const std::wstring ofThis = LeftoverPath(lib, (std::uint64_t{GetCurrentProcessId()} << 32) | low);
  for (const std::wstring& path : {ofRunning, ofEnded, ofThis}) ASSERT_TRUE(test::WriteFileText(path, kLibrary));
  DeleteLeftoversIn(FolderOf(lib));
  EXPECT_TRUE(test::FileExists(ofRunning)) << "a running program's leftover stays";
  EXPECT_FALSE(test::FileExists(ofEnded)) << "an ended program's leftover goes";
  EXPECT_FALSE(test::FileExists(ofThis)) << "this program's own leftover goes";
}

}  // namespace
}  // namespace varrow
