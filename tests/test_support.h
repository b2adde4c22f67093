// Test scaffolding: scratch registry roots and scratch folders that are removed
// afterwards, and small file helpers. Nothing here touches the product keys.
#pragma once

#include <windows.h>

#include <string>

#include "settings/registry.h"

namespace varrow::test {

// Three scratch hives under HKCU\Software\VarrowTests\<unique>: "machine",
// "user" and "users". Deleted with everything below them on destruction.
class ScratchRegistry {
 public:
  ScratchRegistry();
  ~ScratchRegistry();
  ScratchRegistry(const ScratchRegistry&) = delete;
  ScratchRegistry& operator=(const ScratchRegistry&) = delete;

  const RegistryRoots& Roots() const { return roots_; }
  HKEY Machine() const { return roots_.machine; }
  HKEY User() const { return roots_.user; }
  HKEY Users() const { return roots_.users; }
  const std::wstring& Path() const { return path_; }  // below HKCU

 private:
  std::wstring path_;
  RegKey machine_, user_, users_;
  RegistryRoots roots_;
};

// A fresh folder under %TEMP%, deleted with its content on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::wstring& Path() const { return path_; }
  // Path + "\" + relative.
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

// The smallest file that Varrow takes for a library of `machine` (0x014C
// i386, 0x8664 AMD64): a DOS header pointing at "PE\0\0" and the machine
// field, followed by `rest`.
std::string PeFile(unsigned machine, const std::string& rest = {});

// File helpers for tests. A fake library (a name ending in ".dll" whose bytes
// do not start with "MZ") is written as a 32-bit PE file, PeFile(0x014C,
// bytes), so that Varrow switches monitoring on for it; ReadFileText gives
// such a file's bytes back without that header.
bool WriteFileText(const std::wstring& path, const std::string& bytes);
bool ReadFileText(const std::wstring& path, std::string* bytes);
bool FileExists(const std::wstring& path);
bool MakeDir(const std::wstring& path);  // creates parents too
// Deletes a folder with everything in it, read-only files included.
void RemoveTree(const std::wstring& dir);

// Registry helpers for seeding (create keys as needed).
void SetDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value);
void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value);
void SetRaw(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type,
            const void* data, DWORD bytes);
bool KeyExists(HKEY root, const std::wstring& path);
bool ValueExists(HKEY root, const std::wstring& path, const wchar_t* name);
// A deterministic text dump of a subtree (keys, value names, types, data), for
// before/after comparisons.
std::wstring Snapshot(HKEY root, const std::wstring& path = L"");

}  // namespace varrow::test
