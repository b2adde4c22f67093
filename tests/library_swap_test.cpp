#include "monitoring/library_swap.h"

#include <gtest/gtest.h>

#include <memory>

#include "monitoring/file_steps.h"
#include "monitoring/maintenance.h"
#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

using test::HeldOpen;
using test::KeyExists;
using test::RecordingReporter;
using test::SetDword;
using test::ValueExists;

constexpr char kLibrary[] = "implementation library";
constexpr char kMonitor[] = "monitor library";

class LibrarySwap : public test::MonitoringFixture {
 protected:
  // One J2534 implementation at <dir>\lib.dll with the monitor library at <dir>\monitor.dll.
  void SetUp() override {
    lib = MakeFile(L"lib.dll", kLibrary);
    aside = dir / L"_lib.dll";
    monitor = MakeFile(L"monitor.dll", kMonitor);
    ApiImplementation& r = state.J2534[0];
    ASSERT_TRUE(r.SetFunctionLibrary(lib));
    ASSERT_TRUE(r.SetMonitorLibrary(monitor));
    ASSERT_TRUE(r.SetOutputFile(L"D:\\Logs\\J2534\\lib.txt"));
    r.SetLibraryFound(1);
    state.J2534Count = 1;
    state.J2534MessageSizes.count = 3;
    state.J2534MessageSizes.sizes = {0, 512, 4096};
    state.J2534MessageSizes.version = 2;
    Seal();
  }
  ApiImplementation& Record() { return state.J2534[0]; }
  bool Save() { return SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, 0, reporter); }
  std::wstring PerApiKey() { return ProductPath({L"Monitoring", kJ2534ApiName}); }
  std::wstring SettingsKey() { return PerApiKey() + L"\\" + SettingsKeyName(lib); }
  // Installed by hand, as an earlier switch-on leaves it.
  void Install() {
    ASSERT_TRUE(MoveFileW(lib.c_str(), aside.c_str()));
    ASSERT_TRUE(CopyFileW(monitor.c_str(), lib.c_str(), FALSE));
  }
  // No library is ever lost, and the library path holds a file.
  void ExpectNoLibraryLost() {
    EXPECT_TRUE(Content(lib) == kLibrary || Content(aside) == kLibrary)
        << "library at neither path";
    EXPECT_TRUE(test::FileExists(lib)) << "the library path was left empty";
  }

  std::wstring lib, aside, monitor;
  MonitoringState state;
  RecordingReporter reporter;
};

TEST_F(LibrarySwap, SwitchOnInstallsAndWritesSettings) {
  const struct {
    int storeWithPrimary;
    bool storeWritten;
  } cases[] = {{1, true}, {-1, false}};
  for (const auto& c : cases) {
    if (test::FileExists(aside)) {  // back to the uninstalled state for the next case
      ASSERT_TRUE(MoveFileExW(aside.c_str(), lib.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    (void)DeleteTree(reg.User(), SettingsKey());
    Record().SetMonitoringEnabled(1);
    Record().SetStoreWithPrimaryAPI(c.storeWithPrimary);
    Record().SetOutputFormat(2);
    Record().SetVersion(5);
    ASSERT_TRUE(Save());
    EXPECT_TRUE(reporter.codes.empty());
    EXPECT_EQ(Content(aside), kLibrary);
    EXPECT_EQ(Content(lib), kMonitor);
    for (const wchar_t* name : {L"OutputFile", L"Overwrite", L"LogEntryExit", L"LogDebugView",
                                L"DisableErrBufferEmpty", L"OutputFormat", L"MessageSize",
                                L"Version"}) {
      EXPECT_TRUE(ValueExists(reg.User(), SettingsKey(), name)) << name;
    }
    EXPECT_EQ(ValueExists(reg.User(), SettingsKey(), L"StoreWithPrimaryAPI"), c.storeWritten);
  }
  MonitoringState reread;
  reread.J2534Count = 1;
  ASSERT_TRUE(reread.J2534[0].SetFunctionLibrary(lib));
  ReadImplementationSettings(reread, reg.Roots(), ApiKind::J2534);
  EXPECT_EQ(reread.J2534[0].OutputFormat(), 2);
  EXPECT_EQ(reread.J2534[0].Version(), 5u);
  EXPECT_EQ(reread.J2534[0].OutputFile(), L"D:\\Logs\\J2534\\lib.txt");
}

TEST_F(LibrarySwap, SwitchOnWhenInstalledTouchesNoFile) {
  ASSERT_TRUE(MoveFileW(lib.c_str(), aside.c_str()));
  MakeFile(L"lib.dll", "older monitor copy");
  Record().SetMonitoringEnabled(1);
  ASSERT_TRUE(Save());
  EXPECT_EQ(Content(lib), "older monitor copy");
  EXPECT_EQ(Content(aside), kLibrary);
  EXPECT_TRUE(ValueExists(reg.User(), SettingsKey(), L"OutputFile"));
}

TEST_F(LibrarySwap, SwitchOffWhenNotInstalledTouchesNothing) {
  ASSERT_TRUE(Save());
  EXPECT_EQ(Content(lib), kLibrary);
  EXPECT_FALSE(test::FileExists(aside));
  EXPECT_FALSE(KeyExists(reg.User(), SettingsKey()));
}

TEST_F(LibrarySwap, SwitchOffRestoresAndKeepsSettings) {
  Install();
  SetDword(reg.User(), SettingsKey(), L"OutputFormat", 2);
  const std::wstring settingsBefore = test::Snapshot(reg.User(), SettingsKey());
  ASSERT_TRUE(Save());
  EXPECT_TRUE(reporter.codes.empty());
  EXPECT_EQ(Content(lib), kLibrary);
  EXPECT_FALSE(test::FileExists(aside));
  EXPECT_EQ(settingsBefore, test::Snapshot(reg.User(), SettingsKey()));
}

TEST_F(LibrarySwap, MessageSizeListGoesIntoThePerApiKey) {
  ASSERT_TRUE(Save());
  for (const wchar_t* name : {L"MessageSize00", L"MessageSize01", L"MessageSize02", L"Version"})
    EXPECT_TRUE(ValueExists(reg.User(), PerApiKey(), name)) << name;
  EXPECT_FALSE(ValueExists(reg.User(), PerApiKey(), L"MessageSize03"));
  EXPECT_FALSE(KeyExists(reg.User(), PerApiKey() + L"\\MessageSizes"));
}

// A save of several implementations writes each API's list once: the first
// call writes it and says so, a call told it is written leaves the key alone.
TEST_F(LibrarySwap, MessageSizeListIsWrittenOncePerSave) {
  bool listWritten = true;
  ASSERT_TRUE(SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, 0, reporter, &listWritten));
  EXPECT_FALSE(ValueExists(reg.User(), PerApiKey(), L"MessageSize00"));
  EXPECT_TRUE(listWritten);
  listWritten = false;
  ASSERT_TRUE(SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, 0, reporter, &listWritten));
  EXPECT_TRUE(listWritten);
  for (const wchar_t* name : {L"MessageSize00", L"MessageSize01", L"MessageSize02", L"Version"})
    EXPECT_TRUE(ValueExists(reg.User(), PerApiKey(), name)) << name;
}

TEST_F(LibrarySwap, SettingsKeysSurviveLoggingOff) {
  Record().SetMonitoringEnabled(1);
  ASSERT_TRUE(Save());
  // Method check: a volatile key refuses a persistent child on this platform.
  RegKey volatileKey, child;
  ASSERT_EQ(volatileKey.Create(reg.User(), L"volatile", KEY_ALL_ACCESS, REG_OPTION_VOLATILE),
            ERROR_SUCCESS);
  if (child.Create(volatileKey.Get(), L"child", KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE) ==
      ERROR_SUCCESS) {
    GTEST_SKIP() << "volatile keys are not told apart here";
  }
  for (const std::wstring& key : {PerApiKey(), SettingsKey()}) {
    RegKey probe;
    EXPECT_EQ(probe.Create(reg.User(), key + L"\\probe", KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE),
              ERROR_SUCCESS)
        << "volatile: " << std::string(key.begin(), key.end());
  }
}

TEST_F(LibrarySwap, FailuresNeverLoseALibrary) {
  enum Setup {
    kLibraryHeld,
    kMonitorHeld,
    kMonitorMissing,
    kFolderAtAside,
    kCopyHeldOnSwitchOff,
    kAsideHeldOnSwitchOff,
    kCopyReadOnly
  };
  const struct {
    const char* name;
    Setup setup;
    int enable;
    bool fails;           // the file step fails and is reported
    bool monitoredAfter;  // which state must stand afterwards
  } cases[] = {
      {"library in use at switch-on", kLibraryHeld, 1, true, false},
      {"monitor library in use at switch-on", kMonitorHeld, 1, true, false},
      {"monitor library missing at switch-on", kMonitorMissing, 1, true, false},
      {"a read-only folder stands at the set-aside path", kFolderAtAside, 1, true, false},
      {"monitor copy in use at switch-off", kCopyHeldOnSwitchOff, 0, true, true},
      // The copy is already out of the way when the move back fails: it returns.
      {"set-aside library in use at switch-off", kAsideHeldOnSwitchOff, 0, true, true},
      // Read-only is no obstacle: the copy is ours to delete.
      {"monitor copy read-only at switch-off", kCopyReadOnly, 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScratchDir folder;
    lib = folder / L"lib.dll";
    aside = folder / L"_lib.dll";
    monitor = folder / L"monitor.dll";
    ASSERT_TRUE(test::WriteFileText(lib, kLibrary));
    if (c.setup != kMonitorMissing) {
      ASSERT_TRUE(test::WriteFileText(monitor, kMonitor));
    }
    if (c.enable == 0) Install();
    if (c.setup == kFolderAtAside) {
      ASSERT_TRUE(CreateDirectoryW(aside.c_str(), nullptr));
      ASSERT_TRUE(SetFileAttributesW(aside.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    ASSERT_TRUE(Record().SetFunctionLibrary(lib));
    ASSERT_TRUE(Record().SetMonitorLibrary(monitor));
    Record().SetMonitoringEnabled(c.enable);
    (void)DeleteTree(reg.User(), PerApiKey());
    reporter.codes.clear();
    {
      std::unique_ptr<HeldOpen> held;
      if (c.setup == kLibraryHeld || c.setup == kCopyHeldOnSwitchOff) held.reset(new HeldOpen(lib));
      if (c.setup == kMonitorHeld) held.reset(new HeldOpen(monitor));
      if (c.setup == kAsideHeldOnSwitchOff) held.reset(new HeldOpen(aside));
      if (held) {
        ASSERT_TRUE(held->Valid());
      }
      if (c.setup == kCopyReadOnly) {
        ASSERT_TRUE(SetFileAttributesW(lib.c_str(), FILE_ATTRIBUTE_READONLY));
      }
      EXPECT_TRUE(Save()) << "the per-API key opened, so the save itself succeeds";
    }
    SetFileAttributesW(lib.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (c.setup == kFolderAtAside) {
      SetFileAttributesW(aside.c_str(), FILE_ATTRIBUTE_NORMAL);
      EXPECT_EQ(Content(lib), kLibrary);
      EXPECT_TRUE(RemoveDirectoryW(aside.c_str())) << "the folder is left alone";
      continue;
    }
    EXPECT_EQ(test::LeftoverCount(folder.Path()), 0) << "no copy is left behind";
    if (c.fails) {
      ASSERT_EQ(reporter.codes.size(), 1u) << "the failed file step is reported once";
      EXPECT_NE(reporter.codes[0], 0u);
      EXPECT_FALSE(SystemErrorText(reporter.codes[0]).empty());
    } else {
      EXPECT_TRUE(reporter.codes.empty());
    }
    ExpectNoLibraryLost();
    if (c.monitoredAfter) {
      EXPECT_EQ(Content(lib), kMonitor);
      EXPECT_EQ(Content(aside), kLibrary);
    } else {
      EXPECT_EQ(Content(lib), kLibrary);
      EXPECT_FALSE(test::FileExists(aside));
    }
    EXPECT_TRUE(ValueExists(reg.User(), PerApiKey(), L"MessageSize02"))
        << "the message-size list is written after a failure too";
  }
}

// A file that appears at the library path between setting the library aside
// and copying the monitor library is never overwritten.
TEST_F(LibrarySwap, SwitchOnNeverOverwritesAFileThatAppeared) {
  const struct {
    const char* name;
    bool libraryPutBack;  // else another file appeared while the library stays aside
  } cases[] = {{"the disable mode put the library back", true},
               {"another file appeared", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(SetLibraryAside(lib, aside), static_cast<DWORD>(ERROR_SUCCESS));
    if (c.libraryPutBack) {
      ASSERT_TRUE(RestoreLibrary(lib, aside));
    } else {
      MakeFile(L"lib.dll", "another file");
    }
    const DWORD code = InstallMonitorCopy(monitor, lib, aside);
    EXPECT_TRUE(code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) << code;
    EXPECT_EQ(Content(lib), c.libraryPutBack ? kLibrary : "another file");
    EXPECT_EQ(Content(aside), c.libraryPutBack ? "<missing>" : kLibrary);
    if (!c.libraryPutBack) {  // back to the start for the next case
      ASSERT_TRUE(DeleteFileW(lib.c_str()));
      ASSERT_TRUE(MoveFileW(aside.c_str(), lib.c_str()));
    }
  }
}

TEST_F(LibrarySwap, OverlongLibraryPathIsRefusedUntouched) {
  // A library path of 259 characters: its set-aside name would not fit.
  const std::wstring folder = dir.Path() + L"\\" + std::wstring(250 - dir.Path().size(), L'f');
  ASSERT_TRUE(test::MakeDir(folder));
  const std::wstring longLib = folder + L"\\lib.dll";
  ASSERT_EQ(longLib.size(), 259u);
  ASSERT_TRUE(test::WriteFileText(longLib, kLibrary));
  ASSERT_TRUE(Record().SetFunctionLibrary(longLib));
  Record().SetMonitoringEnabled(1);
  const std::string before = test::FolderListing(folder);
  DWORD code = 0;
  RegKey perApi;
  ASSERT_EQ(perApi.Create(reg.User(), PerApiKey(), KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_FALSE(ApplyMonitorState(Record(), perApi.Get(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(before, test::FolderListing(folder));
  Record().SetMonitoringEnabled(0);
  EXPECT_TRUE(ApplyMonitorState(Record(), perApi.Get(), &code)) << "nothing can be installed";
}

TEST_F(LibrarySwap, IndexOutsideTheTableIsRefused) {
  for (int index : {-1, 1, 20, 21}) {
    EXPECT_FALSE(SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, index, reporter)) << index;
    EXPECT_FALSE(SavePduMonitoring(state, reg.Roots(), index, reporter)) << index;
  }
  EXPECT_FALSE(KeyExists(reg.User(), PerApiKey()));
  EXPECT_TRUE(reporter.codes.empty());
}

TEST_F(LibrarySwap, PduWithMissingLibraryIsStillSaved) {
  state.PduCount = 1;
  ApiImplementation& p = state.Pdu[0];
  ASSERT_TRUE(p.SetFunctionLibrary(dir / L"nopdu.dll"));
  state.PduMessageSizes.count = 1;
  EXPECT_TRUE(SavePduMonitoring(state, reg.Roots(), 0, reporter));
  EXPECT_TRUE(reporter.codes.empty());
  const std::wstring key = ProductPath({L"Monitoring", kPduApiName});
  EXPECT_TRUE(ValueExists(reg.User(), key, L"MessageSize00"));
  EXPECT_FALSE(ValueExists(reg.User(), key, L"MessageSize01"));
}

TEST(LibrarySwapText, SystemErrorText) {
  EXPECT_FALSE(SystemErrorText(ERROR_FILE_NOT_FOUND).empty());
  EXPECT_FALSE(SystemErrorText(ERROR_SHARING_VIOLATION).empty());
  EXPECT_TRUE(SystemErrorText(0x2FFFFFFF).empty());
  EXPECT_LT(SystemErrorText(ERROR_ACCESS_DENIED).size(), 260u);
}

}  // namespace
}  // namespace varrow
