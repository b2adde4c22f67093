// The About box of the window menu, and the small rules of an icon-bearing
// dialog (centred icon while minimised).
#pragma once

#include <windows.h>

#include <string>

#include "app/framework.h"

// Template of the About box: 156 when the owner's extended style has
// WS_EX_LAYOUTRTL, else 100.
UINT AboutTemplateFor(DWORD ownerExStyle);
// The title with every "&" removed ("&About Pellor..." -> "About Pellor...").
std::wstring StripAmpersands(const std::wstring& text);
// True for the About command of the window menu (id & 0xFFF0 == 0x10).
inline bool IsAboutCommand(WPARAM command) { return (command & 0xFFF0) == 0x0010; }
// Where a minimised dialog draws its icon: (client - icon + 1) / 2, truncated.
POINT IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

class CAboutDlg : public CDialog {
 public:
  // Copies of the texts shown; `font` is borrowed (null: the system font).
  // `owner` is the window that stays disabled while the box is shown.
  CAboutDlg(UINT templateId, HINSTANCE module, HWND owner, const std::wstring& titleSource,
            const std::wstring& versionLine, const std::wstring& okText,
            const std::wstring& productLine, HFONT font);
  BOOL OnInitDialog() override;

 private:
  std::wstring title_;
  std::wstring version_;
  std::wstring ok_;
  std::wstring product_;
  HFONT font_;
};
