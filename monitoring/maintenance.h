// The command-line maintenance modes.
#pragma once

namespace varrow {
void DisableAllMonitoring();
void UninstallUserSettings();
}  // namespace varrow
