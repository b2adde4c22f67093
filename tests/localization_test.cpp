// ApplyLocalization against scratch registry roots, scratch folders holding the
// built language libraries, and the real main dialog template.
#include "locale/localization.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace varrow {
namespace {

constexpr LCID kGerman = 0x0407;
constexpr LCID kJapanese = 0x0411;
constexpr LCID kTraditionalChinese = 0x0404;
constexpr LCID kHungarian = 0x040E;

// The folder of the test program, where the language libraries and help files
// are built.
std::wstring BuiltFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path);
  return text.substr(0, text.find_last_of(L'\\'));
}

// Copies a built file (e.g. "Varrow-de.dll") into `folder`, optionally renamed.
void CopyBuilt(const std::wstring& name, const std::wstring& folder, std::wstring target = L"") {
  if (target.empty()) target = name;
  ASSERT_TRUE(CopyFileW((BuiltFolder() + L"\\" + name).c_str(), (folder + L"\\" + target).c_str(),
                        FALSE))
      << "missing built file " << testing::PrintToString(name);
}

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

// The main dialog template 102 of the program's own resources, modeless.
class TemplateDialog {
 public:
  TemplateDialog() {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_TAB_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    window_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(102), nullptr,
                                 PlainDialogProc, 0);
  }
  ~TemplateDialog() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  HWND Get() const { return window_; }
  HFONT Font() const { return reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0)); }
  std::wstring Caption(int id) const { return TextOf(GetDlgItem(window_, id)); }
  HFONT FontOf(int id) const {
    return reinterpret_cast<HFONT>(SendDlgItemMessageW(window_, id, WM_GETFONT, 0, 0));
  }

 private:
  HWND window_ = nullptr;
};

// A package folder, a program folder and the machine root's DLLLocation.
class LocalizationTest : public testing::Test {
 protected:
  void SetLocation(const std::wstring& folder) {
    test::SetString(registry_.Machine(), ProductPath(), L"DLLLocation", folder);
  }
  bool Apply(HWND dialog, HFONT dialogFont, LCID locale) {
    return ApplyLocalization(dialog, dialogFont, registry_.Roots(), GetModuleHandleW(nullptr),
                             &state_, locale, program_.Path());
  }

  test::ScratchRegistry registry_;
  test::ScratchDir package_;
  test::ScratchDir program_;
  LocalizationState state_;
};

TEST_F(LocalizationTest, GermanTextsReachTitleAndCaptionsWithTheTemplateFont) {
  CopyBuilt(L"Varrow-de.dll", package_.Path());
  CopyBuilt(L"Varrow-en.dll", package_.Path());
  CopyBuilt(L"Pellor-de.chm", program_.Path());
  SetLocation(package_.Path());
  TemplateDialog dialog;
  ASSERT_NE(nullptr, dialog.Get());
  const HFONT templateFont = dialog.Font();

  EXPECT_TRUE(Apply(dialog.Get(), templateFont, kGerman));

  EXPECT_EQ(L"J2534-Konfigurationsprogramm", TextOf(dialog.Get()));
  const struct {
    int control;
    const wchar_t* caption;
  } captions[] = {
      {1019, L"Gerätekonfiguration"}, {1020, L"Standardgerät"},
      {1021, L"[Seriennummer des Geräts eingeben]"},
      {1017, L"Reihenfolge der Autoverbindung"},
      {1002, L"Überwachen"}, {1024, L"Überwachen"},
      {1057, L"Fehler „Puffer leer“ nicht protokollieren"},
      {1040, L"Übernehmen"}, {1, L"OK"}, {2, L"Abbrechen"}, {1048, L"Hilfe"},
      {1043, L"Mehr>>"}, {1046, L"<<Weniger"}, {1038, L"Mit J2534-Daten speichern"},
  };
  for (const auto& c : captions) {
    EXPECT_EQ(std::wstring(c.caption), dialog.Caption(c.control)) << "control " << c.control;
  }
  EXPECT_EQ(nullptr, GetDlgItem(dialog.Get(), 1039));  // absent from the template: skipped

  EXPECT_EQ(L"Bytes", state_.Text(107));
  EXPECT_EQ(L"Ungültiger Dateiname", state_.Text(151));
  EXPECT_EQ(L"Mindestens eine Schnittstelle muss ausgewählt sein. \n"
            L"Bitte wählen Sie mindestens eine Schnittstelle aus.",
            state_.Text(130));
  EXPECT_EQ(L"&Info über Pellor...", state_.Text(101));
  EXPECT_EQ(L"Die Seriennummer muss eine ganze Zahl von 0 bis 4294967295 sein.",
            state_.Text(kSerialRangeTextId));
  EXPECT_EQ(L"", state_.Text(152));  // stands in the table but is not loaded
  EXPECT_EQ(program_ / L"Pellor-de.chm", state_.HelpFile());

  EXPECT_FALSE(state_.HasLanguageFont());
  EXPECT_EQ(templateFont, state_.CurrentFont());
  EXPECT_EQ(templateFont, dialog.FontOf(1040));
}

TEST_F(LocalizationTest, EveryTextIsLoadedFromEachBuiltLibrary) {
  const wchar_t* languages[] = {L"en", L"de", L"fr", L"es-mx", L"ja", L"zh", L"ru", L"ar"};
  for (const wchar_t* language : languages) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(language)));
    const std::wstring name = std::wstring(L"Varrow-") + language + L".dll";
    HMODULE library = LoadLibraryExW((BuiltFolder() + L"\\" + name).c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, library);
    for (UINT id : kLocalizedTextIds) {
      const wchar_t* text = nullptr;
      EXPECT_GT(LoadStringW(library, id, reinterpret_cast<LPWSTR>(&text), 0), 0) << "id " << id;
    }
    const wchar_t* text = nullptr;
    EXPECT_GT(LoadStringW(library, 152, reinterpret_cast<LPWSTR>(&text), 0), 0);
    EXPECT_GT(LoadStringW(library, kSerialRangeTextId, reinterpret_cast<LPWSTR>(&text), 0), 0);
    for (UINT id : kMonitorRefusalTextIds) {
      EXPECT_GT(LoadStringW(library, id, reinterpret_cast<LPWSTR>(&text), 0), 0) << "id " << id;
    }
    FreeLibrary(library);
    // Loadable the ordinary way too: a module without entry point and imports.
    HMODULE plain = LoadLibraryW((BuiltFolder() + L"\\" + name).c_str());
    EXPECT_NE(nullptr, plain);
    if (plain != nullptr) FreeLibrary(plain);
  }
}

TEST_F(LocalizationTest, ChineseLibraryBringsItsOwnFontToTheControls) {
  CopyBuilt(L"Varrow-zh.dll", package_.Path());
  SetLocation(package_.Path());
  TemplateDialog dialog;
  ASSERT_NE(nullptr, dialog.Get());
  const HFONT templateFont = dialog.Font();

  EXPECT_TRUE(Apply(dialog.Get(), templateFont, kTraditionalChinese));

  EXPECT_EQ(L"J2534 配置应用程序", TextOf(dialog.Get()));
  ASSERT_TRUE(state_.HasLanguageFont());
  const HFONT font = state_.CurrentFont();
  ASSERT_NE(nullptr, font);
  EXPECT_NE(templateFont, font);
  LOGFONTW log = {};
  ASSERT_EQ(static_cast<int>(sizeof(log)), GetObjectW(font, sizeof(log), &log));
  EXPECT_EQ(L"Monotype Sans WT SC", std::wstring(log.lfFaceName));
  EXPECT_EQ(134, log.lfCharSet);
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(MulDiv(12, dpi, 96), log.lfHeight);  // 12 pixels at 96 DPI
  EXPECT_EQ(FW_NORMAL, log.lfWeight);
  EXPECT_EQ(0x31, log.lfPitchAndFamily);
  // Captioned and bound controls take it; the radio buttons keep the template font.
  for (int id : {1019, 1021, 1016, 1000, 1008, 1005, 1022, 1030, 1027, 1, 2, 1048}) {
    EXPECT_EQ(font, dialog.FontOf(id)) << "control " << id;
  }
  for (int id : {1011, 1014, 1033}) EXPECT_EQ(templateFont, dialog.FontOf(id)) << "control " << id;
  // The help file falls back to English (no help file at all here).
  EXPECT_EQ(program_ / L"Pellor-en.chm", state_.HelpFile());
}

TEST_F(LocalizationTest, HungarianFontUsesTheEastEuropeanCharacterSet) {
  CopyBuilt(L"Varrow-en.dll", package_.Path(), L"Varrow-hu.dll");
  SetLocation(package_.Path());
  EXPECT_TRUE(Apply(nullptr, nullptr, kHungarian));
  ASSERT_TRUE(state_.HasLanguageFont());
  LOGFONTW log = {};
  ASSERT_NE(0, GetObjectW(state_.CurrentFont(), sizeof(log), &log));
  EXPECT_EQ(EASTEUROPE_CHARSET, log.lfCharSet);
  EXPECT_EQ(L"Monotype Sans WT", std::wstring(log.lfFaceName));
}

TEST_F(LocalizationTest, PackageFolderNamedLikeALanguageGivesNoFont) {
  const std::wstring folder = package_ / L"tools-ru";
  ASSERT_TRUE(test::MakeDir(folder));
  CopyBuilt(L"Varrow-de.dll", folder);
  SetLocation(folder);
  TemplateDialog dialog;
  const HFONT templateFont = dialog.Font();
  EXPECT_TRUE(Apply(dialog.Get(), templateFont, kGerman));
  EXPECT_EQ(L"Übernehmen", dialog.Caption(1040));
  EXPECT_FALSE(state_.HasLanguageFont());
  EXPECT_EQ(templateFont, state_.CurrentFont());
  EXPECT_EQ(templateFont, dialog.FontOf(1040));
}

TEST_F(LocalizationTest, MissingLanguageLibraryFallsBackToEnglishButNotTheHelp) {
  // German locale, German help file, but only the English library.
  CopyBuilt(L"Varrow-en.dll", package_.Path());
  CopyBuilt(L"Pellor-de.chm", program_.Path());
  SetLocation(package_.Path());
  TemplateDialog dialog;
  EXPECT_TRUE(Apply(dialog.Get(), dialog.Font(), kGerman));
  EXPECT_EQ(L"Apply", dialog.Caption(1040));
  EXPECT_EQ(L"J2534 Configuration Application", TextOf(dialog.Get()));
  EXPECT_EQ(program_ / L"Pellor-de.chm", state_.HelpFile());
}

TEST_F(LocalizationTest, TextsTheLibraryLacksComeFromTheBuiltInTable) {
  // A German library holding only texts 105 and 113 (and 141 empty).
  CopyBuilt(L"varrow-test-partial.dll", package_.Path(), L"Varrow-de.dll");
  SetLocation(package_.Path());
  TemplateDialog dialog;
  EXPECT_TRUE(Apply(dialog.Get(), dialog.Font(), kGerman));
  EXPECT_EQ(L"Teilweise übersetzt", TextOf(dialog.Get()));
  EXPECT_EQ(L"Übernehmen", dialog.Caption(1040));
  EXPECT_EQ(L"Cancel", dialog.Caption(2));
  EXPECT_EQ(L"Help", dialog.Caption(1048));  // an empty translation is no text
  EXPECT_EQ(L"Invalid File Name", state_.Text(151));
  EXPECT_EQ(L"The serial number must be a whole number from 0 to 4294967295.",
            state_.Text(kSerialRangeTextId));
}

TEST_F(LocalizationTest, UnloadableLibraryFallsBackToTheEnglishLibrary) {
  // The font is still chosen from the resolved (Japanese) name.
  ASSERT_TRUE(test::WriteFileText(package_ / L"Varrow-ja.dll", "not a module"));
  CopyBuilt(L"Varrow-en.dll", package_.Path());
  SetLocation(package_.Path());
  EXPECT_TRUE(Apply(nullptr, nullptr, kJapanese));
  EXPECT_EQ(L"Cancel", state_.Text(108));
  ASSERT_TRUE(state_.HasLanguageFont());
  LOGFONTW log = {};
  ASSERT_NE(0, GetObjectW(state_.CurrentFont(), sizeof(log), &log));
  EXPECT_EQ(SHIFTJIS_CHARSET, log.lfCharSet);
}

// Without a usable library the texts come from the program's own table, so no
// message, list entry or caption is ever empty.
TEST_F(LocalizationTest, WithoutALibraryTheBuiltInEnglishTextsAreUsed) {
  struct Case {
    const char* name;
    int location;  // 0: no key, 1: key without value, 2: empty folder, 3: 130 chars, 4: 129 chars
    bool german;   // whether the German library is reached
  };
  const Case cases[] = {
      {"no product key", 0, false},
      {"no DLLLocation", 1, false},
      {"no library in the folder", 2, false},
      {"DLLLocation of 130 characters", 3, false},
      {"DLLLocation of 129 characters", 4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScratchRegistry registry;
    test::ScratchDir package;
    test::ScratchDir program;
    CopyBuilt(L"Pellor-en.chm", program.Path());
    if (c.location == 1) test::SetString(registry.Machine(), ProductPath(), L"Other", L"x");
    if (c.location == 2) test::SetString(registry.Machine(), ProductPath(), L"DLLLocation",
                                         package.Path());
    if (c.location >= 3) {
      const std::size_t length = c.location == 3 ? 130 : 129;
      ASSERT_LT(package.Path().size() + 1, length);
      const std::wstring folder =
          package / std::wstring(length - package.Path().size() - 1, L'p');
      ASSERT_EQ(length, folder.size());
      ASSERT_TRUE(test::MakeDir(folder));
      CopyBuilt(L"Varrow-de.dll", folder);
      test::SetString(registry.Machine(), ProductPath(), L"DLLLocation", folder);
    }
    TemplateDialog dialog;
    ASSERT_NE(nullptr, dialog.Get());
    SetWindowTextW(GetDlgItem(dialog.Get(), 1040), L"template");
    LocalizationState state;
    const bool loaded = ApplyLocalization(dialog.Get(), dialog.Font(), registry.Roots(),
                                          GetModuleHandleW(nullptr), &state, kGerman,
                                          program.Path());
    EXPECT_EQ(c.german, loaded);
    EXPECT_EQ(c.german ? L"Übernehmen" : L"Apply", dialog.Caption(1040));
    EXPECT_EQ(c.german ? L"Standardgerät" : L"Default Device", state.Text(134));
    EXPECT_EQ(c.german ? L"Abbrechen" : L"Cancel", state.Text(108));
    EXPECT_EQ(L"Version", state.Text(153));
    EXPECT_FALSE(state.Text(197).empty());
    EXPECT_EQ(program / L"Pellor-en.chm", state.HelpFile());
  }
}

TEST(LocalizationState, TextsByIdAndOwnedFont) {
  LocalizationState state;
  EXPECT_TRUE(state.SetText(116, L"a"));
  EXPECT_TRUE(state.SetText(101, L"b"));
  EXPECT_TRUE(state.SetText(kSerialRangeTextId, L"c"));
  EXPECT_FALSE(state.SetText(152, L"x"));
  EXPECT_FALSE(state.SetText(0, L"x"));
  EXPECT_EQ(L"a", state.Text(116));
  EXPECT_EQ(L"b", state.Text(101));
  EXPECT_EQ(L"c", state.Text(kSerialRangeTextId));
  EXPECT_EQ(L"", state.Text(152));

  const HFONT dialogFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HFONT language = CreateFontW(12, 0, 0, 0, FW_NORMAL, 0, 0, 0, 204, 0, 0, 0, 0x31, L"Arial");
  ASSERT_NE(nullptr, language);
  state.UseLanguageFont(dialogFont, language);
  EXPECT_EQ(language, state.CurrentFont());

  // Moving hands the font over; only the last owner deletes it.
  LocalizationState moved(std::move(state));
  EXPECT_EQ(language, moved.CurrentFont());
  EXPECT_EQ(L"a", moved.Text(116));
  EXPECT_FALSE(state.HasLanguageFont());
  EXPECT_EQ(static_cast<DWORD>(OBJ_FONT), GetObjectType(language));
  {
    LocalizationState last;
    last = std::move(moved);
    EXPECT_EQ(static_cast<DWORD>(OBJ_FONT), GetObjectType(language));
  }
  EXPECT_EQ(0u, GetObjectType(language));  // deleted exactly once
  EXPECT_EQ(static_cast<DWORD>(OBJ_FONT), GetObjectType(dialogFont));  // never deleted

  // Going back to the dialog font deletes an owned language font.
  LocalizationState again;
  HFONT second = CreateFontW(12, 0, 0, 0, FW_NORMAL, 0, 0, 0, 204, 0, 0, 0, 0x31, L"Arial");
  again.UseLanguageFont(dialogFont, second);
  again.UseDialogFont(dialogFont);
  EXPECT_EQ(dialogFont, again.CurrentFont());
  EXPECT_EQ(0u, GetObjectType(second));
}

}  // namespace
}  // namespace varrow
