// The file steps that switch monitoring on and off for one library, shared by
// Apply and the disable and uninstall modes. After every step and every failure
// each library stands at its path or at its set-aside path, never at neither,
// and no step overwrites a file. Each returns the Win32 code of the step that
// failed (ERROR_SUCCESS when all went through).
#pragma once

#include <windows.h>

#include <string>

namespace varrow {

// Switching on, first step: moves the library to its set-aside path (never
// replacing a file there). On failure nothing has changed.
[[nodiscard]] DWORD SetLibraryAside(const std::wstring& library, const std::wstring& aside);

// Switching on, second step: copies the monitor library to the library path,
// failing when a file has appeared there since the library was set aside
// (ERROR_FILE_EXISTS: another copy of the program or the disable mode put the
// library back, and nothing is touched), and writes the copy's forwarding
// names for the set-aside library (PrepareForwardingCopy). On any other
// failure the library is put back at its path; a library the copy cannot
// serve whole gives ERROR_BAD_EXE_FORMAT with the reason in *problem (when given).
[[nodiscard]] DWORD InstallMonitorCopy(const std::wstring& monitor, const std::wstring& library,
                                       const std::wstring& aside, std::wstring* problem = nullptr);

// Switching off: puts the set-aside library back at its path, also while an
// application has the monitor copy there loaded. The copy is renamed to a
// unique leftover name in the same folder, the library moved back, and the
// leftover deleted; a leftover that cannot be deleted yet (it is loaded) is
// scheduled for deletion at restart where that is allowed, and otherwise waits
// for DeleteLeftoversIn. With nothing at the library path the library is just
// moved back. On failure the state before stands (monitoring stays on).
[[nodiscard]] DWORD PutLibraryBack(const std::wstring& library, const std::wstring& aside);
// The same; *pathWasEmpty tells whether nothing stood at the library path.
[[nodiscard]] DWORD PutLibraryBack(const std::wstring& library, const std::wstring& aside,
                                   bool* pathWasEmpty);

// What the repair of a switched-on library whose path is empty did (the
// monitor copy was quarantined by a virus scanner, or a put-back failed half
// way, so that no application can load the library).
struct LibraryRepair {
  enum class Outcome {
    kMonitorCopied,  // the monitor library copied to the path again
    kLibraryPutBack, // the set-aside library moved back: monitoring is off
    kFailed,         // neither: the path is still empty
    kFilledMeanwhile,  // another copy of the program filled the path: nothing to report
  };
  std::wstring library;
  Outcome outcome = Outcome::kFailed;
  DWORD code = ERROR_SUCCESS;  // the failed step's code (kFailed, or the copy's for kLibraryPutBack)
  std::wstring problem;        // why the copy could not serve the library, when that was the failure
};

// True when `aside` holds the set-aside library and nothing stands at `library`.
bool LibraryPathEmpty(const std::wstring& library, const std::wstring& aside);

// Switching on again where the library path is empty: copies the monitor
// library there (InstallMonitorCopy); when the copy fails, the library is put
// back, so that applications can load it again without monitoring.
LibraryRepair RepairByMonitorCopy(const std::wstring& monitor, const std::wstring& library,
                                  const std::wstring& aside);

// Deletes the leftover monitor copies in `folder` (names of the leftover form
// only); one that is still loaded stays for a later run, and so does one made
// by another program that still runs (it may be in the middle of a put-back).
// Waits for this process's put-backs in flight. Silent.
void DeleteLeftoversIn(const std::wstring& folder);

}  // namespace varrow
