// The package's entry in the D-PDU API root description file of a registry
// view, on the machine: the file HKLM\SOFTWARE\D-PDU API "Root File" names
// (made, with the value, where there is none), edited by the rules of
// pdu_root_rules.h. Runs as the system account from the setup actions.
//
// Safety: the file is opened without following a link, and one that is a
// link, a folder, has more than one name (a hard link), is larger than 1 MiB
// or that the rules refuse (not UTF-8, malformed) is left as it is: the edit
// is refused and said, never forced. Before the first edit of a setup, what
// was there (the file's bytes or their absence, the value or its absence) is
// kept in the machine hive (HKLM\SOFTWARE\OVRA\Installer\PduRoot32 or
// PduRoot64, 32-bit view), so that a rollback puts it back byte for byte; the
// commit forgets it.
//
// On removal, the file and the value go only when what is left is exactly the
// file the package makes (EmptyRootFile) at the package's own place for that
// view: the package made them, and no other vendor has added itself since.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "installer/pdu_root_rules.h"

namespace varrow {

// One registry view's entry and where the file goes when the view names none.
struct PduRootTarget {
  bool native64 = false;     // the native view of 64-bit Windows; else the 32-bit one
  std::wstring defaultFile;  // full path
  pduroot::OurEntry entry;
};

// What an edit did.
enum class PduRootStep { kAdded, kUpdated, kUnchanged, kRemoved, kFileRemoved, kRestored, kNothing, kRefused, kFailed };
struct PduRootReport {
  PduRootStep step = PduRootStep::kFailed;
  std::wstring file;       // the root file concerned
  std::wstring why;        // for kRefused and kFailed
  DWORD code = ERROR_SUCCESS;
};

// `machine` is HKEY_LOCAL_MACHINE (a scratch key in tests: the view flags
// then change nothing). Each returns what it did; only kFailed is a failure
// of the machine (a refused file is left alone and said).
PduRootReport AddPduRootEntry(HKEY machine, const PduRootTarget& target);
PduRootReport RemovePduRootEntry(HKEY machine, const PduRootTarget& target);
// Rollback: puts back what the first edit of this setup found in the view
// (nothing when there is no record). Commit: forgets the records of both views.
PduRootReport RestorePduRoot(HKEY machine, bool native64);
void ForgetPduRootRecords(HKEY machine);

// The targets of a custom action's data: per view five fields separated by
// "|": "32" or "64", the default file, the library, the module description
// file and the cable description file (full paths). False when malformed.
bool ParsePduRootTargets(const std::wstring& data, std::vector<PduRootTarget>* targets);

// Text for the log: "added", "refused", ...
const wchar_t* PduRootStepName(PduRootStep step);

}  // namespace varrow
