// The mark an upgrade leaves for the removal of the package it replaces.
// Windows Installer tells that removal it is part of an upgrade
// (UPGRADINGPRODUCTCODE); installers that start it as a plain removal do not,
// and without the mark it would delete every user's settings and switch
// monitoring off for good. The mark holds the time the upgrade started and
// counts for kUpgradeMarkLifetime only, so that one left by an upgrade that
// did not finish never turns a later removal into an upgrade's.
#pragma once

#include <windows.h>

#include <cstdint>

namespace varrow {

// Where the mark lies, under the machine root.
inline constexpr wchar_t kUpgradeMarkKey[] = L"SOFTWARE\\OVRA\\Installer";
inline constexpr wchar_t kUpgradeMarkValue[] = L"UpgradeStarted";
// How long a mark counts: far longer than an upgrade's removal step takes.
inline constexpr std::uint64_t kUpgradeMarkLifetime = 10ULL * 60 * 10000000;  // 10 min in 100 ns

// The time now, in 100 ns since 1601 (the FILETIME scale).
std::uint64_t TimeNow();

// Writes the mark with the time `now` (REG_QWORD). Returns the Win32 code.
[[nodiscard]] LONG WriteUpgradeMark(HKEY machine, std::uint64_t now);
// True when a mark of the right type exists that is at most
// kUpgradeMarkLifetime older than `now` (and not more than a minute ahead of it).
bool UpgradeMarkCounts(HKEY machine, std::uint64_t now);
// Deletes the mark, and its key when nothing else is in it. Silent.
void ClearUpgradeMark(HKEY machine);

}  // namespace varrow
