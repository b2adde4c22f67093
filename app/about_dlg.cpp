#include "app/about_dlg.h"

#include "resources/resource.h"

UINT AboutTemplateFor(DWORD ownerExStyle) {
  return (ownerExStyle & WS_EX_LAYOUTRTL) ? IDD_ABOUTBOX_RTL : IDD_ABOUTBOX;
}

std::wstring StripAmpersands(const std::wstring& text) {
  std::wstring result;
  result.reserve(text.size());
  for (wchar_t c : text) {
    if (c != L'&') result += c;
  }
  return result;
}

POINT IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
  return POINT{(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

CAboutDlg::CAboutDlg(UINT templateId, HINSTANCE module, HWND owner, const std::wstring& titleSource,
                     const std::wstring& versionLine, const std::wstring& okText,
                     const std::wstring& productLine, HFONT font)
    : CDialog(templateId, owner, module),
      title_(titleSource),
      version_(versionLine),
      ok_(okText),
      product_(productLine),
      font_(font) {}

BOOL CAboutDlg::OnInitDialog() {
  const BOOL result = CDialog::OnInitDialog();
  for (int id : {IDC_ABOUT_VERSION, IDOK, IDC_ABOUT_PRODUCT})
    SendDlgItemMessage(id, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  SetDlgItemText(IDC_ABOUT_VERSION, version_);
  SetDlgItemText(IDOK, ok_);
  SetDlgItemText(IDC_ABOUT_PRODUCT, product_);
  SetWindowText(StripAmpersands(title_));
  return result;
}
