// The factory-fallback load, exercised through the device-settings sections.
#include "settings/versioned_section.h"

#include <gtest/gtest.h>

#include <optional>

#include "settings/device_settings.h"
#include "tests/settings_fixtures.h"

namespace varrow {
namespace {

using test::Snapshot;

class VersionedSectionTest : public test::SettingsTest {
 protected:
  const std::wstring userOrder = ProductPath({kAutoConnectionSection});
  const std::wstring factoryOrder = FactoryPath({kAutoConnectionSection});
  const std::wstring userDevice = ProductPath({kDefaultDeviceSection});
  const std::wstring factoryDevice = FactoryPath({kDefaultDeviceSection});
};

TEST_F(VersionedSectionTest, EmptyTreesCreateEmptyUserSections) {
  FreezeMachine();
  DeviceSettings settings;
  HKEY device = settings.defaultDevice.Load(Roots());
  HKEY order = settings.autoConnection.Load(Roots());
  HKEY types = settings.interfaceType.Load(Roots());
  ASSERT_NE(device, nullptr);
  ASSERT_NE(order, nullptr);
  ASSERT_NE(types, nullptr);
  EXPECT_EQ(device, settings.defaultDevice.Key());
  EXPECT_EQ(order, settings.autoConnection.Key());
  EXPECT_EQ(types, settings.interfaceType.Key());
  EXPECT_EQ(settings.defaultDevice.serialNumber, 0u);
  EXPECT_EQ(settings.autoConnection.Count(), 0u);
  EXPECT_EQ(settings.interfaceType.Count(), 0u);
  // The three section keys exist and hold nothing.
  for (const wchar_t* section :
       {kDefaultDeviceSection, kAutoConnectionSection, kInterfaceTypeSection}) {
    EXPECT_EQ(Snapshot(User(), ProductPath({section})), L"") << section;
  }
  EXPECT_EQ(Subkeys(User(), ProductPath()),
            (std::vector<std::wstring>{kAutoConnectionSection, kDefaultDeviceSection,
                                       kInterfaceTypeSection}));
}

// Which copy wins for each combination of versions; absent versions are nullopt.
TEST_F(VersionedSectionTest, NewerFactoryCopyReplacesUserCopy) {
  struct Case {
    const char* what;
    std::optional<DWORD> factoryVersion;
    std::optional<DWORD> userVersion;
    bool userSectionExists;
    bool factoryWins;
  };
  const Case cases[] = {
      {"factory 3 over user 2", 3, 2, true, true},
      {"equal versions", 4, 4, true, false},
      {"user above factory", 2, 5, true, false},
      {"user without Version", 1, std::nullopt, true, true},
      {"no user section", 2, std::nullopt, false, true},
      {"factory Version 0", 0, std::nullopt, true, false},
      {"factory without Version", std::nullopt, std::nullopt, true, false},
      {"factory without Version, no user section", std::nullopt, std::nullopt, false, false},
      {"unsigned comparison", 0x80000000u, 1, true, true},
      {"user at the top of the range", 0x80000000u, 0xFFFFFFFFu, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ScratchRegistry reg;
    // Factory: serial 111, one entry. User: serial 222, two entries and a stray value.
    test::SetDword(reg.Machine(), factoryDevice, L"SerialNumber", 111);
    SeedEntry(reg.Machine(), factoryOrder, L"Connection00", 5, 1);
    if (c.factoryVersion) {
      test::SetDword(reg.Machine(), factoryDevice, L"Version", *c.factoryVersion);
      test::SetDword(reg.Machine(), factoryOrder, L"Version", *c.factoryVersion);
    }
    if (c.userSectionExists) {
      test::SetDword(reg.User(), userDevice, L"SerialNumber", 222);
      test::SetDword(reg.User(), userDevice, L"Stray", 9);
      SeedEntry(reg.User(), userOrder, L"Connection00", 1, 1);
      SeedEntry(reg.User(), userOrder, L"Connection01", 2, 0);
      if (c.userVersion) {
        test::SetDword(reg.User(), userDevice, L"Version", *c.userVersion);
        test::SetDword(reg.User(), userOrder, L"Version", *c.userVersion);
      }
    }
    const std::wstring machineBefore = Snapshot(reg.Machine());
    const std::wstring userBefore = Snapshot(reg.User());

    DeviceSettings settings;
    settings.defaultDevice.Load(reg.Roots());
    settings.autoConnection.Load(reg.Roots());
    EXPECT_EQ(Snapshot(reg.Machine()), machineBefore);

    if (c.factoryWins) {
      EXPECT_EQ(settings.defaultDevice.serialNumber, 111u);
      EXPECT_EQ(settings.defaultDevice.Version(), *c.factoryVersion);
      EXPECT_EQ(settings.autoConnection.Count(), 1u);
      EXPECT_EQ(settings.autoConnection.Number(0), 5u);
      // The user's copy is now exactly the factory copy.
      EXPECT_EQ(Snapshot(reg.User(), userDevice), Snapshot(reg.Machine(), factoryDevice));
      EXPECT_EQ(Snapshot(reg.User(), userOrder), Snapshot(reg.Machine(), factoryOrder));
      EXPECT_FALSE(test::ValueExists(reg.User(), userDevice, L"Stray"));
      EXPECT_FALSE(test::KeyExists(reg.User(), userOrder + L"\\Connection01"));
    } else if (c.userSectionExists) {
      EXPECT_EQ(settings.defaultDevice.serialNumber, 222u);
      EXPECT_EQ(settings.autoConnection.Count(), 2u);
      EXPECT_EQ(settings.autoConnection.Number(1), 2u);
      EXPECT_EQ(Snapshot(reg.User()), userBefore);  // nothing written
    } else {
      EXPECT_EQ(settings.defaultDevice.serialNumber, 0u);
      EXPECT_EQ(settings.autoConnection.Count(), 0u);
      EXPECT_EQ(Snapshot(reg.User(), userDevice), L"");
    }

    // A second load takes the user's copy and writes nothing.
    const std::wstring afterFirst = Snapshot(reg.User());
    const HKEY kept = settings.autoConnection.Key();
    EXPECT_EQ(settings.autoConnection.Load(reg.Roots()), kept);
    settings.defaultDevice.Load(reg.Roots());
    EXPECT_EQ(Snapshot(reg.User()), afterFirst);
    EXPECT_EQ(Snapshot(reg.Machine()), machineBefore);
    EXPECT_EQ(settings.defaultDevice.serialNumber, c.factoryWins ? 111u : (c.userSectionExists ? 222u : 0u));
  }
}

TEST_F(VersionedSectionTest, NewerFactorySectionWithoutEntriesEmptiesUserSection) {
  test::SetDword(Machine(), factoryOrder, L"Version", 7);
  FreezeMachine();
  SeedEntry(User(), userOrder, L"Connection00", 1, 1);
  SeedEntry(User(), userOrder, L"Connection01", 3, 1);
  test::SetDword(User(), userOrder, L"Version", 6);

  OrderList order(kAutoConnectionSection, kAutoConnectionPrefix);
  ASSERT_NE(order.Load(Roots()), nullptr);
  EXPECT_EQ(order.Count(), 0u);
  EXPECT_EQ(order.Version(), 7u);
  EXPECT_EQ(Subkeys(User(), userOrder), std::vector<std::wstring>{});
  EXPECT_EQ(Snapshot(User(), userOrder), Snapshot(Machine(), factoryOrder));  // Version only
}

TEST_F(VersionedSectionTest, ReplacedKeyIsTheOneKeptAndReturned) {
  FreezeMachine();
  OrderList order(kAutoConnectionSection, kAutoConnectionPrefix);
  ASSERT_NE(order.Load(Roots()), nullptr);  // empty user section, kept open

  // The factory settings are raised while the record keeps its key open.
  test::SetDword(reg_.Machine(), factoryOrder, L"Version", 2);
  SeedEntry(reg_.Machine(), factoryOrder, L"Connection00", 4, 1);
  FreezeMachine();
  HKEY replaced = order.Load(Roots());
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced, order.Key());
  EXPECT_EQ(order.Number(0), 4u);
  // The returned handle is the live user section: a value set through it shows
  // at the section's path.
  ASSERT_EQ(WriteDword(replaced, L"Probe", 1), ERROR_SUCCESS);
  EXPECT_EQ(GetDword(User(), userOrder, L"Probe"), 1u);
  EXPECT_EQ(GetDword(User(), userOrder, L"Version"), 2u);
}

TEST_F(VersionedSectionTest, MissingSourceVersionKeepsRecordVersion) {
  FreezeMachine();
  test::SetDword(User(), userDevice, L"SerialNumber", 5);
  DefaultDeviceRecord device;
  device.state.version = 9;
  device.Load(Roots());
  EXPECT_EQ(device.serialNumber, 5u);
  EXPECT_EQ(device.Version(), 9u);
  EXPECT_FALSE(test::ValueExists(User(), userDevice, L"Version"));
}

TEST_F(VersionedSectionTest, MisshapedVersionValuesCountAsAbsent) {
  // A factory Version of 8 bytes is not a version: the factory copy is unused.
  const BYTE eight[8] = {5, 0, 0, 0, 0, 0, 0, 0};
  test::SetRaw(Machine(), factoryDevice, L"Version", REG_BINARY, eight, 8);
  test::SetDword(Machine(), factoryDevice, L"SerialNumber", 111);
  FreezeMachine();
  DefaultDeviceRecord device;
  device.Load(Roots());
  EXPECT_EQ(device.serialNumber, 0u);
  EXPECT_EQ(Snapshot(User(), userDevice), L"");
}

TEST_F(VersionedSectionTest, UnopenableUserRootLeavesRecordWithoutKey) {
  FreezeMachine();
  RegistryRoots roots = Roots();
  roots.user = nullptr;
  DefaultDeviceRecord device;
  device.serialNumber = 77;
  EXPECT_EQ(device.Load(roots), nullptr);
  EXPECT_EQ(device.Key(), nullptr);
  EXPECT_EQ(device.serialNumber, 77u);  // no source: the record is left alone
}

}  // namespace
}  // namespace varrow
