// What the monitor creates for its logs and how it opens them, on a PC shared
// by several accounts: the access list of a folder or log file it creates,
// the walk that creates missing log folders without passing through a link,
// the checks that refuse a log reached through a link or known by another
// name, and the process-wide record of refused logs that the next log written
// carries as a note. Runs on the writer thread (or the exit flush).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace monitor {

// The access list, in string form, of what the monitor creates. Administrators
// and SYSTEM: full control. Authenticated users, and the creating account as
// owner (OWNER RIGHTS, so that owning a file gives no more): on a log file read,
// write and append; on a folder list, traverse and create files, and read,
// write and append to the files in it. Nobody else may delete, rename,
// re-permission or take over anything; the list is protected from the parent's.
const wchar_t* LogSecurityText(bool folder);

// The security attributes built from LogSecurityText. Attributes() is null
// when the descriptor could not be built (the creation then fails closed: see
// CreateLogFolders and the writer).
class LogSecurity {
 public:
  explicit LogSecurity(bool folder);
  ~LogSecurity();
  LogSecurity(const LogSecurity&) = delete;
  LogSecurity& operator=(const LogSecurity&) = delete;
  SECURITY_ATTRIBUTES* Attributes() { return descriptor_ != nullptr ? &attributes_ : nullptr; }
  PSECURITY_DESCRIPTOR Descriptor() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Why a log was refused.
enum class LinkProblem {
  None,
  FolderIsLink,   // a folder on the way is a reparse point (junction, symbolic link, mount point)
  FileIsLink,     // the log file itself is a reparse point
  Elsewhere,      // the file opened is not at the path asked for (a link on the way)
  SeveralNames,   // the file has more than one name (a hard link)
  NoFolder,       // a folder on the way is a file, or could not be created
};
// A short English text for the log and the debugger output.
const char* LinkProblemText(LinkProblem problem);

// Creates the missing folders of `folder` (a full path) with the folder
// descriptor, from the root down, refusing to create anything below a folder
// that is a reparse point. LinkProblem::None when the whole chain is there.
LinkProblem CreateLogFolders(const std::wstring& folder);

// Checks the log file opened as `file` for the full path `asked`: not a
// reparse point, one name only, and its final path the one asked for.
LinkProblem CheckOpenedLog(HANDLE file, const std::wstring& asked);

// The record of refused logs, kept for the process (across both monitor
// libraries and their reloads). Refused adds `lost` entries to the count of
// `path`; TakeRefusalNotes returns, once each, the counts added since the last
// take, as note texts. Both never throw and never block.
void NoteRefusedLog(const std::wstring& path, LinkProblem problem, std::uint64_t lost) noexcept;
std::vector<std::string> TakeRefusalNotes();

// UTF-8 of a path, for notes and the debugger output; empty when it is empty
// or cannot be converted.
std::string PathUtf8(const std::wstring& path);

}  // namespace monitor
