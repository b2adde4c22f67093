#include "settings/registry.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace varrow {
namespace {

using test::ScratchRegistry;

TEST(RegistryTest, DwordNeedsExactlyFourBytes) {
  ScratchRegistry reg;
  const BYTE three[3] = {1, 2, 3};
  const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  test::SetRaw(reg.User(), L"k", L"three", REG_DWORD, three, 3);
  test::SetRaw(reg.User(), L"k", L"eight", REG_BINARY, eight, 8);
  test::SetRaw(reg.User(), L"k", L"empty", REG_DWORD, nullptr, 0);
  test::SetRaw(reg.User(), L"k", L"binary4", REG_BINARY, eight, 4);
  RegKey key;
  ASSERT_EQ(key.Open(reg.User(), L"k", KEY_READ), ERROR_SUCCESS);
  for (const wchar_t* name : {L"three", L"eight", L"empty", L"missing"}) {
    DWORD value = 0xdeadbeef;
    EXPECT_NE(ReadDword(key.Get(), name, &value), ERROR_SUCCESS) << name;
    EXPECT_EQ(value, 0xdeadbeefu) << name;
  }
  DWORD value = 0;
  EXPECT_EQ(ReadDword(key.Get(), L"binary4", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0x04030201u);
}

TEST(RegistryTest, StringIsBoundedAndAlwaysTerminated) {
  ScratchRegistry reg;
  std::wstring longest(259, L'a');
  std::wstring tooLong(260, L'b');
  test::SetString(reg.User(), L"k", L"fits", longest);
  // Stored without terminator: 260 characters exactly fill the field.
  test::SetRaw(reg.User(), L"k", L"unterminated", REG_SZ, tooLong.data(), 260 * 2);
  std::wstring shortText = L"abc";
  test::SetRaw(reg.User(), L"k", L"short", REG_SZ, shortText.data(), 3 * 2);
  test::SetRaw(reg.User(), L"k", L"odd", REG_SZ, "a\0b", 3);
  RegKey key;
  ASSERT_EQ(key.Open(reg.User(), L"k", KEY_READ), ERROR_SUCCESS);
  std::wstring out = L"sentinel";
  EXPECT_EQ(ReadString(key.Get(), L"fits", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, longest);
  out = L"sentinel";
  EXPECT_NE(ReadString(key.Get(), L"unterminated", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, L"sentinel");
  EXPECT_EQ(ReadString(key.Get(), L"short", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, L"abc");
  EXPECT_EQ(ReadString(key.Get(), L"odd", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, L"a");
}

TEST(RegistryTest, KeyOwnershipMovesAndClosesOnce) {
  ScratchRegistry reg;
  RegKey a;
  bool created = false;
  ASSERT_EQ(a.Create(reg.User(), L"x\\y", KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &created),
            ERROR_SUCCESS);
  EXPECT_TRUE(created);
  RegKey b(std::move(a));
  EXPECT_FALSE(a.Valid());
  EXPECT_TRUE(b.Valid());
  ASSERT_EQ(a.Create(reg.User(), L"x\\y", KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &created),
            ERROR_SUCCESS);
  EXPECT_FALSE(created);
  EXPECT_EQ(ProductPath({L"Monitoring", L"J2534 API"}),
            L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\J2534 API");
  EXPECT_EQ(FactoryPath({L"DefaultDevice"}), L"SOFTWARE\\OVRA\\OVRA_VCI\\DefaultSettings\\DefaultDevice");
}

}  // namespace
}  // namespace varrow
