// The brand table and the lookup of the machine's Brand value.
#include "locale/brand.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/settings_fixtures.h"

namespace varrow {
namespace {

class BrandTest : public test::SettingsTest {
 protected:
  void SetUp() override { ResetBrandCacheForTests(); }
  void TearDown() override {
    ResetBrandCacheForTests();
    SettingsTest::TearDown();
  }
  void SetBrand(const std::wstring& text) {
    test::SetString(Machine(), ProductPath(), L"Brand", text);
  }
  // A raw Brand value of `chars` UTF-16 units, with or without a terminator.
  void SetBrandRaw(const std::wstring& text, bool terminated) {
    test::SetRaw(Machine(), ProductPath(), L"Brand", REG_SZ, text.c_str(),
                 static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t)));
  }
};

TEST(BrandTableTest, RowsAreAsListedAndZeroPadded) {
  ASSERT_EQ(kBrandRows, 20);
  const std::pair<int, const char*> spot[] = {{1, "tln"},      {2, "brv"},     {3, "9480"},
                                              {5, "9440_XR"},  {13, "9460_CV"}, {19, "9460_PL"},
                                              {20, "Max ID"}};
  for (const auto& [id, name] : spot) EXPECT_STREQ(BrandTable[id - 1].shortName, name) << id;
  EXPECT_STREQ(BrandTable[0].longName, "Torva-Link");
  EXPECT_STREQ(BrandTable[18].longName, "Pelmora-Hub-II");
  for (int row = 0; row < kBrandRows; ++row) {
    const BrandRecord& brand = BrandTable[row];
    EXPECT_EQ(brand.id, row + 1);
    const std::size_t used = std::strlen(brand.shortName);
    for (std::size_t i = used; i < sizeof(brand.shortName); ++i) EXPECT_EQ(brand.shortName[i], 0);
    for (int other = 0; other < row; ++other)
      EXPECT_STRNE(BrandTable[other].shortName, brand.shortName);
  }
}

TEST_F(BrandTest, ValuesMatchExactly) {
  struct Case {
    std::wstring value;
    int id;  // 0: no match
  };
  const Case cases[] = {
      {L"tln", 1},
      {L"brv", 2},
      {L"9480", 3},
      {L"9440_GN", 10},
      {L"9460_PL", 19},
      {L"Max ID", 0},  // the terminator row is never compared
      {L"TLN", 0},
      {L"Tln", 0},
      {L" tln", 0},
      {L"tln ", 0},
      {L"", 0},
      {L"tl", 0},
      {L"9440_", 0},
      {L"\xFF54\xFF4C\xFF4E", 0},  // full-width letters are not "tln"
      {L"t\x013An", 0},            // an accented letter is not an "l"
  };
  for (const Case& c : cases) {
    ResetBrandCacheForTests();
    test::ScratchRegistry reg;
    test::SetString(reg.Machine(), ProductPath(), L"Brand", c.value);
    const std::wstring before = test::Snapshot(reg.Machine());
    int id = -7;
    EXPECT_EQ(LookupBrand(reg.Roots(), &id), c.id != 0) << c.value.size();
    EXPECT_EQ(id, c.id != 0 ? c.id : -7) << c.value.size();
    EXPECT_EQ(test::Snapshot(reg.Machine()), before);
  }
}

TEST_F(BrandTest, ValueMustFitTheBuffer) {
  // "tln", a terminator, and padding: 119 characters in all fit in 240 bytes
  // with the final terminator, 120 do not.
  std::wstring fits = std::wstring(L"tln") + L'\0' + std::wstring(115, L'x');
  ASSERT_EQ(fits.size(), 119u);
  SetBrandRaw(fits, true);
  FreezeMachine();
  int id = 0;
  EXPECT_TRUE(LookupBrand(Roots(), &id));
  EXPECT_EQ(id, 1);

  ResetBrandCacheForTests();
  SetBrandRaw(fits + L'x', true);  // 120 characters and a terminator
  FreezeMachine();
  id = -7;
  EXPECT_FALSE(LookupBrand(Roots(), &id));
  EXPECT_EQ(id, -7);

  // An unterminated short value is ended by the zero-filled buffer.
  SetBrandRaw(L"brv", false);
  FreezeMachine();
  EXPECT_TRUE(LookupBrand(Roots(), &id));
  EXPECT_EQ(id, 2);
}

TEST_F(BrandTest, MissingKeyOrValueFails) {
  int id = -7;
  EXPECT_FALSE(LookupBrand(Roots(), &id));  // no product key
  test::SetString(Machine(), ProductPath(), L"Other", L"tln");
  FreezeMachine();
  EXPECT_FALSE(LookupBrand(Roots(), &id));  // no Brand value
  EXPECT_EQ(id, -7);
}

TEST_F(BrandTest, SuccessIsCachedFailureIsNot) {
  int id = -7;
  EXPECT_FALSE(LookupBrand(Roots(), &id));  // nothing cached by a failure
  SetBrand(L"brv");
  FreezeMachine();
  EXPECT_TRUE(LookupBrand(Roots(), &id));
  EXPECT_EQ(id, 2);

  // Deleted, changed, or even no registry at all: the cached id is returned.
  {
    RegKey product;
    ASSERT_EQ(product.Open(Machine(), ProductPath(), KEY_SET_VALUE), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(product.Get(), L"Brand"), ERROR_SUCCESS);
  }
  FreezeMachine();
  id = 0;
  EXPECT_TRUE(LookupBrand(Roots(), &id));
  EXPECT_EQ(id, 2);
  RegistryRoots none;
  none.machine = nullptr;
  id = 0;
  EXPECT_TRUE(LookupBrand(none, &id));
  EXPECT_EQ(id, 2);

  // Other threads see the same cache.
  int other = 0;
  std::thread reader([&] { EXPECT_TRUE(LookupBrand(none, &other)); });
  reader.join();
  EXPECT_EQ(other, 2);
}

}  // namespace
}  // namespace varrow
