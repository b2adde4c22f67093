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

// Frees what the security calls allocated.
struct LocalMemory {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL acl = nullptr;
  ~LocalMemory() {
    if (acl != nullptr) LocalFree(acl);
    if (descriptor != nullptr) LocalFree(descriptor);
  }
};

}  // namespace

DWORD OpenLogFolderToUsers(const std::wstring& folder) {
  if (folder.empty() || folder.size() >= MAX_PATH) return ERROR_BAD_PATHNAME;
  const int made = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS && made != ERROR_FILE_EXISTS) {
    return static_cast<DWORD>(made);
  }
  std::vector<BYTE> users;
  if (!UsersSid(&users)) return GetLastError();

  LocalMemory memory;
  PACL current = nullptr;
  DWORD rc = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, &current, nullptr, &memory.descriptor);
  if (rc != ERROR_SUCCESS) return rc;

  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = kLogFolderUserRights;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = kInheritance;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(users.data());
  rc = SetEntriesInAclW(1, &access, current, &memory.acl);
  if (rc != ERROR_SUCCESS) return rc;
  return SetNamedSecurityInfoW(const_cast<LPWSTR>(folder.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION, nullptr, nullptr, memory.acl, nullptr);
}

bool LogFolderOpenToUsers(const std::wstring& folder) {
  std::vector<BYTE> users;
  if (!UsersSid(&users)) return false;
  LocalMemory memory;
  PACL acl = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &acl, nullptr, &memory.descriptor) != ERROR_SUCCESS ||
      acl == nullptr) {
    return false;
  }
  for (DWORD index = 0; index < acl->AceCount; ++index) {
    void* ace = nullptr;
    if (!GetAce(acl, index, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (!EqualSid(sid, users.data())) continue;
    if ((allowed->Mask & kLogFolderUserRights) == kLogFolderUserRights &&
        (header->AceFlags & kInheritance) == kInheritance) {
      return true;
    }
  }
  return false;
}

}  // namespace varrow
