// The monitor on a PC shared by several accounts: who may do what to the
// folders and files it creates (the access lists built in code, read back
// ACE by ACE: Wine stores none), and the attacks of a standard user replayed
// against the built monitor library as an application drives it: a log file
// or a log folder that is a link, a hard link at the log's name,.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <string>

#include "monitor/log_security.h"
#include "monitor/settings_lookup.h"
#include "monitoring/path_rules.h"
#include "tests/monitor_fixture.h"

namespace varrow {
namespace {

using namespace passthru;
using test::PassThruApi;

// The rights of each account in an access list, with its inheritance flags.
struct Granted {
  DWORD mask = 0;
  BYTE flags = 0;
};
std::multimap<std::wstring, Granted> Aces(PSECURITY_DESCRIPTOR descriptor) {
  std::multimap<std::wstring, Granted> aces;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) return aces;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
      aces.insert({L"(not an allow entry)", {}});
      continue;
    }
    wchar_t* sid = nullptr;
    ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), &sid);
    aces.insert({sid != nullptr ? sid : L"?", {allowed->Mask, allowed->Header.AceFlags}});
    LocalFree(sid);
  }
  return aces;
}

constexpr DWORD kTakeOver = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;

TEST(MonitorSecurity, WhatTheMonitorCreatesGivesNoUserTheRightToDeleteRedirectOrTakeOver) {
  const wchar_t kUsers[] = L"S-1-5-11";        // Authenticated Users
  const wchar_t kOwnerRights[] = L"S-1-3-4";   // the owner, whoever created it
  const DWORD kLogRights = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_APPEND_DATA;
  const DWORD kFolderRights = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                              FILE_READ_EA | READ_CONTROL | SYNCHRONIZE;
  struct Row {
    bool folder;
    const wchar_t* sid;
    BYTE flags;
    DWORD mask;
  } const kRows[] = {
      {false, L"S-1-5-18", 0, FILE_ALL_ACCESS},
      {false, L"S-1-5-32-544", 0, FILE_ALL_ACCESS},
      {false, kUsers, 0, kLogRights},
      {false, kOwnerRights, 0, kLogRights},
      {true, L"S-1-5-18", OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS},
      {true, L"S-1-5-32-544", OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS},
      {true, kUsers, 0, kFolderRights},                                        // the folder itself
      {true, kUsers, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, kLogRights},       // the files in it
      {true, kOwnerRights, 0, kFolderRights},
      {true, kOwnerRights, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, kLogRights},
  };
  for (const bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "folder" : "log file");
    monitor::LogSecurity security(folder);
    ASSERT_NE(security.Attributes(), nullptr);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.Descriptor(), &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the parent's entries would be merged in";
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(security.Descriptor(), SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &text, nullptr));
    EXPECT_EQ(std::wstring(text).find(L"WD"), std::wstring::npos) << "Everyone has an entry";
    LocalFree(text);
    std::multimap<std::wstring, Granted> aces = Aces(security.Descriptor());
    std::size_t rows = 0;
    for (const Row& row : kRows) {
      if (row.folder != folder) continue;
      ++rows;
      bool found = false;
      for (auto [at, end] = aces.equal_range(row.sid); at != end; ++at) {
        if (at->second.flags != row.flags) continue;
        found = true;
        EXPECT_EQ(at->second.mask, row.mask) << row.sid << " flags " << int(row.flags);
      }
      EXPECT_TRUE(found) << row.sid << " flags " << int(row.flags);
    }
    EXPECT_EQ(aces.size(), rows) << "an entry for someone else";
    for (const auto& [sid, granted] : aces) {
      if (sid == L"S-1-5-18" || sid == L"S-1-5-32-544") continue;
      EXPECT_EQ(granted.mask & kTakeOver, 0u) << sid;
      if (folder && (granted.flags & INHERIT_ONLY_ACE) == 0) {
        EXPECT_EQ(granted.mask & FILE_ADD_SUBDIRECTORY, 0u) << sid << " may make subfolders";
      }
    }
  }
}

// Makes `link` a symbolic link to `target` the way a user of the Linux side
// of the prefix does (Wine shows it as a reparse point); false when it could
// not be made within ten seconds.
bool MakeSymbolicLink(const std::wstring& target, const std::wstring& link) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName =
      reinterpret_cast<UnixName>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
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
