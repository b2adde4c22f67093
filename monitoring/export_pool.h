// Prepares a monitor copy for the library it stands in for: the copy's export
// table is rewritten (monitoring/export_rules.h) so that the monitor's pool of
// forwarding entries carries the names of the original's functions that the
// monitor does not export itself. Only the copy is written; the monitor
// library in the package stays as built.
#pragma once

#include <string>

namespace varrow {

// Rewrites the export table of the monitor copy at `copyPath` for the library
// set aside at `originalPath`. False, with `problem` saying why for the user
// (the library's path and the reason), when the library has more extra
// functions than the pool holds, either file cannot be read or is not a
// library, or the copy cannot be written; the copy is then unchanged or
// partly written, and the caller removes it. Data exports of the original are
// left out (the monitor's log names them).
bool PrepareForwardingCopy(const wchar_t* copyPath, const wchar_t* originalPath,
                           std::wstring& problem);

}  // namespace varrow
