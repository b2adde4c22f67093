// The ordered check list over a real list box window: fill, collect, moves,
// and the check list box's own check handling.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/framework.h"
#include "app/ordered_check_list.h"
#include "settings/device_settings.h"

namespace varrow {
namespace {

std::wstring Caption(DWORD number) {
  switch (number) {
    case 1: return L"A";
    case 2: return L"B";
    case 3: return L"C";
    default: return L"Unknown";
  }
}

// A hidden owner-drawn check list box on this thread.
class CheckListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 200, nullptr, nullptr,
                              nullptr, nullptr);
    ASSERT_NE(parent_, nullptr);
    HWND list = CreateWindowExW(0, L"LISTBOX", L"",
                                WS_CHILD | WS_VISIBLE | LBS_HASSTRINGS | LBS_NOTIFY, 0, 0, 150,
                                150, parent_, reinterpret_cast<HMENU>(1016), nullptr, nullptr);
    ASSERT_NE(list, nullptr);
    list_.Attach(list);
  }
  void TearDown() override { DestroyWindow(parent_); }

  void Seed(const std::vector<std::pair<DWORD, DWORD>>& entries) {
    order_.count = static_cast<DWORD>(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      order_.number[i] = entries[i].first;
      order_.enabled[i] = entries[i].second;
    }
  }
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> texts;
    for (int row = 0; row < list_.GetCount(); ++row) texts.push_back(list_.GetText(row));
    return texts;
  }
  std::vector<int> Checks() const {
    std::vector<int> checks;
    for (int row = 0; row < list_.GetCount(); ++row) checks.push_back(list_.GetCheck(row));
    return checks;
  }

  HWND parent_ = nullptr;
  CCheckListBox list_;
  OrderList order_{kAutoConnectionSection, kAutoConnectionPrefix};
};

TEST_F(CheckListTest, FillShowsEntriesWithCaptionsDataAndChecksAndSelectsTheFirst) {
  Seed({{2, 1}, {7, 0}, {1, 1}});
  OrderedCheckList ordered(list_, order_, Caption);
  ordered.Fill();
  EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"B", L"Unknown", L"A"}));
  EXPECT_EQ(Checks(), (std::vector<int>{1, 0, 1}));
  EXPECT_EQ(list_.GetItemData(1), 7u);
  EXPECT_EQ(list_.GetCurSel(), 0);
}

TEST_F(CheckListTest, FillKeepsTheRowsAlreadyShown) {
  Seed({{1, 1}, {2, 1}});
  OrderedCheckList ordered(list_, order_, Caption);
  ordered.Fill();
  list_.SetCurSel(1);
  ordered.MoveSelected(-1);
  list_.SetCheck(0, 0);
  // The model is replaced, as a reload does; the rows shown win.
  Seed({{3, 1}, {1, 0}});
  ordered.Fill();
  EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"B", L"A"}));
  EXPECT_EQ(Checks(), (std::vector<int>{0, 1}));
  EXPECT_EQ(order_.number[0], 2u);
  EXPECT_EQ(order_.enabled[0], 0u);
}

TEST_F(CheckListTest, CollectStoresRowsBelowTheCountOnly) {
  Seed({{1, 1}, {2, 1}, {3, 1}});
  OrderedCheckList ordered(list_, order_, Caption);
  ordered.Fill();
  order_.count = 2;  // a third row has no place in the model
  list_.SetCheck(1, 0);
  ordered.Collect();
  EXPECT_EQ(order_.enabled[1], 0u);
  EXPECT_EQ(order_.enabled[2], 1u);
  EXPECT_EQ(order_.Number(2), 0u);
}

TEST_F(CheckListTest, MovesTable) {
  struct Case {
    int selected;
    int step;
    std::vector<std::wstring> texts;
    std::vector<int> checks;
    int selectedAfter;
  } cases[] = {
      {1, -1, {L"B", L"A", L"C"}, {0, 1, 1}, 0},  // up keeps the check
      {1, +1, {L"A", L"C", L"B"}, {1, 1, 0}, 2},
      {0, -1, {L"A", L"B", L"C"}, {1, 0, 1}, 0},  // first row up
      {2, +1, {L"A", L"B", L"C"}, {1, 0, 1}, 2},  // last row down
      {1, +2, {L"A", L"B", L"C"}, {1, 0, 1}, 1},  // other steps
      {1, 0, {L"A", L"B", L"C"}, {1, 0, 1}, 1},
      {-1, +1, {L"A", L"B", L"C"}, {1, 0, 1}, -1},  // no selection
  };
  for (const Case& c : cases) {
    list_.ResetContent();
    Seed({{1, 1}, {2, 0}, {3, 1}});
    OrderedCheckList ordered(list_, order_, Caption);
    ordered.Fill();
    list_.SetCurSel(c.selected);
    EXPECT_EQ(ordered.MoveSelected(c.step), 0);
    EXPECT_EQ(Texts(), c.texts) << c.selected << " " << c.step;
    EXPECT_EQ(Checks(), c.checks) << c.selected << " " << c.step;
    EXPECT_EQ(list_.GetCurSel(), c.selectedAfter) << c.selected << " " << c.step;
    // A move never changes the model.
    EXPECT_EQ(order_.number[0], 1u);
  }
}

TEST_F(CheckListTest, MoveKeepsItemDataAndEmptyListIgnoresSteps) {
  Seed({{7, 1}, {1, 0}});
  OrderedCheckList ordered(list_, order_, Caption);
  ordered.Fill();
  ordered.MoveSelected(+1);
  EXPECT_EQ(list_.GetItemData(1), 7u);
  EXPECT_EQ(list_.GetText(1), L"Unknown");
  list_.ResetContent();
  EXPECT_EQ(ordered.MoveSelected(-1), 0);
  EXPECT_EQ(list_.GetCount(), 0);
}

TEST_F(CheckListTest, ChecksFollowInsertionsDeletionsAndTheSpaceBar) {
  list_.InsertString(-1, L"x");
  list_.InsertString(-1, L"y");
  list_.SetCheck(1, 1);
  list_.InsertString(0, L"w");  // shifts the checked row down
  EXPECT_EQ(Checks(), (std::vector<int>{0, 0, 1}));
  list_.DeleteString(0);
  EXPECT_EQ(Checks(), (std::vector<int>{0, 1}));
  // Rows that do not exist report LB_ERR to the window message and 0 here.
  EXPECT_EQ(SendMessageW(list_.m_hWnd, kCheckListGetCheck, 5, 0), LB_ERR);
  EXPECT_EQ(list_.GetCheck(5), 0);

  list_.SetCurSel(0);
  SendMessageW(list_.m_hWnd, WM_KEYDOWN, VK_SPACE, 0);
  EXPECT_EQ(Checks(), (std::vector<int>{1, 1}));
  SendMessageW(list_.m_hWnd, WM_KEYDOWN, VK_SPACE, 0);
  EXPECT_EQ(Checks(), (std::vector<int>{0, 1}));
}

TEST_F(CheckListTest, AClickOnTheBoxTogglesAndAClickOnTheTextSelects) {
  list_.InsertString(-1, L"first");
  list_.InsertString(-1, L"second");
  RECT row{};
  SendMessageW(list_.m_hWnd, LB_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&row));
  const int y = (row.top + row.bottom) / 2;
  SendMessageW(list_.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(row.left + 2, y));
  SendMessageW(list_.m_hWnd, WM_LBUTTONUP, 0, MAKELPARAM(row.left + 2, y));
  EXPECT_EQ(Checks(), (std::vector<int>{0, 1}));
  EXPECT_EQ(list_.GetCurSel(), 1);
  SendMessageW(list_.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(row.left + 80, y));
  SendMessageW(list_.m_hWnd, WM_LBUTTONUP, 0, MAKELPARAM(row.left + 80, y));
  EXPECT_EQ(Checks(), (std::vector<int>{0, 1}));
}

// The dialog's thread reads rows, data and checks from what the subclass keeps,
// without messages: after every kind of change they must be what the list box
// itself answers.
TEST_F(CheckListTest, KeptRowsAnswerAsTheListBoxDoes) {
  HWND raw = list_.m_hWnd;
  auto expectInStep = [&](const char* step) {
    const int count = static_cast<int>(SendMessageW(raw, LB_GETCOUNT, 0, 0));
    EXPECT_EQ(list_.GetCount(), count) << step;
    for (int row = -1; row <= count; ++row) {
      EXPECT_EQ(list_.GetItemData(row),
                static_cast<DWORD_PTR>(SendMessageW(raw, LB_GETITEMDATA, row, 0)))
          << step << " row " << row;
      const LRESULT check = SendMessageW(raw, kCheckListGetCheck, row, 0);
      EXPECT_EQ(list_.GetCheck(row), check == LB_ERR ? 0 : check) << step << " row " << row;
    }
  };
  const struct {
    const char* name;
    void (*change)(CCheckListBox&);
  } steps[] = {
      {"add", [](CCheckListBox& l) { l.InsertString(-1, L"a"); l.InsertString(-1, L"b"); }},
      {"data", [](CCheckListBox& l) { l.SetItemData(0, 11); l.SetItemData(1, 22); }},
      {"insert in front", [](CCheckListBox& l) { l.InsertString(0, L"c"); l.SetItemData(0, 33); }},
      {"check", [](CCheckListBox& l) { l.SetCheck(2, 1); }},
      {"data past the end", [](CCheckListBox& l) { l.SetItemData(7, 44); }},
      {"delete", [](CCheckListBox& l) { l.DeleteString(1); }},
      {"delete past the end", [](CCheckListBox& l) { l.DeleteString(9); }},
      {"raw messages", [](CCheckListBox& l) {
         SendMessageW(l.m_hWnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"d"));
         SendMessageW(l.m_hWnd, LB_SETITEMDATA, 2, 55);
       }},
      {"space bar", [](CCheckListBox& l) {
         l.SetCurSel(0);
         SendMessageW(l.m_hWnd, WM_KEYDOWN, VK_SPACE, 0);
       }},
      {"reset", [](CCheckListBox& l) { l.ResetContent(); }},
  };
  for (const auto& step : steps) {
    step.change(list_);
    expectInStep(step.name);
  }
  // A list box that had rows with data before it was attached.
  HWND other = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | LBS_HASSTRINGS, 0, 0, 50, 50, parent_,
                               nullptr, nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  SendMessageW(other, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"x"));
  SendMessageW(other, LB_SETITEMDATA, 0, 66);
  CCheckListBox attached;
  attached.Attach(other);
  EXPECT_EQ(attached.GetCount(), 1);
  EXPECT_EQ(attached.GetItemData(0), 66u);
}

}  // namespace
}  // namespace varrow
