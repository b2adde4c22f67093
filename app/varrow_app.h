// The application object and the start-up mode choice.
#pragma once

#include <windows.h>

#include <string>

namespace varrow {

enum class StartMode { Interactive, Uninstall, Disable };

// The first parameter of a Windows command line (program name excluded, split
// and unquoted as Windows does) that does not begin with "-" or "/"; empty when
// there is none.
std::wstring FirstPlainParameter(const wchar_t* commandLine);
// "uninstall" or "disable" compared whole and without regard to case.
StartMode SelectMode(const std::wstring& firstPlainParameter);
// Template 154 for primary languages 1 (Arabic) and 13 (Hebrew), else 102.
UINT ChooseDialogTemplate(LCID locale);

}  // namespace varrow

class CWnd;

// The one application object. InitInstance runs the chosen mode and always
// returns FALSE, so the process ends when the mode or the dialog ends.
class CVarrow {
 public:
  CVarrow() = default;
  BOOL InitInstance();
  CWnd* m_pMainWnd = nullptr;
};

extern CVarrow theApp;
