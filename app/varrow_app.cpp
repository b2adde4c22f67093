#include "app/varrow_app.h"

#include <commctrl.h>
#include <shellapi.h>

#include "app/varrow_dlg.h"
#include "locale/localization.h"
#include "monitoring/library_swap.h"
#include "monitoring/maintenance.h"
#include "resources/resource.h"

namespace varrow {

std::wstring FirstPlainParameter(const wchar_t* commandLine) {
  if (commandLine == nullptr) return {};
  int count = 0;
  // CommandLineToArgvW treats its first word as the program name, exactly as
  // the process's own command line has it.
  LPWSTR* args = CommandLineToArgvW(commandLine, &count);
  if (args == nullptr) return {};
  std::wstring found;
  for (int i = 1; i < count; ++i) {
    const wchar_t* arg = args[i];
    // An empty parameter ("") fills nothing: the next plain one still counts.
    if (arg[0] == L'\0' || arg[0] == L'-' || arg[0] == L'/') continue;
    found = arg;
    break;
  }
  LocalFree(args);
  return found;
}

StartMode SelectMode(const std::wstring& parameter) {
  if (CompareStringOrdinal(parameter.c_str(), -1, L"uninstall", -1, TRUE) == CSTR_EQUAL)
    return StartMode::Uninstall;
  if (CompareStringOrdinal(parameter.c_str(), -1, L"disable", -1, TRUE) == CSTR_EQUAL)
    return StartMode::Disable;
  return StartMode::Interactive;
}

UINT ChooseDialogTemplate(LCID locale) {
  DWORD primary = locale & 0x3FF;
  return (primary == LANG_ARABIC || primary == LANG_HEBREW) ? IDD_VARROW_DIALOG_RTL
                                                          : IDD_VARROW_DIALOG;
}

}  // namespace varrow

namespace {

// One message box with the information icon for all the start's repairs.
void ReportRepairs(const std::vector<varrow::LibraryRepair>& repairs) {
  std::wstring text;
  for (const varrow::LibraryRepair& repair : repairs) {
    const std::wstring line = varrow::RepairText(repair);
    if (line.empty()) continue;
    text += (text.empty() ? L"" : L"\n\n") + line;
  }
  if (text.empty()) return;
  const std::wstring caption =
      varrow::LoadModuleString(GetModuleHandleW(nullptr), IDS_PRODUCT_LINE);
  MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}

}  // namespace

CVarrow theApp;

BOOL CVarrow::InitInstance() {
  InitCommonControls();
  const std::wstring parameter = varrow::FirstPlainParameter(GetCommandLineW());
  switch (varrow::SelectMode(parameter)) {
    case varrow::StartMode::Uninstall:
      varrow::UninstallUserSettings();
      return FALSE;
    case varrow::StartMode::Disable:
      varrow::DisableAllMonitoring();
      return FALSE;
    case varrow::StartMode::Interactive:
      break;
  }
  // Monitoring left half done (the monitor copy quarantined, a failed put-back)
  // is repaired before anything shows it, and said so; monitor copies that were
  // still loaded at a switch-off are deleted.
  ReportRepairs(varrow::StartUpMaintenance());
  const UINT templateId = varrow::ChooseDialogTemplate(GetUserDefaultLCID());
  // Right-to-left default layout only where the right-to-left template is used.
  if (templateId == IDD_VARROW_DIALOG_RTL) SetProcessDefaultLayout(LAYOUT_RTL);
  CVarrowDlg dialog(templateId);
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}
