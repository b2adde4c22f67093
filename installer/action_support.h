// What every setup action of VarrowSetup.dll shares: reading a property (the
// deferred ones their CustomActionData), saying a line in the installation
// log, and the guard that keeps an exception from leaving an entry.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace varrow::setup {

// Property texts are read into a bounded buffer: paths here fit easily.
constexpr DWORD kPropertyChars = 4096;

inline std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  std::wstring value(kPropertyChars, L'\0');
  DWORD chars = kPropertyChars;
  if (MsiGetPropertyW(install, name, value.data(), &chars) != ERROR_SUCCESS || chars >= kPropertyChars) {
    return {};
  }
  value.resize(chars);
  return value;
}

// A line in the installation log; with `error`, also what the user sees.
inline void Say(MSIHANDLE install, const std::wstring& text, bool error = false) {
  const MSIHANDLE record = MsiCreateRecord(1);
  if (record == 0) return;
  // The text as a field, never as the template: a "[" in a path is not formatted.
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, text.c_str());
  MsiProcessMessage(install, error ? INSTALLMESSAGE_ERROR : INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

inline std::wstring Code(DWORD code) { return std::to_wstring(code); }

inline std::wstring Joined(const std::vector<std::wstring>& paths) {
  std::wstring text;
  for (const std::wstring& path : paths) text += (text.empty() ? L"" : L", ") + path;
  return text;
}

// Catches what must not leave a Windows Installer entry.
template <typename Action>
UINT Guarded(MSIHANDLE install, const wchar_t* name, Action action) {
  try {
    return action();
  } catch (...) {
    Say(install, std::wstring(name) + L": failed unexpectedly");
    return ERROR_INSTALL_FAILURE;
  }
}

}  // namespace varrow::setup
