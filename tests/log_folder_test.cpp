#include "installer/log_folder.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace varrow {
namespace {

// The entry the log folder gets: every user may create and append, inherited
// below; the entries already there stay. (Checked on the access list itself:
// this platform keeps a folder's list as file mode bits only.)
TEST(LogFolder, TheUsersEntryIsAddedToWhatIsThere) {
  EXPECT_FALSE(AclGivesUsersLogRights(nullptr));
  LocalAcl fromNothing;
  ASSERT_EQ(AclOpenToUsers(nullptr, &fromNothing), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(AclGivesUsersLogRights(fromNothing.get()));

  // A list with one entry for the system account, without the users.
  BYTE system[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(system);
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
  alignas(DWORD) BYTE buffer[256];
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                    GENERIC_ALL, system));
  EXPECT_FALSE(AclGivesUsersLogRights(acl));
  LocalAcl opened;
  ASSERT_EQ(AclOpenToUsers(acl, &opened), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(AclGivesUsersLogRights(opened.get()));
  EXPECT_EQ(opened->AceCount, 2) << "the system's entry stays";
}

TEST(LogFolder, FolderIsMadeAndBadPathsAreRefused) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::WriteFileText(dir / L"file", "x"));
  const struct {
    std::wstring folder;
    bool made;
  } cases[] = {
      {dir / L"OVRA\\Logs", true},
      {dir / L"OVRA\\Logs", true},  // again: repair and upgrade
      {L"", false},
      {dir / std::wstring(MAX_PATH, L'a'), false},
      {dir / L"file", false},
      {dir / L"file\\below", false},
  };
  for (const auto& c : cases) {
    const std::string name(c.folder.begin(), c.folder.end());
    EXPECT_EQ(OpenLogFolderToUsers(c.folder) == ERROR_SUCCESS, c.made) << name;
    const DWORD attributes = GetFileAttributesW(c.folder.c_str());
    EXPECT_EQ(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY), c.made) << name;
  }
}

}  // namespace
}  // namespace varrow
