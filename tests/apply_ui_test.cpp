// Apply and OK in the running dialog with monitoring available: the output-file
// check stops the save before anything is written, the device settings check
// comes second, and a successful save sets libraries aside or puts them back
// and writes the settings the monitor library reads.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/varrow_dlg.h"
#include "monitoring/library_swap.h"
#include "resources/resource.h"
#include "tests/pages_ui_fixture.h"

namespace varrow::test {
namespace {

class ApplyUiTest : public PagesUiTest {
 protected:
  // Everything Apply could change: the user's registry and the test's files.
  std::wstring State() const {
    std::wstring state = Snapshot(User()) + L"|";
    for (const std::wstring& path :
         {Lib0(), Lib1(), PduLib(), dir_ / L"_lib0.dll", dir_ / L"_lib1.dll", dir_ / L"_pdu.dll"}) {
      const std::string bytes = Content(path);
      state += std::wstring(bytes.begin(), bytes.end()) + L"|";
    }
    return state;
  }
  std::wstring J2534Settings() const { return SettingsPath(kJ2534ApiName, Lib1()); }
  std::wstring PduSettings() const { return SettingsPath(kPduApiName, PduLib()); }
};

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The icon a message box shows, or null (its icon control is 0x14 on Windows
// and 0x440 under Wine).
HICON BoxIcon(HWND box) {
  for (int id : {0x14, 0x440}) {
    if (HWND icon = GetDlgItem(box, id))
      return reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
  }
  return nullptr;
}

// Posts a click on `button`, expects the one message box `text`, dismisses it.
void ExpectBox(const DialogDriver& d, int button, const std::wstring& text) {
  d.Click(button);
  HWND box = d.WaitForOwnedWindow();
  ASSERT_NE(box, nullptr) << "no message box for " << text;
  EXPECT_EQ(DialogDriver::MessageText(box), text);
  EXPECT_EQ(BoxIcon(box), nullptr);  // a plain box
  ASSERT_TRUE(DialogDriver::Dismiss(box));
  // The save has returned once the dialog is enabled and idle again; a second
  // box would have disabled it before this send is handled.
  d.Send(WM_NULL);
  EXPECT_TRUE(IsWindowEnabled(d.Dialog())) << "another message box followed " << text;
  EXPECT_EQ(d.OwnedWindow(), nullptr);
}

TEST_F(ApplyUiTest, OkSetsTheLibraryAsideAndUntickedApplyPutsItBack) {
  SeedInstallation();
  CVarrowDlg first(102, Roots(), true);
  INT_PTR result = RunDialog(first, [&](DialogDriver& d) {
    ASSERT_EQ(TabSelection(d, IDC_J2534_TAB), 1);  // lib1, the supporting implementation
    SendClick(d, IDC_J2534_ENABLE);
    SendClick(d, IDC_J2534_LOG_ENTRY_EXIT);
    SelectComboItem(d, IDC_J2534_SIZE, 2);
    ASSERT_TRUE(ClickAndWait(d, IDOK));
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(Content(dir_ / L"_lib1.dll"), LibraryBytes('1'));
  EXPECT_EQ(Content(Lib1()), LibraryBytes('M'));
  EXPECT_EQ(Content(Lib0()), LibraryBytes('0'));  // not ticked: untouched
  EXPECT_FALSE(FileExists(dir_ / L"_lib0.dll"));
  EXPECT_EQ(Content(PduLib()), LibraryBytes('P'));
  EXPECT_TRUE(FolderExists(LogFolder() + L"\\J2534"));  // made by the output-file check

  const std::wstring settings = J2534Settings();
  EXPECT_EQ(UserString(settings, L"OutputFile"), LogFolder() + L"\\J2534\\lib1.txt");
  EXPECT_EQ(UserDword(settings, L"OutputFormat"), 1u);
  EXPECT_EQ(UserDword(settings, L"Overwrite"), 1u);
  EXPECT_EQ(UserDword(settings, L"LogEntryExit"), 1u);
  EXPECT_EQ(UserDword(settings, L"LogDebugView"), 0u);
  EXPECT_EQ(UserDword(settings, L"DisableErrBufferEmpty"), 1u);
  EXPECT_EQ(UserDword(settings, L"MessageSize"), 2u);
  EXPECT_EQ(UserDword(settings, L"Version"), 0u);
  EXPECT_FALSE(ValueExists(User(), settings, L"StoreWithPrimaryAPI"));
  EXPECT_EQ(UserDword(ProductPath({L"Monitoring", kJ2534ApiName}), L"MessageSize02"), 4096u);
  EXPECT_FALSE(KeyExists(User(), PduSettings()));  // PDU monitoring stayed off

  CVarrowDlg second(102, Roots(), true);
  RunDialog(second, [&](DialogDriver& d) {
    EXPECT_TRUE(Checked(d, IDC_J2534_ENABLE));  // found set aside
    EXPECT_EQ(ComboSelection(d, IDC_J2534_SIZE), 2);
    SendClick(d, IDC_J2534_ENABLE);
    ASSERT_TRUE(ClickAndWait(d, IDC_APPLY));
    EXPECT_EQ(d.OwnedWindow(), nullptr);
    EXPECT_TRUE(IsWindow(d.Dialog()));  // Apply keeps the dialog open
  });
  EXPECT_EQ(Content(Lib1()), LibraryBytes('1'));
  EXPECT_FALSE(FileExists(dir_ / L"_lib1.dll"));
}

TEST_F(ApplyUiTest, InvalidOutputFileStopsApplyBeforeAnythingIsWritten) {
  SeedInstallation();
  const std::wstring stored = LogFolder() + L"\\J2534\\lib1.txt";
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_J2534_ENABLE);
    SetString(User(), ProductPath({L"LastUsed", L"A"}), L"X", L"y");
    const std::wstring before = State();
    FocusMoves moves(d);
    for (const std::wstring& text :
         {dir_ / L"A\\B\\x.txt", std::wstring(), std::wstring(L"   "), LogFolder() + L"\\",
          dir_ / L"bad*.txt", L"C:\\" + std::wstring(300, L'x') + L".txt",
          LogFolder() + L"\\" + std::wstring(259 - LogFolder().size() - 1, L'n') + L"x"}) {
      SCOPED_TRACE(testing::Message() << "text of " << text.size() << " characters: " << text);
      d.TypeText(IDC_J2534_FILE, text);
      moves.Clear();
      ExpectBox(d, IDC_APPLY, L"Invalid File Name");
      EXPECT_EQ(d.Text(IDC_J2534_FILE), stored);
      // The dialog gave the focus back to the field after the message box.
      EXPECT_EQ(moves.Last(), d.Item(IDC_J2534_FILE));
      EXPECT_EQ(State(), before);
    }
    EXPECT_FALSE(FolderExists(dir_ / L"A"));
  });
}

TEST_F(ApplyUiTest, InvalidPduOutputFileStopsApplyToo) {
  SeedInstallation();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_J2534_ENABLE);
    SendClick(d, IDC_PDU_ENABLE);
    const std::wstring before = State();
    d.TypeText(IDC_PDU_FILE, dir_ / L"A\\B\\p.txt");
    const FocusMoves moves(d);
    ExpectBox(d, IDC_APPLY, L"Invalid File Name");
    EXPECT_EQ(d.Text(IDC_PDU_FILE), LogFolder() + L"\\PDU\\Torva-Link.txt");
    EXPECT_EQ(moves.Last(), d.Item(IDC_PDU_FILE));
    EXPECT_EQ(State(), before);
  });
}

TEST_F(ApplyUiTest, InvalidOutputFileWithNoCheckedConnectionShowsOnlyTheFileMessage) {
  SeedInstallation(L"tln", true, true, {{1, 0}, {2, 0}});
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_J2534_ENABLE);
    const std::wstring before = State();
    d.TypeText(IDC_J2534_FILE, dir_ / L"A\\B\\x.txt");
    ExpectBox(d, IDOK, L"Invalid File Name");
    EXPECT_EQ(State(), before);
  });
}

TEST_F(ApplyUiTest, OkWithNoCheckedConnectionChangesNothing) {
  SeedInstallation(L"tln", true, true, {{1, 0}, {2, 0}, {3, 0}});
  CVarrowDlg dialog(102, Roots(), true);
  INT_PTR result = RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_J2534_ENABLE);
    SendClick(d, IDC_PDU_ENABLE);
    SetString(User(), ProductPath({L"LastUsed", L"A"}), L"X", L"y");
    const std::wstring before = State();
    d.Click(IDOK);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogDriver::WindowTextOf(box), L"Auto-Connection Order Error");
    DialogDriver::Dismiss(box);
    d.Send(WM_NULL);
    EXPECT_TRUE(IsWindow(d.Dialog()));
    EXPECT_EQ(State(), before);
  });
  EXPECT_EQ(result, IDCANCEL);
}

TEST_F(ApplyUiTest, OutputFileIsStoredAsTheResolvedFullPath) {
  SeedInstallation();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_J2534_ENABLE);
    d.TypeText(IDC_J2534_FILE, L"  " + LogFolder() + L"/sub/../x.txt ");
    ASSERT_TRUE(ClickAndWait(d, IDC_APPLY));
    EXPECT_EQ(d.Text(IDC_J2534_FILE), LogFolder() + L"\\x.txt");
    EXPECT_EQ(UserString(J2534Settings(), L"OutputFile"), LogFolder() + L"\\x.txt");
    // One missing folder level is created.
    d.TypeText(IDC_J2534_FILE, LogFolder() + L"\\new\\y.txt");
    ASSERT_TRUE(ClickAndWait(d, IDC_APPLY));
    EXPECT_TRUE(FolderExists(LogFolder() + L"\\new"));
    EXPECT_EQ(UserString(J2534Settings(), L"OutputFile"), LogFolder() + L"\\new\\y.txt");
  });
}

TEST_F(ApplyUiTest, PduSettingsGoWithTheStoreBox) {
  SeedInstallation();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_J2534_ENABLE);
    SendClick(d, IDC_PDU_ENABLE);
    SendClick(d, IDC_PDU_XML);
    ASSERT_TRUE(ClickAndWait(d, IDC_APPLY));
    EXPECT_EQ(Content(dir_ / L"_pdu.dll"), LibraryBytes('P'));
    EXPECT_EQ(Content(PduLib()), LibraryBytes('M'));
    EXPECT_EQ(UserString(PduSettings(), L"OutputFile"), LogFolder() + L"\\PDU\\Torva-Link.xml");
    EXPECT_EQ(UserDword(PduSettings(), L"OutputFormat"), 2u);
    EXPECT_FALSE(ValueExists(User(), PduSettings(), L"StoreWithPrimaryAPI"));  // unset
    SendClick(d, IDC_PDU_STORE_WITH_J2534);
    ASSERT_TRUE(ClickAndWait(d, IDC_APPLY));
    EXPECT_EQ(UserDword(PduSettings(), L"StoreWithPrimaryAPI"), 1u);
  });
}

// Monitored, but nothing at its library path (its monitor copy quarantined):
// the page shows it checked and not editable, and Apply copies the monitor
// library there again and says so.
TEST_F(ApplyUiTest, ImplementationMonitoredWithoutItsLibraryIsRepairedByApply) {
  SeedInstallation();
  ASSERT_TRUE(MoveFileW(Lib0().c_str(), (dir_ / L"_lib0.dll").c_str()));
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SelectTab(d, IDC_J2534_TAB, 0);
    EXPECT_TRUE(Checked(d, IDC_J2534_ENABLE));
    EXPECT_FALSE(d.Enabled(IDC_J2534_ENABLE));
    d.Click(IDC_APPLY);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr) << "the repair is reported";
    EXPECT_EQ(DialogDriver::MessageText(box).rfind(Lib0() + L"\n", 0), 0u);
    EXPECT_NE(BoxIcon(box), nullptr);  // the information icon
    ASSERT_TRUE(DialogDriver::Dismiss(box));
    d.Send(WM_NULL);
    EXPECT_EQ(d.OwnedWindow(), nullptr) << "one box per repair";
  });
  EXPECT_TRUE(KeyExists(User(), SettingsPath(kJ2534ApiName, Lib0())));
  EXPECT_EQ(Content(dir_ / L"_lib0.dll"), LibraryBytes('0'));
  EXPECT_EQ(Content(Lib0()), LibraryBytes('M'));
}

TEST_F(ApplyUiTest, PduImplementationIsSavedEvenWithoutItsLibrary) {
  SeedInstallation();
  ASSERT_TRUE(DeleteFileW(PduLib().c_str()));
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_PDU_ENABLE);
    // Its settings are written; setting the missing library aside fails visibly.
    d.Click(IDC_APPLY);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    EXPECT_NE(BoxIcon(box), nullptr);
    DialogDriver::Dismiss(box);
    d.Send(WM_NULL);
  });
  EXPECT_EQ(UserString(PduSettings(), L"OutputFile"), LogFolder() + L"\\PDU\\Torva-Link.txt");
  EXPECT_FALSE(FileExists(PduLib()));
  EXPECT_FALSE(FileExists(dir_ / L"_pdu.dll"));
}

TEST_F(ApplyUiTest, FailedFileStepShowsTheSystemTextAndTheSaveGoesOn) {
  SeedInstallation();
  ASSERT_TRUE(DeleteFileW(Monitor().c_str()));  // the copy cannot succeed
  SetString(User(), ProductPath({L"LastUsed", L"A"}), L"X", L"y");
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_J2534_ENABLE);
    d.Click(IDC_APPLY);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    const std::wstring text = DialogDriver::MessageText(box);
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(text == SystemErrorText(ERROR_FILE_NOT_FOUND) ||
                text == SystemErrorText(ERROR_PATH_NOT_FOUND))
        << text;
    EXPECT_NE(BoxIcon(box), nullptr);  // the information icon
    DialogDriver::Dismiss(box);
    d.Send(WM_NULL);
    EXPECT_EQ(d.OwnedWindow(), nullptr);
  });
  // The save went on: the library is in place, LastUsed is gone.
  EXPECT_EQ(Content(Lib1()), LibraryBytes('1'));
  EXPECT_FALSE(KeyExists(User(), ProductPath({L"LastUsed"})));
}

// A monitored PDU implementation whose page the user cannot edit (no J2534
// implementation serves the PDU API) and whose default log name does not fit:
// its output file is not the user's to mend, so it must not block the save.
TEST_F(ApplyUiTest, UneditablePduPageDoesNotBlockTheSave) {
  SeedInstallation(L"tln", /*withJ2534=*/false, /*withPdu=*/true);
  SetString(Machine(), ProductPath(), L"LogFileLocation", L"C:\\" + std::wstring(250, L'l') + L"\\");
  ASSERT_TRUE(MoveFileW(PduLib().c_str(), (dir_ / L"_pdu.dll").c_str()));  // monitored
  ASSERT_TRUE(CopyFileW(Monitor().c_str(), PduLib().c_str(), FALSE));
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_FALSE(IsWindowEnabled(d.Item(IDC_PDU_FILE)));
    EXPECT_EQ(d.Text(IDC_PDU_FILE), L"");
    d.TypeText(IDC_SERIAL_NUMBER, L"42");
    d.Click(IDC_APPLY);
    const std::wstring device = ProductPath({L"DefaultDevice"});
    ASSERT_TRUE(DialogDriver::WaitFor(
        [&] { return UserDword(device, L"SerialNumber") == 42 || d.OwnedWindow() != nullptr; }));
    EXPECT_EQ(d.OwnedWindow(), nullptr);
    EXPECT_EQ(UserDword(device, L"SerialNumber"), 42u);
  });
  // Still monitored: the library stays aside, the monitor copy in its place.
  EXPECT_EQ(Content(dir_ / L"_pdu.dll"), LibraryBytes('P'));
  EXPECT_EQ(Content(PduLib()), LibraryBytes('M'));
}

}  // namespace
}  // namespace varrow::test
