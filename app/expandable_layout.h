// The main dialog's two sizes: collapsed to its device section, or full size
// with the monitoring sections. Only the window's size changes.
#pragma once

#include <windows.h>

#include <string>

// The 24 controls of the monitoring sections whose tab stop follows the
// layout when the button toggles it.
extern const int kMonitoringTabStopControls[24];

class CExpandableLayout {
 public:
  // Remembers the dialog and the ids, captures the full window rectangle,
  // hides the marker and the anchor, and collapses unless startExpanded.
  void Init(HWND dialog, bool startExpanded, int toggleId, int collapsedAnchorId,
            int expandedMarkerId, const std::wstring& collapsedCaption,
            const std::wstring& expandedCaption);
  // Switches size (the top-left corner stays) and sets the button caption.
  void Toggle();
  // Shrinks `dialog` so that its client area ends at the anchor's bottom edge;
  // the width, left and top stay.
  static void CollapseToAnchor(HWND dialog, int anchorId);
  // Adds (expanded) or removes (collapsed) WS_TABSTOP on the 24 controls.
  void UpdateTabStops() const;

  bool Expanded() const { return expanded_; }
  bool Initialized() const { return dialog_ != nullptr; }
  const RECT& FullRect() const { return full_; }

 private:
  bool expanded_ = false;
  int toggleId_ = 0;
  int anchorId_ = 0;
  int markerId_ = 0;
  HWND dialog_ = nullptr;
  std::wstring collapsedCaption_;
  std::wstring expandedCaption_;
  RECT full_{0, 0, 0, 0};
};
