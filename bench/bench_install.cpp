#include "bench/bench_install.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "monitoring/api_implementation.h"
#include "monitoring/discovery.h"
#include "monitoring/leftover_rules.h"
#include "tests/test_support.h"

namespace varrow::bench {

using test::SetDword;
using test::SetString;

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool WriteFileOfSize(const std::wstring& path, DWORD bytes, char fill) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string chunk(65536, fill);
  // A 32-bit library's header first (Varrow reads it to choose the monitor).
  std::string first = chunk;
  first.replace(0, 0x48, std::string(0x48, '\0'));
  first.replace(0, 2, "MZ");
  first[0x3C] = 0x40;
  first.replace(0x40, 6, std::string("PE\0\0\x4c\x01", 6));
  DWORD left = bytes;
  bool ok = true;
  for (bool head = true; ok && left > 0; head = false) {
    const DWORD n = left < chunk.size() ? left : static_cast<DWORD>(chunk.size());
    DWORD written = 0;
    ok = WriteFile(file, (head ? first : chunk).data(), n, &written, nullptr) && written == n;
    left -= n;
  }
  CloseHandle(file);
  return ok;
}

void BareSwitchOn(const std::wstring& monitor, const std::wstring& library) {
  MoveFileExW(library.c_str(), AsidePath(library).c_str(), 0);
  CopyFileW(monitor.c_str(), library.c_str(), TRUE);
}

void BareSwitchOff(const std::wstring& library) {
  static std::uint64_t unique = 0;
  const std::wstring leftover = LeftoverPath(library, ++unique);
  MoveFileExW(library.c_str(), leftover.c_str(), 0);
  MoveFileExW(AsidePath(library).c_str(), library.c_str(), 0);
  DeleteFileW(leftover.c_str());
}

bool MakeFolders(const std::wstring& path) { return test::MakeDir(path); }

void RemoveFolder(const std::wstring& path) { test::RemoveTree(path); }

std::wstring CrowdedFiles::PathVariable(const std::wstring& tail) const {
  std::wstring value;
  for (const std::wstring& folder : pathFolders) value += folder + L";";
  return value + tail;
}

CrowdedFiles DescribeCrowdedFiles(const std::wstring& folder) {
  CrowdedFiles files;
  files.folder = folder;
  files.monitorLibrary = folder + L"\\monitor\\BenchMonitor32.dll";
  for (int i = 0; i < kPathFolders; ++i) {
    wchar_t name[16];
    std::swprintf(name, 16, L"p%03d", i);
    files.pathFolders.push_back(folder + L"\\path\\" + name);
  }
  for (int i = 0; i < kDevices; ++i) {
    wchar_t name[32];
    std::swprintf(name, 32, L"BenchPT%02d.dll", i);
    files.libraryNames.push_back(name);
    files.libraries.push_back(files.pathFolders.back() + L"\\" + name);
    wchar_t maker[64];
    std::swprintf(maker, 64, L"\\makers\\maker%02d\\BenchRT%02d.dll", i, i);
    files.makerLibraries.push_back(folder + maker);
  }
  files.pduLibrary = folder + L"\\pdu\\BenchPdu32.dll";
  return files;
}

bool MakeCrowdedFiles(const CrowdedFiles& files) {
  bool ok = MakeFolders(files.folder + L"\\monitor") && MakeFolders(files.folder + L"\\pdu");
  ok = ok && WriteFileOfSize(files.monitorLibrary, kMonitorBytes, 'M');
  for (const std::wstring& folder : files.pathFolders) ok = ok && MakeFolders(folder);
  for (const std::wstring& library : files.libraries) {
    ok = ok && WriteFileOfSize(library, 64 * 1024, 'L');
  }
  for (const std::wstring& library : files.makerLibraries) {
    const std::wstring makerFolder = library.substr(0, library.rfind(L'\\'));
    ok = ok && MakeFolders(makerFolder) && WriteFileOfSize(library, 64 * 1024, 'L');
  }
  ok = ok && WriteFileOfSize(files.pduLibrary, 64 * 1024, 'P');
  return ok;
}

namespace {

void SeedOrder(HKEY root, const std::wstring& section, const wchar_t* prefix, int entries) {
  for (int i = 0; i < entries; ++i) {
    wchar_t name[32];
    std::swprintf(name, 32, L"%ls%02d", prefix, i);
    const std::wstring entry = section + L"\\" + name;
    SetDword(root, entry, L"Number", static_cast<DWORD>(i + 1));
    SetDword(root, entry, L"Enabled", i < 3 ? 1 : 0);
  }
  SetDword(root, section, L"Version", 1);
}

void SeedSettings(HKEY root, const std::wstring& key, const std::wstring& outputFile) {
  SetString(root, key, L"OutputFile", outputFile);
  SetDword(root, key, L"OutputFormat", 1);
  SetDword(root, key, L"Overwrite", 1);
  SetDword(root, key, L"LogEntryExit", 0);
  SetDword(root, key, L"LogDebugView", 0);
  SetDword(root, key, L"DisableErrBufferEmpty", 1);
  SetDword(root, key, L"MessageSize", 2);
  SetDword(root, key, L"Version", 1);
}

void SeedApiDefaults(HKEY machine, ApiKind kind, const std::wstring& monitor,
                     const std::wstring& logFile) {
  const std::wstring key = FactoryPath({L"Monitoring", ApiKindName(kind)});
  SetString(machine, key, L"MonitorLibrary", monitor);
  SeedSettings(machine, key, logFile);
  if (kind == ApiKind::PDU) SetDword(machine, key, L"StoreWithPrimaryAPI", 0);
  const std::wstring sizes = key + L"\\MessageSizes";
  static const DWORD kSizes[10] = {0, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384};
  for (int i = 0; i < 10; ++i) {
    wchar_t name[16];
    std::swprintf(name, 16, L"MessageSize%02d", i);
    SetDword(machine, sizes, name, kSizes[i]);
  }
  SetDword(machine, sizes, L"Version", 1);
}

}  // namespace

void SeedBareMachine(HKEY machine, const std::wstring& dllLocation, const std::wstring& logFolder) {
  SetString(machine, ProductPath(), L"Brand", L"tln");
  SetString(machine, ProductPath(), L"DLLLocation", dllLocation);
  SetString(machine, ProductPath(), L"LogFileLocation", logFolder + L"\\");
  SetDword(machine, FactoryPath({L"DefaultDevice"}), L"SerialNumber", 0);
  SetDword(machine, FactoryPath({L"DefaultDevice"}), L"Version", 1);
  SeedOrder(machine, FactoryPath({L"AutoConnectionOrder"}), L"Connection", 5);
  SeedOrder(machine, FactoryPath({L"InterfaceTypeOrder"}), L"InterfaceType", 3);
}

namespace {

// `registered[i]` is device i's FunctionLibrary, `found[i]` the path where
// discovery finds it, which names its settings subkey.
void SeedMonitoring(HKEY machine, HKEY user, const CrowdedFiles& files,
                    const std::vector<std::wstring>& registered,
                    const std::vector<std::wstring>& found) {
  const std::wstring logs = files.folder + L"\\logs";
  MakeFolders(logs);
  SeedApiDefaults(machine, ApiKind::J2534, files.monitorLibrary, logs + L"\\J2534\\default.txt");
  SeedApiDefaults(machine, ApiKind::PDU, files.monitorLibrary, logs + L"\\PDU\\default.txt");
  for (int i = 0; i < kDevices; ++i) {
    wchar_t name[48];
    std::swprintf(name, 48, L"Bench Device %02d", i);
    const std::wstring device = std::wstring(kJ2534RegistrationPath) + L"\\" + name;
    SetString(machine, device, L"Vendor", L"Bench Vendor");
    SetString(machine, device, L"Name", name);
    SetString(machine, device, L"FunctionLibrary", registered[i]);
    if (i == 0) SetDword(machine, device, L"PDUAPISupported", 1);
    const std::wstring settings =
        ProductPath({L"Monitoring", kJ2534ApiName, SettingsKeyName(found[i])});
    wchar_t log[32];
    std::swprintf(log, 32, L"\\J2534\\device%02d.txt", i);
    SeedSettings(user, settings, logs + log);
  }
  SetString(machine, ProductPath({kPduSupportSection}), L"FunctionLibrary", files.pduLibrary);
  SeedSettings(user, ProductPath({L"Monitoring", kPduApiName, SettingsKeyName(files.pduLibrary)}),
               logs + L"\\PDU\\pdu.txt");
}

}  // namespace

void SeedCrowdedMonitoring(HKEY machine, HKEY user, const CrowdedFiles& files) {
  SeedMonitoring(machine, user, files, files.libraryNames, files.libraries);
}

void SeedRealisticMonitoring(HKEY machine, HKEY user, const CrowdedFiles& files) {
  SeedMonitoring(machine, user, files, files.makerLibraries, files.makerLibraries);
}

BenchRoots::BenchRoots(const std::wstring& name) {
  wchar_t unique[64];
  std::swprintf(unique, 64, L"%lu_%lu", GetCurrentProcessId(), GetTickCount());
  path_ = L"Software\\VarrowBench\\" + std::wstring(unique) + L"\\" + name;
  (void)keys_[0].Create(HKEY_CURRENT_USER, path_ + L"\\machine", KEY_ALL_ACCESS);
  (void)keys_[1].Create(HKEY_CURRENT_USER, path_ + L"\\user", KEY_ALL_ACCESS);
  (void)keys_[2].Create(HKEY_CURRENT_USER, path_ + L"\\users", KEY_ALL_ACCESS);
  roots_ = {keys_[0].Get(), keys_[1].Get(), keys_[2].Get()};
}

BenchRoots::~BenchRoots() {
  for (RegKey& key : keys_) key.Close();
  SHDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
}

bool BenchRoots::Open(const std::wstring& path, RegKey keys[3], RegistryRoots* roots) {
  const wchar_t* names[3] = {L"\\machine", L"\\user", L"\\users"};
  for (int i = 0; i < 3; ++i) {
    if (keys[i].Open(HKEY_CURRENT_USER, path + names[i], KEY_ALL_ACCESS) != ERROR_SUCCESS)
      return false;
  }
  *roots = {keys[0].Get(), keys[1].Get(), keys[2].Get()};
  return true;
}

}  // namespace varrow::bench
