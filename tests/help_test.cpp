// The Help button, the HTML Help registration lookup and the run-time binding.
#include "locale/help.h"

#include <gtest/gtest.h>

#include <vector>

#include <cstring>
#include <string>

#include "tests/test_support.h"

namespace varrow {
namespace {

constexpr wchar_t kRegistration[] =
    L"SOFTWARE\\Classes\\CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";

std::wstring BuiltFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path);
  return text.substr(0, text.find_last_of(L'\\'));
}

// Registers `value` (ASCII; stored as UTF-16 like any string value, terminator
// included when asked) as the default value of the registration key under a
// scratch machine root.
void Register(HKEY classesRoot, DWORD type, const std::string& value, bool terminate = true) {
  const std::wstring wide(value.begin(), value.end());
  test::SetRaw(classesRoot, kRegistration, nullptr, type, wide.c_str(),
               static_cast<DWORD>((wide.size() + (terminate ? 1 : 0)) * sizeof(wchar_t)));
}


// Closes every top-level help window of this process; returns how many there were.
BOOL CALLBACK CollectOwnHelpWindow(HWND window, LPARAM param) {
  wchar_t className[32] = {};
  GetClassNameW(window, className, 32);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId() && lstrcmpW(className, L"HH Parent") == 0)
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  return TRUE;
}

// Closes the help windows of this process (other test processes may show
// theirs at the same time) and returns how many there were.
std::vector<HWND> OwnHelpWindows() {
  std::vector<HWND> windows;
  EnumWindows(CollectOwnHelpWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

int CloseHelpWindows() {
  std::vector<HWND> windows;
  EnumWindows(CollectOwnHelpWindow, reinterpret_cast<LPARAM>(&windows));
  for (HWND window : windows) {
    SendMessageW(window, WM_CLOSE, 0, 0);
    if (IsWindow(window)) DestroyWindow(window);
  }
  return static_cast<int>(windows.size());
}

TEST(FindHtmlHelpLibrary, ReadsAndExpandsTheRegistration) {
  char expectedExpanded[260] = {};
  ASSERT_GT(ExpandEnvironmentStringsA("%SystemRoot%\\system32\\hhctrl.ocx", expectedExpanded,
                                      sizeof(expectedExpanded)), 0u);
  ASSERT_EQ(nullptr, std::strchr(expectedExpanded, '%'));
  SetEnvironmentVariableA("VARROW_LONG_FOLDER", std::string(300, 'x').c_str());
  const std::string exactly259(259, 'a');
  struct Case {
    const char* name;
    DWORD type;
    std::string value;
    bool terminate;
    bool found;
    std::string expected;
  } cases[] = {
      {"plain path", REG_SZ, "C:\\windows\\system32\\hhctrl.ocx", true, true,
       "C:\\windows\\system32\\hhctrl.ocx"},
      {"unterminated short path", REG_SZ, "C:\\h.ocx", false, true, "C:\\h.ocx"},
      {"environment reference", REG_EXPAND_SZ, "%SystemRoot%\\system32\\hhctrl.ocx", true, true,
       expectedExpanded},
      {"259 characters", REG_SZ, exactly259, true, true, exactly259},
      {"260 characters, unterminated", REG_SZ, std::string(260, 'a'), false, false, ""},
      {"longer than the buffer", REG_SZ, std::string(300, 'a'), true, false, ""},
      {"too long once expanded", REG_EXPAND_SZ, "%VARROW_LONG_FOLDER%\\hhctrl.ocx", true, false,
       ""},
      {"empty", REG_SZ, "", true, false, ""},
      {"not a string", REG_BINARY, "C:\\h.ocx", true, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScratchRegistry scratch;
    Register(scratch.Machine(), c.type, c.value, c.terminate);
    char out[260];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(c.found, FindHtmlHelpLibrary(out, scratch.Machine()));
    if (c.found) {
      EXPECT_EQ(c.expected, std::string(out));
    } else {
      EXPECT_EQ(std::string(sizeof(out), '#'), std::string(out, sizeof(out)));  // untouched
    }
  }
  SetEnvironmentVariableA("VARROW_LONG_FOLDER", nullptr);
}

TEST(FindHtmlHelpLibrary, MissingRegistrationFails) {
  test::ScratchRegistry scratch;
  char out[260] = "sentinel";
  EXPECT_FALSE(FindHtmlHelpLibrary(out, scratch.Machine()));
  EXPECT_STREQ("sentinel", out);
}

TEST(FindHtmlHelpLibrary, TheSystemRegistrationNamesALoadableLibrary) {
  char out[260] = {};
  ASSERT_TRUE(FindHtmlHelpLibrary(out));
  HMODULE library = LoadLibraryA(out);
  ASSERT_NE(nullptr, library) << out;
  EXPECT_NE(nullptr, GetProcAddress(library, MAKEINTRESOURCEA(15)));
  FreeLibrary(library);
}

TEST(HtmlHelpBinding, BadRegistrationWithoutFallbackLatchesTheFailure) {
  test::ScratchRegistry scratch;
  Register(scratch.Machine(), REG_EXPAND_SZ, "%SystemRoot%\\no-such-folder\\hhctrl.ocx");
  HtmlHelpBinding binding(scratch.Machine(), "varrow-no-such-help.ocx");
  EXPECT_EQ(nullptr, binding.Call(nullptr, L"C:\\none.chm", kHelpDisplayToc, 0));
  EXPECT_TRUE(binding.Failed());
  EXPECT_EQ(nullptr, binding.Library());
  EXPECT_EQ(1, binding.LoadAttempts());

  // Repairing the registration afterwards changes nothing: no second attempt.
  Register(scratch.Machine(), REG_SZ, SystemHelpLibraryPath());
  EXPECT_EQ(nullptr, binding.Call(nullptr, L"C:\\none.chm", kHelpDisplayToc, 0));
  EXPECT_EQ(nullptr, binding.Library());
  EXPECT_EQ(1, binding.LoadAttempts());
}

TEST(HtmlHelpBinding, LibraryWithoutTheEntryLatchesTheFailure) {
  test::ScratchRegistry scratch;
  // A real module without any export: a language library.
  const std::wstring folder = BuiltFolder() + L"\\Varrow-en.dll";
  Register(scratch.Machine(), REG_SZ, std::string(folder.begin(), folder.end()));
  HtmlHelpBinding binding(scratch.Machine(), "");
  EXPECT_EQ(nullptr, binding.Call(nullptr, L"C:\\none.chm", kHelpDisplayToc, 0));
  EXPECT_TRUE(binding.Failed());
  EXPECT_EQ(1, binding.LoadAttempts());
  EXPECT_EQ(nullptr, binding.Call(nullptr, L"C:\\none.chm", kHelpDisplayToc, 0));
  EXPECT_EQ(1, binding.LoadAttempts());
}

TEST(HtmlHelpBinding, ExpandedRegistrationOrSearchPathLoadsTheLibrary) {
  struct Case {
    const char* name;
    bool registered;
    const char* fallback;
  } cases[] = {
      {"REG_EXPAND_SZ registration", true, "varrow-no-such-help.ocx"},
      {"no registration, the system folder's library", false, nullptr},
  };
  test::ScratchDir dir;
  const std::wstring file = dir / L"Pellor-en.chm";
  ASSERT_TRUE(CopyFileW((BuiltFolder() + L"\\Pellor-en.chm").c_str(), file.c_str(), FALSE));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScratchRegistry scratch;
    if (c.registered)
      Register(scratch.Machine(), REG_EXPAND_SZ, "%SystemRoot%\\system32\\hhctrl.ocx");
    HtmlHelpBinding binding(scratch.Machine(),
                            c.fallback != nullptr ? c.fallback : SystemHelpLibraryPath());
    HWND help = binding.Call(nullptr, file.c_str(), kHelpDisplayToc, 0);
    EXPECT_FALSE(binding.Failed());
    EXPECT_NE(nullptr, binding.Library());
    EXPECT_NE(nullptr, help);
    EXPECT_EQ(1, CloseHelpWindows());
  }
}

TEST(OnHelpButton, OpensAnExistingHelpFileAtItsContentsOwnedByTheCaller) {
  test::ScratchDir dir;
  const std::wstring file = dir / L"Pellor-de.chm";
  ASSERT_TRUE(CopyFileW((BuiltFolder() + L"\\Pellor-de.chm").c_str(), file.c_str(), FALSE));
  ASSERT_EQ(0, CloseHelpWindows());
  HWND owner = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_NE(nullptr, owner);

  HWND help = OnHelpButton(owner, file);
  ASSERT_NE(nullptr, help);
  wchar_t className[64] = {};
  GetClassNameW(help, className, 64);
  EXPECT_EQ(L"HH Parent", std::wstring(className));
  EXPECT_EQ(owner, GetWindow(help, GW_OWNER));
  EXPECT_EQ(1, CloseHelpWindows());
  DestroyWindow(owner);
}

TEST(OnHelpButton, DoesNothingWithoutAFile) {
  test::ScratchDir dir;
  for (const std::wstring& path : {std::wstring(), dir / L"Pellor-xx.chm", dir / L"missing\\a.chm"}) {
    SCOPED_TRACE(testing::PrintToString(path));
    EXPECT_EQ(nullptr, OnHelpButton(nullptr, path));
    // Only this process's windows: another test process may show its help meanwhile.
    EXPECT_TRUE(OwnHelpWindows().empty());
  }
}

}  // namespace
}  // namespace varrow
