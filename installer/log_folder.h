// The package's log folder, where the monitor libraries of every user of the
// PC write: it lets every user create logs and append to them.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace varrow {

// The rights the users get on the log folder and, inherited, on every folder
// and file made in it: read, create, write and append; not delete.
constexpr DWORD kLogFolderUserRights = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE;

// An access list allocated by the security functions (freed with LocalFree).
struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalAcl = std::unique_ptr<ACL, LocalFreeDeleter>;

// `current` (may be null: no entries) with an entry added that gives the local
// users (BUILTIN\Users) kLogFolderUserRights, inherited by folders and files
// below. Returns the Win32 code; *out is set on success only.
[[nodiscard]] DWORD AclOpenToUsers(const ACL* current, LocalAcl* out);

// True when `acl` gives the local users kLogFolderUserRights, inherited by
// folders and files.
bool AclGivesUsersLogRights(const ACL* acl);

// Makes `folder` (and its parents) when missing, then sets its access list to
// AclOpenToUsers of the one it has. Returns the Win32 code of the step that
// failed.
[[nodiscard]] DWORD OpenLogFolderToUsers(const std::wstring& folder);

}  // namespace varrow
