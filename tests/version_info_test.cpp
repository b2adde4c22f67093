// The version resource reader, the two packers and the version-line rule.
#include <windows.h>

#include <gtest/gtest.h>

#include "locale/version_info.h"

namespace varrow {
namespace {

TEST(PackVersionNumber, PacksOneBytePerComponentKeepingTheLastFour) {
  struct Case {
    const char* text;
    std::uint32_t packed;
  } cases[] = {
      {"1.13.6.20", 0x010D0614},
      {"1, 2, 3, 4", 0x01020304},
      {"1.300", 0x0000012C},          // 300 reduced to its low byte
      {"1.2.3.4.5", 0x02030405},      // only the last four survive
      {"1.a.F.x", 0x010A0F00},        // hex letters 10-15, other letters 0
      {"7", 0x00000007},
      {"1\t2\n3 4", 0x01020304},      // every separator splits
      {"..", 0x00000000},             // no tokens
  };
  for (const Case& c : cases) {
    std::uint32_t packed = 0xdeadbeef;
    EXPECT_TRUE(PackVersionNumber(c.text, &packed)) << c.text;
    EXPECT_EQ(packed, c.packed) << c.text;
  }
}

TEST(PackVersionNumber, RefusesEmptyAndOverlongTextsLeavingTheOutputAlone) {
  for (const std::string& text : {std::string(), std::string(128, '1')}) {
    std::uint32_t packed = 0xdeadbeef;
    EXPECT_FALSE(PackVersionNumber(text, &packed)) << text.size();
    EXPECT_EQ(packed, 0xdeadbeefu);
  }
  std::uint32_t packed = 0;
  EXPECT_TRUE(PackVersionNumber(std::string(127, '1'), &packed));
}

TEST(PackCompileDate, PacksYearMonthAndDay) {
  struct Case {
    const char* text;
    std::uint32_t packed;
  } cases[] = {
      {"2012oct06", 0x2A0A0600},
      {"2012Oct06", 0x2A000600},  // the month is compared case-sensitively
      {"1970jan01", 0x00010100},
      {"2226dec31", 0x000C1F00},  // 256 years wrap to 0
      {"2012oct", 27071500},      // fewer than three fields
      {"", 27071500},
  };
  for (const Case& c : cases) EXPECT_EQ(PackCompileDate(c.text), c.packed) << c.text;
}

TEST(VersionLine, CutsTheLastComponentAfterReplacingCommaBlank) {
  struct Case {
    const wchar_t* version;
    const wchar_t* part;
  } cases[] = {
      {L"1.13.6.20", L"1.13.6"}, {L"1, 2, 3, 4", L"1.2.3"}, {L"1.2.3.4", L"1.2.3"},
      {L"1,2,3,4", L""},         {L"7", L""},               {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(VersionPart(c.version), c.part) << c.version;
  EXPECT_EQ(BuildVersionLine(L"Version", L"1,2,3,4"), L"Version ");
  EXPECT_EQ(BuildVersionLine(L"", L"1.13.6.20"), L" 1.13.6");
}

TEST(ReadVersionInfo, ReadsTheProgramsOwnResource) {
  // The test module carries the program's resources.
  VersionInfo info;
  ASSERT_TRUE(ReadVersionInfo(GetModuleHandleW(nullptr), &info));
  EXPECT_EQ(info.productVersion, "1.13.6.20");
  EXPECT_EQ(info.productName, "Pellor");
  EXPECT_EQ(info.fileDescription, "J2534 Configuration Application");
  EXPECT_EQ(info.packedVersion, 0x010D0614u);
  EXPECT_EQ(info.packedCompileDate, 0x2A0A0600u);
  EXPECT_EQ(ReadVersionLine(GetModuleHandleW(nullptr), L"Version"), L"Version 1.13.6");
}

TEST(ReadVersionInfo, ModuleWithoutVersionResourceGivesNoLine) {
  // A module that is not the running program and has no file: the path lookup fails.
  EXPECT_EQ(ReadVersionLine(reinterpret_cast<HINSTANCE>(0x10), L"Version"), L"");
}

}  // namespace
}  // namespace varrow
