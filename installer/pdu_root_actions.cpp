// VarrowSetup.dll's actions for the D-PDU API root description file of each
// registry view (pdu_root_file.h). Sequenced by installer/package.wxs:
//   PduRootRestore  rollback of the two below: each view as it was
//   PduRootAdd      deferred, install and repair: our entry added or updated
//   PduRootRemove   deferred, removal (not for an upgrade): our entry out
//   PduRootForget   commit (deferred where rollback is off): the records go
// A root file that cannot be edited safely is left alone and said in the log;
// only a failure of the machine (a file that cannot be written) fails the setup.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "installer/action_support.h"
#include "installer/pdu_root_file.h"

namespace {

using varrow::setup::Code;
using varrow::setup::Guarded;
using varrow::setup::Property;
using varrow::setup::Say;

void Tell(MSIHANDLE install, const wchar_t* action, const varrow::PduRootTarget& target,
          const varrow::PduRootReport& report) {
  std::wstring line = std::wstring(action) + (target.native64 ? L": native view: " : L": 32-bit view: ") +
                      varrow::PduRootStepName(report.step);
  if (!report.file.empty()) line += L" (" + report.file + L")";
  if (!report.why.empty()) line += L": " + report.why;
  if (report.code != ERROR_SUCCESS) line += L", code " + Code(report.code);
  Say(install, line);
}

template <typename Edit>
UINT EditViews(MSIHANDLE install, const wchar_t* action, Edit edit) {
  std::vector<varrow::PduRootTarget> targets;
  if (!varrow::ParsePduRootTargets(Property(install, L"CustomActionData"), &targets)) {
    Say(install, std::wstring(action) + L": malformed action data");
    return ERROR_INSTALL_FAILURE;
  }
  bool failed = false;
  for (const varrow::PduRootTarget& target : targets) {
    const varrow::PduRootReport report = edit(target);
    Tell(install, action, target, report);
    failed = failed || report.step == varrow::PduRootStep::kFailed;
  }
  return failed ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

}  // namespace

// Deferred, as the system account (CustomActionData: the views' targets,
// ParsePduRootTargets).
extern "C" UINT __stdcall PduRootAdd(MSIHANDLE install) {
  return Guarded(install, L"PduRootAdd", [&]() -> UINT {
    return EditViews(install, L"PduRootAdd", [](const varrow::PduRootTarget& t) {
      return varrow::AddPduRootEntry(HKEY_LOCAL_MACHINE, t);
    });
  });
}

// Deferred, as the system account, on a removal that is not an upgrade's.
extern "C" UINT __stdcall PduRootRemove(MSIHANDLE install) {
  return Guarded(install, L"PduRootRemove", [&]() -> UINT {
    return EditViews(install, L"PduRootRemove", [](const varrow::PduRootTarget& t) {
      return varrow::RemovePduRootEntry(HKEY_LOCAL_MACHINE, t);
    });
  });
}

// Rollback of PduRootAdd and PduRootRemove: each view's file and value as the
// setup found them. Never fails.
extern "C" UINT __stdcall PduRootRestore(MSIHANDLE install) {
  (void)Guarded(install, L"PduRootRestore", [&]() -> UINT {
    for (const bool native64 : {false, true}) {
      varrow::PduRootTarget view;
      view.native64 = native64;
      const varrow::PduRootReport report = varrow::RestorePduRoot(HKEY_LOCAL_MACHINE, native64);
      if (report.step != varrow::PduRootStep::kNothing) Tell(install, L"PduRootRestore", view, report);
    }
    varrow::ForgetPduRootRecords(HKEY_LOCAL_MACHINE);
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}

// Commit (deferred where rollback is off): the records of what was there go.
extern "C" UINT __stdcall PduRootForget(MSIHANDLE install) {
  (void)Guarded(install, L"PduRootForget", [&]() -> UINT {
    varrow::ForgetPduRootRecords(HKEY_LOCAL_MACHINE);
    return ERROR_SUCCESS;
  });
  return ERROR_SUCCESS;
}
