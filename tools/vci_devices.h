// VciCheck's list of the registered J2534 04.04 devices (32-bit view) with
// their libraries, whether each exists and whether it is being monitored.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct Device {
  std::wstring key;  // subkey name under PassThruSupport.04.04
  std::wstring vendor, name, library;
};

// The devices registered under HKLM\SOFTWARE\PassThruSupport.04.04.
std::vector<Device> RegisteredDevices();
// The devices registered under HKLM\`registrations` in `view`
// (KEY_WOW64_32KEY or KEY_WOW64_64KEY).
std::vector<Device> RegisteredDevices(REGSAM view, const wchar_t* registrations);
// The file a registered library path names: the path itself when a file is
// there, else the first PATH folder that holds it; empty when none does.
std::wstring ResolveLibrary(const std::wstring& path);
// Prints the list with `print`; returns VciCheck's exit code (0).
int ListDevices(void (*print)(const std::wstring&));
