// VarrowSetup.dll: the package installer's own actions, run by Windows
// Installer from the MSI's Binary table (installer/package.wxs sequences
// them). Each entry takes the installer's handle, reads what it needs (the
// deferred ones their CustomActionData), writes what it did to the
// installation log and returns ERROR_SUCCESS or ERROR_INSTALL_FAILURE.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "installer/held_files.h"
#include "installer/log_folder.h"
#include "installer/running_program.h"
#include "installer/upgrade_mark.h"
#include "monitoring/monitor_refresh.h"

namespace {

// Property texts are read into a bounded buffer: paths here fit easily.
constexpr DWORD kPropertyChars = 4096;
// How long a running Varrow gets to close.
constexpr DWORD kCloseWaitMs = 30000;

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  std::wstring value(kPropertyChars, L'\0');
  DWORD chars = kPropertyChars;
  if (MsiGetPropertyW(install, name, value.data(), &chars) != ERROR_SUCCESS || chars >= kPropertyChars) {
    return {};
  }
  value.resize(chars);
  return value;
}

// A line in the installation log; with `error`, also what the user sees.
void Say(MSIHANDLE install, const std::wstring& text, bool error = false) {
  const MSIHANDLE record = MsiCreateRecord(1);
  if (record == 0) return;
  // The text as a field, never as the template: a "[" in a path is not formatted.
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, text.c_str());
  MsiProcessMessage(install, error ? INSTALLMESSAGE_ERROR : INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

std::wstring Code(DWORD code) { return std::to_wstring(code); }

std::wstring Joined(const std::vector<std::wstring>& paths) {
  std::wstring text;
  for (const std::wstring& path : paths) text += (text.empty() ? L"" : L", ") + path;
  return text;
}

// Catches what must not leave a Windows Installer entry.
template <typename Action>
UINT Guarded(MSIHANDLE install, const wchar_t* name, Action action) {
  try {
    return action();
  } catch (...) {
    Say(install, std::wstring(name) + L": failed unexpectedly");
    return ERROR_INSTALL_FAILURE;
  }
}

}  // namespace

// Immediate, before InstallValidate on removal and upgrade: a running Varrow of
// this installation is told to close; one that does not stops the removal
// with a message naming it.
extern "C" UINT __stdcall CloseRunningVarrow(MSIHANDLE install) {
  return Guarded(install, L"CloseRunningVarrow", [&]() -> UINT {
    const std::wstring folder = Property(install, L"INSTALLDIR");
    if (folder.empty()) return ERROR_SUCCESS;
    const std::wstring program = folder + (folder.back() == L'\\' ? L"" : L"\\") + L"Varrow.exe";
    if (varrow::ProcessesOf(program).empty()) return ERROR_SUCCESS;
    Say(install, L"CloseRunningVarrow: telling " + program + L" to close");
    const std::vector<DWORD> left = varrow::CloseProgram(program, kCloseWaitMs);
    if (left.empty()) return ERROR_SUCCESS;
    Say(install,
        L"Varrow.exe is still running (process " + Code(left.front()) +
            L") and keeps the package's files in use. Close it, then run the setup again.",
        true);
    return ERROR_INSTALL_FAILURE;
  });
}

// Deferred, elevated: the log folder of CustomActionData, open to every user.
extern "C" UINT __stdcall OpenLogFolder(MSIHANDLE install) {
  return Guarded(install, L"OpenLogFolder", [&]() -> UINT {
    const std::wstring folder = Property(install, L"CustomActionData");
    const DWORD rc = varrow::OpenLogFolderToUsers(folder);
    Say(install, L"OpenLogFolder: " + folder + L": " + Code(rc));
    return rc == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
  });
}

// Deferred, elevated, before the old package is removed on an upgrade.
extern "C" UINT __stdcall MonitoringOffForUpgrade(MSIHANDLE install) {
  return Guarded(install, L"MonitoringOffForUpgrade", [&]() -> UINT {
    const std::wstring list = Property(install, L"CustomActionData");
    std::vector<std::wstring> failed;
    const DWORD rc = varrow::SwitchOffForUpgrade(varrow::RegistryRoots::Real(), list, &failed);
    Say(install, L"MonitoringOffForUpgrade: " + list + L": " + Code(rc));
    if (!failed.empty()) Say(install, L"MonitoringOffForUpgrade: still monitored: " + Joined(failed));
    return rc == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
  });
}

// Deferred, elevated, once the new files are in place on an upgrade. A library
// that cannot be monitored again is left in its place: the upgrade goes on.
extern "C" UINT __stdcall MonitoringOnAfterUpgrade(MSIHANDLE install) {
  return Guarded(install, L"MonitoringOnAfterUpgrade", [&]() -> UINT {
    const std::wstring list = Property(install, L"CustomActionData");
    std::vector<std::wstring> failed;
    const DWORD rc = varrow::SwitchOnAfterUpgrade(varrow::RegistryRoots::Real(), list, &failed);
    Say(install, L"MonitoringOnAfterUpgrade: " + list + L": " + Code(rc));
    if (!failed.empty()) Say(install, L"MonitoringOnAfterUpgrade: not monitored again: " + Joined(failed));
    return ERROR_SUCCESS;
  });
}

// Immediate, on an upgrade, before the older package is removed: the mark that
// tells its removal it is part of this upgrade (upgrade_mark.h).
extern "C" UINT __stdcall MarkUpgrade(MSIHANDLE install) {
  return Guarded(install, L"MarkUpgrade", [&]() -> UINT {
    const LONG rc = varrow::WriteUpgradeMark(HKEY_LOCAL_MACHINE, varrow::TimeNow());
    Say(install, L"MarkUpgrade: " + Code(static_cast<DWORD>(rc)));
    return ERROR_SUCCESS;  // without it, UPGRADINGPRODUCTCODE alone tells
  });
}

// Immediate, at the end of an upgrade: the mark goes.
extern "C" UINT __stdcall ClearUpgradeMark(MSIHANDLE install) {
  return Guarded(install, L"ClearUpgradeMark", [&]() -> UINT {
    varrow::ClearUpgradeMark(HKEY_LOCAL_MACHINE);
    return ERROR_SUCCESS;
  });
}

// Immediate, on removal: sets REMOVALFORUPGRADE when this removal is part of an
// upgrade (UPGRADINGPRODUCTCODE, or the upgrade's mark): the users' settings
// then stay and monitoring is carried over instead of switched off.
extern "C" UINT __stdcall DetectUpgrade(MSIHANDLE install) {
  return Guarded(install, L"DetectUpgrade", [&]() -> UINT {
    const bool upgrade = !Property(install, L"UPGRADINGPRODUCTCODE").empty() ||
                         varrow::UpgradeMarkCounts(HKEY_LOCAL_MACHINE, varrow::TimeNow());
    if (upgrade) MsiSetPropertyW(install, L"REMOVALFORUPGRADE", L"1");
    Say(install, std::wstring(L"DetectUpgrade: ") + (upgrade ? L"removal for an upgrade" : L"removal"));
    return ERROR_SUCCESS;
  });
}

// Deferred, elevated, after RemoveFiles on removal: the package's files that a
// running program still holds (CustomActionData: their paths, ";" between)
// are deleted at the next restart.
extern "C" UINT __stdcall DeleteHeldFiles(MSIHANDLE install) {
  return Guarded(install, L"DeleteHeldFiles", [&]() -> UINT {
    std::vector<std::wstring> scheduled, failed;
    varrow::DeleteNowOrAtRestart(varrow::SplitFileList(Property(install, L"CustomActionData")),
                                 &scheduled, &failed);
    if (!scheduled.empty()) Say(install, L"DeleteHeldFiles: in use, deleted at the next restart: " + Joined(scheduled));
    if (!failed.empty()) Say(install, L"DeleteHeldFiles: could not be deleted: " + Joined(failed));
    return ERROR_SUCCESS;
  });
}
