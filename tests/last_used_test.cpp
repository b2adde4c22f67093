// Clearing of the per-user LastUsed key.
#include "settings/last_used.h"

#include <gtest/gtest.h>

#include "tests/settings_fixtures.h"

namespace varrow {
namespace {

using test::Snapshot;

class LastUsedTest : public test::SettingsTest {
 protected:
  const std::wstring lastUsed = ProductPath({L"LastUsed"});
  // Settings beside LastUsed that must survive.
  void SeedNeighbours() {
    test::SetDword(User(), ProductPath({L"DefaultDevice"}), L"SerialNumber", 5);
    test::SetDword(User(), ProductPath({L"LastUsedOther", L"A"}), L"x", 1);
  }
  std::wstring Neighbours() const {
    return Snapshot(User(), ProductPath({L"DefaultDevice"})) +
           Snapshot(User(), ProductPath({L"LastUsedOther"}));
  }
};

TEST_F(LastUsedTest, SubkeysWithoutChildrenAndLastUsedAreDeleted) {
  FreezeMachine();
  SeedNeighbours();
  const std::wstring neighbours = Neighbours();
  // More names than the index shift of a delete-while-enumerating would reach.
  for (const wchar_t* name : {L"A", L"B", L"C", L"D", L"E", L"F", L"G"}) {
    test::SetDword(User(), lastUsed + L"\\" + name, L"Serial", 1);
  }
  test::SetDword(User(), lastUsed, L"Value", 1);
  ClearLastUsed(Roots());
  EXPECT_FALSE(test::KeyExists(User(), lastUsed));
  EXPECT_EQ(Neighbours(), neighbours);
}

TEST_F(LastUsedTest, SubkeyWithChildrenKeepsItselfAndLastUsed) {
  FreezeMachine();
  test::SetDword(User(), lastUsed + L"\\A", L"v", 1);
  test::SetDword(User(), lastUsed + L"\\B\\Inner", L"v", 2);
  test::SetDword(User(), lastUsed + L"\\C", L"v", 3);
  test::SetDword(User(), lastUsed, L"Value", 1);
  ClearLastUsed(Roots());
  EXPECT_EQ(Subkeys(User(), lastUsed), std::vector<std::wstring>{L"B"});
  EXPECT_EQ(GetDword(User(), lastUsed + L"\\B\\Inner", L"v"), 2u);
  EXPECT_EQ(GetDword(User(), lastUsed, L"Value"), 1u);
}

TEST_F(LastUsedTest, NothingHappensWithoutLastUsed) {
  FreezeMachine();
  ClearLastUsed(Roots());  // no product key at all
  EXPECT_EQ(Snapshot(User()), L"");
  SeedNeighbours();
  const std::wstring before = Snapshot(User());
  ClearLastUsed(Roots());
  EXPECT_EQ(Snapshot(User()), before);
}

}  // namespace
}  // namespace varrow
