// Language suffixes, localised file names and the language font table.
#include "locale/language.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace varrow {
namespace {

struct SuffixCase {
  LCID locale;
  const wchar_t* probe;  // nullptr: no first probe
  const wchar_t* suffix;
};

TEST(LanguageSuffixes, ChosenByPrimaryLanguageAndSublanguage) {
  const SuffixCase cases[] = {
      {0x0401, nullptr, L"-ar"},     {0x0402, nullptr, L"-bg"},
      {0x0404, L"-zh-tw", L"-zh"},   {0x0804, nullptr, L"-zh"},
      {0x0C04, nullptr, L"-zh"},     {0x0405, nullptr, L"-cs"},
      {0x0406, nullptr, L"-da"},     {0x0407, nullptr, L"-de"},
      {0x0807, nullptr, L"-de"},     {0x0408, nullptr, L"-el"},
      {0x0409, nullptr, L"-en"},     {0x0809, nullptr, L"-en"},
      {0x040A, L"-es", L"-es-mx"},   {0x080A, nullptr, L"-es-mx"},
      {0x0C0A, nullptr, L"-es-mx"},  {0x040B, nullptr, L"-fi"},
      {0x040C, nullptr, L"-fr"},     {0x0C0C, L"-fr-ca", L"-fr"},
      {0x080C, nullptr, L"-fr"},     {0x040E, nullptr, L"-hu"},
      {0x0410, nullptr, L"-it"},     {0x0411, nullptr, L"-ja"},
      {0x0412, nullptr, L"-ko"},     {0x0413, nullptr, L"-nl"},
      {0x0414, nullptr, L"-no"},     {0x0814, nullptr, L"-no"},
      {0x0415, nullptr, L"-pl"},     {0x0416, nullptr, L"-pt-br"},
      {0x0816, nullptr, L"-pt-br"},  {0x0418, nullptr, L"-ro"},
      {0x0419, nullptr, L"-ru"},     {0x041A, nullptr, L"-hr"},
      {0x081A, nullptr, L"-hr"},     {0x141A, nullptr, L"-hr"},
      {0x041D, nullptr, L"-sv"},     {0x041E, nullptr, L"-th"},
      {0x041F, nullptr, L"-tr"},     {0x0421, nullptr, L"-id"},
      {0x0424, nullptr, L"-sl"},     {0x040D, nullptr, L"-en"},  // Hebrew
      {0x041B, nullptr, L"-en"},     {0x0422, nullptr, L"-en"},  // Slovak, Ukrainian
      {0x0000, nullptr, L"-en"},     {0x0004, nullptr, L"-zh"},  // neutral sublanguage
      // Only the low 16 bits are the language; a sort id above them is ignored.
      {0x0001040A, L"-es", L"-es-mx"},
  };
  for (const SuffixCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "locale 0x" << c.locale);
    const LanguageSuffixes s = SuffixesForLocale(c.locale);
    EXPECT_EQ(std::wstring(c.suffix), s.suffix);
    if (c.probe == nullptr) {
      EXPECT_EQ(nullptr, s.probe);
    } else {
      ASSERT_NE(nullptr, s.probe);
      EXPECT_EQ(std::wstring(c.probe), s.probe);
    }
  }
}

struct ResolveCase {
  LCID locale;
  std::vector<const wchar_t*> present;  // suffixes whose files exist
  const wchar_t* expected;
};

TEST(ResolveLocalizedFile, ProbesThenTableSuffixThenEnglish) {
  const ResolveCase cases[] = {
      {0x0407, {L"-de", L"-en"}, L"-de"},
      {0x0404, {L"-zh"}, L"-zh"},                     // -zh-tw probed, -zh used
      {0x0404, {L"-zh-tw", L"-zh"}, L"-zh-tw"},
      {0x0C0C, {L"-fr"}, L"-fr"},                     // -fr-ca probed, -fr used
      {0x0C0C, {L"-fr-ca", L"-fr"}, L"-fr-ca"},
      {0x0C0C, {}, L"-en"},
      {0x080A, {L"-es", L"-es-mx"}, L"-es-mx"},       // Mexico never tries -es
      {0x080A, {L"-es"}, L"-en"},
      {0x040A, {L"-es", L"-es-mx"}, L"-es"},          // traditional sort probes -es
      {0x040A, {L"-es-mx"}, L"-es-mx"},
      {0x0C0A, {L"-es", L"-es-mx"}, L"-es-mx"},       // modern sort does not
      {0x0C04, {L"-zh-tw", L"-zh"}, L"-zh"},          // Hong Kong: no -zh-tw probe
      {0x0C04, {L"-zh-tw"}, L"-en"},
      {0x0816, {L"-pt-br"}, L"-pt-br"},
      {0x0411, {L"-en", L"-de"}, L"-en"},             // no Japanese library
      {0x040D, {L"-ar", L"-en"}, L"-en"},             // Hebrew has no row
      {0x0407, {}, L"-en"},                           // English name even when absent
  };
  for (const ResolveCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "locale 0x" << c.locale);
    test::ScratchDir dir;
    for (const wchar_t* suffix : c.present) {
      ASSERT_TRUE(test::WriteFileText(dir / (std::wstring(L"Varrow") + suffix + L".dll"), "x"));
    }
    EXPECT_EQ(dir / (std::wstring(L"Varrow") + c.expected + L".dll"),
              ResolveLocalizedFile(dir / L"Varrow", L".dll", c.locale));
  }
}

TEST(ResolveLocalizedFile, NamesBeyondTheFieldAreNotUsed) {
  test::ScratchDir dir;
  // A folder name that leaves room for "Varrow-de.dll" but not for "Varrow-zh-tw.dll".
  const std::size_t room = 259 - dir.Path().size() - 1;  // characters after the "\"
  const std::wstring base = dir / std::wstring(room - std::wstring(L"-zh.dll").size(), L'v');
  ASSERT_EQ(259u, (base + L"-zh.dll").size());
  // The probe does not fit: it is never tried, the -zh name is used.
  EXPECT_EQ(base + L"-en.dll", ResolveLocalizedFile(base, L".dll", 0x0404));
  ASSERT_TRUE(test::WriteFileText(base + L"-zh.dll", "x"));
  EXPECT_EQ(base + L"-zh.dll", ResolveLocalizedFile(base, L".dll", 0x0404));
  // Even the English name does not fit: no name at all rather than a cut one.
  EXPECT_EQ(L"", ResolveLocalizedFile(base + L"xx", L".dll", 0x0409));
}

struct FontCase {
  const wchar_t* path;
  const wchar_t* face;  // nullptr: no row matches
  BYTE charset;
};

TEST(ChooseLanguageFont, RowsInTableOrderOnTheFileName) {
  const FontCase cases[] = {
      {L"C:\\Pkg\\Varrow-hu.dll", L"Monotype Sans WT", 238},  // East European, not 129
      {L"C:\\Pkg\\Varrow-tr.dll", L"Monotype Sans WT", 162},
      {L"C:\\Pkg\\Varrow-th.dll", L"Monotype Sans WT", 222},
      {L"C:\\Pkg\\Varrow-ru.dll", L"Monotype Sans WT", 204},
      {L"C:\\Pkg\\Varrow-el.dll", L"Monotype Sans WT", 161},
      {L"C:\\Pkg\\Varrow-ar.dll", L"Monotype Sans WT", 178},
      {L"C:\\Pkg\\Varrow-ko.dll", L"Monotype Sans WT K", 129},
      {L"C:\\Pkg\\Varrow-zh-tw.dll", L"Monotype Sans WT TC", 136},  // before -zh
      {L"C:\\Pkg\\Varrow-zh.dll", L"Monotype Sans WT SC", 134},
      {L"C:\\Pkg\\Varrow-ja.dll", L"Monotype Sans WT J", 128},
      {L"C:\\Pkg\\Varrow-de.dll", nullptr, 0},
      {L"C:\\Pkg\\Varrow-en.dll", nullptr, 0},
      {L"C:\\Pkg\\Varrow-pt-br.dll", nullptr, 0},
      // Folder names never count: a "-ru" or "-ja" folder gives nobody a font.
      {L"C:\\Tools-ru\\Varrow-de.dll", nullptr, 0},
      {L"C:\\my-ja-tools\\Varrow-en.dll", nullptr, 0},
      {L"C:\\Tools-ru\\Varrow-zh.dll", L"Monotype Sans WT SC", 134},
      {L"C:/Tools-ru/Varrow-fr.dll", nullptr, 0},
      {L"Varrow-ko.dll", L"Monotype Sans WT K", 129},  // a bare file name
  };
  for (const FontCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(std::wstring(c.path)));
    std::wstring face = L"unchanged";
    BYTE charset = 77;
    const bool found = ChooseLanguageFont(c.path, &face, &charset);
    if (c.face == nullptr) {
      EXPECT_FALSE(found);
      EXPECT_EQ(L"unchanged", face);
      EXPECT_EQ(77, charset);
    } else {
      EXPECT_TRUE(found);
      EXPECT_EQ(std::wstring(c.face), face);
      EXPECT_EQ(c.charset, charset);
    }
  }
}

TEST(ResolveLanguageLibrary, FontFollowsTheResolvedName) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::WriteFileText(dir / L"Varrow-zh.dll", "x"));
  ASSERT_TRUE(test::WriteFileText(dir / L"Varrow-en.dll", "x"));
  std::wstring path, face;
  BYTE charset = 0;
  // Traditional Chinese with only the simplified library: simplified font.
  ASSERT_TRUE(ResolveLanguageLibrary(dir / L"Varrow", 0x0404, &path, &face, &charset));
  EXPECT_EQ(dir / L"Varrow-zh.dll", path);
  EXPECT_EQ(L"Monotype Sans WT SC", face);
  EXPECT_EQ(134, charset);

  // Japanese without a Japanese library: English name, no font.
  face.clear();
  charset = 0;
  ASSERT_TRUE(ResolveLanguageLibrary(dir / L"Varrow", 0x0411, &path, &face, &charset));
  EXPECT_EQ(dir / L"Varrow-en.dll", path);
  EXPECT_EQ(L"", face);
  EXPECT_EQ(0, charset);
}

TEST(ResolveLanguageLibrary, FolderNamedLikeALanguageGivesNoFont) {
  test::ScratchDir dir;
  const std::wstring folder = dir / L"drivers-ru";
  ASSERT_TRUE(test::MakeDir(folder));
  ASSERT_TRUE(test::WriteFileText(folder + L"\\Varrow-de.dll", "x"));
  std::wstring path, face;
  BYTE charset = 0;
  ASSERT_TRUE(ResolveLanguageLibrary(folder + L"\\Varrow", 0x0407, &path, &face, &charset));
  EXPECT_EQ(folder + L"\\Varrow-de.dll", path);
  EXPECT_EQ(0, charset);
  EXPECT_EQ(L"", face);
}

}  // namespace
}  // namespace varrow
