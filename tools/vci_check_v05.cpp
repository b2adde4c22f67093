// VciCheck --v05: the technician's session over a J2534 05.00 library, the
// same checks as over 04.04 (tools/vci_check.cpp) with 05.00's calls: the
// device is found by discovery and opened by its name; each ECU has a logical
// channel (its answer and request identifiers in the channel descriptor) on
// one CAN physical channel; requests are queued, and answers awaited with
// PassThruSelect over the logical channels, then read into buffers of our own.
#include "tools/vci_check_v05.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "passthru/j2534_v05.h"
#include "passthru/names_v05.h"
#include "simulator/scenario/scenario_settings.h"
#include "tools/answer_text.h"
#include "tools/vci_devices.h"
#include "tools/vci_steps.h"

using namespace passthru::v05;

namespace {

constexpr wchar_t kRegistrations05[] = L"SOFTWARE\\PassThruSupport.05.00";
constexpr DWORD kReplyWaitMs = 2000;       // a physical request's answer comes within this
constexpr DWORD kFunctionalWaitMs = 1000;  // answers to a functional request come within this
constexpr DWORD kPendingWaitMs = 5000;     // after "response pending" (P2*)
constexpr std::size_t kMaxAnswers = 16;
constexpr ULong kFunctionalId = 0x7DF;
constexpr ULong kBufferBytes = 4128;  // room for any ISO 15765 message with its address

struct Api {
  PassThruScanForDevicesFn scan = nullptr;
  PassThruGetNextDeviceFn next = nullptr;
  PassThruOpenFn open = nullptr;
  PassThruCloseFn close = nullptr;
  PassThruConnectFn connect = nullptr;
  PassThruDisconnectFn disconnect = nullptr;
  PassThruLogicalConnectFn logicalConnect = nullptr;
  PassThruLogicalDisconnectFn logicalDisconnect = nullptr;
  PassThruSelectFn select = nullptr;
  PassThruReadMsgsFn read = nullptr;
  PassThruQueueMsgsFn queue = nullptr;
  PassThruReadVersionFn readVersion = nullptr;
  PassThruGetLastErrorFn lastError = nullptr;
  PassThruIoctlFn ioctl = nullptr;
};

using vcicheck::Bind;
using vcicheck::Steps;

// A logical channel to one ECU: its answers come on `local`, requests go to `remote`.
struct Link {
  ULong channel = 0;
  ULong local = 0, remote = 0;
};

void PutId(std::uint8_t* bytes, ULong id) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(id >> (24 - 8 * i));
}

// One ECU's answer: its response id and payload.
struct Answer {
  ULong id;
  vcicheck::Bytes payload;
};

// Queues `payload` to `id` on the link that serves it (a functional request
// on the first) and collects the answers of every link, as PassThruSelect
// shows them, skipping indications and "response pending" (which extends the
// wait). A physical request ends with its first answer. False (the step
// printed) when the queue failed.
bool Exchange(const Api& api, Steps& steps, const char* what, const std::vector<Link>& links, ULong id,
              const vcicheck::Bytes& payload, std::vector<Answer>* answers) {
  static std::uint8_t buffer[kBufferBytes];
  ULong channel = links[0].channel;
  for (const Link& l : links)
    if (l.remote == id) channel = l.channel;
  PassThruMsg request{};
  request.ProtocolID = ISO15765_LOGICAL;
  request.TxFlags = ISO15765_FRAME_PAD;
  PutId(buffer, id);
  std::memcpy(buffer + 4, payload.data(), payload.size());
  request.DataBuffer = buffer;
  request.DataBufferSize = kBufferBytes;
  request.DataLength = static_cast<ULong>(4 + payload.size());
  ULong count = 1;
  if (const Long queued = api.queue(channel, &request, &count); queued != STATUS_NOERROR) {
    steps.Step(what, queued);
    return false;
  }
  const bool functional = id == kFunctionalId;
  DWORD start = GetTickCount();
  DWORD wait = functional ? kFunctionalWaitMs : kReplyWaitMs;
  while (answers->size() < kMaxAnswers) {
    const DWORD spent = GetTickCount() - start;
    if (spent >= wait) break;
    ULong ids[8] = {};
    SChannelSet set{static_cast<ULong>(links.size()), 1, ids};
    for (std::size_t i = 0; i < links.size() && i < 8; ++i) ids[i] = links[i].channel;
    if (api.select(&set, READABLE_TYPE, wait - spent) != STATUS_NOERROR) continue;
    for (ULong r = 0; r < set.ChannelCount && r < 8; ++r) {
      PassThruMsg reply{};
      reply.DataBuffer = buffer;
      reply.DataBufferSize = kBufferBytes;
      count = 1;
      if (api.read(ids[r], &reply, &count, 0) != STATUS_NOERROR || count != 1) continue;
      const ULong size = reply.DataLength <= kBufferBytes ? reply.DataLength : kBufferBytes;
      if ((reply.RxStatus & (TX_MSG_TYPE | START_OF_MESSAGE | TX_INDICATION_SUCCESS)) || size < 5) continue;
      vcicheck::Bytes data(buffer + 4, buffer + size);
      // Only answers to this request (a late answer to an earlier one is not).
      const bool positive = data[0] == static_cast<std::uint8_t>(payload[0] + 0x40);
      if (!positive && !(data.size() == 3 && data[0] == 0x7F && data[1] == payload[0])) continue;
      if (data.size() == 3 && data[0] == 0x7F && data[2] == 0x78) {  // response pending
        start = GetTickCount();
        wait = kPendingWaitMs;
        continue;
      }
      answers->push_back({(ULong{buffer[2]} << 8) | buffer[3], std::move(data)});
      if (!functional) return true;
    }
  }
  return true;
}

// One step over the answers of every ECU: "7E8: text; 7E9: text".
void ExchangeStep(const Api& api, Steps& steps, const char* what, const std::vector<Link>& links, ULong id,
                  const vcicheck::Bytes& payload, std::string (*text)(const vcicheck::Bytes&)) {
  std::vector<Answer> answers;
  if (!Exchange(api, steps, what, links, id, payload, &answers)) return;
  if (answers.empty()) {
    steps.Problem(what, "no answer from the vehicle");
    return;
  }
  // In the order of the ECUs' identifiers, whichever answered first.
  std::stable_sort(answers.begin(), answers.end(), [](const Answer& a, const Answer& b) { return a.id < b.id; });
  std::string detail;
  for (const Answer& a : answers) {
    char from[16];
    std::snprintf(from, sizeof from, "%s%03lX: ", detail.empty() ? "" : "; ", static_cast<unsigned long>(a.id));
    const std::string negative = vcicheck::NegativeText(a.payload);
    detail += from + (negative.empty() ? text(a.payload) : negative);
  }
  steps.Step(what, STATUS_NOERROR, detail);
}

std::string VinText(const vcicheck::Bytes& answer) {
  if (answer.size() < 3 || answer[0] != 0x49 || answer[1] != 0x02) return "unexpected answer";
  std::string vin = "VIN ";
  for (std::size_t i = 3; i < answer.size(); ++i)
    vin.push_back(answer[i] >= 0x20 && answer[i] < 0x7F ? static_cast<char>(answer[i]) : '?');
  return vin;
}

// The session on an open device.
void OnDevice(const Api& api, Steps& steps, ULong deviceId, bool hold) {
  char firmware[kTextChars] = {}, dll[kTextChars] = {}, version[kTextChars] = {};
  const Long code = api.readVersion(deviceId, firmware, dll, version);
  firmware[kTextChars - 1] = dll[kTextChars - 1] = version[kTextChars - 1] = '\0';
  steps.Step("PassThruReadVersion", code, std::string("firmware ") + firmware + ", library " + dll + ", API " + version);
  ULong battery[] = {16};
  ResourceStruct pin{J1962_CONNECTOR, 1, battery};
  ULong millivolts = 0;
  const Long vbatt = api.ioctl(deviceId, READ_PIN_VOLTAGE, &pin, &millivolts);
  char volts[32];
  std::snprintf(volts, sizeof volts, "%lu.%03lu V", static_cast<unsigned long>(millivolts / 1000),
                static_cast<unsigned long>(millivolts % 1000));
  steps.Step("PassThruIoctl (READ_PIN_VOLTAGE)", vbatt, volts);
  ULong canPins[] = {6, 14};
  ULong physical = 0;
  if (!steps.Step("PassThruConnect (CAN, 500000)",
                  api.connect(deviceId, CAN, 0, 500000, ResourceStruct{J1962_CONNECTOR, 2, canPins}, &physical)))
    return;
  std::vector<Link> links;
  for (const Link ecu : {Link{0, 0x7E8, 0x7E0}, Link{0, 0x7E9, 0x7E1}}) {
    Iso15765ChannelDescriptor descriptor{};
    descriptor.LocalTxFlags = descriptor.RemoteTxFlags = ISO15765_FRAME_PAD;
    PutId(descriptor.LocalAddress, ecu.local);
    PutId(descriptor.RemoteAddress, ecu.remote);
    Link link = ecu;
    char what[48];
    std::snprintf(what, sizeof what, "PassThruLogicalConnect (%03lX/%03lX)", static_cast<unsigned long>(ecu.local),
                  static_cast<unsigned long>(ecu.remote));
    if (steps.Step(what, api.logicalConnect(physical, ISO15765_LOGICAL, 0, &descriptor, &link.channel)))
      links.push_back(link);
  }
  if (links.size() == 2) {
    ExchangeStep(api, steps, "OBD 09 02 (VIN)", links, 0x7E0, {0x09, 0x02}, &VinText);
    ExchangeStep(api, steps, "OBD 01 00 20 40 (supported PIDs)", links, kFunctionalId, {0x01, 0x00, 0x20, 0x40},
                 &vcicheck::SupportedPidsText);
    ExchangeStep(api, steps, "OBD 01 0C 05 (RPM, coolant)", links, 0x7E0, {0x01, 0x0C, 0x05},
                 &vcicheck::RpmAndCoolantText);
    ExchangeStep(api, steps, "OBD 03 (stored DTCs)", links, kFunctionalId, {0x03}, &vcicheck::StoredDtcsText);
    ExchangeStep(api, steps, "UDS 22 F18C (serial numbers)", links, kFunctionalId, {0x22, 0xF1, 0x8C},
                 &vcicheck::SerialNumberText);
  }
  if (hold) {
    std::printf("    holding the session open: press Enter to go on\n");
    std::fflush(stdout);
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    }
  }
  for (const Link& link : links) steps.Step("PassThruLogicalDisconnect", api.logicalDisconnect(link.channel));
  steps.Step("PassThruDisconnect", api.disconnect(physical));
}

// The library registered for `wanted` (key or Name) under PassThruSupport.05.00
// in this program's view; empty when none.
std::wstring RegisteredLibrary(const std::wstring& wanted, std::wstring* key) {
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegistrations05, 0, KEY_READ, &root) != ERROR_SUCCESS) return L"";
  std::wstring library;
  for (DWORD i = 0; library.empty(); ++i) {
    wchar_t name[256];
    DWORD chars = 256;
    const LONG rc = RegEnumKeyExW(root, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    wchar_t value[261] = {}, shown[261] = {};
    DWORD bytes = 260 * sizeof(wchar_t), shownBytes = 260 * sizeof(wchar_t);
    const bool named = RegGetValueW(root, name, L"Name", RRF_RT_REG_SZ, nullptr, shown, &shownBytes) == ERROR_SUCCESS;
    if (_wcsicmp(name, wanted.c_str()) != 0 && !(named && _wcsicmp(shown, wanted.c_str()) == 0)) continue;
    if (RegGetValueW(root, name, L"FunctionLibrary", RRF_RT_REG_SZ, nullptr, value, &bytes) == ERROR_SUCCESS) {
      library = value;
      *key = name;
    }
  }
  RegCloseKey(root);
  return library;
}

}  // namespace

int RunV05Session(const std::wstring& wanted, bool hold, void (*print)(const std::wstring&)) {
  std::wstring key;
  const std::wstring registered = RegisteredLibrary(wanted, &key);
  if (registered.empty()) {
    print(L"No J2534 05.00 device \"" + wanted + L"\" is registered (HKLM\\SOFTWARE\\PassThruSupport.05.00).\n");
    return 1;
  }
  const std::wstring library = ResolveLibrary(registered);
  print(L"Device:  " + key + L" (J2534 05.00)\nLibrary: " + (library.empty() ? registered + L" (missing)" : library) + L"\n");
  if (library.empty()) return 1;
  HMODULE module = LoadLibraryW(library.c_str());
  if (module == nullptr) {
    print(L"The library could not be loaded (Windows error " + std::to_wstring(GetLastError()) + L").\n");
    return 1;
  }
  Api api;
  // "&", not "&&": every missing export is named, not only the first.
  const bool bound =
      Bind(module, "PassThruScanForDevices", api.scan) & Bind(module, "PassThruGetNextDevice", api.next) &
      Bind(module, "PassThruOpen", api.open) & Bind(module, "PassThruClose", api.close) &
      Bind(module, "PassThruConnect", api.connect) & Bind(module, "PassThruDisconnect", api.disconnect) &
      Bind(module, "PassThruLogicalConnect", api.logicalConnect) &
      Bind(module, "PassThruLogicalDisconnect", api.logicalDisconnect) & Bind(module, "PassThruSelect", api.select) &
      Bind(module, "PassThruReadMsgs", api.read) & Bind(module, "PassThruQueueMsgs", api.queue) &
      Bind(module, "PassThruReadVersion", api.readVersion) & Bind(module, "PassThruGetLastError", api.lastError) &
      Bind(module, "PassThruIoctl", api.ioctl);
  if (!bound) {
    std::printf("The library is not a J2534 05.00 library.\n");
    FreeLibrary(module);
    return 1;
  }
  Steps steps(api.lastError, &passthru::v05::ReturnCodeName);
  ULong found = 0;
  SDevice device{};
  const Long scan = api.scan(&found);
  const bool scanned = steps.Step("PassThruScanForDevices", scan, std::to_string(found) + " device(s)");
  if (scanned && found == 0) {
    steps.Problem("PassThruGetNextDevice", "discovery found no device");
  } else if (scanned && steps.Step("PassThruGetNextDevice", api.next(&device))) {
    device.DeviceName[kTextChars - 1] = '\0';
    std::printf("    %s: %s, %s\n", device.DeviceName, DeviceAvailableName(device.DeviceAvailable).c_str(),
                DeviceConnectMediaName(device.DeviceConnectMedia).c_str());
    ULong deviceId = 0;
    if (steps.Step("PassThruOpen", api.open(device.DeviceName, &deviceId), device.DeviceName)) {
      OnDevice(api, steps, deviceId, hold);
      ULong answered = simulator::kNoScenario;
      if (api.ioctl(deviceId, simulator::kIoctlScenarioAnswered, nullptr, &answered) == STATUS_NOERROR &&
          answered != simulator::kNoScenario)
        std::printf("  Requests answered from the recording: %lu\n", static_cast<unsigned long>(answered));
      steps.Step("PassThruClose", api.close(deviceId));
    }
  }
  FreeLibrary(module);
  std::printf(steps.failures() == 0 ? "All steps succeeded.\n" : "%d step(s) failed.\n", steps.failures());
  return steps.failures() == 0 ? 0 : 1;
}
