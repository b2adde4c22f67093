// Driving the real main dialog in UI tests.
//
// The dialog runs modally on the test's main thread (its templates are in the
// test module), against scratch registry roots; a script runs on a worker
// thread and acts as a user would, by window messages on control ids, and
// reads back what a user sees. Typical use:
//
//   UiTest fixture (scratch roots seeded with a brand, DLLLocation and factory
//   device settings by SeedDialogMachine):
//
//     CVarrowDlg dialog(102, Roots(), /*monitoringAvailable=*/true);
//     RunDialog(dialog, [&](DialogDriver& d) {
//       d.Click(1043);                                  // posts BM_CLICK
//       ASSERT_TRUE(d.WaitFor([&] { return d.Text(1043) == L"<<Less"; }));
//       HWND box = d.WaitForOwnedWindow();              // a message box or the About box
//       EXPECT_EQ(DialogDriver::MessageText(box), L"...");
//       DialogDriver::Dismiss(box);
//     });
//
// Rules the helpers follow (they matter under Wine):
// - Buttons that open a message box are clicked by posting, never by sending,
//   so the worker does not block inside the box's modal loop.
// - Everything sent is handled on the dialog's thread (in-process SendMessage),
//   so WM_NOTIFY with a pointer and focus changes through WM_NEXTDLGCTL work.
// - Waits poll with a generous deadline and never assert a duration.
// - When the script returns, RunDialog dismisses any box the dialog still owns
//   and ends the dialog with Cancel.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/framework.h"
#include "settings/registry.h"
#include "tests/test_support.h"

namespace varrow::test {

// Generous deadline of every wait.
constexpr DWORD kUiWaitMs = 10000;

// One (Number, Enabled) entry of an ordered section.
using OrderEntry = std::pair<DWORD, DWORD>;

// The five connection kinds in their usual factory order, all enabled.
std::vector<OrderEntry> DefaultConnectionEntries();

// Machine-side seed of a runnable dialog: Brand (REG_SZ) and DLLLocation
// (REG_SZ; a folder without language libraries gives the built-in English
// texts) under the product key, and factory DefaultDevice (SerialNumber,
// Version 1), AutoConnectionOrder (entries, Version 1) and InterfaceTypeOrder
// (one entry, Version 1) under DefaultSettings.
void SeedDialogMachine(HKEY machine, const std::wstring& dllLocation, DWORD factorySerial = 0,
                       const std::vector<OrderEntry>& connections = DefaultConnectionEntries(),
                       const wchar_t* brand = L"tln");
// Writes an ordered section's entries ("<prefix>NN" subkeys with Number and
// Enabled) and its Version below `root`\`sectionPath`.
void SeedOrderSection(HKEY root, const std::wstring& sectionPath, const std::wstring& prefix,
                      const std::vector<OrderEntry>& entries, DWORD version);

// What the worker-thread script uses to act on the running dialog.
class DialogDriver {
 public:
  explicit DialogDriver(HWND dialog) : dialog_(dialog) {}

  HWND Dialog() const { return dialog_; }
  HWND Item(int id) const { return GetDlgItem(dialog_, id); }
  std::wstring Title() const;
  std::wstring Text(int id) const;
  bool Visible(int id) const;
  bool Enabled(int id) const;
  DWORD Style(int id) const;
  RECT WindowRect() const;
  RECT ClientRect() const;
  // A control's window rectangle in the dialog's client coordinates.
  RECT ItemClientRect(int id) const;

  // Posts BM_CLICK to the button (safe for buttons that open a message box).
  void Click(int id) const;
  // Sends BM_CLICK and returns once the click has been handled: for buttons
  // that never open a message box (Apply that succeeds, More>> with rights).
  void ClickAndWait(int id) const;
  // Moves the focus to the control as the dialog manager does (WM_NEXTDLGCTL).
  void Focus(int id) const;
  // Focuses the control, replaces its text, then moves the focus to `next`.
  void TypeText(int id, const std::wstring& text, int next = IDCANCEL) const;
  // Sends a message to the dialog and returns once the dialog thread handled it
  // (and, being in order, every message posted before it).
  LRESULT Send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const;
  // Sends UDN_DELTAPOS of up-down control `id` with the given step to the dialog.
  LRESULT DeltaPos(int id, int delta) const;
  // Posts a system command (WM_SYSCOMMAND) to the dialog.
  void SystemCommand(WPARAM command) const;

  // List box rows as a user sees them: texts, check marks, selection.
  int ListCount(int id) const;
  std::wstring ListText(int id, int row) const;
  int ListCheck(int id, int row) const;
  int ListSelection(int id) const;
  void ListSelect(int id, int row) const;
  std::vector<std::wstring> ListTexts(int id) const;
  std::vector<int> ListChecks(int id) const;

  // Runs `work` on the dialog's own thread, inside a message sent to the
  // dialog (seen by a hook of that thread), and returns once it has run.
  // What the dialog decides there does not depend on which window of the
  // machine has the focus.
  void OnDialogThread(const std::function<void()>& work) const;

  // Polls `done` until it holds or the deadline passes; true when it held.
  static bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = kUiWaitMs);
  // A visible dialog-class window owned by the dialog (a message box or the
  // About box), or null when none appears before the deadline.
  HWND WaitForOwnedWindow(DWORD timeoutMs = kUiWaitMs) const;
  // The owned window shown now, or null.
  HWND OwnedWindow() const;
  // The text of a message box (its static text 0xFFFF).
  static std::wstring MessageText(HWND box);
  static std::wstring WindowTextOf(HWND window);
  // Presses OK of a message box or the About box (posted BM_CLICK on IDOK, or
  // WM_COMMAND IDOK when there is no such button) and waits until it is gone.
  static bool Dismiss(HWND box);

 private:
  HWND dialog_;
};

// While it lives: the last control that the dialog moved the focus to by
// handle (WM_NEXTDLGCTL with lparam TRUE, as the dialog manager and the
// program do), recorded on the dialog's own thread. This is what the dialog
// decided, whether or not the window manager lets its window keep the focus.
class FocusMoves {
 public:
  explicit FocusMoves(const DialogDriver& d);
  ~FocusMoves();
  FocusMoves(const FocusMoves&) = delete;
  FocusMoves& operator=(const FocusMoves&) = delete;
  // The last control focused by handle since the start or Clear(), or null.
  HWND Last() const;
  void Clear();

 private:
  HHOOK hook_;
};

// Runs `dialog` modally on the calling thread while `script` runs on a worker
// thread with a driver for the dialog's window, found once it is visible (that
// is, after its initialisation), and, unless `waitForPages` is false, once its
// monitoring pages are filled. Returns DoModal's result. When the dialog never
// appears, the script does not run and a test failure is recorded.
INT_PTR RunDialog(CDialog& dialog, const std::function<void(DialogDriver&)>& script,
                  bool waitForPages = true);

// A test with scratch roots and a scratch folder (DLLLocation without
// language libraries), the brand cache reset before and after.
class UiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const RegistryRoots& Roots() const { return reg_.Roots(); }
  HKEY Machine() const { return reg_.Machine(); }
  HKEY User() const { return reg_.User(); }
  // SeedDialogMachine with this test's folder.
  void SeedMachine(DWORD factorySerial = 0,
                   const std::vector<OrderEntry>& connections = DefaultConnectionEntries(),
                   const wchar_t* brand = L"tln");

  ScratchRegistry reg_;
  ScratchDir dir_;
};

// Dialog units to pixels of a running dialog.
RECT DialogUnitsToPixels(HWND dialog, int x, int y, int width, int height);

}  // namespace varrow::test
