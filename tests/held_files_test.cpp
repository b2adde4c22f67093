#include "installer/held_files.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace varrow {
namespace {

TEST(HeldFiles, ListTakesFullPathsWithinBounds) {
  const std::wstring tooLong = L"C:\\" + std::wstring(MAX_PATH, L'a');
  const struct {
    std::wstring list;
    std::vector<std::wstring> files;
  } cases[] = {
      {L"C:\\a\\b.dll;\\\\srv\\s\\c.dll", {L"C:\\a\\b.dll", L"\\\\srv\\s\\c.dll"}},
      {L";;C:\\x.dll;", {L"C:\\x.dll"}},
      {L"relative.dll;\\rooted.dll;\\\\\\x;" + tooLong, {}},
      {L"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitFileList(c.list), c.files) << std::string(c.list.begin(), c.list.end());
  }
  std::wstring many;
  for (int i = 0; i < 100; ++i) many += L"C:\\f" + std::to_wstring(i) + L";";
  EXPECT_EQ(SplitFileList(many).size(), kMaxHeldFiles);
}

// Files that are free go now; a missing one or a folder is left alone.
TEST(HeldFiles, FreeFilesAreDeletedAtOnce) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::WriteFileText(dir / L"free.dll", "x"));
  ASSERT_TRUE(test::MakeDir(dir / L"folder"));
  std::vector<std::wstring> scheduled, failed;
  DeleteNowOrAtRestart({dir / L"free.dll", dir / L"missing.dll", dir / L"folder"}, &scheduled, &failed);
  EXPECT_FALSE(test::FileExists(dir / L"free.dll"));
  EXPECT_NE(GetFileAttributesW((dir / L"folder").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(scheduled.empty());
  EXPECT_TRUE(failed.empty());
}

}  // namespace
}  // namespace varrow
