// The text rules that tie an implementation library to its monitoring and find
// it on PATH, free of any Windows header so that they also build and run natively
// (tests/native fuzzes them). Texts are bounded by the 260-character field.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varrow {

// Characters of a path field, terminator included (the registry layer's kFieldChars).
inline constexpr std::size_t kPathFieldChars = 260;

// The set-aside path of library `p`: its folder, "_" and its file name
// (C:\Dir\lib.dll gives C:\Dir\_lib.dll); "_" + p when p has no "\". Returns an
// empty text when the result would not fit a 260-character field.
std::wstring AsidePath(const std::wstring& p);
// p with every "\" replaced by "_": the name of the library's settings subkey.
std::wstring SettingsKeyName(const std::wstring& p);
// The default log file of a J2534 implementation, without the format step:
// LogFileLocation + "J2534\" + the file name of FunctionLibrary. Empty when the
// result would not fit a 260-character field. (The J2534 page shows it; the
// monitor library logs there when the user has no settings for it.)
std::wstring DefaultJ2534LogName(const std::wstring& logFileLocation,
                                 const std::wstring& functionLibrary);

// `path` with the system folder `windowsDir`\System32 at its start replaced
// by `windowsDir`\Sysnative (letters compared without case, the rest kept as
// written): the name through which a 32-bit process on 64-bit Windows reaches
// the native system folder instead of SysWOW64. Any other path, or an empty
// `windowsDir`, gives `path` unchanged; a result that would not fit a field
// gives an empty text.
std::wstring NativeSystemPath(const std::wstring& path, const std::wstring& windowsDir);

// The paths that the PATH search probes for `path`, in order: PATH split at
// ";" (empty pieces skipped), each piece without trailing blanks and then
// without trailing "\", joined to `path` with one "\". A combination that would
// not fit a field is left out (never cut into another name), and so is every
// combination when `path` names a drive or a stream (contains ":"), which no
// folder can hold.
std::vector<std::wstring> PathSearchCandidates(const std::wstring& path,
                                               const std::wstring& pathVariable);

// True when `path` may name a file for the existence test: not empty, fits a
// field, no wildcard ("*", "?"), and no ":" other than a drive's (index 1).
bool PlainFilePath(const std::wstring& path);

// The RP1210 implementation names of an "APIImplementations" value: split at
// "," and line breaks, blanks and tabs trimmed on both sides, empty names and
// names with "\", "/", ":", "*" or "?" skipped. When the value was cut short
// (`cut`), its last piece is dropped rather than taken for another library.
std::vector<std::wstring> SplitRp1210List(const std::wstring& list, bool cut);

}  // namespace varrow
