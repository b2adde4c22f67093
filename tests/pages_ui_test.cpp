// The two monitoring pages in the running dialog: what they show at start,
// how their controls follow the records and the selected tabs, the format
// buttons, and files dropped on the output-file fields.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "app/varrow_dlg.h"
#include "locale/brand.h"
#include "resources/resource.h"
#include "settings/owned_handle.h"
#include "tests/pages_ui_fixture.h"

namespace varrow::test {
namespace {

constexpr int kPduSettingIds[] = {IDC_PDU_FILE,      IDC_PDU_ASCII,          IDC_PDU_XML,
                                  IDC_PDU_OVERWRITE, IDC_PDU_LOG_ENTRY_EXIT, IDC_PDU_LOG_DEBUG_VIEW,
                                  IDC_PDU_SIZE};
constexpr int kJ2534SettingIds[] = {IDC_J2534_FILE,      IDC_J2534_ASCII,
                                    IDC_J2534_XML,       IDC_J2534_OVERWRITE,
                                    IDC_J2534_LOG_ENTRY_EXIT, IDC_J2534_LOG_DEBUG_VIEW,
                                    IDC_J2534_DISABLE_EMPTY_ERROR, IDC_J2534_SIZE};

// Usable controls of the pages as a user sees them.
void ExpectPdu(const DialogDriver& d, bool enable, bool settings, bool store, int line) {
  SCOPED_TRACE(testing::Message() << "checked at line " << line);
  EXPECT_EQ(d.Enabled(IDC_PDU_ENABLE), enable);
  for (int id : kPduSettingIds) EXPECT_EQ(d.Enabled(id), settings) << id;
  EXPECT_EQ(ReadOnly(d, IDC_PDU_FILE), !settings);
  EXPECT_EQ(d.Enabled(IDC_PDU_STORE_WITH_J2534), store);
  EXPECT_FALSE(d.Enabled(IDC_PDU_CSV));
  EXPECT_FALSE(d.Enabled(IDC_PDU_HTML));
}
void ExpectJ2534(const DialogDriver& d, bool enable, bool settings, int line) {
  SCOPED_TRACE(testing::Message() << "checked at line " << line);
  EXPECT_EQ(d.Enabled(IDC_J2534_ENABLE), enable);
  for (int id : kJ2534SettingIds) EXPECT_EQ(d.Enabled(id), settings) << id;
  EXPECT_EQ(ReadOnly(d, IDC_J2534_FILE), !settings);
  EXPECT_FALSE(d.Enabled(IDC_J2534_CSV));
  EXPECT_FALSE(d.Enabled(IDC_J2534_HTML));
}

TEST_F(PagesUiTest, StartsOnTheSupportingTabWithDefaultNamesAndSizes) {
  SeedInstallation();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_EQ(SendMessageW(d.Item(IDC_J2534_TAB), TCM_GETITEMCOUNT, 0, 0), 2);
    EXPECT_EQ(TabSelection(d, IDC_J2534_TAB), 1);
    EXPECT_EQ(TabSelection(d, IDC_PDU_TAB), 0);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), LogFolder() + L"\\J2534\\lib1.txt");
    EXPECT_EQ(d.Text(IDC_PDU_FILE), LogFolder() + L"\\PDU\\Torva-Link.txt");
    EXPECT_EQ(ComboTexts(d, IDC_J2534_SIZE),
              (std::vector<std::wstring>{L"Entire Message", L"512 Bytes", L"4096 Bytes"}));
    EXPECT_EQ(ComboSelection(d, IDC_J2534_SIZE), 0);
    EXPECT_EQ(ComboTexts(d, IDC_PDU_SIZE), (std::vector<std::wstring>{L"Entire Message"}));
    // The records' initial values.
    EXPECT_FALSE(Checked(d, IDC_J2534_ENABLE));
    EXPECT_TRUE(Checked(d, IDC_J2534_ASCII));
    EXPECT_FALSE(Checked(d, IDC_J2534_XML));
    EXPECT_TRUE(Checked(d, IDC_J2534_OVERWRITE));
    EXPECT_TRUE(Checked(d, IDC_J2534_DISABLE_EMPTY_ERROR));
    EXPECT_FALSE(Checked(d, IDC_J2534_LOG_ENTRY_EXIT));
    EXPECT_FALSE(Checked(d, IDC_PDU_STORE_WITH_J2534));  // unset (-1) shows unchecked
    ExpectJ2534(d, true, false, __LINE__);
    ExpectPdu(d, true, false, false, __LINE__);
    // The other tab shows its own default.
    SelectTab(d, IDC_J2534_TAB, 0);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), LogFolder() + L"\\J2534\\lib0.txt");
  });
}

TEST_F(PagesUiTest, PduDefaultNameFollowsTheBrand) {
  const struct {
    const wchar_t* brand;
    const wchar_t* file;
  } cases[] = {{L"tln", L"Torva-Link.txt"}, {L"brv", L"Halden-VCI.txt"}, {L"9480", L"OVRA-VCI.txt"}};
  SeedInstallation();
  for (const auto& c : cases) {
    SetString(Machine(), ProductPath(), L"Brand", c.brand);
    ResetBrandCacheForTests();
    CVarrowDlg dialog(102, Roots(), true);
    RunDialog(dialog, [&](DialogDriver& d) {
      EXPECT_EQ(d.Text(IDC_PDU_FILE), LogFolder() + L"\\PDU\\" + c.file) << c.brand;
    });
  }
}

TEST_F(PagesUiTest, PduPageFollowsTheSelectedJ2534TabAndStoreWithJ2534Data) {
  SeedInstallation();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    // Not the supporting implementation: nothing of the PDU page is usable.
    SelectTab(d, IDC_J2534_TAB, 0);
    ExpectJ2534(d, true, false, __LINE__);
    ExpectPdu(d, false, false, false, __LINE__);
    SelectTab(d, IDC_J2534_TAB, 1);
    ExpectPdu(d, true, false, false, __LINE__);

    SendClick(d, IDC_PDU_ENABLE);  // PDU on, J2534 off
    EXPECT_TRUE(Checked(d, IDC_PDU_ENABLE));
    ExpectPdu(d, true, true, false, __LINE__);
    SendClick(d, IDC_J2534_ENABLE);  // the supporting implementation monitored too
    ExpectJ2534(d, true, true, __LINE__);
    ExpectPdu(d, true, true, true, __LINE__);
    EXPECT_FALSE(Checked(d, IDC_PDU_STORE_WITH_J2534));

    SendClick(d, IDC_PDU_STORE_WITH_J2534);  // the J2534 settings apply
    EXPECT_TRUE(Checked(d, IDC_PDU_STORE_WITH_J2534));
    ExpectPdu(d, true, false, true, __LINE__);
    SelectTab(d, IDC_J2534_TAB, 0);
    ExpectPdu(d, false, false, false, __LINE__);
    SelectTab(d, IDC_J2534_TAB, 1);
    ExpectPdu(d, true, false, true, __LINE__);

    SendClick(d, IDC_PDU_STORE_WITH_J2534);
    ExpectPdu(d, true, true, true, __LINE__);
    SendClick(d, IDC_J2534_ENABLE);  // J2534 off again: the Store box goes
    ExpectJ2534(d, true, false, __LINE__);
    ExpectPdu(d, true, true, false, __LINE__);
    SendClick(d, IDC_PDU_ENABLE);
    ExpectPdu(d, true, false, false, __LINE__);
  });
}

TEST_F(PagesUiTest, StoredStoreWithJ2534DataIsShown) {
  SeedInstallation();
  for (DWORD value : {0u, 1u}) {
    SetDword(Machine(), FactoryPath({L"Monitoring", kPduApiName}), L"StoreWithPrimaryAPI", value);
    CVarrowDlg dialog(102, Roots(), true);
    RunDialog(dialog, [&](DialogDriver& d) {
      EXPECT_EQ(Checked(d, IDC_PDU_STORE_WITH_J2534), value == 1) << value;
    });
  }
}

TEST_F(PagesUiTest, LibraryNotFoundDisablesBothPages) {
  SeedInstallation();
  ASSERT_TRUE(DeleteFileW(Lib1().c_str()));
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    ASSERT_EQ(TabSelection(d, IDC_J2534_TAB), 1);
    ExpectJ2534(d, false, false, __LINE__);
    ExpectPdu(d, false, false, false, __LINE__);
    SelectTab(d, IDC_J2534_TAB, 0);
    ExpectJ2534(d, true, false, __LINE__);
  });
}

TEST_F(PagesUiTest, PagesWithoutTabsAreEmptyAndDisabled) {
  SeedInstallation(L"tln", /*withJ2534=*/false, /*withPdu=*/false);
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_EQ(SendMessageW(d.Item(IDC_J2534_TAB), TCM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageW(d.Item(IDC_PDU_TAB), TCM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), L"");
    EXPECT_EQ(d.Text(IDC_PDU_FILE), L"");
    ExpectJ2534(d, false, false, __LINE__);
    ExpectPdu(d, false, false, false, __LINE__);
    // Handlers reached anyway change nothing and Apply has nothing to check.
    d.Send(WM_COMMAND, MAKEWPARAM(IDC_J2534_XML, BN_CLICKED), 0);
    d.Send(WM_COMMAND, MAKEWPARAM(IDC_PDU_ENABLE, BN_CLICKED), 0);
    EXPECT_TRUE(ClickAndWait(d, IDC_APPLY));
    EXPECT_EQ(d.OwnedWindow(), nullptr);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), L"");
  });
}

TEST_F(PagesUiTest, DefaultNameThatWouldNotFitIsNeverCut) {
  SeedInstallation();
  // 246 characters: "J2534\lib1.dll" and "PDU\Torva-Link.txt" would pass 259.
  const std::wstring location = L"C:\\" + std::wstring(242, L'L') + L"\\";
  SetString(Machine(), ProductPath(), L"LogFileLocation", location);
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    EXPECT_EQ(d.Text(IDC_J2534_FILE), L"");
    EXPECT_EQ(d.Text(IDC_PDU_FILE), L"");
    // With monitoring on, the empty name stops Apply.
    SendClick(d, IDC_J2534_ENABLE);
    d.Click(IDC_APPLY);
    HWND box = d.WaitForOwnedWindow();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogDriver::MessageText(box), L"Invalid File Name");
    DialogDriver::Dismiss(box);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), L"");
  });
  EXPECT_FALSE(KeyExists(User(), ProductPath({L"Monitoring", kJ2534ApiName, SettingsKeyName(Lib1())})));
}

TEST_F(PagesUiTest, FormatButtonsReplaceTheFileNamesExtension) {
  SeedInstallation();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    SendClick(d, IDC_J2534_ENABLE);
    d.TypeText(IDC_J2534_FILE, L"D:\\my.logs\\a.txt");
    SendClick(d, IDC_J2534_XML);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), L"D:\\my.logs\\a.xml");
    EXPECT_TRUE(Checked(d, IDC_J2534_XML));
    EXPECT_FALSE(Checked(d, IDC_J2534_ASCII));
    d.TypeText(IDC_J2534_FILE, L"logfile");
    SendClick(d, IDC_J2534_ASCII);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), L"logfile.txt");
    // The record holds what the button made of the text; a typed text does not survive.
    SelectTab(d, IDC_J2534_TAB, 0);
    SelectTab(d, IDC_J2534_TAB, 1);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), L"logfile.txt");
    EXPECT_TRUE(Checked(d, IDC_J2534_ASCII));
    d.TypeText(IDC_J2534_FILE, L"typed.txt");
    SelectTab(d, IDC_J2534_TAB, 0);
    SelectTab(d, IDC_J2534_TAB, 1);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), L"logfile.txt");
  });
}

TEST_F(PagesUiTest, DroppedFileIsTakenOnlyByAUsableFieldOfTheRightFormat) {
  SeedInstallation();
  const std::wstring xml = L"E:\\logs\\run.XML";
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    Expand(d);
    const std::wstring initial = d.Text(IDC_J2534_FILE);
    DropOn(d, IDC_J2534_FILE, xml);  // monitoring off
    EXPECT_EQ(d.Text(IDC_J2534_FILE), initial);
    SendClick(d, IDC_J2534_ENABLE);
    DropOn(d, IDC_J2534_FILE, xml);  // format ASCII
    EXPECT_EQ(d.Text(IDC_J2534_FILE), initial);
    SendClick(d, IDC_J2534_XML);
    const std::wstring asXml = d.Text(IDC_J2534_FILE);
    DropOn(d, IDC_J2534_FILE, L"E:\\my.logs\\run");  // no extension
    DropOn(d, IDC_SERIAL_NUMBER, xml);               // not an output-file field
    DropOn(d, IDC_PDU_FILE, xml);                    // PDU monitoring off
    EXPECT_EQ(d.Text(IDC_J2534_FILE), asXml);
    EXPECT_EQ(d.Text(IDC_PDU_FILE), LogFolder() + L"\\PDU\\Torva-Link.txt");
    EXPECT_NE(d.Text(IDC_SERIAL_NUMBER), xml);
    DropOn(d, IDC_J2534_FILE, xml);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), xml);
    // The record took it: it survives a tab change.
    SelectTab(d, IDC_J2534_TAB, 0);
    SelectTab(d, IDC_J2534_TAB, 1);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), xml);
    // A path longer than a field is ignored, never cut.
    const std::wstring longPath = L"E:\\" + std::wstring(300, L'x') + L".xml";
    DropOn(d, IDC_J2534_FILE, longPath);
    EXPECT_EQ(d.Text(IDC_J2534_FILE), xml);
  });
}

TEST_F(PagesUiTest, EveryDropIsReleased) {
  SeedInstallation();
  CVarrowDlg dialog(102, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    Expand(d);
    SendClick(d, IDC_J2534_ENABLE);
    for (const std::wstring& path : {std::wstring(L"E:\\a.txt"), std::wstring(L"E:\\a.xml")}) {
      HDROP drop = MakeDrop(path, CentreOf(d, IDC_J2534_FILE));
      ASSERT_NE(drop, nullptr);
      d.Send(WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
      // Released by the dialog: the handle no longer names memory.
      EXPECT_EQ(GlobalFlags(drop), GMEM_INVALID_HANDLE) << path;
    }
  });
}

// What `window` paints of its client area (WM_PRINTCLIENT), read at (x, y).
COLORREF PaintedPixel(HWND window, int x, int y) {
  RECT r{};
  GetClientRect(window, &r);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP picture = CreateCompatibleBitmap(screen, r.right, r.bottom);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(memory, picture);
  HBRUSH sentinel = CreateSolidBrush(RGB(1, 2, 3));
  FillRect(memory, &r, sentinel);
  SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
               PRF_CLIENT | PRF_ERASEBKGND);
  const COLORREF pixel = GetPixel(memory, x, y);
  SelectObject(memory, old);
  DeleteObject(sentinel);
  DeleteObject(picture);
  DeleteDC(memory);
  return pixel;
}

TEST_F(PagesUiTest, LabelsAndButtonsOnTheTabsAreDrawnOnTheTabPage) {
  SeedInstallation();
  CVarrowDlg dialog(IDD_VARROW_DIALOG, Roots(), true);
  RunDialog(dialog, [&](DialogDriver& d) {
    Expand(d);
    const struct {
      int id, tab;
    } cases[] = {{IDC_J2534_ENABLE, IDC_J2534_TAB}, {IDC_J2534_FILE_LABEL, IDC_J2534_TAB},
                 {IDC_PDU_ASCII, IDC_PDU_TAB}, {IDC_PDU_STORE_WITH_J2534, IDC_PDU_TAB}};
    for (const auto& c : cases) {
      // The control's top right corner, which no text or box covers, shows
      // the same colour as the tab page at that place.
      RECT r{};
      GetClientRect(d.Item(c.id), &r);
      POINT onTab{r.right - 1, 0};
      MapWindowPoints(d.Item(c.id), d.Item(c.tab), &onTab, 1);
      const COLORREF page = PaintedPixel(d.Item(c.tab), onTab.x, onTab.y);
      EXPECT_NE(page, RGB(1, 2, 3)) << "the tab control painted nothing";
      EXPECT_EQ(PaintedPixel(d.Item(c.id), r.right - 1, 0), page) << "control " << c.id;
    }
  });
}

// Tab and Shift+Tab as key presses handed to the dialog manager on the
// dialog's own thread, Shift in that thread's key state; `beforePress` runs
// there first. The focus read back there right after the press is what the
// dialog decided, whichever window of the machine has the focus. Returns the
// newly focused window, or null when the focus did not move.
HWND PressTab(const DialogDriver& d, bool shift, const std::function<void()>& beforePress = {}) {
  HWND before = nullptr;
  HWND after = nullptr;
  d.OnDialogThread([&] {
    if (beforePress) beforePress();
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
    before = GetFocus();
    MSG press{before != nullptr ? before : d.Dialog(), WM_KEYDOWN, VK_TAB, 0x000F0001, 0, {}};
    IsDialogMessageW(d.Dialog(), &press);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    after = GetFocus();
  });
  return after != before ? after : nullptr;
}

// The focus on the dialog's own thread.
HWND DialogFocus(const DialogDriver& d) {
  HWND focus = nullptr;
  d.OnDialogThread([&] { focus = GetFocus(); });
  return focus;
}

// The focused window (or the control it belongs to) lies inside the client area.
bool InView(const DialogDriver& d, HWND focus) {
  while (focus != nullptr && GetParent(focus) != d.Dialog()) focus = GetParent(focus);
  if (focus == nullptr) return false;
  const RECT client = d.ClientRect();
  const RECT r = d.ItemClientRect(GetDlgCtrlID(focus));
  return r.top >= 0 && r.left >= 0 && r.bottom <= client.bottom && r.right <= client.right;
}

// Walks the whole cycle both ways from the focus, every stop in view, and
// returns the ids of the stops of the forward walk, the first focus first.
// `beforeFirstPress` runs on the dialog's thread right before the first press.
std::vector<int> WalkInView(const DialogDriver& d, const char* when,
                            const std::function<void()>& beforeFirstPress = {}) {
  SCOPED_TRACE(when);
  std::vector<int> stops;
  const HWND start = DialogFocus(d);
  EXPECT_NE(start, nullptr);
  if (start == nullptr) return stops;
  EXPECT_TRUE(InView(d, start)) << "first focus on " << GetDlgCtrlID(start);
  std::function<void()> first = beforeFirstPress;
  for (bool shift : {false, true}) {
    HWND focus = start;
    int presses = 0;
    do {
      if (!shift) stops.push_back(GetDlgCtrlID(focus));
      focus = PressTab(d, shift, first);
      first = nullptr;
      EXPECT_NE(focus, nullptr) << "the focus did not move, shift " << shift;
      if (focus == nullptr) return stops;
      EXPECT_TRUE(InView(d, focus)) << "control " << GetDlgCtrlID(focus) << ", shift " << shift;
    } while (focus != start && ++presses < 60);
    EXPECT_EQ(focus, start) << "the cycle did not close, shift " << shift;
  }
  return stops;
}

// Runs alone (see CMakeLists.txt): another test's dialog would take the focus.
class KeyboardUiTest : public PagesUiTest {};

TEST_F(KeyboardUiTest, TabKeysNeverReachTheCutOffPart) {
  SeedInstallation();
  // The visible stops in each template's order: the device section first from
  // left to right, the buttons first from right to left.
  const std::vector<int> ltr = {IDC_SERIAL_NUMBER, IDC_CONNECTION_LIST, IDOK, IDC_APPLY,
                                IDCANCEL, IDC_HELP_BUTTON, IDC_MORE_LESS};
  const std::vector<int> rtl = {IDOK, IDC_APPLY, IDCANCEL, IDC_HELP_BUTTON, IDC_MORE_LESS,
                                IDC_SERIAL_NUMBER, IDC_CONNECTION_LIST};
  for (UINT templateId : {IDD_VARROW_DIALOG, IDD_VARROW_DIALOG_RTL}) {
    for (bool monitoring : {true, false}) {
      SCOPED_TRACE(testing::Message() << "template " << templateId << ", monitoring " << monitoring);
      CVarrowDlg dialog(templateId, Roots(), monitoring);
      RunDialog(dialog, [&](DialogDriver& d) {
        AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(d.Dialog(), nullptr),
                          TRUE);
        EXPECT_EQ(WalkInView(d, "at start"), templateId == IDD_VARROW_DIALOG ? ltr : rtl);
        if (!monitoring) return;
        SendClick(d, IDC_J2534_ENABLE);  // more of the pages usable
        ASSERT_TRUE(ClickAndWait(d, IDC_MORE_LESS));
        const std::vector<int> expanded = WalkInView(d, "expanded");
        EXPECT_GT(expanded.size(), ltr.size());
        // Collapsing while a control of the pages has the focus (a command, not
        // a click that would focus the button) leaves the focus in view.
        d.Focus(IDC_J2534_ENABLE);
        d.Send(WM_COMMAND, MAKEWPARAM(IDC_MORE_LESS, BN_CLICKED),
               reinterpret_cast<LPARAM>(d.Item(IDC_MORE_LESS)));
        const std::vector<int> collapsed = WalkInView(d, "collapsed again");
        EXPECT_EQ(collapsed.size(), ltr.size());
      });
    }
  }
}

// Filling the pages and showing another implementation check a format radio
// button of the cut-off part, which gives it a tab stop again, and a radio
// group is entered through its checked button: the keys still pass over the
// cut-off part, with the first press also the one that waits for the pages.
TEST_F(KeyboardUiTest, TabKeysStayInViewWhenThePagesAreFilledOrRefreshed) {
  SeedInstallation();
  ASSERT_TRUE(MoveFileW(Lib1().c_str(), (dir_ / L"_lib1.dll").c_str()));  // lib1 monitored
  ASSERT_TRUE(CopyFileW(Monitor().c_str(), Lib1().c_str(), FALSE));
  const std::vector<int> visible = {IDC_SERIAL_NUMBER, IDC_CONNECTION_LIST, IDOK, IDC_APPLY,
                                    IDCANCEL, IDC_HELP_BUTTON, IDC_MORE_LESS};
  const struct {
    const char* when;
    bool heldUntilTheFirstPress;
    void (*before)(const DialogDriver&);
  } cases[] = {
      {"pages filled by the first press", true, nullptr},
      {"pages filled, the other tab shown", false,
       [](const DialogDriver& d) { SelectTab(d, IDC_J2534_TAB, 0); }},
      {"pages filled, an XML format chosen, Apply", false,
       [](const DialogDriver& d) {
         SendClick(d, IDC_J2534_XML);
         ASSERT_TRUE(ClickAndWait(d, IDC_APPLY));
       }},
  };
  for (const auto& c : cases) {
    // Closed after the dialog, which keeps the handle for its discovery.
    const KernelHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(gate.Valid());
    CVarrowDlg dialog(IDD_VARROW_DIALOG, Roots(), true);
    if (c.heldUntilTheFirstPress) dialog.HoldDiscoveryUntil(gate.Get());
    RunDialog(
        dialog,
        [&](DialogDriver& d) {
          if (c.before != nullptr) c.before(d);
          // Released on the dialog's thread inside the first press: the press
          // itself waits for the discovery and fills the pages.
          std::vector<int> stops = WalkInView(d, c.when, [&] { SetEvent(gate.Get()); });
          // The cycle, from wherever the focus was.
          const auto first = std::find(stops.begin(), stops.end(), visible.front());
          if (first != stops.end()) std::rotate(stops.begin(), first, stops.end());
          EXPECT_EQ(stops, visible);
          EXPECT_GT(SendMessageW(d.Item(IDC_J2534_TAB), TCM_GETITEMCOUNT, 0, 0), 0) << c.when;
        },
        /*waitForPages=*/!c.heldUntilTheFirstPress);
    SetEvent(gate.Get());
  }
}

}  // namespace
}  // namespace varrow::test
