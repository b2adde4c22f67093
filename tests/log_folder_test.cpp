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

// The folders are made (parents too) and made again; what stands at a
// folder's name and is not a folder is moved aside, never written through.
TEST(LogFolder, FoldersAreMadeAndWhatIsNotAFolderIsMovedAside) {
  test::ScratchDir dir;
  const std::wstring vendor = dir / L"OVRA", logs = vendor + L"\\Logs";
  const std::wstring folders[] = {logs, logs + L"\\J2534", logs + L"\\PDU"};
  const struct {
    const char* name;
    std::wstring planted;  // a file put at this folder's name first, or empty
  } cases[] = {
      {"a fresh install", L""},
      {"the same again", L""},
      {"a file at the PDU folder's name", folders[2]},
      {"a file at the log folder's name", logs},
      {"a file at the vendor's folder's name", vendor},
  };
  for (const auto& c : cases) {
    if (!c.planted.empty()) {
      ASSERT_TRUE(MoveFileExW(c.planted.c_str(), (c.planted + L".old").c_str(), 0)) << c.name;
      ASSERT_TRUE(test::WriteFileText(c.planted, "planted")) << c.name;
    }
    std::vector<std::wstring> protectedFolders, movedAside;
    for (const LogFolderStep& step : ProtectLogFolders(logs + L"\\")) {
      EXPECT_EQ(step.code, static_cast<DWORD>(ERROR_SUCCESS)) << c.name;
      if (step.movedAside.empty()) {
        protectedFolders.push_back(step.folder);
      } else {
        EXPECT_EQ(step.folder, c.planted) << c.name;
        movedAside.push_back(step.movedAside);
      }
    }
    EXPECT_EQ(protectedFolders, (std::vector<std::wstring>{folders[0], folders[1], folders[2]})) << c.name;
    EXPECT_EQ(movedAside, c.planted.empty() ? std::vector<std::wstring>{}
                                            : std::vector<std::wstring>{c.planted + L".untrusted-1"}) << c.name;
    for (const std::wstring& folder : folders) {
      const DWORD attributes = GetFileAttributesW(folder.c_str());
      EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << c.name;
    }
    std::string moved;
    if (!c.planted.empty()) {
      EXPECT_TRUE(test::ReadFileText(c.planted + L".untrusted-1", &moved) && moved == "planted") << c.name;
    }
  }
  const std::wstring refused[] = {L"", L"Logs", L"C:\\Logs", L"\\\\server\\share\\Logs",
                                  dir / std::wstring(MAX_PATH, L'a')};
  for (const std::wstring& folder : refused) {
    const std::vector<LogFolderStep> steps = ProtectLogFolders(folder);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].code, static_cast<DWORD>(ERROR_BAD_PATHNAME));
  }
}

}  // namespace
}  // namespace varrow
