// The package's files that a running program still holds when the removal
// has deleted the rest (a diagnostic application keeps the J2534 library
// loaded): they go at the next restart, as Windows Installer does with files
// in use, so that nothing of the package stays behind for good.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace varrow {

// At most this many files in one list.
constexpr std::size_t kMaxHeldFiles = 64;

// The full paths of a list separated by ";" (the custom action's data);
// empty pieces, paths that are not full ("C:\..." or "\\server\...") or do
// not fit MAX_PATH, and pieces beyond kMaxHeldFiles are dropped.
std::vector<std::wstring> SplitFileList(std::wstring_view list);

// Deletes each file of `files` that still exists; one that cannot be deleted
// now is renamed in its folder ("<name>.<process>-<n>.removed", where renaming
// works), scheduled for deletion at the next restart and named in *scheduled;
// one that cannot be scheduled either is named in *failed.
void DeleteNowOrAtRestart(const std::vector<std::wstring>& files,
                          std::vector<std::wstring>* scheduled, std::vector<std::wstring>* failed);

}  // namespace varrow
