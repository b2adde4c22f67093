// A host that lets the simulated D-PDU VCI go in the wrong order, directly and
// through the monitor: freed without PDUDestruct while a ComPrimitive runs and
// a callback is bound, or left loaded at process exit. The host must go on and
// end; each order runs in a child process of its own, bounded in time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/pdu/pdu_client.h"
#include "tests/test_support.h"
#include "hosted/arch.h"

using namespace pdu;
using namespace pdutest;

namespace {

constexpr wchar_t kOrderVariable[] = L"VARROW_PDU_UNLOAD_ORDER";

// The child: loads the library named by the variable ("<order> <path>"),
// starts an endless cyclic ComPrimitive with a callback bound, and lets go
// as told. Exit code 0: the host went on to its end; 2-4: a step failed.
TEST(PduUnloadOrderChild, LetsGoAsTold) {
  wchar_t value[600] = {};
  const DWORD chars = GetEnvironmentVariableW(kOrderVariable, value, 600);
  if (chars == 0 || chars >= 600) GTEST_SKIP() << "run by PduUnloadOrder.HostGoesOnAndEnds";
  const std::wstring request(value);
  const std::wstring order = request.substr(0, request.find(L' '));
  const std::wstring path = request.substr(request.find(L' ') + 1);
  varrow::test::ScratchRegistry registry;
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, registry.Machine());
  RegOverridePredefKey(HKEY_CURRENT_USER, registry.User());
  varrow::test::ScratchDir logs;
  varrow::test::SetString(registry.Machine(), L"SOFTWARE\\OVRA\\OVRA_VCI", L"LogFileLocation", logs.Path() + L"\\");
  PduLib lib;
  if (!lib.Load(path)) ExitProcess(2);
  std::vector<std::string> transcript;
  const UNUM32 hCLL = OpenLink(lib, transcript);
  if (hCLL == PDU_HANDLE_UNDEF) ExitProcess(3);
  if (lib.RegisterEventCallback(1, hCLL, &CallbackA) != PDU_STATUS_NOERROR) ExitProcess(3);
  UNUM8 testerPresent[] = {0x3E, 0x00};
  PDU_COP_CTRL_DATA ctrl{1, 1, 1, 0, {0, nullptr}, 0, nullptr};
  ctrl.NumSendCycles = -1;
  UNUM32 hCoP = 0;
  if (lib.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, 2, testerPresent, &ctrl, nullptr, &hCoP) !=
      PDU_STATUS_NOERROR)
    ExitProcess(4);
  // Let a few cycles call back first.
  std::size_t calls = 0;
  for (int i = 0; i < 2000 && calls < 3; ++i) {
    calls += TakeCallbacks().size();
    Sleep(1);
  }
  if (order == L"free") {
    FreeLibrary(lib.module);
    lib.module = nullptr;
    Sleep(200);  // the VCI's thread, and the callbacks it owes, go on meanwhile
  }
  ExitProcess(0);  // with the library loaded or not, as the order left it
}

// Starts this program's child test with `request` in its variable and returns its
// exit code once it ended; a child still running after 25 s is ended (~0): a
// run takes well under a second, and the four together stay within the time
// CTest gives a test.
DWORD RunChild(const std::wstring& request) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=PduUnloadOrderChild.LetsGoAsTold";
  SetEnvironmentVariableW(kOrderVariable, request.c_str());
  STARTUPINFOW startup{sizeof startup};
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableW(kOrderVariable, nullptr);
  if (!started) return ~1u;
  CloseHandle(process.hThread);
  DWORD code = ~0u;
  if (WaitForSingleObject(process.hProcess, 25000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  } else {
    TerminateProcess(process.hProcess, ~0u);
    WaitForSingleObject(process.hProcess, 10000);
  }
  CloseHandle(process.hProcess);
  return code;
}

TEST(PduUnloadOrder, HostGoesOnAndEnds) {
  varrow::test::ScratchDir dir;
  ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir.Path(), L"Sim.dll"));
  ASSERT_TRUE(CopyBuilt(L"OvraPduMon" VARROW_BITS_TEXT L".dll", dir.Path(), L"Mon.dll"));
  ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir.Path(), L"_Mon.dll"));
  const struct {
    const wchar_t* order;
    const wchar_t* library;
  } rows[] = {
      {L"free", L"Sim.dll"}, {L"exit", L"Sim.dll"}, {L"free", L"Mon.dll"}, {L"exit", L"Mon.dll"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "order " << testing::PrintToString(std::wstring(row.order)) << ", "
                                    << testing::PrintToString(std::wstring(row.library)));
    EXPECT_EQ(RunChild(std::wstring(row.order) + L" " + (dir / row.library)), 0u);
  }
}

}  // namespace
