// The Help button: opens the localised compiled help file at its table of
// contents through HTML Help, bound at run time from the control's registration.
#pragma once

#include <windows.h>

#include <string>

namespace varrow {

// HH_DISPLAY_TOC: show the table of contents.
inline constexpr UINT kHelpDisplayToc = 1;

// Help button handler: when a file exists at `helpFile` (an empty path never
// does), opens it with no owner window at its table of contents. Returns the
// help window, or null when nothing was opened. Shows no message.
HWND OnHelpButton(const std::wstring& helpFile);

// The run-time bound HtmlHelpW of the process (same arguments and result).
// The library is found and loaded on first use and never released; when loading
// it or finding its entry fails, the failure is latched and later calls return
// null without trying again.
HWND CallHtmlHelp(HWND owner, const wchar_t* file, UINT command, DWORD_PTR data);

// The library path from the HTML Help control's registration under `classesRoot`
// (CLSID\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\InprocServer32, default value),
// narrow text of at most 259 bytes, REG_EXPAND_SZ references expanded. False
// (out untouched) when missing, not a string, or too long before or after
// expansion.
bool FindHtmlHelpLibrary(char (&out)[260], HKEY classesRoot = HKEY_CLASSES_ROOT);

// One binding of the HTML Help entry; CallHtmlHelp uses the process-wide one.
// Tests build their own with a different registration root and fallback name.
class HtmlHelpBinding {
 public:
  explicit HtmlHelpBinding(HKEY classesRoot = HKEY_CLASSES_ROOT,
                           const char* fallbackName = "hhctrl.ocx");
  HtmlHelpBinding(const HtmlHelpBinding&) = delete;
  HtmlHelpBinding& operator=(const HtmlHelpBinding&) = delete;

  HWND Call(HWND owner, const wchar_t* file, UINT command, DWORD_PTR data);

  HMODULE Library() const { return library_; }
  bool Failed() const { return failed_; }
  int LoadAttempts() const { return loadAttempts_; }

 private:
  using Entry = HWND(WINAPI*)(HWND, const wchar_t*, UINT, DWORD_PTR);
  HKEY classesRoot_;
  const char* fallbackName_;
  HMODULE library_ = nullptr;  // never freed
  Entry entry_ = nullptr;
  bool failed_ = false;
  int loadAttempts_ = 0;
};

}  // namespace varrow
