// The one load rule of every per-user section that has factory settings: the
// user's copy is replaced by the factory copy when the factory Version is higher.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "settings/registry.h"

namespace varrow {

// The state a versioned record carries between loads.
struct VersionedKeyState {
  RegKey userKey;     // the open per-user section key, kept between loads
  DWORD version = 0;  // the section's Version as last loaded
};

// Loads `section` (a path below the product key, such as L"AutoConnectionOrder"
// or L"Monitoring\\J2534 API\\MessageSizes"). `readContent` reads the section's
// content from the given source key into the record; `writeContent` writes the
// record's content and its version into the given per-user key (the section's
// own save routine). Returns the per-user key
// (owned by `state`), or nullptr when it could not be opened or created.
// The machine root is only ever opened for reading.
HKEY LoadVersionedSection(const RegistryRoots& roots, const std::wstring& section,
                          VersionedKeyState& state,
                          const std::function<void(HKEY source)>& readContent,
                          const std::function<void(HKEY target)>& writeContent);

}  // namespace varrow
