// The `Varrow.exe disable` measure: 41 registered libraries set aside with a
// monitor in their place, restored by the program, against a run with nothing
// to restore plus the bare file steps; and what the leftover clean-up's
// listings cost; the registrations and libraries it sets up (also for the
// marked runs of bench/round_trips.sh).
#pragma once

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "bench/bench_install.h"
#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "tests/test_support.h"

namespace varrow::bench {

// The measure's registrations (J2534, RP1210 and D-PDU) and their libraries,
// set aside and put back as `disable` finds them.
class DisableMachine {
 public:
  explicit DisableMachine(const std::wstring& work) : work_(work) {
    wchar_t buffer[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(buffer, MAX_PATH);
    ini_ = std::wstring(buffer) + L"\\RP121032.ini";
    GetSystemDirectoryW(buffer, MAX_PATH);
    systemDir_ = buffer;
    MakeFolders(work + L"\\disable\\j2534");
    MakeFolders(work + L"\\disable\\pdu");
    for (int i = 0; i < kDevices; ++i) {
      wchar_t name[64];
      std::swprintf(name, 64, L"\\disable\\j2534\\BenchDT%02d.dll", i);
      j2534_.push_back(work + name);
      std::swprintf(name, 64, L"BNCRP%02d", i);
      rp1210Names_.push_back(name);
      rp1210_.push_back(systemDir_ + L"\\" + name + L".dll");
    }
    pdu_ = work + L"\\disable\\pdu\\BenchDP.dll";
  }
  ~DisableMachine() {
    Unregister();
    for (const std::wstring& library : AllLibraries()) {
      DeleteFileW(library.c_str());
      DeleteFileW(AsidePath(library).c_str());
    }
  }

  // Refuses to touch a machine that has registrations of its own.
  bool Clean() const {
    return GetFileAttributesW(ini_.c_str()) == INVALID_FILE_ATTRIBUTES &&
           !test::KeyExists(HKEY_LOCAL_MACHINE, kJ2534RegistrationPath) &&
           !test::KeyExists(HKEY_LOCAL_MACHINE, ProductPath({kPduSupportSection}));
  }

  void Register() {
    std::wstring list;
    for (const std::wstring& name : rp1210Names_) list += (list.empty() ? L"" : L",") + name;
    WritePrivateProfileStringW(L"RP1210Support", L"APIImplementations", list.c_str(), ini_.c_str());
    for (int i = 0; i < kDevices; ++i) {
      wchar_t device[64];
      std::swprintf(device, 64, L"\\Bench Disable %02d", i);
      test::SetString(HKEY_LOCAL_MACHINE, kJ2534RegistrationPath + std::wstring(device),
                      L"FunctionLibrary", j2534_[i]);
    }
    test::SetString(HKEY_LOCAL_MACHINE, ProductPath({kPduSupportSection}), L"FunctionLibrary", pdu_);
  }
  void Unregister() {
    DeleteFileW(ini_.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini_.c_str());  // flush the cache
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, kJ2534RegistrationPath);
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, ProductPath({kPduSupportSection}).c_str());
  }

  std::vector<std::wstring> AllLibraries() const {
    std::vector<std::wstring> all = rp1210_;
    all.insert(all.end(), j2534_.begin(), j2534_.end());
    all.push_back(pdu_);
    return all;
  }
  // Every library set aside with a monitor copy in its place.
  bool SetAside() const {
    bool ok = true;
    for (const std::wstring& library : AllLibraries()) {
      ok = WriteFileOfSize(AsidePath(library), 64 * 1024, 'L') && ok;
      ok = WriteFileOfSize(library, 64 * 1024, 'M') && ok;
    }
    return ok;
  }
  int Restored() const {
    int restored = 0;
    for (const std::wstring& library : AllLibraries()) {
      std::string content;
      if (GetFileAttributesW(AsidePath(library).c_str()) == INVALID_FILE_ATTRIBUTES &&
          test::ReadFileText(library, &content) && !content.empty() && content[0] == 'L') {
        ++restored;
      }
    }
    return restored;
  }
  double BareSteps() const {
    const double start = Now();
    for (const std::wstring& library : AllLibraries()) BareSwitchOff(library);
    return Now() - start;
  }
  int Count() const { return static_cast<int>(AllLibraries().size()); }
  const std::wstring& SystemDir() const { return systemDir_; }
  std::wstring J2534Folder() const { return work_ + L"\\disable\\j2534"; }

 private:
  std::wstring work_, ini_, systemDir_, pdu_;
  std::vector<std::wstring> j2534_, rp1210_, rp1210Names_;
};

// Adds the measure's row (not measured on a prefix with registrations of its
// own, which it never touches); `work` is a scratch folder.
void Disable(int rounds, const std::wstring& work);

}  // namespace varrow::bench
