#include "app/expandable_layout.h"

#include "resources/resource.h"

const int kMonitoringTabStopControls[24] = {
    IDC_J2534_TAB,       IDC_J2534_ENABLE,         IDC_J2534_FILE,
    IDC_J2534_ASCII,     IDC_J2534_XML,            IDC_J2534_CSV,
    IDC_J2534_HTML,      IDC_J2534_OVERWRITE,      IDC_J2534_LOG_ENTRY_EXIT,
    IDC_J2534_LOG_DEBUG_VIEW, IDC_J2534_DISABLE_EMPTY_ERROR, IDC_J2534_SIZE,
    IDC_PDU_TAB,         IDC_PDU_ENABLE,           IDC_PDU_STORE_WITH_J2534,
    IDC_PDU_FILE,        IDC_PDU_ASCII,            IDC_PDU_XML,
    IDC_PDU_CSV,         IDC_PDU_HTML,             IDC_PDU_OVERWRITE,
    IDC_PDU_LOG_ENTRY_EXIT, IDC_PDU_LOG_DEBUG_VIEW, IDC_PDU_SIZE};

void CExpandableLayout::Init(HWND dialog, bool startExpanded, int toggleId, int collapsedAnchorId,
                             int expandedMarkerId, const std::wstring& collapsedCaption,
                             const std::wstring& expandedCaption) {
  toggleId_ = toggleId;
  anchorId_ = collapsedAnchorId;
  markerId_ = expandedMarkerId;
  dialog_ = dialog;
  expanded_ = true;
  GetWindowRect(dialog, &full_);
  collapsedCaption_ = collapsedCaption;
  expandedCaption_ = expandedCaption;
  if (HWND marker = GetDlgItem(dialog, markerId_)) ShowWindow(marker, SW_HIDE);
  if (HWND anchor = GetDlgItem(dialog, anchorId_)) ShowWindow(anchor, SW_HIDE);
  if (startExpanded) {
    SetDlgItemTextW(dialog, toggleId_, expandedCaption_.c_str());
    return;
  }
  Toggle();
}

void CExpandableLayout::Toggle() {
  if (dialog_ == nullptr) return;
  expanded_ = !expanded_;
  if (expanded_) {
    RECT now{};
    GetWindowRect(dialog_, &now);
    MoveWindow(dialog_, now.left, now.top, full_.right - full_.left, full_.bottom - full_.top, TRUE);
  } else {
    CollapseToAnchor(dialog_, anchorId_);
  }
  SetDlgItemTextW(dialog_, toggleId_, (expanded_ ? expandedCaption_ : collapsedCaption_).c_str());
}

void CExpandableLayout::CollapseToAnchor(HWND dialog, int anchorId) {
  RECT client{};
  RECT window{};
  GetClientRect(dialog, &client);
  GetWindowRect(dialog, &window);
  const int frame = (window.bottom - window.top) - client.bottom;
  HWND anchor = GetDlgItem(dialog, anchorId);
  if (anchor == nullptr) return;
  RECT anchorRect{};
  GetWindowRect(anchor, &anchorRect);
  // Both corners to client coordinates (MapWindowPoints copes with mirrored dialogs).
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&anchorRect), 2);
  MoveWindow(dialog, window.left, window.top, window.right - window.left, anchorRect.bottom + frame,
             TRUE);
}

void CExpandableLayout::UpdateTabStops() const {
  if (dialog_ == nullptr) return;
  for (int id : kMonitoringTabStopControls) {
    HWND control = GetDlgItem(dialog_, id);
    if (control == nullptr) continue;
    LONG style = GetWindowLongW(control, GWL_STYLE);
    style = expanded_ ? (style | WS_TABSTOP) : (style & ~static_cast<LONG>(WS_TABSTOP));
    SetWindowLongW(control, GWL_STYLE, style);
  }
}
