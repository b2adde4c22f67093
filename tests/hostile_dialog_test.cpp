// The real dialog started on a hostile installation, then Apply: the start-up
// ends with bounded tabs and texts, Apply saves without a message, and the
// machine root is left as it was.
#include <gtest/gtest.h>

#include "app/varrow_dlg.h"
#include "monitoring/discovery.h"
#include "resources/resource.h"
#include "tests/hostile_fixtures.h"
#include "tests/ui_fixture.h"

namespace varrow {
namespace {

using test::DialogDriver;
using test::RawValue;

class HostileDialog : public test::UiTest {};

TEST_F(HostileDialog, StartsAndAppliesOnHostileData) {
  test::CaseCounter cases;
  SeedMachine();
  const HKEY machine = Machine();
  // 25 devices with every kind of bad value, behind 2,000 empty device keys.
  RegKey registration;
  ASSERT_EQ(registration.Create(machine, kJ2534RegistrationPath, KEY_ALL_ACCESS), ERROR_SUCCESS);
  for (int i = 0; i < 2000; ++i) {
    RegKey key;
    ASSERT_EQ(key.Create(registration.Get(), L"a" + std::to_wstring(i), KEY_WRITE), ERROR_SUCCESS);
  }
  const std::vector<RawValue> texts = test::OversizedTexts();
  const std::vector<RawValue> numbers = test::DwordShapes();
  for (int i = 0; i < 25; ++i) {
    const std::wstring key = std::wstring(kJ2534RegistrationPath) + L"\\" +
                             (i == 0 ? std::wstring(255, L'k') : L"z" + std::to_wstring(i));
    test::SetValue(machine, key, L"Vendor", texts[i % texts.size()]);
    test::SetString(machine, key, L"Name", L"\x5E93\x0436 " + std::to_wstring(i));
    test::SetValue(machine, key, L"FunctionLibrary", texts[(i + 1) % texts.size()]);
    test::SetValue(machine, key, L"PDUAPISupported", numbers[i % numbers.size()]);
    cases.Add(4);
  }
  test::SetValue(machine, ProductPath(), L"LogFileLocation", texts[0]);
  test::SetValue(machine, ProductPath({kPduSupportSection}), L"FunctionLibrary", texts[2]);
  const std::wstring sizes = FactoryPath({L"Monitoring", kJ2534ApiName, L"MessageSizes"});
  for (int i = 0; i < 12; ++i) {
    test::SetValue(machine, sizes, (L"MessageSize" + std::to_wstring(i)).c_str(),
                   numbers[i % numbers.size()]);
  }
  test::SetDword(machine, sizes, L"Version", 1);
  // The user's own sections, misshapen too.
  test::SetValue(User(), ProductPath({L"DefaultDevice"}), L"SerialNumber", numbers[3]);
  test::SetDword(User(), ProductPath({L"DefaultDevice"}), L"Version", 5);
  test::SetString(User(), ProductPath({L"LastUsed", L"Device"}), L"x", L"y");  // Apply clears it
  cases.Add(16);
  const std::wstring machineBefore = test::Snapshot(machine);

  CVarrowDlg dialog(IDD_VARROW_DIALOG, Roots(), /*monitoringAvailable=*/true);
  test::RunDialog(dialog, [&](DialogDriver& d) {
    const int tabs = static_cast<int>(SendMessageW(d.Item(IDC_J2534_TAB), TCM_GETITEMCOUNT, 0, 0));
    EXPECT_EQ(tabs, kMaxImplementations);
    for (int tab = 0; tab < tabs; ++tab) {
      wchar_t caption[1024] = {};
      TCITEMW item{};
      item.mask = TCIF_TEXT;
      item.pszText = caption;
      item.cchTextMax = 1024;
      ASSERT_TRUE(SendMessageW(d.Item(IDC_J2534_TAB), TCM_GETITEMW, tab, reinterpret_cast<LPARAM>(&item)));
      EXPECT_LT(std::wcslen(caption), 2 * kFieldChars) << "tab " << tab;
    }
    EXPECT_FALSE(d.Enabled(IDC_J2534_ENABLE)) << "no library of these devices can be found";
    d.Click(IDC_APPLY);
    EXPECT_TRUE(DialogDriver::WaitFor([&] { return !test::KeyExists(User(), ProductPath({L"LastUsed"})); }))
        << "Apply ran to its end";
    d.Send(WM_NULL);
    EXPECT_EQ(d.OwnedWindow(), nullptr) << "Apply on this data has nothing to refuse";
  });
  EXPECT_EQ(machineBefore, test::Snapshot(machine));
}

}  // namespace
}  // namespace varrow
