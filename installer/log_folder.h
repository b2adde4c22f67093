// The package's log folders, where the monitor libraries of every account of
// the PC write: Logs, Logs\J2534 and Logs\PDU. They belong to the
// administrators, and their access list is protected (nothing inherited from
// above): administrators and the system have full control; an authenticated
// user may list a folder, create files in it and read, write and append to the
// files there, but create no folder and delete, rename, re-permission or take
// over nothing. The step that sets this up runs as the system account, so it
// never follows a link: a folder that is a reparse point, or that someone
// other than the administrators or the system owns, is moved aside and made
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

// One step of ProtectLogFolders: a folder made or checked and protected, or an
// untrusted one moved aside (movedAside, and why: "a link", "not a folder",
// "owned by another account", or, for a folder moved with a link in it,
// "holds a link").
struct LogFolderStep {
  std::wstring folder;
  std::wstring movedAside;
  const wchar_t* why = nullptr;
  DWORD code = ERROR_SUCCESS;  // of the step; the first failure ends the run
};

// Makes and protects the log folder `logs` (a full path "C:\...\<vendor>\Logs")
// and its J2534 and PDU folders, checking the vendor's folder above it first.
// Each is made when missing and opened without following a reparse point.
// One that is not a folder, or is owned by someone other than the
// administrators, the system or the account this runs as, is renamed aside
// ("<name>.untrusted-<n>") and made anew; a link is never renamed by its own
// name (a platform that opens the link's target instead would move that): the
// folder it stands in is renamed aside with it, and made anew. The vendor's
// folder being a link is refused (ERROR_ACCESS_DENIED). The owner and access
// list of LogFolderDescriptor are set through the open handle of each log
// folder. Returns the steps taken, in order; the last one failed when its
// code is not ERROR_SUCCESS.
std::vector<LogFolderStep> ProtectLogFolders(const std::wstring& logs);

}  // namespace varrow
