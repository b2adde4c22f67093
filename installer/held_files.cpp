#include "installer/held_files.h"

#include <string>

namespace varrow {

namespace {

bool IsFullPath(std::wstring_view path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
    const wchar_t drive = path[0];
    return (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
  }
  return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
}

}  // namespace

std::vector<std::wstring> SplitFileList(std::wstring_view list) {
  std::vector<std::wstring> files;
  while (!list.empty() && files.size() < kMaxHeldFiles) {
    const std::size_t end = list.find(L';');
    const std::wstring_view piece = list.substr(0, end);
    list = end == std::wstring_view::npos ? std::wstring_view() : list.substr(end + 1);
    if (IsFullPath(piece) && piece.size() < MAX_PATH) files.emplace_back(piece);
  }
  return files;
}

void DeleteNowOrAtRestart(const std::vector<std::wstring>& files,
                          std::vector<std::wstring>* scheduled, std::vector<std::wstring>* failed) {
  for (const std::wstring& file : files) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (DeleteFileW(file.c_str())) continue;
    // Renamed first (a loaded library may be), so that a reinstall before the
    // restart puts its file at the path and the restart does not delete it.
    std::wstring doomed = file + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(scheduled->size() + failed->size()) + L".removed";
    if (doomed.size() >= MAX_PATH || !MoveFileExW(file.c_str(), doomed.c_str(), 0)) doomed = file;
    if (MoveFileExW(doomed.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      scheduled->push_back(doomed);
    } else {
      failed->push_back(doomed);
    }
  }
}

}  // namespace varrow
