#include "app/varrow_dlg.h"

namespace {
INT_PTR CALLBACK BareProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    EndDialog(hwnd, LOWORD(wparam));
    return TRUE;
  }
  return FALSE;
}
}  // namespace

CVarrowDlg::CVarrowDlg(UINT templateId, const varrow::RegistryRoots& roots)
    : templateId_(templateId), roots_(roots) {}

INT_PTR CVarrowDlg::DoModal() {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), nullptr,
                         BareProc, 0);
}
