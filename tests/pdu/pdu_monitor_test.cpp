// The D-PDU monitor library driven as an application drives it, side by side
// with the simulated D-PDU VCI without the monitor: the same session must see
// the same codes and events, callbacks keep their thread and registrations,
// the log holds the session in every format, "Store with J2534 Data" shares the
// J2534 log, and a missing original fails every call without a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

#include "log/log_format.h"
#include "passthru/j2534.h"
#include "pdu/pdu_names.h"
#include "tests/helpers/page_end.h"
#include "tests/helpers/process_footprint.h"
#include "tests/pdu/pdu_client.h"
#include "tests/test_support.h"
#include "hosted/arch.h"
#include "monitor/settings_lookup.h"

using namespace pdu;
using namespace pdutest;
using varrow::test::ScratchDir;
using varrow::test::ScratchRegistry;
using varrow::test::SetDword;
using varrow::test::SetString;

namespace {

// The settings keys of this build's architecture ("PDU API (64-bit)" in the 64-bit one).
const std::wstring kPduSettings = L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\" + monitor::SettingsApiKey(L"PDU API") + L"\\";
const std::wstring kJ2534Settings = L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\" + monitor::SettingsApiKey(L"J2534 API") + L"\\";

std::wstring KeyName(std::wstring path) {
  for (wchar_t& c : path)
    if (c == L'\\') c = L'_';
  return path;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Scratch machine and user hives that stand in for HKLM and HKCU in this
// process (and so for the libraries it loads), and a scratch folder.
class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, registry_.Machine()), ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, registry_.User()), ERROR_SUCCESS);
    SetString(registry_.Machine(), L"SOFTWARE\\OVRA\\OVRA_VCI", L"LogFileLocation", dir_.Path() + L"\\Logs\\");
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  }
  // The monitor at dir\<name> with the simulated VCI set aside as dir\_<name>.
  std::wstring InstallMonitor(const std::wstring& name, bool withOriginal = true) {
    EXPECT_TRUE(CopyBuilt(L"OvraPduMon" VARROW_BITS_TEXT L".dll", dir_.Path(), name));
    if (withOriginal) {
      EXPECT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir_.Path(), L"_" + name));
    }
    return dir_ / name;
  }
  // The settings Varrow writes for the library at `library`.
  void Settings(const std::wstring& api, const std::wstring& library, const std::wstring& file,
                DWORD format, DWORD entryExit, DWORD storeWithJ2534, DWORD overwrite = 1) {
    const std::wstring key = std::wstring(api) + KeyName(library);
    SetString(registry_.User(), key, L"OutputFile", file);
    SetDword(registry_.User(), key, L"OutputFormat", format);
    SetDword(registry_.User(), key, L"Overwrite", overwrite);
    SetDword(registry_.User(), key, L"LogEntryExit", entryExit);
    SetDword(registry_.User(), key, L"LogDebugView", 0);
    SetDword(registry_.User(), key, L"DisableErrBufferEmpty", 1);
    SetDword(registry_.User(), key, L"MessageSize", 0);
    SetDword(registry_.User(), key, L"StoreWithPrimaryAPI", storeWithJ2534);
    SetDword(registry_.User(), key, L"Version", 1);
  }

  ScratchRegistry registry_;
  ScratchDir dir_;
};

TEST_F(MonitorTest, SessionThroughTheMonitorIsTheSessionWithoutItInEveryFormat) {
  const char* const kExtensions[] = {"", "txt", "xml", "csv", "html"};
  for (DWORD format = 1; format <= 4; ++format) {
    SCOPED_TRACE("format " + std::to_string(format));
    const bool callbacks = format % 2 == 1;
    const std::wstring n = std::to_wstring(format);
    ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir_.Path(), L"Sim" + n + L".dll"));
    const std::wstring monitorPath = InstallMonitor(L"Mon" + n + L".dll");
    const std::string ext = kExtensions[format];
    const std::wstring log = dir_ / (L"log" + n + L"." + std::wstring(ext.begin(), ext.end()));
    Settings(kPduSettings, monitorPath, log, format, format >= 3 ? 1 : 0, 0);

    PduLib direct, monitored;
    ASSERT_TRUE(direct.Load(dir_ / (L"Sim" + n + L".dll")));
    ASSERT_TRUE(monitored.Load(monitorPath));
    const std::vector<std::string> expected = VinSession(direct, callbacks);
    const std::vector<CallbackCall> directCalls = TakeCallbacks();
    const std::vector<std::string> seen = VinSession(monitored, callbacks);
    const std::vector<CallbackCall> calls = TakeCallbacks();

    EXPECT_EQ(seen, expected);
    ASSERT_GE(expected.size(), 20u);
    EXPECT_NE(std::find(expected.begin(), expected.end(),
                        "PDU_IT_RESULT cop 49 02 01 57 4F 56 52 41 30 30 53 49 4D 30 30 30 30 30 30 31"),
              expected.end());
    EXPECT_EQ(calls.empty(), !callbacks);
    EXPECT_EQ(directCalls.empty(), !callbacks);
    for (const CallbackCall& call : calls) {
      EXPECT_NE(call.thread, GetCurrentThreadId()) << "the callback runs on the library's thread";
      EXPECT_EQ(call.which, 0);
      EXPECT_EQ(call.type, PDU_EVT_DATA_AVAILABLE);
    }

    const std::string text = ReadAll(log);
    const auto logFormat = static_cast<monitor::LogFormat>(format);
    EXPECT_EQ(text.rfind(monitor::FileHead(logFormat, "D-PDU API log"), 0), 0u);
    const std::string tail = monitor::FileTail(logFormat);
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), tail.size())), tail);
    for (const char* piece : {"PDUConstruct", "PDU_COPT_SENDRECV", "09 02", "22 F1 90",
                              "49 02 01 57 4F 56 52 41", "62 F1 90", "PDU_COPST_FINISHED",
                              "CP_Baudrate (0x00000301)", "ISO_11898_2_DWCAN (0x00000201)",
                              "PDU_IT_RESULT", "PDUDestruct", "PDU_STATUS_NOERROR"})
      EXPECT_NE(text.find(piece), std::string::npos) << piece;
    EXPECT_GE(Count(text, "EventCallback"), calls.size());
    if (format >= 3) {
      EXPECT_NE(text.find("exit"), std::string::npos);
    }
  }
}

// One misuse of the API per row: the monitor passes each code through unchanged.
TEST_F(MonitorTest, ErrorCodesPassThroughUnchanged) {
  ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir_.Path(), L"Sim.dll"));
  const std::wstring monitorPath = InstallMonitor(L"Mon.dll");
  Settings(kPduSettings, monitorPath, dir_ / L"log.txt", 1, 0, 0);
  auto run = [](PduLib& lib) {
    std::vector<T_PDU_ERROR> codes;
    char options[] = "";
    UNUM32 id = 0;
    PDU_EVENT_ITEM* event = nullptr;
    codes.push_back(lib.ModuleConnect(1));                     // not constructed
    codes.push_back(lib.Construct(options, nullptr));
    codes.push_back(lib.Construct(options, nullptr));          // twice
    codes.push_back(lib.CreateComLogicalLink(1, nullptr, 1, nullptr, &id, nullptr));  // module off
    codes.push_back(lib.ModuleConnect(7));                     // no such module
    codes.push_back(lib.ModuleConnect(1));
    codes.push_back(lib.CreateComLogicalLink(1, nullptr, 1, nullptr, nullptr, nullptr));  // NULL out
    UNUM32 hCLL = 0;
    codes.push_back(lib.CreateComLogicalLink(1, nullptr, 1, nullptr, &hCLL, nullptr));
    UNUM8 request[] = {0x09, 0x02};
    PDU_COP_CTRL_DATA ctrl{0, 1, 1, 0, {0, nullptr}, 0, nullptr};
    codes.push_back(lib.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, 2, request, &ctrl, nullptr, &id));  // offline
    UNUM32 baud = 12345;
    PDU_PARAM_ITEM param{PDU_IT_PARAM, ObjectId(lib, PDU_OBJT_COMPARAM, "CP_Baudrate"), PDU_PT_UNUM32, PDU_PC_BUSTYPE, &baud};
    codes.push_back(lib.SetComParam(1, hCLL, &param));         // unsupported bus speed
    param.ComParamId = 0x7777;
    codes.push_back(lib.SetComParam(1, hCLL, &param));         // unknown ComParam
    codes.push_back(lib.Connect(1, hCLL));
    codes.push_back(lib.Connect(1, hCLL));                     // twice
    codes.push_back(lib.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, 2, request, &ctrl, nullptr, &id));  // not started
    codes.push_back(lib.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, 5000, request, &ctrl, nullptr, &id));  // too long
    codes.push_back(lib.StartComPrimitive(1, hCLL + 9, PDU_COPT_STARTCOMM, 0, nullptr, nullptr, nullptr, &id));
    codes.push_back(lib.GetEventItem(1, hCLL, nullptr));
    while (lib.GetEventItem(1, hCLL, &event) == PDU_STATUS_NOERROR)
      codes.push_back(lib.DestroyItem(reinterpret_cast<PDU_ITEM*>(event)));
    codes.push_back(lib.GetEventItem(1, hCLL, &event));         // empty
    PDU_ITEM bogus{PDU_IT_RESULT};
    codes.push_back(lib.DestroyItem(&bogus));                   // not the library's
    codes.push_back(lib.DestroyItem(nullptr));
    codes.push_back(lib.GetStatus(1, hCLL, PDU_HANDLE_UNDEF, nullptr, nullptr, nullptr));
    codes.push_back(lib.UnlockRsc(1, hCLL, PDU_LOCK_TX_QUEUE));  // not locked
    codes.push_back(lib.DestroyComLogicalLink(1, hCLL));        // still online
    codes.push_back(lib.Destruct());
    codes.push_back(lib.Destruct());                            // twice
    return codes;
  };
  PduLib direct, monitored;
  ASSERT_TRUE(direct.Load(dir_ / L"Sim.dll"));
  ASSERT_TRUE(monitored.Load(monitorPath));
  const std::vector<T_PDU_ERROR> expected = run(direct);
  EXPECT_EQ(run(monitored), expected);
  const std::vector<T_PDU_ERROR> head = {
      PDU_ERR_PDUAPI_NOT_CONSTRUCTED, PDU_STATUS_NOERROR, PDU_ERR_SHARING_VIOLATION,
      PDU_ERR_MODULE_NOT_CONNECTED, PDU_ERR_INVALID_HANDLE, PDU_STATUS_NOERROR,
      PDU_ERR_INVALID_PARAMETERS, PDU_STATUS_NOERROR, PDU_ERR_CLL_NOT_CONNECTED,
      PDU_ERR_VALUE_NOT_SUPPORTED, PDU_ERR_COMPARAM_NOT_SUPPORTED, PDU_STATUS_NOERROR,
      PDU_ERR_CLL_CONNECTED, PDU_ERR_CLL_NOT_STARTED, PDU_ERR_INVALID_PARAMETERS,
      PDU_ERR_INVALID_HANDLE, PDU_ERR_INVALID_PARAMETERS};
  ASSERT_GE(expected.size(), head.size() + 8);
  EXPECT_EQ(std::vector<T_PDU_ERROR>(expected.begin(), expected.begin() + head.size()), head);
  const std::vector<T_PDU_ERROR> tail = {
      PDU_ERR_EVENT_QUEUE_EMPTY, PDU_ERR_INVALID_PARAMETERS, PDU_ERR_INVALID_PARAMETERS,
      PDU_ERR_INVALID_PARAMETERS, PDU_ERR_RSC_NOT_LOCKED, PDU_ERR_CLL_CONNECTED,
      PDU_STATUS_NOERROR, PDU_ERR_PDUAPI_NOT_CONSTRUCTED};
  EXPECT_EQ(std::vector<T_PDU_ERROR>(expected.end() - tail.size(), expected.end()), tail);
  EXPECT_NE(ReadAll(dir_ / L"log.txt").find("PDU_ERR_SHARING_VIOLATION"), std::string::npos);
}

// Lying counts and bad pointers in every item the monitor decodes, one per
// row: the simulated VCI, not constructed yet, answers each with an error
// without reading them, and so must the monitor (pointers lead into a
// no-access page: any read faults and ends the test); its log marks what it
// could not read.
TEST_F(MonitorTest, LyingCountsAndBadPointersAreReadOnlyAsFarAsReadable) {
  ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir_.Path(), L"Sim.dll"));
  const std::wstring monitorPath = InstallMonitor(L"Mon.dll");
  Settings(kPduSettings, monitorPath, dir_ / L"hostile.txt", 1, 0, 0);
  varrow::test::EndProcessOnFault();
  using Page = varrow::test::PageEnd;
  const auto text = [](Page& page, std::size_t n) {  // n bytes of 'A' up to the no-access page
    return static_cast<char*>(std::memset(page.Last(n), 'A', n));
  };
  UNUM32 id = 0;
  UNUM8 data[] = {0x3E, 0x00};
  const std::function<T_PDU_ERROR(PduLib&, Page&)> rows[] = {
      [&](PduLib& l, Page& p) { return l.GetObjectId(PDU_OBJT_COMPARAM, text(p, 16), &id); },
      [&](PduLib& l, Page& p) { return l.StartComPrimitive(1, 1, PDU_COPT_SENDRECV, 100000, p.Last<UNUM8>(8), nullptr, nullptr, &id); },
      [&](PduLib& l, Page& p) { return l.StartComPrimitive(1, 1, PDU_COPT_SENDRECV, 2, data, p.NoAccess<PDU_COP_CTRL_DATA>(), nullptr, &id); },
      [&](PduLib& l, Page& p) {
        auto* response = p.Last<PDU_EXP_RESP_DATA>(sizeof(PDU_EXP_RESP_DATA));
        *response = {0, 1, 4, p.NoAccess<UNUM8>(), p.NoAccess<UNUM8>(), 9, p.NoAccess<UNUM32>()};
        PDU_COP_CTRL_DATA ctrl{0, 1, 1, 0, {5000, p.NoAccess<UNUM8>()}, 1000, response};
        return l.StartComPrimitive(1, 1, PDU_COPT_SENDRECV, 2, data, &ctrl, nullptr, &id);
      },
      [&](PduLib& l, Page& p) {
        PDU_IO_BYTEARRAY_DATA bytes{100000, p.Last<UNUM8>(4)};
        PDU_DATA_ITEM item{PDU_IT_IO_BYTEARRAY, &bytes};
        return l.IoCtl(1, PDU_HANDLE_UNDEF, 1, &item, nullptr);
      },
      [&](PduLib& l, Page& p) { return l.IoCtl(1, PDU_HANDLE_UNDEF, 1, p.NoAccess<PDU_DATA_ITEM>(), nullptr); },
      [&](PduLib& l, Page& p) {
        PDU_PARAM_BYTEFIELD_DATA field{5000, 5000, p.Last<UNUM8>(2)};
        PDU_PARAM_ITEM param{PDU_IT_PARAM, 0x301, PDU_PT_BYTEFIELD, PDU_PC_COM, &field};
        return l.SetComParam(1, 1, &param);
      },
      [&](PduLib& l, Page& p) {
        PDU_PARAM_ITEM param{PDU_IT_PARAM, 0x301, PDU_PT_UNUM32, PDU_PC_COM, p.NoAccess()};
        return l.SetComParam(1, 1, &param);
      },
      [&](PduLib& l, Page& p) {  // 1,000 pins where one is, 1,000 flag bytes where one is
        auto* pin = p.Last<PDU_PIN_DATA>(sizeof(PDU_PIN_DATA) + 1);
        *pin = {6, 1};
        PDU_RSC_DATA rsc{1, 2, 1000, pin};
        PDU_FLAG_DATA flags{1000, p.Last<UNUM8>(1)};
        return l.CreateComLogicalLink(1, &rsc, PDU_ID_UNDEF, nullptr, &id, &flags);
      },
      [&](PduLib& l, Page& p) {
        PDU_RSC_DATA rsc{1, 2, 3, p.NoAccess<PDU_PIN_DATA>()};
        PDU_RSC_ID_ITEM* list = nullptr;
        return l.GetResourceIds(1, &rsc, &list);
      },
      [&](PduLib& l, Page& p) {  // 500 modules where one is, named without an end
        static Page names;
        auto* module = p.Last<PDU_MODULE_DATA>(sizeof(PDU_MODULE_DATA));
        *module = {1, 1, text(names, 8), p.NoAccess<CHAR8>(), PDU_MODST_READY};
        PDU_MODULE_ITEM modules{PDU_IT_MODULE_ID, 500, module};
        PDU_RSC_CONFLICT_ITEM* conflicts = nullptr;
        return l.GetConflictingResources(1, &modules, &conflicts);
      },
      [&](PduLib& l, Page& p) {  // 300 entries where one is, its ComParams not readable
        auto* entry = p.Last<PDU_ECU_UNIQUE_RESP_DATA>(sizeof(PDU_ECU_UNIQUE_RESP_DATA));
        *entry = {7, 3, p.NoAccess<PDU_PARAM_ITEM>()};
        PDU_UNIQUE_RESP_ID_TABLE_ITEM table{PDU_IT_UNIQUE_RESP_ID_TABLE, 300, entry};
        return l.SetUniqueRespIdTable(1, 1, &table);
      },
      [&](PduLib& l, Page& p) { return l.Construct(text(p, 32), nullptr); },  // succeeds
  };
  auto run = [&](PduLib& lib) {
    std::vector<T_PDU_ERROR> codes;
    for (const auto& row : rows) {
      Page page;
      codes.push_back(page.Ok() ? row(lib, page) : 0xFFFFFFFF);
    }
    codes.push_back(lib.Destruct());
    return codes;
  };
  PduLib direct, monitored;
  ASSERT_TRUE(direct.Load(dir_ / L"Sim.dll"));
  ASSERT_TRUE(monitored.Load(monitorPath));
  const std::vector<T_PDU_ERROR> expected = run(direct);
  EXPECT_EQ(run(monitored), expected);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), PDU_ERR_PDUAPI_NOT_CONSTRUCTED), std::size(rows) - 1);
  const std::string logged = ReadAll(dir_ / L"hostile.txt");
  EXPECT_EQ(Count(logged, "PDU_ERR_PDUAPI_NOT_CONSTRUCTED"), std::size(rows) - 1) << logged;
  EXPECT_GE(Count(logged, "not readable"), 14u) << logged;
  for (const char* mark : {"\"AAAAAAAAAAAAAAAA\" (the rest not readable)", "(63 more not readable)", ": 8 readable)"})
    EXPECT_NE(logged.find(mark), std::string::npos) << mark;
}

// Callback slots: registrations the library refuses and links that a module
// disconnect takes along give their slots back, so later links' events are logged.
TEST_F(MonitorTest, CallbackSlotsComeBackFromRefusalsAndDisconnectedModules) {
  const std::wstring monitorPath = InstallMonitor(L"Mon.dll");
  Settings(kPduSettings, monitorPath, dir_ / L"slots.txt", 1, 0, 0);
  PduLib lib;
  ASSERT_TRUE(lib.Load(monitorPath));
  char options[] = "";
  ASSERT_EQ(lib.Construct(options, nullptr), PDU_STATUS_NOERROR);
  ASSERT_EQ(lib.ModuleConnect(1), PDU_STATUS_NOERROR);
  UNUM32 hCLL = 0;
  for (int i = 0; i < 70; ++i) {  // more than the monitor has slots
    EXPECT_EQ(lib.RegisterEventCallback(7, 1000 + i, &CallbackA), PDU_ERR_INVALID_HANDLE);  // no such module
    ASSERT_EQ(lib.CreateComLogicalLink(1, nullptr, 1, nullptr, &hCLL, nullptr), PDU_STATUS_NOERROR);
    EXPECT_EQ(lib.RegisterEventCallback(1, hCLL, &CallbackA), PDU_STATUS_NOERROR);
    ASSERT_EQ(lib.ModuleDisconnect(1), PDU_STATUS_NOERROR);  // the link goes with the module
    ASSERT_EQ(lib.ModuleConnect(1), PDU_STATUS_NOERROR);
  }
  EXPECT_EQ(lib.Destruct(), PDU_STATUS_NOERROR);
  TakeCallbacks();
  const std::string text = ReadAll(dir_ / L"slots.txt");
  EXPECT_EQ(Count(text, "PDURegisterEventCallback"), 140u);
  EXPECT_EQ(Count(text, "not logged (every callback slot is taken)"), 0u);
}

// Registering, replacing and removing callbacks (per link and per module):
// the application's callbacks see what they see without the monitor.
TEST_F(MonitorTest, CallbacksAreRegisteredReplacedAndRemovedAsWithoutTheMonitor) {
  ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir_.Path(), L"Sim.dll"));
  const std::wstring monitorPath = InstallMonitor(L"Mon.dll");
  Settings(kPduSettings, monitorPath, dir_ / L"log.txt", 1, 0, 0);
  auto run = [](PduLib& lib) {
    std::vector<std::string> phases;
    std::vector<std::string> transcript;
    auto settle = [&] {
      Sleep(150);  // let the library's thread deliver what it owes
      std::string phase;
      for (const CallbackCall& c : TakeCallbacks())
        phase += std::string(c.which == 0 ? "A" : "B") + (c.hCLL == PDU_HANDLE_UNDEF ? "m " : "l ");
      phases.push_back(phase);
    };
    const UNUM32 hCLL = OpenLink(lib, transcript);
    lib.RegisterEventCallback(1, hCLL, &CallbackA);
    SendReceive(lib, hCLL, {0x3E, 0x00}, transcript);
    settle();
    lib.RegisterEventCallback(1, hCLL, &CallbackB);  // replaced
    SendReceive(lib, hCLL, {0x3E, 0x00}, transcript);
    settle();
    lib.RegisterEventCallback(1, hCLL, nullptr);  // removed
    SendReceive(lib, hCLL, {0x3E, 0x00}, transcript);
    settle();
    lib.RegisterEventCallback(1, PDU_HANDLE_UNDEF, &CallbackA);  // the module's
    lib.RegisterEventCallback(1, hCLL, &CallbackB);
    lib.Disconnect(1, hCLL);
    settle();
    lib.DestroyComLogicalLink(1, hCLL);
    lib.ModuleDisconnect(1);
    settle();
    lib.Destruct();
    return phases;
  };
  PduLib direct, monitored;
  ASSERT_TRUE(direct.Load(dir_ / L"Sim.dll"));
  ASSERT_TRUE(monitored.Load(monitorPath));
  const std::vector<std::string> expected = run(direct);
  ASSERT_EQ(expected.size(), 5u);
  EXPECT_EQ(expected[0], "Al Al Al ");
  EXPECT_EQ(expected[1], "Bl Bl Bl ");
  EXPECT_EQ(expected[2], "");
  EXPECT_EQ(expected[3], "Bl ");
  EXPECT_EQ(expected[4], "Am ");
  EXPECT_EQ(run(monitored), expected);
}

// A send-receive repeated three times, then one repeated until cancelled, and
// a functional request: the same events with and without the monitor.
TEST_F(MonitorTest, CyclicAndFunctionalComPrimitivesPassThrough) {
  ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir_.Path(), L"Sim.dll"));
  const std::wstring monitorPath = InstallMonitor(L"Mon.dll");
  Settings(kPduSettings, monitorPath, dir_ / L"log.txt", 1, 0, 0);
  auto run = [](PduLib& lib) {
    std::vector<std::string> transcript;
    const UNUM32 hCLL = OpenLink(lib, transcript);
    UNUM8 testerPresent[] = {0x3E, 0x00};
    PDU_COP_CTRL_DATA ctrl{1, 3, 1, 0, {0, nullptr}, 0, nullptr};
    UNUM32 hCoP = 0;
    transcript.push_back(NameOr(ErrorName(lib.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, 2, testerPresent,
                                                                &ctrl, nullptr, &hCoP)), 0));
    DrainUntilFinished(lib, hCLL, hCoP, transcript);
    ctrl.NumSendCycles = -1;
    transcript.push_back(NameOr(ErrorName(lib.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, 2, testerPresent,
                                                                &ctrl, nullptr, &hCoP)), 0));
    T_PDU_STATUS status = 0;
    UNUM32 timestamp = 0, extra = 0;
    for (int i = 0; i < 3000 && status != PDU_COPST_WAITING; ++i) {
      lib.GetStatus(1, hCLL, hCoP, &status, &timestamp, &extra);
      Sleep(1);
    }
    transcript.push_back("waiting " + NameOr(StatusName(status), status));
    transcript.push_back("cancel " + NameOr(ErrorName(lib.CancelComPrimitive(1, hCLL, hCoP)), 0));
    std::vector<std::string> cancelled;
    DrainUntilFinished(lib, hCLL, hCoP, cancelled);
    transcript.push_back(cancelled.back());  // the cancellation ends it (the cycles before vary)
    UNUM32 functional = 2;
    PDU_PARAM_ITEM mode{PDU_IT_PARAM, ObjectId(lib, PDU_OBJT_COMPARAM, "CP_RequestAddrMode"), PDU_PT_UNUM32,
                        PDU_PC_COM, &functional};
    transcript.push_back("functional " + NameOr(ErrorName(lib.SetComParam(1, hCLL, &mode)), 0));
    UNUM32 hUpdate = 0;
    lib.StartComPrimitive(1, hCLL, PDU_COPT_UPDATEPARAM, 0, nullptr, nullptr, nullptr, &hUpdate);
    DrainUntilFinished(lib, hCLL, hUpdate, transcript);
    SendReceive(lib, hCLL, {0x09, 0x02}, transcript);
    CloseLink(lib, hCLL, transcript);
    return transcript;
  };
  PduLib direct, monitored;
  ASSERT_TRUE(direct.Load(dir_ / L"Sim.dll"));
  ASSERT_TRUE(monitored.Load(monitorPath));
  const std::vector<std::string> expected = run(direct);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), "PDU_IT_RESULT cop 7E 00"), 3);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), "PDU_IT_STATUS cop PDU_COPST_WAITING"), 2);
  EXPECT_NE(std::find(expected.begin(), expected.end(), "waiting PDU_COPST_WAITING"), expected.end());
  EXPECT_NE(std::find(expected.begin(), expected.end(), "PDU_IT_STATUS cop PDU_COPST_CANCELLED"), expected.end());
  EXPECT_EQ(std::count_if(expected.begin(), expected.end(),
                          [](const std::string& line) { return line.rfind("PDU_IT_RESULT cop 49 02 01 57", 0) == 0; }),
            1);
  EXPECT_EQ(run(monitored), expected);
}

// A user without settings of their own: the machine defaults, and the file the
// PDU page would show by default for the brand (brand 2: Halden-VCI).
TEST_F(MonitorTest, WithoutUserSettingsTheMachineDefaultsAndThePduDefaultFileApply) {
  const std::wstring monitorPath = InstallMonitor(L"OvraPdu32.dll");
  SetString(registry_.Machine(), L"SOFTWARE\\OVRA\\OVRA_VCI", L"Brand", L"brv");
  const std::wstring defaults = L"SOFTWARE\\OVRA\\OVRA_VCI\\DefaultSettings\\Monitoring\\PDU API";
  SetDword(registry_.Machine(), defaults, L"OutputFormat", 2);
  SetDword(registry_.Machine(), defaults, L"StoreWithPrimaryAPI", 0);
  PduLib lib;
  ASSERT_TRUE(lib.Load(monitorPath));
  const std::vector<std::string> transcript = VinSession(lib, false);
  EXPECT_EQ(transcript.back(), "Destruct PDU_STATUS_NOERROR");
  const std::string text = ReadAll(dir_ / L"Logs\\PDU\\Halden-VCI.xml");
  EXPECT_EQ(text.rfind("<?xml", 0), 0u);
  EXPECT_NE(text.find("PDU_COPT_SENDRECV"), std::string::npos);
}

// Applications that load the library per session: every cycle gives back the
// heaps, handles, threads, the log file and the original library, and every
// session is in the log; the simulated VCI alone gives back everything too.
DWORD WINAPI FreeLibraryThread(void* module) { return FreeLibrary(static_cast<HMODULE>(module)); }

TEST_F(MonitorTest, LoadUnloadCyclesGiveEverythingBack) {
  const std::wstring monitorPath = InstallMonitor(L"Cycle.dll");
  const std::wstring original = dir_ / L"_Cycle.dll";
  const std::wstring log = dir_ / L"cycle.xml";
  Settings(kPduSettings, monitorPath, log, 2, 0, 0);
  constexpr int kCycles = 300, kWarm = 5;
  struct Run {
    const wchar_t* name;
    const std::wstring* library;
  } runs[] = {{L"the simulated VCI alone", &original}, {L"through the monitor", &monitorPath}};
  for (Run& run : runs) {
    SCOPED_TRACE(run.name);
    varrow::test::Footprint first;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
      {
        PduLib lib;
        ASSERT_TRUE(lib.Load(*run.library));
        ASSERT_EQ(lib.Construct(nullptr, nullptr), PDU_STATUS_NOERROR);
        ASSERT_EQ(lib.Destruct(), PDU_STATUS_NOERROR);
        if (run.library == &original) {
          // Let go on a thread of its own, as the monitor lets the original go.
          HANDLE thread = CreateThread(nullptr, 0, &FreeLibraryThread, lib.module, 0, nullptr);
          ASSERT_NE(thread, nullptr);
          WaitForSingleObject(thread, INFINITE);
          CloseHandle(thread);
          lib.module = nullptr;
        }
      }
      ASSERT_TRUE(varrow::test::WaitUntilUnloaded(monitorPath, 20000)) << "the monitor stays loaded, cycle " << cycle;
      ASSERT_TRUE(varrow::test::WaitUntilUnloaded(original, 20000)) << "the original stays loaded, cycle " << cycle;
      if (cycle == kWarm) first = varrow::test::TakeFootprint();
    }
    const varrow::test::Footprint last = varrow::test::TakeFootprint();
    // A leak of a few hundred bytes a cycle would show; the heap's own
    // growth steps (64 KiB) would not.
    EXPECT_LE(last.bytes, first.bytes + (256u << 10)) << "address space after " << kWarm << " and " << kCycles << " cycles";
    EXPECT_EQ(last.heaps, first.heaps);
    EXPECT_EQ(last.handles, first.handles) << "handles after " << kWarm << " and " << kCycles << " cycles";
  }
  const std::string text = ReadAll(log);
  EXPECT_EQ(Count(text, "function=\"PDUDestruct\""), static_cast<std::size_t>(kCycles));
  EXPECT_EQ(Count(text, "<session "), static_cast<std::size_t>(kCycles));
}

TEST_F(MonitorTest, WithoutTheOriginalEveryCallFailsAndTheLogSaysWhy) {
  const std::wstring monitorPath = InstallMonitor(L"Lonely.dll", false);
  const std::wstring log = dir_ / L"lonely.txt";
  Settings(kPduSettings, monitorPath, log, 1, 0, 0);
  PduLib lib;
  ASSERT_TRUE(lib.Load(monitorPath));
  char options[] = "";
  EXPECT_EQ(lib.Construct(options, nullptr), PDU_ERR_FCT_FAILED);
  EXPECT_EQ(lib.ModuleConnect(1), PDU_ERR_FCT_FAILED);
  PDU_MODULE_ITEM* modules = reinterpret_cast<PDU_MODULE_ITEM*>(0xdeadbeef);
  EXPECT_EQ(lib.GetModuleIds(&modules), PDU_ERR_FCT_FAILED);
  EXPECT_EQ(modules, reinterpret_cast<PDU_MODULE_ITEM*>(0xdeadbeef));
  EXPECT_EQ(lib.DestroyItem(nullptr), PDU_ERR_FCT_FAILED);
  EXPECT_EQ(lib.RegisterEventCallback(1, 1, &CallbackA), PDU_ERR_FCT_FAILED);
  T_PDU_ERR_EVT code = 0;
  UNUM32 hCoP = 0, timestamp = 1, extra = 0;
  EXPECT_EQ(lib.GetLastError(1, PDU_HANDLE_UNDEF, &code, &hCoP, &timestamp, &extra), PDU_STATUS_NOERROR);
  EXPECT_EQ(code, PDU_ERR_EVT_LOST_COMM_TO_VCI);
  EXPECT_EQ(hCoP, PDU_HANDLE_UNDEF);
  EXPECT_EQ(extra, static_cast<UNUM32>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(lib.GetLastError(1, PDU_HANDLE_UNDEF, nullptr, &hCoP, &timestamp, &extra),
            PDU_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(lib.Destruct(), PDU_ERR_FCT_FAILED);  // flushes the log
  const std::string text = ReadAll(log);
  EXPECT_NE(text.find("_Lonely.dll could not be loaded (error 126"), std::string::npos) << text;
  EXPECT_GE(Count(text, "PDU_ERR_FCT_FAILED"), 6u);
}

// "Store with J2534 Data": the D-PDU entries go into the log of the J2534
// implementation that serves the D-PDU API, whole, beside the J2534 monitor's
// entries written at the same time from another thread.
TEST_F(MonitorTest, StoreWithJ2534DataSharesTheJ2534LogWithTheJ2534Monitor) {
  const std::wstring j2534 = dir_ / L"ovrapt.dll";
  ASSERT_TRUE(CopyBuilt(L"OvraJ2534Mon" VARROW_BITS_TEXT L".dll", dir_.Path(), L"ovrapt.dll"));
  ASSERT_TRUE(CopyBuilt(L"OvraSimPT" VARROW_BITS_TEXT L".dll", dir_.Path(), L"_ovrapt.dll"));
  const std::wstring device = L"SOFTWARE\\PassThruSupport.04.04\\OVRA VCI";
  SetString(registry_.Machine(), device, L"FunctionLibrary", j2534);
  SetDword(registry_.Machine(), device, L"PDUAPISupported", 1);
  const std::wstring shared = dir_ / L"shared.txt";
  // The J2534 monitor appends, so neither writer can start the file afresh under the other.
  Settings(kJ2534Settings, j2534, shared, 1, 0, -1, 0);
  const std::wstring pdu = InstallMonitor(L"OvraPdu32.dll");
  SetString(registry_.Machine(), L"SOFTWARE\\OVRA\\OVRA_VCI\\PDU API Support", L"FunctionLibrary", pdu);
  Settings(kPduSettings, pdu, dir_ / L"own.txt", 2, 0, 1);

  HMODULE pt = LoadLibraryW(j2534.c_str());
  ASSERT_NE(pt, nullptr);
  auto open = reinterpret_cast<passthru::PassThruOpenFn>(reinterpret_cast<void*>(GetProcAddress(pt, "PassThruOpen")));
  auto close = reinterpret_cast<passthru::PassThruCloseFn>(reinterpret_cast<void*>(GetProcAddress(pt, "PassThruClose")));
  ASSERT_TRUE(open != nullptr && close != nullptr);
  constexpr int kJ2534Rounds = 40;
  std::thread j2534Thread([&] {
    for (int i = 0; i < kJ2534Rounds; ++i) {
      passthru::ULong id = 0;
      if (open(nullptr, &id) == passthru::STATUS_NOERROR) close(id);
    }
  });
  PduLib lib;
  ASSERT_TRUE(lib.Load(pdu));
  const std::vector<std::string> transcript = VinSession(lib, true);
  j2534Thread.join();
  TakeCallbacks();
  FreeLibrary(pt);
  Sleep(200);  // the J2534 writer writes shortly after calls stop

  EXPECT_EQ(transcript.back(), "Destruct PDU_STATUS_NOERROR");
  const std::string text = ReadAll(shared);
  EXPECT_TRUE(ReadAll(dir_ / L"own.txt").empty()) << "the D-PDU settings' own file stays unused";
  EXPECT_EQ(Count(text, " PassThruOpen "), static_cast<std::size_t>(kJ2534Rounds));
  EXPECT_EQ(Count(text, " PDUStartComPrimitive "), 4u);  // start, two send-receives, stop
  EXPECT_EQ(Count(text, " PDUConstruct "), 1u);
  // Every line is an entry's first line, one of its fields, or a session's head: never torn.
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line.empty() || line == "\r") continue;
    const bool entry = line.rfind("20", 0) == 0;
    const bool field = line.rfind("    ", 0) == 0;
    const bool head = line.rfind("===", 0) == 0 || line.rfind("Time ", 0) == 0 || line.rfind("J2534 API log", 0) == 0;
    EXPECT_TRUE(entry || field || head) << line;
  }
}

// A host that lets the library go while a ComPrimitive still runs with a
// callback bound, without PDUDestruct: the library's thread goes on calling
// the callback, through the monitor, which stays until PDUDestruct succeeds.
TEST_F(MonitorTest, AHostThatLetsGoMidSessionIsNotCrashedByTheLibrarysCallbacks) {
  const std::wstring monitorPath = InstallMonitor(L"LetGo.dll");
  Settings(kPduSettings, monitorPath, dir_ / L"letgo.txt", 1, 0, 0);
  {
    PduLib lib;
    ASSERT_TRUE(lib.Load(monitorPath));
    std::vector<std::string> transcript;
    const UNUM32 hCLL = OpenLink(lib, transcript);
    ASSERT_NE(hCLL, PDU_HANDLE_UNDEF);
    ASSERT_EQ(lib.RegisterEventCallback(1, hCLL, &CallbackA), PDU_STATUS_NOERROR);
    UNUM8 testerPresent[] = {0x3E, 0x00};
    PDU_COP_CTRL_DATA ctrl{5000, -1, 1, 0, {0, nullptr}, 0, nullptr};  // every 5 s until cancelled
    UNUM32 hCoP = 0;
    ASSERT_EQ(lib.StartComPrimitive(1, hCLL, PDU_COPT_SENDRECV, 2, testerPresent, &ctrl, nullptr, &hCoP),
              PDU_STATUS_NOERROR);
  }  // FreeLibrary
  // The log's writer thread, which holds the monitor while it runs, ends 3 s
  // after the last entry: the next cycle's callbacks find only the monitor's own hold.
  const ULONGLONG letGo = GetTickCount64();
  bool later = false;
  while (!later && GetTickCount64() < letGo + 20000) {
    later = !TakeCallbacks().empty() && GetTickCount64() >= letGo + 4000;
    Sleep(5);
  }
  EXPECT_TRUE(later) << "the callbacks stopped after the host let go";
  // The host loads it again and ends the session: then both libraries go.
  HMODULE again = LoadLibraryW(monitorPath.c_str());
  ASSERT_NE(again, nullptr);
  const auto destruct = reinterpret_cast<PDUDestructFn>(reinterpret_cast<void*>(GetProcAddress(again, "PDUDestruct")));
  ASSERT_NE(destruct, nullptr);
  EXPECT_EQ(destruct(), PDU_STATUS_NOERROR);
  FreeLibrary(again);
  EXPECT_TRUE(varrow::test::WaitUntilUnloaded(monitorPath, 20000)) << "the monitor stays loaded";
  EXPECT_TRUE(varrow::test::WaitUntilUnloaded(dir_ / L"_LetGo.dll", 20000)) << "the original stays loaded";
  TakeCallbacks();
}

// An IoCtl without output leaves the caller's variable as it was: the monitor
// neither reads what it points to nor takes it for an item of the library.
TEST_F(MonitorTest, AnIoCtlWithoutOutputLeavesTheCallersVariableUnread) {
  const std::wstring monitorPath = InstallMonitor(L"IoCtl.dll");
  const std::wstring log = dir_ / L"ioctl.txt";
  Settings(kPduSettings, monitorPath, log, 1, 0, 0);
  PduLib lib;
  ASSERT_TRUE(lib.Load(monitorPath));
  std::vector<std::string> transcript;
  const UNUM32 hCLL = OpenLink(lib, transcript);
  ASSERT_NE(hCLL, PDU_HANDLE_UNDEF);
  const UNUM32 clear = ObjectId(lib, PDU_OBJT_IO_CTRL, "PDU_IOCTL_CLEAR_TX_QUEUE");
  varrow::test::PageEnd page;
  ASSERT_TRUE(page.Ok());
  varrow::test::EndProcessOnFault();
  PDU_ITEM own{PDU_IT_RESULT};
  PDU_DATA_ITEM* const kLeft[] = {page.NoAccess<PDU_DATA_ITEM>(), reinterpret_cast<PDU_DATA_ITEM*>(&own)};
  for (PDU_DATA_ITEM* left : kLeft) {
    PDU_DATA_ITEM* output = left;  // uninitialised, as far as the library knows
    EXPECT_EQ(lib.IoCtl(1, hCLL, clear, nullptr, &output), PDU_STATUS_NOERROR);
    EXPECT_EQ(output, left);
  }
  EXPECT_EQ(lib.DestroyItem(&own), PDU_ERR_INVALID_PARAMETERS);  // not the library's
  CloseLink(lib, hCLL, transcript);
  const std::string text = ReadAll(log);
  EXPECT_EQ(Count(text, "(not written)"), 2u) << text;
  EXPECT_NE(text.find("(not handed out through the monitor)"), std::string::npos);
}

// Every item that the application destroys through the monitor is destroyed
// in the library that handed it out (the simulated VCI counts the live ones).
TEST_F(MonitorTest, ItemsDestroyedThroughTheMonitorAreGoneFromTheLibrary) {
  const std::wstring monitorPath = InstallMonitor(L"Mon.dll");
  Settings(kPduSettings, monitorPath, dir_ / L"log.txt", 1, 0, 0);
  PduLib lib;
  ASSERT_TRUE(lib.Load(monitorPath));
  char options[] = "";
  ASSERT_EQ(lib.Construct(options, nullptr), PDU_STATUS_NOERROR);
  const HMODULE original = GetModuleHandleW((dir_ / L"_Mon.dll").c_str());
  ASSERT_NE(original, nullptr) << "the monitor loaded its original";
  const auto liveItems =
      reinterpret_cast<UNUM32(PDU_CALL*)()>(reinterpret_cast<void*>(GetProcAddress(original, "SimPduLiveItems")));
  ASSERT_NE(liveItems, nullptr);
  const UNUM32 before = liveItems();
  for (int round = 0; round < 3; ++round) {
    PDU_MODULE_ITEM* modules = nullptr;
    ASSERT_EQ(lib.GetModuleIds(&modules), PDU_STATUS_NOERROR);
    EXPECT_EQ(liveItems(), before + 1);
    EXPECT_EQ(lib.DestroyItem(reinterpret_cast<PDU_ITEM*>(modules)), PDU_STATUS_NOERROR);
    EXPECT_EQ(liveItems(), before) << "round " << round;
  }
  EXPECT_EQ(lib.Destruct(), PDU_STATUS_NOERROR);
}

}  // namespace
