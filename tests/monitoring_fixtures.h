// Shared scaffolding of the monitoring tests: scratch registry and folder, seeding
// of registrations and defaults, real file faults, and a guard that the machine
// root is never changed.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "monitoring/api_implementation.h"
#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "monitoring/leftover_rules.h"
#include "settings/owned_handle.h"
#include "settings/registry.h"
#include "tests/test_support.h"

namespace varrow::test {

// Every test seeds the machine root, calls Seal(), and is then checked on
// teardown to have left the machine root exactly as seeded.
class MonitoringFixture : public ::testing::Test {
 protected:
  void Seal() {
    machineBefore_ = Snapshot(reg.Machine());
    sealed_ = true;
  }
  void TearDown() override {
    ASSERT_TRUE(sealed_) << "the test never sealed the machine root";
    EXPECT_EQ(machineBefore_, Snapshot(reg.Machine())) << "the machine root was changed";
  }

  // A J2534 device registration; pduSupported < 0 leaves the value out.
  void AddJ2534Device(const std::wstring& name, const std::wstring& vendor,
                      const std::wstring& product, const std::wstring& library,
                      int pduSupported = -1) {
    const std::wstring path = std::wstring(kJ2534RegistrationPath) + L"\\" + name;
    SetString(reg.Machine(), path, L"Vendor", vendor);
    SetString(reg.Machine(), path, L"Name", product);
    SetString(reg.Machine(), path, L"FunctionLibrary", library);
    if (pduSupported >= 0) SetDword(reg.Machine(), path, L"PDUAPISupported", pduSupported);
  }
  void SetPduLibrary(const std::wstring& library) {
    SetString(reg.Machine(), ProductPath({kPduSupportSection}), L"FunctionLibrary", library);
  }
  void SetMonitorDefault(ApiKind kind, const std::wstring& monitor) {
    SetString(reg.Machine(), FactoryPath({L"Monitoring", ApiKindName(kind)}), L"MonitorLibrary",
              monitor);
  }
  // Writes a file in the scratch folder and returns its path.
  std::wstring MakeFile(const std::wstring& relative, const std::string& content) {
    const std::wstring path = dir / relative;
    EXPECT_TRUE(WriteFileText(path, content)) << "cannot write the seed file";
    return path;
  }
  std::string Content(const std::wstring& path) {
    std::string text;
    if (!ReadFileText(path, &text)) return "<missing>";
    return text;
  }

  ScratchRegistry reg;
  ScratchDir dir;

 private:
  std::wstring machineBefore_;
  bool sealed_ = false;
};

// Sets PATH for the test's duration and restores it afterwards.
class ScopedPathVariable {
 public:
  explicit ScopedPathVariable(const std::wstring& value) {
    DWORD needed = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (needed > 0) {
      old_.resize(needed);
      old_.resize(GetEnvironmentVariableW(L"PATH", old_.data(), needed));
      hadOld_ = true;
    }
    SetEnvironmentVariableW(L"PATH", value.c_str());
  }
  ~ScopedPathVariable() { SetEnvironmentVariableW(L"PATH", hadOld_ ? old_.c_str() : nullptr); }
  ScopedPathVariable(const ScopedPathVariable&) = delete;
  ScopedPathVariable& operator=(const ScopedPathVariable&) = delete;

 private:
  std::wstring old_;
  bool hadOld_ = false;
};

// Holds a file open without any sharing, as an application using it would.
class HeldOpen {
 public:
  explicit HeldOpen(const std::wstring& path)
      : handle_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  bool Valid() const { return handle_.Valid(); }

 private:
  KernelHandle handle_;
};

// Records the codes of failed file steps and the repairs.
class RecordingReporter : public FileErrorReporter {
 public:
  void ReportFileError(DWORD code) override { codes.push_back(code); }
  void ReportRepair(const LibraryRepair& repair) override { repairs.push_back(repair); }
  void ReportMonitorRefused(const std::wstring& library, MonitorRefusal reason) override {
    refusals.push_back({library, reason});
  }
  void ReportProblem(const std::wstring& text) override { problems.push_back(text); }
  std::vector<DWORD> codes;
  std::vector<std::pair<std::wstring, MonitorRefusal>> refusals;
  std::vector<LibraryRepair> repairs;
  std::vector<std::wstring> problems;
};

// A sorted "name=content" listing of a folder's files, for before/after comparison.
inline std::string FolderListing(const std::wstring& folder) {
  std::vector<std::string> entries;
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return "<none>";
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::string content;
    ReadFileText(folder + L"\\" + data.cFileName, &content);
    std::string name;
    for (const wchar_t* c = data.cFileName; *c; ++c) name += static_cast<char>(*c);
    entries.push_back(name + "=" + content);
  } while (FindNextFileW(find.Get(), &data));
  std::sort(entries.begin(), entries.end());
  std::string out;
  for (const std::string& e : entries) out += e + ";";
  return out;
}

// The leftover monitor copies in a folder (file names of the leftover form).
inline int LeftoverCount(const std::wstring& folder) {
  int count = 0;
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return 0;
  do {
    if (IsLeftoverName(data.cFileName)) ++count;
  } while (FindNextFileW(find.Get(), &data));
  return count;
}

}  // namespace varrow::test
