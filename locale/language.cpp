#include "locale/language.h"

#include "settings/registry.h"

namespace varrow {
namespace {

struct SuffixRow {
  WORD primary;
  WORD probeSublanguage;  // 0: no first probe
  const wchar_t* probe;
  const wchar_t* suffix;
};

constexpr SuffixRow kSuffixRows[] = {
    {0x01, 0, nullptr, L"-ar"},        {0x02, 0, nullptr, L"-bg"},
    {0x04, 0x01, L"-zh-tw", L"-zh"},   {0x05, 0, nullptr, L"-cs"},
    {0x06, 0, nullptr, L"-da"},        {0x07, 0, nullptr, L"-de"},
    {0x08, 0, nullptr, L"-el"},        {0x09, 0, nullptr, L"-en"},
    {0x0A, 0x01, L"-es", L"-es-mx"},   {0x0B, 0, nullptr, L"-fi"},
    {0x0C, 0x03, L"-fr-ca", L"-fr"},   {0x0E, 0, nullptr, L"-hu"},
    {0x10, 0, nullptr, L"-it"},        {0x11, 0, nullptr, L"-ja"},
    {0x12, 0, nullptr, L"-ko"},        {0x13, 0, nullptr, L"-nl"},
    {0x14, 0, nullptr, L"-no"},        {0x15, 0, nullptr, L"-pl"},
    {0x16, 0, nullptr, L"-pt-br"},     {0x18, 0, nullptr, L"-ro"},
    {0x19, 0, nullptr, L"-ru"},        {0x1A, 0, nullptr, L"-hr"},
    {0x1D, 0, nullptr, L"-sv"},        {0x1E, 0, nullptr, L"-th"},
    {0x1F, 0, nullptr, L"-tr"},        {0x21, 0, nullptr, L"-id"},
    {0x24, 0, nullptr, L"-sl"},
};

constexpr wchar_t kEnglish[] = L"-en";

// Checked in this order; "-zh-tw" before "-zh", which it contains. Hungarian
// takes the East European character set.
constexpr LanguageFontRow kFontRows[] = {
    {L"-hu", L"Monotype Sans WT", EASTEUROPE_CHARSET},   // 238
    {L"-tr", L"Monotype Sans WT", TURKISH_CHARSET},      // 162
    {L"-th", L"Monotype Sans WT", THAI_CHARSET},         // 222
    {L"-ru", L"Monotype Sans WT", RUSSIAN_CHARSET},      // 204
    {L"-el", L"Monotype Sans WT", GREEK_CHARSET},        // 161
    {L"-ar", L"Monotype Sans WT", ARABIC_CHARSET},       // 178
    {L"-ko", L"Monotype Sans WT K", HANGUL_CHARSET},     // 129
    {L"-zh-tw", L"Monotype Sans WT TC", CHINESEBIG5_CHARSET},  // 136
    {L"-zh", L"Monotype Sans WT SC", GB2312_CHARSET},    // 134
    {L"-ja", L"Monotype Sans WT J", SHIFTJIS_CHARSET},   // 128
};

// base + suffix + extension when it fits a 260-character field, else empty.
std::wstring Compose(const std::wstring& base, const wchar_t* suffix,
                     const std::wstring& extension) {
  std::wstring name = base + suffix + extension;
  if (name.size() >= kFieldChars) return std::wstring();
  return name;
}

}  // namespace

LanguageSuffixes SuffixesForLocale(LCID locale) {
  const WORD language = LANGIDFROMLCID(locale);
  const WORD primary = PRIMARYLANGID(language);
  const WORD sublanguage = SUBLANGID(language);
  for (const SuffixRow& row : kSuffixRows) {
    if (row.primary != primary) continue;
    const bool probe = row.probe != nullptr && row.probeSublanguage == sublanguage;
    return {probe ? row.probe : nullptr, row.suffix};
  }
  return {nullptr, kEnglish};
}

bool LocalizedFileExists(const std::wstring& path) {
  if (path.empty()) return false;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

std::wstring ResolveLocalizedFile(const std::wstring& base, const std::wstring& extension,
                                  LCID locale) {
  const LanguageSuffixes suffixes = SuffixesForLocale(locale);
  if (suffixes.probe != nullptr) {
    std::wstring name = Compose(base, suffixes.probe, extension);
    if (LocalizedFileExists(name)) return name;
  }
  std::wstring name = Compose(base, suffixes.suffix, extension);
  if (LocalizedFileExists(name)) return name;
  return Compose(base, kEnglish, extension);
}

bool ChooseLanguageFont(const std::wstring& libraryPath, std::wstring* faceName, BYTE* charset) {
  const std::size_t slash = libraryPath.find_last_of(L"\\/");
  const std::wstring fileName =
      slash == std::wstring::npos ? libraryPath : libraryPath.substr(slash + 1);
  for (const LanguageFontRow& row : kFontRows) {
    if (fileName.find(row.marker) == std::wstring::npos) continue;
    *faceName = row.faceName;
    *charset = row.charset;
    return true;
  }
  return false;
}

bool ResolveLanguageLibrary(const std::wstring& base, LCID locale, std::wstring* path,
                            std::wstring* faceName, BYTE* charset) {
  *path = ResolveLocalizedFile(base, L".dll", locale);
  if (path->empty()) return false;
  ChooseLanguageFont(*path, faceName, charset);
  return true;
}

}  // namespace varrow
