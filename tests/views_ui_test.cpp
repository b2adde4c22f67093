// The dialog with native-view and v05.00 tabs: their captions, and a library
// that no monitor fits refused with a message when the dialog saves.
#include <windows.h>
#include <commctrl.h>

#include "app/varrow_dlg.h"
#include "locale/localization.h"
#include "resources/resource.h"
#include "tests/pages_ui_fixture.h"

namespace varrow::test {
namespace {

std::wstring TabText(const DialogDriver& d, int id, int index) {
  wchar_t text[kFieldChars] = {};
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = text;
  item.cchTextMax = static_cast<int>(kFieldChars);
  SendMessageW(d.Item(id), TCM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
  return text;
}

TEST_F(PagesUiTest, NativeViewTabsAndALibraryNoMonitorFits) {
  SeedInstallation();
  RegKey native;
  ASSERT_EQ(native.Create(HKEY_CURRENT_USER, reg_.Path() + L"\\machine64", KEY_ALL_ACCESS), ERROR_SUCCESS);
  RegistryRoots roots = Roots();
  roots.machine64 = native.Get();
  const std::wstring arm = dir_ / L"arm.dll";
  ASSERT_TRUE(WriteFileText(arm, PeFile(0xAA64, "arm")));
  for (const auto& [path, library] :
       {std::pair{std::wstring(kJ2534RegistrationPath) + L"\\B-Dev", arm},
        std::pair{std::wstring(kJ2534V05RegistrationPath) + L"\\B-Dev", dir_ / L"b05.dll"}}) {
    SetString(native.Get(), path, L"Vendor", L"Vendor1");
    SetString(native.Get(), path, L"Name", L"Name1");
    SetString(native.Get(), path, L"FunctionLibrary", library);
  }
  SetString(native.Get(), ProductPath({kPduSupportSection}), L"FunctionLibrary", PduLib());
  CVarrowDlg dialog(102, roots, true);
  RunDialog(dialog, [&](DialogDriver& d) {
    ASSERT_EQ(SendMessageW(d.Item(IDC_J2534_TAB), TCM_GETITEMCOUNT, 0, 0), 4);
    EXPECT_EQ(TabText(d, IDC_J2534_TAB, 1), L"Torva - Link");  // the brand's own caption
    EXPECT_EQ(TabText(d, IDC_J2534_TAB, 2), L"Vendor1 - Name1 (64-bit)");
    EXPECT_EQ(TabText(d, IDC_J2534_TAB, 3), L"Vendor1 - Name1 (64-bit) (05.00)");
    EXPECT_EQ(TabText(d, IDC_PDU_TAB, 1), L"Torva - Link (64-bit)");
    SelectTab(d, IDC_J2534_TAB, 2);
    SendClick(d, IDC_J2534_ENABLE);
    d.Click(IDC_APPLY);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogDriver::MessageText(box),
              arm + L"\n\n" + LoadModuleString(GetModuleHandleW(nullptr), IDS_MONITOR_OTHER_MACHINE));
    DialogDriver::Dismiss(box);
    d.Send(WM_NULL);
    EXPECT_EQ(d.OwnedWindow(), nullptr);
    EXPECT_FALSE(Checked(d, IDC_J2534_ENABLE)) << "the page shows monitoring off";
  });
  EXPECT_EQ(Content(arm), PeFile(0xAA64, "arm"));
  EXPECT_FALSE(FileExists(dir_ / L"_arm.dll"));
}

}  // namespace
}  // namespace varrow::test
