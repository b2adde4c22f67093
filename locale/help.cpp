#include "locale/help.h"

#include <io.h>

#include <cstring>
#include <utility>

#include "settings/registry.h"

namespace varrow {
namespace {

// Below the machine root: the machine's own classes, never the user's.
constexpr char kHtmlHelpRegistration[] =
    "SOFTWARE\\Classes\\CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";
constexpr WORD kHtmlHelpOrdinal = 15;  // HtmlHelpW

}  // namespace

bool FindHtmlHelpLibrary(char (&out)[260], HKEY machine) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(machine, kHtmlHelpRegistration, 0, KEY_READ, &opened) != ERROR_SUCCESS)
    return false;
  const RegKey key(opened);
  char value[260] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof(value);
  if (RegQueryValueExA(key.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value),
                       &size) != ERROR_SUCCESS)
    return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  // The text must end within the buffer; a full buffer without a terminator is
  // a longer name, which is refused rather than cut.
  const void* end = std::memchr(value, '\0', size);
  if (end == nullptr) {
    if (size >= sizeof(value)) return false;
    value[size] = '\0';
  }
  if (value[0] == '\0') return false;

  if (type == REG_EXPAND_SZ) {
    char expanded[260] = {};
    const DWORD needed = ExpandEnvironmentStringsA(value, expanded, sizeof(expanded));
    if (needed == 0 || needed > sizeof(expanded)) return false;
    expanded[sizeof(expanded) - 1] = '\0';
    std::memcpy(out, expanded, sizeof(expanded));
    return true;
  }
  std::memcpy(out, value, sizeof(value));
  return true;
}

std::string SystemHelpLibraryPath() {
  char folder[260] = {};
  const UINT length = GetSystemDirectoryA(folder, sizeof(folder));
  if (length == 0 || length >= sizeof(folder)) return {};
  std::string path(folder, length);
  path += "\\hhctrl.ocx";
  if (path.size() >= 260) return {};
  return path;
}

HtmlHelpBinding::HtmlHelpBinding(HKEY machine, std::string fallbackPath)
    : machine_(machine), fallbackPath_(std::move(fallbackPath)) {}

HWND HtmlHelpBinding::Call(HWND owner, const wchar_t* file, UINT command, DWORD_PTR data) {
  if (library_ == nullptr && !failed_) {
    ++loadAttempts_;
    char path[260] = {};
    if (FindHtmlHelpLibrary(path, machine_)) library_ = LoadLibraryA(path);
    if (library_ == nullptr && !fallbackPath_.empty()) library_ = LoadLibraryA(fallbackPath_.c_str());
    if (library_ == nullptr) {
      failed_ = true;
      return nullptr;
    }
  }
  if (entry_ == nullptr) {
    FARPROC proc = library_ == nullptr
                       ? nullptr
                       : GetProcAddress(library_, MAKEINTRESOURCEA(kHtmlHelpOrdinal));
    if (proc == nullptr) {
      failed_ = true;
      return nullptr;
    }
    entry_ = reinterpret_cast<Entry>(reinterpret_cast<void*>(proc));
  }
  return entry_(owner, file, command, data);
}

HWND CallHtmlHelp(HWND owner, const wchar_t* file, UINT command, DWORD_PTR data) {
  // Process-wide and never released: the help window may outlive any caller.
  static HtmlHelpBinding binding;
  return binding.Call(owner, file, command, data);
}

HWND OnHelpButton(HWND owner, const std::wstring& helpFile) {
  if (helpFile.empty() || _waccess(helpFile.c_str(), 0) != 0) return nullptr;
  return CallHtmlHelp(owner, helpFile.c_str(), kHelpDisplayToc, 0);
}

}  // namespace varrow
