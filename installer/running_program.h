// Programs of the package that still run when the installer is about to
// replace or delete their files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace varrow {

// The ids of the running processes whose program file is `program` (compared
// without letter case; a process whose path cannot be read counts when its
// file name matches).
std::vector<DWORD> ProcessesOf(const std::wstring& program);

// Tells every running process of `program` to close (WM_CLOSE to each of its
// top-level windows: Varrow's dialog then ends as with Cancel, and a message
// box of it goes too), again every second, and waits at most `waitMs` for them
// to end. Returns the ids of those still running.
std::vector<DWORD> CloseProgram(const std::wstring& program, DWORD waitMs);

}  // namespace varrow
