#include "tools/vci_views.h"

#include <windows.h>

#include <vector>

#include "installer/pdu_root_rules.h"
#include "monitoring/path_rules.h"
#include "settings/native_files.h"
#include "tools/pe_machine.h"
#include "tools/vci_devices.h"

namespace {

constexpr DWORD kValueChars = 32767;

struct View {
  REGSAM flag;
  const wchar_t* title;
  std::uint16_t machine;  // what a library registered here must be
  bool native;            // the native view of 64-bit Windows
};

// The views of this PC, seen from this program.
std::vector<View> Views() {
#if defined(_WIN64)
  return {{KEY_WOW64_32KEY, L"32-bit view (WOW6432Node)", vcicheck::kMachineI386, false},
          {KEY_WOW64_64KEY, L"native 64-bit view", vcicheck::kMachineAmd64, true}};
#else
  BOOL wow = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &wow) && wow)
    return {{KEY_WOW64_32KEY, L"32-bit view (WOW6432Node)", vcicheck::kMachineI386, false},
            {KEY_WOW64_64KEY, L"native 64-bit view", vcicheck::kMachineAmd64, true}};
  return {{KEY_WOW64_32KEY, L"32-bit view (32-bit Windows)", vcicheck::kMachineI386, false}};
#endif
}

// A 32-bit view's path as a 64-bit program must open it (System32 is
// SysWOW64 for the 32-bit programs that registered it).
std::wstring AsSeenBy32(const std::wstring& path) {
#if defined(_WIN64)
  wchar_t system[MAX_PATH] = {}, wow[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  const UINT w = GetSystemWow64DirectoryW(wow, MAX_PATH);
  if (n > 0 && n < MAX_PATH && w > 0 && w < MAX_PATH && path.size() > n && path[n] == L'\\' &&
      _wcsnicmp(path.c_str(), system, n) == 0)
    return wow + path.substr(n);
#endif
  return path;
}

std::wstring ReadString(REGSAM view, const wchar_t* key, const wchar_t* name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS) return L"";
  std::vector<wchar_t> buffer(kValueChars + 1);
  DWORD type = 0, bytes = kValueChars * sizeof(wchar_t);
  const LONG rc = RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
  RegCloseKey(opened);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return L"";
  buffer[bytes / sizeof(wchar_t)] = L'\0';
  return buffer.data();
}

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(n > 0 ? n : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

class Lister {
 public:
  explicit Lister(void (*print)(const std::wstring&)) : print_(print) {}
  int findings() const { return findings_; }

  // One library: where, found, machine, monitored.
  void Library(const View& view, const std::wstring& registered) {
    std::wstring path = view.native ? registered : AsSeenBy32(registered);
    varrow::NativeFiles native(view.native);
    if (!varrow::PlainFilePath(path)) {
      const std::wstring found = ResolveLibrary(path);
      if (found.empty()) return Finding(L"    library:  " + registered + L"  (missing)\n");
      path = found;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return Finding(L"    library:  " + path + L"  (missing)\n");
    std::uint16_t machine = 0;
    const vcicheck::PeRead read = vcicheck::ReadMachine(path, &machine);
    std::wstring line = L"    library:  " + path + L"  (found, ";
    bool fits = false;
    if (read == vcicheck::PeRead::kOk) {
      fits = machine == view.machine;
      line += vcicheck::MachineName(machine) + (fits ? L")" : L": does not fit the " + std::wstring(view.native ? L"native 64-bit" : L"32-bit") + L" view)");
    } else {
      line += read == vcicheck::PeRead::kNotPe ? L"not a PE file)" : L"unreadable)";
    }
    const std::wstring aside = varrow::AsidePath(path);
    const DWORD asideAttributes = aside.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(aside.c_str());
    const bool monitored = asideAttributes != INVALID_FILE_ATTRIBUTES && !(asideAttributes & FILE_ATTRIBUTE_DIRECTORY);
    line += L"\n    monitor:  " + (monitored ? L"on (the library is set aside as " + aside + L")" : std::wstring(L"off")) + L"\n";
    if (fits) print_(line);
    else Finding(line);
  }

  void Registrations(const View& view, const wchar_t* key, const wchar_t* what) {
    for (const Device& d : RegisteredDevices(view.flag, key)) {
      print_(L"  " + std::wstring(what) + L"  " + d.key + L"  (name " + d.name + L", vendor " + d.vendor + L")\n");
      Library(view, d.library);
    }
  }

  void RootFile(const View& view) {
    const std::wstring path = ReadString(view.flag, L"SOFTWARE\\D-PDU API", L"Root File");
    if (path.empty()) return print_(L"  D-PDU root file: none named (SOFTWARE\\D-PDU API \"Root File\")\n");
    std::string bytes;
    {
      varrow::NativeFiles native(view.native);
      const HANDLE file = CreateFileW((view.native ? path : AsSeenBy32(path)).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
      if (file == INVALID_HANDLE_VALUE) return Finding(L"  D-PDU root file " + path + L": cannot be read\n");
      bytes.resize(varrow::pduroot::kMaxRootFileBytes + 1);
      DWORD read = 0;
      const BOOL ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
      CloseHandle(file);
      if (!ok) return Finding(L"  D-PDU root file " + path + L": cannot be read\n");
      bytes.resize(read);
    }
    const varrow::pduroot::Scan scan = varrow::pduroot::ScanRootFile(bytes);
    if (scan.problem != nullptr)
      return Finding(L"  D-PDU root file " + path + L": not readable as one (" + Wide(scan.problem) + L")\n");
    print_(L"  D-PDU root file " + path + L": " + std::to_wstring(scan.entries.size()) + L" entr" +
           (scan.entries.size() == 1 ? L"y" : L"ies") + L"\n");
    for (const varrow::pduroot::EntrySpan& e : scan.entries) {
      print_(L"  D-PDU entry  " + Wide(e.shortName) + L"\n");
      std::string library;
      if (!varrow::pduroot::PathFromFileUri(e.libraryUri, &library)) {
        Finding(L"    library:  " + Wide(e.libraryUri) + L"  (not a local file: URI)\n");
        continue;
      }
      Library(view, Wide(library));
    }
  }

 private:
  void Finding(const std::wstring& line) {
    ++findings_;
    print_(line);
  }
  void (*print_)(const std::wstring&);
  int findings_ = 0;
};

}  // namespace

int ListViews(void (*print)(const std::wstring&)) {
  Lister lister(print);
  for (const View& view : Views()) {
    print(L"\n" + std::wstring(view.title) + L":\n");
    lister.Registrations(view, L"SOFTWARE\\PassThruSupport.04.04", L"J2534 04.04");
    lister.Registrations(view, L"SOFTWARE\\PassThruSupport.05.00", L"J2534 05.00");
    const std::wstring vendor = ReadString(view.flag, L"SOFTWARE\\OVRA\\OVRA_VCI\\PDU API Support", L"FunctionLibrary");
    if (!vendor.empty()) {
      print(L"  D-PDU vendor key  OVRA_VCI\\PDU API Support\n");
      lister.Library(view, vendor);
    }
    lister.RootFile(view);
  }
  print(L"\n" + std::to_wstring(lister.findings()) + L" finding(s).\n");
  return lister.findings() == 0 ? 0 : 1;
}
