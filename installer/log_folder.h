// The package's log folder, where the monitor libraries of every user of the
// PC write: it lets every user create logs and append to them.
#pragma once

#include <windows.h>

#include <string>

namespace varrow {

// The rights the users get on the log folder and, inherited, on every folder
// and file made in it: read, create, write and append; not delete.
constexpr DWORD kLogFolderUserRights = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE;

// Makes `folder` (and its parents) when missing, then adds to its access list
// an entry that gives the local users (BUILTIN\Users) kLogFolderUserRights,
// inherited by folders and files below. The entries already there stay.
// Returns the Win32 code of the step that failed.
[[nodiscard]] DWORD OpenLogFolderToUsers(const std::wstring& folder);

// True when the access list of `folder` gives the local users
// kLogFolderUserRights, inherited by folders and files.
bool LogFolderOpenToUsers(const std::wstring& folder);

}  // namespace varrow
