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
    list = dir / L"setup\\monitored.txt";
  }
  void Put(const std::wstring& path, const std::string& text) { ASSERT_TRUE(test::WriteFileText(path, text)); }
  // Monitoring on: the library set aside, a copy of `monitor` in its place.
  void Monitored(const std::wstring& library, const std::string& text, const std::string& monitor) {
    Put(AsidePath(library), text);
    Put(library, monitor);
  }
  std::wstring list;
};

// An upgrade: every monitored library (the package's own, another vendor's,
// the D-PDU one) is put back before the old files go, the package's own
// library is replaced by the new version, and monitoring comes back with the
// new monitor libraries; an unmonitored library is never touched.
TEST_F(MonitorRefresh, UpgradeSwitchesOffThenOnWithTheNewMonitors) {
  const std::wstring ours = dir / L"ovra\\OvraPT32.dll", theirs = dir / L"other\\fnk.dll";
  const std::wstring plain = dir / L"other\\plain.dll", pdu = dir / L"ovra\\OvraPdu32.dll";
  const std::wstring j2534Monitor = dir / L"monitor\\Mon.dll", pduMonitor = dir / L"monitor\\PduMon.dll";
  Monitored(ours, "ours v1", "j2534 monitor v1");
  Monitored(theirs, "theirs", "j2534 monitor v1");
  Monitored(pdu, "pdu v1", "pdu monitor v1");
  Put(plain, "plain");
  AddJ2534Device(L"OVRA VCI", L"OVRA", L"OVRA VCI", ours, 1);
  AddJ2534Device(L"Other", L"Other", L"Other", theirs);
  AddJ2534Device(L"Plain", L"Other", L"Plain", plain);
  SetPduLibrary(pdu);
  SetMonitorDefault(ApiKind::J2534, j2534Monitor);
  SetMonitorDefault(ApiKind::PDU, pduMonitor);
  Seal();

  std::vector<std::wstring> failed;
  ASSERT_EQ(SwitchOffForUpgrade(reg.Roots(), list, &failed), ERROR_SUCCESS);
  EXPECT_TRUE(failed.empty());
  const struct { std::wstring library; std::string off; } offCases[] = {
      {ours, "ours v1"}, {theirs, "theirs"}, {pdu, "pdu v1"}, {plain, "plain"}};
  for (const auto& c : offCases) {
    EXPECT_EQ(Content(c.library), c.off);
    EXPECT_FALSE(test::FileExists(AsidePath(c.library)));
  }
  EXPECT_TRUE(test::FileExists(list));

  // The new package's files.
  Put(ours, "ours v2");
  Put(pdu, "pdu v2");
  Put(j2534Monitor, "j2534 monitor v2");
  Put(pduMonitor, "pdu monitor v2");
  ASSERT_EQ(SwitchOnAfterUpgrade(reg.Roots(), list, &failed), ERROR_SUCCESS);
  EXPECT_TRUE(failed.empty());
  const struct { std::wstring library; std::string aside, copy; } onCases[] = {
      {ours, "ours v2", "j2534 monitor v2"},
      {theirs, "theirs", "j2534 monitor v2"},
      {pdu, "pdu v2", "pdu monitor v2"},
      {plain, "<missing>", "plain"}};
  for (const auto& c : onCases) {
    EXPECT_EQ(Content(AsidePath(c.library)), c.aside);
    EXPECT_EQ(Content(c.library), c.copy);
  }
  EXPECT_FALSE(test::FileExists(list));
  EXPECT_FALSE(test::FileExists(dir / L"setup")) << "the list's folder goes with it";
  // A second run without a list changes nothing.
  const std::string before = Content(ours) + Content(AsidePath(ours));
  EXPECT_EQ(SwitchOnAfterUpgrade(reg.Roots(), list, &failed), ERROR_SUCCESS);
  EXPECT_EQ(Content(ours) + Content(AsidePath(ours)), before);
}

// An upgrade that stopped after the switch-off left its list: the next one
// keeps those libraries on it, and a library that cannot be put back, or is
// gone, or whose monitor is missing, is reported and left in a sound state.
TEST_F(MonitorRefresh, UnfinishedUpgradeAndFailuresKeepEveryLibrary) {
  const std::wstring earlier = dir / L"other\\earlier.dll", held = dir / L"other\\held.dll";
  const std::wstring gone = dir / L"other\\gone.dll", monitor = dir / L"monitor\\Mon.dll";
  Put(earlier, "earlier");
  Monitored(held, "held", "j2534 monitor v1");
  AddJ2534Device(L"Earlier", L"V", L"N", earlier);
  AddJ2534Device(L"Held", L"V", L"N", held);
  const std::wstring lone = dir / L"other\\lone.dll";  // monitored later on
  AddJ2534Device(L"Lone", L"V", L"N", lone);
  SetMonitorDefault(ApiKind::J2534, monitor);
  Seal();
  // The list as an earlier switch-off wrote it (UTF-16 with its byte order mark).
  const std::wstring text = L"\xFEFF" + FormatMonitoredList({{ApiKind::J2534, earlier}, {ApiKind::J2534, gone}});
  test::MakeDir(dir / L"setup");
  Put(list, std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)));

  std::vector<std::wstring> failed;
  {
    test::HeldOpen open(held);  // the copy cannot be renamed or deleted
    ASSERT_TRUE(open.Valid());
    ASSERT_EQ(SwitchOffForUpgrade(reg.Roots(), list, &failed), ERROR_SUCCESS);
  }
  EXPECT_EQ(failed, std::vector<std::wstring>{held});
  EXPECT_EQ(Content(AsidePath(held)), "held") << "monitoring stays on where it cannot be switched off";

  failed.clear();
  Put(monitor, "j2534 monitor v2");
  ASSERT_EQ(SwitchOnAfterUpgrade(reg.Roots(), list, &failed), ERROR_SUCCESS);
  EXPECT_EQ(Content(earlier), "j2534 monitor v2");
  EXPECT_EQ(Content(AsidePath(earlier)), "earlier");
  EXPECT_EQ(failed, std::vector<std::wstring>{gone});
  EXPECT_FALSE(test::FileExists(gone));
  EXPECT_FALSE(test::FileExists(AsidePath(gone)));

  // Without its monitor library a library stays in its place, unmonitored.
  Monitored(lone, "lone", "j2534 monitor v2");
  ASSERT_TRUE(DeleteFileW(monitor.c_str()));
  failed.clear();
  ASSERT_EQ(SwitchOffForUpgrade(reg.Roots(), list, &failed), ERROR_SUCCESS);
  ASSERT_EQ(SwitchOnAfterUpgrade(reg.Roots(), list, &failed), ERROR_SUCCESS);
  EXPECT_EQ(Content(lone), "lone");
  EXPECT_FALSE(test::FileExists(AsidePath(lone)));
}

}  // namespace
}  // namespace varrow
