// Which monitor library stands in for an implementation library: the one of the
// library's own machine type, read from its PE header. A 32-bit monitor never
// replaces a 64-bit library or the other way round; anything that cannot be
// matched is refused, with the reason, and monitoring stays off for it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "monitoring/api_implementation.h"

namespace varrow {

enum class MonitorRefusal {
  kNone,           // a monitor was chosen
  kUnreadable,     // the library's header cannot be read, or it is no Windows library
  kOtherMachine,   // neither a 32-bit (i386) nor a 64-bit (AMD64) library
  kNoMonitor,      // no monitor library of the library's machine type is named
  kWrongView,      // a 32-bit library registered for 64-bit applications, or the reverse
};

// The machine type in the PE header of the file at `path` (a file-system path,
// FileSystemPath); false when the file cannot be opened or read or is no PE
// file, with *openError (when given) the Win32 code of a failed open (0 when
// the file opened). At most the DOS header and the six bytes at its signature
// offset are read.
bool ReadLibraryMachine(const std::wstring& path, std::uint16_t* machine,
                        DWORD* openError = nullptr);

struct MonitorChoice {
  std::wstring monitor;  // the monitor library to copy; empty when refused
  MonitorRefusal refusal = MonitorRefusal::kUnreadable;
  std::uint16_t machine = 0;  // the library's machine type, when it was read
  DWORD openError = 0;        // kUnreadable: the Win32 code when the file did not open
};

// The monitor for `record` whose library file is at `libraryFile` (a
// file-system path): MonitorLibrary for i386, MonitorLibrary64 for AMD64, when
// the machine type fits the record's registry view and that monitor is named
// (a named monitor that is missing fails the copy later, with the system's text).
MonitorChoice ChooseMonitor(const ApiImplementation& record, const std::wstring& libraryFile);

}  // namespace varrow
