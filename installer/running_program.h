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

// What the Restart Manager did with the processes that have `files` open.
struct RestartManagerResult {
  DWORD code = ERROR_SUCCESS;  // of the first call that failed
  unsigned listed = 0;         // processes it found using the files
  bool shutDown = false;       // RmShutdown asked them to close and they did
};

// Asks every process that has one of `files` open to close through the
// Restart Manager, which reaches an elevated program and one in another
// session (fast user switching, remote desktop) where a window message does
// not: it sends them the end-of-session messages, without forcing one that
// refuses. Where the Restart Manager lists nothing (or is missing), nothing
// is done. At most kMaxRestartManagerFiles files.
constexpr std::size_t kMaxRestartManagerFiles = 16;
RestartManagerResult CloseThroughRestartManager(const std::vector<std::wstring>& files);

}  // namespace varrow
