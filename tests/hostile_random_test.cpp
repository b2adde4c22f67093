// A seeded random registry generator: each round builds a machine of random
// registrations, defaults, message sizes and per-user settings (values of every
// type and size, names up to the longest key name, characters outside the ANSI
// code page, libraries present, missing, bare or set aside), then runs the
// monitoring load, Apply with random wishes, disable and uninstall on it. The
// rounds are bounded; a failing round names its seed.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "monitoring/discovery.h"
#include "monitoring/library_swap.h"
#include "monitoring/maintenance.h"
#include "tests/hostile_fixtures.h"

namespace varrow {
namespace {

using test::CaseCounter;
using test::RawValue;

constexpr int kRounds = 24;

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  int Below(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }
  bool Chance(int percent) { return Below(100) < percent; }

  std::wstring Name(int maxChars) {
    static const wchar_t kChars[] = L"abcXYZ019 _-.+\x00e9\x03A9\x5E93\x0436";
    const int length = 1 + Below(maxChars);
    std::wstring name;
    for (int i = 0; i < length; ++i) name += kChars[Below(static_cast<int>(std::size(kChars)) - 1)];
    return name;
  }

  // A value of random shape: texts of every length, numbers of every size,
  // binary noise; or `text` as a proper string.
  RawValue Value(const std::wstring& text) {
    switch (Below(8)) {
      case 0: case 1: case 2: return {"text", REG_SZ, test::Utf16Bytes(text, true)};
      case 3: return {"unterminated", REG_SZ, test::Utf16Bytes(text, false)};
      case 4: return {"long text", REG_SZ, test::Utf16Bytes(std::wstring(250 + Below(20), L'q'), true)};
      case 5: {
        std::vector<BYTE> bytes(Below(12));
        for (BYTE& b : bytes) b = static_cast<BYTE>(Below(256));
        return {"binary", static_cast<DWORD>(Below(12)), bytes};
      }
      default: {
        const DWORD number = Chance(50) ? Below(6) : static_cast<DWORD>(random_());
        std::vector<BYTE> bytes(4);
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(number >> (8 * i));
        if (Chance(20)) bytes.resize(Below(9));
        return {"number", REG_DWORD, bytes};
      }
    }
  }

 private:
  std::mt19937 random_;
};

// The FunctionLibrary texts of the J2534 and PDU registrations that read as
// texts: the libraries that the disable mode can find.
std::set<std::wstring> ReadableRegistrations(HKEY machine) {
  std::set<std::wstring> found;
  auto add = [&](HKEY key) {
    std::wstring library;
    if (ReadString(key, L"FunctionLibrary", &library) == ERROR_SUCCESS) found.insert(library);
  };
  RegKey j2534;
  if (j2534.Open(machine, kJ2534RegistrationPath, KEY_READ) == ERROR_SUCCESS) {
    std::wstring name;
    for (DWORD index = 0; EnumSubkey(j2534.Get(), index, &name) == ERROR_SUCCESS; ++index) {
      RegKey device;
      if (device.Open(j2534.Get(), name, KEY_READ) == ERROR_SUCCESS) add(device.Get());
    }
  }
  RegKey pdu;
  if (pdu.Open(machine, ProductPath({kPduSupportSection}), KEY_READ) == ERROR_SUCCESS) add(pdu.Get());
  return found;
}

class HostileRandom : public ::testing::Test {
 protected:
  CaseCounter cases;
};

TEST_F(HostileRandom, GeneratedMachinesLoadApplyAndRestore) {
  for (int round = 0; round < kRounds; ++round) {
    const unsigned seed = 1000 + round;
    SCOPED_TRACE("seed " + std::to_string(seed));
    Generator g(seed);
    test::ScratchRegistry reg;
    test::ScratchDir dir;
    test::MakeDir(dir / L"lib");
    test::MakeDir(dir / L"path");
    test::MakeDir(dir / L"windows");
    test::MakeDir(dir / L"system32");
    test::ScopedPathVariable path(L"C:\\nowhere;" + (dir / L"path") + L";;");
    const HKEY machine = reg.Machine();

    // Real library files, remembered with their contents and registration text.
    struct Library {
      std::wstring file;
      std::string content;
      std::wstring registration;
    };
    std::vector<Library> libraries;
    auto library = [&](bool onPath) {
      const std::wstring name = L"l" + std::to_wstring(libraries.size()) + g.Name(8) + L".dll";
      const std::wstring full = (onPath ? dir / L"path" : dir / L"lib") + L"\\" + name;
      const std::string content = "library " + std::to_string(libraries.size());
      if (g.Chance(25)) {  // already monitored
        EXPECT_TRUE(test::WriteFileText(AsidePath(full), content));
        EXPECT_TRUE(test::WriteFileText(full, "monitor"));
      } else {
        EXPECT_TRUE(test::WriteFileText(full, content));
      }
      libraries.push_back({full, content, onPath ? name : full});
      return libraries.back().registration;
    };
    const std::wstring monitor = dir / L"monitor.dll";
    EXPECT_TRUE(test::WriteFileText(monitor, "monitor"));

    const int devices = g.Below(30);
    for (int d = 0; d < devices; ++d) {
      const std::wstring key = std::wstring(kJ2534RegistrationPath) + L"\\" + g.Name(g.Chance(10) ? 255 : 20);
      const std::wstring lib = g.Chance(70) ? library(g.Chance(30)) : L"C:\\missing\\" + g.Name(10);
      test::SetValue(machine, key, L"FunctionLibrary", g.Value(lib));
      if (g.Chance(80)) test::SetValue(machine, key, L"Vendor", g.Value(g.Name(30)));
      if (g.Chance(80)) test::SetValue(machine, key, L"Name", g.Value(g.Name(30)));
      if (g.Chance(30)) test::SetValue(machine, key, L"PDUAPISupported", g.Value(L"1"));
      if (g.Chance(40)) {
        const std::wstring settings = ProductPath(
            {L"Monitoring", kJ2534ApiName, SettingsKeyName(lib.find(L'\\') == std::wstring::npos
                                                                ? dir / L"path\\" + lib
                                                                : lib)});
        for (const wchar_t* value : {L"OutputFile", L"OutputFormat", L"Overwrite", L"MessageSize",
                                     L"Version", L"StoreWithPrimaryAPI"}) {
          if (g.Chance(70)) test::SetValue(reg.User(), settings, value, g.Value(dir / L"log.txt"));
        }
      }
      cases.Add();
    }
    for (const wchar_t* api : {kJ2534ApiName, kPduApiName}) {
      const std::wstring defaults = FactoryPath({L"Monitoring", api});
      if (g.Chance(85)) test::SetValue(machine, defaults, L"MonitorLibrary", g.Value(monitor));
      for (int i = 0; i < g.Below(14); ++i) {
        const std::wstring name = L"MessageSize" + (g.Chance(80) ? std::to_wstring(i) : g.Name(4));
        test::SetValue(machine, defaults + L"\\MessageSizes", name.c_str(), g.Value(L"7"));
        test::SetValue(reg.User(), ProductPath({L"Monitoring", api, L"MessageSizes"}), name.c_str(),
                       g.Value(L"9"));
        cases.Add(2);
      }
      test::SetValue(machine, defaults + L"\\MessageSizes", L"Version", g.Value(L"2"));
    }
    if (g.Chance(70)) {
      test::SetValue(machine, ProductPath({kPduSupportSection}), L"FunctionLibrary",
                     g.Value(library(false)));
    }
    if (g.Chance(70)) test::SetValue(machine, ProductPath(), L"LogFileLocation", g.Value(dir / L""));
    const std::wstring machineBefore = test::Snapshot(machine);

    // The load keeps every text and table in bounds.
    MonitoringState state;
    LoadMonitoringConfiguration(state, reg.Roots(), g.Below(3), L"caption");
    EXPECT_LE(state.J2534Count, kMaxImplementations);
    EXPECT_EQ(state.CaptionsOf(ApiKind::J2534).size(), static_cast<std::size_t>(state.J2534Count));
    EXPECT_LT(state.PduSupportingIndex, state.J2534Count);
    EXPECT_LE(state.J2534MessageSizes.count, 10u);
    EXPECT_LE(state.PduMessageSizes.count, 10u);
    for (int i = 0; i < state.J2534Count; ++i) {
      EXPECT_LT(state.J2534[i].FunctionLibrary().size(), kFieldChars);
      EXPECT_LT(state.J2534[i].OutputFile().size(), kFieldChars);
      EXPECT_LT(state.CaptionsOf(ApiKind::J2534)[i].size(), 2 * kFieldChars);
    }

    // Apply with random wishes, as the save sequence calls it.
    test::RecordingReporter reporter;
    for (int i = 0; i < state.J2534Count; ++i) {
      state.J2534[i].SetMonitoringEnabled(g.Chance(50));
      if (state.J2534[i].LibraryFound() != 0)
        SaveJ2534Monitoring(state, reg.Roots(), kJ2534ApiName, i, reporter);
    }
    for (int i = 0; i < state.PduCount; ++i) {
      state.Pdu[i].SetMonitoringEnabled(g.Chance(50));
      SavePduMonitoring(state, reg.Roots(), i, reporter);
    }
    auto noLibraryLost = [&](const char* when) {
      for (const auto& [file, content, registration] : libraries) {
        std::string atPath, aside;
        test::ReadFileText(file, &atPath);
        test::ReadFileText(AsidePath(file), &aside);
        EXPECT_TRUE(atPath == content || aside == content) << when << ": " << test::Narrow(file);
      }
    };
    noLibraryLost("after Apply");

    // Disable, then uninstall over random user hives.
    MachineLayout layout;
    layout.roots = reg.Roots();
    layout.windowsDir = dir / L"windows";
    layout.systemDir = dir / L"system32";
    for (int h = 0; h < g.Below(4); ++h) {
      test::SetValue(reg.Users(), g.Name(g.Chance(20) ? 255 : 12) + L"\\SOFTWARE\\OVRA\\OVRA_VCI",
                     L"v", g.Value(L"x"));
    }
    UninstallUserSettings(layout);
    noLibraryLost("after uninstall");
    // Every library that a readable registration names is back at its path,
    // with nothing left at its set-aside path or beside it.
    const std::set<std::wstring> registered = ReadableRegistrations(machine);
    for (const Library& library : libraries) {
      if (registered.count(library.registration) == 0) continue;
      std::string atPath;
      EXPECT_TRUE(test::ReadFileText(library.file, &atPath) && atPath == library.content)
          << "not back after uninstall: " << test::Narrow(library.file);
      EXPECT_FALSE(test::FileExists(AsidePath(library.file))) << test::Narrow(library.file);
    }
    EXPECT_EQ(test::LeftoverCount(dir / L"lib") + test::LeftoverCount(dir / L"path"), 0);
    for (DWORD index = 0;; ++index) {
      std::wstring hive;
      const LONG rc = EnumSubkey(reg.Users(), index, &hive, kFieldChars);
      if (rc == ERROR_MORE_DATA) continue;
      if (rc != ERROR_SUCCESS) break;
      EXPECT_FALSE(test::KeyExists(reg.Users(), hive + L"\\SOFTWARE\\OVRA\\OVRA_VCI"));
    }
    EXPECT_EQ(machineBefore, test::Snapshot(machine)) << "the machine root was changed";
    if (HasFailure()) break;  // one seed at a time
  }
}

}  // namespace
}  // namespace varrow
