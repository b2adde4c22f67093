// The small window layer the program is built on: a window wrapper, a modal
// dialog base with a table-driven message map, and thin control wrappers,
// among them an owner-drawn check list box.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>
#include <string>
#include <vector>

// A window handle with the few operations the dialogs use. Does not own the
// window.
class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(HWND hwnd) : m_hWnd(hwnd) {}
  virtual ~CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const { return m_hWnd ? ::GetDlgItem(m_hWnd, id) : nullptr; }
  LRESULT SendMessage(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const;
  BOOL PostMessage(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const;
  LRESULT SendDlgItemMessage(int id, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const;

  void SetWindowText(const std::wstring& text) const;
  // The whole window text, however long.
  std::wstring GetWindowText() const;
  // False when the dialog has no control with that id.
  bool SetDlgItemText(int id, const std::wstring& text) const;
  std::wstring GetDlgItemText(int id) const;

  BOOL EnableWindow(BOOL enable) const { return ::EnableWindow(m_hWnd, enable); }
  BOOL ShowWindow(int command) const { return ::ShowWindow(m_hWnd, command); }
  DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_STYLE)); }
  DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_EXSTYLE)); }
  RECT GetWindowRect() const;
  RECT GetClientRect() const;
  void CenterWindow(HWND reference) const;

  // Binds the wrapper to an existing window; OnAttach lets a control subclass it.
  void Attach(HWND hwnd);
  HWND Detach();

  HWND m_hWnd = nullptr;

 protected:
  virtual void OnAttach() {}
};

class CDialog;

// What DoDataExchange gets: the dialog and the direction.
struct CDataExchange {
  CDialog* dialog;
  bool saveAndValidate;
};

// Binds the member control to the dialog's control with that id (once).
// Returns false when the dialog has no such control.
bool DDX_Control(CDataExchange* exchange, int id, CWnd& control);

// The wait cursor for a scope: IDC_WAIT on construction, IDC_ARROW after.
class CWaitCursor {
 public:
  CWaitCursor();
  ~CWaitCursor();
  CWaitCursor(const CWaitCursor&) = delete;
  CWaitCursor& operator=(const CWaitCursor&) = delete;
};
void ShowWaitCursor();
void ShowArrowCursor();

// One row of a message map: the window message, and for WM_COMMAND and
// WM_NOTIFY the notification code and the control id. kAnyCode / kAnyId match
// everything. The handler's result is the message's result; a handler that
// wants the dialog manager's default handling calls Default().
template <class T>
struct MessageMapEntry {
  UINT message;
  UINT code;
  UINT id;
  LRESULT (T::*handler)(WPARAM, LPARAM);
};
constexpr UINT kAnyCode = 0xFFFFFFFFu;
constexpr UINT kAnyId = 0xFFFFFFFFu;

// Matches a message against one message-map row (the code and id come from
// WM_COMMAND's wparam or WM_NOTIFY's NMHDR).
bool MessageMatches(UINT message, WPARAM wparam, LPARAM lparam, UINT entryMessage,
                    UINT entryCode, UINT entryId);

// A modal dialog on a template of the given module. One static dialog
// procedure stores `this` at WM_INITDIALOG and passes every message to
// HandleMessage; exceptions stop at that boundary.
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, HWND parent = nullptr, HINSTANCE module = nullptr);
  ~CDialog() override = default;

  // Runs the dialog modally; -1 when it could not be created.
  INT_PTR DoModal();
  UINT TemplateId() const { return templateId_; }
  HINSTANCE Module() const { return module_; }

  // Ends the modal loop with `result`.
  void EndDialog(INT_PTR result);
  // Runs DoDataExchange; `save` gives the direction.
  BOOL UpdateData(BOOL save = TRUE);

  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();

 protected:
  virtual void DoDataExchange(CDataExchange* exchange) {}
  // The derived class's message map: returns true when a row handled the
  // message, with its result in *result. See DispatchMap.
  virtual bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
    return false;
  }
  // Called from a handler: give the current message to the dialog manager's
  // default handling after the handler returns.
  void Default() { wantDefault_ = true; }

  // First matching row of `map` runs; true when one matched.
  template <class T, std::size_t N>
  bool DispatchMap(T* self, const MessageMapEntry<T> (&map)[N], UINT message, WPARAM wparam,
                   LPARAM lparam, LRESULT* result) {
    for (const auto& row : map) {
      if (MessageMatches(message, wparam, lparam, row.message, row.code, row.id)) {
        *result = (self->*row.handler)(wparam, lparam);
        return true;
      }
    }
    return false;
  }

 private:
  friend bool DDX_Control(CDataExchange* exchange, int id, CWnd& control);
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  bool HandleOwnerDraw(UINT message, WPARAM wparam, LPARAM lparam);

  UINT templateId_;
  HWND parent_;
  HINSTANCE module_;
  bool wantDefault_ = false;
  std::vector<CWnd*> bound_;  // controls bound by DDX_Control
};

// Messages of the check list box, answered by its window (any thread may ask):
// kCheckListGetCheck (wparam row) gives 0 or 1, or LB_ERR for no such row;
// kCheckListSetCheck (wparam row, lparam state) gives 0, or LB_ERR.
constexpr UINT kCheckListGetCheck = WM_APP + 0x140;
constexpr UINT kCheckListSetCheck = WM_APP + 0x141;

// An owner-drawn list box (LBS_OWNERDRAWFIXED | LBS_HASSTRINGS) with a check
// box in front of each row. The check states live with the window: the list
// box is subclassed so that every insertion, deletion and reset keeps them in
// step. A click on the box or the space bar toggles the selected row.
class CCheckListBox : public CWnd {
 public:
  ~CCheckListBox() override;

  int GetCount() const;
  int GetCurSel() const;
  int SetCurSel(int row) const;
  std::wstring GetText(int row) const;
  // Inserts a row at `row` (-1 appends); returns its index or LB_ERR.
  int InsertString(int row, const std::wstring& text) const;
  int DeleteString(int row) const;
  void ResetContent() const;
  DWORD_PTR GetItemData(int row) const;
  int SetItemData(int row, DWORD_PTR data) const;
  // 0 or 1; 0 for a row that does not exist.
  int GetCheck(int row) const;
  void SetCheck(int row, int state) const;

  // Draws one row: called by the dialog for WM_DRAWITEM of this control.
  void DrawItem(const DRAWITEMSTRUCT* draw) const;

 protected:
  void OnAttach() override;

 private:
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                       UINT_PTR id, DWORD_PTR refData);
  LRESULT OnListMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void Toggle(int row);
  int BoxSize() const;

  // True on the window's own thread once it is subclassed: the kept rows can be read.
  bool OnOwnThread() const;

  // One entry per row of the list box, kept in step by the subclass.
  std::vector<int> checks_;
  std::vector<DWORD_PTR> data_;  // the rows' item data (LB_SETITEMDATA)
  bool subclassed_ = false;
  DWORD ownerThread_ = 0;  // the thread that subclassed the window (its own)
};

class CEdit : public CWnd {
 public:
  void SetReadOnly(BOOL readOnly) const { SendMessage(EM_SETREADONLY, readOnly, 0); }
  void SetLimitText(UINT chars) const { SendMessage(EM_LIMITTEXT, chars, 0); }
};

class CButton : public CWnd {
 public:
  int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
  void SetCheck(int state) const { SendMessage(BM_SETCHECK, state); }
};

class CComboBox : public CWnd {
 public:
  int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL)); }
  int SetCurSel(int row) const { return static_cast<int>(SendMessage(CB_SETCURSEL, row)); }
  int GetCount() const { return static_cast<int>(SendMessage(CB_GETCOUNT)); }
  int AddString(const std::wstring& text) const;
  void ResetContent() const { SendMessage(CB_RESETCONTENT); }
};

class CTabCtrl : public CWnd {
 public:
  int GetCurSel() const { return static_cast<int>(SendMessage(TCM_GETCURSEL)); }
  int SetCurSel(int tab) const { return static_cast<int>(SendMessage(TCM_SETCURSEL, tab)); }
  int GetItemCount() const { return static_cast<int>(SendMessage(TCM_GETITEMCOUNT)); }
  // Inserts a text-only tab; returns its index or -1.
  int InsertItem(int tab, const std::wstring& text) const;
  void DeleteAllItems() const { SendMessage(TCM_DELETEALLITEMS); }
};
