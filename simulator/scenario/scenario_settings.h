// The recorded scenario the simulated VCIs replay, from the user's registry:
// HKCU\SOFTWARE\OVRA\OVRA_VCI\Simulator
//   Scenario       REG_SZ     path of a monitor log (XML or CSV); none: no scenario
//   ScenarioOnly   REG_DWORD  1: requests the recording does not answer get no
//                             answer; 0 (default): they go to the built-in vehicle
//   ScenarioSpeed  REG_DWORD  recorded answer times in percent (default 100; 0: at once)
// Read when a device is opened (PassThruOpen, PDUModuleConnect).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "simulator/scenario/scenario.h"

namespace simulator {

// The vendor Ioctl (J2534) that reports how many requests the scenario
// answered so far (ULong output; 0xFFFFFFFF: no scenario in use).
constexpr unsigned long kIoctlScenarioAnswered = 0x00010100;
// The D-PDU IoCtl short name of the same (PDU_IT_IO_UNUM32 output).
constexpr char kPduIoCtlScenarioAnswered[] = "PDU_IOCTL_OVRA_SCENARIO_ANSWERED";
constexpr std::uint32_t kNoScenario = 0xFFFFFFFF;
constexpr wchar_t kSimulatorKeyPath[] = L"SOFTWARE\\OVRA\\OVRA_VCI\\Simulator";

struct ScenarioSettings {
  std::wstring path;
  bool only = false;
  std::uint32_t speedPercent = 100;
};
ScenarioSettings ReadScenarioSettings();

// The scenario of `settings` for `api`, or null: no Scenario value, or one
// that cannot be used. `note` says what was loaded or why the scenario is
// not used (empty when none is set); it also goes to the debugger output.
std::shared_ptr<Scenario> LoadScenario(const ScenarioSettings& settings, ScenarioApi api,
                                       std::string* note);

}  // namespace simulator
