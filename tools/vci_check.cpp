// VciCheck.exe: the technician's console check of a J2534 04.04 device.
//
//   VciCheck                      lists the registered devices (32-bit view) with
//                                 their libraries, whether each exists and whether
//                                 it is being monitored
//   VciCheck --list               lists, per registry view (32-bit, and the
//                                 native 64-bit one on 64-bit Windows), every
//                                 J2534 04.04 and 05.00 registration and every
//                                 D-PDU entry (the vendor key and the root
//                                 description file's entries): whether each
//                                 library exists, its machine type against the
//                                 view's and whether it is monitored; exit code 1
//                                 when it lists a finding
//   VciCheck "DEVICE" [--hold]    runs a short session through the device's
//                                 registered library, as a diagnostic application
//                                 does (VIN, supported PIDs, RPM and coolant
//                                 temperature, stored DTCs, the serial number of
//                                 each ECU that answers a functional request);
//                                 --hold waits for a line (or the end) of
//                                 standard input before disconnecting
//   VciCheck --v05 "DEVICE" [--hold]
//                                 the same session over J2534 05.00, through the
//                                 library registered as DEVICE under
//                                 PassThruSupport.05.00 (discovery, open by
//                                 name, a logical channel per ECU, queue and
//                                 select)
//   VciCheck --pdu [--poll]       runs a D-PDU session through the library
//                                 registered under "PDU API Support" (events by
//                                 callback, or polled)
//   ... --scenario FILE           with either session: the simulated VCIs
//                                 replay the recorded log FILE for this run
//                                 (the Simulator key's Scenario value, put
//                                 back afterwards), and the session says how
//                                 many requests the recording answered
//
// Exit code: 0 when every step succeeded, 1 when a step failed, 2 for bad usage.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "monitoring/path_rules.h"
#include "passthru/j2534.h"
#include "passthru/names.h"
#include "simulator/scenario/scenario_settings.h"
#include "tools/answer_text.h"
#include "tools/vci_check_pdu.h"
#include "tools/vci_check_v05.h"
#include "tools/vci_devices.h"
#include "tools/vci_steps.h"
#include "tools/vci_views.h"

using namespace passthru;

namespace {

constexpr DWORD kReplyWaitMs = 2000;  // for the ECU's answer to the VIN request
constexpr DWORD kFunctionalWaitMs = 1000;  // answers to a functional request come within this
constexpr DWORD kPendingWaitMs = 5000;     // after "response pending" (P2*)
constexpr std::size_t kMaxAnswers = 16;
constexpr char kUsage[] =
    "usage: VciCheck [[\"DEVICE NAME\" [--hold]] | --v05 \"DEVICE NAME\" [--hold] | --pdu [--poll]]"
    " [--scenario FILE] | --list\n";

// Prints wide text as UTF-8 (the console is switched to UTF-8 at start).
void Print(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? bytes : 0, '\0');
  if (bytes > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), bytes,
                        nullptr, nullptr);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

// The library's entry points, found with GetProcAddress.
struct Api {
  PassThruOpenFn open = nullptr;
  PassThruCloseFn close = nullptr;
  PassThruConnectFn connect = nullptr;
  PassThruDisconnectFn disconnect = nullptr;
  PassThruReadMsgsFn read = nullptr;
  PassThruWriteMsgsFn write = nullptr;
  PassThruStartMsgFilterFn startFilter = nullptr;
  PassThruReadVersionFn readVersion = nullptr;
  PassThruGetLastErrorFn lastError = nullptr;
  PassThruIoctlFn ioctl = nullptr;
};

using vcicheck::Bind;
using Session = vcicheck::Steps;

PassThruMsg IsoMessage(std::uint32_t id, const std::vector<std::uint8_t>& payload) {
  PassThruMsg m{};
  m.ProtocolID = ISO15765;
  m.TxFlags = ISO15765_FRAME_PAD;
  m.Data[0] = static_cast<std::uint8_t>(id >> 24);
  m.Data[1] = static_cast<std::uint8_t>(id >> 16);
  m.Data[2] = static_cast<std::uint8_t>(id >> 8);
  m.Data[3] = static_cast<std::uint8_t>(id);
  for (std::size_t i = 0; i < payload.size() && i + 4 < kMaxDataSize; ++i) m.Data[4 + i] = payload[i];
  m.DataSize = static_cast<ULong>(4 + payload.size());
  return m;
}

// Requests the VIN (OBD-II mode 09 PID 02) on the engine ECU and waits for the
// answer, skipping transmit indications, first-frame indications and echoes;
// "response pending" extends the wait to P2*.
void ReadVin(const Api& api, Session& session, ULong channel) {
  PassThruMsg request = IsoMessage(0x7E0, {0x09, 0x02});
  ULong count = 1;
  if (!session.Step("PassThruWriteMsgs (09 02, VIN)", api.write(channel, &request, &count, 1000)))
    return;
  DWORD start = GetTickCount();
  DWORD wait = kReplyWaitMs;
  for (;;) {
    const DWORD spent = GetTickCount() - start;
    if (spent >= wait) {
      session.Problem("PassThruReadMsgs (VIN)", "no answer from the ECU within 2 s");
      return;
    }
    static PassThruMsg reply;
    count = 1;
    const Long code = api.read(channel, &reply, &count, wait - spent);
    if (code == ERR_BUFFER_EMPTY || code == ERR_TIMEOUT || (code == STATUS_NOERROR && count == 0))
      continue;
    if (code != STATUS_NOERROR) {
      session.Step("PassThruReadMsgs (VIN)", code);
      return;
    }
    const ULong size = reply.DataSize <= kMaxDataSize ? reply.DataSize : kMaxDataSize;
    const ULong indications = TX_MSG_TYPE | START_OF_MESSAGE | TX_INDICATION;
    if ((reply.RxStatus & indications) || size < 7) continue;
    if (reply.Data[4] == 0x7F && reply.Data[6] == 0x78) {  // response pending
      start = GetTickCount();
      wait = kPendingWaitMs;
      continue;
    }
    if (reply.Data[4] == 0x7F) {
      session.Problem("PassThruReadMsgs (VIN)", "the ECU refused the request");
      return;
    }
    if (reply.Data[4] != 0x49 || reply.Data[5] != 0x02) continue;
    std::string vin;
    for (ULong i = 7; i < size; ++i)
      vin.push_back(reply.Data[i] >= 0x20 && reply.Data[i] < 0x7F ? static_cast<char>(reply.Data[i]) : '?');
    session.Step("PassThruReadMsgs (VIN)", code, "VIN " + vin);
    return;
  }
}

// One ECU's answer: its response id and payload.
struct Answer {
  std::uint32_t id;
  vcicheck::Bytes payload;
};

// Sends `payload` to `id` and collects the answers, skipping indications,
// echoes and "response pending" (which extends the wait). A physical request
// ends with its first answer; a functional one collects what comes within
// kFunctionalWaitMs. False (with the step printed) when the write failed.
bool Exchange(const Api& api, Session& session, const char* what, ULong channel, std::uint32_t id,
              const vcicheck::Bytes& payload, std::vector<Answer>* answers) {
  PassThruMsg request = IsoMessage(id, payload);
  ULong count = 1;
  const Long written = api.write(channel, &request, &count, 1000);
  if (written != STATUS_NOERROR) {
    session.Step(what, written);
    return false;
  }
  const bool functional = id == 0x7DF;
  DWORD start = GetTickCount();
  DWORD wait = functional ? kFunctionalWaitMs : kReplyWaitMs;
  while (answers->size() < kMaxAnswers) {
    const DWORD spent = GetTickCount() - start;
    if (spent >= wait) break;
    static PassThruMsg reply;
    count = 1;
    const Long code = api.read(channel, &reply, &count, wait - spent);
    if (code != STATUS_NOERROR || count == 0) continue;
    const ULong size = reply.DataSize <= kMaxDataSize ? reply.DataSize : kMaxDataSize;
    if ((reply.RxStatus & (TX_MSG_TYPE | START_OF_MESSAGE | TX_INDICATION)) || size < 5) continue;
    vcicheck::Bytes data(reply.Data + 4, reply.Data + size);
    // Only answers to this request (a late answer to an earlier one is not).
    const bool positive = data[0] == static_cast<std::uint8_t>(payload[0] + 0x40);
    if (!positive && !(data.size() == 3 && data[0] == 0x7F && data[1] == payload[0])) continue;
    if (data.size() == 3 && data[0] == 0x7F && data[2] == 0x78) {  // response pending
      start = GetTickCount();
      wait = kPendingWaitMs;
      continue;
    }
    const std::uint32_t from = (std::uint32_t{reply.Data[2]} << 8) | reply.Data[3];
    answers->push_back({from, std::move(data)});
    if (!functional) break;
  }
  return true;
}

// One step over the answers of every ECU: "7E8: text; 7E9: text".
void ExchangeStep(const Api& api, Session& session, const char* what, ULong channel,
                  std::uint32_t id, const vcicheck::Bytes& payload,
                  std::string (*text)(const vcicheck::Bytes&)) {
  std::vector<Answer> answers;
  if (!Exchange(api, session, what, channel, id, payload, &answers)) return;
  if (answers.empty()) {
    session.Problem(what, "no answer from the vehicle");
    return;
  }
  std::string detail;
  for (const Answer& a : answers) {
    char from[16];
    std::snprintf(from, sizeof from, "%s%03X: ", detail.empty() ? "" : "; ", a.id);
    const std::string negative = vcicheck::NegativeText(a.payload);
    detail += from + (negative.empty() ? text(a.payload) : negative);
  }
  session.Step(what, STATUS_NOERROR, detail);
}

// What VciCheck reads of the vehicle besides the VIN.
void ReadVehicle(const Api& api, Session& session, ULong channel) {
  ExchangeStep(api, session, "OBD 01 00 20 40 (supported PIDs)", channel, 0x7DF, {0x01, 0x00, 0x20, 0x40},
               &vcicheck::SupportedPidsText);
  ExchangeStep(api, session, "OBD 01 0C 05 (RPM, coolant)", channel, 0x7E0, {0x01, 0x0C, 0x05},
               &vcicheck::RpmAndCoolantText);
  ExchangeStep(api, session, "OBD 03 (stored DTCs)", channel, 0x7DF, {0x03}, &vcicheck::StoredDtcsText);
  ExchangeStep(api, session, "UDS 22 F18C (serial numbers)", channel, 0x7DF, {0x22, 0xF1, 0x8C},
               &vcicheck::SerialNumberText);
}

// Waits for a line or the end of standard input (the --hold option).
void Hold() {
  std::printf("    holding the session open: press Enter to go on\n");
  std::fflush(stdout);
  for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
  }
}

int RunSession(const std::wstring& wanted, bool hold) {
  const std::vector<Device> devices = RegisteredDevices();
  const Device* device = nullptr;
  for (const Device& d : devices)
    if (_wcsicmp(d.key.c_str(), wanted.c_str()) == 0 || _wcsicmp(d.name.c_str(), wanted.c_str()) == 0)
      device = &d;
  if (device == nullptr) {
    Print(L"No J2534 04.04 device \"" + wanted + L"\" is registered. Run VciCheck without arguments for the list.\n");
    return 1;
  }
  const std::wstring library = ResolveLibrary(device->library);
  Print(L"Device:  " + device->key + L" (" + device->vendor + L")\nLibrary: " +
        (library.empty() ? device->library + L" (missing)" : library) + L"\n");
  if (library.empty()) return 1;
  HMODULE module = LoadLibraryW(library.c_str());
  if (module == nullptr) {
    const DWORD error = GetLastError();
    wchar_t text[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, 512, nullptr);
    Print(L"The library could not be loaded (Windows error " + std::to_wstring(error) + L"): " +
          text + L"\n");
    return 1;
  }
  Api api;
  // "&", not "&&": every missing export is named, not only the first.
  bool bound = Bind(module, "PassThruOpen", api.open) & Bind(module, "PassThruClose", api.close) &
               Bind(module, "PassThruConnect", api.connect) &
               Bind(module, "PassThruDisconnect", api.disconnect) &
               Bind(module, "PassThruReadMsgs", api.read) & Bind(module, "PassThruWriteMsgs", api.write) &
               Bind(module, "PassThruStartMsgFilter", api.startFilter) &
               Bind(module, "PassThruReadVersion", api.readVersion) &
               Bind(module, "PassThruGetLastError", api.lastError) & Bind(module, "PassThruIoctl", api.ioctl);
  if (!bound) {
    std::printf("The library is not a J2534 04.04 library.\n");
    FreeLibrary(module);
    return 1;
  }
  Session session(api.lastError, &passthru::ReturnCodeName);
  ULong deviceId = 0;
  if (session.Step("PassThruOpen", api.open(nullptr, &deviceId))) {
    // After a successful open the simulated VCI leaves a word on its scenario here.
    char note[kTextChars] = {};
    if (api.lastError(note) == STATUS_NOERROR) {
      note[kTextChars - 1] = '\0';
      if (std::strncmp(note, "scenario", 8) == 0) std::printf("  %s\n", note);
    }
    char firmware[kTextChars] = {}, dll[kTextChars] = {}, apiVersion[kTextChars] = {};
    const Long code = api.readVersion(deviceId, firmware, dll, apiVersion);
    firmware[kTextChars - 1] = dll[kTextChars - 1] = apiVersion[kTextChars - 1] = '\0';
    session.Step("PassThruReadVersion", code,
                 std::string("firmware ") + firmware + ", library " + dll + ", API " + apiVersion);
    ULong millivolts = 0;
    const Long vbatt = api.ioctl(deviceId, READ_VBATT, nullptr, &millivolts);
    char volts[32];
    std::snprintf(volts, sizeof volts, "%lu.%03lu V", static_cast<unsigned long>(millivolts / 1000),
                  static_cast<unsigned long>(millivolts % 1000));
    session.Step("PassThruIoctl (READ_VBATT)", vbatt, volts);
    ULong channel = 0;
    if (session.Step("PassThruConnect (ISO15765, 500000)",
                     api.connect(deviceId, ISO15765, 0, 500000, &channel))) {
      PassThruMsg mask = IsoMessage(0xFFFFFFFF, {});
      PassThruMsg pattern = IsoMessage(0x7E8, {});
      PassThruMsg flow = IsoMessage(0x7E0, {});
      PassThruMsg pattern2 = IsoMessage(0x7E9, {});
      PassThruMsg flow2 = IsoMessage(0x7E1, {});
      ULong filter = 0;
      if (session.Step("PassThruStartMsgFilter (7E8/7E0)",
                       api.startFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter))) {
        ReadVin(api, session, channel);
        // The second ECU's answers need a filter of their own.
        if (session.Step("PassThruStartMsgFilter (7E9/7E1)",
                         api.startFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern2, &flow2, &filter)))
          ReadVehicle(api, session, channel);
      }
      if (hold) Hold();
      session.Step("PassThruDisconnect", api.disconnect(channel));
    }
    ULong answered = simulator::kNoScenario;
    if (api.ioctl(deviceId, simulator::kIoctlScenarioAnswered, nullptr, &answered) == STATUS_NOERROR &&
        answered != simulator::kNoScenario)
      std::printf("  Requests answered from the recording: %lu\n", static_cast<unsigned long>(answered));
    session.Step("PassThruClose", api.close(deviceId));
  }
  FreeLibrary(module);
  std::printf(session.failures() == 0 ? "All steps succeeded.\n" : "%d step(s) failed.\n",
              session.failures());
  return session.failures() == 0 ? 0 : 1;
}

// Sets the Simulator key's Scenario value for one run and puts the one
// before back (or none) when it ends.
class ScenarioOverride {
 public:
  explicit ScenarioOverride(const std::wstring& path) {
    if (RegCreateKeyExW(HKEY_CURRENT_USER, simulator::kSimulatorKeyPath, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
      return;
    }
    DWORD size = sizeof old_ - sizeof(wchar_t);
    had_ = RegQueryValueExW(key_, L"Scenario", nullptr, &type_, reinterpret_cast<BYTE*>(old_), &size) ==
           ERROR_SUCCESS;
    oldSize_ = size;
    ok_ = RegSetValueExW(key_, L"Scenario", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                         static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  ~ScenarioOverride() {
    if (key_ == nullptr) return;
    if (had_) RegSetValueExW(key_, L"Scenario", 0, type_, reinterpret_cast<const BYTE*>(old_), oldSize_);
    else RegDeleteValueW(key_, L"Scenario");
    RegCloseKey(key_);
  }
  bool ok() const { return ok_; }

 private:
  HKEY key_ = nullptr;
  bool had_ = false, ok_ = false;
  DWORD type_ = REG_SZ, oldSize_ = 0;
  wchar_t old_[32768] = {};
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::wstring> names;
  bool hold = false;
  bool pdu = false;
  bool poll = false;
  bool v05 = false;
  bool list = false;
  const wchar_t* scenario = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (_wcsicmp(argv[i], L"--scenario") == 0 && i + 1 < argc && scenario == nullptr) {
      scenario = argv[++i];
    } else if (_wcsicmp(argv[i], L"--hold") == 0) {
      hold = true;
    } else if (_wcsicmp(argv[i], L"--pdu") == 0) {
      pdu = true;
    } else if (_wcsicmp(argv[i], L"--poll") == 0) {
      poll = true;
    } else if (_wcsicmp(argv[i], L"--v05") == 0) {
      v05 = true;
    } else if (_wcsicmp(argv[i], L"--list") == 0) {
      list = true;
    } else if (argv[i][0] == L'-' || argv[i][0] == L'/') {
      std::printf("%s", kUsage);
      return 2;
    } else {
      names.push_back(argv[i]);
    }
  }
  if (names.size() > 1 || (hold && names.empty()) || (scenario != nullptr && names.empty() && !pdu) ||
      (v05 && (names.empty() || pdu || poll))) {
    std::printf("%s", kUsage);
    return 2;
  }
  if (list) {
    if (argc != 2) {
      std::printf("usage: VciCheck --list\n");
      return 2;
    }
    try {
      return ListViews(Print);
    } catch (...) {
      std::printf("VciCheck: out of memory\n");
      return 1;
    }
  }
  std::unique_ptr<ScenarioOverride> replay;
  if (scenario != nullptr) {
    // The library reads the path later, perhaps from another folder: a full one.
    wchar_t full[MAX_PATH * 4] = {};
    const DWORD n = GetFullPathNameW(scenario, MAX_PATH * 4, full, nullptr);
    replay = std::make_unique<ScenarioOverride>(n > 0 && n < MAX_PATH * 4 ? full : scenario);
    if (!replay->ok()) {
      std::printf("VciCheck: the scenario setting cannot be written\n");
      return 1;
    }
  }
  if (pdu || poll) {
    if (!pdu || hold || !names.empty()) {
      std::printf("usage: VciCheck --pdu [--poll]\n");
      return 2;
    }
    try {
      return RunPduSession(poll, &Print);
    } catch (...) {
      std::printf("VciCheck: out of memory\n");
      return 1;
    }
  }
  try {
    if (v05) return RunV05Session(names[0], hold, &Print);
    return names.empty() ? ListDevices(Print) : RunSession(names[0], hold);
  } catch (...) {
    std::printf("VciCheck: out of memory\n");
    return 1;
  }
}
