#include "installer/log_folder.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace varrow {
namespace {

TEST(LogFolder, EveryUserMayCreateAndAppendAndBadPathsAreRefused) {
  test::ScratchDir dir;
  const std::wstring logs = dir / L"OVRA\\Logs";
  EXPECT_FALSE(LogFolderOpenToUsers(dir.Path())) << "a fresh folder is not open to users already";
  // Made with its parents, then opened; a second run (repair, upgrade) keeps it so.
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(OpenLogFolderToUsers(logs), static_cast<DWORD>(ERROR_SUCCESS)) << run;
    EXPECT_TRUE(LogFolderOpenToUsers(logs)) << run;
  }
  // A folder made in it later inherits the entry.
  ASSERT_TRUE(test::MakeDir(logs + L"\\J2534"));
  EXPECT_TRUE(LogFolderOpenToUsers(logs + L"\\J2534"));

  ASSERT_TRUE(test::WriteFileText(dir / L"file", "x"));
  const struct {
    std::wstring folder;
    bool fails;
  } cases[] = {
      {L"", true},
      {dir / std::wstring(MAX_PATH, L'a'), true},
      {dir / L"file\\below", true},
      {dir / L"Other", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OpenLogFolderToUsers(c.folder) != ERROR_SUCCESS, c.fails)
        << std::string(c.folder.begin(), c.folder.end());
  }
}

}  // namespace
}  // namespace varrow
