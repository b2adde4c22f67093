// The two monitoring pages of the main dialog: tab changes, check boxes,
// format buttons, message sizes, dropped files, and their part of Apply.
#include "app/varrow_dlg.h"

#include <shellapi.h>

// Tabs from the captions that discovery collected, in table order.
void CVarrowDlg::InsertMonitoringTabs() {
  const auto& j2534 = m_monitoring.CaptionsOf(varrow::ApiKind::J2534);
  for (std::size_t i = 0; i < j2534.size(); ++i)
    m_j2534Tab.InsertItem(static_cast<int>(i), j2534[i]);
  const auto& pdu = m_monitoring.CaptionsOf(varrow::ApiKind::PDU);
  for (std::size_t i = 0; i < pdu.size(); ++i) m_pduTab.InsertItem(static_cast<int>(i), pdu[i]);
}

void CVarrowDlg::FillMessageSizeCombos() {}
void CVarrowDlg::RefreshJ2534Page() {}
void CVarrowDlg::RefreshPduPage() {}

LRESULT CVarrowDlg::OnJ2534TabChange(WPARAM, LPARAM) {
  RefreshJ2534Page();
  return 0;
}
LRESULT CVarrowDlg::OnJ2534Enable(WPARAM, LPARAM) { return 0; }
LRESULT CVarrowDlg::OnJ2534Format(WPARAM, LPARAM) { return 0; }
LRESULT CVarrowDlg::OnJ2534Option(WPARAM, LPARAM) { return 0; }
LRESULT CVarrowDlg::OnJ2534SizeChange(WPARAM, LPARAM) { return 0; }
LRESULT CVarrowDlg::OnPduTabChange(WPARAM, LPARAM) {
  RefreshPduPage();
  return 0;
}
LRESULT CVarrowDlg::OnPduEnable(WPARAM, LPARAM) { return 0; }
LRESULT CVarrowDlg::OnPduFormat(WPARAM, LPARAM) { return 0; }
LRESULT CVarrowDlg::OnPduOption(WPARAM, LPARAM) { return 0; }
LRESULT CVarrowDlg::OnPduSizeChange(WPARAM, LPARAM) { return 0; }
LRESULT CVarrowDlg::OnStoreWithJ2534(WPARAM, LPARAM) { return 0; }

LRESULT CVarrowDlg::OnDropFiles(WPARAM drop, LPARAM) {
  DragFinish(reinterpret_cast<HDROP>(drop));
  return 0;
}

// Save hooks of SaveAll.
bool CVarrowDlg::ValidateMonitoringPages() { return true; }
void CVarrowDlg::SaveMonitoring() {}
