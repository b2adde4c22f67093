#include "app/expandable_layout.h"

const int kMonitoringTabStopControls[24] = {1000, 1002, 1008, 1011, 1014, 1012, 1013, 1015,
                                            1058, 1060, 1057, 1005, 1022, 1024, 1038, 1030,
                                            1033, 1036, 1034, 1035, 1037, 1059, 1061, 1027};

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
