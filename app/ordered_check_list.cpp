#include "app/ordered_check_list.h"

#include <utility>

namespace varrow {

OrderedCheckList::OrderedCheckList(CCheckListBox& list, OrderList& order,
                                   std::function<std::wstring(DWORD)> caption)
    : list_(list), order_(order), caption_(std::move(caption)) {}

void OrderedCheckList::Collect() {
  const int rows = list_.GetCount();
  for (int j = 0; j < rows; ++j) {
    const auto row = static_cast<DWORD>(j);
    order_.SetNumber(row, static_cast<DWORD>(list_.GetItemData(j)));
    order_.SetEnabled(row, static_cast<DWORD>(list_.GetCheck(j)));
  }
}

void OrderedCheckList::Fill() {
  Collect();
  list_.ResetContent();
  for (DWORD i = 0; i < order_.Count(); ++i) {
    const DWORD number = order_.Number(i);
    const int row = list_.InsertString(static_cast<int>(i), caption_ ? caption_(number) : L"");
    if (row < 0) continue;
    list_.SetItemData(row, number);
    list_.SetCheck(row, order_.Enabled(i) ? 1 : 0);
  }
  list_.SetCurSel(0);
}

LRESULT OrderedCheckList::MoveSelected(int step) {
  const int selected = list_.GetCurSel();
  const int rows = list_.GetCount();
  const bool up = step == -1 && selected > 0;
  const bool down = step == 1 && selected >= 0 && selected < rows - 1;
  if (!up && !down) return 0;
  const int check = list_.GetCheck(selected);
  const DWORD_PTR data = list_.GetItemData(selected);
  // Captions are short; a row text is carried in a bounded buffer of 100.
  std::wstring text = list_.GetText(selected);
  if (text.size() > 99) text.resize(99);
  list_.DeleteString(selected);
  const int row = list_.InsertString(selected + step, text);
  if (row >= 0) {
    list_.SetItemData(row, data);
    list_.SetCheck(row, check);
    list_.SetCurSel(row);
  }
  return 0;
}

}  // namespace varrow
