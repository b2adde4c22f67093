#include "settings/last_used.h"

#include <string>
#include <vector>

namespace varrow {

namespace {
constexpr wchar_t kLastUsed[] = L"LastUsed";
}

void ClearLastUsed(const RegistryRoots& roots) {
  RegKey lastUsed;
  const LONG opened = lastUsed.Open(roots.user, ProductPath({kLastUsed}), KEY_ALL_ACCESS);
  // No such key: nothing to delete, and no need to open the product key for it.
  if (opened == ERROR_FILE_NOT_FOUND) return;
  if (opened == ERROR_SUCCESS) {
    // All names first: deleting while enumerating by index would shift the
    // indices and pass over every other subkey.
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
      std::wstring name;
      LONG rc = EnumSubkey(lastUsed.Get(), index, &name, kFieldChars);
      if (rc == ERROR_MORE_DATA) continue;  // a name that does not fit is left alone
      if (rc != ERROR_SUCCESS) break;
      names.push_back(name);
    }
    for (const std::wstring& name : names) {
      (void)DeleteKey(lastUsed.Get(), name);  // stays when it has subkeys of its own
    }
    lastUsed.Close();
  }
  RegKey product;
  if (product.Open(roots.user, ProductPath(), KEY_ALL_ACCESS) == ERROR_SUCCESS) {
    (void)DeleteKey(product.Get(), kLastUsed);  // fails while subkeys remain
  }
}

}  // namespace varrow
