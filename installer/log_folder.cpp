#include "installer/log_folder.h"

#include <aclapi.h>
#include <shlobj.h>

#include <vector>

namespace varrow {

namespace {

constexpr DWORD kInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The SID of BUILTIN\Users in `buffer`.
bool UsersSid(std::vector<BYTE>* buffer) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  buffer->assign(size, 0);
  return CreateWellKnownSid(WinBuiltinUsersSid, nullptr, buffer->data(), &size) != FALSE;
}

}  // namespace

DWORD AclOpenToUsers(const ACL* current, LocalAcl* out) {
  std::vector<BYTE> users;
  if (!UsersSid(&users)) return GetLastError();
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = kLogFolderUserRights;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = kInheritance;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(users.data());
  PACL made = nullptr;
  const DWORD rc = SetEntriesInAclW(1, &access, const_cast<PACL>(current), &made);
  if (rc != ERROR_SUCCESS) return rc;
  out->reset(made);
  return ERROR_SUCCESS;
}

bool AclGivesUsersLogRights(const ACL* acl) {
  std::vector<BYTE> users;
  if (acl == nullptr || !UsersSid(&users)) return false;
  for (DWORD index = 0; index < acl->AceCount; ++index) {
    void* ace = nullptr;
    if (!GetAce(const_cast<PACL>(acl), index, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if (!EqualSid(const_cast<DWORD*>(&allowed->SidStart), users.data())) continue;
    if ((allowed->Mask & kLogFolderUserRights) == kLogFolderUserRights &&
        (header->AceFlags & kInheritance) == kInheritance) {
      return true;
    }
  }
  return false;
}

DWORD OpenLogFolderToUsers(const std::wstring& folder) {
  if (folder.empty() || folder.size() >= MAX_PATH) return ERROR_BAD_PATHNAME;
  const int made = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS && made != ERROR_FILE_EXISTS) {
    return static_cast<DWORD>(made);
  }
  // SHCreateDirectoryExW says "exists" for a file too: only a folder will do.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return ERROR_DIRECTORY;
  }
  PACL current = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, &current, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return rc;
  const std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
  LocalAcl opened;
  rc = AclOpenToUsers(current, &opened);
  if (rc != ERROR_SUCCESS) return rc;
  return SetNamedSecurityInfoW(const_cast<LPWSTR>(folder.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION, nullptr, nullptr, opened.get(), nullptr);
}

}  // namespace varrow
