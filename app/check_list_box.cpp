// The owner-drawn check list box of the window layer (app/framework.h): its
// rows' check states kept in step with the list box by a subclass, its keyboard
// and mouse toggling, and the drawing of its rows.
#include "app/framework.h"

#include <algorithm>
#include <cstddef>

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
