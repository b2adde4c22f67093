// The two monitoring pages of the main dialog: tab changes, check boxes,
// format buttons, message sizes, dropped files, and their part of Apply.
// The rules themselves live in monitoring/monitoring_pages; this file copies
// records to controls and back.
#include "app/varrow_dlg.h"

#include <shellapi.h>

#include <functional>
#include <string>
#include <utility>

#include "monitoring/library_swap.h"
#include "monitoring/monitoring_pages.h"
#include "resources/resource.h"

namespace {

using varrow::ApiImplementation;
using varrow::ApiKind;

// The format buttons of a page, by format code 1..4 (ASCII, XML, CSV, HTML).
constexpr int kJ2534FormatIds[4] = {IDC_J2534_ASCII, IDC_J2534_XML, IDC_J2534_CSV, IDC_J2534_HTML};
constexpr int kPduFormatIds[4] = {IDC_PDU_ASCII, IDC_PDU_XML, IDC_PDU_CSV, IDC_PDU_HTML};

// The format code of a format button, or 0.
std::int32_t FormatCodeOf(int id, const int (&ids)[4]) {
  for (int i = 0; i < 4; ++i) {
    if (ids[i] == id) return i + 1;
  }
  return 0;
}

int CheckState(std::int32_t value) { return value == 1 ? BST_CHECKED : BST_UNCHECKED; }
std::int32_t CheckedValue(const CButton& box) { return box.GetCheck() == BST_CHECKED ? 1 : 0; }

// Shows format `code` on the page's buttons: all cleared, then the code's set.
void ShowFormat(HWND dialog, const int (&ids)[4], std::int32_t code) {
  for (int i = 0; i < 4; ++i)
    SendDlgItemMessageW(dialog, ids[i], BM_SETCHECK, i + 1 == code ? BST_CHECKED : BST_UNCHECKED, 0);
}

// Shows the record's output file; an empty one gets the default name, which is
// stored when the record's format is a known one.
void ShowOutputFile(const CEdit& field, ApiImplementation& record, ApiKind kind,
                    const std::wstring& logFileLocation, int brandId) {
  if (!record.OutputFile().empty()) {
    field.SetWindowText(record.OutputFile());
    return;
  }
  const std::wstring name = varrow::DefaultOutputFile(kind, logFileLocation, record, brandId);
  field.SetWindowText(name);
  if (varrow::FindOutputFormat(record.OutputFormat()) != nullptr) record.SetOutputFile(name);
}

// A format button was clicked: the record takes the code, the field's file name
// takes the format's extension, and the record stores the result (when it fits).
void ChangeOutputFormat(const CEdit& field, ApiImplementation* record, std::int32_t code) {
  if (record == nullptr || code == 0) return;
  record->SetOutputFormat(code);
  const std::wstring text = varrow::ApplyFormatExtension(field.GetWindowText(), code);
  field.SetWindowText(text);
  record->SetOutputFile(text);  // refused, record unchanged, when it does not fit
}

// Apply's check of one page: the field's text becomes the record's full path,
// or "Invalid File Name" is shown, the stored name put back and the field
// focused. A page without a record, whose record writes no output file, or
// whose field the user cannot edit (disabled or read-only: a refusal there
// could never be mended and would block every save) passes untouched.
bool ValidateOutputFile(CWnd& dialog, ApiKind kind, const CEdit& field, ApiImplementation* record,
                        const std::wstring& message) {
  if (record == nullptr || !varrow::OutputFileNeedsValidation(kind, *record)) return true;
  if (!IsWindowEnabled(field.m_hWnd) ||
      (GetWindowLongW(field.m_hWnd, GWL_STYLE) & ES_READONLY) != 0)
    return true;
  std::wstring full;
  const std::wstring typed = field.GetWindowText();
  if (varrow::ResolveOutputFile(typed, &full) == varrow::OutputFileError::None &&
      record->SetOutputFile(full)) {
    // The field shows the full path; already showing it, it is left as it is
    // (setting the same text again only redraws it).
    if (full != typed) field.SetWindowText(full);
    return true;
  }
  MessageBoxW(dialog.m_hWnd, message.c_str(), dialog.GetWindowText().c_str(), MB_OK);
  field.SetWindowText(record->OutputFile());
  dialog.SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field.m_hWnd), TRUE);
  return false;
}

// Enables the controls of both pages and sets the fields' read-only state.
void ApplyControlStates(HWND dialog, const varrow::ControlStateTable& table) {
  for (const varrow::ControlState& state : table) {
    HWND control = GetDlgItem(dialog, state.id);
    if (control == nullptr) continue;
    if (state.id == IDC_J2534_FILE || state.id == IDC_PDU_FILE)
      SendMessageW(control, EM_SETREADONLY, state.readOnly ? TRUE : FALSE, 0);
    EnableWindow(control, state.enabled ? TRUE : FALSE);
  }
}

// True when the visible field's rectangle holds `at` (dialog client coordinates).
bool FieldHolds(HWND dialog, const CEdit& field, POINT at) {
  if (field.m_hWnd == nullptr || !IsWindowVisible(field.m_hWnd)) return false;
  RECT rect{};
  if (!GetWindowRect(field.m_hWnd, &rect)) return false;
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return PtInRect(&rect, at) != FALSE;
}

// Failed file steps of the monitoring save, shown as the system's text.
class DialogErrorReporter : public varrow::FileErrorReporter {
 public:
  // `text` gives the dialog's text of a string id.
  DialogErrorReporter(HWND owner, std::wstring caption, std::function<std::wstring(UINT)> text)
      : owner_(owner), caption_(std::move(caption)), text_(std::move(text)) {}
  void ReportMonitorRefused(const std::wstring& library, varrow::MonitorRefusal reason) override {
    UINT id = IDS_MONITOR_UNREADABLE;
    switch (reason) {
      case varrow::MonitorRefusal::kOtherMachine: id = IDS_MONITOR_OTHER_MACHINE; break;
      case varrow::MonitorRefusal::kNoMonitor: id = IDS_MONITOR_MISSING; break;
      case varrow::MonitorRefusal::kWrongView: id = IDS_MONITOR_WRONG_VIEW; break;
      default: break;
    }
    const std::wstring text = library + L"\n\n" + text_(id);
    MessageBoxW(owner_, text.c_str(), caption_.c_str(), MB_OK | MB_ICONWARNING);
  }
  void ReportFileError(DWORD code) override {
    MessageBoxW(owner_, varrow::SystemErrorText(code).c_str(), caption_.c_str(),
                MB_OK | MB_ICONINFORMATION);
  }
  void ReportRepair(const varrow::LibraryRepair& repair) override {
    const std::wstring text = varrow::RepairText(repair);
    if (text.empty()) return;
    MessageBoxW(owner_, text.c_str(), caption_.c_str(), MB_OK | MB_ICONINFORMATION);
  }
  void ReportProblem(const std::wstring& text) override {
    MessageBoxW(owner_, text.c_str(), caption_.c_str(), MB_OK | MB_ICONINFORMATION);
  }

 private:
  HWND owner_;
  std::wstring caption_;
  std::function<std::wstring(UINT)> text_;
};

}  // namespace

// Tabs from the captions that discovery collected, in table order.
void CVarrowDlg::InsertMonitoringTabs() {
  const auto& j2534 = m_monitoring.CaptionsOf(varrow::ApiKind::J2534);
  for (std::size_t i = 0; i < j2534.size() && i < varrow::kMaxImplementations; ++i)
    m_j2534Tab.InsertItem(static_cast<int>(i), j2534[i]);
  const auto& pdu = m_monitoring.CaptionsOf(varrow::ApiKind::PDU);
  for (std::size_t i = 0; i < pdu.size() && i < varrow::kMaxImplementations; ++i)
    m_pduTab.InsertItem(static_cast<int>(i), pdu[i]);
}

void CVarrowDlg::FillMessageSizeCombos() {
  const std::wstring entire = TextOrBuiltIn(IDS_ENTIRE_MESSAGE);
  const std::wstring bytes = TextOrBuiltIn(IDS_BYTES);
  const std::pair<const CComboBox*, const varrow::MessageSizeList*> boxes[] = {
      {&m_j2534Size, &m_monitoring.J2534MessageSizes},
      {&m_pduSize, &m_monitoring.PduMessageSizes}};
  for (const auto& [box, list] : boxes) {
    const int selection = box->GetCurSel();
    box->ResetContent();
    for (const std::wstring& item : varrow::MessageSizeItems(*list, entire, bytes))
      box->AddString(item);
    if (selection >= 0) box->SetCurSel(selection);
  }
}

void CVarrowDlg::RefreshJ2534Page() {
  const int tab = m_j2534Tab.GetCurSel();
  ApiImplementation* r =
      varrow::SelectedRecord(m_monitoring, ApiKind::J2534, tab, m_j2534Tab.GetItemCount());
  if (r == nullptr) {
    // No implementation: an empty page.
    m_j2534Enable.SetCheck(BST_UNCHECKED);
    m_j2534File.SetWindowText(L"");
    ShowFormat(m_hWnd, kJ2534FormatIds, 0);
    for (const CButton* box :
         {&m_j2534Overwrite, &m_j2534LogEntryExit, &m_j2534LogDebugView, &m_j2534DisableEmptyError})
      box->SetCheck(BST_UNCHECKED);
    m_j2534Size.SetCurSel(-1);
  } else {
    m_j2534Enable.SetCheck(CheckState(r->MonitoringEnabled()));
    ShowOutputFile(m_j2534File, *r, ApiKind::J2534, m_monitoring.LogFileLocation, m_brandId);
    ShowFormat(m_hWnd, kJ2534FormatIds, r->OutputFormat());
    m_j2534Overwrite.SetCheck(CheckState(r->Overwrite()));
    m_j2534LogEntryExit.SetCheck(CheckState(r->LogEntryExit()));
    m_j2534LogDebugView.SetCheck(CheckState(r->LogDebugView()));
    m_j2534DisableEmptyError.SetCheck(CheckState(r->DisableErrBufferEmpty()));
    m_j2534Size.SetCurSel(r->MessageSize());
  }
  // The PDU page shows its record again while the supporting implementation is selected.
  if (r != nullptr && tab == m_monitoring.PduSupportingIndex) {
    RefreshPduPage();
    return;
  }
  ApplyControlStates(m_hWnd, varrow::PageControlStates(m_monitoring, tab, m_j2534Tab.GetItemCount(),
                                                       m_pduTab.GetCurSel(),
                                                       m_pduTab.GetItemCount()));
}

void CVarrowDlg::RefreshPduPage() {
  const int tab = m_pduTab.GetCurSel();
  ApiImplementation* p =
      varrow::SelectedRecord(m_monitoring, ApiKind::PDU, tab, m_pduTab.GetItemCount());
  if (p == nullptr) {
    m_pduEnable.SetCheck(BST_UNCHECKED);
    m_pduFile.SetWindowText(L"");
    ShowFormat(m_hWnd, kPduFormatIds, 0);
    for (const CButton* box :
         {&m_pduOverwrite, &m_pduLogEntryExit, &m_pduLogDebugView, &m_pduStoreWithJ2534})
      box->SetCheck(BST_UNCHECKED);
    m_pduSize.SetCurSel(-1);
  } else {
    m_pduEnable.SetCheck(CheckState(p->MonitoringEnabled()));
    ShowOutputFile(m_pduFile, *p, ApiKind::PDU, m_monitoring.LogFileLocation, m_brandId);
    ShowFormat(m_hWnd, kPduFormatIds, p->OutputFormat());
    m_pduOverwrite.SetCheck(CheckState(p->Overwrite()));
    m_pduLogEntryExit.SetCheck(CheckState(p->LogEntryExit()));
    m_pduLogDebugView.SetCheck(CheckState(p->LogDebugView()));
    m_pduSize.SetCurSel(p->MessageSize());
    // The unset value -1 shows as unchecked.
    m_pduStoreWithJ2534.SetCheck(CheckState(p->StoreWithPrimaryAPI()));
  }
  ApplyControlStates(m_hWnd, varrow::PageControlStates(m_monitoring, m_j2534Tab.GetCurSel(),
                                                       m_j2534Tab.GetItemCount(), tab,
                                                       m_pduTab.GetItemCount()));
}

// ---------------------------------------------------------------- J2534 page handlers

LRESULT CVarrowDlg::OnJ2534TabChange(WPARAM, LPARAM) {
  RefreshJ2534Page();
  return 0;
}

LRESULT CVarrowDlg::OnJ2534Enable(WPARAM, LPARAM) {
  ApiImplementation* r = varrow::SelectedRecord(m_monitoring, ApiKind::J2534,
                                                m_j2534Tab.GetCurSel(), m_j2534Tab.GetItemCount());
  if (r == nullptr) return 0;
  r->SetMonitoringEnabled(CheckedValue(m_j2534Enable));
  RefreshJ2534Page();
  return 0;
}

LRESULT CVarrowDlg::OnJ2534Format(WPARAM wparam, LPARAM) {
  ChangeOutputFormat(m_j2534File,
                     varrow::SelectedRecord(m_monitoring, ApiKind::J2534, m_j2534Tab.GetCurSel(),
                                            m_j2534Tab.GetItemCount()),
                     FormatCodeOf(LOWORD(wparam), kJ2534FormatIds));
  return 0;
}

LRESULT CVarrowDlg::OnJ2534Option(WPARAM wparam, LPARAM) {
  ApiImplementation* r = varrow::SelectedRecord(m_monitoring, ApiKind::J2534,
                                                m_j2534Tab.GetCurSel(), m_j2534Tab.GetItemCount());
  if (r == nullptr) return 0;
  switch (LOWORD(wparam)) {
    case IDC_J2534_OVERWRITE: r->SetOverwrite(CheckedValue(m_j2534Overwrite)); break;
    case IDC_J2534_LOG_ENTRY_EXIT: r->SetLogEntryExit(CheckedValue(m_j2534LogEntryExit)); break;
    case IDC_J2534_LOG_DEBUG_VIEW: r->SetLogDebugView(CheckedValue(m_j2534LogDebugView)); break;
    case IDC_J2534_DISABLE_EMPTY_ERROR:
      r->SetDisableErrBufferEmpty(CheckedValue(m_j2534DisableEmptyError));
      break;
    default: break;
  }
  return 0;
}

LRESULT CVarrowDlg::OnJ2534SizeChange(WPARAM, LPARAM) {
  ApiImplementation* r = varrow::SelectedRecord(m_monitoring, ApiKind::J2534,
                                                m_j2534Tab.GetCurSel(), m_j2534Tab.GetItemCount());
  const int item = m_j2534Size.GetCurSel();
  if (r != nullptr && item >= 0) r->SetMessageSize(item);
  return 0;
}

// ---------------------------------------------------------------- PDU page handlers

LRESULT CVarrowDlg::OnPduTabChange(WPARAM, LPARAM) {
  RefreshPduPage();
  return 0;
}

LRESULT CVarrowDlg::OnPduEnable(WPARAM, LPARAM) {
  ApiImplementation* p = varrow::SelectedRecord(m_monitoring, ApiKind::PDU, m_pduTab.GetCurSel(),
                                                m_pduTab.GetItemCount());
  if (p == nullptr) return 0;
  p->SetMonitoringEnabled(CheckedValue(m_pduEnable));
  RefreshPduPage();
  return 0;
}

LRESULT CVarrowDlg::OnPduFormat(WPARAM wparam, LPARAM) {
  ChangeOutputFormat(m_pduFile,
                     varrow::SelectedRecord(m_monitoring, ApiKind::PDU, m_pduTab.GetCurSel(),
                                            m_pduTab.GetItemCount()),
                     FormatCodeOf(LOWORD(wparam), kPduFormatIds));
  return 0;
}

LRESULT CVarrowDlg::OnPduOption(WPARAM wparam, LPARAM) {
  ApiImplementation* p = varrow::SelectedRecord(m_monitoring, ApiKind::PDU, m_pduTab.GetCurSel(),
                                                m_pduTab.GetItemCount());
  if (p == nullptr) return 0;
  switch (LOWORD(wparam)) {
    case IDC_PDU_OVERWRITE: p->SetOverwrite(CheckedValue(m_pduOverwrite)); break;
    case IDC_PDU_LOG_ENTRY_EXIT: p->SetLogEntryExit(CheckedValue(m_pduLogEntryExit)); break;
    case IDC_PDU_LOG_DEBUG_VIEW: p->SetLogDebugView(CheckedValue(m_pduLogDebugView)); break;
    default: break;
  }
  return 0;
}

LRESULT CVarrowDlg::OnPduSizeChange(WPARAM, LPARAM) {
  ApiImplementation* p = varrow::SelectedRecord(m_monitoring, ApiKind::PDU, m_pduTab.GetCurSel(),
                                                m_pduTab.GetItemCount());
  const int item = m_pduSize.GetCurSel();
  if (p != nullptr && item >= 0) p->SetMessageSize(item);
  return 0;
}

LRESULT CVarrowDlg::OnStoreWithJ2534(WPARAM, LPARAM) {
  ApiImplementation* p = varrow::SelectedRecord(m_monitoring, ApiKind::PDU, m_pduTab.GetCurSel(),
                                                m_pduTab.GetItemCount());
  if (p == nullptr) return 0;
  p->SetStoreWithPrimaryAPI(CheckedValue(m_pduStoreWithJ2534));
  RefreshPduPage();
  return 0;
}

// ---------------------------------------------------------------- dropped files

// A file dropped on an output-file field becomes that page's log file when the
// field is usable and the file's extension fits the page's format. Anything
// else is ignored without a message. The drop is always released.
LRESULT CVarrowDlg::OnDropFiles(WPARAM wparam, LPARAM) {
  HDROP drop = reinterpret_cast<HDROP>(wparam);
  wchar_t path[varrow::kFieldChars] = {};
  POINT at{};
  const bool haveFile = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) > 0;
  const UINT length = haveFile ? DragQueryFileW(drop, 0, nullptr, 0) : 0;
  if (length > 0 && length < varrow::kFieldChars &&
      DragQueryFileW(drop, 0, path, varrow::kFieldChars) == length &&
      DragQueryPoint(drop, &at)) {
    // By the fields' own rectangles: a field drawn over another control
    // still takes a drop on it, whatever the drawing order.
    const CEdit* field = nullptr;
    ApiImplementation* record = nullptr;
    if (FieldHolds(m_hWnd, m_j2534File, at)) {
      field = &m_j2534File;
      record = varrow::SelectedRecord(m_monitoring, ApiKind::J2534, m_j2534Tab.GetCurSel(),
                                      m_j2534Tab.GetItemCount());
    } else if (FieldHolds(m_hWnd, m_pduFile, at)) {
      field = &m_pduFile;
      record = varrow::SelectedRecord(m_monitoring, ApiKind::PDU, m_pduTab.GetCurSel(),
                                      m_pduTab.GetItemCount());
    }
    const std::wstring dropped(path, length);
    if (record != nullptr && IsWindowEnabled(field->m_hWnd) && record->MonitoringEnabled() == 1 &&
        varrow::DroppedFileAccepted(dropped, record->OutputFormat()) &&
        record->SetOutputFile(dropped)) {
      field->SetWindowText(dropped);
    }
  }
  DragFinish(drop);
  return 0;
}

// ---------------------------------------------------------------- Apply

bool CVarrowDlg::ValidateMonitoringPages() {
  const std::wstring message = TextOrBuiltIn(IDS_INVALID_FILE_NAME);
  if (!ValidateOutputFile(*this, ApiKind::J2534, m_j2534File,
                          varrow::SelectedRecord(m_monitoring, ApiKind::J2534,
                                                 m_j2534Tab.GetCurSel(), m_j2534Tab.GetItemCount()),
                          message))
    return false;
  return ValidateOutputFile(*this, ApiKind::PDU, m_pduFile,
                            varrow::SelectedRecord(m_monitoring, ApiKind::PDU,
                                                   m_pduTab.GetCurSel(), m_pduTab.GetItemCount()),
                            message);
}

void CVarrowDlg::SaveMonitoring() {
  DialogErrorReporter reporter(m_hWnd, GetWindowText(),
                               [this](UINT id) { return TextOrBuiltIn(id); });
  // J2534 implementations whose library was found, then every PDU one; a
  // failure in one was shown by the reporter and the others go on. Each API's
  // key is opened once and its message-size list written once per save.
  varrow::SaveMonitoringOfKind(m_monitoring, m_roots, ApiKind::J2534, m_j2534Tab.GetItemCount(),
                               /*foundOnly=*/true, reporter);
  varrow::SaveMonitoringOfKind(m_monitoring, m_roots, ApiKind::PDU, m_pduTab.GetItemCount(),
                               /*foundOnly=*/false, reporter);
  // A library that no monitor fits (or that a repair put back) is off now:
  // the pages show what the save left, not what was asked.
  if (m_j2534Tab.GetItemCount() > 0 || m_pduTab.GetItemCount() > 0) RefreshJ2534Page();
}
