#include "settings/versioned_section.h"

namespace varrow {

namespace {
// Splits "a\b\c" into parent "a\b" and leaf "c".
void SplitLeaf(const std::wstring& path, std::wstring* parent, std::wstring* leaf) {
  std::size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) {
    parent->clear();
    *leaf = path;
  } else {
    *parent = path.substr(0, slash);
    *leaf = path.substr(slash + 1);
  }
}
}  // namespace

HKEY LoadVersionedSection(const RegistryRoots& roots, const std::wstring& section,
                          VersionedKeyState& state,
                          const std::function<void(HKEY)>& readContent,
                          const std::function<void(HKEY)>& writeContent) {
  const std::wstring userPath = ProductPath({section});

  // 1. Factory version (0 when the factory section is missing or has none).
  RegKey factory;
  DWORD factoryVersion = 0;
  if (factory.Open(roots.machine, FactoryPath({section}), KEY_READ) == ERROR_SUCCESS) {
    (void)ReadDword(factory.Get(), L"Version", &factoryVersion);  // missing: stays 0
  }

  // 2. The per-user key, created empty on the first load.
  if (!state.userKey.Valid()) {
    (void)state.userKey.Create(roots.user, userPath, KEY_ALL_ACCESS);  // failure: no user copy
  }

  // 3. User version.
  DWORD userVersion = 0;
  if (state.userKey.Valid()) (void)ReadDword(state.userKey.Get(), L"Version", &userVersion);

  // 4./5. Read from the newer source.
  const bool fromFactory = factory.Valid() && userVersion < factoryVersion;
  HKEY source = fromFactory ? factory.Get() : state.userKey.Get();
  if (source != nullptr) {
    readContent(source);
    (void)ReadDword(source, L"Version", &state.version);  // missing: version unchanged
  }

  // 6. Replace the user's copy by the factory settings.
  if (fromFactory) {
    state.userKey.Close();
    std::wstring parent, leaf;
    SplitLeaf(userPath, &parent, &leaf);
    RegKey parentKey;
    if (parentKey.Open(roots.user, parent, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
      (void)DeleteTree(parentKey.Get(), leaf);  // silent on failure
      parentKey.Close();
    }
    if (state.userKey.Create(roots.user, userPath, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
      writeContent(state.userKey.Get());
    }
  }
  // 7. The factory key closes with `factory`.
  return state.userKey.Get();
}

}  // namespace varrow
