// The installations the benchmarks run on: a crowded one (20 J2534 devices
// whose libraries lie only in the last of 200 PATH folders, full message-size
// lists, a settings subkey per library, a 1 MiB monitor library), a realistic
// crowded one (the same with full paths in 20 makers' folders) and a bare one
// (brand and device settings only), in given registry roots and a scratch folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "settings/registry.h"

namespace varrow::bench {

constexpr int kDevices = 20;
constexpr int kPathFolders = 200;
constexpr DWORD kMonitorBytes = 1024 * 1024;

// Milliseconds of the performance counter.
double Now();
// The median of a set of figures (0 for none).
double Median(std::vector<double> values);

// Writes `bytes` bytes of a repeated pattern; false when the file cannot be written.
bool WriteFileOfSize(const std::wstring& path, DWORD bytes, char fill);
bool MakeFolders(const std::wstring& path);
// Deletes a folder with everything in it.
void RemoveFolder(const std::wstring& path);

// The bare file steps of a switch-on and of a switch-off, as the program takes
// them without anything around them: on, the library moved aside and the
// monitor library copied in its place (neither replacing a file); off, the
// monitor copy renamed out of the way, the library moved back and the copy
// deleted.
void BareSwitchOn(const std::wstring& monitor, const std::wstring& library);
void BareSwitchOff(const std::wstring& library);

// The files of the crowded installation below `folder`.
struct CrowdedFiles {
  std::wstring folder;
  std::wstring monitorLibrary;             // 1 MiB
  std::vector<std::wstring> pathFolders;   // 200, the libraries in the last one
  std::vector<std::wstring> libraryNames;  // bare names as registered
  std::vector<std::wstring> libraries;     // full paths in the last PATH folder
  // The realistic installation's libraries: full paths, one maker's folder each.
  std::vector<std::wstring> makerLibraries;
  std::wstring pduLibrary;
  // The PATH value: the 200 folders followed by `tail`.
  std::wstring PathVariable(const std::wstring& tail) const;
};
// The names of the crowded installation's files below `folder` (nothing is written).
CrowdedFiles DescribeCrowdedFiles(const std::wstring& folder);
// Writes the files and folders that `files` names.
bool MakeCrowdedFiles(const CrowdedFiles& files);

// Brand, DLLLocation, LogFileLocation and factory device settings (both installations).
void SeedBareMachine(HKEY machine, const std::wstring& dllLocation, const std::wstring& logFolder);
// The registrations, monitoring defaults with full message-size lists, and a
// per-user settings subkey for every library: the worst case (bare names found
// only in the last PATH folder) ...
void SeedCrowdedMonitoring(HKEY machine, HKEY user, const CrowdedFiles& files);
// ... and the realistic one (the same with full paths in the makers' folders).
void SeedRealisticMonitoring(HKEY machine, HKEY user, const CrowdedFiles& files);

// Scratch roots below HKCU that a child process can open by path.
class BenchRoots {
 public:
  explicit BenchRoots(const std::wstring& name);
  ~BenchRoots();
  BenchRoots(const BenchRoots&) = delete;
  BenchRoots& operator=(const BenchRoots&) = delete;
  const RegistryRoots& Roots() const { return roots_; }
  const std::wstring& Path() const { return path_; }
  // Opens the three roots below HKCU\`path` (for the child process).
  static bool Open(const std::wstring& path, RegKey keys[3], RegistryRoots* roots);

 private:
  std::wstring path_;
  RegKey keys_[3];
  RegistryRoots roots_;
};

}  // namespace varrow::bench
