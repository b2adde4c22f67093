// The command-line maintenance modes "disable" and "uninstall". They run without
// a window, show nothing and report nothing: every failure is skipped.
#pragma once

#include <string>
#include <vector>

#include "monitoring/file_steps.h"
#include "settings/registry.h"

namespace varrow {

// Where the maintenance modes look: registry roots and the Windows and system
// folders (RP121032.ini lies in the former, RP1210 libraries in the latter).
struct MachineLayout {
  RegistryRoots roots;
  std::wstring windowsDir;
  std::wstring systemDir;
  // The predefined registry keys and the real folders of this machine.
  static MachineLayout Real();
};

// Puts the set-aside library `aside` back at `library` when it exists there,
// also while an application has the monitor copy loaded (PutLibraryBack). When
// that fails the files stay as they were. True when the library stands at
// `library` afterwards or nothing was set aside.
bool RestoreLibrary(const std::wstring& library, const std::wstring& aside);
// The same; `repair`, when given, receives what was done where nothing stood
// at `library` (outcome kFilledMeanwhile when something did).
bool RestoreLibrary(const std::wstring& library, const std::wstring& aside, LibraryRepair* repair);

// Restores every set-aside RP1210, J2534 and PDU implementation library, then
// deletes the leftover monitor copies beside them (DeleteMonitorLeftovers).
// `repairs`, when given, receives one entry for each library whose path was
// empty (put back, or failed).
void DisableAllMonitoring(const MachineLayout& layout,
                          std::vector<LibraryRepair>* repairs = nullptr);
// The start's repair of monitoring left half done: each J2534 and PDU library
// registered by full path whose set-aside library exists while its path is
// empty gets its API's monitor library (the machine default MonitorLibrary)
// copied there again, or, when that fails, the library put back
// (RepairByMonitorCopy). No PATH search. Returns what was done.
std::vector<LibraryRepair> RepairEmptyLibraryPaths(const MachineLayout& layout);
// Every start of the program, in one pass over the registrations:
// RepairEmptyLibraryPaths, then DeleteMonitorLeftovers. Returns the repairs.
std::vector<LibraryRepair> StartUpMaintenance(const MachineLayout& layout);
// Deletes the leftover monitor copies (renamed aside by a switch-off while they
// were loaded) in the folders of the RP1210 libraries and of the J2534 and PDU
// libraries registered by full path; those still loaded stay. Cheap enough for
// every start of the program: no PATH search, one folder search per folder
// (leftovers beside a library registered by a bare name go with "disable").
// Silent.
void DeleteMonitorLeftovers(const MachineLayout& layout);
// Deletes SOFTWARE\OVRA\OVRA_VCI of every loaded user hive, then disables all monitoring.
void UninstallUserSettings(const MachineLayout& layout);

// The RP1210 implementation names listed in <windowsDir>\RP121032.ini.
std::vector<std::wstring> ReadRp1210Implementations(const std::wstring& windowsDir);

// The command-line entries: the same on this machine. The modes report their
// repairs (RepairText) on the debugger output only: they show nothing.
void DisableAllMonitoring();
void UninstallUserSettings();
void DeleteMonitorLeftovers();
std::vector<LibraryRepair> StartUpMaintenance();

}  // namespace varrow
