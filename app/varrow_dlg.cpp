#include "app/varrow_dlg.h"

#include <uxtheme.h>

#include <string>
#include <utility>

#include "app/about_dlg.h"
#include "app/ordered_check_list.h"
#include "settings/owned_handle.h"
#include "locale/brand.h"
#include "locale/help.h"
#include "locale/version_info.h"
#include "monitoring/discovery.h"
#include "resources/resource.h"

namespace {

const wchar_t kNoAdminRightsText[] =
    L"Application does not have admin rights. Monitoring features are not functional";

// WM_COPYGLOBALDATA, which carries drag-and-drop data between processes.
constexpr UINT kCopyGlobalData = 0x0049;
constexpr DWORD kMessageFilterAllow = 1;  // MSGFLT_ALLOW

// Monitoring needs administrator rights, so under UAC the dialog runs elevated
// and Windows drops the messages of a drop from the (non-elevated) Explorer.
// Lets them through for this window. ChangeWindowMessageFilterEx exists from
// Windows 7 on and is looked up at run time; without it nothing changes.
void AllowDropsFromLowerIntegrity(HWND window) {
  using Filter = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return;
  const auto filter = reinterpret_cast<Filter>(
      reinterpret_cast<void*>(GetProcAddress(user32, "ChangeWindowMessageFilterEx")));
  if (filter == nullptr) return;
  for (UINT message : {UINT{WM_DROPFILES}, UINT{WM_COPYDATA}, kCopyGlobalData}) {
    // A refusal leaves drops from elevated windows working; nothing to report.
    (void)filter(window, message, kMessageFilterAllow, nullptr);
  }
}

// True when `control` lies wholly inside `dialog`'s client area.
bool InClientArea(HWND dialog, HWND control) {
  RECT client{};
  RECT rect{};
  GetClientRect(dialog, &client);
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect.top >= client.top && rect.bottom <= client.bottom && rect.left >= client.left &&
         rect.right <= client.right;
}

}  // namespace

bool ProcessHasAdminRights() {
  HANDLE rawToken = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
    const varrow::KernelHandle token(rawToken);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated != 0)
      return true;
  }
  // The SID lives in a buffer of its own: nothing to free.
  BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
  DWORD sidSize = sizeof administrators;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize))
    return false;
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  return member != FALSE;
}

CVarrowDlg::CVarrowDlg(UINT templateId, const varrow::RegistryRoots& roots,
                       std::optional<bool> monitoringAvailable, HINSTANCE resources)
    : CDialog(templateId, nullptr, resources),
      m_roots(roots),
      m_resources(resources ? resources : GetModuleHandleW(nullptr)),
      m_monitoringAvailable(monitoringAvailable ? *monitoringAvailable
                                                : ProcessHasAdminRights()) {
  m_hIcon = LoadIconW(m_resources, MAKEINTRESOURCEW(IDR_MAINFRAME));
  // The small icon from its own image at the small-icon size, not the large
  // one shrunk.
  m_hSmallIcon = static_cast<HICON>(LoadImageW(m_resources, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  if (m_hSmallIcon == nullptr) m_hSmallIcon = m_hIcon;
  m_brandId = 0;
  m_monitoring.PduSupportingIndex = -1;
}

CVarrowDlg::~CVarrowDlg() {
  // The thread is told to stop and waited for before its handles close.
  m_watcher.Stop();
  DiscoverBeforeTheEnd();
  // The language font goes with m_localization; the records close their keys.
}

void CVarrowDlg::DoDataExchange(CDataExchange* dx) {
  DDX_Control(dx, IDC_CONNECTION_LIST, m_connectionList);
  DDX_Control(dx, IDC_SERIAL_NUMBER, m_serialNumber);
  DDX_Control(dx, IDC_J2534_TAB, m_j2534Tab);
  DDX_Control(dx, IDC_J2534_FILE, m_j2534File);
  DDX_Control(dx, IDC_J2534_ENABLE, m_j2534Enable);
  DDX_Control(dx, IDC_J2534_OVERWRITE, m_j2534Overwrite);
  DDX_Control(dx, IDC_J2534_LOG_DEBUG_VIEW, m_j2534LogDebugView);
  DDX_Control(dx, IDC_J2534_LOG_ENTRY_EXIT, m_j2534LogEntryExit);
  DDX_Control(dx, IDC_J2534_DISABLE_EMPTY_ERROR, m_j2534DisableEmptyError);
  DDX_Control(dx, IDC_J2534_ASCII, m_j2534Ascii);
  DDX_Control(dx, IDC_J2534_XML, m_j2534Xml);
  DDX_Control(dx, IDC_J2534_CSV, m_j2534Csv);
  DDX_Control(dx, IDC_J2534_HTML, m_j2534Html);
  DDX_Control(dx, IDC_J2534_SIZE, m_j2534Size);
  DDX_Control(dx, IDC_PDU_TAB, m_pduTab);
  DDX_Control(dx, IDC_PDU_FILE, m_pduFile);
  DDX_Control(dx, IDC_PDU_ENABLE, m_pduEnable);
  DDX_Control(dx, IDC_PDU_OVERWRITE, m_pduOverwrite);
  DDX_Control(dx, IDC_PDU_LOG_DEBUG_VIEW, m_pduLogDebugView);
  DDX_Control(dx, IDC_PDU_LOG_ENTRY_EXIT, m_pduLogEntryExit);
  DDX_Control(dx, IDC_PDU_ASCII, m_pduAscii);
  DDX_Control(dx, IDC_PDU_XML, m_pduXml);
  DDX_Control(dx, IDC_PDU_CSV, m_pduCsv);
  DDX_Control(dx, IDC_PDU_HTML, m_pduHtml);
  DDX_Control(dx, IDC_PDU_SIZE, m_pduSize);
  DDX_Control(dx, IDC_PDU_STORE_WITH_J2534, m_pduStoreWithJ2534);
}

const MessageMapEntry<CVarrowDlg> CVarrowDlg::kMessageMap[] = {
    {WM_SYSCOMMAND, kAnyCode, kAnyId, &CVarrowDlg::OnSysCommand},
    {WM_PAINT, kAnyCode, kAnyId, &CVarrowDlg::OnPaint},
    {WM_QUERYDRAGICON, kAnyCode, kAnyId, &CVarrowDlg::OnQueryDragIcon},
    {WM_ENDSESSION, kAnyCode, kAnyId, &CVarrowDlg::OnEndSession},
    {WM_COMMAND, EN_SETFOCUS, IDC_SERIAL_NUMBER, &CVarrowDlg::OnSerialSetFocus},
    {WM_NOTIFY, static_cast<UINT>(UDN_DELTAPOS), IDC_CONNECTION_UPDOWN,
     &CVarrowDlg::OnConnectionDeltaPos},
    {varrow::kReloadMessage, kAnyCode, kAnyId, &CVarrowDlg::OnReload},
    {varrow::kMonitoringLoadedMessage, kAnyCode, kAnyId, &CVarrowDlg::OnMonitoringLoaded},
    {WM_NOTIFY, static_cast<UINT>(TCN_SELCHANGE), IDC_J2534_TAB, &CVarrowDlg::OnJ2534TabChange},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_ENABLE, &CVarrowDlg::OnJ2534Enable},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_ASCII, &CVarrowDlg::OnJ2534Format},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_XML, &CVarrowDlg::OnJ2534Format},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_CSV, &CVarrowDlg::OnJ2534Format},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_HTML, &CVarrowDlg::OnJ2534Format},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_OVERWRITE, &CVarrowDlg::OnJ2534Option},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_LOG_ENTRY_EXIT, &CVarrowDlg::OnJ2534Option},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_LOG_DEBUG_VIEW, &CVarrowDlg::OnJ2534Option},
    {WM_COMMAND, BN_CLICKED, IDC_J2534_DISABLE_EMPTY_ERROR, &CVarrowDlg::OnJ2534Option},
    {WM_COMMAND, CBN_SELCHANGE, IDC_J2534_SIZE, &CVarrowDlg::OnJ2534SizeChange},
    {WM_NOTIFY, static_cast<UINT>(TCN_SELCHANGE), IDC_PDU_TAB, &CVarrowDlg::OnPduTabChange},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_ENABLE, &CVarrowDlg::OnPduEnable},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_ASCII, &CVarrowDlg::OnPduFormat},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_XML, &CVarrowDlg::OnPduFormat},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_CSV, &CVarrowDlg::OnPduFormat},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_HTML, &CVarrowDlg::OnPduFormat},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_OVERWRITE, &CVarrowDlg::OnPduOption},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_LOG_ENTRY_EXIT, &CVarrowDlg::OnPduOption},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_LOG_DEBUG_VIEW, &CVarrowDlg::OnPduOption},
    {WM_COMMAND, CBN_SELCHANGE, IDC_PDU_SIZE, &CVarrowDlg::OnPduSizeChange},
    {WM_COMMAND, BN_CLICKED, IDC_PDU_STORE_WITH_J2534, &CVarrowDlg::OnStoreWithJ2534},
    {WM_COMMAND, BN_CLICKED, IDOK, &CVarrowDlg::OnOkButton},
    {WM_COMMAND, BN_CLICKED, IDC_APPLY, &CVarrowDlg::OnApplyButton},
    {WM_COMMAND, BN_CLICKED, IDC_HELP_BUTTON, &CVarrowDlg::OnHelpButton},
    {WM_DROPFILES, kAnyCode, kAnyId, &CVarrowDlg::OnDropFiles},
    {WM_COMMAND, BN_CLICKED, IDC_MORE_LESS, &CVarrowDlg::OnMoreLess},
    {WM_CTLCOLORSTATIC, kAnyCode, kAnyId, &CVarrowDlg::OnCtlColor},
    {WM_CTLCOLORBTN, kAnyCode, kAnyId, &CVarrowDlg::OnCtlColor},
    {WM_THEMECHANGED, kAnyCode, kAnyId, &CVarrowDlg::OnColorsChanged},
    {WM_SYSCOLORCHANGE, kAnyCode, kAnyId, &CVarrowDlg::OnColorsChanged},
    {WM_NEXTDLGCTL, kAnyCode, kAnyId, &CVarrowDlg::OnNextDialogControl},
};

bool CVarrowDlg::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  if (m_pagesPending && OnStartUpMessage(message, wparam, lparam, result)) return true;
  return DispatchMap(this, kMessageMap, message, wparam, lparam, result);
}

BOOL CVarrowDlg::OnInitDialog() {
  CDialog::OnInitDialog();                  // binds the member controls
  CenterWindow(GetDesktopWindow());         // at full size, before the collapse
  m_watcher.Start(m_hWnd);                  // no event: no watcher, no arming
  AllowDropsFromLowerIntegrity(m_hWnd);

  if (!varrow::LookupBrand(m_roots, &m_brandId)) return FALSE;

  const HFONT dialogFont = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
  varrow::ApplyLocalization(m_hWnd, dialogFont, m_roots, m_resources, &m_localization);

  m_layout.Init(m_hWnd, false, IDC_MORE_LESS, IDC_COLLAPSED_ANCHOR, IDC_EXPANDED_MARKER,
                Text(IDS_MORE), Text(IDS_LESS));
  // The cut-off part takes no keyboard focus from the start, whether or not
  // monitoring is available.
  m_layout.UpdateTabStops();

  if (HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE)) {
    const std::wstring about = varrow::LoadModuleString(m_resources, IDS_ABOUTBOX);
    if (!about.empty()) {
      AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }

  m_versionLine = varrow::ReadVersionLine(m_resources, Text(IDS_VERSION));

  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));

  ShowWaitCursor();
  OnReload(0, 0);

  // Discovery runs once the window is up and drawn; the pages are filled
  // when it ends, and whatever shows or uses them first waits for that
  // (app/varrow_dlg_loading.cpp).
  m_pagesPending = m_monitoringAvailable;

  PlaceOutputFields();
  ShowArrowCursor();

  for (int id : {IDC_J2534_TAB, IDC_PDU_TAB}) {
    if (HWND tab = GetDlgItem(id)) SetWindowTheme(tab, L"", L"");
  }
  m_tabBackground.Init(m_hWnd, {IDC_J2534_TAB, IDC_PDU_TAB});

  if (HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE)) {
    ModifyMenuW(systemMenu, IDM_ABOUTBOX, MF_BYCOMMAND | MF_STRING, IDM_ABOUTBOX,
                Text(IDS_ABOUTBOX).c_str());
  }
  m_initComplete = true;
  return TRUE;
}

std::wstring CVarrowDlg::TextOrBuiltIn(UINT id) const {
  const std::wstring& text = Text(id);
  return text.empty() ? varrow::LoadModuleString(m_resources, id) : text;
}

void CVarrowDlg::PlaceOutputFields() const {
  for (const auto& [fieldId, tabId] : {std::pair{IDC_J2534_FILE, IDC_J2534_TAB},
                                       std::pair{IDC_PDU_FILE, IDC_PDU_TAB}}) {
    HWND field = GetDlgItem(fieldId);
    HWND tab = GetDlgItem(tabId);
    if (field == nullptr || tab == nullptr) continue;
    HWND above = ::GetWindow(tab, GW_HWNDPREV);
    if (above == field) continue;
    SetWindowPos(field, above != nullptr ? above : HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
}

// ---------------------------------------------------------------- tab pages

LRESULT CVarrowDlg::OnCtlColor(WPARAM dc, LPARAM control) {
  HBRUSH brush =
      m_tabBackground.BrushFor(reinterpret_cast<HWND>(control), reinterpret_cast<HDC>(dc));
  if (brush == nullptr) {
    Default();
    return 0;
  }
  return reinterpret_cast<LRESULT>(brush);
}

LRESULT CVarrowDlg::OnColorsChanged(WPARAM, LPARAM) {
  m_tabBackground.Reset();
  Default();
  return 0;
}

// ---------------------------------------------------------------- window menu, icon

LRESULT CVarrowDlg::OnSysCommand(WPARAM command, LPARAM) {
  if (IsAboutCommand(command)) {
    OpenAboutBox();
  } else {
    Default();
  }
  return 0;
}

void CVarrowDlg::OpenAboutBox() {
  CAboutDlg about(AboutTemplateFor(GetExStyle()), m_resources, m_hWnd, Text(IDS_ABOUTBOX),
                  m_versionLine, Text(IDS_OK), Text(IDS_PRODUCT_LINE),
                  m_localization.CurrentFont());
  about.DoModal();
}

LRESULT CVarrowDlg::OnPaint(WPARAM, LPARAM) {
  if (!IsIconic(m_hWnd)) {
    Default();
    return 0;
  }
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const RECT client = GetClientRect();
  const POINT at = IconOrigin(client.right - client.left, client.bottom - client.top,
                              GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  DrawIcon(dc, at.x, at.y, m_hIcon);
  EndPaint(m_hWnd, &paint);
  return 0;
}

LRESULT CVarrowDlg::OnQueryDragIcon(WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(m_hIcon); }

// The session ends, or the Restart Manager asks the program to close (a setup
// replaces its files): the dialog ends as with Cancel, unsaved changes dropped.
LRESULT CVarrowDlg::OnEndSession(WPARAM ending, LPARAM) {
  if (ending) OnCancel();
  return 0;
}

// ---------------------------------------------------------------- device settings

LRESULT CVarrowDlg::OnSerialSetFocus(WPARAM, LPARAM) {
  const std::wstring text = m_serialNumber.GetWindowText();
  const std::wstring& placeholder = Text(IDS_SERIAL_PLACEHOLDER);
  const wchar_t first = text.empty() ? L'\0' : text[0];
  const wchar_t placeholderFirst = placeholder.empty() ? L'\0' : placeholder[0];
  if (first == placeholderFirst) m_serialNumber.SetWindowText(L"");
  return 0;
}

LRESULT CVarrowDlg::OnConnectionDeltaPos(WPARAM, LPARAM notify) {
  const auto* updown = reinterpret_cast<const NMUPDOWN*>(notify);
  if (updown == nullptr) return 0;
  varrow::OrderedCheckList list(m_connectionList, m_deviceSettings.autoConnection, {});
  return list.MoveSelected(updown->iDelta);
}

void CVarrowDlg::ReloadDeviceSettings() {
  m_watchedKeys[0] = m_deviceSettings.defaultDevice.Load(m_roots);
  m_serialNumber.SetWindowText(varrow::FormatSerialNumber(
      m_deviceSettings.defaultDevice.serialNumber, Text(IDS_SERIAL_PLACEHOLDER)));
  m_serialNumber.EnableWindow(TRUE);
  m_serialNumber.SetReadOnly(FALSE);
  m_serialNumber.SetLimitText(10);

  m_watchedKeys[1] = m_deviceSettings.autoConnection.Load(m_roots);
  varrow::OrderedCheckList list(m_connectionList, m_deviceSettings.autoConnection,
                                [this](DWORD number) {
                                  return Text(varrow::ConnectionCaptionId(number));
                                });
  list.Fill();

  m_watchedKeys[2] = m_deviceSettings.interfaceType.Load(m_roots);
}

LRESULT CVarrowDlg::OnReload(WPARAM wparam, LPARAM lparam) {
  // The watcher posts (0, 0). The same number is the dialog manager's
  // DM_SETDEFID, which carries a button id: that one keeps its default meaning
  // instead of throwing away what the user typed.
  if (wparam != 0 || lparam != 0) {
    Default();
    return 0;
  }
  ReloadDeviceSettings();
  m_watcher.Arm(m_watchedKeys, 3);
  UpdateData(TRUE);
  return 0;
}

// ---------------------------------------------------------------- Apply, OK, Help, More

LRESULT CVarrowDlg::OnOkButton(WPARAM, LPARAM) {
  if (SaveAllReportingFailure()) OnOK();
  return 0;
}

LRESULT CVarrowDlg::OnApplyButton(WPARAM, LPARAM) {
  (void)SaveAllReportingFailure();  // a failure was shown to the user
  return 0;
}

LRESULT CVarrowDlg::OnHelpButton(WPARAM, LPARAM) {
  varrow::OnHelpButton(m_hWnd, m_localization.HelpFile());
  return 0;
}

LRESULT CVarrowDlg::OnMoreLess(WPARAM, LPARAM) {
  if (!m_monitoringAvailable) {
    MessageBoxW(m_hWnd, kNoAdminRightsText, GetWindowText().c_str(), MB_OK);
    return 0;
  }
  // Without a completed start-up (brand lookup failed) the layout was never
  // set up: the button then does nothing.
  if (!m_layout.Initialized()) return 0;
  m_layout.Toggle();
  m_layout.UpdateTabStops();
  KeepFocusVisible();
  return 0;
}

void CVarrowDlg::KeepFocusVisible() const {
  HWND focus = ::GetFocus();
  if (focus == nullptr || !IsChild(m_hWnd, focus)) return;
  // The focused control, not a child window of it (a combo box's edit field).
  while (::GetParent(focus) != m_hWnd && ::GetParent(focus) != nullptr) focus = ::GetParent(focus);
  if (InClientArea(m_hWnd, focus)) return;
  if (HWND button = GetDlgItem(IDC_MORE_LESS))
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
}

// The direct child of the dialog that `window` belongs to (a combo box for its
// edit field), or null when it is not inside the dialog.
static HWND DialogChildOf(HWND dialog, HWND window) {
  while (window != nullptr && ::GetParent(window) != dialog) window = ::GetParent(window);
  return window;
}

LRESULT CVarrowDlg::OnNextDialogControl(WPARAM previous, LPARAM byHandle) {
  // A control named by handle, or the full layout: the dialog manager's way.
  if (LOWORD(byHandle) != 0 || !m_layout.Initialized() || m_layout.Expanded()) {
    Default();
    return 0;
  }
  // The pages in the cut-off part keep no tab stop while collapsed, but a
  // radio group is entered through its checked button whatever that says,
  // and checking a radio button gives it a tab stop again.
  const HWND from = DialogChildOf(m_hWnd, ::GetFocus());
  if (HWND next = NextStopInView(from, previous != 0)) {
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
  }
  return 0;
}

HWND CVarrowDlg::NextStopInView(HWND from, bool previous) const {
  // Bounded by the number of controls: every control is passed at most once.
  int controls = 0;
  for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child != nullptr && controls < 4096;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    ++controls;
  }
  HWND current = from;
  HWND first = nullptr;
  for (int step = 0; step <= controls; ++step) {
    HWND next = GetNextDlgTabItem(m_hWnd, current, previous ? TRUE : FALSE);
    next = DialogChildOf(m_hWnd, next);
    if (next == nullptr || next == first) return nullptr;
    if (first == nullptr) first = next;
    if (InClientArea(m_hWnd, next)) return next;
    current = next;
  }
  return nullptr;
}
