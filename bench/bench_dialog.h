// The child side of the dialog benchmarks: the program's own main dialog,
// subclassed so that it signals the end of its initialisation and then runs
// one scripted workload before it ends itself. The program has no such switch.
#pragma once

#include <string>

namespace varrow::bench {

// What the child does after the dialog's initialisation.
enum class ChildMode {
  Startup,  // record memory once the pages are filled, and end
  Leaks,    // 10,000 reloads and 1,000 tab changes, handle and GDI counts before/after
  Apply,    // monitoring on and off for every J2534 tab through Apply, against bare file steps
  Trips,    // one Apply on and off and the bare steps once each, between named markers
};

// Creates and closes a named event "VarrowTrips:<what>": a marker in a trace of
// the Wine server's requests (bench/round_trips.sh counts the requests between
// a "begin:" and an "end:" marker).
void TraceMarker(const std::wstring& what);

// argv of the child: mode, roots path below HKCU, event name, result file, work
// folder, and for Apply the rounds (on and off, each against the bare steps).
// Returns the process exit code.
int RunDialogChild(ChildMode mode, const std::wstring& rootsPath, const std::wstring& eventName,
                   const std::wstring& resultFile, const std::wstring& workFolder,
                   int applyRounds);

}  // namespace varrow::bench
