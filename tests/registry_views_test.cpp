// Both registry views and both J2534 versions: discovery and captions, the
// monitor chosen by the library's machine type, a native System32 library
// reached past the file-system redirection, and disable/uninstall in both views.
#include <gtest/gtest.h>

#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "monitoring/maintenance.h"
#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

using test::PeFile;
using test::SetDword;
using test::SetString;

constexpr unsigned kI386 = 0x014C, kAmd64 = 0x8664, kArm64 = 0xAA64;

class RegistryViews : public test::MonitoringFixture {
 protected:
  RegistryViews() {
    (void)native_.Create(HKEY_CURRENT_USER, reg.Path() + L"\\machine64", KEY_ALL_ACCESS);
    roots_ = reg.Roots();
    roots_.machine64 = native_.Get();
  }
  // A device of one view and version.
  void AddDevice(RegistryView view, J2534Version version, const std::wstring& name,
                 const std::wstring& product, const std::wstring& library, int pdu = -1) {
    const HKEY root = view == RegistryView::k64 ? native_.Get() : reg.Machine();
    const std::wstring key = std::wstring(J2534RegistrationPath(version)) + L"\\" + name;
    SetString(root, key, L"Vendor", L"V");
    SetString(root, key, L"Name", product);
    SetString(root, key, L"FunctionLibrary", library);
    if (pdu >= 0) SetDword(root, key, L"PDUAPISupported", pdu);
  }
  void SetPdu(RegistryView view, const std::wstring& library) {
    SetString(view == RegistryView::k64 ? native_.Get() : reg.Machine(),
              ProductPath({kPduSupportSection}), L"FunctionLibrary", library);
  }
  void SetMonitors(ApiKind kind, const std::wstring& mon32, const std::wstring& mon64) {
    const std::wstring key = FactoryPath({L"Monitoring", ApiKindName(kind)});
    SetString(reg.Machine(), key, L"MonitorLibrary", mon32);
    SetString(reg.Machine(), key, L"MonitorLibrary64", mon64);
  }
  void Load() { LoadMonitoringConfiguration(state, roots_, 3, L"Torva - Link"); }

  RegKey native_;
  RegistryRoots roots_;
  MonitoringState state;
};

TEST_F(RegistryViews, FourSourcesInOrderWithCaptionsViewsAndSettingsKeys) {
  AddDevice(RegistryView::k64, J2534Version::k0500, L"A", L"A", dir / L"a05_64.dll");
  AddDevice(RegistryView::k64, J2534Version::k0404, L"C", L"C", dir / L"c64.dll");
  AddDevice(RegistryView::k64, J2534Version::k0404, L"A", L"A", dir / L"a64.dll", 1);
  AddDevice(RegistryView::k32, J2534Version::k0500, L"B", L"B", dir / L"b05.dll");
  AddDevice(RegistryView::k32, J2534Version::k0500, L"A", L"A", dir / L"a05.dll");
  AddDevice(RegistryView::k32, J2534Version::k0404, L"A", L"A", dir / L"a32.dll", 1);
  SetPdu(RegistryView::k32, dir / L"pdu32.dll");
  SetPdu(RegistryView::k64, dir / L"pdu64.dll");
  SetMonitors(ApiKind::J2534, L"C:\\m\\mon32.dll", L"C:\\m\\mon64.dll");
  // The 64-bit library's settings in its own key, a decoy of the same name in the 32-bit one.
  const std::wstring a64Key = SettingsKeyName(dir / L"a64.dll");
  SetDword(reg.User(), ProductPath({L"Monitoring", L"J2534 API (64-bit)", a64Key}), L"OutputFormat", 2);
  SetDword(reg.User(), ProductPath({L"Monitoring", L"J2534 API", a64Key}), L"OutputFormat", 4);
  Seal();
  Load();

  const struct {
    std::wstring id, caption, library;
    RegistryView view;
    J2534Version version;
  } expected[] = {
      {L"A", L"V - A", dir / L"a32.dll", RegistryView::k32, J2534Version::k0404},
      {L"A", L"V - A (05.00)", dir / L"a05.dll", RegistryView::k32, J2534Version::k0500},
      {L"B", L"V - B", dir / L"b05.dll", RegistryView::k32, J2534Version::k0500},
      {L"A", L"V - A (64-bit)", dir / L"a64.dll", RegistryView::k64, J2534Version::k0404},
      {L"C", L"V - C", dir / L"c64.dll", RegistryView::k64, J2534Version::k0404},
      {L"A", L"V - A (64-bit) (05.00)", dir / L"a05_64.dll", RegistryView::k64, J2534Version::k0500},
  };
  ASSERT_EQ(state.J2534Count, static_cast<int>(std::size(expected)));
  for (int i = 0; i < state.J2534Count; ++i) {
    SCOPED_TRACE(i);
    const ApiImplementation& r = state.J2534[i];
    EXPECT_EQ(r.Identifier(), expected[i].id);
    EXPECT_EQ(state.CaptionsOf(ApiKind::J2534)[i], expected[i].caption);
    EXPECT_EQ(r.FunctionLibrary(), expected[i].library);
    EXPECT_EQ(r.View(), expected[i].view);
    EXPECT_EQ(r.ApiVersion(), expected[i].version);
    EXPECT_EQ(r.MonitorLibrary64(), L"C:\\m\\mon64.dll");
    EXPECT_EQ(r.OutputFormat(), i == 3 ? 2 : 1) << "settings from the view's own key";
  }
  EXPECT_EQ(state.PduSupportingIndex, 0) << "the 32-bit view's flagged device";
  ASSERT_EQ(state.PduCount, 2);
  EXPECT_EQ(state.CaptionsOf(ApiKind::PDU), (std::vector<std::wstring>{L"V - A", L"V - A (64-bit)"}));
  EXPECT_EQ(state.Pdu[1].View(), RegistryView::k64);
  EXPECT_EQ(state.Pdu[1].FunctionLibrary(), dir / L"pdu64.dll");
}

TEST_F(RegistryViews, MonitorFollowsTheLibrarysMachineTypeOrMonitoringStaysOff) {
  const std::wstring mon32 = MakeFile(L"mon32.dll", "mon32");  // written as i386
  const std::wstring mon64 = MakeFile(L"mon64.dll", PeFile(kAmd64, "mon64"));
  std::string hugeOffset = PeFile(kI386, "lib");
  hugeOffset[0x3F] = '\x7f';
  const struct {
    const char* name;
    std::string bytes;
    RegistryView view;
    bool with64;
    MonitorRefusal refusal;
    const char* copied;  // the monitor now at the library path, or null
  } cases[] = {
      {"i386", PeFile(kI386, "lib"), RegistryView::k32, true, MonitorRefusal::kNone, "mon32"},
      {"amd64", PeFile(kAmd64, "lib"), RegistryView::k64, true, MonitorRefusal::kNone, "mon64"},
      {"arm64", PeFile(kArm64, "lib"), RegistryView::k64, true, MonitorRefusal::kOtherMachine, nullptr},
      {"cut", PeFile(kAmd64).substr(0, 0x44), RegistryView::k64, true, MonitorRefusal::kUnreadable, nullptr},
      {"garbage", std::string(300, '\xA5'), RegistryView::k32, true, MonitorRefusal::kUnreadable, nullptr},
      {"offset", hugeOffset, RegistryView::k32, true, MonitorRefusal::kUnreadable, nullptr},
      {"amd64 in 32", PeFile(kAmd64, "lib"), RegistryView::k32, true, MonitorRefusal::kWrongView, nullptr},
      {"i386 in 64", PeFile(kI386, "lib"), RegistryView::k64, true, MonitorRefusal::kWrongView, nullptr},
      {"no 64", PeFile(kAmd64, "lib"), RegistryView::k64, false, MonitorRefusal::kNoMonitor, nullptr},
  };
  Seal();
  RegKey perApi;
  ASSERT_EQ(perApi.Create(reg.User(), L"perApi", KEY_ALL_ACCESS), ERROR_SUCCESS);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Not ".dll": the test helpers would put a 32-bit header in front of the garbage.
    const std::wstring library = dir / (L"lib" + std::to_wstring(n++) + L".bin");
    ASSERT_TRUE(test::WriteFileText(library, c.bytes));
    ApiImplementation record;
    (void)record.SetFunctionLibrary(library);
    (void)record.SetMonitorLibrary(mon32);
    if (c.with64) (void)record.SetMonitorLibrary64(mon64);
    record.SetView(c.view);
    record.SetMonitoringEnabled(1);
    DWORD code = 0;
    MonitorRefusal refusal = MonitorRefusal::kNone;
    EXPECT_TRUE(ApplyMonitorState(record, perApi.Get(), &code, nullptr, nullptr, &refusal));
    EXPECT_EQ(refusal, c.refusal);
    EXPECT_EQ(record.MonitoringEnabled(), c.copied ? 1 : 0);
    if (c.copied) {
      EXPECT_EQ(Content(library), Content(dir / (std::wstring(c.copied, c.copied + 5) + L".dll")));
      EXPECT_TRUE(test::FileExists(AsidePath(library)));
    } else {
      const std::string fake = PeFile(kI386);  // ReadFileText drops this header
      const bool stripped = c.bytes.compare(0, fake.size(), fake) == 0;
      EXPECT_EQ(Content(library), stripped ? c.bytes.substr(fake.size()) : c.bytes)
          << "the library stays in place";
      EXPECT_FALSE(test::FileExists(AsidePath(library)));
    }
  }
}

// Restores the set-aside library of every view and version; a library whose
// path is empty gets the monitor of its own machine type at start-up.
TEST_F(RegistryViews, DisableAndUninstallRestoreBothViewsAndVersions) {
  SetMonitors(ApiKind::J2534, dir / L"mon32.dll", dir / L"mon64.dll");
  const std::wstring mon64 = MakeFile(L"mon64.dll", PeFile(kAmd64, "mon64"));
  const struct {
    RegistryView view;
    J2534Version version;
    const wchar_t* name;
  } sources[] = {{RegistryView::k32, J2534Version::k0404, L"a"},
                 {RegistryView::k32, J2534Version::k0500, L"b"},
                 {RegistryView::k64, J2534Version::k0404, L"c"},
                 {RegistryView::k64, J2534Version::k0500, L"d"}};
  for (const auto& s : sources) AddDevice(s.view, s.version, s.name, s.name, dir / (std::wstring(s.name) + L".dll"));
  SetPdu(RegistryView::k64, dir / L"p.dll");
  const std::wstring empty = dir / L"e.dll";
  AddDevice(RegistryView::k64, J2534Version::k0404, L"e", L"e", empty);
  Seal();
  MachineLayout layout;
  layout.roots = roots_;
  for (int mode = 0; mode < 2; ++mode) {
    SCOPED_TRACE(mode == 0 ? "disable" : "uninstall");
    for (const wchar_t* name : {L"a", L"b", L"c", L"d", L"p"}) {
      MakeFile(std::wstring(L"_") + name + L".dll", "original");
      MakeFile(std::wstring(name) + L".dll", "monitor copy");
    }
    DeleteFileW(empty.c_str());  // the path of a switch-on that failed half way
    MakeFile(L"_e.dll", PeFile(kAmd64, "e64"));
    const auto repairs = RepairEmptyLibraryPaths(layout);
    ASSERT_EQ(repairs.size(), 1u);
    EXPECT_EQ(Content(empty), Content(mon64)) << "the 64-bit monitor, never the 32-bit one";
    if (mode == 0) DisableAllMonitoring(layout);
    if (mode == 1) UninstallUserSettings(layout);
    for (const wchar_t* name : {L"a", L"b", L"c", L"d", L"p"}) {
      EXPECT_EQ(Content(dir / (std::wstring(name) + L".dll")), "original") << name;
      EXPECT_FALSE(test::FileExists(dir / (std::wstring(L"_") + name + L".dll"))) << name;
    }
    EXPECT_EQ(Content(empty), PeFile(kAmd64, "e64"));
  }
}

// The real machine hive of this 64-bit system, both views, and a 64-bit library
// in the native system folder, which a 32-bit process reaches only through
// Sysnative: found, switched on with the 64-bit monitor and off again.
TEST_F(RegistryViews, NativeSystemFolderLibraryOfTheRealNativeView) {
  if (!IsRunningUnderWow64()) GTEST_SKIP() << "one view only on a 32-bit system";
  Seal();
  const std::wstring name = L"VarrowViews" + std::to_wstring(GetCurrentProcessId());
  wchar_t windows[MAX_PATH] = {};
  ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
  const std::wstring registered = std::wstring(windows) + L"\\system32\\" + name + L".dll";
  const std::wstring native = std::wstring(windows) + L"\\Sysnative\\" + name + L".dll";
  const std::wstring key = std::wstring(kJ2534RegistrationPath) + L"\\" + name;
  struct Cleanup {
    std::wstring key, native;
    ~Cleanup() {
      for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), view, 0);
      DeleteFileW(native.c_str());
      DeleteFileW(AsidePath(native).c_str());
    }
  } cleanup{key, native};
  for (const auto& [view, library] : {std::pair{KEY_WOW64_64KEY, registered},
                                      std::pair{KEY_WOW64_32KEY, dir / L"x32.dll"}}) {
    HKEY device = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                              nullptr, &device, nullptr), ERROR_SUCCESS);
    RegSetValueExW(device, L"FunctionLibrary", 0, REG_SZ, reinterpret_cast<const BYTE*>(library.c_str()),
                   static_cast<DWORD>((library.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(device);
  }
  ASSERT_TRUE(test::WriteFileText(native, PeFile(kAmd64, "native")));
  const std::wstring mon64 = MakeFile(L"mon64.dll", PeFile(kAmd64, "mon64"));
  RegistryRoots real = reg.Roots();
  real.machine = real.machine64 = HKEY_LOCAL_MACHINE;
  const auto find = [&](MonitoringState& s, RegistryView view) -> ApiImplementation* {
    LoadMonitoringConfiguration(s, real, 3, L"");
    for (int i = 0; i < s.J2534Count; ++i)
      if (s.J2534[i].Identifier() == name && s.J2534[i].View() == view) return &s.J2534[i];
    return nullptr;
  };
  MonitoringState on;
  ApiImplementation* record = find(on, RegistryView::k64);
  ASSERT_NE(record, nullptr);
  ASSERT_NE(find(on, RegistryView::k32), nullptr);
  EXPECT_EQ(find(on, RegistryView::k32)->FunctionLibrary(), dir / L"x32.dll");
  record = find(on, RegistryView::k64);
  EXPECT_EQ(record->FunctionLibrary(), registered);
  EXPECT_EQ(record->LibraryFound(), 1) << "found past the redirection";
  record->SetMonitoringEnabled(1);
  (void)record->SetMonitorLibrary64(mon64);
  test::RecordingReporter reporter;
  SaveMonitoringOfKind(on, real, ApiKind::J2534, on.J2534Count, true, reporter);
  EXPECT_TRUE(reporter.codes.empty() && reporter.refusals.empty());
  EXPECT_EQ(Content(native), Content(mon64));
  EXPECT_EQ(Content(AsidePath(native)), PeFile(kAmd64, "native"));
  EXPECT_FALSE(test::FileExists(AsidePath(registered))) << "nothing in the 32-bit system folder";
  EXPECT_TRUE(test::KeyExists(reg.User(), ProductPath({L"Monitoring", L"J2534 API (64-bit)",
                                                       SettingsKeyName(registered)})));
  MonitoringState off;
  record = find(off, RegistryView::k64);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->MonitoringEnabled(), 1);
  record->SetMonitoringEnabled(0);
  SaveMonitoringOfKind(off, real, ApiKind::J2534, off.J2534Count, true, reporter);
  EXPECT_EQ(Content(native), PeFile(kAmd64, "native"));
  EXPECT_FALSE(test::FileExists(AsidePath(native)));
}

}  // namespace
}  // namespace varrow
