// The J2534 monitor library end to end in this process: copies of it stand in
// for libraries whose originals are the stand-in of tests/helpers, with the
// registry redirected to scratch keys. One scenario per capability: calls pass
// through untouched and are logged in each format; log entry and exit, the
// message size and appending; several threads; no original; no user settings.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include "monitor/j2534/j2534_record.h"
#include "log/text_rules.h"
#include "log/log_writer.h"
#include "monitoring/path_rules.h"
#include "tests/helpers/process_footprint.h"
#include "tests/monitor_fixture.h"
#include "hosted/arch.h"

namespace varrow {
namespace {

using namespace passthru;
using test::CanMessage;
using test::PassThruApi;

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The log once it holds `n` times `what` (the writer thread may still be at
// it); waits at most 20 s, then returns what it holds.
std::string LogWith(const std::wstring& path, const std::string& what, int n) {
  std::string text;
  const ULONGLONG until = GetTickCount64() + 20000;
  while (!(test::ReadFileText(path, &text) && Count(text, what) >= n) && GetTickCount64() < until) Sleep(5);
  return text;
}

// One device session of `calls` battery readings (each logged as READ_VBATT).
void Readings(const PassThruApi& api, int calls) {
  ULong device = 0;
  ASSERT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  for (int i = 0; i < calls; ++i) {
    ULong millivolts = 0;
    ASSERT_EQ(api.Ioctl(device, READ_VBATT, nullptr, &millivolts), STATUS_NOERROR);
  }
  ASSERT_EQ(api.Close(device), STATUS_NOERROR);
}

// Runs this test program's `filter` as a child process; its handle, or null.
HANDLE StartChild(const wchar_t* filter) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=" + filter;
  STARTUPINFOW startup{sizeof startup};
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// The child's exit code once it ended (within a minute; one that hangs is ended: ~0).
DWORD EndOfChild(HANDLE process) {
  DWORD code = ~0u;
  if (WaitForSingleObject(process, 60000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process, &code);
  } else {
    TerminateProcess(process, ~0u);
  }
  CloseHandle(process);
  return code;
}

class MonitorLibrary : public ::testing::Test {
 protected:
  std::string ReadLog(const std::wstring& path) {
    std::string text;
    EXPECT_TRUE(test::ReadFileText(path, &text)) << "no log at the expected place";
    return text;
  }
  test::ScratchDir dir;
  test::RedirectedRegistry reg;
};

// A session that touches every function; checks that what the application
// sees is exactly what the original gave.
void RunSession(const PassThruApi& api, fake::State* original) {
  ASSERT_NE(original, nullptr);
  ULong device = 0xdeadbeef;
  EXPECT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  EXPECT_EQ(device, fake::kDeviceId);
  EXPECT_EQ(original->pointers[1], &device);
  char fw[kTextChars] = {}, dll[kTextChars] = {}, apiVersion[kTextChars] = {};
  EXPECT_EQ(api.ReadVersion(device, fw, dll, apiVersion), STATUS_NOERROR);
  EXPECT_STREQ(apiVersion, "04.04");
  ULong millivolts = 0;
  EXPECT_EQ(api.Ioctl(device, READ_VBATT, nullptr, &millivolts), STATUS_NOERROR);
  EXPECT_EQ(millivolts, fake::kBatteryMillivolts);
  ULong channel = 0;
  EXPECT_EQ(api.Connect(device, ISO15765, CONNECT_CAN_29BIT_ID, 500000, &channel), STATUS_NOERROR);
  EXPECT_EQ(channel, fake::kChannelId);
  EXPECT_EQ(original->args[1], ULong{ISO15765});
  EXPECT_EQ(original->args[2], ULong{CONNECT_CAN_29BIT_ID});
  EXPECT_EQ(original->args[3], 500000u);
  PassThruMsg mask = CanMessage(4, 0xF0), pattern = CanMessage(4, 0x10), flow = CanMessage(4, 0x20);
  ULong filter = 0;
  EXPECT_EQ(api.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter),
            STATUS_NOERROR);
  EXPECT_EQ(filter, fake::kFilterId);
  EXPECT_EQ(original->pointers[2], &flow);
  PassThruMsg write[2] = {CanMessage(8, 1), CanMessage(8, 2)};
  ULong count = 2;
  EXPECT_EQ(api.WriteMsgs(channel, write, &count, 100), STATUS_NOERROR);
  EXPECT_EQ(original->pointers[0], write);
  EXPECT_EQ(count, 2u);
  static PassThruMsg read[4];
  original->readAvailable = 1;
  count = 4;
  EXPECT_EQ(api.ReadMsgs(channel, read, &count, 0), STATUS_NOERROR);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(read[0].DataSize, 8u);
  original->readAvailable = 0;  // an empty poll: polling noise, not logged
  count = 4;
  EXPECT_EQ(api.ReadMsgs(channel, read, &count, 0), ERR_BUFFER_EMPTY);
  EXPECT_EQ(count, 0u);
  SConfig set[2] = {{DATA_RATE, 500000}, {LOOPBACK, 1}};
  SConfigList setList{2, set};
  EXPECT_EQ(api.Ioctl(channel, SET_CONFIG, &setList, nullptr), STATUS_NOERROR);
  SConfig get[2] = {{DATA_RATE, 0}, {ISO15765_STMIN, 0}};
  SConfigList getList{2, get};
  EXPECT_EQ(api.Ioctl(channel, GET_CONFIG, &getList, nullptr), STATUS_NOERROR);
  EXPECT_EQ(get[1].Value, ULong{ISO15765_STMIN} * 10);
  std::uint8_t address = 0x33, key[8] = {};
  SByteArray in{1, &address}, out{8, key};
  EXPECT_EQ(api.Ioctl(channel, FIVE_BAUD_INIT, &in, &out), STATUS_NOERROR);
  EXPECT_EQ(out.NumOfBytes, 3u);
  // Never dereferenced by the monitor; on 64-bit above 4 GB, so that its log shows all the digits.
  void* vendorInput = reinterpret_cast<void*>(static_cast<std::uintptr_t>(sizeof(void*) == 8 ? 0x123400001234 : 0x1234));
  EXPECT_EQ(api.Ioctl(channel, 0x8001, vendorInput, nullptr), STATUS_NOERROR);
  EXPECT_EQ(original->pointers[0], vendorInput);
  EXPECT_EQ(original->args[1], 0x8001u);
  original->forcedResult = ERR_INVALID_CHANNEL_ID;
  EXPECT_EQ(api.Disconnect(99), ERR_INVALID_CHANNEL_ID);
  // A failed read writes no message: what the buffer held before is not one.
  PassThruMsg stale[3] = {CanMessage(4, 0xC0), CanMessage(4, 0xC0), CanMessage(4, 0xC0)};
  count = 3;
  EXPECT_EQ(api.ReadMsgs(99, stale, &count, 0), ERR_INVALID_CHANNEL_ID);
  original->forcedResult = -1;
  char error[kTextChars] = {};
  EXPECT_EQ(api.GetLastError(error), STATUS_NOERROR);
  EXPECT_STREQ(error, fake::kLastError);
  EXPECT_EQ(api.Disconnect(channel), STATUS_NOERROR);
  EXPECT_EQ(api.Close(device), STATUS_NOERROR);
}

TEST_F(MonitorLibrary, PassesCallsThroughAndLogsThemInEachFormat) {
  const char* const extensions[] = {"", ".txt", ".xml", ".csv", ".html"};
  for (DWORD format = 1; format <= 4; ++format) {
    SCOPED_TRACE(format);
    const std::wstring name = L"Vci" + std::to_wstring(format) + L".dll";
    const std::wstring library = test::InstallMonitor(dir, reg.Machine(), name);
    const std::string ext = extensions[format];
    const std::wstring log = dir / (L"logs\\new folder\\vci" + std::wstring(ext.begin(), ext.end()));
    test::WriteUserSettings(reg.User(), library, log, format);
    PassThruApi api;
    ASSERT_TRUE(api.Load(library));
    RunSession(api, test::FakeStateOf(library));
    const std::string text = ReadLog(log);
    for (const char* expected :
         {"PassThruOpen", "PassThruReadVersion", "04.04", "READ_VBATT", "12345 mV", "ISO15765",
          "CAN_29BIT_ID", "FLOW_CONTROL_FILTER", "ISO15765_FRAME_PAD", "01 02 03 04 05 06 07 08",
          "SET_CONFIG", "DATA_RATE = 500000", "ISO15765_STMIN = 310", "55 08 08", "vendor 0x8001",
          "ERR_INVALID_CHANNEL_ID", "fake: last error text", "PassThruClose",
          sizeof(void*) == 8 ? "0x0000123400001234" : "0x00001234"}) {
      EXPECT_NE(text.find(expected), std::string::npos) << expected;
    }
    EXPECT_EQ(Count(text, "ERR_BUFFER_EMPTY"), 0) << "an empty poll was logged";
    EXPECT_EQ(Count(text, "PassThruReadMsgs"), 2);
    EXPECT_EQ(Count(text, "C0 C1 C2 C3") + Count(text, "c0 c1 c2 c3"), 0) << "a failed read's buffer was logged";
    if (format == 1) {
      // Aligned columns: every entry's result starts in the column of the header's "Result".
      const std::size_t header = text.find("Time ");
      ASSERT_NE(header, std::string::npos);
      const std::size_t column = text.find("Result", header) - header;
      int entries = 0;
      for (std::size_t at = text.find("\n20"); at != std::string::npos; at = text.find("\n20", at + 1)) {
        EXPECT_TRUE(text.compare(at + 1 + column, 4, "STAT") == 0 ||
                    text.compare(at + 1 + column, 4, "ERR_") == 0);
        ++entries;
      }
      EXPECT_EQ(entries, 16);
    } else if (format == 2) {
      EXPECT_EQ(test::XmlProblem(text), "");
      EXPECT_NE(text.find("&lt;fw&gt; &amp; &quot;co&quot;"), std::string::npos);
    } else if (format == 3) {
      std::vector<std::vector<std::string>> rows;
      ASSERT_TRUE(test::ParseCsv(text, &rows));
      ASSERT_EQ(rows.size(), 18u);  // header, session, 16 calls
      int headers = 0;
      for (const auto& row : rows) {
        EXPECT_EQ(row.size(), 10u);  // the nine columns and the decoded conversation
        if (row[0] == "Time") ++headers;
      }
      EXPECT_EQ(headers, 1);
    } else {
      EXPECT_EQ(text.compare(0, 15, "<!DOCTYPE html>"), 0);
      EXPECT_EQ(text.substr(text.size() - 8), "</html>\n");
      EXPECT_EQ(Count(text, "<table>"), 1);
      EXPECT_EQ(Count(text, "</table>"), 1);
      EXPECT_EQ(Count(text, "<tr"), Count(text, "</tr>"));
      EXPECT_EQ(Count(text, "<tr class=\"failed\""), 2);
    }
  }
}

TEST_F(MonitorLibrary, LogsEntryAndExitCutsMessagesAndAppendsSessions) {
  const std::wstring log = dir / L"shared.xml";
  test::SetDword(reg.User(), L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\J2534 API", L"MessageSize01", 4);
  const std::wstring first = test::InstallMonitor(dir, reg.Machine(), L"First.dll");
  test::WriteUserSettings(reg.User(), first, log, 2, /*overwrite*/ 1, /*entryExit*/ 1,
                          /*disableBufferEmpty*/ 0, /*messageSize*/ 1);
  ASSERT_TRUE(test::WriteFileText(log, "old content of another day"));
  PassThruApi api;
  ASSERT_TRUE(api.Load(first));
  fake::State* original = test::FakeStateOf(first);
  ASSERT_NE(original, nullptr);
  ULong device = 0, count = 4;
  ASSERT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  original->readAvailable = 0;
  PassThruMsg read[4];
  EXPECT_EQ(api.ReadMsgs(1, read, &count, 0), ERR_BUFFER_EMPTY);
  PassThruMsg write[2] = {CanMessage(8, 1), CanMessage(5000, 0)};
  count = 2;
  EXPECT_EQ(api.WriteMsgs(1, write, &count, 0), STATUS_NOERROR);
  EXPECT_EQ(write[1].DataSize, 5000u);  // untouched
  EXPECT_EQ(api.Close(device), STATUS_NOERROR);

  const std::wstring second = test::InstallMonitor(dir, reg.Machine(), L"Second.dll");
  test::WriteUserSettings(reg.User(), second, log, 2, /*overwrite*/ 0);
  PassThruApi api2;
  ASSERT_TRUE(api2.Load(second));
  ASSERT_EQ(api2.Open(nullptr, &device), STATUS_NOERROR);
  EXPECT_EQ(api2.Close(device), STATUS_NOERROR);

  const std::string text = ReadLog(log);
  EXPECT_EQ(test::XmlProblem(text), "");
  EXPECT_EQ(text.find("old content"), std::string::npos) << "overwrite kept the old file";
  EXPECT_EQ(Count(text, "<session "), 2);
  EXPECT_EQ(Count(text, "phase=\"entry\""), 4);  // the first library's four calls
  EXPECT_EQ(Count(text, "phase=\"exit\""), 4);
  EXPECT_EQ(Count(text, "phase=\"call\""), 2);   // the second library's two
  EXPECT_NE(text.find("ERR_BUFFER_EMPTY"), std::string::npos);
  EXPECT_NE(text.find("Data (4 of 8 bytes): 01 02 03 04</field>"), std::string::npos);
  EXPECT_NE(text.find("DataSize 5000 (exceeds 4128: capped)"), std::string::npos);
}

TEST_F(MonitorLibrary, CallsFromSeveralThreadsAreLoggedWhole) {
  const std::wstring log = dir / L"threads.csv";
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Threads.dll");
  test::WriteUserSettings(reg.User(), library, log, 3);
  PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  ULong device = 0;
  ASSERT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  constexpr int kThreads = 4, kCalls = 150;
  std::map<std::string, std::string> firstLineOfThread;  // thread id -> its data's first line
  std::vector<std::thread> threads;
  std::vector<DWORD> ids(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ids[t] = GetCurrentThreadId();
      PassThruMsg msg = CanMessage(64, static_cast<std::uint8_t>(t * 64));
      for (int i = 0; i < kCalls; ++i) {
        ULong count = 1;
        api.WriteMsgs(1, &msg, &count, 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(api.Close(device), STATUS_NOERROR);
  for (int t = 0; t < kThreads; ++t) {
    const PassThruMsg msg = CanMessage(64, static_cast<std::uint8_t>(t * 64));
    firstLineOfThread[std::to_string(ids[t])] = monitor::HexDump(msg.Data, 32, 0);
  }
  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(test::ParseCsv(ReadLog(log), &rows));
  std::map<std::string, int> calls;
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 10u);
    if (row[4] != "PassThruWriteMsgs") continue;
    ++calls[row[3]];
    ASSERT_TRUE(firstLineOfThread.count(row[3])) << row[3];
    EXPECT_NE(row[6].find(firstLineOfThread[row[3]]), std::string::npos) << "torn entry";
  }
  ASSERT_EQ(calls.size(), static_cast<std::size_t>(kThreads));
  for (const auto& [thread, n] : calls) EXPECT_EQ(n, kCalls) << thread;
}

TEST_F(MonitorLibrary, WithoutTheOriginalEveryCallFailsAndSaysWhy) {
  const std::wstring log = dir / L"missing.txt";
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Lonely.dll", false);
  test::WriteUserSettings(reg.User(), library, log, 1);
  PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  ULong device = 0xdeadbeef, count = 1;
  EXPECT_EQ(api.Open(nullptr, &device), ERR_FAILED);
  EXPECT_EQ(device, 0xdeadbeefu);
  EXPECT_EQ(api.Connect(device, CAN, 0, 500000, nullptr), ERR_FAILED);
  EXPECT_EQ(api.ReadMsgs(1, nullptr, &count, 0), ERR_FAILED);
  EXPECT_EQ(api.Ioctl(1, GET_CONFIG, nullptr, nullptr), ERR_FAILED);
  char error[kTextChars];
  std::memset(error, 'x', sizeof error);
  EXPECT_EQ(api.GetLastError(error), STATUS_NOERROR);
  EXPECT_NE(std::string(error).find("_Lonely.dll"), std::string::npos) << error;
  EXPECT_EQ(api.GetLastError(nullptr), ERR_NULL_PARAMETER);
  EXPECT_EQ(api.Close(device), ERR_FAILED);
  const std::string text = ReadLog(log);
  EXPECT_EQ(Count(text, "ERR_FAILED"), 5);
  EXPECT_NE(text.find("not found"), std::string::npos);

  // A log that cannot be written (its folder is a file) leaves the calls alone.
  ASSERT_TRUE(test::WriteFileText(dir / L"blocker", "a file, not a folder"));
  const std::wstring other = test::InstallMonitor(dir, reg.Machine(), L"Blocked.dll");
  test::WriteUserSettings(reg.User(), other, dir / L"blocker\\log.txt", 1);
  PassThruApi blocked;
  ASSERT_TRUE(blocked.Load(other));
  EXPECT_EQ(blocked.Open(nullptr, &device), STATUS_NOERROR);
  EXPECT_EQ(device, fake::kDeviceId);
  EXPECT_EQ(blocked.Close(device), STATUS_NOERROR);
}

TEST_F(MonitorLibrary, FindsItsSettingsOrFallsBackToTheMachineDefaults) {
  // No user settings: the machine defaults, in the default log file of the page.
  test::SetString(reg.Machine(), L"SOFTWARE\\OVRA\\OVRA_VCI", L"LogFileLocation", dir / L"logs\\");
  test::SetDword(reg.Machine(), L"SOFTWARE\\OVRA\\OVRA_VCI\\DefaultSettings\\Monitoring\\J2534 API",
                 L"OutputFormat", 3);
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Elevated.dll");
  // Settings under the other architecture's key belong to a library of that
  // architecture at the same path (System32 / SysWOW64 seen through redirection): not ours.
  const std::wstring otherArch = sizeof(void*) == 8 ? L"J2534 API" : L"J2534 API (64-bit)";
  test::SetString(reg.User(), L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\" + otherArch + L"\\" + SettingsKeyName(library),
                  L"OutputFile", dir / L"other.txt");
  PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  ULong device = 0;
  EXPECT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  EXPECT_EQ(api.Close(device), STATUS_NOERROR);
  const std::string defaults = ReadLog(dir / L"logs\\J2534\\Elevated.csv");
  EXPECT_NE(defaults.find("PassThruOpen"), std::string::npos);
  EXPECT_FALSE(test::FileExists(dir / L"other.txt")) << "the other architecture's settings were taken";

  // Registered by its name alone and found on PATH: the settings of the path found there.
  ASSERT_TRUE(test::MakeDir(dir / L"path folder"));
  const std::wstring named = test::InstallMonitor(dir, reg.Machine(), L"path folder\\Named.dll");
  test::SetString(reg.Machine(), L"SOFTWARE\\PassThruSupport.04.04\\" + test::DeviceKeyName(L"path folder\\Named.dll"),
                  L"FunctionLibrary", L"NAMED.DLL");
  wchar_t path[4096];
  const DWORD n = GetEnvironmentVariableW(L"PATH", path, 4096);
  SetEnvironmentVariableW(L"PATH", (std::wstring(path, n < 4096 ? n : 0) + L";" +
                                    dir / L"path folder\\ ").c_str());
  test::WriteUserSettings(reg.User(), dir / L"path folder\\NAMED.DLL", dir / L"named.txt", 1);
  PassThruApi byName;
  ASSERT_TRUE(byName.Load(named));
  EXPECT_EQ(byName.Open(nullptr, &device), STATUS_NOERROR);
  EXPECT_EQ(byName.Close(device), STATUS_NOERROR);
  EXPECT_NE(ReadLog(dir / L"named.txt").find("PassThruClose"), std::string::npos);
}

// Applications that load the library per vehicle session: every cycle gives
// back the heaps, handles, threads, the log file and the original library, and
// every session is in the log (Overwrite starts the file once per process).
TEST_F(MonitorLibrary, LoadUnloadCyclesGiveEverythingBack) {
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Cycle.dll");
  const std::wstring original = AsidePath(library);
  const std::wstring log = dir / L"cycle.xml";
  test::WriteUserSettings(reg.User(), library, log, 2);
  constexpr int kCycles = 200;
  test::Footprint first;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    PassThruApi api;
    ASSERT_TRUE(api.Load(library));
    Readings(api, 2);
    ASSERT_TRUE(FreeLibrary(api.module));
    ASSERT_TRUE(test::WaitUntilUnloaded(library, 20000)) << "the monitor stays loaded, cycle " << cycle;
    ASSERT_TRUE(test::WaitUntilUnloaded(original, 20000)) << "the original stays loaded, cycle " << cycle;
    if (cycle == 1) first = test::TakeFootprint();
  }
  const test::Footprint last = test::TakeFootprint();
  EXPECT_LE(last.bytes, first.bytes + (1u << 20)) << "address space after 1 and " << kCycles << " cycles";
  EXPECT_EQ(last.heaps, first.heaps);
  EXPECT_EQ(last.handles, first.handles);
  const std::string text = ReadLog(log);
  EXPECT_EQ(test::XmlProblem(text), "");
  EXPECT_EQ(Count(text, "READ_VBATT"), 2 * kCycles);
  EXPECT_EQ(Count(text, "<session "), kCycles);
}

// Two copies of the library in one process write one file known by two
// spellings of its path: the lock on the file itself keeps every entry whole,
// and a block written after the other's is marked as the same session continued.
TEST_F(MonitorLibrary, TwoWritersOfOneFileUnderTwoSpellingsShareItWhole) {
  const std::wstring log = dir / L"shared log.xml";
  wchar_t full[MAX_PATH];
  ASSERT_GT(GetFullPathNameW(log.c_str(), MAX_PATH, full, nullptr), 0u);
  const std::wstring spellings[2] = {log, L"\\\\?\\" + std::wstring(full)};
  PassThruApi api[2];
  for (int i = 0; i < 2; ++i) {
    const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Writer" + std::to_wstring(i) + L".dll");
    test::WriteUserSettings(reg.User(), library, spellings[i], 2, /*overwrite*/ 0);
    ASSERT_TRUE(api[i].Load(library));
  }
  // One after the other: the first writer's second block continues its session.
  Readings(api[0], 1);
  Readings(api[1], 1);
  Readings(api[0], 1);
  std::string text = LogWith(log, "READ_VBATT", 3);
  EXPECT_EQ(Count(text, "<session "), 3);
  EXPECT_EQ(Count(text, "continued=\"yes\""), 1);
  // At once, from two threads each.
  constexpr int kCalls = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { Readings(api[t % 2], kCalls); });
  for (std::thread& thread : threads) thread.join();
  text = LogWith(log, "READ_VBATT", 3 + 4 * kCalls);
  EXPECT_EQ(test::XmlProblem(text), "");
  EXPECT_EQ(Count(text, "READ_VBATT"), 3 + 4 * kCalls);
  EXPECT_EQ(Count(text, "function=\"PassThruOpen\""), 7);
  EXPECT_EQ(Count(text, "<session ") - Count(text, "continued=\"yes\""), 2) << "one session per writer";
  EXPECT_EQ(Count(text, "entries not logged"), 0);
}

// Deletes the log (its name gone at once, as current Windows deletes; Wine
// would keep the name until the writer's handle is closed) or moves it away
// to a name of its own.
bool TakeAway(const std::wstring& log, bool deleted) {
  static int moves = 0;
  const std::wstring aside = log + (deleted ? L".deleted" : L".old" + std::to_wstring(++moves));
  return MoveFileW(log.c_str(), aside.c_str()) && (!deleted || DeleteFileW(aside.c_str()));
}

// The file in trouble during a session: entries wait for it and are written
// once it is back; a file deleted or moved away is started again at its path.
TEST_F(MonitorLibrary, EntriesOutliveALogHeldDeletedOrMoved) {
  enum Trouble { kLockedByAnotherWriter, kHeldWithoutWriteSharing, kDeleted, kMovedAway };
  struct Case {
    Trouble trouble;
    const char* name;
    int writtenDuring;  // readings in the file at the path while in trouble
    int writtenAfter;   // ... at the end
  } const cases[] = {
      {kLockedByAnotherWriter, "locked by another writer (another spelling)", 1, 1 + 3 + 1},
      {kHeldWithoutWriteSharing, "held open without write sharing", 0, 3 + 1},
      {kDeleted, "deleted", 3, 3 + 1},
      {kMovedAway, "moved away", 3, 3 + 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring log = dir / (L"trouble" + std::to_wstring(++n) + L".txt");
    const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Trouble" + std::to_wstring(n) + L".dll");
    test::WriteUserSettings(reg.User(), library, log, 1);
    PassThruApi api;
    ASSERT_TRUE(api.Load(library));
    HANDLE held = INVALID_HANDLE_VALUE;
    if (c.trouble == kHeldWithoutWriteSharing) {
      held = CreateFileW(log.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    } else {
      Readings(api, 1);
      ASSERT_EQ(Count(LogWith(log, "READ_VBATT", 1), "READ_VBATT"), 1);
      wchar_t full[MAX_PATH];
      GetFullPathNameW(log.c_str(), MAX_PATH, full, nullptr);
      if (c.trouble == kLockedByAnotherWriter) {
        held = monitor::HoldLogFile(L"\\\\?\\" + std::wstring(full));
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
      } else {
        ASSERT_TRUE(TakeAway(log, c.trouble == kDeleted));
      }
    }
    Readings(api, 3);
    std::string text;
    if (c.writtenDuring == 3) {
      text = LogWith(log, "READ_VBATT", 3);
    } else {
      test::ReadFileText(log, &text);  // nothing can have been written: the file is not free
    }
    EXPECT_EQ(Count(text, "READ_VBATT"), c.writtenDuring);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    Readings(api, 1);
    text = LogWith(log, "READ_VBATT", c.writtenAfter);
    EXPECT_EQ(Count(text, "READ_VBATT"), c.writtenAfter) << text;
    EXPECT_EQ(Count(text, "entries not logged"), 0) << text;
    if (c.trouble == kDeleted || c.trouble == kMovedAway) {
      // Once more in the same session: the writer looks again every time.
      ASSERT_TRUE(TakeAway(log, c.trouble == kDeleted));
      Readings(api, 2);
      text = LogWith(log, "READ_VBATT", 2);
      EXPECT_EQ(Count(text, "READ_VBATT"), 2) << "taken away a second time";
    }
    ASSERT_TRUE(FreeLibrary(api.module));
  }
}

// The child of the next test: logs to a file with Overwrite and keeps logging
// (the file open) until told to end.
TEST(MonitorLibraryChild, LogsAndStaysUntilTold) {
  wchar_t folder[MAX_PATH];
  if (GetEnvironmentVariableW(L"VARROW_MONITOR_OVERWRITE_CHILD", folder, MAX_PATH) == 0) {
    GTEST_SKIP() << "run by MonitorLibrary.OverwriteStartsAfreshOnlyWhenNoOneElseLogs";
  }
  test::RedirectedRegistry reg;
  const std::wstring library = std::wstring(folder) + L"\\First.dll";
  test::WriteUserSettings(reg.User(), library, std::wstring(folder) + L"\\overwrite.xml", 2, /*overwrite*/ 1);
  PassThruApi api;
  if (!api.Load(library)) ExitProcess(2);
  Readings(api, 5);
  HANDLE logged = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"VarrowOverwriteChildLogged");
  HANDLE end = OpenEventW(SYNCHRONIZE, FALSE, L"VarrowOverwriteChildEnd");
  if (logged == nullptr || end == nullptr) ExitProcess(3);
  SetEvent(logged);
  WaitForSingleObject(end, 60000);
  Readings(api, 5);
  ExitProcess(0);
}

TEST_F(MonitorLibrary, OverwriteStartsAfreshOnlyWhenNoOneElseLogs) {
  const std::wstring log = dir / L"overwrite.xml";
  ASSERT_TRUE(test::WriteFileText(log, "old content of another day"));
  test::InstallMonitor(dir, reg.Machine(), L"First.dll");
  const std::wstring second = test::InstallMonitor(dir, reg.Machine(), L"Second.dll");
  test::WriteUserSettings(reg.User(), second, log, 2, /*overwrite*/ 1);
  HANDLE logged = CreateEventW(nullptr, TRUE, FALSE, L"VarrowOverwriteChildLogged");
  HANDLE end = CreateEventW(nullptr, TRUE, FALSE, L"VarrowOverwriteChildEnd");
  ASSERT_NE(logged, nullptr);
  ASSERT_NE(end, nullptr);
  SetEnvironmentVariableW(L"VARROW_MONITOR_OVERWRITE_CHILD", dir.Path().c_str());
  HANDLE child = StartChild(L"MonitorLibraryChild.LogsAndStaysUntilTold");
  SetEnvironmentVariableW(L"VARROW_MONITOR_OVERWRITE_CHILD", nullptr);
  ASSERT_NE(child, nullptr);
  const HANDLE either[2] = {logged, child};
  EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, 60000), WAIT_OBJECT_0) << "the child did not log";
  // The first process is logging to the file: this one appends, and says so.
  PassThruApi api;
  ASSERT_TRUE(api.Load(second));
  Readings(api, 7);
  SetEvent(end);
  EXPECT_EQ(EndOfChild(child), 0u);
  CloseHandle(logged);
  CloseHandle(end);
  const std::string text = ReadLog(log);
  EXPECT_EQ(test::XmlProblem(text), "");
  EXPECT_EQ(text.find("old content"), std::string::npos) << "the first process started the file afresh";
  EXPECT_EQ(Count(text, "READ_VBATT"), 5 + 7 + 5) << "a session of the first process was erased";
  EXPECT_NE(text.find("another program is logging to this file: this session is appended"), std::string::npos);
  ASSERT_TRUE(FreeLibrary(api.module));
}

// The child of the next test: a session that ends the process without closing.
// With VARROW_MONITOR_EXIT_LOCKED set, the writer thread is killed first (the
// queue then waits for the exit), and the monitor's heaps are locked by a
// thread that the exit ends while it holds them.
DWORD WINAPI HoldHeaps(void* heaps) {
  for (HANDLE* heap = static_cast<HANDLE*>(heaps); *heap != nullptr; ++heap) HeapLock(*heap);
  SetEvent(static_cast<HANDLE*>(heaps)[63]);
  Sleep(INFINITE);
  return 0;
}

std::vector<DWORD> OtherThreads() {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{sizeof entry};
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId() && entry.th32ThreadID != GetCurrentThreadId()) {
      ids.push_back(entry.th32ThreadID);
    }
  }
  CloseHandle(snapshot);
  return ids;
}

// Ends every thread of this process that is not in `before` (the monitor's
// writer), as the process's end would; false when one cannot be ended.
bool EndThreadsSince(const std::vector<DWORD>& before) {
  for (DWORD id : OtherThreads()) {
    if (std::find(before.begin(), before.end(), id) != before.end()) continue;
    HANDLE thread = OpenThread(THREAD_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (thread == nullptr || !TerminateThread(thread, 9)) return false;
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
  }
  return true;
}

TEST(MonitorLibraryChild, ExitsWithCallsQueued) {
  wchar_t folder[MAX_PATH];
  if (GetEnvironmentVariableW(L"VARROW_MONITOR_EXIT_CHILD", folder, MAX_PATH) == 0) {
    GTEST_SKIP() << "run by MonitorLibrary.WritesWhatIsQueuedWhenTheProcessExits";
  }
  const bool locked = GetEnvironmentVariableW(L"VARROW_MONITOR_EXIT_LOCKED", nullptr, 0) != 0;
  test::RedirectedRegistry reg;  // left behind: the process ends without cleaning up
  const std::wstring library = std::wstring(folder) + L"\\Exit.dll";
  CopyFileW((test::BinFolder() + L"\\OvraJ2534Mon" VARROW_BITS_TEXT L".dll").c_str(), library.c_str(), FALSE);
  CopyFileW((test::BinFolder() + L"\\FakePassThru.dll").c_str(), AsidePath(library).c_str(), FALSE);
  test::WriteUserSettings(reg.User(), library, std::wstring(folder) + L"\\exit.xml", 2);
  HANDLE before[64] = {};
  const DWORD heapsBefore = std::min<DWORD>(GetProcessHeaps(64, before), 64);
  const std::vector<DWORD> threadsBefore = OtherThreads();
  PassThruApi api;
  if (!api.Load(library)) ExitProcess(2);
  ULong device = 0;
  api.Open(nullptr, &device);
  Sleep(300);  // written by the writer thread
  if (locked && !EndThreadsSince(threadsBefore)) ExitProcess(3);
  for (int i = 0; i < 200; ++i) api.StopPeriodicMsg(1, i);
  api.StopMsgFilter(1, 4242);  // the last call, still queued now
  if (locked) {
    HANDLE all[64] = {};
    const DWORD heaps = std::min<DWORD>(GetProcessHeaps(62, all), 62);
    HANDLE made[64] = {};
    int n = 0;
    for (DWORD i = 0; i < heaps; ++i) {
      if (std::find(before, before + heapsBefore, all[i]) == before + heapsBefore) made[n++] = all[i];
    }
    if (n == 0) ExitProcess(4);
    made[63] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, &HoldHeaps, made, 0, nullptr));
    WaitForSingleObject(made[63], 10000);
  }
  ExitProcess(0);
}

TEST_F(MonitorLibrary, WritesWhatIsQueuedWhenTheProcessExits) {
  for (const bool locked : {false, true}) {
    SCOPED_TRACE(locked ? "writer thread killed, heaps held by a dead thread" : "plain exit");
    SetEnvironmentVariableW(L"VARROW_MONITOR_EXIT_CHILD", dir.Path().c_str());
    SetEnvironmentVariableW(L"VARROW_MONITOR_EXIT_LOCKED", locked ? L"1" : nullptr);
    DeleteFileW((dir / L"exit.xml").c_str());
    HANDLE child = StartChild(L"MonitorLibraryChild.ExitsWithCallsQueued");
    SetEnvironmentVariableW(L"VARROW_MONITOR_EXIT_CHILD", nullptr);
    SetEnvironmentVariableW(L"VARROW_MONITOR_EXIT_LOCKED", nullptr);
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(EndOfChild(child), 0u) << "the child failed or its exit hung";
    const std::string text = ReadLog(dir / L"exit.xml");
    EXPECT_EQ(test::XmlProblem(text), "");
    EXPECT_EQ(Count(text, "function=\"PassThruStopPeriodicMsg\""), 200);
    EXPECT_NE(text.find(">4242<"), std::string::npos) << "the last call was lost at exit";
  }
}

// The child of the next test: a session with Overwrite on a log that the
// parent, as a viewer, has mapped (a process of its own: the file is new to it).
TEST(MonitorLibraryChild, LogsWithOverwrite) {
  wchar_t folder[MAX_PATH];
  if (GetEnvironmentVariableW(L"VARROW_MONITOR_MAPPED_CHILD", folder, MAX_PATH) == 0) {
    GTEST_SKIP() << "run by MonitorLibrary.AMappedLogIsAppendedToWithANote";
  }
  test::RedirectedRegistry reg;
  const std::wstring library = std::wstring(folder) + L"\\Mapped.dll";
  CopyFileW((test::BinFolder() + L"\\OvraJ2534Mon" VARROW_BITS_TEXT L".dll").c_str(), library.c_str(), FALSE);
  CopyFileW((test::BinFolder() + L"\\FakePassThru.dll").c_str(), AsidePath(library).c_str(), FALSE);
  test::WriteUserSettings(reg.User(), library, std::wstring(folder) + L"\\mapped.txt", 1, /*overwrite*/ 1);
  PassThruApi api;
  if (!api.Load(library)) ExitProcess(2);
  Readings(api, 3);
  ExitProcess(0);
}

// A viewer maps the log while a session with Overwrite starts it: the file
// cannot be cut, so the session is appended after what was there, with a note.
TEST_F(MonitorLibrary, AMappedLogIsAppendedToWithANote) {
  const std::wstring log = dir / L"mapped.txt";
  ASSERT_TRUE(test::WriteFileText(log, "yesterday's session\r\n"));
  HANDLE file = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  SetEnvironmentVariableW(L"VARROW_MONITOR_MAPPED_CHILD", dir.Path().c_str());
  HANDLE child = StartChild(L"MonitorLibraryChild.LogsWithOverwrite");
  SetEnvironmentVariableW(L"VARROW_MONITOR_MAPPED_CHILD", nullptr);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(EndOfChild(child), 0u);
  const std::string text = ReadLog(log);
  EXPECT_EQ(text.rfind("yesterday's session", 0), 0u);
  EXPECT_NE(text.find("another program has this file mapped"), std::string::npos) << text;
  EXPECT_EQ(Count(text, "READ_VBATT"), 3) << "the session was lost";
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);
}

// The child of the next test: the log is held by this process without sharing
// while it logs, so the monitor never opens it; the writer thread is ended,
// more calls are queued, and the file is let go just before the process ends.
TEST(MonitorLibraryChild, ExitsWithTheLogNeverOpened) {
  wchar_t folder[MAX_PATH];
  if (GetEnvironmentVariableW(L"VARROW_MONITOR_UNOPENED_CHILD", folder, MAX_PATH) == 0) {
    GTEST_SKIP() << "run by MonitorLibrary.AtExitOnlyAFileAlreadyOpenIsWritten";
  }
  test::RedirectedRegistry reg;  // left behind: the process ends without cleaning up
  const std::wstring library = std::wstring(folder) + L"\\Unopened.dll";
  const std::wstring log = std::wstring(folder) + L"\\unopened.xml";
  CopyFileW((test::BinFolder() + L"\\OvraJ2534Mon" VARROW_BITS_TEXT L".dll").c_str(), library.c_str(), FALSE);
  CopyFileW((test::BinFolder() + L"\\FakePassThru.dll").c_str(), AsidePath(library).c_str(), FALSE);
  test::WriteUserSettings(reg.User(), library, log, 2);
  HANDLE held = CreateFileW(log.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) ExitProcess(2);
  const std::vector<DWORD> threadsBefore = OtherThreads();
  PassThruApi api;
  if (!api.Load(library)) ExitProcess(3);
  ULong device = 0;
  api.Open(nullptr, &device);
  if (!EndThreadsSince(threadsBefore)) ExitProcess(4);
  for (int i = 0; i < 50; ++i) api.StopPeriodicMsg(1, i);
  CloseHandle(held);
  ExitProcess(0);
}

// At exit the monitor writes only through a file it already has open: it
// opens none then (that resolves paths, builds an access list and allocates,
// where a thread gone may hold the heap's lock).
TEST_F(MonitorLibrary, AtExitOnlyAFileAlreadyOpenIsWritten) {
  SetEnvironmentVariableW(L"VARROW_MONITOR_UNOPENED_CHILD", dir.Path().c_str());
  HANDLE child = StartChild(L"MonitorLibraryChild.ExitsWithTheLogNeverOpened");
  SetEnvironmentVariableW(L"VARROW_MONITOR_UNOPENED_CHILD", nullptr);
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(EndOfChild(child), 0u) << "the child failed or its exit hung";
  std::string text;
  ASSERT_TRUE(test::ReadFileText(dir / L"unopened.xml", &text));
  EXPECT_EQ(text, "") << "the log was opened at exit";
}

// The original's unload runs with the stack a thread of the program gets:
// vendor code with large buffers on the stack in its detach unloads whole.
TEST_F(MonitorLibrary, TheOriginalIsLetGoOnAFullSizedStack) {
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"DeepDetach.dll");
  test::WriteUserSettings(reg.User(), library, dir / L"deep.txt", 1);
  PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  Readings(api, 1);
  fake::State* original = test::FakeStateOf(library);
  ASSERT_NE(original, nullptr);
  original->detachStackBytes = 512 * 1024;
  SetEnvironmentVariableW(L"FAKE_PASSTHRU_DETACH_STACK", nullptr);
  FreeLibrary(GetModuleHandleW(AsidePath(library).c_str()));  // the reference FakeStateOf took
  ASSERT_TRUE(FreeLibrary(api.module));
  EXPECT_TRUE(test::WaitUntilUnloaded(AsidePath(library), 20000)) << "the original stays loaded";
  // Wine gives a thread asked for 64 KiB more than that: the reservation is read back too.
  wchar_t reserved[24] = L"0";
  GetEnvironmentVariableW(L"FAKE_PASSTHRU_DETACH_STACK", reserved, 24);
  const auto* image = reinterpret_cast<const char*>(GetModuleHandleW(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
  EXPECT_GE(wcstoul(reserved, nullptr, 10), nt->OptionalHeader.SizeOfStackReserve) << "the program's default stack";
}

// The original answers fewer messages than the application made room for:
// the log shows the room offered and the count the original returned.
TEST_F(MonitorLibrary, LogsTheCountReadNotTheRoomOffered) {
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Few.dll");
  const std::wstring log = dir / L"few.csv";
  test::WriteUserSettings(reg.User(), library, log, 3);
  PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  fake::State* original = test::FakeStateOf(library);
  ASSERT_NE(original, nullptr);
  original->readAvailable = 2;
  static PassThruMsg read[7];
  ULong count = 7;
  EXPECT_EQ(api.ReadMsgs(fake::kChannelId, read, &count, 0), STATUS_NOERROR);
  EXPECT_EQ(count, 2u);
  ULong device = 0;
  EXPECT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  EXPECT_EQ(api.Close(device), STATUS_NOERROR);  // writes the log
  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(test::ParseCsv(ReadLog(log), &rows));
  std::string readEntry;
  for (const auto& row : rows) {
    for (const std::string& field : row) {
      if (field.find("NumMsgs (room)") != std::string::npos) {
        for (const std::string& all : row) readEntry += all + "|";
      }
    }
  }
  ASSERT_FALSE(readEntry.empty()) << "no PassThruReadMsgs entry";
  const std::size_t room = readEntry.find("NumMsgs (room)");
  const std::size_t got = readEntry.find("NumMsgs (read)");
  ASSERT_NE(got, std::string::npos) << readEntry;
  // The first number after each name.
  const auto numberAfter = [&](std::size_t at) {
    const std::size_t digit = readEntry.find_first_of("0123456789", readEntry.find(')', at));
    return digit == std::string::npos ? std::string() : readEntry.substr(digit, readEntry.find_first_not_of("0123456789", digit) - digit);
  };
  EXPECT_EQ(numberAfter(room), "7") << readEntry;
  EXPECT_EQ(numberAfter(got), "2") << readEntry;
}

// The registration names the monitor's folder in other letter case (and by
// a longer way): the monitor still finds its settings there.
TEST_F(MonitorLibrary, FindsItsSettingsWhereTheFolderIsSpelledInOtherCase) {
  ASSERT_TRUE(test::MakeDir(dir / L"Case Folder"));
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Case Folder\\Folded.dll");
  const std::wstring registered = dir / L"CASE FOLDER\\sub\\..\\Folded.dll";
  test::SetString(reg.Machine(),
                  L"SOFTWARE\\PassThruSupport.04.04\\" + test::DeviceKeyName(L"Case Folder\\Folded.dll"),
                  L"FunctionLibrary", registered);
  test::WriteUserSettings(reg.User(), registered, dir / L"folded.txt", 1);
  PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  ULong device = 0;
  EXPECT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  EXPECT_EQ(api.Close(device), STATUS_NOERROR);
  EXPECT_NE(ReadLog(dir / L"folded.txt").find("PassThruClose"), std::string::npos);
}

}  // namespace
}  // namespace varrow
