// The start-up choice of mode and dialog template.
#include "app/varrow_app.h"

#include <gtest/gtest.h>

namespace varrow {
namespace {

const char* ModeName(StartMode mode) {
  switch (mode) {
    case StartMode::Uninstall: return "uninstall";
    case StartMode::Disable: return "disable";
    case StartMode::Interactive: return "interactive";
  }
  return "?";
}

// Whole command lines, program name first, as the process receives them.
TEST(StartupTest, CommandLineSelectsMode) {
  struct Case {
    const wchar_t* commandLine;
    const wchar_t* firstPlain;
    StartMode mode;
  };
  const Case cases[] = {
      {L"Varrow.exe", L"", StartMode::Interactive},
      {L"\"C:\\Program Files\\OVRA\\Varrow.exe\"", L"", StartMode::Interactive},
      {L"Varrow.exe uninstall", L"uninstall", StartMode::Uninstall},
      {L"\"C:\\Program Files\\OVRA\\Varrow.exe\" uninstall", L"uninstall", StartMode::Uninstall},
      {L"Varrow.exe UNINSTALL", L"UNINSTALL", StartMode::Uninstall},
      {L"Varrow.exe UnInstall", L"UnInstall", StartMode::Uninstall},
      {L"Varrow.exe \"uninstall\"", L"uninstall", StartMode::Uninstall},
      {L"Varrow.exe disable", L"disable", StartMode::Disable},
      {L"Varrow.exe DISABLE", L"DISABLE", StartMode::Disable},
      {L"Varrow.exe dIsAbLe", L"dIsAbLe", StartMode::Disable},
      {L"Varrow.exe /disable", L"", StartMode::Interactive},
      {L"Varrow.exe -uninstall", L"", StartMode::Interactive},
      {L"Varrow.exe \"/disable\"", L"", StartMode::Interactive},
      {L"Varrow.exe uninstalls", L"uninstalls", StartMode::Interactive},
      {L"Varrow.exe disable2", L"disable2", StartMode::Interactive},
      {L"Varrow.exe uninstall.txt", L"uninstall.txt", StartMode::Interactive},
      {L"Varrow.exe \"un install\"", L"un install", StartMode::Interactive},
      {L"Varrow.exe \"disable \"", L"disable ", StartMode::Interactive},
      {L"Varrow.exe \" uninstall\"", L" uninstall", StartMode::Interactive},
      {L"Varrow.exe uninstal", L"uninstal", StartMode::Interactive},
      {L"Varrow.exe \"disable extra\"", L"disable extra", StartMode::Interactive},
      {L"Varrow.exe disable extra", L"disable", StartMode::Disable},
      {L"Varrow.exe extra disable", L"extra", StartMode::Interactive},
      {L"Varrow.exe /q uninstall", L"uninstall", StartMode::Uninstall},
      {L"Varrow.exe -x /y disable uninstall", L"disable", StartMode::Disable},
      {L"Varrow.exe /uninstall disable", L"disable", StartMode::Disable},
      {L"Varrow.exe \"\" uninstall", L"uninstall", StartMode::Uninstall},
      {L"Varrow.exe \"C:\\My Files\\a b.txt\" uninstall", L"C:\\My Files\\a b.txt",
       StartMode::Interactive},
  };
  for (const Case& c : cases) {
    const std::wstring first = FirstPlainParameter(c.commandLine);
    EXPECT_EQ(first, c.firstPlain) << c.commandLine;
    EXPECT_STREQ(ModeName(SelectMode(first)), ModeName(c.mode)) << c.commandLine;
  }
  EXPECT_EQ(FirstPlainParameter(nullptr), L"");
}

TEST(StartupTest, ArabicAndHebrewLocalesGetTheRightToLeftTemplate) {
  const std::pair<LCID, UINT> cases[] = {
      {0x0401, 154},  // Arabic (Saudi Arabia)
      {0x0801, 154},  // Arabic (Iraq): same primary language
      {0x3C01, 154},  // Arabic (Bahrain)
      {0x040D, 154},  // Hebrew
      {0x0001040D, 154},  // Hebrew with a sort id above the language bits
      {0x0409, 102},  // English
      {0x0429, 102},  // Farsi: right-to-left, but not chosen
      {0x0420, 102},  // Urdu
      {0x0411, 102},  // Japanese
      {0x0000, 102},
      {0x0400, 102},  // sublanguage bits only
  };
  for (const auto& [locale, templateId] : cases) {
    EXPECT_EQ(ChooseDialogTemplate(locale), templateId) << std::hex << locale;
  }
}

}  // namespace
}  // namespace varrow
