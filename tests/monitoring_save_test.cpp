// Apply's monitoring save through one per-API key per kind leaves the registry,
// the files and the reported failures exactly as one save per implementation
// does, on identical installations side by side.
#include <gtest/gtest.h>

#include <string>

#include "monitoring/leftover_rules.h"
#include "monitoring/library_swap.h"
#include "tests/monitoring_fixtures.h"

namespace varrow::test {
namespace {

// What one implementation looks like before the save.
struct Seed {
  int monitoring;     // MonitoringEnabled: the wish to carry out
  int found;          // LibraryFound
  bool installed;     // set aside with a monitor copy in its place
};

struct Scenario {
  const char* name;
  Seed j2534[3];
  Seed pdu;
  bool perApiKeys;    // the per-API keys exist already (a loaded dialog made them)
  bool monitorMissing;  // switch-ons fail at the copy
};

const Scenario kScenarios[] = {
    {"all on", {{1, 1, false}, {1, 1, false}, {1, 1, false}}, {1, 1, false}, true, false},
    {"all off", {{0, 1, true}, {0, 1, true}, {0, 1, false}}, {0, 1, true}, true, false},
    {"mixed, one not found",
     {{1, 1, false}, {0, 0, true}, {1, 0, false}}, {0, 0, false}, false, false},
    {"switch-ons fail", {{1, 1, false}, {0, 1, true}, {1, 1, false}}, {1, 1, false}, true, true},
};

// One scratch installation with three J2534 libraries and the PDU library.
class Installation {
 public:
  explicit Installation(const Scenario& s) {
    const std::wstring monitor = dir_ / L"monitor.dll";
    if (!s.monitorMissing) {
      EXPECT_TRUE(WriteFileText(monitor, "monitor"));
    }
    // A copy left by an earlier switch-off, for the first switch-off to delete.
    EXPECT_TRUE(WriteFileText(LeftoverPath(dir_ / L"lib0.dll", 7), "monitor"));
    state.J2534Count = 3;
    state.PduCount = 1;
    for (int i = 0; i < 4; ++i) {
      const Seed& seed = i < 3 ? s.j2534[i] : s.pdu;
      ApiImplementation& r = i < 3 ? state.J2534[i] : state.Pdu[0];
      const std::wstring lib = dir_ / (L"lib" + std::to_wstring(i) + L".dll");
      EXPECT_TRUE(WriteFileText(lib, seed.installed ? "monitor" : "library"));
      if (seed.installed) {
        EXPECT_TRUE(WriteFileText(AsidePath(lib), "library"));
      }
      (void)r.SetFunctionLibrary(lib);
      (void)r.SetMonitorLibrary(monitor);
      (void)r.SetOutputFile(L"D:\\Logs\\lib" + std::to_wstring(i) + L".txt");
      r.SetMonitoringEnabled(seed.monitoring);
      r.SetLibraryFound(seed.found);
      r.SetMessageSize(i);
    }
    state.Pdu[0].SetStoreWithPrimaryAPI(1);
    state.J2534MessageSizes.count = 3;
    state.J2534MessageSizes.sizes = {0, 512, 4096};
    state.J2534MessageSizes.version = 2;
    state.PduMessageSizes.count = 1;
    if (s.perApiKeys) {
      for (const wchar_t* api : {kJ2534ApiName, kPduApiName})
        SetDword(reg_.User(), ProductPath({L"Monitoring", api}), L"Version", 1);
    }
  }

  // The registry, the folder and the failures, with this installation's folder
  // written as <dir>.
  std::string Outcome() const {
    std::wstring registry = Snapshot(reg_.User());
    // The folder in values, and in settings key names ("\" written "_").
    for (const std::wstring& folder : {dir_.Path(), SettingsKeyName(dir_.Path())}) {
      for (std::size_t at; (at = registry.find(folder)) != std::wstring::npos;)
        registry.replace(at, folder.size(), L"<dir>");
    }
    std::string text(registry.begin(), registry.end());
    text += "\nfiles " + FolderListing(dir_.Path()) + "\nfailures";
    for (DWORD code : reporter.codes) (text += ' ') += std::to_string(code);
    return text;
  }

  const RegistryRoots& Roots() const { return reg_.Roots(); }
  MonitoringState state;
  RecordingReporter reporter;

 private:
  ScratchRegistry reg_;
  ScratchDir dir_;
};

TEST(MonitoringSave, OneKeyPerKindSavesExactlyAsOneSavePerImplementation) {
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    // As Apply saved before: one save per implementation, the list once.
    Installation each(s);
    bool j2534List = false, pduList = false;
    for (int i = 0; i < 3; ++i) {
      if (each.state.J2534[i].LibraryFound() == 0) continue;
      (void)SaveJ2534Monitoring(each.state, each.Roots(), kJ2534ApiName, i, each.reporter,
                                &j2534List);
    }
    (void)SavePduMonitoring(each.state, each.Roots(), 0, each.reporter, &pduList);

    Installation shared(s);
    SaveMonitoringOfKind(shared.state, shared.Roots(), ApiKind::J2534, 3, true, shared.reporter);
    SaveMonitoringOfKind(shared.state, shared.Roots(), ApiKind::PDU, 1, false, shared.reporter);

    EXPECT_EQ(each.Outcome(), shared.Outcome());
    EXPECT_NE(shared.Outcome().find("Monitoring"), std::string::npos);  // something was saved
  }
}

}  // namespace
}  // namespace varrow::test
