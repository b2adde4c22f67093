// The package's log folders, where the monitor libraries of every account of
// the PC write: Logs, Logs\J2534 and Logs\PDU. They belong to the
// administrators, and their access list is protected (nothing inherited from
// above): administrators and the system have full control; an authenticated
// user may list a folder, create files in it and read, write and append to the
// files there, but create no folder and delete, rename, re-permission or take
// over nothing. The step that sets this up runs as the system account, so it
// never follows a link: a folder that is a reparse point, or that someone
// other than the administrators or the system owns, is renamed aside and made
// anew.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace varrow {

// The log folders' descriptor in string form: owner Administrators, protected
// list. Rights by entry:
//   SYSTEM, Administrators   full control, folders and files below
//   Authenticated Users      on folders: list, traverse, read attributes and
//                            the descriptor, create files (no subfolders, no
//                            deleting of children); on files: read, write,
//                            append, write attributes (no delete, no
//                            re-permission, no take-over)
//   OWNER RIGHTS             on files: the same as the users, so that the
//                            account that made a file cannot re-permit it as
//                            its owner
inline constexpr wchar_t kLogFolderSddl[] =
    L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x1200ab;;;AU)"
    L"(A;OIIO;0x12019f;;;AU)(A;OIIO;0x12019f;;;OW)";

// The rights of the users' entries above, by name.
constexpr DWORD kLogFolderUserRights = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_READ_EA |
                                       FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                       SYNCHRONIZE;
constexpr DWORD kLogFileUserRights = FILE_GENERIC_READ | FILE_GENERIC_WRITE;

// Memory allocated by the security functions (freed with LocalFree).
struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

// kLogFolderSddl as a self-relative descriptor. Returns the Win32 code; *out is
// set on success only.
[[nodiscard]] DWORD LogFolderDescriptor(LocalDescriptor* out);

// What securing one folder did.
struct LogFolderStep {
  std::wstring folder;
  std::wstring movedAside;  // where an untrusted folder or link went, or empty
  DWORD code = ERROR_SUCCESS;
};

// Secures `folder`: makes it when missing (its parent must exist); opens it
// without following a reparse point; one that is a reparse point, is not a
// folder, or is owned by someone other than the administrators or the system
// is renamed aside ("<name>.untrusted-<n>") and the folder made anew; then the
// owner and access list of LogFolderDescriptor are set through the open
// handle. Returns what was done, with the Win32 code of the step that failed.
LogFolderStep ProtectLogFolder(const std::wstring& folder);

// ProtectLogFolder for the log folder `logs` (a full path, the parents made
// when missing) and then its J2534 and PDU folders, in that order; stops at
// the first failure. Returns the steps taken.
std::vector<LogFolderStep> ProtectLogFolders(const std::wstring& logs);

}  // namespace varrow
