// The benchmark's own executable and the processes it starts.
#pragma once

#include <windows.h>

#include <string>

namespace varrow::bench {

// The folder of this executable, and its path.
std::wstring ExeFolder();
std::wstring ExePath();
// An environment variable's value; empty when it is not set.
std::wstring GetVariable(const wchar_t* name);
// Starts a process and waits for it; the time is from creation to `ready`
// (when given) or to the process's end. True when it ended in time with code 0.
bool RunProcess(const std::wstring& commandLine, HANDLE ready, double* elapsedMs,
                DWORD timeoutMs = 120000);

}  // namespace varrow::bench
