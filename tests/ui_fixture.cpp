#include "tests/ui_fixture.h"

#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "app/monitoring_loader.h"
#include "locale/brand.h"

namespace varrow::test {

std::vector<OrderEntry> DefaultConnectionEntries() {
  return {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}};
}

void SeedOrderSection(HKEY root, const std::wstring& sectionPath, const std::wstring& prefix,
                      const std::vector<OrderEntry>& entries, DWORD version) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    wchar_t name[32];
    std::swprintf(name, 32, L"%ls%02u", prefix.c_str(), static_cast<unsigned>(i));
    const std::wstring entry = sectionPath + L"\\" + name;
    SetDword(root, entry, L"Number", entries[i].first);
    SetDword(root, entry, L"Enabled", entries[i].second);
  }
  SetDword(root, sectionPath, L"Version", version);
}

void SeedDialogMachine(HKEY machine, const std::wstring& dllLocation, DWORD factorySerial,
                       const std::vector<OrderEntry>& connections, const wchar_t* brand) {
  if (brand != nullptr) SetString(machine, ProductPath(), L"Brand", brand);
  SetString(machine, ProductPath(), L"DLLLocation", dllLocation);
  SetDword(machine, FactoryPath({L"DefaultDevice"}), L"SerialNumber", factorySerial);
  SetDword(machine, FactoryPath({L"DefaultDevice"}), L"Version", 1);
  SeedOrderSection(machine, FactoryPath({L"AutoConnectionOrder"}), L"Connection", connections, 1);
  SeedOrderSection(machine, FactoryPath({L"InterfaceTypeOrder"}), L"InterfaceType", {{1, 1}}, 1);
}

// ---------------------------------------------------------------- DialogDriver

namespace {

// The message that carries work to the dialog's thread: wparam kRunTag,
// lparam the work. The dialog procedure ignores it; a hook runs it.
UINT RunMessage() {
  static const UINT message = RegisterWindowMessageW(L"VarrowTests.OnDialogThread");
  return message;
}
constexpr WPARAM kRunTag = 0x56415252;  // "VARR"

// The dialog whose focus moves are recorded, and the last one.
std::atomic<HWND> g_recordedDialog{nullptr};
std::atomic<HWND> g_lastFocusMove{nullptr};

LRESULT CALLBACK DialogThreadHook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lparam);
    if (call->message == RunMessage() && call->wParam == kRunTag && call->lParam != 0) {
      (*reinterpret_cast<const std::function<void()>*>(call->lParam))();
    } else if (call->message == WM_NEXTDLGCTL && LOWORD(call->lParam) != 0 &&
               call->hwnd == g_recordedDialog.load()) {
      g_lastFocusMove = reinterpret_cast<HWND>(call->wParam);
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

// A hook of the dialog's thread for every message sent to its windows.
HHOOK HookDialogThread(HWND dialog) {
  return SetWindowsHookExW(WH_CALLWNDPROC, DialogThreadHook, nullptr,
                           GetWindowThreadProcessId(dialog, nullptr));
}

}  // namespace

void DialogDriver::OnDialogThread(const std::function<void()>& work) const {
  HHOOK hook = HookDialogThread(dialog_);
  ASSERT_NE(hook, nullptr) << "no hook on the dialog's thread";
  SendMessageW(dialog_, RunMessage(), kRunTag, reinterpret_cast<LPARAM>(&work));
  UnhookWindowsHookEx(hook);
}

FocusMoves::FocusMoves(const DialogDriver& d) : hook_(HookDialogThread(d.Dialog())) {
  EXPECT_NE(hook_, nullptr) << "no hook on the dialog's thread";
  g_lastFocusMove = nullptr;
  g_recordedDialog = d.Dialog();
}
FocusMoves::~FocusMoves() {
  g_recordedDialog = nullptr;
  if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
}
HWND FocusMoves::Last() const { return g_lastFocusMove.load(); }
void FocusMoves::Clear() { g_lastFocusMove = nullptr; }

std::wstring DialogDriver::WindowTextOf(HWND window) {
  if (window == nullptr) return {};
  wchar_t buffer[1024] = {};
  // WM_GETTEXT reaches windows of other threads of this process too.
  SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer));
  buffer[1023] = L'\0';
  return buffer;
}

std::wstring DialogDriver::Title() const { return WindowTextOf(dialog_); }
std::wstring DialogDriver::Text(int id) const { return WindowTextOf(Item(id)); }
bool DialogDriver::Visible(int id) const {
  HWND item = Item(id);
  return item != nullptr && (GetWindowLongW(item, GWL_STYLE) & WS_VISIBLE) != 0;
}
bool DialogDriver::Enabled(int id) const {
  HWND item = Item(id);
  return item != nullptr && IsWindowEnabled(item);
}
DWORD DialogDriver::Style(int id) const {
  return static_cast<DWORD>(GetWindowLongW(Item(id), GWL_STYLE));
}
RECT DialogDriver::WindowRect() const {
  RECT rect{};
  GetWindowRect(dialog_, &rect);
  return rect;
}
RECT DialogDriver::ClientRect() const {
  RECT rect{};
  GetClientRect(dialog_, &rect);
  return rect;
}
RECT DialogDriver::ItemClientRect(int id) const {
  RECT rect{};
  GetWindowRect(Item(id), &rect);
  MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void DialogDriver::Click(int id) const { PostMessageW(Item(id), BM_CLICK, 0, 0); }
void DialogDriver::ClickAndWait(int id) const { SendMessageW(Item(id), BM_CLICK, 0, 0); }

void DialogDriver::Focus(int id) const {
  SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
}

void DialogDriver::TypeText(int id, const std::wstring& text, int next) const {
  Focus(id);
  SendMessageW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  Focus(next);
}

LRESULT DialogDriver::Send(UINT message, WPARAM wparam, LPARAM lparam) const {
  return SendMessageW(dialog_, message, wparam, lparam);
}

LRESULT DialogDriver::DeltaPos(int id, int delta) const {
  NMUPDOWN notify{};
  notify.hdr.hwndFrom = Item(id);
  notify.hdr.idFrom = static_cast<UINT_PTR>(id);
  notify.hdr.code = UDN_DELTAPOS;
  notify.iPos = 0;
  notify.iDelta = delta;
  return SendMessageW(dialog_, WM_NOTIFY, static_cast<WPARAM>(id),
                      reinterpret_cast<LPARAM>(&notify));
}

void DialogDriver::SystemCommand(WPARAM command) const {
  PostMessageW(dialog_, WM_SYSCOMMAND, command, 0);
}

int DialogDriver::ListCount(int id) const {
  return static_cast<int>(SendMessageW(Item(id), LB_GETCOUNT, 0, 0));
}
std::wstring DialogDriver::ListText(int id, int row) const {
  const LRESULT length = SendMessageW(Item(id), LB_GETTEXTLEN, static_cast<WPARAM>(row), 0);
  if (length == LB_ERR || length < 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(Item(id), LB_GETTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}
int DialogDriver::ListCheck(int id, int row) const {
  return static_cast<int>(SendMessageW(Item(id), kCheckListGetCheck, static_cast<WPARAM>(row), 0));
}
int DialogDriver::ListSelection(int id) const {
  return static_cast<int>(SendMessageW(Item(id), LB_GETCURSEL, 0, 0));
}
void DialogDriver::ListSelect(int id, int row) const {
  SendMessageW(Item(id), LB_SETCURSEL, static_cast<WPARAM>(row), 0);
}
std::vector<std::wstring> DialogDriver::ListTexts(int id) const {
  std::vector<std::wstring> texts;
  for (int row = 0; row < ListCount(id); ++row) texts.push_back(ListText(id, row));
  return texts;
}
std::vector<int> DialogDriver::ListChecks(int id) const {
  std::vector<int> checks;
  for (int row = 0; row < ListCount(id); ++row) checks.push_back(ListCheck(id, row));
  return checks;
}

bool DialogDriver::WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

namespace {
struct OwnedSearch {
  HWND owner;
  HWND found;
};
BOOL CALLBACK FindOwned(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<OwnedSearch*>(parameter);
  if (GetWindow(window, GW_OWNER) != search->owner || !IsWindowVisible(window)) return TRUE;
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (std::wstring(className) != L"#32770") return TRUE;
  search->found = window;
  return FALSE;
}
}  // namespace

HWND DialogDriver::OwnedWindow() const {
  OwnedSearch search{dialog_, nullptr};
  EnumWindows(FindOwned, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND DialogDriver::WaitForOwnedWindow(DWORD timeoutMs) const {
  HWND found = nullptr;
  WaitFor([&] { return (found = OwnedWindow()) != nullptr; }, timeoutMs);
  return found;
}

std::wstring DialogDriver::MessageText(HWND box) { return WindowTextOf(GetDlgItem(box, 0xFFFF)); }

bool DialogDriver::Dismiss(HWND box) {
  if (box == nullptr) return false;
  if (HWND ok = GetDlgItem(box, IDOK)) {
    PostMessageW(ok, BM_CLICK, 0, 0);
  } else {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
  return WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); });
}

// ---------------------------------------------------------------- RunDialog

namespace {
struct ThreadSearch {
  HWND found;
};
BOOL CALLBACK FindVisibleDialog(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<ThreadSearch*>(parameter);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (std::wstring(className) == L"#32770" && IsWindowVisible(window) &&
      GetWindow(window, GW_OWNER) == nullptr) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}
}  // namespace

INT_PTR RunDialog(CDialog& dialog, const std::function<void(DialogDriver&)>& script,
                  bool waitForPages) {
  const DWORD uiThread = GetCurrentThreadId();
  std::atomic<bool> modalEnded{false};
  bool appeared = false;
  std::thread worker([&] {
    HWND window = nullptr;
    DialogDriver::WaitFor([&] {
      if (modalEnded) return true;
      ThreadSearch search{nullptr};
      EnumThreadWindows(uiThread, FindVisibleDialog, reinterpret_cast<LPARAM>(&search));
      window = search.found;
      return window != nullptr;
    });
    if (window == nullptr) return;
    appeared = true;
    DialogDriver driver(window);
    // Let the dialog finish what it posted to itself during start-up.
    driver.Send(WM_NULL);
    // The monitoring pages are filled when their discovery ends; scripts that
    // read them at once wait for that first.
    if (waitForPages) driver.Send(kMonitoringLoadedMessage);
    script(driver);
    // Close whatever is still open: owned boxes first, then the dialog.
    DialogDriver::WaitFor([&] {
      if (!IsWindow(window)) return true;
      if (HWND box = driver.OwnedWindow()) {
        DialogDriver::Dismiss(box);
        return false;
      }
      PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      Sleep(50);
      return !IsWindow(window);
    });
  });
  const INT_PTR result = dialog.DoModal();
  modalEnded = true;
  worker.join();
  EXPECT_TRUE(appeared) << "the dialog never became visible";
  return result;
}

// ---------------------------------------------------------------- UiTest

void UiTest::SetUp() { ResetBrandCacheForTests(); }
void UiTest::TearDown() { ResetBrandCacheForTests(); }

void UiTest::SeedMachine(DWORD factorySerial, const std::vector<OrderEntry>& connections,
                         const wchar_t* brand) {
  SeedDialogMachine(Machine(), dir_.Path(), factorySerial, connections, brand);
}

RECT DialogUnitsToPixels(HWND dialog, int x, int y, int width, int height) {
  RECT rect{x, y, x + width, y + height};
  MapDialogRect(dialog, &rect);
  return rect;
}

}  // namespace varrow::test
