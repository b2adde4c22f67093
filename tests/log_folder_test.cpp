#include "installer/log_folder.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace varrow {
namespace {

// The rights `acl` allows the well-known `who` on the folder itself
// (files = false) or on a file made in it (files = true).
DWORD RightsOf(PACL acl, WELL_KNOWN_SID_TYPE who, bool files) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(sid);
  if (!CreateWellKnownSid(who, nullptr, sid, &size)) return 0xdeadbeef;
  DWORD rights = 0;
  for (DWORD index = 0; index < acl->AceCount; ++index) {
    void* ace = nullptr;
    if (!GetAce(acl, index, &ace)) return 0xdeadbeef;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    const BYTE flags = allowed->Header.AceFlags;
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) return 0xdeadbeef;  // allow entries only
    if (!EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid)) continue;
    const bool applies = files ? (flags & OBJECT_INHERIT_ACE) != 0 : (flags & INHERIT_ONLY_ACE) == 0;
    if (applies) rights |= allowed->Mask;
  }
  return rights;
}

// The descriptor read back entry by entry: who gets which right on the folders
// and on the logs in them. Nobody but the administrators and the system may
// delete, rename, re-permit or take over anything, nor make a folder.
TEST(LogFolder, DescriptorGivesEachAccountItsRightsOnly) {
  LocalDescriptor descriptor;
  ASSERT_EQ(LogFolderDescriptor(&descriptor), static_cast<DWORD>(ERROR_SUCCESS));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing is inherited from above";
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
  EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  PACL acl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &acl, &defaulted));
  ASSERT_TRUE(present && acl != nullptr);

  constexpr DWORD kTakeOver = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
  const struct {
    WELL_KNOWN_SID_TYPE who;
    const char* name;
    DWORD folder, file;
  } cases[] = {
      {WinLocalSystemSid, "SYSTEM", FILE_ALL_ACCESS, FILE_ALL_ACCESS},
      {WinBuiltinAdministratorsSid, "Administrators", FILE_ALL_ACCESS, FILE_ALL_ACCESS},
      {WinAuthenticatedUserSid, "Authenticated Users", kLogFolderUserRights, kLogFileUserRights},
      {WinCreatorOwnerRightsSid, "OWNER RIGHTS", 0, kLogFileUserRights},
      {WinWorldSid, "Everyone", 0, 0},
      {WinBuiltinUsersSid, "Users", 0, 0},
      {WinCreatorOwnerSid, "CREATOR OWNER", 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RightsOf(acl, c.who, false), c.folder) << c.name << " on the folder";
    EXPECT_EQ(RightsOf(acl, c.who, true), c.file) << c.name << " on a log";
  }
  // What the users may and may not do, by name.
  const DWORD folder = RightsOf(acl, WinAuthenticatedUserSid, false);
  const DWORD file = RightsOf(acl, WinAuthenticatedUserSid, true);
  EXPECT_EQ(folder & (FILE_LIST_DIRECTORY | FILE_ADD_FILE), static_cast<DWORD>(FILE_LIST_DIRECTORY | FILE_ADD_FILE));
  EXPECT_EQ(folder & (kTakeOver | FILE_ADD_SUBDIRECTORY), 0u);
  EXPECT_EQ(file & (FILE_WRITE_DATA | FILE_APPEND_DATA), static_cast<DWORD>(FILE_WRITE_DATA | FILE_APPEND_DATA));
  EXPECT_EQ((file | RightsOf(acl, WinCreatorOwnerRightsSid, true)) & kTakeOver, 0u);
}

// The folders are made (parents too) and made again; what stands at a log
// folder's name and is not a folder is moved aside, never written through.
TEST(LogFolder, FoldersAreMadeAndWhatIsNotAFolderIsMovedAside) {
  test::ScratchDir dir;
  const std::wstring logs = dir / L"OVRA\\Logs";
  const struct {
    const char* name;
    std::wstring planted;  // a file put at this name first, or empty
    std::wstring movedAside;
  } cases[] = {
      {"a fresh install", L"", L""},
      {"the same again", L"", L""},
      {"a file at the PDU folder's name", logs + L"\\PDU", logs + L"\\PDU.untrusted-1"},
  };
  for (const auto& c : cases) {
    if (!c.planted.empty()) {
      ASSERT_TRUE(RemoveDirectoryW(c.planted.c_str()));
      ASSERT_TRUE(test::WriteFileText(c.planted, "planted"));
    }
    const std::vector<LogFolderStep> steps = ProtectLogFolders(logs + L"\\");
    ASSERT_EQ(steps.size(), 3u) << c.name;
    const std::wstring folders[] = {logs, logs + L"\\J2534", logs + L"\\PDU"};
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(steps[i].folder, folders[i]) << c.name;
      EXPECT_EQ(steps[i].code, static_cast<DWORD>(ERROR_SUCCESS)) << c.name;
      const DWORD attributes = GetFileAttributesW(folders[i].c_str());
      EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << c.name;
    }
    EXPECT_EQ(steps[2].movedAside, c.movedAside) << c.name;
    if (!c.movedAside.empty()) {
      EXPECT_FALSE(GetFileAttributesW(c.movedAside.c_str()) & FILE_ATTRIBUTE_DIRECTORY) << "the file itself moved";
    }
  }
  const std::wstring refused[] = {L"", L"Logs", L"\\\\server\\share\\Logs", dir / std::wstring(MAX_PATH, L'a')};
  for (const std::wstring& folder : refused) {
    const std::vector<LogFolderStep> steps = ProtectLogFolders(folder);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].code, static_cast<DWORD>(ERROR_BAD_PATHNAME));
  }
}

}  // namespace
}  // namespace varrow
