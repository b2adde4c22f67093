// The main dialog driven as a user would: start-up size and captions, the
// More>>/<<Less toggle, the serial-number field, the connection list, the
// watcher, Apply/OK validation, the window menu and the About box.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/varrow_dlg.h"
#include "locale/localization.h"
#include "resources/resource.h"
#include "tests/ui_fixture.h"

namespace varrow::test {
namespace {

constexpr int kMore = 1043;
constexpr int kSerial = 1021;
constexpr int kList = 1016;
constexpr int kUpDown = 1018;
constexpr int kApply = 1040;

std::wstring UserDevicePath() { return ProductPath({L"DefaultDevice"}); }

DWORD ReadUserDword(HKEY root, const std::wstring& path, const wchar_t* name) {
  DWORD value = 0xdeadbeef;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
      ERROR_SUCCESS)
    value = 0xdeadbeef;
  RegCloseKey(key);
  return value;
}

int Width(const RECT& r) { return r.right - r.left; }
int Height(const RECT& r) { return r.bottom - r.top; }

class MainDialogUi : public UiTest {};

// ---------------------------------------------------------------- layout

TEST_F(MainDialogUi, StartsCollapsedAtTheTopLeftOfTheCentredFullDialog) {
  SeedMachine();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_EQ(d.Text(kMore), L"More>>");
    EXPECT_FALSE(d.Visible(1046));
    EXPECT_FALSE(d.Visible(1047));
    EXPECT_EQ(d.Title(), L"J2534 Configuration Application");

    const RECT collapsed = d.WindowRect();
    // The collapsed client area ends at the bottom edge of the hidden anchor.
    EXPECT_EQ(d.ClientRect().bottom, d.ItemClientRect(1047).bottom);

    d.Click(kMore);
    ASSERT_TRUE(DialogDriver::WaitFor([&] { return d.Text(kMore) == L"<<Less"; }));
    const RECT full = d.WindowRect();
    EXPECT_EQ(full.left, collapsed.left);
    EXPECT_EQ(full.top, collapsed.top);
    EXPECT_EQ(Width(full), Width(collapsed));
    EXPECT_GT(Height(full), Height(collapsed));
    // The full dialog is the template's size, centred in the desktop's work area.
    const RECT templ = DialogUnitsToPixels(d.Dialog(), 0, 0, 411, 409);
    EXPECT_EQ(d.ClientRect().right, Width(templ));
    EXPECT_EQ(d.ClientRect().bottom, Height(templ));
    RECT work{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    EXPECT_NEAR(full.left, work.left + (Width(work) - Width(full)) / 2, 1);
    EXPECT_NEAR(full.top, work.top + (Height(work) - Height(full)) / 2, 1);
  });
}

TEST_F(MainDialogUi, ToggleSwitchesSizesCaptionsAndTabStopsInPlace) {
  SeedMachine();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    // Before the first press the cut-off part holds no tab stop either.
    for (int id : kMonitoringTabStopControls)
      EXPECT_FALSE(d.Style(id) & WS_TABSTOP) << "control " << id << " at start";

    // A dialog moved by the user expands and collapses in place.
    const RECT start = d.WindowRect();
    SetWindowPos(d.Dialog(), nullptr, start.left + 17, start.top + 9, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    d.Send(WM_NULL);
    const RECT moved = d.WindowRect();

    d.Click(kMore);
    ASSERT_TRUE(DialogDriver::WaitFor([&] { return d.Text(kMore) == L"<<Less"; }));
    const RECT expanded = d.WindowRect();
    EXPECT_EQ(expanded.left, moved.left);
    EXPECT_EQ(expanded.top, moved.top);
    for (int id : kMonitoringTabStopControls)
      EXPECT_TRUE(d.Style(id) & WS_TABSTOP) << "control " << id << " after expand";

    d.Click(kMore);
    ASSERT_TRUE(DialogDriver::WaitFor([&] { return d.Text(kMore) == L"More>>"; }));
    const RECT collapsed = d.WindowRect();
    EXPECT_EQ(collapsed.left, moved.left);
    EXPECT_EQ(collapsed.top, moved.top);
    EXPECT_EQ(Height(collapsed), Height(start));
    EXPECT_EQ(Width(collapsed), Width(start));
    for (int id : kMonitoringTabStopControls)
      EXPECT_FALSE(d.Style(id) & WS_TABSTOP) << "control " << id << " after collapse";
    // The buttons of the device section keep theirs.
    EXPECT_TRUE(d.Style(1) & WS_TABSTOP);
  });
}

TEST_F(MainDialogUi, WithoutAdminRightsMoreShowsTheMessageAndChangesNothing) {
  SeedMachine();
  CVarrowDlg dialog(102, Roots(), false);
  RunDialog(dialog, [&](DialogDriver& d) {
    const RECT before = d.WindowRect();
    d.Click(kMore);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogDriver::MessageText(box),
              L"Application does not have admin rights. Monitoring features are not functional");
    EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
    EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
    EXPECT_TRUE(DialogDriver::Dismiss(box));
    const RECT after = d.WindowRect();
    EXPECT_EQ(Height(after), Height(before));
    EXPECT_EQ(d.Text(kMore), L"More>>");
    EXPECT_FALSE(d.Style(1002) & WS_TABSTOP);
    EXPECT_FALSE(d.Style(1000) & WS_TABSTOP);
  });
}

TEST_F(MainDialogUi, FailedBrandLookupLeavesTheFullTemplateDialog) {
  SeedMachine(0, DefaultConnectionEntries(), L"no-such-brand");
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    const RECT templ = DialogUnitsToPixels(d.Dialog(), 0, 0, 411, 409);
    EXPECT_EQ(d.ClientRect().bottom, Height(templ));
    EXPECT_TRUE(d.Visible(1046));
    EXPECT_TRUE(d.Visible(1047));
    EXPECT_EQ(d.Text(1046), L"<< Less");
    EXPECT_EQ(d.Text(kMore), L"More>>");
    EXPECT_EQ(d.Text(kSerial), L"");
    EXPECT_EQ(d.ListCount(kList), 0);
    // No About item in the window menu.
    HMENU menu = GetSystemMenu(d.Dialog(), FALSE);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetMenuState(menu, 0x10, MF_BYCOMMAND), static_cast<UINT>(-1));
    // The button does not act on a layout that was never set up.
    d.Click(kMore);
    d.Send(WM_NULL);
    EXPECT_EQ(d.ClientRect().bottom, Height(templ));
  });
  // Nothing was loaded, so nothing was written for the user.
  EXPECT_FALSE(KeyExists(User(), UserDevicePath()));
}

// ---------------------------------------------------------------- serial number

TEST_F(MainDialogUi, SerialNumberShowsUnsignedAndPlaceholderRulesHold) {
  SeedMachine(3000000000u);
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_EQ(d.Text(kSerial), L"3000000000");
    EXPECT_TRUE(d.Enabled(kSerial));
    EXPECT_FALSE(d.Style(kSerial) & ES_READONLY);
    EXPECT_EQ(SendMessageW(d.Item(kSerial), EM_GETLIMITTEXT, 0, 0), 10);
    // A serial number survives the focus.
    d.Focus(kSerial);
    EXPECT_EQ(d.Text(kSerial), L"3000000000");
    // A text that begins like the placeholder is emptied by the focus.
    d.TypeText(kSerial, L"[x");
    d.Focus(kSerial);
    EXPECT_EQ(d.Text(kSerial), L"");
  });
}

TEST_F(MainDialogUi, PlaceholderShownForZeroAndClearedByFocus) {
  // In the right-to-left template the first tab stop is OK, so the field does
  // not take the focus at start and shows the placeholder.
  SeedMachine(0);
  CVarrowDlg dialog(154, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_EQ(d.Text(kSerial), L"[Enter Device Serial Number]");
    d.Focus(kSerial);
    EXPECT_EQ(d.Text(kSerial), L"");
    // Leaving the field does not put the placeholder back.
    d.Focus(IDCANCEL);
    EXPECT_EQ(d.Text(kSerial), L"");
  });
}

TEST_F(MainDialogUi, PlaceholderFromAReloadIsClearedByTheNextFocus) {
  SeedMachine(8);
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    d.Focus(IDCANCEL);
    SetDword(User(), UserDevicePath(), L"SerialNumber", 0);
    ASSERT_TRUE(DialogDriver::WaitFor(
        [&] { return d.Text(kSerial) == L"[Enter Device Serial Number]"; }));
    d.Focus(kSerial);
    EXPECT_EQ(d.Text(kSerial), L"");
    // Saving the emptied field stores 0.
    d.ClickAndWait(kApply);
    EXPECT_EQ(ReadUserDword(User(), UserDevicePath(), L"SerialNumber"), 0u);
  });
}

TEST_F(MainDialogUi, SerialAboveTheUnsignedRangeIsRefusedAndNothingSaved) {
  SeedMachine(77);
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    const std::wstring before = Snapshot(User());
    d.TypeText(kSerial, L"4294967296");
    d.Click(kApply);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogDriver::MessageText(box),
              L"The serial number must be a whole number from 0 to 4294967295.");
    DialogDriver::Dismiss(box);
    EXPECT_EQ(Snapshot(User()), before);
    // OK is refused the same way and the dialog stays open.
    d.Click(IDOK);
    box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    DialogDriver::Dismiss(box);
    EXPECT_TRUE(IsWindow(d.Dialog()));
    EXPECT_EQ(Snapshot(User()), before);
  });
}

TEST_F(MainDialogUi, ApplyStoresTheUnsignedSerialAndClearsLastUsed) {
  SeedMachine(77);
  SetDword(User(), ProductPath({L"LastUsed", L"A"}), L"X", 1);
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    d.TypeText(kSerial, L"3000000001");
    d.ClickAndWait(kApply);
    EXPECT_EQ(ReadUserDword(User(), UserDevicePath(), L"SerialNumber"), 3000000001u);
    EXPECT_FALSE(KeyExists(User(), ProductPath({L"LastUsed"})));
    EXPECT_EQ(d.OwnedWindow(), nullptr);
    // The reload that follows the save shows what was written.
    d.Send(WM_NULL);
    EXPECT_EQ(d.Text(kSerial), L"3000000001");
  });
  // Cancel after Apply keeps what was applied.
  EXPECT_EQ(ReadUserDword(User(), UserDevicePath(), L"SerialNumber"), 3000000001u);
}

TEST_F(MainDialogUi, OkWithNoCheckedConnectionShowsTheErrorAndWritesNothing) {
  SeedMachine(5, {{1, 0}, {2, 0}});
  CVarrowDlg dialog(102, Roots(), true);
  INT_PTR result = RunDialog(dialog, [&](DialogDriver& d) {
    const std::wstring before = Snapshot(User());
    d.TypeText(kSerial, L"99");
    d.Click(IDOK);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogDriver::WindowTextOf(box), L"Auto-Connection Order Error");
    EXPECT_EQ(DialogDriver::MessageText(box),
              L"At least one Auto-Connection must be selected. \nPlease select at least one "
              L"Auto-Connection.");
    // MB_OK without an icon: no icon static in the box.
    EXPECT_EQ(GetDlgItem(box, 0x14), nullptr);
    DialogDriver::Dismiss(box);
    EXPECT_TRUE(IsWindow(d.Dialog()));
    EXPECT_EQ(Snapshot(User()), before);
  });
  EXPECT_EQ(result, IDCANCEL);
}

TEST_F(MainDialogUi, OkSavesAndEndsTheDialog) {
  SeedMachine(5);
  CVarrowDlg dialog(102, Roots(), true);
  INT_PTR result = RunDialog(dialog, [&](DialogDriver& d) {
    d.TypeText(kSerial, L"12ab");
    d.Click(IDOK);
    DialogDriver::WaitFor([&] { return !IsWindow(d.Dialog()); });
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(ReadUserDword(User(), UserDevicePath(), L"SerialNumber"), 12u);
}

// The Restart Manager's request to close (a setup replaces the program's
// files): the dialog ends as with Cancel, and an unsaved change is dropped.
TEST_F(MainDialogUi, EndOfSessionEndsTheDialogWithoutSaving) {
  SeedMachine(5);
  CVarrowDlg dialog(102, Roots(), true);
  std::wstring before;
  INT_PTR result = RunDialog(dialog, [&](DialogDriver& d) {
    before = Snapshot(User());
    d.TypeText(kSerial, L"77");
    PostMessageW(d.Dialog(), WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    EXPECT_TRUE(DialogDriver::WaitFor([&] { return !IsWindow(d.Dialog()); }));
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(Snapshot(User()), before);
}

// ---------------------------------------------------------------- connection list

TEST_F(MainDialogUi, ListShowsTheOrderWithCaptionsChecksAndFirstRowSelected) {
  SeedMachine(0, {{3, 1}, {7, 0}, {1, 1}});
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_EQ(d.ListTexts(kList),
              (std::vector<std::wstring>{L"Device Explorer", L"Unknown", L"Device On USB"}));
    EXPECT_EQ(d.ListChecks(kList), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(d.ListSelection(kList), 0);
    EXPECT_EQ(SendMessageW(d.Item(kList), LB_GETITEMDATA, 1, 0), 7);
  });
}

TEST_F(MainDialogUi, UpDownMovesTheSelectedRowWithItsCheckAndStopsAtTheEnds) {
  SeedMachine(0, {{1, 1}, {2, 0}, {3, 1}});
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    // Up on the first row changes nothing.
    EXPECT_EQ(d.DeltaPos(kUpDown, -1), 0);
    EXPECT_EQ(d.ListTexts(kList),
              (std::vector<std::wstring>{L"Device On USB", L"Default Device", L"Device Explorer"}));
    EXPECT_EQ(d.ListSelection(kList), 0);

    d.ListSelect(kList, 1);
    EXPECT_EQ(d.DeltaPos(kUpDown, -1), 0);
    EXPECT_EQ(d.ListTexts(kList),
              (std::vector<std::wstring>{L"Default Device", L"Device On USB", L"Device Explorer"}));
    EXPECT_EQ(d.ListChecks(kList), (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(d.ListSelection(kList), 0);

    EXPECT_EQ(d.DeltaPos(kUpDown, 1), 0);
    EXPECT_EQ(d.DeltaPos(kUpDown, 1), 0);
    EXPECT_EQ(d.ListTexts(kList),
              (std::vector<std::wstring>{L"Device On USB", L"Device Explorer", L"Default Device"}));
    EXPECT_EQ(d.ListChecks(kList), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(d.ListSelection(kList), 2);
    // Down on the last row, and a step other than one, change nothing.
    d.DeltaPos(kUpDown, 1);
    d.DeltaPos(kUpDown, -2);
    EXPECT_EQ(d.ListTexts(kList),
              (std::vector<std::wstring>{L"Device On USB", L"Device Explorer", L"Default Device"}));
    EXPECT_EQ(d.ListSelection(kList), 2);

    // The order shown is what Apply writes.
    d.ClickAndWait(kApply);
    EXPECT_EQ(ReadUserDword(User(), ProductPath({L"AutoConnectionOrder", L"Connection02"}),
                            L"Number"), 2u);
    EXPECT_EQ(ReadUserDword(User(), ProductPath({L"AutoConnectionOrder", L"Connection02"}),
                            L"Enabled"), 0u);
    EXPECT_EQ(ReadUserDword(User(), ProductPath({L"AutoConnectionOrder", L"Connection01"}),
                            L"Number"), 3u);
  });
}

TEST_F(MainDialogUi, ARealClickOnTheUpArrowMovesTheSelectedRowUp) {
  SeedMachine(0, {{1, 1}, {2, 0}});
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    d.ListSelect(kList, 1);
    RECT arrows{};
    GetClientRect(d.Item(kUpDown), &arrows);
    const LPARAM upper = MAKELPARAM(arrows.right / 2, arrows.bottom / 4);
    SendMessageW(d.Item(kUpDown), WM_LBUTTONDOWN, MK_LBUTTON, upper);
    SendMessageW(d.Item(kUpDown), WM_LBUTTONUP, 0, upper);
    EXPECT_EQ(d.ListTexts(kList),
              (std::vector<std::wstring>{L"Default Device", L"Device On USB"}));
    EXPECT_EQ(d.ListSelection(kList), 0);
  });
}

// ---------------------------------------------------------------- watcher

TEST_F(MainDialogUi, AnotherWriterChangesTheSerialAndTheFieldFollows) {
  SeedMachine(100);
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_EQ(d.Text(kSerial), L"100");
    d.TypeText(kSerial, L"555");  // typed and not applied: replaced by the reload
    SetDword(User(), UserDevicePath(), L"SerialNumber", 4000000000u);
    EXPECT_TRUE(DialogDriver::WaitFor([&] { return d.Text(kSerial) == L"4000000000"; }));
    SetDword(User(), UserDevicePath(), L"SerialNumber", 0);
    EXPECT_TRUE(DialogDriver::WaitFor(
        [&] { return d.Text(kSerial) == L"[Enter Device Serial Number]"; }));
  });
}

TEST_F(MainDialogUi, SetDefaultButtonMessageIsNoReload) {
  SeedMachine(100);
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    // A reload would put the stored 100 back in place of the typed text.
    d.TypeText(kSerial, L"555");
    d.Send(DM_SETDEFID, 1040);
    EXPECT_EQ(LOWORD(d.Send(DM_GETDEFID)), 1040);
    EXPECT_EQ(d.Text(kSerial), L"555");
    // The watcher's own (0, 0) message reloads.
    d.Send(WM_USER + 1, 0, 0);
    EXPECT_EQ(d.Text(kSerial), L"100");
  });
}

TEST_F(MainDialogUi, ReloadKeepsTheRowsTheListShows) {
  SeedMachine(1, {{1, 1}, {2, 1}});
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    d.ListSelect(kList, 1);
    d.DeltaPos(kUpDown, -1);
    const auto shown = d.ListTexts(kList);
    ASSERT_EQ(shown, (std::vector<std::wstring>{L"Default Device", L"Device On USB"}));
    // Another program rewrites the order (in a subkey: noticed) and the serial.
    SetDword(User(), ProductPath({L"AutoConnectionOrder", L"Connection00"}), L"Number", 5);
    SetDword(User(), UserDevicePath(), L"SerialNumber", 2);
    ASSERT_TRUE(DialogDriver::WaitFor([&] { return d.Text(kSerial) == L"2"; }));
    EXPECT_EQ(d.ListTexts(kList), shown);
    EXPECT_EQ(d.ListChecks(kList), (std::vector<int>{1, 1}));
  });
}

// ---------------------------------------------------------------- window menu and About

TEST_F(MainDialogUi, WindowMenuHasTheAboutItemAfterASeparator) {
  SeedMachine();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    HMENU menu = GetSystemMenu(d.Dialog(), FALSE);
    ASSERT_NE(menu, nullptr);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), 0x10u);
    wchar_t text[64] = {};
    GetMenuStringW(menu, count - 1, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"&About Pellor...");
    EXPECT_TRUE(GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION) & MF_SEPARATOR);
  });
}

TEST_F(MainDialogUi, SystemCommandsSixteenToThirtyOneOpenTheAboutBox) {
  SeedMachine();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    for (WPARAM command : {WPARAM{0x10}, WPARAM{0x1F}}) {
      d.SystemCommand(command);
      HWND about = d.WaitForOwnedWindow();
      ASSERT_NE(about, nullptr) << command;
      EXPECT_EQ(DialogDriver::WindowTextOf(about), L"About Pellor...");
      EXPECT_EQ(DialogDriver::WindowTextOf(GetDlgItem(about, 1049)), L"Version 1.13.6");
      EXPECT_EQ(DialogDriver::WindowTextOf(GetDlgItem(about, 1050)),
                L"J2534 Configuration Application");
      EXPECT_EQ(DialogDriver::WindowTextOf(GetDlgItem(about, IDOK)), L"OK");
      EXPECT_FALSE(GetWindowLongW(about, GWL_EXSTYLE) & WS_EX_LAYOUTRTL);
      EXPECT_TRUE(DialogDriver::Dismiss(about));
    }
    // Other commands keep their default handling: 0x20 is no About command.
    d.SystemCommand(0x20);
    d.Send(WM_NULL);
    EXPECT_EQ(d.OwnedWindow(), nullptr);
  });
}

// The help window of this process, or null.
HWND OwnHelpWindow() {
  for (HWND w = FindWindowExW(nullptr, nullptr, L"HH Parent", nullptr); w != nullptr;
       w = FindWindowExW(nullptr, w, L"HH Parent", nullptr)) {
    DWORD process = 0;
    GetWindowThreadProcessId(w, &process);
    if (process == GetCurrentProcessId()) return w;
  }
  return nullptr;
}

TEST_F(MainDialogUi, HelpIsOwnedByTheDialogAndNeverLoadsAUserRegisteredLibrary) {
  SeedMachine();
  // A library planted by the user and registered among the user's own classes,
  // which the merged classes root shows before the machine's.
  const std::wstring planted = dir_ / L"planted-help.ocx";
  ASSERT_TRUE(CopyFileW((ExecutableFolder() + L"\\Varrow-en.dll").c_str(), planted.c_str(), FALSE));
  const std::wstring registration =
      L"CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";
  SetString(User(), registration, nullptr, planted);
  ASSERT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, User()), ERROR_SUCCESS);
  wchar_t seen[MAX_PATH] = {};
  LONG size = sizeof seen;
  ASSERT_EQ(RegQueryValueW(HKEY_CLASSES_ROOT, registration.c_str(), seen, &size), ERROR_SUCCESS);
  ASSERT_EQ(planted, seen);  // the merged root shows the planted registration

  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    d.Click(IDC_HELP_BUTTON);
    HWND help = nullptr;
    ASSERT_TRUE(DialogDriver::WaitFor([&] { return (help = OwnHelpWindow()) != nullptr; }));
    EXPECT_EQ(GetWindow(help, GW_OWNER), d.Dialog());
    PostMessageW(help, WM_CLOSE, 0, 0);
    EXPECT_TRUE(DialogDriver::WaitFor([&] { return !IsWindow(help); }));
  });
  RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  EXPECT_EQ(GetModuleHandleW(planted.c_str()), nullptr);
}

TEST_F(MainDialogUi, OtherSystemCommandsKeepTheirDefaultHandling) {
  SeedMachine();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    d.SystemCommand(SC_MINIMIZE);
    EXPECT_TRUE(DialogDriver::WaitFor([&] { return IsIconic(d.Dialog()) != FALSE; }));
    // Painting the minimised dialog (the centred icon) and asking for its drag icon.
    RedrawWindow(d.Dialog(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const HICON icon = reinterpret_cast<HICON>(d.Send(WM_QUERYDRAGICON));
    EXPECT_NE(icon, nullptr);
    EXPECT_EQ(icon, reinterpret_cast<HICON>(d.Send(WM_GETICON, ICON_BIG)));
    // The small icon is its own image at the small-icon size, not the large one.
    const HICON small = reinterpret_cast<HICON>(d.Send(WM_GETICON, ICON_SMALL));
    ASSERT_NE(small, nullptr);
    EXPECT_NE(small, icon);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(small, &info));
    BITMAP mask{};
    GetObjectW(info.hbmMask, sizeof mask, &mask);
    EXPECT_EQ(mask.bmWidth, GetSystemMetrics(SM_CXSMICON));
    if (info.hbmColor) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    d.SystemCommand(SC_RESTORE);
    EXPECT_TRUE(DialogDriver::WaitFor([&] { return IsIconic(d.Dialog()) == FALSE; }));
    EXPECT_EQ(d.OwnedWindow(), nullptr);
  });
}

TEST_F(MainDialogUi, RightToLeftDialogUsesTheRightToLeftAboutBox) {
  SeedMachine();
  CVarrowDlg dialog(154, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_TRUE(GetWindowLongW(d.Dialog(), GWL_EXSTYLE) & WS_EX_LAYOUTRTL);
    EXPECT_EQ(d.Text(kMore), L"More>>");
    d.SystemCommand(0x10);
    HWND about = d.WaitForOwnedWindow();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(GetWindowLongW(about, GWL_EXSTYLE) & WS_EX_LAYOUTRTL);
    EXPECT_EQ(DialogDriver::WindowTextOf(GetDlgItem(about, 1049)), L"Version 1.13.6");
    DialogDriver::Dismiss(about);
  });
}

}  // namespace
}  // namespace varrow::test
