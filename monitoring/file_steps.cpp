#include "monitoring/file_steps.h"

#include <atomic>
#include <cstdint>

#include "monitoring/api_implementation.h"
#include "monitoring/export_pool.h"
#include "monitoring/leftover_rules.h"
#include "settings/owned_handle.h"

namespace varrow {

namespace {

// A file held open by another program for a moment (a virus scanner reading a
// freshly copied library) refuses the step with a sharing or lock violation:
// those are tried again, a bounded number of times. Access denied is not: it
// is what a loaded library answers to a deletion, and it does not pass.
constexpr int kTries = 8;
constexpr DWORD kPauseMs = 25;

template <typename Step>
DWORD Retried(Step step) {
  for (int attempt = 1;; ++attempt) {
    if (step()) return ERROR_SUCCESS;
    const DWORD code = GetLastError();
    if ((code != ERROR_SHARING_VIOLATION && code != ERROR_LOCK_VIOLATION) || attempt == kTries) {
      return code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
    }
    Sleep(kPauseMs);
  }
}

// Put-backs in flight hold this shared; the clean-up holds it exclusively. A
// put-back that finds the library itself at the library path (another thread
// put it back first) renames it for a moment to a leftover name, and the
// clean-up must never delete it then.
SRWLOCK g_putBackLock = SRWLOCK_INIT;

class PutBackInFlight {
 public:
  PutBackInFlight() { AcquireSRWLockShared(&g_putBackLock); }
  ~PutBackInFlight() { ReleaseSRWLockShared(&g_putBackLock); }
  PutBackInFlight(const PutBackInFlight&) = delete;
  PutBackInFlight& operator=(const PutBackInFlight&) = delete;
};

// True when the process `id` still runs (or may: one we may not open counts).
bool ProcessRuns(DWORD id) {
  const KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  return WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

// Moves a file without ever replacing one at `to`.
DWORD MoveNoReplace(const std::wstring& from, const std::wstring& to) {
  return Retried([&] { return MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE; });
}

// A number that no other rename of this process or of another one shares.
std::uint64_t NextUnique() {
  static std::atomic<std::uint32_t> counter{0};
  const std::uint64_t process = GetCurrentProcessId();
  const std::uint32_t low = static_cast<std::uint32_t>(GetTickCount64()) * 0x10000u + counter++;
  return (process << 32) | low;
}

// Renames the file at `library` to a fresh leftover name; *leftover receives it.
// ERROR_FILENAME_EXCED_RANGE when no leftover name fits beside the library.
DWORD MoveOutOfTheWay(const std::wstring& library, std::wstring* leftover) {
  DWORD code = ERROR_FILENAME_EXCED_RANGE;
  for (int name = 0; name < 4; ++name) {  // a taken name (never expected) gets another
    *leftover = LeftoverPath(library, NextUnique());
    if (leftover->empty()) return ERROR_FILENAME_EXCED_RANGE;
    code = MoveNoReplace(library, *leftover);
    if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) return code;
  }
  return code;
}

// Deletes a leftover, read-only or not; one still loaded is scheduled for
// deletion at restart (allowed to administrators only; a refusal is fine: the
// next clean-up deletes it).
void DeleteLeftover(const std::wstring& leftover) {
  const auto deleted = [&] {
    return Retried([&] { return DeleteFileW(leftover.c_str()) != FALSE; }) == ERROR_SUCCESS;
  };
  if (deleted()) return;
  // Refused: read-only (cleared, then once more), or still loaded.
  const DWORD attributes = GetFileAttributesW(leftover.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      SetFileAttributesW(leftover.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) && deleted()) {
    return;
  }
  (void)MoveFileExW(leftover.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace

DWORD SetLibraryAside(const std::wstring& library, const std::wstring& aside) {
  return MoveNoReplace(library, aside);
}

DWORD InstallMonitorCopy(const std::wstring& monitor, const std::wstring& library,
                         const std::wstring& aside, std::wstring* problem) {
  const DWORD code = Retried(
      [&] { return CopyFileW(monitor.c_str(), library.c_str(), TRUE /*fail if it exists*/) != FALSE; });
  if (code == ERROR_SUCCESS) {
    // The copy serves every function of the library, or monitoring stays off.
    std::wstring why;
    if (PrepareForwardingCopy(library.c_str(), aside.c_str(), why)) return code;
    if (problem != nullptr) *problem = why;
    const DWORD back = PutLibraryBack(library, aside);
    return back != ERROR_SUCCESS ? back : ERROR_BAD_EXE_FORMAT;
  }
  // A file that appeared at the library path is not ours to move: it may be the
  // library itself, put back meanwhile. Whatever is set aside stays set aside.
  if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return code;
  // The copy failed: the library goes back (past any partial copy left behind).
  (void)PutLibraryBack(library, aside);
  return code;
}

DWORD PutLibraryBack(const std::wstring& library, const std::wstring& aside) {
  bool pathWasEmpty = false;
  return PutLibraryBack(library, aside, &pathWasEmpty);
}

DWORD PutLibraryBack(const std::wstring& library, const std::wstring& aside, bool* pathWasEmpty) {
  *pathWasEmpty = false;
  const PutBackInFlight inFlight;
  std::wstring leftover;
  DWORD code = MoveOutOfTheWay(library, &leftover);
  const bool inPlace = code == ERROR_FILENAME_EXCED_RANGE;
  if (inPlace) {
    // No leftover name fits beside the library: delete the copy in place (this
    // fails while it is loaded, changing nothing), then move the library back.
    code = Retried([&] { return DeleteFileW(library.c_str()) != FALSE; });
  }
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
    // Nothing in the way (a switch-on that failed half way, a quarantined
    // copy): just move it back.
    *pathWasEmpty = true;
    return MoveNoReplace(aside, library);
  }
  if (code != ERROR_SUCCESS) return code;  // the copy stays: monitoring stays on
  if (inPlace) return MoveNoReplace(aside, library);

  code = MoveNoReplace(aside, library);
  if (code != ERROR_SUCCESS) {
    // Monitoring stays on: the copy returns to the library path.
    if (MoveNoReplace(leftover, library) == ERROR_SUCCESS) return code;
    // Another copy of the program put the library back meanwhile: the copy
    // is not needed any more.
    if (FileExistsAt(library) && !FileExistsAt(aside)) {
      DeleteLeftover(leftover);
      return ERROR_SUCCESS;
    }
    // Otherwise the library still stands at its set-aside path, and the copy
    // is a leftover for the next clean-up.
    return code;
  }
  DeleteLeftover(leftover);
  return ERROR_SUCCESS;
}

bool LibraryPathEmpty(const std::wstring& library, const std::wstring& aside) {
  return !library.empty() && !aside.empty() && FileExistsAt(aside) && !FileExistsAt(library);
}

LibraryRepair RepairByMonitorCopy(const std::wstring& monitor, const std::wstring& library,
                                  const std::wstring& aside) {
  LibraryRepair repair;
  repair.library = library;
  repair.code = InstallMonitorCopy(monitor, library, aside, &repair.problem);
  if (repair.code == ERROR_SUCCESS) {
    repair.outcome = LibraryRepair::Outcome::kMonitorCopied;
  } else if (FileExistsAt(library) && !FileExistsAt(aside)) {
    repair.outcome = LibraryRepair::Outcome::kLibraryPutBack;
  } else if (FileExistsAt(library)) {
    repair.outcome = LibraryRepair::Outcome::kFilledMeanwhile;
  } else {
    repair.outcome = LibraryRepair::Outcome::kFailed;
  }
  return repair;
}

void DeleteLeftoversIn(const std::wstring& folder) {
  const std::wstring pattern = folder + L"\\" + kLeftoverPattern;
  if (!FitsField(pattern)) return;
  AcquireSRWLockExclusive(&g_putBackLock);
  struct Release {
    ~Release() { ReleaseSRWLockExclusive(&g_putBackLock); }
  } release;
  const DWORD self = GetCurrentProcessId();
  WIN32_FIND_DATAW found;
  FindHandle search(FindFirstFileW(pattern.c_str(), &found));
  if (!search) return;
  do {
    // The search matches short names too: only a long name of the leftover
    // form is deleted.
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    if (!IsLeftoverName(found.cFileName)) continue;
    // Another program that still runs may be in the middle of its own
    // put-back, with the library itself under this name for a moment.
    std::uint32_t owner = 0;
    if (LeftoverOwner(found.cFileName, &owner) && owner != self && ProcessRuns(owner)) continue;
    const std::wstring path = folder + L"\\" + found.cFileName;
    if (!FitsField(path)) continue;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      (void)SetFileAttributesW(path.c_str(), found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    (void)DeleteFileW(path.c_str());
  } while (FindNextFileW(search.Get(), &found));
}

}  // namespace varrow
