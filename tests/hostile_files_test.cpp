// Hostile files and paths, for real under Wine: RP121032.ini files that are
// binary, empty, 1 MiB long or without their section; a PATH of 32,767
// characters; library paths at and past 260 characters; paths with characters
// outside the ANSI code page.
#include <gtest/gtest.h>

#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "monitoring/maintenance.h"
#include "tests/hostile_fixtures.h"

namespace varrow {
namespace {

using test::CaseCounter;
using test::ScopedPathVariable;
using test::SetString;

class HostileFiles : public test::MonitoringFixture {
 protected:
  void SetUp() override {
    test::MakeDir(dir / L"windows");
    test::MakeDir(dir / L"system32");
    layout.roots = reg.Roots();
    layout.windowsDir = dir / L"windows";
    layout.systemDir = dir / L"system32";
  }
  void SetAside(const std::wstring& folder, const std::wstring& name) {
    ASSERT_TRUE(test::WriteFileText(folder + L"\\_" + name, "library"));
    ASSERT_TRUE(test::WriteFileText(folder + L"\\" + name, "monitor"));
  }
  bool Restored(const std::wstring& folder, const std::wstring& name) {
    return Content(folder + L"\\" + name) == "library" && !test::FileExists(folder + L"\\_" + name);
  }
  MachineLayout layout;
  CaseCounter cases;
};

TEST_F(HostileFiles, Rp1210IniOfEveryShape) {
  Seal();
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7 + 3) & 0xFF);
  const std::string huge = "[RP1210Support]\r\nAPIImplementations=AAA32," +
                           std::string(1024 * 1024, 'X') + ",BBB32\r\n";
  const struct {
    const char* label;
    std::string ini;
    bool aaa, bbb;  // restored afterwards
  } table[] = {
      {"binary", binary, false, false},
      {"empty", "", false, false},
      {"1 MiB value, cut after the first name", huge, true, false},
      {"no section", "APIImplementations=AAA32,BBB32\r\n", false, false},
      {"other section", "[Other]\r\nAPIImplementations=AAA32\r\n", false, false},
      {"letter case and blanks", "[rp1210support]\r\napiimplementations = AAA32 ,BBB32\r\n", true, true},
      {"names with paths", "[RP1210Support]\r\nAPIImplementations=..\\AAA32,C:BBB32\r\n", false, false},
      {"NUL inside", std::string("[RP1210Support]\r\nAPIImplementations=AAA32\0,BBB32\r\n", 50),
       true, false},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.label);
    ASSERT_TRUE(test::WriteFileText(layout.windowsDir + L"\\RP121032.ini", row.ini));
    SetAside(layout.systemDir, L"AAA32.dll");
    SetAside(layout.systemDir, L"BBB32.dll");
    DisableAllMonitoring(layout);
    EXPECT_EQ(Restored(layout.systemDir, L"AAA32.dll"), row.aaa);
    EXPECT_EQ(Restored(layout.systemDir, L"BBB32.dll"), row.bbb);
    // Whatever happened, no library was lost.
    for (const wchar_t* name : {L"AAA32.dll", L"BBB32.dll"}) {
      EXPECT_TRUE(Content(layout.systemDir + L"\\" + name) == "library" ||
                  Content(layout.systemDir + L"\\_" + name) == "library");
    }
    cases.Add();
  }
}

TEST_F(HostileFiles, PathOf32767Characters) {
  const std::wstring folder = dir / L"found";
  test::MakeDir(folder);
  MakeFile(L"found\\onpath.dll", "library");
  Seal();
  // Thousands of folders that do not exist, the real one last: 32,766
  // characters, the most an environment variable holds (32,767 with its
  // terminator).
  constexpr std::size_t kLongest = 32766;
  std::wstring path;
  int folders = 0;
  while (path.size() + folder.size() + 40 < kLongest) {
    path += L"C:\\nowhere\\folder" + std::to_wstring(folders++) + L";";
  }
  path += folder;
  path.insert(0, kLongest - path.size(), L';');  // empty pieces are skipped
  ASSERT_EQ(path.size(), kLongest);
  {
    ScopedPathVariable scoped(path);
    ASSERT_EQ(GetEnvironmentVariableW(L"PATH", nullptr, 0), kLongest + 1) << "PATH was not set whole";
    std::wstring library = L"onpath.dll";
    EXPECT_TRUE(FindLibraryOnPath(&library));
    EXPECT_EQ(library, folder + L"\\onpath.dll");
    std::wstring missing = L"missing.dll";
    EXPECT_FALSE(FindLibraryOnPath(&missing));
    EXPECT_EQ(missing, L"missing.dll");
  }
  {
    // One piece of 32,766 characters: no combination fits a field.
    ScopedPathVariable scoped(std::wstring(kLongest, L'p'));
    std::wstring library = L"onpath.dll";
    EXPECT_FALSE(FindLibraryOnPath(&library));
    EXPECT_EQ(library, L"onpath.dll");
  }
  cases.Add(folders + 2);
}

TEST_F(HostileFiles, LibraryPathsAtAndPastTheField) {
  // A folder chain that leaves room for a library path of exactly 259 characters.
  std::wstring folder = dir.Path();
  while (folder.size() < 240) folder += L"\\dddddddddd";
  folder = folder.substr(0, 240);
  while (folder.back() == L'\\') folder.pop_back();
  ASSERT_TRUE(test::MakeDir(folder));
  std::wstring name = L"\\";
  name += std::wstring(259 - folder.size() - 5, L'f') + L".dll";
  const std::wstring library = folder + name;
  ASSERT_EQ(library.size(), 259u);
  ASSERT_TRUE(test::WriteFileText(library, "library"));
  const std::wstring monitor = MakeFile(L"monitor.dll", "monitor");
  SetString(reg.Machine(), std::wstring(kJ2534RegistrationPath) + L"\\At259", L"FunctionLibrary",
            library);
  test::SetRaw(reg.Machine(), std::wstring(kJ2534RegistrationPath) + L"\\Past260",
               L"FunctionLibrary", REG_SZ, (library + L"x").c_str(),
               static_cast<DWORD>((library.size() + 2) * sizeof(wchar_t)));
  SetString(reg.Machine(), FactoryPath({L"Monitoring", kJ2534ApiName}), L"MonitorLibrary", monitor);
  Seal();

  MonitoringState state;
  LoadMonitoringConfiguration(state, reg.Roots(), 0, L"");
  ASSERT_EQ(state.J2534Count, 2);
  EXPECT_EQ(state.J2534[0].FunctionLibrary(), library);
  EXPECT_EQ(state.J2534[0].LibraryFound(), 1);
  EXPECT_EQ(state.J2534[1].FunctionLibrary(), L"") << "a 260-character path is not taken";
  EXPECT_EQ(state.J2534[1].LibraryFound(), 0);

  // Its set-aside path would be 260 characters: switching on is refused and
  // the library stays where it is.
  test::RecordingReporter reporter;
  state.J2534[0].SetMonitoringEnabled(1);
  EXPECT_TRUE(SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, 0, reporter));
  ASSERT_EQ(reporter.codes.size(), 1u);
  EXPECT_EQ(reporter.codes[0], static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(Content(library), "library");
  cases.Add(3);
}

TEST_F(HostileFiles, CharactersOutsideTheAnsiCodePage) {
  const std::wstring folder = dir / L"\x03A9\x03BC\x03AD\x03B3\x03B1_\x5E93_\x0436";
  ASSERT_TRUE(test::MakeDir(folder));
  const std::wstring library = folder + L"\\\x03B4\x03BF\x03BA\x03B9\x03BC\x03AE.dll";
  ASSERT_TRUE(test::WriteFileText(library, "library"));
  const std::wstring monitor = MakeFile(L"\x041C\x043E\x043D.dll", "monitor");
  SetString(reg.Machine(), std::wstring(kJ2534RegistrationPath) + L"\\\x8A2D\x5099",
            L"FunctionLibrary", library);
  SetString(reg.Machine(), FactoryPath({L"Monitoring", kJ2534ApiName}), L"MonitorLibrary", monitor);
  SetString(reg.Machine(), ProductPath({kPduSupportSection}), L"FunctionLibrary", library);
  Seal();

  MonitoringState state;
  LoadMonitoringConfiguration(state, reg.Roots(), 0, L"");
  ASSERT_EQ(state.J2534Count, 1);
  EXPECT_EQ(state.J2534[0].Identifier(), L"\x8A2D\x5099");
  EXPECT_EQ(state.J2534[0].LibraryFound(), 1);

  test::RecordingReporter reporter;
  state.J2534[0].SetMonitoringEnabled(1);
  state.J2534[0].SetOutputFile(folder + L"\\\x65E5\x5FD7.txt");
  SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, 0, reporter);
  EXPECT_TRUE(reporter.codes.empty());
  EXPECT_EQ(Content(AsidePath(library)), "library");
  EXPECT_EQ(Content(library), "monitor");
  const std::wstring settings =
      ProductPath({L"Monitoring", kJ2534ApiName, SettingsKeyName(library)});
  std::wstring stored;
  RegKey key;
  ASSERT_EQ(key.Open(reg.User(), settings, KEY_READ), ERROR_SUCCESS);
  ASSERT_EQ(ReadString(key.Get(), L"OutputFile", &stored), ERROR_SUCCESS);
  EXPECT_EQ(stored, folder + L"\\\x65E5\x5FD7.txt");

  // The disable mode finds and restores it by the same name.
  DisableAllMonitoring(layout);
  EXPECT_EQ(Content(library), "library");
  EXPECT_FALSE(test::FileExists(AsidePath(library)));
  cases.Add(3);
}

}  // namespace
}  // namespace varrow
