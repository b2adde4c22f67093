// The device settings records: reading and writing of the ordered sections and
// the default device, the accessors, and the dialog's conversions.
#include "settings/device_settings.h"

#include <gtest/gtest.h>

#include "tests/settings_fixtures.h"

namespace varrow {
namespace {

using test::Snapshot;

class DeviceSettingsTest : public test::SettingsTest {
 protected:
  const std::wstring userOrder = ProductPath({kAutoConnectionSection});
  const std::wstring userTypes = ProductPath({kInterfaceTypeSection});
  const std::wstring userDevice = ProductPath({kDefaultDeviceSection});
};

TEST_F(DeviceSettingsTest, GapInEntriesIsCountedAndSavedAsZeros) {
  FreezeMachine();
  SeedEntry(User(), userOrder, L"Connection00", 1, 1);
  SeedEntry(User(), userOrder, L"Connection01", 3, 0);
  SeedEntry(User(), userOrder, L"Connection03", 5, 1);
  test::SetDword(User(), userOrder, L"Version", 4);

  DeviceSettings settings;
  settings.defaultDevice.Load(Roots());
  ASSERT_NE(settings.autoConnection.Load(Roots()), nullptr);
  settings.interfaceType.Load(Roots());
  OrderList& order = settings.autoConnection;
  EXPECT_EQ(order.Count(), 3u);
  EXPECT_EQ(order.Version(), 4u);
  EXPECT_EQ(order.number[0], 1u);
  EXPECT_EQ(order.number[1], 3u);
  EXPECT_EQ(order.number[2], 0u);
  EXPECT_EQ(order.enabled[2], 0u);
  EXPECT_EQ(order.number[3], 5u);  // stored, but beyond the count
  EXPECT_EQ(order.Number(3), 0u);

  // The user checks the empty row; the save writes positions 0..2 only.
  EXPECT_EQ(order.SetEnabled(2, 1), 1u);
  WriteDeviceSettings(Roots(), settings);
  EXPECT_EQ(Subkeys(User(), userOrder),
            (std::vector<std::wstring>{L"Connection00", L"Connection01", L"Connection02",
                                       L"Connection03"}));
  EXPECT_EQ(GetDword(User(), userOrder + L"\\Connection02", L"Number"), 0u);
  EXPECT_EQ(GetDword(User(), userOrder + L"\\Connection02", L"Enabled"), 1u);
  EXPECT_EQ(GetDword(User(), userOrder + L"\\Connection01", L"Number"), 3u);
  EXPECT_EQ(GetDword(User(), userOrder + L"\\Connection03", L"Number"), 5u);
  EXPECT_EQ(GetDword(User(), userOrder + L"\\Connection03", L"Enabled"), 1u);
  EXPECT_EQ(GetDword(User(), userOrder, L"Version"), 4u);
}

// Entry names: which position each one fills. Every name is counted.
TEST(EntryPositionTest, NamesGivePositions) {
  struct Case {
    const wchar_t* name;
    bool stored;
    DWORD position;
  };
  const Case cases[] = {
      {L"Connection00", true, 0},      {L"Connection03", true, 3},
      {L"Connection9", true, 9},       {L"Connection09", true, 9},
      {L"Connection", true, 0},        {L"ConnectionXY", true, 0},
      {L"Connection 5", true, 5},      {L"Connection\t+4", true, 4},
      {L"Connection7abc", true, 7},    {L"connection06", true, 6},
      {L"Connection-0", true, 0},      {L"Connection10", false, 0},
      {L"Connection12", false, 0},     {L"Connection-1", false, 0},
      {L"Connection+-1", true, 0},     {L" Connection 5", false, 0},
      {L"Connectio", false, 0},        {L"X", false, 0},
      {L"InterfaceType02", false, 0},  {L"Connection4294967296", false, 0},
      {L"Connection0000000000000000000000000000000000000008", true, 8},
      {L"Connection99999999999999999999999999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    DWORD position = 0xdeadbeef;
    EXPECT_EQ(EntryPosition(c.name, kAutoConnectionPrefix, &position), c.stored) << c.name;
    EXPECT_EQ(position, c.stored ? c.position : 0xdeadbeefu) << c.name;
  }
}

TEST_F(DeviceSettingsTest, OddEntryNamesAreCountedButNotStored) {
  FreezeMachine();
  SeedEntry(User(), userOrder, L"Connection12", 4, 1);
  SeedEntry(User(), userOrder, L"Connection-1", 4, 1);
  SeedEntry(User(), userOrder, L" Connection 5", 4, 1);
  SeedEntry(User(), userOrder, L"Connection99999999999999999999", 4, 1);
  SeedEntry(User(), userOrder, L"Connection 6", 2, 1);  // blank after the prefix is allowed
  SeedEntry(User(), userOrder, L"Connection08", 3, 0);
  test::SetDword(User(), userOrder + L"\\Connection01", L"Number", 5);  // no Enabled
  // The longest name a key can have (255 characters) still gives its position.
  const std::wstring longest = L"Connection" + std::wstring(244, L'0') + L"3";
  ASSERT_EQ(longest.size(), 255u);
  SeedEntry(User(), userOrder, longest, 4, 1);
  // A Number of the wrong size is not read.
  const BYTE two[2] = {9, 0};
  test::SetRaw(User(), userOrder + L"\\Connection02", L"Number", REG_DWORD, two, 2);
  OrderList order(kAutoConnectionSection, kAutoConnectionPrefix);
  order.Load(Roots());
  EXPECT_EQ(order.Count(), 9u);
  const DWORD numbers[kOrderEntries] = {0, 5, 0, 4, 0, 0, 2, 0, 3, 0};
  const DWORD enabled[kOrderEntries] = {0, 0, 0, 1, 0, 0, 1, 0, 0, 0};
  for (DWORD i = 0; i < kOrderEntries; ++i) {
    EXPECT_EQ(order.number[i], numbers[i]) << i;
    EXPECT_EQ(order.enabled[i], enabled[i]) << i;
  }
}

TEST_F(DeviceSettingsTest, CountStopsAtTenAndLoadClearsOldEntries) {
  FreezeMachine();
  for (int i = 0; i < 12; ++i) {
    wchar_t name[32];
    swprintf(name, 32, L"Connection%02d", i);
    SeedEntry(User(), userOrder, name, 100 + i, 1);
  }
  OrderList order(kAutoConnectionSection, kAutoConnectionPrefix);
  order.Load(Roots());
  EXPECT_EQ(order.Count(), 10u);
  for (DWORD i = 0; i < kOrderEntries; ++i) EXPECT_EQ(order.Number(i), 100 + i);

  // Entries removed by another program are gone after the next load.
  for (int i = 0; i < 12; ++i) {
    wchar_t name[32];
    swprintf(name, 32, L"Connection%02d", i);
    if (i != 4) {
      ASSERT_EQ(DeleteTree(order.Key(), name), ERROR_SUCCESS);
    }
  }
  order.Load(Roots());
  EXPECT_EQ(order.Count(), 1u);
  EXPECT_EQ(order.number[4], 104u);
  EXPECT_EQ(order.number[0], 0u);
  EXPECT_EQ(order.Number(0), 0u);
}

TEST(OrderListTest, AccessorsStayWithinTheCount) {
  OrderList order(kAutoConnectionSection, kAutoConnectionPrefix);
  // Nothing loaded: no position is readable or writable.
  EXPECT_EQ(order.SetNumber(0, 3), 0u);
  EXPECT_EQ(order.number[0], 0u);
  order.count = 2;
  struct Case {
    DWORD position;
    DWORD value;
    DWORD returned;
  };
  const Case cases[] = {{0, 4, 4}, {1, 7, 7}, {2, 9, 0}, {9, 9, 0}, {10, 9, 0}, {0xFFFFFFFF, 9, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(order.SetNumber(c.position, c.value), c.returned) << c.position;
    EXPECT_EQ(order.SetEnabled(c.position, c.value + 1), c.returned ? c.value + 1 : 0) << c.position;
    EXPECT_EQ(order.Number(c.position), c.returned) << c.position;
    EXPECT_EQ(order.Enabled(c.position), c.returned ? c.value + 1 : 0) << c.position;
  }
  for (DWORD i = 2; i < kOrderEntries; ++i) EXPECT_EQ(order.number[i], 0u) << i;
  // A count beyond the ten entries (set by hand) still never reaches past them.
  order.count = 50;
  EXPECT_EQ(order.SetNumber(10, 1), 0u);
  EXPECT_EQ(order.Number(12), 0u);
}

TEST_F(DeviceSettingsTest, SaveWritesFourByteDwordsAndLeavesOtherKeysAlone) {
  FreezeMachine();
  SeedEntry(User(), userTypes, L"InterfaceType00", 21, 1);
  SeedEntry(User(), userTypes, L"InterfaceType01", 22, 0);
  test::SetDword(User(), userTypes, L"Version", 3);
  SeedEntry(User(), userOrder, L"Connection00", 7, 1);  // an unknown kind keeps its number
  test::SetDword(User(), userOrder, L"Version", 2);
  test::SetDword(User(), userDevice, L"SerialNumber", 3000000000u);
  test::SetDword(User(), userDevice, L"Version", 1);
  test::SetDword(User(), ProductPath({L"Monitoring"}), L"Other", 1);
  const std::wstring before = Snapshot(User());

  DeviceSettings settings;
  settings.defaultDevice.Load(Roots());
  settings.autoConnection.Load(Roots());
  settings.interfaceType.Load(Roots());
  EXPECT_EQ(settings.defaultDevice.serialNumber, 3000000000u);
  EXPECT_EQ(FormatSerialNumber(settings.defaultDevice.serialNumber, L"[x]"), L"3000000000");
  EXPECT_EQ(ConnectionCaptionId(settings.autoConnection.Number(0)), 140u);
  // Saving what was loaded rewrites the same bytes: the tree is unchanged,
  // interface types and their Version included.
  WriteDeviceSettings(Roots(), settings);
  EXPECT_EQ(Snapshot(User()), before);

  DWORD type = 0, size = 0;
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(User(), (userOrder + L"\\Connection00").c_str(), 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, L"Number", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size, 4u);
}

TEST_F(DeviceSettingsTest, SaveCreatesMissingSectionsWithoutLoadedKeys) {
  FreezeMachine();
  DeviceSettings settings;  // never loaded: no kept keys, empty orders
  settings.defaultDevice.serialNumber = 42;
  settings.defaultDevice.state.version = 5;
  WriteDeviceSettings(Roots(), settings);
  EXPECT_EQ(settings.defaultDevice.Key(), nullptr);
  EXPECT_EQ(GetDword(User(), userDevice, L"SerialNumber"), 42u);
  EXPECT_EQ(GetDword(User(), userDevice, L"Version"), 5u);
  EXPECT_EQ(Subkeys(User(), userOrder), std::vector<std::wstring>{});
  EXPECT_EQ(GetDword(User(), userOrder, L"Version"), 0u);
  EXPECT_EQ(GetDword(User(), userTypes, L"Version"), 0u);
}

TEST_F(DeviceSettingsTest, SaveAfterFactoryLoadKeepsFactoryVersion) {
  const std::wstring factoryOrder = FactoryPath({kAutoConnectionSection});
  SeedEntry(Machine(), factoryOrder, L"Connection00", 1, 1);
  SeedEntry(Machine(), factoryOrder, L"Connection01", 2, 1);
  test::SetDword(Machine(), factoryOrder, L"Version", 6);
  FreezeMachine();
  DeviceSettings settings;
  settings.autoConnection.Load(Roots());
  // Rows moved and one unchecked in the dialog, then saved.
  settings.autoConnection.SetNumber(0, 2);
  settings.autoConnection.SetNumber(1, 1);
  settings.autoConnection.SetEnabled(1, 0);
  WriteDeviceSettings(Roots(), settings);
  EXPECT_EQ(GetDword(User(), userOrder, L"Version"), 6u);
  EXPECT_EQ(GetDword(User(), userOrder + L"\\Connection00", L"Number"), 2u);
  EXPECT_EQ(GetDword(User(), userOrder + L"\\Connection01", L"Number"), 1u);
  EXPECT_EQ(GetDword(User(), userOrder + L"\\Connection01", L"Enabled"), 0u);
  // The next load keeps the user's order.
  OrderList again(kAutoConnectionSection, kAutoConnectionPrefix);
  again.Load(Roots());
  EXPECT_EQ(again.Number(0), 2u);
  EXPECT_EQ(again.Enabled(1), 0u);
}

TEST(SerialNumberTest, ParseTable) {
  struct Case {
    const wchar_t* text;
    SerialParse result;
    DWORD value;
  };
  const Case cases[] = {
      {L"[Enter Device Serial Number]", SerialParse::Ok, 0},
      {L"", SerialParse::Ok, 0},
      {L"12ab", SerialParse::Ok, 12},
      {L"  \t+42", SerialParse::Ok, 42},
      {L"1 2", SerialParse::Ok, 1},
      {L"+", SerialParse::Ok, 0},
      {L"-", SerialParse::Ok, 0},
      {L"++1", SerialParse::Ok, 0},
      {L"2147483648", SerialParse::Ok, 2147483648u},
      {L"3000000000", SerialParse::Ok, 3000000000u},
      {L"4294967295", SerialParse::Ok, 4294967295u},
      {L"0000000000000000000000000000000000000007", SerialParse::Ok, 7},
      {L"4294967296", SerialParse::OutOfRange, 0},
      {L"9999999999", SerialParse::OutOfRange, 0},
      {L"1234567890123456789012345678901234567890", SerialParse::OutOfRange, 0},
      {L"-1", SerialParse::OutOfRange, 0},
      {L"  -2147483648", SerialParse::OutOfRange, 0},
  };
  for (const Case& c : cases) {
    DWORD value = 0xdeadbeef;
    EXPECT_EQ(ParseSerialNumber(c.text, &value), c.result) << c.text;
    EXPECT_EQ(value, c.result == SerialParse::Ok ? c.value : 0xdeadbeefu) << c.text;
  }
}

TEST(SerialNumberTest, FormatRoundTripsEveryUnsignedValue) {
  const std::wstring placeholder = L"[Enter Device Serial Number]";
  EXPECT_EQ(FormatSerialNumber(0, placeholder), placeholder);
  for (DWORD serial : {1u, 12u, 2147483647u, 2147483648u, 3000000000u, 4294967295u}) {
    const std::wstring text = FormatSerialNumber(serial, placeholder);
    EXPECT_EQ(text.find(L'-'), std::wstring::npos) << serial;
    DWORD back = 0;
    EXPECT_EQ(ParseSerialNumber(text, &back), SerialParse::Ok) << serial;
    EXPECT_EQ(back, serial);
  }
  EXPECT_EQ(FormatSerialNumber(3000000000u, placeholder), L"3000000000");
}

TEST(ConnectionCaptionTest, KindsMapToStringIds) {
  const std::pair<DWORD, UINT> cases[] = {{1, 132}, {2, 134}, {3, 133}, {4, 135}, {5, 136},
                                          {0, 140}, {6, 140}, {7, 140}, {0xFFFFFFFF, 140}};
  for (const auto& [number, id] : cases) EXPECT_EQ(ConnectionCaptionId(number), id) << number;
  EXPECT_FALSE(AnyRowChecked({}));
  EXPECT_FALSE(AnyRowChecked({0, 0, 0}));
  EXPECT_TRUE(AnyRowChecked({0, 0, 1}));
}

}  // namespace
}  // namespace varrow
