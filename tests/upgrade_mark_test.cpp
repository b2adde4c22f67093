#include "installer/upgrade_mark.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace varrow {
namespace {

// A removal counts as an upgrade's only while the upgrade's mark is fresh: a
// mark left behind by an upgrade that did not finish, of another type, or
// from a clock far ahead never keeps a later removal from cleaning up.
TEST(UpgradeMark, CountsOnlyWhileFresh) {
  constexpr std::uint64_t kMinute = 60ULL * 10000000;
  const std::uint64_t now = TimeNow();
  const struct {
    const char* what;
    std::uint64_t written;  // 0: no mark
    bool counts;
  } cases[] = {
      {"no mark", 0, false},
      {"just written", now, true},
      {"nine minutes old", now - 9 * kMinute, true},
      {"eleven minutes old", now - 11 * kMinute, false},
      {"half a minute ahead", now + kMinute / 2, true},
      {"an hour ahead", now + 60 * kMinute, false},
  };
  for (const auto& c : cases) {
    test::ScratchRegistry reg;
    if (c.written != 0) {
      ASSERT_EQ(WriteUpgradeMark(reg.Machine(), c.written), ERROR_SUCCESS) << c.what;
    }
    EXPECT_EQ(UpgradeMarkCounts(reg.Machine(), now), c.counts) << c.what;
  }

  test::ScratchRegistry reg;
  test::SetDword(reg.Machine(), kUpgradeMarkKey, kUpgradeMarkValue, 1);
  EXPECT_FALSE(UpgradeMarkCounts(reg.Machine(), now)) << "a value of another type";
  // Cleared: the value goes, and the key with it unless something else is there.
  ASSERT_EQ(WriteUpgradeMark(reg.Machine(), now), ERROR_SUCCESS);
  test::SetDword(reg.Machine(), kUpgradeMarkKey, L"Other", 1);
  ClearUpgradeMark(reg.Machine());
  EXPECT_FALSE(UpgradeMarkCounts(reg.Machine(), now));
  EXPECT_TRUE(test::ValueExists(reg.Machine(), kUpgradeMarkKey, L"Other"));
  ASSERT_EQ(WriteUpgradeMark(reg.Machine(), now), ERROR_SUCCESS);
  RegDeleteKeyValueW(reg.Machine(), kUpgradeMarkKey, L"Other");
  ClearUpgradeMark(reg.Machine());
  EXPECT_FALSE(test::KeyExists(reg.Machine(), kUpgradeMarkKey));
  EXPECT_TRUE(test::KeyExists(reg.Machine(), L"SOFTWARE\\OVRA"));
}

}  // namespace
}  // namespace varrow
