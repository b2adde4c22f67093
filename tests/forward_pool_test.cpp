// Forwarding through a monitor copy: a stand-in vendor library with functions
// beyond the monitor's own (tests/helpers/vendor_extras.c) is monitored through
// Varrow's save; each extra function is called through the copy, by name and by
// ordinal, with the original's results, and the log notes the calls once per
// session. Runs with either architecture's monitors.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "monitoring/export_pool.h"
#include "monitoring/library_swap.h"
#include "tests/monitor_fixture.h"
#include "tests/monitoring_fixtures.h"

namespace varrow {
namespace {

using test::BinFolder;

constexpr bool k64 = sizeof(void*) == 8;
const wchar_t* const kJ2534Monitor = k64 ? L"OvraJ2534Mon64.dll" : L"OvraJ2534Mon32.dll";
const wchar_t* const kPduMonitor = k64 ? L"OvraPduMon64.dll" : L"OvraPduMon32.dll";

using Sum10Fn = long long(__stdcall*)(int, int, int, int, int, int, int, int, int, int);
using ScaleFn = double(__stdcall*)(double, float, int, double);
using LastErrorFn = DWORD(__cdecl*)();
using SecretFn = int(__stdcall*)(int);

template <typename T>
T Function(HMODULE module, const char* nameOrOrdinal) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, nameOrOrdinal)));
}

bool InModule(HMODULE module, void* address) {
  HMODULE owner = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &owner) && owner == module;
}

std::string Bytes(const std::wstring& path) {
  std::string bytes;
  return test::ReadFileText(path, &bytes) ? bytes : "<unreadable>";
}

class Forwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::MakeDir(dir / L"package"));
    for (const wchar_t* name : {kJ2534Monitor, kPduMonitor}) {
      ASSERT_TRUE(CopyFileW((BinFolder() + L"\\" + name).c_str(), (dir / L"package\\" + name).c_str(), FALSE));
    }
    packageBytes = Bytes(dir / L"package\\" + kJ2534Monitor);
  }
  // Monitoring switched on for a copy of the stand-in `vendor` at <dir>\<name>
  // through Varrow's save, logging in `format`.
  std::wstring SwitchOn(const wchar_t* vendor, const std::wstring& name, int format) {
    const std::wstring library = dir / name;
    EXPECT_TRUE(CopyFileW((BinFolder() + L"\\" + vendor).c_str(), library.c_str(), FALSE));
    test::SetString(registry.Machine(), L"SOFTWARE\\PassThruSupport.04.04\\" + test::DeviceKeyName(name),
                    L"FunctionLibrary", library);
    MonitoringState state;
    ApiImplementation& r = state.J2534[0];
    EXPECT_TRUE(r.SetFunctionLibrary(library));
    // A 64-bit library is a native-view registration, served by MonitorLibrary64.
    if (k64) r.SetView(RegistryView::k64);
    EXPECT_TRUE(k64 ? r.SetMonitorLibrary64(dir / L"package\\" + kJ2534Monitor)
                    : r.SetMonitorLibrary(dir / L"package\\" + kJ2534Monitor));
    EXPECT_TRUE(r.SetOutputFile(library + L".log"));
    r.SetOutputFormat(format);
    r.SetMonitoringEnabled(1);
    r.SetLibraryFound(1);
    state.J2534Count = 1;
    const RegistryRoots roots{registry.Machine(), registry.User(), HKEY_USERS};
    EXPECT_TRUE(SaveJ2534Monitoring(state, roots, kJ2534ApiName, 0, reporter));
    return library;
  }

  test::RedirectedRegistry registry;
  test::ScratchDir dir;
  test::RecordingReporter reporter;
  std::string packageBytes;
};

TEST_F(Forwarding, ExtraFunctionsAnswerAsTheOriginalAndAreNotedOncePerSession) {
  for (int format = 1; format <= 4; ++format) {
    SCOPED_TRACE(format);
    const std::wstring library = SwitchOn(L"VendorExtras.dll", L"vendor" + std::to_wstring(format) + L".dll", format);
    ASSERT_TRUE(reporter.codes.empty() && reporter.problems.empty());
    EXPECT_EQ(Bytes(AsidePath(library)), Bytes(BinFolder() + L"\\VendorExtras.dll"));
    EXPECT_EQ(Bytes(dir / L"package\\" + kJ2534Monitor), packageBytes) << "the package's monitor was written";

    const HMODULE copy = LoadLibraryW(library.c_str());
    const HMODULE original = LoadLibraryW(AsidePath(library).c_str());
    ASSERT_TRUE(copy != nullptr && original != nullptr);
    // The extras are the copy's own entries; the data export is left out; the
    // monitor's functions keep the original's ordinals.
    for (const char* name : std::initializer_list<const char*>{"VendorSum10", "VendorScale", "VendorLastError",
                                                                MAKEINTRESOURCEA(20)}) {
      EXPECT_TRUE(InModule(copy, Function<void*>(copy, name)));
    }
    EXPECT_EQ(Function<void*>(copy, "VendorBuild"), nullptr);
    EXPECT_EQ(Function<void*>(copy, "VarrowForward0"), nullptr);
    EXPECT_EQ(Function<void*>(copy, MAKEINTRESOURCEA(2)), Function<void*>(copy, "PassThruOpen"));
    EXPECT_EQ(Function<void*>(copy, MAKEINTRESOURCEA(3)), Function<void*>(copy, "PassThruClose"));

    const auto lastError = Function<LastErrorFn>(copy, "VendorLastError");
    const auto sum10 = Function<Sum10Fn>(copy, "VendorSum10");
    const auto scale = Function<ScaleFn>(copy, "VendorScale");
    const auto secret = Function<SecretFn>(copy, MAKEINTRESOURCEA(20));
    const auto open = Function<passthru::PassThruOpenFn>(copy, "PassThruOpen");
    const auto close = Function<passthru::PassThruCloseFn>(copy, "PassThruClose");
    ASSERT_TRUE(lastError && sum10 && scale && secret && open && close);
    SetLastError(0x1234);  // the first call resolves, and keeps the caller's last error
    EXPECT_EQ(lastError(), 0x1234u);
    for (int round = 0; round < 2; ++round) {  // resolved, then cached
      EXPECT_EQ(sum10(1, -2, 3, 4, 5, 6, 7, 8, 9, 10 + round),
                Function<Sum10Fn>(original, "VendorSum10")(1, -2, 3, 4, 5, 6, 7, 8, 9, 10 + round));
    }
    EXPECT_EQ(scale(1.5, 2.25f, 3, 10.0), Function<ScaleFn>(original, "VendorScale")(1.5, 2.25f, 3, 10.0));
    EXPECT_EQ(secret(14), Function<SecretFn>(original, MAKEINTRESOURCEA(20))(14));

    passthru::ULong device = 0;
    ASSERT_EQ(open(nullptr, &device), 0);
    ASSERT_EQ(close(device), 0);  // the session ends
    ASSERT_EQ(close(device), 0);  // nothing new: no note
    FreeLibrary(original);
    FreeLibrary(copy);

    const std::string log = Bytes(library + L".log");
    for (const char* line : {"VendorSum10: 2 calls", "VendorScale: 1 call", "VendorLastError: 1 call",
                             "#20: 1 call", "VendorBuild"}) {
      EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
      EXPECT_EQ(log.find(line), log.rfind(line)) << line << " noted twice";
    }
    for (const char* name : {"Forwarded", "Not forwarded (data)"}) EXPECT_NE(log.find(name), std::string::npos) << name;
  }
}

TEST_F(Forwarding, BothMonitorsCarryTheExtrasOnlyInTheCopy) {
  for (const wchar_t* monitor : {kJ2534Monitor, kPduMonitor}) {
    const std::wstring copy = dir / (std::wstring(L"copy-") + monitor);
    const std::wstring original = BinFolder() + L"\\VendorExtras.dll";
    ASSERT_TRUE(CopyFileW((dir / L"package\\" + monitor).c_str(), copy.c_str(), FALSE));
    std::wstring problem;
    ASSERT_TRUE(PrepareForwardingCopy(copy.c_str(), original.c_str(), problem)) << problem.size();
    const HMODULE module = LoadLibraryExW(copy.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(InModule(module, Function<void*>(module, "VendorScale")));
    EXPECT_TRUE(InModule(module, Function<void*>(module, MAKEINTRESOURCEA(20))));
    EXPECT_EQ(Function<void*>(module, "VarrowForward5"), nullptr);
    // The monitor's own functions stay its own (the original lacks these).
    EXPECT_TRUE(InModule(module, Function<void*>(module, monitor == kPduMonitor ? "PDUConstruct" : "PassThruIoctl")));
    FreeLibrary(module);
    // Written once: a second preparation of the same copy changes nothing.
    const std::string written = Bytes(copy);
    ASSERT_TRUE(PrepareForwardingCopy(copy.c_str(), original.c_str(), problem));
    EXPECT_EQ(Bytes(copy), written);
  }
  EXPECT_EQ(Bytes(dir / L"package\\" + kJ2534Monitor), packageBytes);
}

TEST_F(Forwarding, MoreExtrasThanThePoolAreRefusedAndTheLibraryStaysUnmonitored) {
  const std::wstring library = SwitchOn(L"VendorTooMany.dll", L"many.dll", 1);
  ASSERT_EQ(reporter.problems.size(), 1u);
  const std::wstring& problem = reporter.problems[0];
  for (const wchar_t* part : {library.c_str(), L" 70 ", L" 64"}) {
    EXPECT_NE(problem.find(part), std::wstring::npos) << std::string(part, part + wcslen(part));
  }
  EXPECT_EQ(Bytes(library), Bytes(BinFolder() + L"\\VendorTooMany.dll"));
  EXPECT_FALSE(test::FileExists(AsidePath(library)));
  EXPECT_EQ(Bytes(dir / L"package\\" + kJ2534Monitor), packageBytes);
}

}  // namespace
}  // namespace varrow
