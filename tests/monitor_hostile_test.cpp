// The monitor libraries as a guest in a careless or hostile application: bad
// pointers handed to the J2534 monitor where the original answers with an
// error without touching them (a crash of this test program is the failure;
// pointers lead into a no-access page, so that any read faults), the first
// calls of both monitors on a thread with a small stack, and what they import.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>

#include "monitoring/path_rules.h"
#include "pdu/dpdu.h"

#include "tests/helpers/page_end.h"
#include "tests/monitor_fixture.h"

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

TEST(MonitorHostile, OutParametersOfFailedCallsAreNeverRead) {
  test::ScratchDir dir;
  test::RedirectedRegistry reg;
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Hostile.dll");
  const std::wstring log = dir / L"hostile.txt";
  test::WriteUserSettings(reg.User(), library, log, 1);
  PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  fake::State* original = test::FakeStateOf(library);
  ASSERT_NE(original, nullptr);
  test::PageEnd page;
  ASSERT_TRUE(page.Ok());
  test::EndProcessOnFault();
  ULong* bad = page.NoAccess<ULong>();
  PassThruMsg* badMsg = page.NoAccess<PassThruMsg>();
  // One whole message right before the no-access page, where the application claims five.
  PassThruMsg* lastMsg = page.Last<PassThruMsg>(sizeof(PassThruMsg));
  *lastMsg = CanMessage(8, 0x40);
  ULong five = 5;
  PassThruMsg msg = CanMessage(4, 1);

  struct Case {
    const char* what;
    Long code;  // what the original answers, looking at no pointer
    std::function<Long()> call;
  };
  const Case cases[] = {
      {"Open of a device already open", ERR_DEVICE_IN_USE, [&] { return api.Open(nullptr, bad); }},
      {"Connect on an unknown device", ERR_INVALID_DEVICE_ID,
       [&] { return api.Connect(77, CAN, 0, 500000, bad); }},
      {"StartPeriodicMsg with a bad interval", ERR_INVALID_TIME_INTERVAL,
       [&] { return api.StartPeriodicMsg(1, &msg, bad, 1); }},
      {"flow-control filter on CAN", ERR_INVALID_FILTER_ID,
       [&] { return api.StartMsgFilter(1, FLOW_CONTROL_FILTER, &msg, &msg, &msg, bad); }},
      {"WriteMsgs on an unknown channel", ERR_INVALID_CHANNEL_ID,
       [&] { return api.WriteMsgs(99, badMsg, bad, 0); }},
      {"ReadMsgs on an unknown channel", ERR_INVALID_CHANNEL_ID,
       [&] { return api.ReadMsgs(99, badMsg, bad, 0); }},
      {"WriteMsgs claiming five messages where one can be read", ERR_INVALID_CHANNEL_ID,
       [&] { return api.WriteMsgs(98, lastMsg, &five, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    original->forcedResult = c.code;
    EXPECT_EQ(c.call(), c.code);
  }
  original->forcedResult = -1;
  ULong device = 0;
  ASSERT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  ASSERT_EQ(api.Close(device), STATUS_NOERROR);  // flushes the log

  std::string text;
  ASSERT_TRUE(test::ReadFileText(log, &text));
  EXPECT_EQ(Count(text, "(not written)"), 4) << text;
  EXPECT_EQ(Count(text, "(not readable)"), 4) << "two counts, each before and after the call";
  EXPECT_NE(text.find("40 41 42 43 44 45 46 47"), std::string::npos) << "the readable message";
  EXPECT_NE(text.find("4 more not logged"), std::string::npos);
}

// The first call of a process on a thread whose stack the application asked
// to be small: how deep into its stack the call reaches.
struct StackProbe {
  std::function<void()> call;
  std::size_t depth = 0;    // bytes below the caller's frame that the call wrote
  bool measured = false;
};

constexpr std::uint8_t kStackFill = 0xA5;
constexpr std::size_t kStackWindow = 256 * 1024;

// Grows the committed stack down to `bottom` page by page, as deep calls would.
__attribute__((noinline)) void TouchStack(std::uintptr_t bottom) {
  volatile char frame[2048];
  frame[sizeof frame - 1] = 0;
  frame[0] = 0;
  if (reinterpret_cast<std::uintptr_t>(&frame[0]) > bottom + sizeof frame) TouchStack(bottom);
  frame[1] = 1;  // no tail call: every frame stays on the stack
}

DWORD WINAPI ProbeStack(void* argument) {
  auto* probe = static_cast<StackProbe*>(argument);
  volatile char here = 0;
  const auto top = reinterpret_cast<std::uintptr_t>(&here) - 1024;  // below this frame
  // The window below us: committed first, as far as the reservation allows
  // (Windows keeps the 64 KB asked for; Wine raises it).
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(reinterpret_cast<void*>(top - 1), &info, sizeof info) == 0) return 1;
  const auto reservation = reinterpret_cast<std::uintptr_t>(info.AllocationBase);
  std::uintptr_t bottom = reservation + 16 * 1024;
  if (top - bottom > kStackWindow) bottom = top - kStackWindow;
  TouchStack(bottom);
  // The committed, writable pages right below us (one region each under Wine).
  std::uintptr_t low = top;
  while (low > bottom && VirtualQuery(reinterpret_cast<void*>(low - 1), &info, sizeof info) != 0 &&
         info.State == MEM_COMMIT && (info.Protect & PAGE_READWRITE) != 0 &&
         (info.Protect & PAGE_GUARD) == 0) {
    low = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
  }
  if (low < bottom) low = bottom;
  // Marks the window, calls, and finds the lowest byte the call changed.
  std::memset(reinterpret_cast<void*>(low), kStackFill, top - low);
  probe->call();
  std::uintptr_t at = low;
  while (at < top && *reinterpret_cast<const std::uint8_t*>(at) == kStackFill) ++at;
  probe->depth = top - at;
  probe->measured = at > low;  // else the call may have gone deeper than we can see
  return 0;
}

// Runs `call` on a new thread with a 64 KB stack reservation; the depth it reached.
StackProbe OnSmallStack(std::function<void()> call) {
  StackProbe probe;
  probe.call = std::move(call);
  HANDLE thread = CreateThread(nullptr, 64 * 1024, &ProbeStack, &probe,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  EXPECT_NE(thread, nullptr);
  if (thread == nullptr) return probe;
  EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
  CloseHandle(thread);
  return probe;
}

TEST(MonitorHostile, FirstCallsFitIntoA16KbStack) {
  test::ScratchDir dir;
  test::RedirectedRegistry reg;
  // Registrations of other libraries, one of them by a bare name, as on a real PC.
  test::SetString(reg.Machine(), L"SOFTWARE\\PassThruSupport.04.04\\Other", L"FunctionLibrary",
                  L"OtherPassThru.dll");
  const std::wstring j2534 = test::InstallMonitor(dir, reg.Machine(), L"Small.dll");
  test::WriteUserSettings(reg.User(), j2534, dir / L"small.txt", 1);
  const std::wstring pdu = dir / L"SmallPdu.dll";
  ASSERT_TRUE(CopyFileW((test::BinFolder() + L"\\OvraPduMon32.dll").c_str(), pdu.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW((test::BinFolder() + L"\\OvraSimPdu32.dll").c_str(),
                        (dir / L"_SmallPdu.dll").c_str(), FALSE));
  test::SetString(reg.User(), L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\PDU API\\" + SettingsKeyName(pdu),
                  L"OutputFile", dir / L"small-pdu.txt");
  PassThruApi api;
  ASSERT_TRUE(api.Load(j2534));
  HMODULE pduModule = LoadLibraryW(pdu.c_str());
  ASSERT_NE(pduModule, nullptr);
  const auto construct = reinterpret_cast<pdu::PDUConstructFn>(
      reinterpret_cast<void*>(GetProcAddress(pduModule, "PDUConstruct")));
  const auto destruct = reinterpret_cast<pdu::PDUDestructFn>(
      reinterpret_cast<void*>(GetProcAddress(pduModule, "PDUDestruct")));
  ASSERT_TRUE(construct != nullptr && destruct != nullptr);

  ULong device = 0;
  Long openCode = -1;
  pdu::T_PDU_ERROR constructCode = 0xFFFFFFFF;
  const struct {
    const char* what;
    std::function<void()> call;
  } firstCalls[] = {
      {"PassThruOpen", [&] { openCode = api.Open(nullptr, &device); }},
      {"PDUConstruct", [&] { constructCode = construct(nullptr, nullptr); }},
  };
  for (const auto& first : firstCalls) {
    SCOPED_TRACE(first.what);
    const StackProbe probe = OnSmallStack(first.call);
    EXPECT_TRUE(probe.measured) << probe.depth << " bytes or more";
    EXPECT_LE(probe.depth, 16u * 1024) << "bytes of the caller's stack";
  }
  EXPECT_EQ(openCode, STATUS_NOERROR);
  EXPECT_EQ(constructCode, pdu::PDU_STATUS_NOERROR);
  EXPECT_EQ(api.Close(device), STATUS_NOERROR);
  EXPECT_EQ(destruct(), pdu::PDU_STATUS_NOERROR);
  FreeLibrary(pduModule);
}

// The names of the DLLs a PE file imports, read from its import table
// (empty when the file cannot be read or is not a 32-bit PE image).
std::vector<std::string> ImportedDlls(const std::wstring& path) {
  std::string file;
  if (!test::ReadFileText(path, &file)) return {};
  const auto at = [&](std::size_t offset, std::size_t size) {
    return offset <= file.size() && size <= file.size() - offset ? file.data() + offset : nullptr;
  };
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
  if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return {};
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
      at(static_cast<std::size_t>(dos->e_lfanew), sizeof(IMAGE_NT_HEADERS32)));
  if (nt == nullptr || nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    return {};
  }
  const std::size_t sectionsAt = static_cast<std::size_t>(dos->e_lfanew) + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                 nt->FileHeader.SizeOfOptionalHeader;
  const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
      at(sectionsAt, nt->FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER)));
  if (sections == nullptr) return {};
  const auto offsetOf = [&](DWORD rva) -> std::size_t {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& s = sections[i];
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
        return rva - s.VirtualAddress + s.PointerToRawData;
    }
    return SIZE_MAX;
  };
  std::vector<std::string> names;
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  std::size_t descriptor = offsetOf(imports.VirtualAddress);
  for (int i = 0; i < 256; ++i, descriptor += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(descriptor, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
    if (d == nullptr || d->Name == 0) break;
    const std::size_t name = offsetOf(d->Name);
    if (at(name, 1) == nullptr) break;
    names.emplace_back(file.c_str() + name);
  }
  return names;
}

// Only kernel32, advapi32 and the C runtime: user32 (also through shlwapi or
// gdi32) would load window code into every host, and a host that has it
// disabled could not load the monitor at all.
TEST(MonitorHostile, MonitorsImportNothingButKernel32Advapi32AndTheRuntime) {
  for (const wchar_t* library : {L"OvraJ2534Mon32.dll", L"OvraPduMon32.dll"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(library)));
    const std::vector<std::string> dlls = ImportedDlls(test::BinFolder() + L"\\" + library);
    EXPECT_FALSE(dlls.empty()) << "the import table was not read";
    for (const std::string& dll : dlls) {
      const bool allowed = _stricmp(dll.c_str(), "kernel32.dll") == 0 ||
                           _stricmp(dll.c_str(), "advapi32.dll") == 0 ||
                           _stricmp(dll.c_str(), "msvcrt.dll") == 0 ||
                           _strnicmp(dll.c_str(), "api-ms-win-crt-", 15) == 0 ||
                           _strnicmp(dll.c_str(), "vcruntime", 9) == 0;
      EXPECT_TRUE(allowed) << dll;
    }
  }
}

}  // namespace
}  // namespace varrow
