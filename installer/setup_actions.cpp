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

#include "installer/action_support.h"
#include "installer/held_files.h"
#include "installer/log_folder.h"
#include "installer/running_program.h"
#include "installer/upgrade_mark.h"
#include "monitoring/maintenance.h"
#include "monitoring/monitor_refresh.h"

namespace {

using varrow::setup::Code;
using varrow::setup::Guarded;
using varrow::setup::Joined;
using varrow::setup::Property;
using varrow::setup::Say;

// How long a running Varrow of this session gets to close after the Restart
// Manager's turn, before the setup goes on without it.
constexpr DWORD kCloseWaitMs = 10000;

}  // namespace

// Deferred, as the system account, before the package's files are replaced or
// deleted (CustomActionData: Varrow.exe's path). A running Varrow, also an
// elevated one or one in another session, is asked to close through the
// Restart Manager, then any left in this session by a window message (its
// unsaved changes are dropped, as with Cancel). One that stays is only
// logged: Windows Installer replaces or deletes the files it holds at the
// next restart. Never fails.
extern "C" UINT __stdcall CloseRunningVarrow(MSIHANDLE install) {
  (void)Guarded(install, L"CloseRunningVarrow", [&]() -> UINT {
    const std::wstring program = Property(install, L"CustomActionData");
    if (program.empty() || varrow::ProcessesOf(program).empty()) return ERROR_SUCCESS;
    const varrow::RestartManagerResult rm = varrow::CloseThroughRestartManager({program});
    Say(install, L"CloseRunningVarrow: Restart Manager: " + Code(rm.code) + L", " +
                     Code(rm.listed) + L" process(es) using " + program +
                     (rm.shutDown ? L", asked to close" : L""));
    const std::vector<DWORD> left = varrow::CloseProgram(program, kCloseWaitMs);
    if (!left.empty()) {
      Say(install, L"CloseRunningVarrow: Varrow.exe is still running (process " + Code(left.front()) +
                       L"): its files are replaced at the next restart");
    }
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}

// Deferred, as the system account: the log folder of CustomActionData and its
// J2534 and PDU folders, administrators' and protected (log_folder.h).
extern "C" UINT __stdcall ProtectLogFolders(MSIHANDLE install) {
  return Guarded(install, L"ProtectLogFolders", [&]() -> UINT {
    const std::vector<varrow::LogFolderStep> steps =
        varrow::ProtectLogFolders(Property(install, L"CustomActionData"));
    bool ok = !steps.empty();
    for (const varrow::LogFolderStep& step : steps) {
      const std::wstring why = step.why != nullptr ? step.why : L"";
      if (!step.movedAside.empty()) {
        Say(install, L"ProtectLogFolders: " + step.folder + L" (" + why + L") moved aside to " +
                         step.movedAside + L", made anew");
      } else {
        Say(install, L"ProtectLogFolders: " + step.folder + (why.empty() ? L"" : L" (" + why + L")") +
                         L": " + Code(step.code));
      }
      ok = ok && step.code == ERROR_SUCCESS;
    }
    return ok ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
  });
}

// Deferred, as the system account, before the package's files go on an
// upgrade or a removal: every monitored library is put back, listed in the
// machine hive (monitor_refresh.h).
extern "C" UINT __stdcall MonitoringOffForSetup(MSIHANDLE install) {
  return Guarded(install, L"MonitoringOffForSetup", [&]() -> UINT {
    std::vector<std::wstring> failed;
    const DWORD rc = varrow::SwitchOffForSetup(varrow::RegistryRoots::Real(), &failed);
    Say(install, L"MonitoringOffForSetup: " + Code(rc));
    if (!failed.empty()) Say(install, L"MonitoringOffForSetup: still monitored: " + Joined(failed));
    return rc == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
  });
}

// Rollback of MonitoringOffForSetup: monitoring on again with the kept copies.
extern "C" UINT __stdcall RestoreMonitoring(MSIHANDLE install) {
  (void)Guarded(install, L"RestoreMonitoring", [&]() -> UINT {
    std::vector<std::wstring> failed, refused;
    varrow::RestoreMonitoring(varrow::RegistryRoots::Real(), &failed, &refused);
    if (!refused.empty()) Say(install, L"RestoreMonitoring: not registered or not in place: " + Joined(refused));
    if (!failed.empty()) Say(install, L"RestoreMonitoring: not monitored again: " + Joined(failed));
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}

// Deferred, as the system account, once the new files are in place on an
// upgrade. A library that cannot be monitored again is left in its place, and
// a listed one that is not registered now is not touched: the upgrade goes on.
extern "C" UINT __stdcall MonitoringOnAfterUpgrade(MSIHANDLE install) {
  (void)Guarded(install, L"MonitoringOnAfterUpgrade", [&]() -> UINT {
    std::vector<std::wstring> failed, refused;
    const DWORD rc = varrow::SwitchOnAfterUpgrade(varrow::RegistryRoots::Real(), &failed, &refused);
    Say(install, L"MonitoringOnAfterUpgrade: " + Code(rc));
    if (!refused.empty()) Say(install, L"MonitoringOnAfterUpgrade: not registered or not in place, refused: " + Joined(refused));
    if (!failed.empty()) Say(install, L"MonitoringOnAfterUpgrade: not monitored again: " + Joined(failed));
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}

// Rollback of MonitoringOnAfterUpgrade: the new monitor copies go again.
extern "C" UINT __stdcall MonitoringOffAfterRollback(MSIHANDLE install) {
  (void)Guarded(install, L"MonitoringOffAfterRollback", [&]() -> UINT {
    std::vector<std::wstring> failed;
    varrow::SwitchOffAfterRollback(varrow::RegistryRoots::Real(), &failed);
    if (!failed.empty()) Say(install, L"MonitoringOffAfterRollback: still monitored: " + Joined(failed));
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}

// Commit (deferred where rollback is off): the kept monitor copies and the list go.
extern "C" UINT __stdcall ForgetMonitoredList(MSIHANDLE install) {
  (void)Guarded(install, L"ForgetMonitoredList", [&]() -> UINT {
    varrow::ForgetMonitoredList(varrow::RegistryRoots::Real());
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}

// Commit of a removal (deferred where rollback is off), once nothing can roll
// it back: every user's settings go, and every library still set aside
// (RP1210 ones too) comes back.
extern "C" UINT __stdcall RemoveUserSettings(MSIHANDLE install) {
  (void)Guarded(install, L"RemoveUserSettings", [&]() -> UINT {
    varrow::UninstallUserSettings(varrow::MachineLayout::Real());
    varrow::ForgetMonitoredList(varrow::RegistryRoots::Real());
    Say(install, L"RemoveUserSettings: done");
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}

// Deferred, as the system account, on an upgrade before the older package is
// removed: the mark that tells its removal it is part of this upgrade
// (upgrade_mark.h). Its rollback action is ClearUpgradeMark.
extern "C" UINT __stdcall MarkUpgrade(MSIHANDLE install) {
  return Guarded(install, L"MarkUpgrade", [&]() -> UINT {
    const LONG rc = varrow::WriteUpgradeMark(HKEY_LOCAL_MACHINE, varrow::TimeNow());
    Say(install, L"MarkUpgrade: " + Code(static_cast<DWORD>(rc)));
    return rc == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
  });
}

// Rollback of MarkUpgrade, and commit of the upgrade (deferred where rollback
// is off): the mark goes.
extern "C" UINT __stdcall ClearUpgradeMark(MSIHANDLE install) {
  (void)Guarded(install, L"ClearUpgradeMark", [&]() -> UINT {
    varrow::ClearUpgradeMark(HKEY_LOCAL_MACHINE);
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
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

// Commit of a removal (deferred where rollback is off): the package's files
// that a running program still holds (CustomActionData: their paths, ";"
// between) are deleted at the next restart.
extern "C" UINT __stdcall DeleteHeldFiles(MSIHANDLE install) {
  (void)Guarded(install, L"DeleteHeldFiles", [&]() -> UINT {
    std::vector<std::wstring> scheduled, failed;
    varrow::DeleteNowOrAtRestart(varrow::SplitFileList(Property(install, L"CustomActionData")),
                                 &scheduled, &failed);
    if (!scheduled.empty()) Say(install, L"DeleteHeldFiles: in use, deleted at the next restart: " + Joined(scheduled));
    if (!failed.empty()) Say(install, L"DeleteHeldFiles: could not be deleted: " + Joined(failed));
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}

// Deferred, the last before InstallFinalize, only where the property
// VARROWFAILATEND is set: fails, so that the setup rolls back. How a rollback
// is checked end to end; never set in a real deployment.
extern "C" UINT __stdcall FailAtEnd(MSIHANDLE install) {
  Say(install, L"FailAtEnd: failing on purpose (VARROWFAILATEND)");
  return ERROR_INSTALL_FAILURE;
}
