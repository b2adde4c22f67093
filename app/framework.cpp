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

// ---------------------------------------------------------------- CCheckListBox

CCheckListBox::~CCheckListBox() {
  if (subclassed_ && m_hWnd && ::IsWindow(m_hWnd))
    ::RemoveWindowSubclass(m_hWnd, SubclassProc, 1);
}

void CCheckListBox::OnAttach() {
  if (!subclassed_) {
    subclassed_ = ::SetWindowSubclass(m_hWnd, SubclassProc, 1,
                                      reinterpret_cast<DWORD_PTR>(this)) != FALSE;
    ownerThread_ = ::GetCurrentThreadId();
  }
  // Rows that exist already start unchecked, with the data they hold.
  const int rows = std::max(static_cast<int>(SendMessage(LB_GETCOUNT)), 0);
  checks_.assign(static_cast<std::size_t>(rows), 0);
  data_.assign(static_cast<std::size_t>(rows), 0);
  for (int row = 0; row < rows; ++row)
    data_[static_cast<std::size_t>(row)] =
        static_cast<DWORD_PTR>(SendMessage(LB_GETITEMDATA, static_cast<WPARAM>(row)));
}

bool CCheckListBox::OnOwnThread() const {
  return subclassed_ && ownerThread_ == ::GetCurrentThreadId();
}

// On the window's own thread the row count, the rows' data and their check
// states are read where the subclass keeps them in step with the list box,
// without a message: each message to a subclassed window costs round trips to
// the Wine server for the subclass's window property. Other threads ask the
// window.
int CCheckListBox::GetCount() const {
  if (OnOwnThread()) return static_cast<int>(checks_.size());
  return static_cast<int>(SendMessage(LB_GETCOUNT));
}
int CCheckListBox::GetCurSel() const { return static_cast<int>(SendMessage(LB_GETCURSEL)); }
int CCheckListBox::SetCurSel(int row) const {
  return static_cast<int>(SendMessage(LB_SETCURSEL, static_cast<WPARAM>(row)));
}

std::wstring CCheckListBox::GetText(int row) const {
  const LRESULT length = SendMessage(LB_GETTEXTLEN, static_cast<WPARAM>(row));
  if (length == LB_ERR || length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT copied = SendMessage(LB_GETTEXT, static_cast<WPARAM>(row),
                                     reinterpret_cast<LPARAM>(text.data()));
  if (copied == LB_ERR) return {};
  text.resize(static_cast<std::size_t>(copied));
  return text;
}

int CCheckListBox::InsertString(int row, const std::wstring& text) const {
  return static_cast<int>(SendMessage(LB_INSERTSTRING, static_cast<WPARAM>(row),
                                      reinterpret_cast<LPARAM>(text.c_str())));
}
int CCheckListBox::DeleteString(int row) const {
  return static_cast<int>(SendMessage(LB_DELETESTRING, static_cast<WPARAM>(row)));
}
void CCheckListBox::ResetContent() const { SendMessage(LB_RESETCONTENT); }
DWORD_PTR CCheckListBox::GetItemData(int row) const {
  if (OnOwnThread()) {
    // LB_ERR for a row that does not exist, as the list box answers.
    if (row < 0 || static_cast<std::size_t>(row) >= data_.size())
      return static_cast<DWORD_PTR>(LB_ERR);
    return data_[static_cast<std::size_t>(row)];
  }
  return static_cast<DWORD_PTR>(SendMessage(LB_GETITEMDATA, static_cast<WPARAM>(row)));
}
int CCheckListBox::SetItemData(int row, DWORD_PTR data) const {
  return static_cast<int>(SendMessage(LB_SETITEMDATA, static_cast<WPARAM>(row),
                                      static_cast<LPARAM>(data)));
}
int CCheckListBox::GetCheck(int row) const {
  if (OnOwnThread()) {
    if (row < 0 || static_cast<std::size_t>(row) >= checks_.size()) return 0;
    return checks_[static_cast<std::size_t>(row)];
  }
  const LRESULT state = SendMessage(kCheckListGetCheck, static_cast<WPARAM>(row));
  return state == LB_ERR ? 0 : static_cast<int>(state);
}
void CCheckListBox::SetCheck(int row, int state) const {
  SendMessage(kCheckListSetCheck, static_cast<WPARAM>(row), state);
}

int CCheckListBox::BoxSize() const {
  const LRESULT height = SendMessage(LB_GETITEMHEIGHT, 0);
  return std::max(8, static_cast<int>(height == LB_ERR ? 14 : height) - 2);
}

void CCheckListBox::Toggle(int row) {
  if (row < 0 || static_cast<std::size_t>(row) >= checks_.size()) return;
  checks_[static_cast<std::size_t>(row)] = checks_[static_cast<std::size_t>(row)] ? 0 : 1;
  RECT rect{};
  if (::SendMessageW(m_hWnd, LB_GETITEMRECT, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(&rect)) != LB_ERR)
    ::InvalidateRect(m_hWnd, &rect, FALSE);
}

LRESULT CALLBACK CCheckListBox::SubclassProc(HWND hwnd, UINT message, WPARAM wparam,
                                             LPARAM lparam, UINT_PTR, DWORD_PTR refData) {
  auto* self = reinterpret_cast<CCheckListBox*>(refData);
  if (message == WM_NCDESTROY) {
    ::RemoveWindowSubclass(hwnd, SubclassProc, 1);
    if (self) self->subclassed_ = false;
    return ::DefSubclassProc(hwnd, message, wparam, lparam);
  }
  if (self == nullptr) return ::DefSubclassProc(hwnd, message, wparam, lparam);
  try {
    return self->OnListMessage(hwnd, message, wparam, lparam);
  } catch (...) {
    // Nothing may unwind into the list box. The only allocation comes before
    // the list box is asked to change (see OnListMessage), so a failure here
    // left the list and its check states in step.
    return (message == LB_ADDSTRING || message == LB_INSERTSTRING) ? LB_ERRSPACE : 0;
  }
}

LRESULT CCheckListBox::OnListMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kCheckListGetCheck: {
      if (wparam >= checks_.size()) return LB_ERR;
      return checks_[wparam];
    }
    case kCheckListSetCheck: {
      if (wparam >= checks_.size()) return LB_ERR;
      checks_[wparam] = lparam ? 1 : 0;
      RECT rect{};
      if (::DefSubclassProc(hwnd, LB_GETITEMRECT, wparam, reinterpret_cast<LPARAM>(&rect)) !=
          LB_ERR)
        ::InvalidateRect(hwnd, &rect, FALSE);
      return 0;
    }
    case LB_ADDSTRING:
    case LB_INSERTSTRING: {
      // Room for the new row's state first: the inserts below cannot throw.
      checks_.reserve(checks_.size() + 1);
      data_.reserve(data_.size() + 1);
      const LRESULT row = ::DefSubclassProc(hwnd, message, wparam, lparam);
      if (row >= 0) {
        const std::size_t at = std::min(static_cast<std::size_t>(row), checks_.size());
        checks_.insert(checks_.begin() + static_cast<std::ptrdiff_t>(at), 0);
        data_.insert(data_.begin() + static_cast<std::ptrdiff_t>(at), 0);
      }
      return row;
    }
    case LB_DELETESTRING: {
      const LRESULT left = ::DefSubclassProc(hwnd, message, wparam, lparam);
      if (left != LB_ERR && wparam < checks_.size()) {
        checks_.erase(checks_.begin() + static_cast<std::ptrdiff_t>(wparam));
        data_.erase(data_.begin() + static_cast<std::ptrdiff_t>(wparam));
      }
      return left;
    }
    case LB_RESETCONTENT:
      checks_.clear();
      data_.clear();
      return ::DefSubclassProc(hwnd, message, wparam, lparam);
    case LB_SETITEMDATA: {
      const LRESULT set = ::DefSubclassProc(hwnd, message, wparam, lparam);
      if (set == LB_ERR) return set;
      if (wparam < data_.size()) {
        data_[wparam] = static_cast<DWORD_PTR>(lparam);
      } else {
        // Not one row (an index the list box takes for several): read them all back.
        for (std::size_t row = 0; row < data_.size(); ++row)
          data_[row] = static_cast<DWORD_PTR>(::DefSubclassProc(hwnd, LB_GETITEMDATA, row, 0));
      }
      return set;
    }
    case WM_SETFONT: {
      // Rows of a fixed owner-drawn list keep their height: follow the new font.
      const LRESULT result = ::DefSubclassProc(hwnd, message, wparam, lparam);
      HDC dc = ::GetDC(hwnd);
      HGDIOBJ old = wparam ? ::SelectObject(dc, reinterpret_cast<HFONT>(wparam)) : nullptr;
      TEXTMETRICW metrics{};
      const BOOL measured = ::GetTextMetricsW(dc, &metrics);
      if (old) ::SelectObject(dc, old);
      ::ReleaseDC(hwnd, dc);
      if (measured && (::GetWindowLongW(hwnd, GWL_STYLE) & LBS_OWNERDRAWFIXED))
        ::DefSubclassProc(hwnd, LB_SETITEMHEIGHT, 0, std::max<LONG>(metrics.tmHeight + 2, 14));
      return result;
    }
    case WM_LBUTTONDOWN: {
      const LRESULT hit = ::DefSubclassProc(hwnd, LB_ITEMFROMPOINT, 0, lparam);
      const int row = LOWORD(hit);
      const bool outside = HIWORD(hit) != 0;
      const LRESULT result = ::DefSubclassProc(hwnd, message, wparam, lparam);
      RECT rect{};
      if (!outside &&
          ::DefSubclassProc(hwnd, LB_GETITEMRECT, static_cast<WPARAM>(row),
                            reinterpret_cast<LPARAM>(&rect)) != LB_ERR) {
        const int x = static_cast<short>(LOWORD(lparam));
        if (x >= rect.left && x < rect.left + BoxSize() + 2) Toggle(row);
      }
      return result;
    }
    case WM_KEYDOWN:
      if (wparam == VK_SPACE) {
        Toggle(static_cast<int>(::DefSubclassProc(hwnd, LB_GETCURSEL, 0, 0)));
        return 0;
      }
      break;
    case WM_CHAR:
      if (wparam == L' ') return 0;  // the space bar toggles; no type-ahead on it
      break;
    default:
      break;
  }
  return ::DefSubclassProc(hwnd, message, wparam, lparam);
}

void CCheckListBox::DrawItem(const DRAWITEMSTRUCT* draw) const {
  if (draw == nullptr || draw->itemID == static_cast<UINT>(-1)) {
    if (draw && (draw->itemAction & ODA_FOCUS)) ::DrawFocusRect(draw->hDC, &draw->rcItem);
    return;
  }
  const int row = static_cast<int>(draw->itemID);
  HDC dc = draw->hDC;
  RECT rect = draw->rcItem;
  const int box = std::min<int>(BoxSize(), rect.bottom - rect.top);

  // Check box.
  RECT boxRect{rect.left + 1, rect.top + ((rect.bottom - rect.top) - box) / 2, 0, 0};
  boxRect.right = boxRect.left + box;
  boxRect.bottom = boxRect.top + box;
  const bool checked = row >= 0 && static_cast<std::size_t>(row) < checks_.size() &&
                       checks_[static_cast<std::size_t>(row)] != 0;
  ::FillRect(dc, &rect, ::GetSysColorBrush(COLOR_WINDOW));
  ::DrawFrameControl(dc, &boxRect, DFC_BUTTON,
                     DFCS_BUTTONCHECK | DFCS_FLAT | (checked ? DFCS_CHECKED : 0));

  // Text, highlighted when selected.
  RECT textRect = rect;
  textRect.left = boxRect.right + 3;
  const bool selected = (draw->itemState & ODS_SELECTED) != 0;
  ::FillRect(dc, &textRect, ::GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  const COLORREF oldText =
      ::SetTextColor(dc, ::GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  const int oldMode = ::SetBkMode(dc, TRANSPARENT);
  const std::wstring text = GetText(row);
  RECT inner = textRect;
  inner.left += 1;
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &inner,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_LEFT);
  ::SetBkMode(dc, oldMode);
  ::SetTextColor(dc, oldText);
  if (draw->itemState & ODS_FOCUS) ::DrawFocusRect(dc, &textRect);
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
