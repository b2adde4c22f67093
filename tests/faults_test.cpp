// File-system faults during Apply and disable, tried for real: libraries held
// open without sharing, a set-aside name taken by a folder, read-only copies, a
// missing monitor library, a library that vanishes between discovery and
// Apply, and two appliers at once. After every case each implementation
// library still exists at its path or at its set-aside path, and the machine
// root is unchanged (checked by the fixture).
#include <gtest/gtest.h>

#include <thread>

#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "monitoring/maintenance.h"
#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

using test::HeldOpen;
using test::RecordingReporter;
using test::SetString;

constexpr int kLibraries = 6;

class Faults : public test::MonitoringFixture {
 protected:
  void SetUp() override {
    test::MakeDir(dir / L"lib");
    monitor = MakeFile(L"monitor.dll", "monitor");
    SetString(reg.Machine(), FactoryPath({L"Monitoring", kJ2534ApiName}), L"MonitorLibrary",
              monitor);
    for (int i = 0; i < kLibraries; ++i) {
      const std::wstring name = L"lib" + std::to_wstring(i) + L".dll";
      libraries.push_back(MakeFile(L"lib\\" + name, Original(i)));
      SetString(reg.Machine(), std::wstring(kJ2534RegistrationPath) + L"\\Dev" + std::to_wstring(i),
                L"FunctionLibrary", libraries.back());
    }
    Seal();
  }
  static std::string Original(int i) { return "library " + std::to_string(i); }

  MonitoringState Loaded() {
    MonitoringState state;
    LoadMonitoringConfiguration(state, reg.Roots(), 0, L"");
    EXPECT_EQ(state.J2534Count, kLibraries);
    return state;
  }
  void SetAll(MonitoringState& state, int on) {
    for (int i = 0; i < state.J2534Count; ++i) state.J2534[i].SetMonitoringEnabled(on);
  }
  void SaveAll(MonitoringState& state, FileErrorReporter& reporter) {
    for (int i = 0; i < state.J2534Count; ++i) {
      if (state.J2534[i].LibraryFound() != 0)
        SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, i, reporter);
    }
  }
  // The invariant: every library's own content is at its path or set aside.
  void ExpectNoLibraryLost(int except = -1) {
    for (int i = 0; i < kLibraries; ++i) {
      if (i == except) continue;
      const bool atPath = Content(libraries[i]) == Original(i);
      const bool aside = Content(AsidePath(libraries[i])) == Original(i);
      EXPECT_TRUE(atPath || aside) << "library " << i << " lost";
    }
  }
  // Monitoring fully on (or off) for library i.
  bool On(int i) {
    return Content(AsidePath(libraries[i])) == Original(i) && Content(libraries[i]) == "monitor";
  }
  bool Off(int i) {
    return Content(libraries[i]) == Original(i) && !test::FileExists(AsidePath(libraries[i]));
  }

  std::wstring monitor;
  std::vector<std::wstring> libraries;
};

TEST_F(Faults, LibraryHeldOpenWithoutSharing) {
  // (A file held without sharing cannot be read either: the files are
  // checked once it is released.)
  MonitoringState state = Loaded();
  RecordingReporter reporter;
  SetAll(state, 1);
  {
    HeldOpen held(libraries[2]);
    ASSERT_TRUE(held.Valid());
    SaveAll(state, reporter);
  }
  ExpectNoLibraryLost();
  EXPECT_EQ(reporter.codes.size(), 1u) << "only the held library fails";
  EXPECT_TRUE(Off(2));
  for (int i : {0, 1, 3, 4, 5}) EXPECT_TRUE(On(i)) << i;

  // Switching off while the monitor copy is held: both files stay.
  SetAll(state, 0);
  reporter.codes.clear();
  {
    HeldOpen held(libraries[4]);
    ASSERT_TRUE(held.Valid());
    SaveAll(state, reporter);
  }
  ExpectNoLibraryLost();
  EXPECT_EQ(reporter.codes.size(), 1u);
  EXPECT_TRUE(On(4)) << "the held copy and the set-aside library stay as they were";

  // Released: the next Apply finishes the job.
  reporter.codes.clear();
  SaveAll(state, reporter);
  EXPECT_TRUE(reporter.codes.empty());
  for (int i = 0; i < kLibraries; ++i) EXPECT_TRUE(Off(i)) << i;
}

TEST_F(Faults, SetAsideNameTakenByAFolderAndReadOnlyCopies) {
  ASSERT_TRUE(test::MakeDir(AsidePath(libraries[1])));
  MonitoringState state = Loaded();
  RecordingReporter reporter;
  SetAll(state, 1);
  SaveAll(state, reporter);
  ExpectNoLibraryLost();
  EXPECT_EQ(reporter.codes.size(), 1u);
  EXPECT_EQ(Content(libraries[1]), Original(1)) << "the library stays at its path";

  // A read-only monitor copy is no obstacle: the disable mode puts the library back.
  SetFileAttributesW(libraries[3].c_str(), FILE_ATTRIBUTE_READONLY);
  MachineLayout layout;
  layout.roots = reg.Roots();
  DisableAllMonitoring(layout);
  SetFileAttributesW(libraries[3].c_str(), FILE_ATTRIBUTE_NORMAL);
  ExpectNoLibraryLost();
  for (int i : {0, 2, 3, 4, 5}) EXPECT_TRUE(Off(i)) << i;
  EXPECT_EQ(test::LeftoverCount(dir / L"lib"), 0);
  RemoveDirectoryW(AsidePath(libraries[1]).c_str());
}

TEST_F(Faults, MissingMonitorLibrary) {
  ASSERT_TRUE(DeleteFileW(monitor.c_str()));
  MonitoringState state = Loaded();
  RecordingReporter reporter;
  SetAll(state, 1);
  SaveAll(state, reporter);
  EXPECT_EQ(reporter.codes.size(), static_cast<std::size_t>(kLibraries));
  for (int i = 0; i < kLibraries; ++i) {
    EXPECT_TRUE(Off(i)) << "the library went back to its path: " << i;
  }
}

TEST_F(Faults, LibraryVanishesBetweenDiscoveryAndApply) {
  MonitoringState state = Loaded();
  ASSERT_TRUE(DeleteFileW(libraries[0].c_str()));
  RecordingReporter reporter;
  SetAll(state, 1);
  SaveAll(state, reporter);
  ExpectNoLibraryLost(0);
  EXPECT_EQ(reporter.codes.size(), 1u);
  EXPECT_FALSE(test::FileExists(libraries[0])) << "no monitor copy where no library was";
  EXPECT_FALSE(test::FileExists(AsidePath(libraries[0])));
  for (int i = 1; i < kLibraries; ++i) EXPECT_TRUE(On(i)) << i;

  // Vanishing while monitored: the set-aside library is the one left; the
  // next switch-off and the disable mode put it back.
  ASSERT_TRUE(DeleteFileW(libraries[3].c_str()));
  SetAll(state, 0);
  reporter.codes.clear();
  SaveAll(state, reporter);
  ExpectNoLibraryLost(0);
  for (int i = 1; i < kLibraries; ++i) EXPECT_TRUE(Off(i)) << i;
}

TEST_F(Faults, TwoAppliersAtOnce) {
  // Two appliers with their own state, as two copies of the program would
  // have, switching the same libraries on together and then off together.
  for (int round = 0; round < 5; ++round) {
    for (int on = 1; on >= 0; --on) {
      MonitoringState first = Loaded(), second = Loaded();
      SetAll(first, on);
      SetAll(second, on);
      RecordingReporter firstReporter, secondReporter;
      std::thread other([&] { SaveAll(second, secondReporter); });
      SaveAll(first, firstReporter);
      other.join();
      ExpectNoLibraryLost();
      for (int i = 0; i < kLibraries; ++i) {
        EXPECT_TRUE(on ? On(i) : Off(i)) << "round " << round << ", library " << i;
      }
      EXPECT_EQ(test::LeftoverCount(dir / L"lib"), 0) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace varrow
