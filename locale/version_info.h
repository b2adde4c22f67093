// The program's version from its version resource, and the version line of
// the About box.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "locale/version_rules.h"

namespace varrow {

// One read of a module's version resource (narrow texts in the ANSI code page).
struct VersionInfo {
  std::string fileDescription;
  std::string productName;
  std::string productVersion;
  std::uint32_t packedVersion = 0;
  std::uint32_t packedCompileDate = 0;
};

// Reads FileDescription, ProductName, ProductVersion and CompileDate from the
// string table of the first translation of the module's version resource.
// False when the module path, the resource, the translation, any of the four
// values or the version packing fails; *out is then unspecified.
bool ReadVersionInfo(HINSTANCE module, VersionInfo* out);
// The displayed part of a product version: every ", " becomes ".", then the
// text is cut before its last "." (empty when it has none).
std::wstring VersionPart(const std::wstring& productVersion);
// "<word> <part>" from the localised word "Version" and the product version.
std::wstring BuildVersionLine(const std::wstring& versionWord, const std::wstring& productVersion);
// The version line of `module`: empty when ReadVersionInfo fails.
std::wstring ReadVersionLine(HINSTANCE module, const std::wstring& versionWord);

}  // namespace varrow
