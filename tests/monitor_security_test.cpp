// The monitor on a PC shared by several accounts: who may do what to the
// folders and files it creates (the access lists built in code, read back
// ACE by ACE: Wine stores none), and the attacks of a standard user replayed
// against the built monitor library as an application drives it: a log file
// or a log folder that is a link, a hard link at the log's name,.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <set>
#include <string>
#include <tuple>

#include "log/log_security.h"
#include "monitor/settings_lookup.h"
#include "monitoring/path_rules.h"
#include "tests/monitor_fixture.h"

namespace varrow {
namespace {

using namespace passthru;
using test::PassThruApi;

// Every entry of an access list as (account, inheritance flags, rights).
using Entry = std::tuple<std::wstring, int, DWORD>;
std::set<Entry> Entries(PSECURITY_DESCRIPTOR descriptor) {
  std::set<Entry> entries;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || dacl == nullptr) return entries;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    wchar_t* sid = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
        !ConvertSidToStringSidW(&ace->SidStart, &sid)) {
      entries.insert({L"(not an allow entry)", 0, 0});
      continue;
    }
    entries.insert({sid, ace->Header.AceFlags, ace->Mask});
    LocalFree(sid);
  }
  return entries;
}

// Administrators and SYSTEM may do anything. Authenticated users and the owner
// (OWNER RIGHTS: whoever created it) read, write and append to logs and create
// them in a folder; nobody else has an entry, so no user may delete, rename,
// re-permission or take over anything, nor make a subfolder.
TEST(MonitorSecurity, OnlyAdministratorsMayDeleteRedirectOrTakeOverWhatTheMonitorCreates) {
  const DWORD log = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_APPEND_DATA;
  const DWORD folder = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | FILE_READ_EA |
                       READ_CONTROL | SYNCHRONIZE;
  const int tree = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, files = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
  const std::set<Entry> kExpected[2] = {
      {{L"S-1-5-18", 0, FILE_ALL_ACCESS}, {L"S-1-5-32-544", 0, FILE_ALL_ACCESS}, {L"S-1-5-11", 0, log},
       {L"S-1-3-4", 0, log}},
      {{L"S-1-5-18", tree, FILE_ALL_ACCESS}, {L"S-1-5-32-544", tree, FILE_ALL_ACCESS}, {L"S-1-5-11", 0, folder},
       {L"S-1-5-11", files, log}, {L"S-1-3-4", 0, folder}, {L"S-1-3-4", files, log}}};
  for (const bool isFolder : {false, true}) {
    SCOPED_TRACE(isFolder ? "folder" : "log file");
    monitor::LogSecurity security(isFolder);
    ASSERT_NE(security.Attributes(), nullptr);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.Descriptor(), &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the parent's entries would be merged in";
    EXPECT_EQ(Entries(security.Descriptor()), kExpected[isFolder]);
  }
}

// Makes `link` a symbolic link to `target` the way a user of the Linux side
// of the prefix does (Wine shows it as a reparse point); false when it could
// not be made within ten seconds.
bool MakeSymbolicLink(const std::wstring& target, const std::wstring& link) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName =
      reinterpret_cast<UnixName>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return false;
  char* to = unixName(target.c_str());
  char* folder = unixName(monitor::FolderOf(link).c_str());
  if (to == nullptr || folder == nullptr) return false;
  const std::wstring name = link.substr(link.find_last_of(L'\\') + 1);
  std::wstring command = L"Z:\\bin\\ln -s \"" + std::wstring(to, to + strlen(to)) + L"\" \"" +
                         std::wstring(folder, folder + strlen(folder)) + L"/" + name + L"\"";
  HeapFree(GetProcessHeap(), 0, to);
  HeapFree(GetProcessHeap(), 0, folder);
  STARTUPINFOW startup{sizeof startup};
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // A Linux program's end is not waited for: its link is.
  const ULONGLONG until = GetTickCount64() + 10000;
  while (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount64() >= until) return false;
    Sleep(10);
  }
  return true;
}

class MonitorLinks : public ::testing::Test {
 protected:
  // A session of an application on the monitor copy `name` logging to `log`:
  // Open, three battery readings, Close (which writes the log).
  void Session(const std::wstring& name, const std::wstring& log, DWORD overwrite = 1) {
    const std::wstring library = test::InstallMonitor(dir, reg.Machine(), name);
    test::WriteUserSettings(reg.User(), library, log, 1, overwrite);
    PassThruApi api;
    ASSERT_TRUE(api.Load(library));
    ULong device = 0;
    ASSERT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
    for (int i = 0; i < 3; ++i) {
      ULong millivolts = 0;
      ASSERT_EQ(api.Ioctl(device, READ_VBATT, nullptr, &millivolts), STATUS_NOERROR);
      EXPECT_EQ(millivolts, fake::kBatteryMillivolts) << "the call did not pass through";
    }
    ASSERT_EQ(api.Close(device), STATUS_NOERROR);
    ASSERT_TRUE(FreeLibrary(api.module));
  }
  // The text of `path` once it holds `what` (at most 20 s), else what it holds.
  static std::string TextWith(const std::wstring& path, const std::string& what) {
    std::string text;
    const ULONGLONG until = GetTickCount64() + 20000;
    while (!(test::ReadFileText(path, &text) && text.find(what) != std::string::npos) && GetTickCount64() < until) {
      Sleep(5);
    }
    return text;
  }
  test::ScratchDir dir;
  test::RedirectedRegistry reg;
};

// One attack per row: the file the link leads to keeps its content, no file
// or folder appears where it leads, and the next log written in the process
// says which log was refused, why, and how many entries were lost.
TEST_F(MonitorLinks, ALogReachedThroughALinkIsRefusedAndTheNextLogSaysSo) {
  ASSERT_TRUE(test::MakeDir(dir / L"victim"));
  ASSERT_TRUE(test::MakeDir(dir / L"Logs"));
  const std::string kVictim = "a file of someone else's\r\n";
  struct Row {
    const wchar_t* name;
    const wchar_t* log;     // below dir
    const char* why;
    const wchar_t* absent;  // below dir: must not be made
  } const kRows[] = {
      // (Wine follows a file link even when asked to open the link itself: the final path tells.)
      {L"FileLink", L"Logs\\file-link.txt", "the file opened is not at the path asked for", nullptr},
      {L"FolderLink", L"Logs\\folder-link\\log.txt", "a folder on its path is a link", L"victim\\log.txt"},
      {L"FolderLinkDeeper", L"Logs\\folder-link\\J2534\\log.txt", "a folder on its path is a link",
       L"victim\\J2534"},
      {L"HardLink", L"Logs\\hard-link.txt", "the file has more than one name", nullptr},
  };
  ASSERT_TRUE(test::WriteFileText(dir / L"victim\\secret.txt", kVictim));
  ASSERT_TRUE(test::WriteFileText(dir / L"victim\\linked.txt", kVictim));
  ASSERT_TRUE(MakeSymbolicLink(dir / L"victim\\secret.txt", dir / L"Logs\\file-link.txt"));
  ASSERT_TRUE(MakeSymbolicLink(dir / L"victim", dir / L"Logs\\folder-link"));
  ASSERT_NE(GetFileAttributesW((dir / L"Logs\\folder-link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  ASSERT_TRUE(CreateHardLinkW((dir / L"Logs\\hard-link.txt").c_str(), (dir / L"victim\\linked.txt").c_str(), nullptr));
  int n = 0;
  for (const Row& row : kRows) {
    SCOPED_TRACE(std::string(row.why));
    Session(std::wstring(row.name) + L".dll", dir / row.log);
    std::string text;
    ASSERT_TRUE(test::ReadFileText(dir / L"victim\\secret.txt", &text));
    EXPECT_EQ(text, kVictim);
    ASSERT_TRUE(test::ReadFileText(dir / L"victim\\linked.txt", &text));
    EXPECT_EQ(text, kVictim);
    if (row.absent != nullptr) {
      EXPECT_EQ(GetFileAttributesW((dir / row.absent).c_str()), INVALID_FILE_ATTRIBUTES);
    }
    // The next session, on a plain log, carries the note.
    const std::wstring next = dir / (L"Logs\\next" + std::to_wstring(++n) + L".txt");
    Session(L"Next" + std::to_wstring(n) + L".dll", next);
    text = TextWith(next, "PassThruClose");
    const std::string path = std::string(row.log, row.log + wcslen(row.log));
    const std::size_t note = text.find("was refused: ");
    ASSERT_NE(note, std::string::npos) << text;
    const std::string line = text.substr(text.rfind("the log file ", note), 400);
    EXPECT_NE(line.find(path), std::string::npos) << line;
    EXPECT_NE(line.find(row.why), std::string::npos) << line;
    EXPECT_NE(line.find("; 5 entries not logged"), std::string::npos) << line;
    EXPECT_EQ(text.find("was refused: ", note + 1), std::string::npos) << "noted twice";
    EXPECT_NE(text.find("READ_VBATT"), std::string::npos);
  }
}

}  // namespace
}  // namespace varrow
