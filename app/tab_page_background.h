// The labels, check boxes, radio buttons and group boxes that lie on a tab
// control are the tab control's siblings, not its children, so the dialog
// manager would paint them on the dialog's face colour: grey boxes on the tab's
// page. This paints them on the page itself, whatever draws it (a themed tab
// body, the classic face colour, or Wine's window-coloured page).
#pragma once

#include <windows.h>

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace varrow {

class TabPageBackground {
 public:
  TabPageBackground() = default;
  ~TabPageBackground() { Reset(); }
  TabPageBackground(const TabPageBackground&) = delete;
  TabPageBackground& operator=(const TabPageBackground&) = delete;

  // Finds the Static and Button children of `dialog` that lie wholly inside one
  // of the tab controls `tabIds` (missing ids are skipped).
  void Init(HWND dialog, std::initializer_list<int> tabIds);
  // The answer to WM_CTLCOLORSTATIC / WM_CTLCOLORBTN of `control` painting into
  // `dc`: a brush of the tab's own picture, aligned to the control, with a
  // transparent text background. Null when the control lies on no tab or the
  // picture cannot be made: the caller then lets the dialog manager answer.
  HBRUSH BrushFor(HWND control, HDC dc);
  // Forgets the pictures (the theme or the system colours changed); the next
  // BrushFor paints them again.
  void Reset();

 private:
  struct Page {
    HWND tab = nullptr;
    HBITMAP picture = nullptr;  // owned; the brush's pattern
    HBRUSH brush = nullptr;     // owned
  };
  struct OnPage {
    HWND control;
    std::size_t page;
  };
  static bool Paint(Page& page);

  std::vector<Page> pages_;
  std::vector<OnPage> controls_;
};

}  // namespace varrow
