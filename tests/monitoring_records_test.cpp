#include "monitoring/api_implementation.h"

#include <gtest/gtest.h>

#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

using test::ScratchDir;

TEST(MonitoringRecords, InitialValues) {
  const ApiImplementation r;
  EXPECT_EQ(r.Identifier(), L"");
  EXPECT_EQ(r.MonitoringEnabled(), 0);
  EXPECT_EQ(r.LibraryFound(), 0);
  EXPECT_EQ(r.LogDebugView(), 0);
  EXPECT_EQ(r.LogEntryExit(), 0);
  EXPECT_EQ(r.Overwrite(), 1);
  EXPECT_EQ(r.DisableErrBufferEmpty(), 1);
  EXPECT_EQ(r.OutputFormat(), 1);
  EXPECT_EQ(r.OutputFile(), L"");
  EXPECT_EQ(r.MessageSize(), 0);
  EXPECT_EQ(r.StoreWithPrimaryAPI(), -1);
  EXPECT_EQ(r.Version(), 0u);
}

TEST(MonitoringRecords, TextSettersTakeWholeTextsAndRefuseWhatDoesNotFit) {
  using Getter = const std::wstring& (ApiImplementation::*)() const;
  using Setter = bool (ApiImplementation::*)(std::wstring_view);
  const struct {
    const char* field;
    Getter get;
    Setter set;
  } fields[] = {
      {"Identifier", &ApiImplementation::Identifier, &ApiImplementation::SetIdentifier},
      {"OutputFile", &ApiImplementation::OutputFile, &ApiImplementation::SetOutputFile},
      {"FunctionLibrary", &ApiImplementation::FunctionLibrary,
       &ApiImplementation::SetFunctionLibrary},
      {"MonitorLibrary", &ApiImplementation::MonitorLibrary, &ApiImplementation::SetMonitorLibrary},
  };
  const std::wstring longest(259, L'a');
  for (const auto& f : fields) {
    ApiImplementation r;
    EXPECT_TRUE((r.*f.set)(longest)) << f.field;
    EXPECT_EQ((r.*f.get)(), longest) << f.field;
    EXPECT_FALSE((r.*f.set)(std::wstring(260, L'b'))) << f.field;
    EXPECT_EQ((r.*f.get)(), longest) << f.field << ": a refused text must leave the field";
    // Copied up to the terminator, as from a fixed buffer.
    EXPECT_TRUE((r.*f.set)(std::wstring_view(L"C:\\a.dll\0junk", 13))) << f.field;
    EXPECT_EQ((r.*f.get)(), L"C:\\a.dll") << f.field;
  }
}

TEST(MonitoringRecords, SettingsRoundTripRefusesLongOutputFile) {
  ApiImplementation r;
  MonitoringSettings s;
  s.OutputFile = L"D:\\log.xml";
  s.OutputFormat = 2;
  s.Overwrite = 0;
  s.StoreWithPrimaryAPI = 1;
  s.Version = 7;
  ASSERT_TRUE(r.SetSettings(s));
  const MonitoringSettings back = r.Settings();
  EXPECT_EQ(back.OutputFile, L"D:\\log.xml");
  EXPECT_EQ(back.OutputFormat, 2);
  EXPECT_EQ(back.Overwrite, 0);
  EXPECT_EQ(back.StoreWithPrimaryAPI, 1);
  EXPECT_EQ(back.Version, 7u);
  s.OutputFile.assign(300, L'x');
  s.OutputFormat = 3;
  EXPECT_FALSE(r.SetSettings(s));
  EXPECT_EQ(r.OutputFormat(), 2) << "a refused record changes nothing";
}

TEST(MonitoringRecords, PathRules) {
  const std::wstring folder257 = L"C:\\" + std::wstring(254, L'd');  // 257 characters
  const struct {
    std::wstring path, aside, key;
  } cases[] = {
      {L"C:\\Dir\\lib.dll", L"C:\\Dir\\_lib.dll", L"C:_Dir_lib.dll"},
      {L"lib.dll", L"_lib.dll", L"lib.dll"},
      {L"C:\\lib.dll", L"C:\\_lib.dll", L"C:_lib.dll"},
      {L"\\\\srv\\s\\x.dll", L"\\\\srv\\s\\_x.dll", L"__srv_s_x.dll"},
      // 259 characters: the set-aside name would need 260 and is refused.
      {folder257 + L"\\a", L"", L"C:_" + std::wstring(254, L'd') + L"_a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AsidePath(c.path), c.aside) << c.path.size();
    EXPECT_EQ(SettingsKeyName(c.path), c.key);
  }
}

TEST(MonitoringRecords, FileExistsAtMeansAFile) {
  ScratchDir dir;
  ASSERT_TRUE(test::WriteFileText(dir / L"lib.dll", "x"));
  ASSERT_TRUE(test::MakeDir(dir / L"folder.dll"));
  EXPECT_TRUE(FileExistsAt(dir / L"lib.dll"));
  EXPECT_FALSE(FileExistsAt(dir / L"folder.dll"));
  EXPECT_FALSE(FileExistsAt(dir / L"*.dll")) << "a wildcard must not match another file";
  EXPECT_FALSE(FileExistsAt(dir / L"missing.dll"));
  EXPECT_FALSE(FileExistsAt(L""));
}

TEST(MonitoringRecords, LibraryFoundInPathFolders) {
  ScratchDir dir;
  ASSERT_TRUE(test::MakeDir(dir / L"First"));
  ASSERT_TRUE(test::MakeDir(dir / L"Tools"));
  ASSERT_TRUE(test::WriteFileText(dir / L"Tools\\lib.dll", "lib"));
  ASSERT_TRUE(test::WriteFileText(dir / L"First\\other.dll", "other"));
  const std::wstring tools = dir / L"Tools";
  const std::wstring pathVar = L";" + (dir / L"First") + L";;" + tools + L"\\ ";

  // A bare name in the second folder, written with a trailing "\" and blank.
  std::wstring path = L"lib.dll";
  EXPECT_TRUE(FindLibraryInFolders(&path, pathVar));
  EXPECT_EQ(path, tools + L"\\lib.dll");

  // A full path that exists stays as it is.
  path = tools + L"\\lib.dll";
  EXPECT_TRUE(FindLibraryInFolders(&path, L""));
  EXPECT_EQ(path, tools + L"\\lib.dll");

  // A full path that does not exist is never found in the folders.
  path = dir / L"Gone\\lib.dll";
  EXPECT_FALSE(FindLibraryInFolders(&path, pathVar));
  EXPECT_EQ(path, dir / L"Gone\\lib.dll");

  // Not found anywhere: unchanged.
  path = L"none.dll";
  EXPECT_FALSE(FindLibraryInFolders(&path, pathVar));
  EXPECT_EQ(path, L"none.dll");
}

TEST(MonitoringRecords, PathFolderTooLongForTheNameIsSkipped) {
  ScratchDir dir;
  // A folder whose combined path would need more than 259 characters comes
  // first; the library must be found in the second folder, not in a cut name.
  const std::wstring longFolder = dir.Path() + L"\\" + std::wstring(250 - dir.Path().size(), L'f');
  ASSERT_TRUE(test::MakeDir(longFolder));
  ASSERT_TRUE(test::MakeDir(dir / L"ok"));
  ASSERT_TRUE(test::WriteFileText(dir / L"ok\\library.dll", "x"));
  std::wstring path = L"library.dll";
  ASSERT_GT((longFolder + L"\\library.dll").size(), 259u);
  EXPECT_TRUE(FindLibraryInFolders(&path, longFolder + L";" + (dir / L"ok")));
  EXPECT_EQ(path, dir / L"ok\\library.dll");
}

TEST(MonitoringRecords, FindLibraryOnPathReadsTheEnvironment) {
  ScratchDir dir;
  ASSERT_TRUE(test::WriteFileText(dir / L"envlib.dll", "x"));
  // A long PATH (over the 260 characters of a field) with the folder last.
  std::wstring value;
  for (int i = 0; i < 200; ++i) value += L"C:\\nowhere" + std::to_wstring(i) + L";";
  value += dir.Path();
  ASSERT_GT(value.size(), 2000u);
  test::ScopedPathVariable scoped(value);
  std::wstring path = L"envlib.dll";
  EXPECT_TRUE(FindLibraryOnPath(&path));
  EXPECT_EQ(path, dir / L"envlib.dll");
}

}  // namespace
}  // namespace varrow
