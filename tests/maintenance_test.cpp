#include "monitoring/maintenance.h"

#include <gtest/gtest.h>

#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

using test::FolderListing;
using test::HeldOpen;
using test::KeyExists;
using test::SetDword;
using test::SetString;

class Maintenance : public test::MonitoringFixture {
 protected:
  void SetUp() override {
    test::MakeDir(dir / L"windows");
    test::MakeDir(dir / L"system32");
    test::MakeDir(dir / L"j2534");
    layout.roots = reg.Roots();
    layout.windowsDir = dir / L"windows";
    layout.systemDir = dir / L"system32";
  }
  void WriteRp1210List(const std::string& list) {
    ASSERT_TRUE(test::WriteFileText(layout.windowsDir + L"\\RP121032.ini",
                                    "[RP1210Support]\r\nAPIImplementations=" + list + "\r\n"));
  }
  // A monitored library: the library set aside, a monitor copy in its place.
  void Monitored(const std::wstring& folder, const std::wstring& name) {
    ASSERT_TRUE(test::WriteFileText(folder + L"\\_" + name, "library"));
    ASSERT_TRUE(test::WriteFileText(folder + L"\\" + name, "monitor"));
  }
  void ExpectRestored(const std::wstring& folder, const std::wstring& name) {
    EXPECT_EQ(Content(folder + L"\\" + name), "library") << std::string(name.begin(), name.end());
    EXPECT_FALSE(test::FileExists(folder + L"\\_" + name));
  }
  std::string AllFiles() {
    return FolderListing(dir / L"windows") + "|" + FolderListing(dir / L"system32") + "|" +
           FolderListing(dir / L"j2534");
  }
  MachineLayout layout;
};

TEST_F(Maintenance, Rp1210ListIsSplitAndTrimmed) {
  Seal();
  const struct {
    std::string ini;
    std::vector<std::wstring> names;
  } cases[] = {
      {"ABC32, XYZ32", {L"ABC32", L"XYZ32"}},
      {" ,ONE ,, \tTWO\t,", {L"ONE", L"TWO"}},
      {"", {}},
      {"..\\evil, C:\\x, ok", {L"ok"}},
  };
  for (const auto& c : cases) {
    WriteRp1210List(c.ini);
    EXPECT_EQ(ReadRp1210Implementations(layout.windowsDir), c.names) << c.ini;
  }
  EXPECT_TRUE(ReadRp1210Implementations(dir / L"nofolder").empty());
}

TEST_F(Maintenance, DisableRestoresRp1210AndRunsTwiceAsNoOp) {
  WriteRp1210List("ABC32, XYZ32");
  const std::wstring sys = layout.systemDir;
  ASSERT_TRUE(test::WriteFileText(sys + L"\\ABC32.dll", "abc"));
  Monitored(sys, L"XYZ32.dll");
  Seal();
  DisableAllMonitoring(layout);
  ExpectRestored(sys, L"XYZ32.dll");
  EXPECT_EQ(Content(sys + L"\\ABC32.dll"), "abc");
  const std::string after = AllFiles();
  const std::wstring userAfter = test::Snapshot(reg.User());
  DisableAllMonitoring(layout);
  EXPECT_EQ(after, AllFiles());
  EXPECT_EQ(userAfter, test::Snapshot(reg.User()));
}

TEST_F(Maintenance, DisableRestoresJ2534AndPduLibraries) {
  const std::wstring j = dir / L"j2534";
  test::MakeDir(dir / L"pathdir");
  Monitored(j, L"full.dll");
  Monitored(dir / L"pathdir", L"bare.dll");
  ASSERT_TRUE(test::WriteFileText(j + L"\\_halfway.dll", "library"));  // copy failed earlier
  Monitored(j, L"pdu.dll");
  AddJ2534Device(L"A", L"V", L"N", j + L"\\full.dll");
  AddJ2534Device(L"B", L"V", L"N", L"bare.dll");
  AddJ2534Device(L"C", L"V", L"N", j + L"\\halfway.dll");
  SetPduLibrary(j + L"\\pdu.dll");
  // Monitoring settings stay as they are.
  SetDword(reg.User(), ProductPath({L"Monitoring", kJ2534ApiName, L"x"}), L"OutputFormat", 2);
  const std::wstring userBefore = test::Snapshot(reg.User());
  Seal();
  test::ScopedPathVariable path(dir / L"pathdir");
  DisableAllMonitoring(layout);
  ExpectRestored(j, L"full.dll");
  ExpectRestored(dir / L"pathdir", L"bare.dll");
  ExpectRestored(j, L"halfway.dll");
  ExpectRestored(j, L"pdu.dll");
  EXPECT_EQ(userBefore, test::Snapshot(reg.User()));
}

// A registration by a relative path whose library is nowhere to be found names
// no file of its own: disable must not restore it against its own working folder.
TEST_F(Maintenance, RelativeRegistrationWithNothingFoundIsLeftAlone) {
  test::MakeDir(dir / L"work\\sub");
  ASSERT_TRUE(test::WriteFileText(dir / L"work\\sub\\_rel.dll", "library"));
  AddJ2534Device(L"R", L"V", L"N", L"sub\\rel.dll");
  Seal();
  wchar_t saved[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW((dir / L"work").c_str()));
  test::ScopedPathVariable path(dir / L"nowhere");
  DisableAllMonitoring(layout);
  SetCurrentDirectoryW(saved);
  EXPECT_EQ(Content(dir / L"work\\sub\\_rel.dll"), "library");
  EXPECT_FALSE(test::FileExists(dir / L"work\\sub\\rel.dll"));
}

TEST_F(Maintenance, FailedRestoreLeavesBothFilesAndGoesOn) {
  const std::wstring j = dir / L"j2534";
  Monitored(j, L"held.dll");
  Monitored(j, L"readonly.dll");
  Monitored(j, L"later.dll");
  AddJ2534Device(L"A", L"V", L"N", j + L"\\held.dll");
  AddJ2534Device(L"B", L"V", L"N", j + L"\\readonly.dll");
  AddJ2534Device(L"C", L"V", L"N", j + L"\\later.dll");
  Seal();
  ASSERT_TRUE(SetFileAttributesW((j + L"\\readonly.dll").c_str(), FILE_ATTRIBUTE_READONLY));
  {
    HeldOpen held(j + L"\\held.dll");
    ASSERT_TRUE(held.Valid());
    DisableAllMonitoring(layout);
  }
  SetFileAttributesW((j + L"\\readonly.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(Content(j + L"\\held.dll"), "monitor") << "the monitored state stands";
  EXPECT_EQ(Content(j + L"\\_held.dll"), "library");
  // A read-only monitor copy is either replaced in one step (as this platform
  // may do) or left with the library still set aside: never neither.
  const std::string readOnly = Content(j + L"\\readonly.dll");
  if (readOnly == "monitor") {
    EXPECT_EQ(Content(j + L"\\_readonly.dll"), "library");
  } else {
    ExpectRestored(j, L"readonly.dll");
  }
  ExpectRestored(j, L"later.dll");
}

TEST_F(Maintenance, RestoreLibraryCases) {
  Seal();
  const std::wstring j = dir / L"j2534";
  // Nothing set aside: nothing changes.
  ASSERT_TRUE(test::WriteFileText(j + L"\\plain.dll", "plain"));
  EXPECT_TRUE(RestoreLibrary(j + L"\\plain.dll", j + L"\\_plain.dll"));
  EXPECT_EQ(Content(j + L"\\plain.dll"), "plain");
  // Set aside with nothing at the library path: moved back.
  ASSERT_TRUE(test::WriteFileText(j + L"\\_alone.dll", "library"));
  EXPECT_TRUE(RestoreLibrary(j + L"\\alone.dll", j + L"\\_alone.dll"));
  ExpectRestored(j, L"alone.dll");
  // Empty paths are refused.
  EXPECT_FALSE(RestoreLibrary(L"", j + L"\\_alone.dll"));
}

TEST_F(Maintenance, NothingRegisteredChangesNothing) {
  ASSERT_TRUE(test::WriteFileText(layout.systemDir + L"\\_stray.dll", "stray"));
  const std::string before = AllFiles();
  Seal();
  DisableAllMonitoring(layout);
  UninstallUserSettings(layout);
  EXPECT_EQ(before, AllFiles());
}

TEST_F(Maintenance, UninstallDeletesEachVendorTreeThenDisables) {
  const std::wstring withTree = L"S-1-5-21-0-0-0-1001";
  const std::wstring without = L"S-1-5-21-0-0-0-1002";
  SetDword(reg.Users(), withTree + L"\\" + ProductPath({L"DefaultDevice"}), L"SerialNumber", 7);
  SetDword(reg.Users(), withTree + L"\\SOFTWARE\\OVRA\\Other", L"Keep", 1);
  SetDword(reg.Users(), without + L"\\SOFTWARE\\Other", L"Keep", 1);
  const std::wstring otherBefore = test::Snapshot(reg.Users(), without);
  Monitored(dir / L"j2534", L"lib.dll");
  AddJ2534Device(L"A", L"V", L"N", (dir / L"j2534") + L"\\lib.dll");
  Seal();
  UninstallUserSettings(layout);
  EXPECT_FALSE(KeyExists(reg.Users(), withTree + L"\\" + ProductPath()));
  EXPECT_TRUE(KeyExists(reg.Users(), withTree + L"\\SOFTWARE\\OVRA\\Other"));
  EXPECT_EQ(otherBefore, test::Snapshot(reg.Users(), without));
  ExpectRestored(dir / L"j2534", L"lib.dll");
}

TEST(MaintenanceLayout, RealLayoutHasTheMachineFolders) {
  const MachineLayout real = MachineLayout::Real();
  EXPECT_FALSE(real.windowsDir.empty());
  EXPECT_FALSE(real.systemDir.empty());
  EXPECT_EQ(real.roots.machine, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(real.roots.users, HKEY_USERS);
  EXPECT_NE(real.systemDir, real.windowsDir);
}

// Monitoring on while the library path is empty (the monitor copy quarantined,
// a put-back failed twice), so that no application can load the library: the
// start and Apply copy the monitor library again, "disable" puts the library
// back, and each says what it did. A library monitored as it should be is
// left alone (switched off by "disable" only).
TEST_F(Maintenance, LibraryPathLeftEmptyIsRepairedAndReported) {
  using Outcome = LibraryRepair::Outcome;
  const std::wstring j = dir / L"j2534";
  const std::wstring monitor = MakeFile(L"monitor.dll", "monitor");
  SetMonitorDefault(ApiKind::J2534, monitor);
  SetMonitorDefault(ApiKind::PDU, monitor);
  AddJ2534Device(L"A", L"V", L"N", j + L"\\a.dll");
  AddJ2534Device(L"B", L"V", L"N", j + L"\\b.dll");
  SetPduLibrary(j + L"\\pdu.dll");
  Seal();
  enum class Mode { kStart, kApply, kDisable };
  const struct {
    const char* name;
    Mode mode;
    bool monitorMissing;
    const char* atLibrary;
    const char* atAside;
    Outcome outcome;
  } cases[] = {
      {"start", Mode::kStart, false, "monitor", "library", Outcome::kMonitorCopied},
      {"start without a monitor library", Mode::kStart, true, "library", "<missing>",
       Outcome::kLibraryPutBack},
      {"Apply", Mode::kApply, false, "monitor", "library", Outcome::kMonitorCopied},
      {"disable", Mode::kDisable, false, "library", "<missing>", Outcome::kLibraryPutBack},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const wchar_t* name : {L"a.dll", L"pdu.dll"}) {
      DeleteFileW((j + L"\\" + name).c_str());
      ASSERT_TRUE(test::WriteFileText(j + L"\\_" + name, "library"));
    }
    Monitored(j, L"b.dll");
    if (c.monitorMissing) {
      ASSERT_TRUE(MoveFileW(monitor.c_str(), (monitor + L".away").c_str()));
    }
    std::vector<LibraryRepair> repairs;
    test::RecordingReporter reporter;
    switch (c.mode) {
      case Mode::kStart:
        repairs = StartUpMaintenance(layout);
        break;
      case Mode::kApply: {
        MonitoringState state;
        LoadMonitoringConfiguration(state, reg.Roots(), 0, L"");
        SaveMonitoringOfKind(state, reg.Roots(), ApiKind::J2534, state.J2534Count, true, reporter);
        SaveMonitoringOfKind(state, reg.Roots(), ApiKind::PDU, state.PduCount, false, reporter);
        repairs = reporter.repairs;
        EXPECT_TRUE(reporter.codes.empty());
        break;
      }
      case Mode::kDisable:
        DisableAllMonitoring(layout, &repairs);
        break;
    }
    if (c.monitorMissing) {
      ASSERT_TRUE(MoveFileW((monitor + L".away").c_str(), monitor.c_str()));
    }
    for (const wchar_t* name : {L"a.dll", L"pdu.dll"}) {
      EXPECT_EQ(Content(j + L"\\" + name), c.atLibrary);
      EXPECT_EQ(Content(j + L"\\_" + name), c.atAside);
    }
    const bool disabled = c.mode == Mode::kDisable;
    EXPECT_EQ(Content(j + L"\\b.dll"), disabled ? "library" : "monitor");
    EXPECT_EQ(Content(j + L"\\_b.dll"), disabled ? "<missing>" : "library");
    ASSERT_EQ(repairs.size(), 2u);
    EXPECT_EQ(repairs[0].library, j + L"\\a.dll");
    EXPECT_EQ(repairs[1].library, j + L"\\pdu.dll");
    for (const LibraryRepair& repair : repairs) {
      EXPECT_EQ(repair.outcome, c.outcome);
      EXPECT_EQ(repair.code != ERROR_SUCCESS, c.monitorMissing);
      EXPECT_EQ(RepairText(repair).rfind(repair.library + L"\n", 0), 0u);
    }
    EXPECT_EQ(test::LeftoverCount(j), 0);
  }
}

}  // namespace
}  // namespace varrow
