// The monitor libraries as a guest in a careless or hostile application: bad
// pointers handed to the J2534 monitor where the original answers with an
// error without touching them (pointers into a no-access page: any read
// faults and ends the test), first calls on a small stack, and the imports.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "monitoring/path_rules.h"
#include "pdu/dpdu.h"
#include "tests/helpers/page_end.h"
#include "tests/monitor_fixture.h"
#include "hosted/arch.h"
#include "monitor/settings_lookup.h"

namespace varrow {
namespace {

using namespace passthru;

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(MonitorHostile, OutParametersOfFailedCallsAreNeverRead) {
  test::ScratchDir dir;
  test::RedirectedRegistry reg;
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Hostile.dll");
  test::WriteUserSettings(reg.User(), library, dir / L"hostile.txt", 1);
  test::PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  fake::State* original = test::FakeStateOf(library);
  test::PageEnd page;
  ASSERT_TRUE(original != nullptr && page.Ok());
  test::EndProcessOnFault();
  ULong* bad = page.NoAccess<ULong>();
  auto* badMsg = page.NoAccess<PassThruMsg>();
  auto* lastMsg = page.Last<PassThruMsg>(sizeof(PassThruMsg));  // one message where five are claimed
  *lastMsg = test::CanMessage(8, 0x40);
  ULong five = 5;
  PassThruMsg msg = test::CanMessage(4, 1);
  const std::pair<Long, std::function<Long()>> cases[] = {  // the original's answer, the call
      {ERR_DEVICE_IN_USE, [&] { return api.Open(nullptr, bad); }},
      {ERR_INVALID_DEVICE_ID, [&] { return api.Connect(77, CAN, 0, 500000, bad); }},
      {ERR_INVALID_TIME_INTERVAL, [&] { return api.StartPeriodicMsg(1, &msg, bad, 1); }},
      {ERR_INVALID_FILTER_ID, [&] { return api.StartMsgFilter(1, FLOW_CONTROL_FILTER, &msg, &msg, &msg, bad); }},
      {ERR_INVALID_CHANNEL_ID, [&] { return api.WriteMsgs(99, badMsg, bad, 0); }},
      {ERR_INVALID_CHANNEL_ID, [&] { return api.ReadMsgs(99, badMsg, bad, 0); }},
      {ERR_INVALID_CHANNEL_ID, [&] { return api.WriteMsgs(98, lastMsg, &five, 0); }},
  };
  for (const auto& [code, call] : cases) {
    original->forcedResult = code;
    EXPECT_EQ(call(), code);
  }
  original->forcedResult = -1;
  ULong device = 0;
  ASSERT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  ASSERT_EQ(api.Close(device), STATUS_NOERROR);  // flushes the log
  std::string text;
  ASSERT_TRUE(test::ReadFileText(dir / L"hostile.txt", &text));
  EXPECT_EQ(Count(text, "(not written)"), 4) << text;
  EXPECT_EQ(Count(text, "(not readable)"), 4) << "two counts, before and after the call";
  EXPECT_NE(text.find("40 41 42 43 44 45 46 47"), std::string::npos) << "the readable message";
  EXPECT_NE(text.find("4 more not logged"), std::string::npos);
}

// Grows the committed stack down to `bottom` page by page, as deep calls would.
__attribute__((noinline)) void TouchStack(std::uintptr_t bottom) {
  volatile char frame[2048];
  frame[0] = 0;
  frame[sizeof frame - 1] = 0;
  if (reinterpret_cast<std::uintptr_t>(&frame[0]) > bottom + sizeof frame) TouchStack(bottom);
  frame[1] = 1;  // no tail call
}

struct StackJob {
  std::function<void()> call;
  std::size_t depth = 0;  // bytes below the thread's frame the call wrote; 0: the whole window
};

DWORD WINAPI MeasureStack(void* argument) {
  auto* job = static_cast<StackJob*>(argument);
  volatile char here = 0;
  const auto top = reinterpret_cast<std::uintptr_t>(&here) - 1024;
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(reinterpret_cast<void*>(top - 1), &info, sizeof info);
  const std::uintptr_t bottom = std::max<std::uintptr_t>(
      reinterpret_cast<std::uintptr_t>(info.AllocationBase) + 16384, top - 262144);
  TouchStack(bottom);
  std::uintptr_t low = top;  // the committed pages below us (one region each under Wine)
  while (low > bottom && VirtualQuery(reinterpret_cast<void*>(low - 1), &info, sizeof info) != 0 &&
         info.State == MEM_COMMIT && (info.Protect & PAGE_READWRITE) != 0)
    low = std::max(bottom, reinterpret_cast<std::uintptr_t>(info.BaseAddress));
  std::memset(reinterpret_cast<void*>(low), 0xA5, top - low);  // a pattern the call overwrites
  job->call();
  std::uintptr_t at = low;
  while (at < top && *reinterpret_cast<const std::uint8_t*>(at) == 0xA5) ++at;
  job->depth = at > low ? top - at : 0;
  return 0;
}

// How deep `call` reaches into a new thread's stack of 64 KB reserved.
std::size_t StackDepth(std::function<void()> call) {
  StackJob job{std::move(call)};
  HANDLE thread = CreateThread(nullptr, 65536, &MeasureStack, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
  CloseHandle(thread);
  return job.depth;
}

TEST(MonitorHostile, FirstCallsFitIntoA16KbStack) {
  test::ScratchDir dir;
  test::RedirectedRegistry reg;
  test::SetString(reg.Machine(), L"SOFTWARE\\PassThruSupport.04.04\\Other", L"FunctionLibrary",
                  L"Small.dll");  // a bare name: searched on PATH
  const std::wstring j2534 = test::InstallMonitor(dir, reg.Machine(), L"Small.dll");
  test::WriteUserSettings(reg.User(), j2534, dir / L"small.txt", 1);
  const std::wstring pdu = dir / L"SmallPdu.dll";
  ASSERT_TRUE(CopyFileW((test::BinFolder() + L"\\OvraPduMon" VARROW_BITS_TEXT L".dll").c_str(), pdu.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW((test::BinFolder() + L"\\OvraSimPdu" VARROW_BITS_TEXT L".dll").c_str(), (dir / L"_SmallPdu.dll").c_str(), FALSE));
  test::SetString(reg.User(), L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\" + monitor::SettingsApiKey(L"PDU API") + L"\\" + SettingsKeyName(pdu),
                  L"OutputFile", dir / L"small-pdu.txt");
  test::PassThruApi api;
  ASSERT_TRUE(api.Load(j2534));
  HMODULE pduModule = LoadLibraryW(pdu.c_str());
  const auto construct = reinterpret_cast<pdu::PDUConstructFn>(
      reinterpret_cast<void*>(GetProcAddress(pduModule, "PDUConstruct")));
  const auto destruct = reinterpret_cast<pdu::PDUDestructFn>(
      reinterpret_cast<void*>(GetProcAddress(pduModule, "PDUDestruct")));
  ASSERT_TRUE(construct != nullptr && destruct != nullptr);
  ULong device = 0;
  Long opened = -1;
  pdu::T_PDU_ERROR constructed = 0xFFFFFFFF;
  for (const std::function<void()>& first : std::initializer_list<std::function<void()>>{
           [&] { opened = api.Open(nullptr, &device); }, [&] { constructed = construct(nullptr, nullptr); }}) {
    const std::size_t depth = StackDepth(first);
    EXPECT_GT(depth, 0u) << "deeper than the measured window";
    EXPECT_LE(depth, 16384u) << "bytes of the caller's stack";
  }
  EXPECT_EQ(opened, STATUS_NOERROR);
  EXPECT_EQ(constructed, pdu::PDU_STATUS_NOERROR);
  EXPECT_EQ(api.Close(device), STATUS_NOERROR);
  EXPECT_EQ(destruct(), pdu::PDU_STATUS_NOERROR);
  FreeLibrary(pduModule);
}

// Another thread of the application changing a configuration list while the
// monitor logs it, stood in for at the one moment that matters: as the
// monitor asks whether the items can be read, the list is pointed at others.
struct Swap {
  const void* watched = nullptr;  // the first items' allocation
  void** slot = nullptr;          // the list's pointer to them
  void* replacement = nullptr;
} g_swap;
using QueryFn = SIZE_T(WINAPI*)(LPCVOID, PMEMORY_BASIC_INFORMATION, SIZE_T);
QueryFn g_realQuery = nullptr;
SIZE_T WINAPI SwappingQuery(LPCVOID at, PMEMORY_BASIC_INFORMATION info, SIZE_T size) {
  const auto* p = static_cast<const char*>(at);
  const auto* watched = static_cast<const char*>(g_swap.watched);
  if (watched != nullptr && p >= watched && p < watched + 4096) *g_swap.slot = g_swap.replacement;
  return g_realQuery(at, info, size);
}

// Points `module`'s import of kernel32's `function` at `hook`; the previous target, or null.
void* PatchImport(HMODULE module, const char* function, void* hook) {
  auto* base = reinterpret_cast<char*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + rva); rva != 0 && d->Name != 0; ++d) {
    if (_stricmp(base + d->Name, "kernel32.dll") != 0 || d->OriginalFirstThunk == 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old)) return nullptr;
      void* previous = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
      VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
      return previous;
    }
  }
  return nullptr;
}

// The list is read once: the items logged are the ones the list pointed to
// when it was read, whatever it points to by the time they are.
TEST(MonitorHostile, ConfigurationListsAreCopiedOnceBeforeTheirItemsAreRead) {
  test::ScratchDir dir;
  test::RedirectedRegistry reg;
  const std::wstring library = test::InstallMonitor(dir, reg.Machine(), L"Swapped.dll");
  const std::wstring log = dir / L"swapped.txt";
  test::WriteUserSettings(reg.User(), library, log, 1);
  test::PassThruApi api;
  ASSERT_TRUE(api.Load(library));
  g_realQuery = reinterpret_cast<QueryFn>(PatchImport(api.module, "VirtualQuery", reinterpret_cast<void*>(&SwappingQuery)));
  ASSERT_NE(g_realQuery, nullptr);
  // Three allocations of their own: the list, the items it names, the others.
  auto page = [] { return VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); };
  void* holder = page();
  void* first = page();
  void* other = page();
  ASSERT_TRUE(holder && first && other);
  struct Row {
    ULong ioctl;
    const char* logged;
    const char* notLogged;
  } const kRows[] = {
      {SET_CONFIG, "DATA_RATE = 500000", "DATA_RATE = 111111"},
      {FIVE_BAUD_INIT, "C1 33 F1", "EE EE EE"},
  };
  for (const Row& row : kRows) {
    void** slot = nullptr;
    if (row.ioctl == SET_CONFIG) {
      static_cast<SConfig*>(first)[0] = {DATA_RATE, 500000};
      static_cast<SConfig*>(other)[0] = {DATA_RATE, 111111};
      auto* list = static_cast<SConfigList*>(holder);
      *list = {1, static_cast<SConfig*>(first)};
      slot = reinterpret_cast<void**>(&list->ConfigPtr);
    } else {
      std::memcpy(first, "\xC1\x33\xF1", 3);
      std::memcpy(other, "\xEE\xEE\xEE", 3);
      auto* array = static_cast<SByteArray*>(holder);
      *array = {3, static_cast<unsigned char*>(first)};
      slot = reinterpret_cast<void**>(&array->BytePtr);
    }
    g_swap = {first, slot, other};
    EXPECT_EQ(api.Ioctl(fake::kChannelId, row.ioctl, holder, nullptr), STATUS_NOERROR);
    g_swap = {};
    EXPECT_EQ(*slot, other) << "the list was not changed while it was logged: the test proves nothing";
  }
  PatchImport(api.module, "VirtualQuery", reinterpret_cast<void*>(g_realQuery));
  ULong device = 0;
  ASSERT_EQ(api.Open(nullptr, &device), STATUS_NOERROR);
  ASSERT_EQ(api.Close(device), STATUS_NOERROR);  // flushes the log
  std::string text;
  ASSERT_TRUE(test::ReadFileText(log, &text));
  for (const Row& row : kRows) {
    EXPECT_NE(text.find(row.logged), std::string::npos) << row.logged << "\n" << text;
    EXPECT_EQ(text.find(row.notLogged), std::string::npos) << row.notLogged;
  }
  FreeLibrary(api.module);
  for (void* p : {holder, first, other}) VirtualFree(p, 0, MEM_RELEASE);
}

// Only kernel32, advapi32 and the C runtime: user32 (also through shlwapi)
// would load window code into every host and fail where that is disabled.
TEST(MonitorHostile, MonitorsImportNothingButKernel32Advapi32AndTheRuntime) {
  for (const wchar_t* name : {L"OvraJ2534Mon" VARROW_BITS_TEXT L".dll", L"OvraPduMon" VARROW_BITS_TEXT L".dll"}) {
    HMODULE image = LoadLibraryExW((test::BinFolder() + L"\\" + name).c_str(), nullptr,
                                   DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    const auto* base = reinterpret_cast<const char*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    int imports = 0;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + rva); rva != 0 && d->Name != 0; ++d, ++imports) {
      const char* dll = base + d->Name;
      EXPECT_TRUE(_stricmp(dll, "kernel32.dll") == 0 || _stricmp(dll, "advapi32.dll") == 0 ||
                  _stricmp(dll, "msvcrt.dll") == 0 || _strnicmp(dll, "api-ms-win-crt-", 15) == 0 ||
                  _strnicmp(dll, "vcruntime", 9) == 0)
          << testing::PrintToString(std::wstring(name)) << " imports " << dll;
    }
    EXPECT_GE(imports, 2);
    FreeLibrary(image);
  }
}

}  // namespace
}  // namespace varrow
