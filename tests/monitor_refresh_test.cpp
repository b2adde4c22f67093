#include "monitoring/monitor_refresh.h"

#include <gtest/gtest.h>

#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

TEST(MonitoredList, ParsesOnlyWellFormedLinesWithinBounds) {
  const std::wstring longPath = L"C:\\" + std::wstring(kFieldChars, L'a');
  const struct {
    std::wstring text;
    std::vector<std::pair<ApiKind, std::wstring>> expected;
  } cases[] = {
      {L"J2534\tC:\\a\\b.dll\r\nPDU\t\\\\srv\\share\\p.dll\n",
       {{ApiKind::J2534, L"C:\\a\\b.dll"}, {ApiKind::PDU, L"\\\\srv\\share\\p.dll"}}},
      {L"J2534\tC:\\last.dll", {{ApiKind::J2534, L"C:\\last.dll"}}},
      {L"RP1210\tC:\\x.dll\r\nj2534\tC:\\x.dll\r\nJ2534 C:\\x.dll\r\n", {}},
      {L"J2534\trelative\\x.dll\r\nJ2534\t\\rooted.dll\r\nJ2534\t\\\\\\x.dll\r\nPDU\t\r\n", {}},
      {L"J2534\tC:\\a\tb.dll\r\nJ2534\t" + longPath + L"\r\n", {}},
      {L"", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<ApiKind, std::wstring>> got;
    for (const MonitoredLibrary& entry : ParseMonitoredList(c.text)) got.emplace_back(entry.kind, entry.library);
    EXPECT_EQ(got, c.expected) << std::string(c.text.begin(), c.text.end());
  }
  // What is written reads back the same, and a list never grows past its bound.
  std::vector<MonitoredLibrary> many;
  for (int i = 0; i < 100; ++i) many.push_back({i % 2 ? ApiKind::PDU : ApiKind::J2534, L"C:\\l" + std::to_wstring(i) + L".dll"});
  const std::vector<MonitoredLibrary> back = ParseMonitoredList(FormatMonitoredList(many));
  ASSERT_EQ(back.size(), kMaxMonitoredLibraries);
  for (std::size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i].kind, many[i].kind);
    EXPECT_EQ(back[i].library, many[i].library);
  }
}

class MonitorRefresh : public test::MonitoringFixture {
 protected:
  void SetUp() override {
    for (const wchar_t* folder : {L"ovra", L"other", L"monitor"}) test::MakeDir(dir / folder);
  }
  void Put(const std::wstring& path, const std::string& text) { ASSERT_TRUE(test::WriteFileText(path, text)); }
  // Monitoring on: the library set aside, a copy of `monitor` in its place.
  void Monitored(const std::wstring& library, const std::string& text, const std::string& monitor) {
    Put(AsidePath(library), text);
    Put(library, monitor);
  }
  // The list as a setup left it in the machine hive.
  void PlantList(const std::vector<MonitoredLibrary>& libraries) {
    test::SetString(reg.Machine(), ProductPath(), kMonitoredListValue, FormatMonitoredList(libraries));
  }
  bool ListLeft() {
    RegKey product;
    std::wstring text;
    return product.Open(reg.Machine(), ProductPath(), KEY_READ) == ERROR_SUCCESS &&
           ReadString(product.Get(), kMonitoredListValue, &text, kMaxMonitoredListChars) == ERROR_SUCCESS;
  }
  // "<library>|<set aside>" of each of `libraries`.
  std::string State(const std::vector<std::wstring>& libraries) {
    std::string state;
    for (const std::wstring& library : libraries) state += Content(library) + "|" + Content(AsidePath(library)) + ";";
    return state;
  }
};

// An upgrade: every monitored library (the package's own, another vendor's,
// the D-PDU one) is put back before the old files go, the package's own
// library is replaced by the new version, and monitoring comes back with the
// new monitor libraries; an unmonitored library is never touched. Rolled back
// instead at either point, every library is monitored again by the very copy
// it had, and nothing of the setup is left in the machine hive.
TEST_F(MonitorRefresh, UpgradeSwitchesOffThenOnAndARollbackRestoresTheCopies) {
  const std::wstring ours = dir / L"ovra\\OvraPT32.dll", theirs = dir / L"other\\fnk.dll";
  const std::wstring plain = dir / L"other\\plain.dll", pdu = dir / L"ovra\\OvraPdu32.dll";
  const std::wstring j2534Monitor = dir / L"monitor\\Mon.dll", pduMonitor = dir / L"monitor\\PduMon.dll";
  const std::vector<std::wstring> all = {ours, theirs, pdu, plain};
  AddJ2534Device(L"OVRA VCI", L"OVRA", L"OVRA VCI", ours, 1);
  AddJ2534Device(L"Other", L"Other", L"Other", theirs);
  AddJ2534Device(L"Plain", L"Other", L"Plain", plain);
  SetPduLibrary(pdu);
  SetMonitorDefault(ApiKind::J2534, j2534Monitor);
  SetMonitorDefault(ApiKind::PDU, pduMonitor);
  Seal();
  const auto start = [&] {
    Monitored(ours, "ours v1", "j2534 monitor v1");
    Monitored(theirs, "theirs", "j2534 monitor v1");
    Monitored(pdu, "pdu v1", "pdu monitor v1");
    Put(plain, "plain");
  };
  const std::string monitoredV1 = "j2534 monitor v1|ours v1;j2534 monitor v1|theirs;pdu monitor v1|pdu v1;plain|<missing>;";
  const std::string off = "ours v1|<missing>;theirs|<missing>;pdu v1|<missing>;plain|<missing>;";
  const struct {
    const char* name;
    bool switchOn, rollBack;
    std::string after;
  } cases[] = {
      {"rolled back after the switch-off", false, true, monitoredV1},
      {"rolled back after the switch-on", true, true, monitoredV1},
      {"upgraded", true, false,
       "j2534 monitor v2|ours v2;j2534 monitor v2|theirs;pdu monitor v2|pdu v2;plain|<missing>;"},
  };
  for (const auto& c : cases) {
    start();
    std::vector<std::wstring> failed, refused;
    ASSERT_EQ(SwitchOffForSetup(reg.Roots(), &failed), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(State(all), off) << c.name;
    EXPECT_TRUE(test::FileExists(KeptCopyPath(theirs))) << c.name;
    if (c.switchOn) {
      Put(ours, "ours v2");  // the new package's files
      Put(pdu, "pdu v2");
      Put(j2534Monitor, "j2534 monitor v2");
      Put(pduMonitor, "pdu monitor v2");
      ASSERT_EQ(SwitchOnAfterUpgrade(reg.Roots(), &failed, &refused), ERROR_SUCCESS) << c.name;
    }
    if (c.rollBack) {
      if (c.switchOn) {
        SwitchOffAfterRollback(reg.Roots(), &failed);
        Put(ours, "ours v1");  // the installer's rollback puts the old files back
        Put(pdu, "pdu v1");
      }
      RestoreMonitoring(reg.Roots(), &failed, &refused);
    } else {
      ForgetMonitoredList(reg.Roots());
    }
    EXPECT_TRUE(failed.empty()) << c.name;
    EXPECT_TRUE(refused.empty()) << c.name;
    EXPECT_EQ(State(all), c.after) << c.name;
    for (const std::wstring& library : all) EXPECT_FALSE(test::FileExists(KeptCopyPath(library))) << c.name;
    EXPECT_FALSE(ListLeft()) << c.name;
  }
}

// The native view's v05.00 library with the 64-bit monitor: put back for the
// setup, listed with its view, monitored again by the new 64-bit monitor (never
// the 32-bit one), or by its kept copy when the setup rolls back.
TEST_F(MonitorRefresh, NativeViewLibraryGoesThroughTheSetupWithTheMonitorOfItsType) {
  RegKey native;
  ASSERT_EQ(native.Create(HKEY_CURRENT_USER, reg.Path() + L"\\machine64", KEY_ALL_ACCESS), ERROR_SUCCESS);
  RegistryRoots roots = reg.Roots();
  roots.machine64 = native.Get();
  const std::wstring lib = dir / L"other\\pt64.dll", mon64 = dir / L"monitor\\Mon64.dll";
  test::SetString(native.Get(), std::wstring(kJ2534V05RegistrationPath) + L"\\X", L"FunctionLibrary", lib);
  SetMonitorDefault(ApiKind::J2534, dir / L"monitor\\Mon.dll");
  test::SetString(reg.Machine(), FactoryPath({L"Monitoring", kJ2534ApiName}), L"MonitorLibrary64", mon64);
  Put(dir / L"monitor\\Mon.dll", "j2534 monitor v2");  // 32-bit: must never land on the library
  Seal();
  const std::string library = test::PeFile(0x8664, "pt64"), v1 = test::PeFile(0x8664, "mon64 v1");
  for (bool rollBack : {false, true}) {
    SCOPED_TRACE(rollBack ? "rolled back" : "upgraded");
    Monitored(lib, library, v1);
    std::vector<std::wstring> failed, refused;
    ASSERT_EQ(SwitchOffForSetup(roots, &failed), ERROR_SUCCESS);
    EXPECT_EQ(State({lib}), library + "|<missing>;");
    RegKey product;
    std::wstring list;
    ASSERT_EQ(product.Open(reg.Machine(), ProductPath(), KEY_READ), ERROR_SUCCESS);
    ASSERT_EQ(ReadString(product.Get(), kMonitoredListValue, &list, kMaxMonitoredListChars), ERROR_SUCCESS);
    EXPECT_EQ(list, L"J2534 (64-bit)\t" + lib + L"\r\n");
    Put(mon64, test::PeFile(0x8664, "mon64 v2"));
    if (rollBack) {
      RestoreMonitoring(roots, &failed, &refused);
    } else {
      ASSERT_EQ(SwitchOnAfterUpgrade(roots, &failed, &refused), ERROR_SUCCESS);
      ForgetMonitoredList(roots);
    }
    EXPECT_TRUE(failed.empty() && refused.empty());
    EXPECT_EQ(State({lib}), (rollBack ? v1 : test::PeFile(0x8664, "mon64 v2")) + "|" + library + ";");
    EXPECT_FALSE(ListLeft());
    test::RemoveTree(dir / L"other");
    test::MakeDir(dir / L"other");
  }
}

// A list that names what is not registered now, or a library already set
// aside, or one that is missing, switches nothing on: the system account
// never renames or writes a file because a list says so.
TEST_F(MonitorRefresh, ListedLibrariesMustBeRegisteredAndInPlace) {
  const std::wstring registered = dir / L"other\\fnk.dll", planted = dir / L"other\\victim.dll";
  const std::wstring monitoredAlready = dir / L"other\\on.dll", gone = dir / L"other\\gone.dll";
  const std::wstring monitor = dir / L"monitor\\Mon.dll";
  Put(registered, "fnk");
  Put(planted, "victim");
  Monitored(monitoredAlready, "on", "j2534 monitor");
  Put(monitor, "j2534 monitor");
  AddJ2534Device(L"Fnk", L"V", L"N", registered);
  AddJ2534Device(L"On", L"V", L"N", monitoredAlready);
  AddJ2534Device(L"Gone", L"V", L"N", gone);
  SetMonitorDefault(ApiKind::J2534, monitor);
  Seal();
  EXPECT_TRUE(RegisteredNow(reg.Roots(), {ApiKind::J2534, registered}));
  EXPECT_FALSE(RegisteredNow(reg.Roots(), {ApiKind::PDU, registered})) << "the kind counts";
  EXPECT_FALSE(RegisteredNow(reg.Roots(), {ApiKind::J2534, planted}));

  const std::string before = State({registered, planted, monitoredAlready});
  for (int rollBack = 0; rollBack < 2; ++rollBack) {
    PlantList({{ApiKind::J2534, planted}, {ApiKind::PDU, registered}, {ApiKind::J2534, gone},
               {ApiKind::J2534, monitoredAlready}});
    std::vector<std::wstring> failed, refused;
    if (rollBack) {
      RestoreMonitoring(reg.Roots(), &failed, &refused);
    } else {
      ASSERT_EQ(SwitchOnAfterUpgrade(reg.Roots(), &failed, &refused), ERROR_SUCCESS);
      ForgetMonitoredList(reg.Roots());
    }
    EXPECT_EQ(refused, (std::vector<std::wstring>{planted, registered, gone})) << rollBack;
    EXPECT_TRUE(failed.empty()) << rollBack;
    EXPECT_EQ(State({registered, planted, monitoredAlready}), before) << rollBack;
    EXPECT_FALSE(test::FileExists(gone));
  }
}

// A setup that stopped after the switch-off left its list: the next one
// keeps those libraries on it, and a library that cannot be put back, or
// whose monitor is missing, is reported and left in a sound state.
TEST_F(MonitorRefresh, UnfinishedSetupAndFailuresKeepEveryLibrary) {
  const std::wstring earlier = dir / L"other\\earlier.dll", held = dir / L"other\\held.dll";
  const std::wstring monitor = dir / L"monitor\\Mon.dll", lone = dir / L"other\\lone.dll";
  Put(earlier, "earlier");
  Monitored(held, "held", "j2534 monitor v1");
  AddJ2534Device(L"Earlier", L"V", L"N", earlier);
  AddJ2534Device(L"Held", L"V", L"N", held);
  AddJ2534Device(L"Lone", L"V", L"N", lone);  // monitored later on
  SetMonitorDefault(ApiKind::J2534, monitor);
  Seal();
  PlantList({{ApiKind::J2534, earlier}});

  std::vector<std::wstring> failed, refused;
  {
    test::HeldOpen open(held);  // the copy cannot be renamed or deleted
    ASSERT_TRUE(open.Valid());
    ASSERT_EQ(SwitchOffForSetup(reg.Roots(), &failed), ERROR_SUCCESS);
  }
  EXPECT_EQ(failed, std::vector<std::wstring>{held});
  EXPECT_EQ(State({held}), "j2534 monitor v1|held;") << "monitoring stays on where it cannot be switched off";

  failed.clear();
  Put(monitor, "j2534 monitor v2");
  ASSERT_EQ(SwitchOnAfterUpgrade(reg.Roots(), &failed, &refused), ERROR_SUCCESS);
  ForgetMonitoredList(reg.Roots());
  EXPECT_EQ(State({earlier}), "j2534 monitor v2|earlier;");
  EXPECT_TRUE(failed.empty());

  // Without its monitor library a library stays in its place, unmonitored.
  Monitored(lone, "lone", "j2534 monitor v2");
  ASSERT_TRUE(DeleteFileW(monitor.c_str()));
  ASSERT_EQ(SwitchOffForSetup(reg.Roots(), &failed), ERROR_SUCCESS);
  ASSERT_EQ(SwitchOnAfterUpgrade(reg.Roots(), &failed, &refused), ERROR_SUCCESS);
  ForgetMonitoredList(reg.Roots());
  EXPECT_EQ(State({lone}), "lone|<missing>;");
  EXPECT_EQ(failed, (std::vector<std::wstring>{earlier, held, lone}));
}

}  // namespace
}  // namespace varrow
