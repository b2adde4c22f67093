// Small Windows text helpers shared by the monitor libraries.
#pragma once

#include <windows.h>

#include <string>

namespace monitor {

// UTF-8 of a wide text; empty when it is empty or cannot be converted.
std::string Utf8(const std::wstring& text);
// The full path of a loaded module (the process's own program for nullptr);
// empty when it cannot be read or is longer than 32,768 characters.
std::wstring ModulePath(HMODULE module);

}  // namespace monitor
