#include "bench/bench_disable.h"

#include "bench/bench_process.h"
#include "bench/bench_report.h"

namespace varrow::bench {

void Disable(int rounds, const std::wstring& work) {
  DisableMachine machine(work);
  if (!machine.Clean()) {
    Note("disable: this prefix has registrations of its own; not touched");
    AddRow({"`Varrow.exe disable`, 41 libraries set aside / nothing to restore + bare steps", "n/a",
            "n/a", "n/a", "<= 1.30", "not measured"});
    return;
  }
  const std::wstring command = L"\"" + ExeFolder() + L"\\Varrow.exe\" disable";
  std::vector<double> program, empty, bare, emptyUnwritten;
  int incomplete = 0;
  double ms = 0;
  machine.Register();
  machine.SetAside();
  RunProcess(command, nullptr, &ms);  // unmeasured first run
  for (int round = 0; round < rounds; ++round) {
    machine.Register();
    machine.SetAside();
    if (RunProcess(command, nullptr, &ms)) program.push_back(ms);
    if (machine.Restored() != machine.Count()) ++incomplete;

    // The run with nothing registered starts, as the measured one does, right
    // after the 82 files (5 MiB) were written: the disk's write-back of them
    // weighs on both process starts alike. The set-aside files are nothing to
    // it; the bare steps then restore them.
    machine.Unregister();
    if (RunProcess(command, nullptr, &ms)) emptyUnwritten.push_back(ms);
    machine.SetAside();
    if (RunProcess(command, nullptr, &ms)) empty.push_back(ms);
    bare.push_back(machine.BareSteps());
  }
  if (incomplete > 0) Note("disable: %d rounds left libraries set aside", incomplete);
  const double floor = empty.empty() ? 0 : Median(empty) + Median(bare);
  AddRatioRow("`Varrow.exe disable`, 41 libraries set aside / nothing to restore + bare steps",
              incomplete == 0 ? Median(program) : 0, floor, 1.3);
  Note("disable: nothing to restore %.1f ms (%.1f ms with no files written just before), bare "
       "steps %.1f ms",
       Median(empty), Median(emptyUnwritten), Median(bare));
  // The leftover clean-up lists each folder once: what one listing costs in the
  // system folder (hundreds of files) and in a folder of 20 libraries.
  std::vector<double> systemListing, smallListing;
  for (int round = 0; round < rounds; ++round) {
    double start = Now();
    DeleteLeftoversIn(machine.SystemDir());
    systemListing.push_back(Now() - start);
    start = Now();
    DeleteLeftoversIn(machine.J2534Folder());
    smallListing.push_back(Now() - start);
  }
  Note("disable: one leftover listing of the system folder %.2f ms, of the J2534 folder %.2f ms",
       Median(systemListing), Median(smallListing));
}

}  // namespace varrow::bench
