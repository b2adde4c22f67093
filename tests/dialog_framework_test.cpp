// The window layer: message-map matching and dispatch, the exception boundary,
// the About helpers and the registry change watcher.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <stdexcept>

#include "app/about_dlg.h"
#include "app/change_watcher.h"
#include "app/framework.h"
#include "resources/resource.h"
#include "tests/test_support.h"
#include "tests/ui_fixture.h"

namespace varrow::test {
namespace {

TEST(MessageMatches, MatchesMessageCodeAndIdOfCommandsAndNotifications) {
  NMHDR notify{nullptr, 1018, static_cast<UINT>(UDN_DELTAPOS)};
  const LPARAM n = reinterpret_cast<LPARAM>(&notify);
  const UINT delta = static_cast<UINT>(UDN_DELTAPOS);
  struct Case {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    UINT entryMessage, entryCode, entryId;
    bool matches;
  } cases[] = {
      {WM_COMMAND, MAKEWPARAM(1043, BN_CLICKED), 0, WM_COMMAND, BN_CLICKED, 1043, true},
      {WM_COMMAND, MAKEWPARAM(1043, BN_CLICKED), 0, WM_COMMAND, BN_CLICKED, 1040, false},
      {WM_COMMAND, MAKEWPARAM(1021, EN_SETFOCUS), 0, WM_COMMAND, BN_CLICKED, 1021, false},
      {WM_COMMAND, MAKEWPARAM(1021, EN_SETFOCUS), 0, WM_COMMAND, kAnyCode, kAnyId, true},
      {WM_NOTIFY, 1018, n, WM_NOTIFY, delta, 1018, true},
      {WM_NOTIFY, 1018, n, WM_NOTIFY, delta, 1000, false},
      {WM_NOTIFY, 1018, 0, WM_NOTIFY, kAnyCode, kAnyId, false},  // no header
      {WM_PAINT, 0, 0, WM_PAINT, kAnyCode, kAnyId, true},
      {WM_PAINT, 0, 0, WM_SYSCOMMAND, kAnyCode, kAnyId, false},
      {WM_USER + 1, 0, 0, WM_USER + 1, kAnyCode, kAnyId, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageMatches(c.message, c.wparam, c.lparam, c.entryMessage, c.entryCode, c.entryId),
              c.matches)
        << std::hex << c.message << " " << c.entryMessage << " " << std::dec << c.entryId;
  }
}

// A dialog on the About template with a map whose first rows win, one handler
// that throws, and one that asks for default handling.
class MapDialog : public CDialog {
 public:
  MapDialog() : CDialog(IDD_ABOUTBOX) {}
  std::atomic<int> first{0}, second{0}, after{0};

 protected:
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) override;

 private:
  LRESULT First(WPARAM, LPARAM) { ++first; return 0; }
  LRESULT Second(WPARAM, LPARAM) { ++second; return 0; }
  LRESULT Throws(WPARAM, LPARAM) { throw std::runtime_error("handler failed"); }
  LRESULT After(WPARAM, LPARAM) { ++after; return 42; }
  static const MessageMapEntry<MapDialog> kMap[];
};
const MessageMapEntry<MapDialog> MapDialog::kMap[] = {
    {WM_COMMAND, BN_CLICKED, 1049, &MapDialog::First},
    {WM_COMMAND, BN_CLICKED, 1049, &MapDialog::Second},
    {WM_COMMAND, BN_CLICKED, 1050, &MapDialog::Throws},
    {WM_APP + 7, kAnyCode, kAnyId, &MapDialog::After},
};
bool MapDialog::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  return DispatchMap(this, kMap, message, wparam, lparam, result);
}

TEST(DialogBase, FirstMatchingRowWinsAndExceptionsStopAtTheDialogProcedure) {
  MapDialog dialog;
  const INT_PTR result = RunDialog(dialog, [&](DialogDriver& d) {
    d.Send(WM_COMMAND, MAKEWPARAM(1049, BN_CLICKED));
    EXPECT_EQ(dialog.first.load(), 1);
    EXPECT_EQ(dialog.second.load(), 0);
    d.Send(WM_COMMAND, MAKEWPARAM(1050, BN_CLICKED));  // throws inside; the dialog lives on
    EXPECT_TRUE(IsWindow(d.Dialog()));
    // A handled message's result reaches the sender through DWLP_MSGRESULT.
    EXPECT_EQ(d.Send(WM_APP + 7), 42);
    EXPECT_EQ(dialog.after.load(), 1);
    d.Click(IDOK);  // not in the map: the default OnOK ends the dialog
    DialogDriver::WaitFor([&] { return !IsWindow(d.Dialog()); });
  });
  EXPECT_EQ(result, IDOK);
}

TEST(AboutBox, HelpersTable) {
  EXPECT_EQ(StripAmpersands(L"&About Pellor..."), L"About Pellor...");
  EXPECT_EQ(StripAmpersands(L"&A&&b&"), L"Ab");
  EXPECT_EQ(StripAmpersands(L""), L"");
  EXPECT_EQ(AboutTemplateFor(WS_EX_LAYOUTRTL | WS_EX_APPWINDOW), 156u);
  EXPECT_EQ(AboutTemplateFor(WS_EX_APPWINDOW), 100u);
  for (WPARAM command : {0x10u, 0x1Fu, 0x13u}) EXPECT_TRUE(IsAboutCommand(command)) << command;
  for (WPARAM command : {0x0u, 0x20u, 0xF060u, 0x2Fu}) EXPECT_FALSE(IsAboutCommand(command)) << command;
  struct Case {
    int client, icon, origin;
  } cases[] = {{37, 32, 3}, {36, 32, 2}, {32, 32, 0}, {20, 32, -5}};
  for (const Case& c : cases) {
    const POINT p = IconOrigin(c.client, c.client, c.icon, c.icon);
    EXPECT_EQ(p.x, c.origin) << c.client;
    EXPECT_EQ(p.y, c.origin) << c.client;
  }
}

TEST(AboutBox, ShowsTheCopiedTextsAndStripsTheTitle) {
  CAboutDlg about(IDD_ABOUTBOX, nullptr, nullptr, L"&Über && mehr...", L"Version 9.8", L"Gut",
                  L"Produkt", nullptr);
  RunDialog(about, [&](DialogDriver& d) {
    EXPECT_EQ(d.Title(), L"Über  mehr...");
    EXPECT_EQ(d.Text(IDC_ABOUT_VERSION), L"Version 9.8");
    EXPECT_EQ(d.Text(IDOK), L"Gut");
    EXPECT_EQ(d.Text(IDC_ABOUT_PRODUCT), L"Produkt");
  });
}

// ---------------------------------------------------------------- watcher

// Pumps this thread's messages until the reload message reaches `window`.
bool WaitForReload(HWND window) {
  const ULONGLONG deadline = GetTickCount64() + kUiWaitMs;
  while (GetTickCount64() < deadline) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.hwnd == window && msg.message == kReloadMessage) {
        EXPECT_EQ(msg.wParam, 0u);
        EXPECT_EQ(msg.lParam, 0);
        return true;
      }
      DispatchMessageW(&msg);
    }
  }
  return false;
}

TEST(ChangeWatcher, PostsTheReloadForValueChangesBelowArmedKeysAndStopsCleanly) {
  ScratchRegistry reg;
  HWND target = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr);
  ASSERT_NE(target, nullptr);
  RegKey watched;
  ASSERT_EQ(watched.Create(reg.User(), L"Watched", KEY_ALL_ACCESS), ERROR_SUCCESS);
  {
    ChangeWatcher watcher;
    ASSERT_TRUE(watcher.Start(target));
    EXPECT_NE(watcher.Event(), nullptr);
    HKEY keys[3] = {watched.Get(), nullptr, nullptr};
    watcher.Arm(keys, 3);
    // A value in a subkey of the watched key is noticed.
    SetDword(reg.User(), L"Watched\\Connection00", L"Number", 3);
    EXPECT_TRUE(WaitForReload(target));
    // One shot: armed again, the next change is noticed too.
    watcher.Arm(keys, 3);
    SetDword(reg.User(), L"Watched", L"SerialNumber", 9);
    EXPECT_TRUE(WaitForReload(target));

    watcher.Stop();
    EXPECT_FALSE(watcher.Running());
    EXPECT_EQ(watcher.Event(), nullptr);
    watcher.Stop();  // a second stop does nothing
  }
  DestroyWindow(target);
}

TEST(ChangeWatcher, ArmingWithoutAStartedWatcherDoesNothing) {
  ScratchRegistry reg;
  ChangeWatcher watcher;
  HKEY keys[1] = {reg.User()};
  watcher.Arm(keys, 1);  // no event: must not touch the key or crash
  EXPECT_EQ(watcher.Event(), nullptr);
  EXPECT_FALSE(watcher.Running());
}

// The cursors are loaded once and kept: whichever was shown last, each call
// shows its own, also the second time round.
TEST(Cursors, WaitAndArrowShowTheSystemCursorsEveryTime) {
  const HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
  const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
  ASSERT_NE(wait, arrow);
  const struct {
    void (*show)();
    HCURSOR expected;
  } steps[] = {{ShowWaitCursor, wait}, {ShowArrowCursor, arrow}, {ShowWaitCursor, wait},
               {ShowWaitCursor, wait}, {ShowArrowCursor, arrow}};
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    steps[i].show();
    EXPECT_EQ(GetCursor(), steps[i].expected) << "step " << i;
  }
}

}  // namespace
}  // namespace varrow::test
