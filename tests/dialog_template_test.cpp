// The dialog templates and the string table as other modules see them: ids,
// tab order, styles that carry behaviour, and the texts addressed by number.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "locale/localization.h"
#include "resources/resource.h"

namespace {

INT_PTR CALLBACK Quiet(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

// A hidden instance of a template, destroyed afterwards.
class Template {
 public:
  explicit Template(UINT id)
      : hwnd_(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), nullptr, Quiet,
                                 0)) {}
  ~Template() {
    if (hwnd_) DestroyWindow(hwnd_);
  }
  HWND get() const { return hwnd_; }
  std::vector<int> ChildIds() const {
    std::vector<int> ids;
    for (HWND child = GetWindow(hwnd_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
      ids.push_back(GetDlgCtrlID(child));
    return ids;
  }
  DWORD Style(int id) const { return static_cast<DWORD>(GetWindowLongW(GetDlgItem(hwnd_, id), GWL_STYLE)); }
  std::wstring ClassOf(int id) const {
    wchar_t name[64] = {};
    GetClassNameW(GetDlgItem(hwnd_, id), name, 64);
    return name;
  }

 private:
  HWND hwnd_;
};

// The tab order itself is checked live, by key presses (pages_ui_test.cpp).
TEST(MainTemplates, HoldThe45Controls) {
  for (UINT id : {IDD_VARROW_DIALOG, IDD_VARROW_DIALOG_RTL}) {
    Template t(id);
    ASSERT_NE(t.get(), nullptr);
    std::vector<int> ids = t.ChildIds();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids.size(), 45u) << id;
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << id;
  }
}

TEST(MainTemplates, WindowStylesAndTheStylesThatCarryBehaviour) {
  for (UINT id : {IDD_VARROW_DIALOG, IDD_VARROW_DIALOG_RTL}) {
    Template t(id);
    ASSERT_NE(t.get(), nullptr);
    const DWORD style = static_cast<DWORD>(GetWindowLongW(t.get(), GWL_STYLE));
    const DWORD ex = static_cast<DWORD>(GetWindowLongW(t.get(), GWL_EXSTYLE));
    for (DWORD bit : {DWORD(WS_CAPTION), DWORD(WS_SYSMENU), DWORD(WS_MINIMIZEBOX),
                      DWORD(WS_MAXIMIZEBOX), DWORD(DS_MODALFRAME), DWORD(DS_SYSMODAL),
                      DWORD(DS_CENTER)})
      EXPECT_EQ(style & bit, bit) << id << " style " << std::hex << bit;
    EXPECT_TRUE(ex & WS_EX_APPWINDOW) << id;
    EXPECT_TRUE(ex & WS_EX_ACCEPTFILES) << id;
    EXPECT_EQ((ex & WS_EX_LAYOUTRTL) != 0, id == IDD_VARROW_DIALOG_RTL);

    EXPECT_TRUE(t.Style(1021) & ES_NUMBER);
    EXPECT_EQ(t.Style(1016) & (LBS_OWNERDRAWFIXED | LBS_HASSTRINGS),
              DWORD(LBS_OWNERDRAWFIXED | LBS_HASSTRINGS));
    EXPECT_EQ(t.Style(1005) & 3, DWORD(CBS_DROPDOWN));
    EXPECT_EQ(t.Style(1027) & 3, DWORD(CBS_DROPDOWNLIST));
    EXPECT_EQ(t.ClassOf(1000), L"SysTabControl32");
    EXPECT_EQ(t.ClassOf(1018), L"msctls_updown32");
    EXPECT_FALSE(t.Style(1018) & (UDS_SETBUDDYINT | UDS_AUTOBUDDY | UDS_HORZ));
    for (int radio : {1011, 1033}) EXPECT_TRUE(t.Style(radio) & WS_GROUP) << radio;
    for (int anchor : {1046, 1047}) EXPECT_TRUE(t.Style(anchor) & WS_GROUP) << anchor;
    EXPECT_EQ(GetDlgItem(t.get(), 1039), nullptr);
  }
}

// Distance of a control's leading edge from the dialog's leading edge in
// pixels: from the left in template 102, from the right in mirrored 154.
int LeadingOffset(HWND dialog, int id) {
  RECT client{};
  GetClientRect(dialog, &client);
  POINT origin{0, 0};
  ClientToScreen(dialog, &origin);
  RECT item{};
  GetWindowRect(GetDlgItem(dialog, id), &item);
  const bool mirrored = (GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) != 0;
  // A mirrored window's client origin is its top-right corner on screen.
  return mirrored ? origin.x - item.right : item.left - origin.x;
}

TEST(MainTemplates, RightToLeftTemplateMovesFiveCheckBoxes) {
  Template ltr(IDD_VARROW_DIALOG);
  Template rtl(IDD_VARROW_DIALOG_RTL);
  ASSERT_NE(ltr.get(), nullptr);
  ASSERT_NE(rtl.get(), nullptr);
  struct Case {
    int id, ltrX, rtlX;
  } cases[] = {{1058, 270, 263}, {1060, 270, 263}, {1057, 270, 263},
               {1059, 270, 264}, {1061, 270, 263}, {1021, 15, 15}};
  for (const Case& c : cases) {
    RECT units{c.ltrX, 0, c.rtlX, 0};
    MapDialogRect(ltr.get(), &units);
    EXPECT_EQ(LeadingOffset(ltr.get(), c.id), units.left) << c.id;
    EXPECT_EQ(LeadingOffset(rtl.get(), c.id), units.right) << c.id;
  }
}

TEST(AboutTemplates, HoldTheFiveControlsAndRightToLeftFor156) {
  for (UINT id : {IDD_ABOUTBOX, IDD_ABOUTBOX_RTL}) {
    Template t(id);
    ASSERT_NE(t.get(), nullptr);
    const std::vector<int> ids = t.ChildIds();
    EXPECT_EQ(ids.size(), 5u);
    for (int control : {1050, 1, 1049}) EXPECT_NE(GetDlgItem(t.get(), control), nullptr) << control;
    EXPECT_TRUE(t.Style(1050) & SS_NOPREFIX);
    const DWORD ex = static_cast<DWORD>(GetWindowLongW(t.get(), GWL_EXSTYLE));
    EXPECT_EQ((ex & WS_EX_LAYOUTRTL) != 0, id == IDD_ABOUTBOX_RTL);
  }
}

std::wstring Load(UINT id) {
  const wchar_t* text = nullptr;
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

TEST(StringTable, EveryLoadedTextExistsAndKeyTextsAreExact) {
  for (UINT id : varrow::kLocalizedTextIds) EXPECT_FALSE(Load(id).empty()) << id;
  EXPECT_EQ(Load(101), L"&About Pellor...");
  EXPECT_EQ(Load(111), L"[Enter Device Serial Number]");
  EXPECT_EQ(Load(128), L"At least one Auto-Connection must be selected. \nPlease select at least "
                       L"one Auto-Connection.");
  EXPECT_EQ(Load(142), L"More>>");
  EXPECT_EQ(Load(143), L"<<Less");
  EXPECT_EQ(Load(152), L"Interface Type Order");
  EXPECT_EQ(Load(153), L"Version");
  EXPECT_EQ(Load(197), L"The serial number must be a whole number from 0 to 4294967295.");
  EXPECT_EQ(Load(120), L"");  // ids outside the table stay absent
}

}  // namespace
