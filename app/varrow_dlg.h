// The main dialog: device settings in its upper part, the two monitoring pages
// below, the expandable layout, the registry watcher and the About box.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "app/change_watcher.h"
#include "app/expandable_layout.h"
#include "app/framework.h"
#include "app/monitoring_loader.h"
#include "app/tab_page_background.h"
#include "locale/localization.h"
#include "monitoring/api_implementation.h"
#include "settings/device_settings.h"
#include "settings/registry.h"

// True when the process runs with administrator rights (an elevated token, or
// membership of the Administrators group that is enabled in the token).
bool ProcessHasAdminRights();

class CVarrowDlg : public CDialog {
 public:
  // `templateId` is 102 or 154. The program passes only the template; tests
  // pass scratch registry roots, a forced monitoring-available flag (empty:
  // computed from the process's rights) and the module holding the templates
  // (null: the executable).
  explicit CVarrowDlg(UINT templateId,
                      const varrow::RegistryRoots& roots = varrow::RegistryRoots::Real(),
                      std::optional<bool> monitoringAvailable = std::nullopt,
                      HINSTANCE resources = nullptr);
  ~CVarrowDlg() override;

  BOOL OnInitDialog() override;

  // The save sequence of Apply and OK: true when everything was saved
  // (app/varrow_dlg_saving.cpp, as SaveAllReportingFailure and SaveDeviceSettings).
  bool SaveAll();
  // Starts the discovery of the monitoring pages unless it runs already, waits
  // for it and fills the pages; nothing once they are filled, or when
  // monitoring is not available or the start-up stopped at the brand lookup.
  void EnsureMonitoringLoaded();
  // For tests, before DoModal: the discovery waits until `released` is signalled.
  void HoldDiscoveryUntil(HANDLE released) { m_discoveryGate = released; }

 protected:
  void DoDataExchange(CDataExchange* exchange) override;
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) override;

 private:
  static const MessageMapEntry<CVarrowDlg> kMessageMap[];

  // A localised text by string id (empty when localisation was skipped).
  const std::wstring& Text(UINT id) const { return m_localization.Text(id); }
  // The localised text, or the built-in one of m_resources when it is empty.
  std::wstring TextOrBuiltIn(UINT id) const;

  // --- Handlers of this dialog (app/varrow_dlg.cpp and friends) ---
  LRESULT OnSysCommand(WPARAM command, LPARAM lparam);
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM);
  LRESULT OnEndSession(WPARAM ending, LPARAM);
  LRESULT OnSerialSetFocus(WPARAM, LPARAM);
  LRESULT OnConnectionDeltaPos(WPARAM, LPARAM notify);
  LRESULT OnReload(WPARAM wparam, LPARAM lparam);
  LRESULT OnOkButton(WPARAM, LPARAM);
  LRESULT OnApplyButton(WPARAM, LPARAM);
  LRESULT OnHelpButton(WPARAM, LPARAM);
  LRESULT OnMoreLess(WPARAM, LPARAM);
  LRESULT OnMonitoringLoaded(WPARAM, LPARAM);  // kMonitoringLoadedMessage
  // Tab and Shift+Tab (WM_NEXTDLGCTL with a direction): while collapsed, the
  // dialog manager's next stop that lies in the visible part.
  LRESULT OnNextDialogControl(WPARAM previous, LPARAM byHandle);

  // While the pages are not filled: starts the discovery once the window is
  // painted and idle, and makes whatever shows or uses the pages wait for
  // them. True when it handled the message itself (app/varrow_dlg_loading.cpp).
  bool OnStartUpMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result);
  // True for the messages that show or use the monitoring pages.
  static bool NeedsMonitoringPages(UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnCtlColor(WPARAM dc, LPARAM control);   // WM_CTLCOLORSTATIC, WM_CTLCOLORBTN
  LRESULT OnColorsChanged(WPARAM, LPARAM);         // WM_THEMECHANGED, WM_SYSCOLORCHANGE

  // Apply and OK: SaveAll, with an unexpected exception stopping the save at
  // that step and reported in a message box (false then).
  bool SaveAllReportingFailure();
  // Places the output-file fields right above their tab controls in the
  // drawing order: drawn over the tab controls and group boxes, and in the tab
  // order just before their tab control instead of first.
  void PlaceOutputFields() const;
  // Moves the focus to the toggle button when it sits in the cut-off part.
  void KeepFocusVisible() const;
  // The dialog manager's tab stop after (or before) `from` that lies wholly in
  // the client area, passing over those that do not; null when there is none.
  HWND NextStopInView(HWND from, bool previous) const;

  // Device part of the reload: loads the three records, refreshes 1021 and
  // 1016, and keeps the three per-user keys for the watcher.
  void ReloadDeviceSettings();
  // Validates the list and the serial number and writes the three sections.
  // False (after its message box) when validation failed; nothing written.
  bool SaveDeviceSettings();
  void OpenAboutBox();

  // --- Monitoring pages (app/varrow_dlg_pages.cpp) ---
  // Message-map handlers: wparam/lparam as the message carries them.
  LRESULT OnJ2534TabChange(WPARAM, LPARAM);       // TCN_SELCHANGE 1000
  LRESULT OnJ2534Enable(WPARAM, LPARAM);          // BN_CLICKED 1002
  LRESULT OnJ2534Format(WPARAM, LPARAM);          // BN_CLICKED 1011, 1014, 1012, 1013
  LRESULT OnJ2534Option(WPARAM, LPARAM);          // BN_CLICKED 1015, 1058, 1060, 1057
  LRESULT OnJ2534SizeChange(WPARAM, LPARAM);      // CBN_SELCHANGE 1005
  LRESULT OnPduTabChange(WPARAM, LPARAM);         // TCN_SELCHANGE 1022
  LRESULT OnPduEnable(WPARAM, LPARAM);            // BN_CLICKED 1024
  LRESULT OnPduFormat(WPARAM, LPARAM);            // BN_CLICKED 1033, 1036, 1034, 1035
  LRESULT OnPduOption(WPARAM, LPARAM);            // BN_CLICKED 1037, 1059, 1061
  LRESULT OnPduSizeChange(WPARAM, LPARAM);        // CBN_SELCHANGE 1027
  LRESULT OnStoreWithJ2534(WPARAM, LPARAM);       // BN_CLICKED 1038
  LRESULT OnDropFiles(WPARAM drop, LPARAM);       // WM_DROPFILES
  // Start-up of the pages, after LoadMonitoringConfiguration: the tabs, the
  // message sizes and both pages at their first tabs.
  void FillMonitoringPages();
  // Starts the discovery on its worker thread; nothing when it was started.
  void StartDiscovery();
  // For a dialog ended before its discovery began: runs it all the same (it
  // writes the user's monitoring keys at every start), and waits for it.
  void DiscoverBeforeTheEnd() noexcept;
  // The tabs of both tab controls from m_monitoring's captions.
  void InsertMonitoringTabs();
  void FillMessageSizeCombos();
  void RefreshJ2534Page();
  void RefreshPduPage();
  // Save hooks of SaveAll: the output-file validation of both pages (false
  // stops the save after its own message), and the monitoring save.
  bool ValidateMonitoringPages();
  void SaveMonitoring();

  // --- State ---
  varrow::RegistryRoots m_roots;
  HINSTANCE m_resources;             // module of templates and built-in strings
  bool m_monitoringAvailable;
  CCheckListBox m_connectionList;    // 1016
  CCheckListBox m_interfaceList;     // never bound: no control shows that order
  HICON m_hIcon = nullptr;          // large icon (shared, never destroyed)
  HICON m_hSmallIcon = nullptr;     // small icon at the small-icon size (shared)
  varrow::TabPageBackground m_tabBackground;
  CExpandableLayout m_layout;
  varrow::LocalizationState m_localization;  // texts, help file, fonts
  int m_brandId = 0;
  varrow::ChangeWatcher m_watcher;
  varrow::DeviceSettings m_deviceSettings;
  HKEY m_watchedKeys[3] = {nullptr, nullptr, nullptr};  // owned by m_deviceSettings
  varrow::MonitoringState m_monitoring;
  // Fills m_monitoring on its worker thread; destroyed (and so waited for)
  // before m_monitoring.
  varrow::MonitoringLoader m_monitoringLoader;
  bool m_pagesPending = false;       // pages not filled yet (monitoring available)
  bool m_discoveryStarted = false;
  HANDLE m_discoveryGate = nullptr;  // not owned; null outside tests
  std::wstring m_versionLine;
  bool m_initComplete = false;       // OnInitDialog went past the brand lookup

  // Bound controls, in binding order.
  CEdit m_serialNumber;              // 1021
  CTabCtrl m_j2534Tab;               // 1000
  CEdit m_j2534File;                 // 1008
  CButton m_j2534Enable;             // 1002
  CButton m_j2534Overwrite;          // 1015
  CButton m_j2534LogDebugView;       // 1060
  CButton m_j2534LogEntryExit;       // 1058
  CButton m_j2534DisableEmptyError;  // 1057
  CButton m_j2534Ascii;              // 1011
  CButton m_j2534Xml;                // 1014
  CButton m_j2534Csv;                // 1012
  CButton m_j2534Html;               // 1013
  CComboBox m_j2534Size;             // 1005
  CTabCtrl m_pduTab;                 // 1022
  CEdit m_pduFile;                   // 1030
  CButton m_pduEnable;               // 1024
  CButton m_pduOverwrite;            // 1037
  CButton m_pduLogDebugView;         // 1061
  CButton m_pduLogEntryExit;         // 1059
  CButton m_pduAscii;                // 1033
  CButton m_pduXml;                  // 1036
  CButton m_pduCsv;                  // 1034
  CButton m_pduHtml;                 // 1035
  CComboBox m_pduSize;               // 1027
  CButton m_pduStoreWithJ2534;       // 1038
};
