#include "app/framework.h"

#include <algorithm>
#include <atomic>

// ---------------------------------------------------------------- CWnd

LRESULT CWnd::SendMessage(UINT message, WPARAM wparam, LPARAM lparam) const {
  return m_hWnd ? ::SendMessageW(m_hWnd, message, wparam, lparam) : 0;
}

BOOL CWnd::PostMessage(UINT message, WPARAM wparam, LPARAM lparam) const {
  return m_hWnd ? ::PostMessageW(m_hWnd, message, wparam, lparam) : FALSE;
}

LRESULT CWnd::SendDlgItemMessage(int id, UINT message, WPARAM wparam, LPARAM lparam) const {
  HWND item = GetDlgItem(id);
  return item ? ::SendMessageW(item, message, wparam, lparam) : 0;
}

void CWnd::SetWindowText(const std::wstring& text) const {
  if (m_hWnd) ::SetWindowTextW(m_hWnd, text.c_str());
}

namespace {
std::wstring TextOf(HWND hwnd) {
  if (hwnd == nullptr) return {};
  const int length = ::GetWindowTextLengthW(hwnd);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = ::GetWindowTextW(hwnd, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return text;
}
}  // namespace

std::wstring CWnd::GetWindowText() const { return TextOf(m_hWnd); }

bool CWnd::SetDlgItemText(int id, const std::wstring& text) const {
  HWND item = GetDlgItem(id);
  if (item == nullptr) return false;
  ::SetWindowTextW(item, text.c_str());
  return true;
}

std::wstring CWnd::GetDlgItemText(int id) const { return TextOf(GetDlgItem(id)); }

RECT CWnd::GetWindowRect() const {
  RECT rect{0, 0, 0, 0};
  if (m_hWnd) ::GetWindowRect(m_hWnd, &rect);
  return rect;
}

RECT CWnd::GetClientRect() const {
  RECT rect{0, 0, 0, 0};
  if (m_hWnd) ::GetClientRect(m_hWnd, &rect);
  return rect;
}

void CWnd::CenterWindow(HWND reference) const {
  if (m_hWnd == nullptr) return;
  RECT area{0, 0, 0, 0};
  // Centred on the desktop means centred in the usable part of the monitor
  // (taskbar excluded), and kept inside it when the window is taller or wider.
  RECT bounds{0, 0, 0, 0};
  if (reference == nullptr || reference == ::GetDesktopWindow()) {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (!::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &info)) return;
    area = info.rcWork;
    bounds = info.rcWork;
  } else {
    if (!::GetWindowRect(reference, &area)) return;
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (::GetMonitorInfoW(::MonitorFromWindow(reference, MONITOR_DEFAULTTONEAREST), &info))
      bounds = info.rcWork;
  }
  const RECT own = GetWindowRect();
  const int width = own.right - own.left;
  const int height = own.bottom - own.top;
  int x = area.left + ((area.right - area.left) - width) / 2;
  int y = area.top + ((area.bottom - area.top) - height) / 2;
  if (bounds.right > bounds.left) {
    if (x + width > bounds.right) x = bounds.right - width;
    if (y + height > bounds.bottom) y = bounds.bottom - height;
    if (x < bounds.left) x = bounds.left;
    if (y < bounds.top) y = bounds.top;
  }
  ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWnd::Attach(HWND hwnd) {
  m_hWnd = hwnd;
  if (hwnd) OnAttach();
}

HWND CWnd::Detach() {
  HWND hwnd = m_hWnd;
  m_hWnd = nullptr;
  return hwnd;
}

// ---------------------------------------------------------------- cursors

namespace {
// A system cursor is shared and lives as long as the process: it is loaded
// once (each load is a round trip to the Wine server), and again only while
// loading fails.
HCURSOR SystemCursor(std::atomic<HCURSOR>& kept, LPCWSTR id) {
  HCURSOR cursor = kept.load();
  if (cursor == nullptr) {
    cursor = ::LoadCursorW(nullptr, id);
    kept.store(cursor);
  }
  return cursor;
}
std::atomic<HCURSOR> g_waitCursor{nullptr};
std::atomic<HCURSOR> g_arrowCursor{nullptr};
}  // namespace

void ShowWaitCursor() { ::SetCursor(SystemCursor(g_waitCursor, IDC_WAIT)); }
void ShowArrowCursor() { ::SetCursor(SystemCursor(g_arrowCursor, IDC_ARROW)); }
CWaitCursor::CWaitCursor() { ShowWaitCursor(); }
CWaitCursor::~CWaitCursor() { ShowArrowCursor(); }

// ---------------------------------------------------------------- message map

bool MessageMatches(UINT message, WPARAM wparam, LPARAM lparam, UINT entryMessage,
                    UINT entryCode, UINT entryId) {
  if (message != entryMessage) return false;
  UINT code = kAnyCode;
  UINT id = kAnyId;
  if (message == WM_COMMAND) {
    code = HIWORD(wparam);
    id = LOWORD(wparam);
  } else if (message == WM_NOTIFY) {
    const auto* header = reinterpret_cast<const NMHDR*>(lparam);
    if (header == nullptr) return false;
    code = header->code;
    id = static_cast<UINT>(header->idFrom);
  } else {
    return true;
  }
  return (entryCode == kAnyCode || entryCode == code) && (entryId == kAnyId || entryId == id);
}

// ---------------------------------------------------------------- CDialog

CDialog::CDialog(UINT templateId, HWND parent, HINSTANCE module)
    : templateId_(templateId),
      parent_(parent),
      module_(module ? module : ::GetModuleHandleW(nullptr)) {}

INT_PTR CDialog::DoModal() {
  return ::DialogBoxParamW(module_, MAKEINTRESOURCEW(templateId_), parent_, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(INT_PTR result) {
  if (m_hWnd) ::EndDialog(m_hWnd, result);
}

BOOL CDialog::UpdateData(BOOL save) {
  CDataExchange exchange{this, save != FALSE};
  DoDataExchange(&exchange);
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() { EndDialog(IDOK); }
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

bool DDX_Control(CDataExchange* exchange, int id, CWnd& control) {
  if (exchange == nullptr || exchange->dialog == nullptr) return false;
  if (control.m_hWnd != nullptr) return true;
  HWND item = exchange->dialog->GetDlgItem(id);
  if (item == nullptr) return false;
  control.Attach(item);
  exchange->dialog->bound_.push_back(&control);
  return true;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  CDialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialog*>(lparam);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    if (self) self->m_hWnd = hwnd;
  } else {
    self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (self == nullptr) {
    // Messages before WM_INITDIALOG: the owner-drawn list asks its row height.
    if (message == WM_MEASUREITEM) {
      auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lparam);
      if (measure && measure->CtlType == ODT_LISTBOX) {
        HDC dc = ::GetDC(hwnd);
        HFONT font = reinterpret_cast<HFONT>(::SendMessageW(hwnd, WM_GETFONT, 0, 0));
        HGDIOBJ old = font ? ::SelectObject(dc, font) : nullptr;
        TEXTMETRICW metrics{};
        ::GetTextMetricsW(dc, &metrics);
        if (old) ::SelectObject(dc, old);
        ::ReleaseDC(hwnd, dc);
        measure->itemHeight = static_cast<UINT>(std::max<LONG>(metrics.tmHeight + 2, 14));
        return TRUE;
      }
    }
    return FALSE;
  }
  try {
    INT_PTR handled = self->HandleMessage(message, wparam, lparam);
    if (message == WM_NCDESTROY) {
      ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
      self->m_hWnd = nullptr;
      for (CWnd* control : self->bound_) control->Detach();
      self->bound_.clear();
    }
    return handled;
  } catch (...) {
    // Nothing may unwind through the dialog manager.
    return FALSE;
  }
}

bool CDialog::HandleOwnerDraw(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_DRAWITEM) return false;
  const auto* draw = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
  if (draw == nullptr) return false;
  for (CWnd* control : bound_) {
    if (control->m_hWnd == draw->hwndItem) {
      if (auto* list = dynamic_cast<CCheckListBox*>(control)) {
        list->DrawItem(draw);
        return true;
      }
    }
  }
  return false;
}

INT_PTR CDialog::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) return OnInitDialog();
  if (HandleOwnerDraw(message, wparam, lparam)) return TRUE;

  LRESULT result = 0;
  wantDefault_ = false;
  if (OnMessage(message, wparam, lparam, &result)) {
    if (wantDefault_) {
      wantDefault_ = false;
      return FALSE;
    }
    switch (message) {
      // These return their result directly from a dialog procedure.
      case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX:
      case WM_CTLCOLORBTN: case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR:
      case WM_CTLCOLORSTATIC: case WM_COMPAREITEM: case WM_VKEYTOITEM:
      case WM_CHARTOITEM: case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(result);
      default:
        ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
  }
  if (message == WM_COMMAND && HIWORD(wparam) == BN_CLICKED) {
    if (LOWORD(wparam) == IDOK) { OnOK(); return TRUE; }
    if (LOWORD(wparam) == IDCANCEL) { OnCancel(); return TRUE; }
  }
  return FALSE;
}

// ---------------------------------------------------------------- other controls

int CComboBox::AddString(const std::wstring& text) const {
  return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

int CTabCtrl::InsertItem(int tab, const std::wstring& text) const {
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  return static_cast<int>(
      SendMessage(TCM_INSERTITEMW, static_cast<WPARAM>(tab), reinterpret_cast<LPARAM>(&item)));
}
