// The monitoring pages' start-up: discovery runs on a worker thread once the
// window is up and drawn (on two busy cores, a thread started beside the
// window's creation or painting delayed the window), and the pages are filled
// on the dialog's thread when it ends, or earlier, by waiting for it, when
// something needs them first. The pages lie in the dialog's cut-off part,
// which takes neither clicks nor the keyboard focus while collapsed, so
// nothing shows or uses them before one of those messages.
#include <algorithm>
#include <iterator>

#include "app/varrow_dlg.h"
#include "resources/resource.h"

namespace {

// The wait cursor while the dialog's thread waits for discovery; the cursor
// shown before comes back afterwards.
class WaitCursorWhile {
 public:
  explicit WaitCursorWhile(bool waiting)
      : waiting_(waiting), previous_(waiting ? SetCursor(LoadCursorW(nullptr, IDC_WAIT)) : nullptr) {}
  ~WaitCursorWhile() {
    if (waiting_) SetCursor(previous_);
  }
  WaitCursorWhile(const WaitCursorWhile&) = delete;
  WaitCursorWhile& operator=(const WaitCursorWhile&) = delete;

 private:
  bool waiting_;
  HCURSOR previous_;
};

// The timer that starts the discovery once the window is idle.
constexpr UINT_PTR kDiscoveryTimer = 0x7601;

// Buttons outside the pages whose handlers use them: OK, Apply, More>>.
constexpr int kButtonsUsingPages[] = {IDOK, IDC_APPLY, IDC_MORE_LESS};

bool UsesPages(int id) {
  return std::find(std::begin(kMonitoringTabStopControls), std::end(kMonitoringTabStopControls),
                   id) != std::end(kMonitoringTabStopControls) ||
         std::find(std::begin(kButtonsUsingPages), std::end(kButtonsUsingPages), id) !=
             std::end(kButtonsUsingPages);
}

}  // namespace

bool CVarrowDlg::NeedsMonitoringPages(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case varrow::kReloadMessage:
      return wparam == 0 && lparam == 0;  // the watcher's reload, not DM_SETDEFID
    case WM_DROPFILES:
    case WM_NEXTDLGCTL:  // the keyboard's way into the cut-off part
      return true;
    case WM_COMMAND: {
      // The notifications that the message map hands to a handler; the
      // fields' own (focus, edits) are not among them.
      const UINT code = HIWORD(wparam);
      return (code == BN_CLICKED || code == CBN_SELCHANGE) && UsesPages(LOWORD(wparam));
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      return header != nullptr && header->code == static_cast<UINT>(TCN_SELCHANGE) &&
             UsesPages(static_cast<int>(header->idFrom));
    }
    default:
      return false;
  }
}

bool CVarrowDlg::OnStartUpMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  // The first painting arms a timer, whose message comes once nothing else
  // (painting, input, posted messages) waits: the window is up and drawn.
  if (message == WM_PAINT && !m_discoveryStarted) {
    (void)SetTimer(m_hWnd, kDiscoveryTimer, USER_TIMER_MINIMUM, nullptr);
  } else if (message == WM_TIMER && wparam == kDiscoveryTimer) {
    StartDiscovery();
    *result = 0;
    return true;
  }
  if (NeedsMonitoringPages(message, wparam, lparam)) EnsureMonitoringLoaded();
  return false;
}

void CVarrowDlg::StartDiscovery() {
  (void)KillTimer(m_hWnd, kDiscoveryTimer);
  if (m_discoveryStarted) return;
  m_discoveryStarted = true;
  m_monitoringLoader.Start(&m_monitoring, m_roots, m_brandId, Text(IDS_BRAND1_CAPTION), m_hWnd,
                           m_discoveryGate);
}

void CVarrowDlg::DiscoverBeforeTheEnd() noexcept {
  if (!m_pagesPending) return;
  try {
    StartDiscovery();
    m_monitoringLoader.Wait();
  } catch (...) {
    // The dialog is gone: nobody is left to tell.
  }
}

void CVarrowDlg::EnsureMonitoringLoaded() {
  if (!m_pagesPending) return;
  StartDiscovery();
  // Cleared first: the fill's own control notifications come back through
  // the message map.
  m_pagesPending = false;
  {
    const WaitCursorWhile cursor(!m_monitoringLoader.Ended());
    m_monitoringLoader.Wait();
  }
  FillMonitoringPages();
}

LRESULT CVarrowDlg::OnMonitoringLoaded(WPARAM, LPARAM) {
  EnsureMonitoringLoaded();
  return 0;
}

void CVarrowDlg::FillMonitoringPages() {
  InsertMonitoringTabs();
  FillMessageSizeCombos();
  const int pduIndex = m_monitoring.PduSupportingIndex;
  m_j2534Tab.SetCurSel(pduIndex >= 0 ? pduIndex : 0);
  RefreshJ2534Page();
  m_pduTab.SetCurSel(0);
  RefreshPduPage();
}
