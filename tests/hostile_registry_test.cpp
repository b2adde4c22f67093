// Hostile registry data, written for real into scratch roots, through the
// monitoring load, the device-settings load, Apply, disable and uninstall.
#include <gtest/gtest.h>

#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "monitoring/maintenance.h"
#include "settings/device_settings.h"
#include "tests/hostile_fixtures.h"

namespace varrow {
namespace {

using test::CaseCounter;
using test::DwordOf;
using test::RawValue;
using test::SetDword;
using test::SetString;
using test::SetValue;

class HostileRegistry : public test::MonitoringFixture {
 protected:
  std::wstring Device(const std::wstring& name) {
    return std::wstring(kJ2534RegistrationPath) + L"\\" + name;
  }
  MonitoringState Load() {
    MonitoringState state;
    LoadMonitoringConfiguration(state, reg.Roots(), 0, L"text131");
    return state;
  }
  // Every text of every record fits its field, and the tables stay in bounds.
  void ExpectBounded(const MonitoringState& state) {
    EXPECT_LE(state.J2534Count, kMaxImplementations);
    EXPECT_LE(state.PduCount, 1);
    EXPECT_GE(state.PduSupportingIndex, -1);
    EXPECT_LT(state.PduSupportingIndex, state.J2534Count);
    EXPECT_LE(state.J2534MessageSizes.count, 10u);
    EXPECT_LE(state.PduMessageSizes.count, 10u);
    EXPECT_LT(state.LogFileLocation.size(), kFieldChars);
    for (const auto* table : {&state.J2534, &state.Pdu}) {
      for (const ApiImplementation& r : *table) {
        EXPECT_LT(r.Identifier().size(), kFieldChars);
        EXPECT_LT(r.FunctionLibrary().size(), kFieldChars);
        EXPECT_LT(r.MonitorLibrary().size(), kFieldChars);
        EXPECT_LT(r.OutputFile().size(), kFieldChars);
      }
    }
  }
  CaseCounter cases;
};

TEST_F(HostileRegistry, TextsThatDoNotFitAreNeverTaken) {
  const std::wstring library = MakeFile(L"lib.dll", "library");
  const std::vector<RawValue> hostile = test::OversizedTexts();
  // Which value gets the hostile data, and what the load must show for it.
  enum Slot { FunctionLibrary, Vendor, MonitorLibrary, LogFileLocation, OutputFile, PduLibrary };
  for (Slot slot : {FunctionLibrary, Vendor, MonitorLibrary, LogFileLocation, OutputFile,
                    PduLibrary}) {
    for (const RawValue& value : hostile) {
      test::ScratchRegistry scratch;
      const HKEY machine = scratch.Machine();
      const std::wstring device = Device(L"Dev");
      SetString(machine, device, L"Vendor", L"V");
      SetString(machine, device, L"Name", L"N");
      SetString(machine, device, L"FunctionLibrary", library);
      SetString(machine, FactoryPath({L"Monitoring", kJ2534ApiName}), L"MonitorLibrary", L"M.dll");
      SetString(machine, ProductPath(), L"LogFileLocation", L"C:\\Logs\\");
      SetString(machine, ProductPath({kPduSupportSection}), L"FunctionLibrary", library);
      const std::wstring settings =
          ProductPath({L"Monitoring", kJ2534ApiName, SettingsKeyName(library)});
      SetDword(scratch.User(), settings, L"OutputFormat", 3);
      SetString(scratch.User(), settings, L"OutputFile", L"C:\\Logs\\ok.csv");
      switch (slot) {
        case FunctionLibrary: SetValue(machine, device, L"FunctionLibrary", value); break;
        case Vendor: SetValue(machine, device, L"Vendor", value); break;
        case MonitorLibrary:
          SetValue(machine, FactoryPath({L"Monitoring", kJ2534ApiName}), L"MonitorLibrary", value);
          break;
        case LogFileLocation: SetValue(machine, ProductPath(), L"LogFileLocation", value); break;
        case OutputFile: SetValue(scratch.User(), settings, L"OutputFile", value); break;
        case PduLibrary:
          SetValue(machine, ProductPath({kPduSupportSection}), L"FunctionLibrary", value);
          break;
      }
      const std::wstring before = test::Snapshot(machine);
      MonitoringState state;
      LoadMonitoringConfiguration(state, scratch.Roots(), 0, L"");
      SCOPED_TRACE(std::string("slot ") + std::to_string(slot) + ", " + value.label);
      ExpectBounded(state);
      ASSERT_EQ(state.J2534Count, 1);
      const ApiImplementation& r = state.J2534[0];
      switch (slot) {
        case FunctionLibrary:
          EXPECT_EQ(r.FunctionLibrary(), L"");
          EXPECT_EQ(r.LibraryFound(), 0);
          break;
        case Vendor: EXPECT_EQ(state.CaptionsOf(ApiKind::J2534)[0], L" - N"); break;
        case MonitorLibrary: EXPECT_EQ(r.MonitorLibrary(), L""); break;
        case LogFileLocation: EXPECT_EQ(state.LogFileLocation, L""); break;
        case OutputFile:
          EXPECT_EQ(r.OutputFile(), L"");
          EXPECT_EQ(r.OutputFormat(), 3) << "the other values are still read";
          break;
        case PduLibrary:
          EXPECT_EQ(state.Pdu[0].FunctionLibrary(), L"");
          EXPECT_EQ(state.Pdu[0].LibraryFound(), 0);
          break;
      }
      EXPECT_EQ(before, test::Snapshot(machine));
      cases.Add();
    }
  }
  Seal();
}

TEST_F(HostileRegistry, NumbersAreReadOnlyFromFourBytes) {
  for (const RawValue& value : test::DwordShapes()) {
    SCOPED_TRACE(value.label);
    test::ScratchRegistry scratch;
    const HKEY machine = scratch.Machine();
    const std::wstring device = Device(L"Dev");
    SetString(machine, device, L"FunctionLibrary", L"C:\\none\\lib.dll");
    SetValue(machine, device, L"PDUAPISupported", value);
    const std::wstring settings =
        ProductPath({L"Monitoring", kJ2534ApiName, SettingsKeyName(L"C:\\none\\lib.dll")});
    SetValue(scratch.User(), settings, L"OutputFormat", value);
    SetValue(scratch.User(), settings, L"Version", value);
    const std::wstring sizes = ProductPath({L"Monitoring", kJ2534ApiName, L"MessageSizes"});
    SetDword(scratch.User(), sizes, L"MessageSize00", 0);
    SetValue(scratch.User(), sizes, L"MessageSize01", value);
    SetValue(scratch.User(), ProductPath({L"DefaultDevice"}), L"SerialNumber", value);

    MonitoringState state;
    LoadMonitoringConfiguration(state, scratch.Roots(), 0, L"");
    ExpectBounded(state);
    const bool isNumber = value.bytes.size() == 4;
    EXPECT_EQ(state.PduSupportingIndex, DwordOf(value, 0) == 1 ? 0 : -1);
    EXPECT_EQ(state.J2534[0].OutputFormat(), static_cast<std::int32_t>(DwordOf(value, 1)));
    EXPECT_EQ(state.J2534[0].Version(), DwordOf(value, 0));
    EXPECT_EQ(state.J2534MessageSizes.count, isNumber ? 2u : 1u);
    EXPECT_EQ(state.J2534MessageSizes.sizes[1], DwordOf(value, 0));

    DeviceSettings device_settings;
    device_settings.defaultDevice.Load(scratch.Roots());
    EXPECT_EQ(device_settings.defaultDevice.serialNumber, DwordOf(value, 0));
    cases.Add();
  }
  Seal();
}

TEST_F(HostileRegistry, EntryNamesWithSignsBlanksAndHugeNumbers) {
  const struct {
    const wchar_t* name;
    int position;  // -1: counted, not stored
  } table[] = {
      {L"Connection+3", 3},          {L"Connection 4", 4},
      {L"Connection\t\t5", 5},       {L"Connection-0", 0},
      {L"Connection-1", -1},         {L"Connection4294967296", -1},
      {L"Connection99999999999999999999", -1},
      {L"Connection0x6", 0},         {L"connection07", 7},
      {L"Connection", 0},            {L"Connection10", -1},
      {L"Elsewhere02", -1},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(test::Narrow(row.name));
    test::ScratchRegistry scratch;
    const std::wstring section = ProductPath({kAutoConnectionSection});
    SetDword(scratch.User(), section + L"\\" + row.name, L"Number", 4);
    SetDword(scratch.User(), section + L"\\" + row.name, L"Enabled", 1);
    OrderList list(kAutoConnectionSection, kAutoConnectionPrefix);
    list.Load(scratch.Roots());
    EXPECT_EQ(list.count, 1u);
    for (DWORD i = 0; i < kOrderEntries; ++i) {
      const bool stored = row.position >= 0 && i == static_cast<DWORD>(row.position);
      EXPECT_EQ(list.number[i], stored ? 4u : 0u) << "position " << i;
      EXPECT_EQ(list.enabled[i], stored ? 1u : 0u) << "position " << i;
    }
    cases.Add();
  }
  Seal();
}

TEST_F(HostileRegistry, TenThousandDeviceKeysAndTheLongestNames) {
  // 10,000 device keys without values, one 255-character name, and a
  // monitored library registered under the key enumerated last.
  RegKey registration;
  ASSERT_EQ(registration.Create(reg.Machine(), kJ2534RegistrationPath, KEY_ALL_ACCESS),
            ERROR_SUCCESS);
  for (int i = 0; i < 10000; ++i) {
    wchar_t name[32];
    std::swprintf(name, 32, L"k%05d", i);
    RegKey key;
    ASSERT_EQ(key.Create(registration.Get(), name, KEY_WRITE), ERROR_SUCCESS);
  }
  const std::wstring longName(255, L'L');
  SetString(reg.Machine(), Device(longName), L"Vendor", L"Long");
  test::MakeDir(dir / L"j");
  const std::wstring library = MakeFile(L"j\\last.dll", "monitor");
  MakeFile(L"j\\_last.dll", "library");
  SetString(reg.Machine(), Device(L"zz last"), L"FunctionLibrary", library);
  cases.Add(10002);
  Seal();

  const MonitoringState state = Load();
  ExpectBounded(state);
  EXPECT_EQ(state.J2534Count, kMaxImplementations) << "further device keys are ignored";

  MachineLayout layout;
  layout.roots = reg.Roots();
  DisableAllMonitoring(layout);
  EXPECT_EQ(Content(library), "library") << "the key after 10,000 others is still reached";
  EXPECT_FALSE(test::FileExists(dir / L"j\\_last.dll"));
}

TEST_F(HostileRegistry, LongestSubkeyNameIsTheIdentifier) {
  const std::wstring longName(255, L'n');
  SetString(reg.Machine(), Device(longName), L"Vendor", L"V");
  SetString(reg.Machine(), Device(longName), L"FunctionLibrary", L"C:\\none\\x.dll");
  Seal();
  const MonitoringState state = Load();
  ASSERT_EQ(state.J2534Count, 1);
  EXPECT_EQ(state.J2534[0].Identifier(), longName);
  cases.Add();
}

TEST_F(HostileRegistry, UninstallAmongHostileHives) {
  // Hives with the longest names, a vendor key without the product, and a
  // product tree of 1,000 subkeys.
  const std::wstring longHive(255, L'h');
  SetString(reg.Users(), longHive + L"\\SOFTWARE\\OVRA\\OVRA_VCI", L"x", L"y");
  SetString(reg.Users(), L"S-1\\SOFTWARE\\OVRA\\Other", L"keep", L"me");
  RegKey product;
  ASSERT_EQ(product.Create(reg.Users(), L"S-2\\SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring", KEY_ALL_ACCESS),
            ERROR_SUCCESS);
  for (int i = 0; i < 1000; ++i) {
    RegKey key;
    ASSERT_EQ(key.Create(product.Get(), L"sub" + std::to_wstring(i), KEY_WRITE), ERROR_SUCCESS);
  }
  product.Close();
  Seal();
  MachineLayout layout;
  layout.roots = reg.Roots();
  UninstallUserSettings(layout);
  EXPECT_FALSE(test::KeyExists(reg.Users(), longHive + L"\\SOFTWARE\\OVRA\\OVRA_VCI"));
  EXPECT_FALSE(test::KeyExists(reg.Users(), L"S-2\\SOFTWARE\\OVRA\\OVRA_VCI"));
  EXPECT_TRUE(test::ValueExists(reg.Users(), L"S-1\\SOFTWARE\\OVRA\\Other", L"keep"));
  cases.Add(1003);
}

}  // namespace
}  // namespace varrow
