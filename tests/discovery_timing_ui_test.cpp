// The monitoring pages are filled when their discovery ends, which may be
// after the dialog shows. Whatever needs them first waits for that: each first
// action is taken once while discovery is still held back and once after the
// pages were filled, and what the user then sees and what is saved match.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <sstream>
#include <string>

#include "app/monitoring_loader.h"
#include "app/varrow_dlg.h"
#include "resources/resource.h"
#include "settings/owned_handle.h"
#include "tests/pages_ui_fixture.h"

namespace varrow::test {
namespace {

// An edit limit that nothing else gives the PDU output-file field.
constexpr LRESULT kMarkerLimit = 1234;
// How long the held discovery must keep the first action waiting. A dialog
// that does not wait handles it within milliseconds; one that waits never
// does while the gate is closed, so a busy machine cannot fail the test.
constexpr DWORD kHeldMs = 1500;

struct FirstAction {
  const char* name;
  std::function<void(const DialogDriver&)> post;  // posts, never sends: the dialog may wait
};

void PrintTo(const FirstAction& action, std::ostream* out) { *out << action.name; }

const FirstAction kFirstActions[] = {
    {"More>>", [](const DialogDriver& d) { d.Click(IDC_MORE_LESS); }},
    {"Apply", [](const DialogDriver& d) { d.Click(IDC_APPLY); }},
};

class DiscoveryTimingTest : public PagesUiTest,
                            public ::testing::WithParamInterface<FirstAction> {
 protected:
  // The seeded installation with lib1 (the selected tab) monitored, and no
  // user settings yet.
  void Reset() {
    SHDeleteKeyW(User(), L"SOFTWARE");
    for (const wchar_t* aside : {L"_lib0.dll", L"_pdu.dll"}) DeleteFileW((dir_ / aside).c_str());
    SeedInstallation();
    ASSERT_TRUE(WriteFileText(Lib1(), LibraryBytes('M')));
    ASSERT_TRUE(WriteFileText(dir_ / L"_lib1.dll", LibraryBytes('1')));
  }

  // What the user sees of the dialog.
  static std::wstring View(const DialogDriver& d) {
    std::wostringstream view;
    const RECT window = d.WindowRect();
    view << L"size " << window.right - window.left << L"x" << window.bottom - window.top
         << L", 1043 " << d.Text(IDC_MORE_LESS) << L", 1021 " << d.Text(IDC_SERIAL_NUMBER);
    for (int tab : {IDC_J2534_TAB, IDC_PDU_TAB}) {
      view << L", tab " << tab << L": "
           << SendMessageW(d.Item(tab), TCM_GETITEMCOUNT, 0, 0) << L"/" << TabSelection(d, tab);
    }
    for (int id : {IDC_J2534_ENABLE, IDC_J2534_FILE, IDC_J2534_SIZE, IDC_PDU_ENABLE, IDC_PDU_FILE,
                   IDC_PDU_SIZE}) {
      view << L", " << id << L" " << d.Text(id) << L" enabled " << d.Enabled(id) << L" checked "
           << Checked(d, id);
    }
    view << L", combos " << ComboSelection(d, IDC_J2534_SIZE) << L"/"
         << ComboSelection(d, IDC_PDU_SIZE);
    return view.str();
  }

  // What was saved: the user's registry tree and the libraries' files.
  std::wstring Saved() const {
    std::wstring saved = Snapshot(User());
    for (const wchar_t* file : {L"lib0.dll", L"_lib0.dll", L"lib1.dll", L"_lib1.dll", L"pdu.dll"}) {
      const std::string bytes = Content(dir_ / file);
      saved += std::wstring(L"\n") + file + L": " + std::wstring(bytes.begin(), bytes.end());
    }
    return saved;
  }

  // One run: the first action, posted while discovery is held back (`held`)
  // or after the pages were filled; then what the user sees and what is saved.
  std::wstring Run(bool held) {
    Reset();
    // Made before the dialog and closed after it: the dialog keeps the handle
    // for a discovery that its end may still start.
    const KernelHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::wstring outcome;
    CVarrowDlg dialog(102, Roots(), true);
    if (held) dialog.HoldDiscoveryUntil(gate.Get());
    RunDialog(
        dialog,
        [&](DialogDriver& d) {
          if (held) {
            EXPECT_EQ(SendMessageW(d.Item(IDC_J2534_TAB), TCM_GETITEMCOUNT, 0, 0), 0);
          }
          GetParam().post(d);
          // A marker posted behind the action (posted messages keep their
          // order): once it has arrived, so has the action.
          PostMessageW(d.Item(IDC_PDU_FILE), EM_SETLIMITTEXT, kMarkerLimit, 0);
          // Asked with a time-out: a dialog's thread that waits for the
          // discovery answers no message until the gate opens.
          const auto markerArrived = [&] {
            DWORD_PTR limit = 0;
            return SendMessageTimeoutW(d.Item(IDC_PDU_FILE), EM_GETLIMITTEXT, 0, 0, SMTO_NORMAL,
                                       100, &limit) != 0 &&
                   limit == static_cast<DWORD_PTR>(kMarkerLimit);
          };
          if (held) {
            // The dialog's thread waits for the pages inside the action's
            // handler: the marker stays unhandled while discovery is held.
            EXPECT_FALSE(DialogDriver::WaitFor(markerArrived, kHeldMs))
                << "the action was handled before the pages were filled";
            SetEvent(gate.Get());
          }
          ASSERT_TRUE(DialogDriver::WaitFor(markerArrived));
          d.Send(WM_NULL);  // the action's handler has returned
          outcome = View(d) + L"\n" + Saved();
        },
        /*waitForPages=*/!held);
    SetEvent(gate.Get());  // never leave the worker waiting
    return outcome;
  }
};

TEST_P(DiscoveryTimingTest, FirstActionWaitsForThePages) {
  const std::wstring whileHeld = Run(true);
  const std::wstring afterFill = Run(false);
  EXPECT_EQ(whileHeld, afterFill);
  EXPECT_NE(afterFill.find(L"lib1.dll: MZ"), std::wstring::npos);  // the saved state was read
}

// Discovery writes the user's monitoring keys at every start, also when the
// dialog ends before it began.
TEST_F(PagesUiTest, DialogEndedAtOnceStillDiscovers) {
  SeedInstallation();
  {
    CVarrowDlg dialog(102, Roots(), true);
    RunDialog(dialog, [](DialogDriver&) {}, /*waitForPages=*/false);  // Cancel at once
  }
  EXPECT_TRUE(KeyExists(User(), ProductPath({L"Monitoring", kJ2534ApiName, L"MessageSizes"})));
}

INSTANTIATE_TEST_SUITE_P(Actions, DiscoveryTimingTest, ::testing::ValuesIn(kFirstActions),
                         [](const ::testing::TestParamInfo<FirstAction>& info) {
                           return std::to_string(info.index);
                         });

}  // namespace
}  // namespace varrow::test
