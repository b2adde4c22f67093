// Language suffixes, localised file names and the language font table.
//
// A localised name is base + suffix + extension ("C:\Pkg\Varrow" + "-de" + ".dll").
// The suffix comes from the user's locale, with an optional more specific first
// probe and a fixed fallback to English.
#pragma once

#include <windows.h>

#include <string>

namespace varrow {

// The suffixes one locale tries: `probe` (may be null) first, then `suffix`.
struct LanguageSuffixes {
  const wchar_t* probe;   // "-zh-tw", "-es", "-fr-ca" or nullptr
  const wchar_t* suffix;  // always set; "-en" for languages without a row
};

// The suffixes for a locale identifier, chosen from its primary language and
// sublanguage.
LanguageSuffixes SuffixesForLocale(LCID locale);

// The localised name of one file: the first probe when that file exists, else the
// table suffix when that file exists, else base + "-en" + extension (whether or
// not it exists). A candidate that does not fit a 260-character field is treated
// as absent; if even the English name does not fit, the result is empty.
std::wstring ResolveLocalizedFile(const std::wstring& base, const std::wstring& extension,
                                  LCID locale);

// One row of the language font table.
struct LanguageFontRow {
  const wchar_t* marker;    // looked for in the library's file name
  const wchar_t* faceName;
  BYTE charset;
};

// Chooses the language font from the FILE NAME of a language library (the part
// after the last backslash; folder names never count). Returns false and leaves
// both outputs unchanged when no row matches.
bool ChooseLanguageFont(const std::wstring& libraryPath, std::wstring* faceName, BYTE* charset);

// Resolves the language library (extension ".dll") for `locale` and chooses its
// font. Face name and character set are left as the caller set them when no row
// matches (callers start from character set 0). Returns false only when no name
// fits the field (path then empty).
bool ResolveLanguageLibrary(const std::wstring& base, LCID locale, std::wstring* path,
                            std::wstring* faceName, BYTE* charset);

// True when a file (or folder) of that name exists; used as the probe test.
bool LocalizedFileExists(const std::wstring& path);

}  // namespace varrow
