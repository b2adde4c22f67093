// Time to window: Varrow.exe itself, started as a user starts it, measured
// from process creation to its dialog visible and answering a message, on
// three installations written into the bench prefix's own registry in turn.
#pragma once

#include <string>
#include <vector>

#include "bench/bench_install.h"

namespace varrow::bench {

// The figures of one installation, in milliseconds, one per round.
struct WindowTimes {
  std::vector<double> toWindow;  // process start to the dialog visible and answering
  std::vector<double> toPages;   // process start to More>> answered (the pages filled)
};

struct TimeToWindow {
  WindowTimes bare, realistic, worst;
  int failures = 0;
  bool refused = false;  // the prefix has the program's keys of its own: not touched
};

// Runs `rounds` rounds, each starting the program once on every installation
// (in an order that turns from round to round), every measured start after an
// unmeasured one on the same installation. `exe` is the program; `pathTail`
// the PATH that the bare and realistic installations get (the worst case puts
// its 200 folders in front). Leaves no registration behind.
TimeToWindow MeasureTimeToWindow(int rounds, const std::wstring& exe, const CrowdedFiles& files,
                                 const std::wstring& pathTail);

}  // namespace varrow::bench
