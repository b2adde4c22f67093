#include "app/tab_page_background.h"

#include <cwchar>

namespace varrow {
namespace {

// `child`'s window rectangle in `dialog`'s client coordinates.
RECT RectIn(HWND dialog, HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

bool Inside(const RECT& inner, const RECT& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

bool IsLabelOrButton(HWND window) {
  wchar_t name[16] = {};
  if (GetClassNameW(window, name, 16) == 0) return false;
  return _wcsicmp(name, L"Static") == 0 || _wcsicmp(name, L"Button") == 0;
}

}  // namespace

void TabPageBackground::Init(HWND dialog, std::initializer_list<int> tabIds) {
  Reset();
  pages_.clear();
  controls_.clear();
  for (int id : tabIds) {
    HWND tab = GetDlgItem(dialog, id);
    if (tab != nullptr) pages_.push_back(Page{tab, nullptr, nullptr});
  }
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (!IsLabelOrButton(child)) continue;
    const RECT rect = RectIn(dialog, child);
    for (std::size_t i = 0; i < pages_.size(); ++i) {
      if (Inside(rect, RectIn(dialog, pages_[i].tab))) {
        controls_.push_back(OnPage{child, i});
        break;
      }
    }
  }
}

bool TabPageBackground::Paint(Page& page) {
  RECT client{};
  if (!GetClientRect(page.tab, &client) || client.right <= 0 || client.bottom <= 0) return false;
  HDC screen = GetDC(page.tab);
  if (screen == nullptr) return false;
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP picture = CreateCompatibleBitmap(screen, client.right, client.bottom);
  ReleaseDC(page.tab, screen);
  if (memory == nullptr || picture == nullptr) {
    if (memory != nullptr) DeleteDC(memory);
    if (picture != nullptr) DeleteObject(picture);
    return false;
  }
  HGDIOBJ old = SelectObject(memory, picture);
  // The dialog's face first, for whatever part the tab leaves to its parent.
  FillRect(memory, &client, GetSysColorBrush(COLOR_3DFACE));
  SendMessageW(page.tab, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
               PRF_CLIENT | PRF_ERASEBKGND);
  SelectObject(memory, old);
  DeleteDC(memory);
  HBRUSH brush = CreatePatternBrush(picture);
  if (brush == nullptr) {
    DeleteObject(picture);
    return false;
  }
  page.picture = picture;
  page.brush = brush;
  return true;
}

HBRUSH TabPageBackground::BrushFor(HWND control, HDC dc) {
  for (const OnPage& entry : controls_) {
    if (entry.control != control) continue;
    Page& page = pages_[entry.page];
    if (page.brush == nullptr && !Paint(page)) return nullptr;
    // The pattern's origin at the tab's client origin, seen from the control.
    POINT origin{0, 0};
    MapWindowPoints(page.tab, control, &origin, 1);
    SetBrushOrgEx(dc, origin.x, origin.y, nullptr);
    SetBkMode(dc, TRANSPARENT);
    return page.brush;
  }
  return nullptr;
}

void TabPageBackground::Reset() {
  for (Page& page : pages_) {
    if (page.brush != nullptr) DeleteObject(page.brush);
    if (page.picture != nullptr) DeleteObject(page.picture);
    page.brush = nullptr;
    page.picture = nullptr;
  }
}

}  // namespace varrow
