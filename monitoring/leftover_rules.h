// The names of leftover monitor copies: when monitoring is switched off while an
// application has the monitor copy loaded, the copy is renamed out of the
// library's way and deleted later. Free of any Windows header (tests/native
// fuzzes them); texts are bounded by the 260-character path field.
#pragma once

#include <cstdint>
#include <string>

namespace varrow {

// What every leftover name ends with, and the search pattern that finds them.
inline constexpr wchar_t kLeftoverSuffix[] = L".varrow-old";
inline constexpr wchar_t kLeftoverPattern[] = L"~*.varrow-old";

// A leftover path for `library` in the library's own folder, unique by
// `unique`: "<folder>\~<file name>.<16 hex digits>.varrow-old", or, when that
// does not fit a field, the shorter "<folder>\~<16 hex digits>.varrow-old".
// Empty when neither fits, or when `library` has no file name or one with "/"
// or ":" in it.
std::wstring LeftoverPath(const std::wstring& library, std::uint64_t unique);

// True when the file name `name` (without folder) has a leftover's form: "~",
// at least one more character, and the leftover suffix (case-insensitive ASCII).
bool IsLeftoverName(const std::wstring& name);

// The process that made the leftover `name`: the upper half of the number
// in it, which LeftoverPath takes from the caller (the process id). False
// when the name has no 16 hex digits between "~" or "." and the suffix.
bool LeftoverOwner(const std::wstring& name, std::uint32_t* process);

// The folder part of `path` (up to its last "\"), or empty when it has none.
std::wstring FolderOf(const std::wstring& path);

}  // namespace varrow
