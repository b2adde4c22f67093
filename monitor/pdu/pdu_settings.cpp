#include "monitor/pdu/pdu_settings.h"

#include "locale/brand.h"

namespace monitor {

namespace {

constexpr wchar_t kVendorKey[] = L"SOFTWARE\\OVRA\\OVRA_VCI";
// Read in the monitor's own view: the 64-bit D-PDU library is registered in the
// native one, the 32-bit library in the 32-bit one.
constexpr wchar_t kPduKey[] = L"SOFTWARE\\OVRA\\OVRA_VCI\\PDU API Support";
constexpr wchar_t kJ2534Key[] = L"SOFTWARE\\PassThruSupport.04.04";
constexpr DWORD kFieldChars = 260;

// The brand's file name of the PDU page's default log, chosen before a lookup
// (the lookup's default-name hook takes no registry roots).
const wchar_t* g_pduLogFileName = L"OVRA-VCI.txt";
std::wstring PduDefaultLogName(const std::wstring& logFileLocation, const std::wstring&) {
  return logFileLocation + L"PDU\\" + g_pduLogFileName;
}

// A string value of at most 259 characters; empty when missing or of another type.
std::wstring ReadText(HKEY root, const wchar_t* key, const wchar_t* value) {
  wchar_t buffer[kFieldChars] = {};
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  DWORD type = 0;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return std::wstring();
  const LONG rc = RegQueryValueExW(opened, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  RegCloseKey(opened);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
  buffer[bytes / sizeof(wchar_t) < kFieldChars ? bytes / sizeof(wchar_t) : kFieldChars - 1] = L'\0';
  return buffer;
}

}  // namespace

const wchar_t* PduLogFileName(const SettingsRoots& roots) {
  varrow::RegistryRoots brandRoots;
  brandRoots.machine = roots.machine;
  brandRoots.user = roots.user;
  int brand = 0;
  if (!varrow::LookupBrand(brandRoots, &brand)) brand = 0;
  return brand == 1 ? L"Torva-Link.txt" : brand == 2 ? L"Halden-VCI.txt" : L"OVRA-VCI.txt";
}

std::wstring RegisteredPduLibrary(HKEY machine) {
  return ReadText(machine, kPduKey, L"FunctionLibrary");
}

std::wstring PduSupportingJ2534Library(HKEY machine) {
  HKEY devices = nullptr;
  if (RegOpenKeyExW(machine, kJ2534Key, 0, KEY_READ, &devices) != ERROR_SUCCESS) return std::wstring();
  std::wstring found;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256] = {};
    DWORD chars = 256;
    if (RegEnumKeyExW(devices, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY device = nullptr;
    if (RegOpenKeyExW(devices, name, 0, KEY_READ, &device) != ERROR_SUCCESS) continue;
    DWORD flag = 0;
    DWORD bytes = sizeof(flag);
    DWORD type = 0;
    const bool flagged = RegQueryValueExW(device, L"PDUAPISupported", nullptr, &type,
                                          reinterpret_cast<BYTE*>(&flag), &bytes) == ERROR_SUCCESS &&
                         bytes == sizeof(flag) && flag == 1;
    RegCloseKey(device);
    if (flagged) {
      const std::wstring library = ReadText(devices, name, L"FunctionLibrary");
      if (!library.empty()) found = library;  // the last one flagged wins
    }
  }
  RegCloseKey(devices);
  return found;
}

PduLogPlan LookUpPduSettings(const std::wstring& ownPath, const SettingsRoots& roots) {
  PduLogPlan plan;
  plan.pduLibrary = RegisteredPduLibrary(roots.machine);
  std::vector<std::wstring> registered;
  if (!plan.pduLibrary.empty()) registered.push_back(plan.pduLibrary);
  g_pduLogFileName = PduLogFileName(roots);
  plan.settings = LookUpSettings(L"PDU API", ownPath, registered, roots, &PduDefaultLogName);
  if (plan.settings.storeWithPrimaryApi != 1) return plan;
  plan.j2534Library = PduSupportingJ2534Library(roots.machine);
  if (plan.j2534Library.empty()) return plan;  // no J2534 implementation serves the D-PDU API
  std::wstring resolved = ResolveRegisteredPath(plan.j2534Library);
  if (resolved.empty()) resolved = plan.j2534Library;
  MonitorSettings primary =
      LookUpSettings(L"J2534 API", resolved, std::vector<std::wstring>{plan.j2534Library}, roots);
  // The J2534 implementation's file and page options apply; the J2534 monitor
  // owns the file's start (it overwrites), so the D-PDU entries only append.
  primary.overwrite = false;
  primary.storeWithPrimaryApi = 1;
  plan.settings = primary;
  plan.storedWithJ2534 = true;
  return plan;
}

}  // namespace monitor
