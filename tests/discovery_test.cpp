#include "monitoring/discovery.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include "monitoring/library_swap.h"
#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

using test::KeyExists;
using test::SetDword;
using test::SetString;
using test::ValueExists;

const std::wstring kTorva = L"Torva - Link";

class Discovery : public test::MonitoringFixture {
 protected:
  void Load(int brandId = 3) { LoadMonitoringConfiguration(state, reg.Roots(), brandId, kTorva); }
  std::wstring UserMonitoring(ApiKind kind) { return ProductPath({L"Monitoring", ApiKindName(kind)}); }
  MonitoringState state;
};

TEST_F(Discovery, CaptionsAndPduSupportPerBrand) {
  const struct {
    int brand;
    std::wstring second, pdu;
  } cases[] = {
      {1, kTorva, kTorva},
      {2, L"Vendor2 - Name2", L"Vendor2 - Name2"},
  };
  AddJ2534Device(L"Dev1", L"Vendor1", L"Name1", dir / L"one.dll");
  AddJ2534Device(L"Dev2", L"Vendor2", L"Name2", dir / L"two.dll", 1);
  SetPduLibrary(dir / L"pdu.dll");
  Seal();
  for (const auto& c : cases) {
    MonitoringState s;
    LoadMonitoringConfiguration(s, reg.Roots(), c.brand, kTorva);
    ASSERT_EQ(s.J2534Count, 2) << c.brand;
    const std::vector<std::wstring> expected = {L"Vendor1 - Name1", c.second};
    EXPECT_EQ(s.CaptionsOf(ApiKind::J2534), expected) << c.brand;
    EXPECT_EQ(s.PduSupportingIndex, 1) << c.brand;
    EXPECT_EQ(s.PduCaption, L"Vendor2 - Name2") << c.brand;
    ASSERT_EQ(s.PduCount, 1);
    EXPECT_EQ(s.CaptionsOf(ApiKind::PDU), std::vector<std::wstring>{c.pdu}) << c.brand;
    EXPECT_EQ(s.J2534[0].Identifier(), L"Dev1");
    EXPECT_EQ(s.Pdu[0].Identifier(), L"OVRA - OVRA VCI");
  }
}

TEST_F(Discovery, NothingFlaggedLeavesThePduCaptionEmpty) {
  AddJ2534Device(L"Dev1", L"V", L"N", dir / L"one.dll", 0);
  SetPduLibrary(dir / L"pdu.dll");
  Seal();
  Load(3);
  EXPECT_EQ(state.PduSupportingIndex, -1);
  EXPECT_EQ(state.PduCaption, L"");
  EXPECT_EQ(state.CaptionsOf(ApiKind::PDU), std::vector<std::wstring>{L""});
}

TEST_F(Discovery, NoRegistrationsGiveNoImplementations) {
  SetString(reg.Machine(), ProductPath(), L"LogFileLocation", L"D:\\Logs\\");
  Seal();
  Load();
  EXPECT_EQ(state.J2534Count, 0);
  EXPECT_EQ(state.PduCount, 0);
  EXPECT_TRUE(state.CaptionsOf(ApiKind::J2534).empty());
  EXPECT_TRUE(state.CaptionsOf(ApiKind::PDU).empty());
  EXPECT_EQ(state.PduSupportingIndex, -1);
  EXPECT_EQ(state.LogFileLocation, L"D:\\Logs\\");
}

TEST_F(Discovery, LibraryFoundAndMonitoringDetected) {
  test::MakeDir(dir / L"Tools");
  MakeFile(L"Tools\\bare.dll", "bare");
  MakeFile(L"present.dll", "lib");
  MakeFile(L"_aside.dll", "set aside");  // aside.dll itself is missing
  MakeFile(L"_nodir.dll", "not probed without a folder");
  AddJ2534Device(L"A", L"V", L"present", dir / L"present.dll");
  AddJ2534Device(L"B", L"V", L"bare", L"bare.dll");
  AddJ2534Device(L"C", L"V", L"aside", dir / L"aside.dll");
  AddJ2534Device(L"D", L"V", L"missing", dir / L"missing.dll");
  SetMonitorDefault(ApiKind::J2534, L"C:\\mon\\monitor.dll");
  Seal();
  test::ScopedPathVariable path((dir / L"Nowhere") + L";" + (dir / L"Tools") + L"\\ ");
  Load();
  ASSERT_EQ(state.J2534Count, 4);
  const struct {
    std::wstring library;
    int found, monitored;
  } expected[] = {
      {dir / L"present.dll", 1, 0},
      {dir / L"Tools\\bare.dll", 1, 0},
      {dir / L"aside.dll", 0, 1},
      {dir / L"missing.dll", 0, 0},
  };
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(state.J2534[i].FunctionLibrary(), expected[i].library) << i;
    EXPECT_EQ(state.J2534[i].LibraryFound(), expected[i].found) << i;
    EXPECT_EQ(state.J2534[i].MonitoringEnabled(), expected[i].monitored) << i;
    EXPECT_EQ(state.J2534[i].MonitorLibrary(), L"C:\\mon\\monitor.dll") << i;
  }
}

TEST_F(Discovery, SettingsSubkeyWithOnlyOutputFormat) {
  const std::wstring lib = dir / L"lib.dll";
  AddJ2534Device(L"Dev", L"V", L"N", lib);
  // Machine defaults other than MonitorLibrary are not applied to implementations.
  SetDword(reg.Machine(), FactoryPath({L"Monitoring", kJ2534ApiName}), L"Overwrite", 0);
  SetDword(reg.Machine(), FactoryPath({L"Monitoring", kJ2534ApiName}), L"LogEntryExit", 1);
  SetDword(reg.User(), UserMonitoring(ApiKind::J2534) + L"\\" + SettingsKeyName(lib),
           L"OutputFormat", 2);
  Seal();
  Load();
  ASSERT_EQ(state.J2534Count, 1);
  const ApiImplementation& r = state.J2534[0];
  EXPECT_EQ(r.OutputFormat(), 2);
  EXPECT_EQ(r.Overwrite(), 1);
  EXPECT_EQ(r.LogEntryExit(), 0);
  EXPECT_EQ(r.LogDebugView(), 0);
  EXPECT_EQ(r.DisableErrBufferEmpty(), 1);
  EXPECT_EQ(r.OutputFile(), L"");
  EXPECT_EQ(r.MessageSize(), 0);
  EXPECT_EQ(r.StoreWithPrimaryAPI(), -1);
  EXPECT_EQ(r.Version(), 0u);
  EXPECT_EQ(state.J2534Defaults.Overwrite(), 0) << "the defaults record holds the machine values";
}

TEST_F(Discovery, AllNineSettingsAreRead) {
  const std::wstring lib = dir / L"lib.dll";
  const std::wstring key = UserMonitoring(ApiKind::J2534) + L"\\" + SettingsKeyName(lib);
  AddJ2534Device(L"Dev", L"V", L"N", lib);
  SetString(reg.User(), key, L"OutputFile", L"E:\\x.csv");
  const struct {
    const wchar_t* name;
    DWORD value;
  } values[] = {{L"OutputFormat", 3},  {L"Overwrite", 0},     {L"LogEntryExit", 1},
                {L"LogDebugView", 1},  {L"DisableErrBufferEmpty", 0},
                {L"MessageSize", 4},   {L"StoreWithPrimaryAPI", 0}, {L"Version", 9}};
  for (const auto& v : values) SetDword(reg.User(), key, v.name, v.value);
  Seal();
  Load();
  const ApiImplementation& r = state.J2534[0];
  EXPECT_EQ(r.OutputFile(), L"E:\\x.csv");
  EXPECT_EQ(r.OutputFormat(), 3);
  EXPECT_EQ(r.Overwrite(), 0);
  EXPECT_EQ(r.LogEntryExit(), 1);
  EXPECT_EQ(r.LogDebugView(), 1);
  EXPECT_EQ(r.DisableErrBufferEmpty(), 0);
  EXPECT_EQ(r.MessageSize(), 4);
  EXPECT_EQ(r.StoreWithPrimaryAPI(), 0);
  EXPECT_EQ(r.Version(), 9u);
}

TEST_F(Discovery, OverlongOutputFileIsNotTaken) {
  const std::wstring lib = dir / L"lib.dll";
  const std::wstring key = UserMonitoring(ApiKind::J2534) + L"\\" + SettingsKeyName(lib);
  AddJ2534Device(L"Dev", L"V", L"N", lib);
  SetString(reg.User(), key, L"OutputFile", std::wstring(300, L'x'));
  SetDword(reg.User(), key, L"OutputFormat", 2);
  Seal();
  Load();
  EXPECT_EQ(state.J2534[0].OutputFile(), L"");
  EXPECT_EQ(state.J2534[0].OutputFormat(), 2);
}

TEST_F(Discovery, PduEntryTakesItsDefaults) {
  SetPduLibrary(dir / L"pdu.dll");
  MakeFile(L"pdu.dll", "pdu");
  MakeFile(L"_pdu.dll", "aside");
  SetMonitorDefault(ApiKind::PDU, L"C:\\mon\\pdumon.dll");
  SetDword(reg.Machine(), FactoryPath({L"Monitoring", kPduApiName}), L"StoreWithPrimaryAPI", 1);
  SetDword(reg.Machine(), FactoryPath({L"Monitoring", kPduApiName}), L"OutputFormat", 4);
  Seal();
  Load();
  ASSERT_EQ(state.PduCount, 1);
  const ApiImplementation& p = state.Pdu[0];
  EXPECT_EQ(p.FunctionLibrary(), dir / L"pdu.dll");
  EXPECT_EQ(p.LibraryFound(), 1);
  EXPECT_EQ(p.MonitoringEnabled(), 1);
  EXPECT_EQ(p.MonitorLibrary(), L"C:\\mon\\pdumon.dll");
  EXPECT_EQ(p.StoreWithPrimaryAPI(), 1);
  EXPECT_EQ(p.OutputFormat(), 1);
}

TEST_F(Discovery, AtMostTheTableBoundOfImplementations) {
  const int devices = kMaxImplementations + 3;
  for (int i = 0; i < devices; ++i) {
    wchar_t name[16];
    swprintf(name, 16, L"Dev%02d", i);
    AddJ2534Device(name, L"V", name, dir / (std::wstring(name) + L".dll"), i == devices - 1 ? 1 : 0);
  }
  Seal();
  Load();
  EXPECT_EQ(state.J2534Count, kMaxImplementations);
  EXPECT_EQ(state.CaptionsOf(ApiKind::J2534).size(), static_cast<std::size_t>(kMaxImplementations));
  wchar_t last[16];
  swprintf(last, 16, L"Dev%02d", kMaxImplementations - 1);
  EXPECT_EQ(state.J2534[kMaxImplementations - 1].Identifier(), last);
  EXPECT_EQ(state.PduSupportingIndex, -1) << "an ignored device must not be referenced";
}

// A device key that cannot be read between two readable ones.
class DiscoveryUnreadable : public Discovery {
 protected:
  void TearDown() override {
    Discovery::TearDown();
    if (!locked_.empty()) Unlock(locked_);
  }
  // Denies every access to the key; true when opening it for reading then fails.
  bool Lock(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(reg.Machine(), path.c_str(), 0, WRITE_DAC | KEY_READ, &key) != ERROR_SUCCESS)
      return false;
    ACL acl;
    InitializeAcl(&acl, sizeof acl, ACL_REVISION);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE);
    const LONG rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
    locked_ = path;
    HKEY probe = nullptr;
    if (RegOpenKeyExW(reg.Machine(), path.c_str(), 0, KEY_READ, &probe) == ERROR_SUCCESS) {
      RegCloseKey(probe);
      return false;
    }
    return true;
  }
  void Unlock(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(reg.Machine(), path.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS) return;
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);  // everyone
    RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    RegCloseKey(key);
  }
  std::wstring locked_;
};

TEST_F(DiscoveryUnreadable, SkippedKeyLeavesNoGap) {
  AddJ2534Device(L"A", L"VA", L"NA", dir / L"a.dll");
  AddJ2534Device(L"C", L"VC", L"NC", dir / L"c.dll");
  // A name of 300 characters cannot be held by the 256-character name buffer.
  const std::wstring longName(300, L'B');
  HKEY longKey = nullptr;
  bool longCreated =
      RegCreateKeyExW(reg.Machine(), (std::wstring(kJ2534RegistrationPath) + L"\\" + longName).c_str(),
                      0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &longKey, nullptr) == ERROR_SUCCESS;
  if (longCreated) RegCloseKey(longKey);
  // And a key whose security denies reading.
  AddJ2534Device(L"B", L"VB", L"NB", dir / L"b.dll");
  const bool locked = Lock(std::wstring(kJ2534RegistrationPath) + L"\\B");
  Seal();
  RecordProperty("long_name_created", longCreated ? 1 : 0);
  RecordProperty("read_denied", locked ? 1 : 0);
  if (!longCreated && !locked) GTEST_SKIP() << "this platform can make no unreadable device key";
  Load();
  ASSERT_EQ(state.J2534Count, 2) << "long name created: " << longCreated << ", locked: " << locked;
  EXPECT_EQ(state.J2534[0].Identifier(), L"A");
  EXPECT_EQ(state.J2534[1].Identifier(), L"C");
  const std::vector<std::wstring> captions = {L"VA - NA", L"VC - NC"};
  EXPECT_EQ(state.CaptionsOf(ApiKind::J2534), captions);
}

TEST_F(Discovery, MessageSizesFromFactoryThenFromUser) {
  const std::wstring factory = FactoryPath({L"Monitoring", kJ2534ApiName, L"MessageSizes"});
  const DWORD sizes[] = {0, 64, 512, 1024, 4096};
  for (int i = 0; i < 5; ++i) {
    wchar_t name[16];
    swprintf(name, 16, L"MessageSize%02d", i);
    SetDword(reg.Machine(), factory, name, sizes[i]);
  }
  SetDword(reg.Machine(), factory, L"MessageSize12", 99);  // outside the list: ignored
  SetDword(reg.Machine(), factory, L"Version", 2);
  Seal();
  Load();
  const MessageSizeList& list = state.J2534MessageSizes;
  EXPECT_EQ(list.count, 5u);
  EXPECT_EQ(list.version, 2u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(list.sizes[i], sizes[i]) << i;
  EXPECT_TRUE(list.userKey.Valid());
  const std::wstring user = ProductPath({L"Monitoring", kJ2534ApiName, L"MessageSizes"});
  EXPECT_TRUE(ValueExists(reg.User(), user, L"MessageSize04"));
  EXPECT_FALSE(ValueExists(reg.User(), user, L"MessageSize05"));
  EXPECT_TRUE(ValueExists(reg.User(), user, L"Version"));
  EXPECT_EQ(state.PduMessageSizes.count, 0u) << "no factory list for the PDU API";

  // A second load takes the user's copy and writes nothing.
  SetDword(reg.User(), user, L"MessageSize01", 128);
  const std::wstring before = test::Snapshot(reg.User());
  MonitoringState again;
  LoadMonitoringConfiguration(again, reg.Roots(), 3, kTorva);
  EXPECT_EQ(again.J2534MessageSizes.sizes[1], 128u);
  EXPECT_EQ(before, test::Snapshot(reg.User()));
}

TEST_F(Discovery, MessageSizeCountNeverPassesTheList) {
  const std::wstring user = ProductPath({L"Monitoring", kPduApiName, L"MessageSizes"});
  for (int i = 0; i < 10; ++i) {
    wchar_t name[16];
    swprintf(name, 16, L"MessageSize%02d", i);
    SetDword(reg.User(), user, name, i * 10);
  }
  SetDword(reg.User(), user, L"MessageSize5", 555);  // a second name for position 5
  Seal();
  Load();
  EXPECT_EQ(state.PduMessageSizes.count, 10u);
}

TEST_F(Discovery, NewMonitoringKeyGetsTheListAndIsPersistent) {
  Seal();
  state.J2534MessageSizes.count = 3;
  state.J2534MessageSizes.sizes = {0, 100, 200, 300};
  state.J2534MessageSizes.version = 4;
  ReadImplementationSettings(state, reg.Roots(), ApiKind::J2534);
  const std::wstring key = UserMonitoring(ApiKind::J2534);
  for (const wchar_t* name : {L"MessageSize00", L"MessageSize01", L"MessageSize02", L"Version"})
    EXPECT_TRUE(ValueExists(reg.User(), key, name)) << name;
  EXPECT_FALSE(ValueExists(reg.User(), key, L"MessageSize03"));
  // A persistent key accepts a persistent child; a volatile one would refuse it.
  RegKey child;
  EXPECT_EQ(child.Create(reg.User(), key + L"\\probe", KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE),
            ERROR_SUCCESS);
}

}  // namespace
}  // namespace varrow
