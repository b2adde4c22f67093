// The Help button: opens the localised compiled help file at its table of
// contents through HTML Help, bound at run time from the control's registration.
#pragma once

#include <windows.h>

#include <string>

namespace varrow {

// HH_DISPLAY_TOC: show the table of contents.
inline constexpr UINT kHelpDisplayToc = 1;

// Help button handler: when a file exists at `helpFile` (an empty path never
// does), opens it at its table of contents in a help window owned by `owner`
// (the dialog stays on top of other windows; an unowned help window would open
// behind it). Returns the help window, or null when nothing was opened. Shows
// no message.
HWND OnHelpButton(HWND owner, const std::wstring& helpFile);

// The run-time bound HtmlHelpW of the process (same arguments and result).
// The library is found and loaded on first use and never released; when loading
// it or finding its entry fails, the failure is latched and later calls return
// null without trying again.
HWND CallHtmlHelp(HWND owner, const wchar_t* file, UINT command, DWORD_PTR data);

// The library path from the HTML Help control's registration among the
// machine's own classes: `machine`\SOFTWARE\Classes\CLSID\{ADB880A6-D8FF-11CF-
// 9377-00AA003B7A11}\InprocServer32, default value. The merged classes root is
// never read: it includes the user's own classes, which the user can write
// while the program runs elevated. Narrow text of at most 259 bytes,
// REG_EXPAND_SZ references expanded. False (out untouched) when missing, not a
// string, or too long before or after expansion.
bool FindHtmlHelpLibrary(char (&out)[260], HKEY machine = HKEY_LOCAL_MACHINE);

// "<system folder>\hhctrl.ocx", the fallback when the registration is missing
// (never the bare name, which the search order could resolve anywhere); empty
// when the system folder cannot be read or the path does not fit 260 bytes.
std::string SystemHelpLibraryPath();

// One binding of the HTML Help entry; CallHtmlHelp uses the process-wide one.
// Tests build their own with a scratch machine root and another fallback path
// (empty: no fallback).
class HtmlHelpBinding {
 public:
  explicit HtmlHelpBinding(HKEY machine = HKEY_LOCAL_MACHINE,
                           std::string fallbackPath = SystemHelpLibraryPath());
  HtmlHelpBinding(const HtmlHelpBinding&) = delete;
  HtmlHelpBinding& operator=(const HtmlHelpBinding&) = delete;

  HWND Call(HWND owner, const wchar_t* file, UINT command, DWORD_PTR data);

  HMODULE Library() const { return library_; }
  bool Failed() const { return failed_; }
  int LoadAttempts() const { return loadAttempts_; }

 private:
  using Entry = HWND(WINAPI*)(HWND, const wchar_t*, UINT, DWORD_PTR);
  HKEY machine_;
  std::string fallbackPath_;
  HMODULE library_ = nullptr;  // never freed
  Entry entry_ = nullptr;
  bool failed_ = false;
  int loadAttempts_ = 0;
};

}  // namespace varrow
