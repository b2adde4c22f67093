// Saving the dialog: the device settings checked and written, then the
// monitoring pages, and an unexpected failure on the way reported to the user
// with what was saved before it.
#include "app/varrow_dlg.h"

#include <exception>
#include <string>

#include "app/ordered_check_list.h"
#include "resources/resource.h"
#include "settings/last_used.h"

namespace {

const wchar_t kSaveStoppedText[] =
    L"An unexpected error stopped saving the settings. The steps before it were saved; "
    L"nothing after it was. Check the settings and press Apply again.";

}  // namespace

bool CVarrowDlg::SaveDeviceSettings() {
  bool anyChecked = false;
  const int rows = m_connectionList.GetCount();
  for (int row = 0; row < rows && !anyChecked; ++row)
    anyChecked = m_connectionList.GetCheck(row) != 0;
  if (!anyChecked) {
    // The built-in texts when localisation never ran (failed brand lookup).
    const std::wstring text = TextOrBuiltIn(IDS_CONNECTION_ORDER_EMPTY);
    const std::wstring caption = TextOrBuiltIn(IDS_CONNECTION_ORDER_ERROR);
    MessageBoxW(m_hWnd, text.c_str(), caption.c_str(), MB_OK);
    return false;
  }

  DWORD serial = 0;
  if (varrow::ParseSerialNumber(m_serialNumber.GetWindowText(), &serial) !=
      varrow::SerialParse::Ok) {
    // Our own text; the built-in one when localisation gave none.
    const std::wstring message = TextOrBuiltIn(IDS_SERIAL_OUT_OF_RANGE);
    MessageBoxW(m_hWnd, message.c_str(), Text(IDS_PRODUCT_LINE).c_str(), MB_OK | MB_ICONWARNING);
    return false;
  }
  m_deviceSettings.defaultDevice.serialNumber = serial;

  varrow::OrderedCheckList list(m_connectionList, m_deviceSettings.autoConnection, {});
  list.Collect();
  // The interface-type list has no window and no rows: nothing to take from it.
  varrow::WriteDeviceSettings(m_roots, m_deviceSettings);
  return true;
}


bool CVarrowDlg::SaveAll() {
  EnsureMonitoringLoaded();
  ShowWaitCursor();
  if (m_monitoringAvailable && !ValidateMonitoringPages()) {
    ShowArrowCursor();
    return false;
  }
  if (!SaveDeviceSettings()) {
    ShowArrowCursor();
    return false;
  }
  if (m_monitoringAvailable) SaveMonitoring();
  varrow::ClearLastUsed(m_roots);
  ShowArrowCursor();
  return true;
}

bool CVarrowDlg::SaveAllReportingFailure() {
  std::string detail;
  try {
    return SaveAll();
  } catch (const std::exception& error) {
    detail = error.what();
  } catch (...) {
  }
  ShowArrowCursor();
  std::wstring text = kSaveStoppedText;
  if (!detail.empty()) text += L"\n\n(" + std::wstring(detail.begin(), detail.end()) + L")";
  MessageBoxW(m_hWnd, text.c_str(), GetWindowText().c_str(), MB_OK | MB_ICONERROR);
  return false;
}
