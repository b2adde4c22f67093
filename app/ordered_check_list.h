// An OrderList shown in a check list box: one row per entry with the entry's
// caption, its number as item data and its Enabled as the check state. The
// up-down control beside the list moves the selected row.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "app/framework.h"
#include "settings/device_settings.h"

namespace varrow {

class OrderedCheckList {
 public:
  // `caption` gives the row text of an entry number.
  OrderedCheckList(CCheckListBox& list, OrderList& order,
                   std::function<std::wstring(DWORD)> caption);

  // Takes every row into the OrderList: row j gives SetNumber(j, item data)
  // and SetEnabled(j, check state); rows at or above its count are dropped.
  void Collect();
  // Collects first (so rows already shown keep their order and checks), then
  // rebuilds the rows from the OrderList and selects the first row.
  void Fill();
  // Moves the selected row one place: step -1 up, +1 down. Anything else, the
  // first row up, the last row down, no selection or no rows change nothing.
  // The row keeps its text, item data and check state and stays selected.
  // Returns 0, the answer to UDN_DELTAPOS.
  LRESULT MoveSelected(int step);

 private:
  CCheckListBox& list_;
  OrderList& order_;
  std::function<std::wstring(DWORD)> caption_;
};

}  // namespace varrow
