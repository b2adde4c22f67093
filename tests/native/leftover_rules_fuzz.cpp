// Fuzz target of the leftover-name rules of the library swap: the leftover
// path made for any library path and number, the recognition of leftover
// names, and the folder of a path. A broken promise aborts (and the sanitizers
// catch any bad access).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "monitoring/leftover_rules.h"
#include "monitoring/path_rules.h"

namespace {

[[noreturn]] void Broken(const char* promise) {
  std::fprintf(stderr, "leftover rules broke their promise: %s\n", promise);
  std::abort();
}
#define PROMISE(condition) \
  do {                     \
    if (!(condition)) Broken(#condition); \
  } while (0)

std::wstring Wide(const std::uint8_t* data, std::size_t size, bool alphabet) {
  static const wchar_t kAlphabet[] = L"\\/:~._-abcLIB0123456789varrow-old\x00e9\x4e2d";
  constexpr std::size_t kAlphabetSize = sizeof(kAlphabet) / sizeof(wchar_t) - 1;
  std::wstring text;
  if (alphabet) {
    for (std::size_t i = 0; i < size; ++i) text.push_back(kAlphabet[data[i] % kAlphabetSize]);
  } else {
    for (std::size_t i = 0; i + 1 < size; i += 2)
      text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

std::wstring NameOf(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The leftover form, written out independently of the rule.
bool LeftoverForm(const std::wstring& name) {
  const std::wstring suffix = L".varrow-old";
  if (name.size() < suffix.size() + 2 || name[0] != L'~') return false;
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    wchar_t c = name[name.size() - suffix.size() + i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  std::uint64_t unique = 0;
  for (int i = 0; i < 8; ++i) unique = (unique << 8) | data[i];
  const std::wstring library = Wide(data + 9, size - 9, (data[8] & 1) != 0);

  // The clean-up deletes only names of the leftover form: "~", something, and
  // the suffix (ASCII case aside), never a library's own name.
  const std::wstring own = NameOf(library);
  PROMISE(varrow::IsLeftoverName(own) == LeftoverForm(own));
  std::uint32_t anyOwner = 0;
  PROMISE(!varrow::LeftoverOwner(own, &anyOwner) || LeftoverForm(own));

  const std::wstring folder = varrow::FolderOf(library);
  PROMISE(library.compare(0, folder.size(), folder) == 0);
  PROMISE(folder.size() == library.size() || folder.empty() || library[folder.size()] == L'\\');

  const std::wstring leftover = varrow::LeftoverPath(library, unique);
  if (leftover.empty()) {
    // Only a library without a plain file name, or one beside which no form fits.
    PROMISE(own.empty() || own.find_first_of(L"/:") != std::wstring::npos ||
            folder.size() + 1 + 1 + 16 + 11 >= varrow::kPathFieldChars);
    return 0;
  }
  PROMISE(leftover.size() < varrow::kPathFieldChars);
  PROMISE(varrow::FolderOf(leftover) == folder);  // the same folder, so a rename never moves it
  const std::wstring name = NameOf(leftover);
  PROMISE(varrow::IsLeftoverName(name));
  PROMISE(name != own);
  PROMISE(name.find(L'\\') == std::wstring::npos);
  // The clean-up reads back who made it, so that it spares a running program's.
  std::uint32_t owner = 0;
  PROMISE(varrow::LeftoverOwner(name, &owner) && owner == static_cast<std::uint32_t>(unique >> 32));
  // Another number gives another name.
  PROMISE(varrow::LeftoverPath(library, unique + 1) != leftover);
  return 0;
}
