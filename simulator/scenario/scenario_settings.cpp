// Reads and loads the recorded scenario (see scenario_settings.h).
#include "simulator/scenario/scenario_settings.h"

#include <windows.h>

#include <vector>

#include "simulator/fault_settings.h"

namespace simulator {
namespace {

constexpr DWORD kMaxPathChars = 32767;

std::wstring ReadText(HKEY key, const wchar_t* name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > kMaxPathChars * sizeof(wchar_t))
    return {};
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  DWORD got = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got) != ERROR_SUCCESS)
    return {};
  text[std::min<std::size_t>(got / sizeof(wchar_t), text.size() - 1)] = L'\0';
  return std::wstring(text.data());
}

// The whole file, at most kMaxScenarioFileBytes; false with the reason.
bool ReadWholeFile(const std::wstring& path, std::string* text, std::string* why) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = "the file cannot be read (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (ok && static_cast<unsigned long long>(size.QuadPart) > kMaxScenarioFileBytes) {
    *why = "the file is larger than " + std::to_string(kMaxScenarioFileBytes >> 20) + " MB";
    CloseHandle(file);
    return false;
  }
  if (ok) {
    try {
      text->resize(static_cast<std::size_t>(size.QuadPart));
    } catch (...) {
      ok = false;
    }
  }
  std::size_t done = 0;
  while (ok && done < text->size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(text->size() - done, 1u << 24));
    ok = ReadFile(file, &(*text)[done], want, &got, nullptr) != 0 && got != 0;
    done += got;
  }
  CloseHandle(file);
  if (!ok) *why = "the file cannot be read";
  return ok;
}

}  // namespace

ScenarioSettings ReadScenarioSettings() {
  ScenarioSettings settings;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSimulatorKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return settings;
  settings.path = ReadText(key, L"Scenario");
  std::uint32_t value = 0;
  if (ReadSimulatorDword(key, L"ScenarioOnly", &value)) settings.only = value == 1;
  if (ReadSimulatorDword(key, L"ScenarioSpeed", &value)) settings.speedPercent = std::min<std::uint32_t>(value, 100000);
  RegCloseKey(key);
  return settings;
}

std::shared_ptr<Scenario> LoadScenario(const ScenarioSettings& settings, ScenarioApi api, std::string* note) {
  note->clear();
  if (settings.path.empty()) return nullptr;
  std::string text, why;
  std::shared_ptr<Scenario> scenario;
  if (ReadWholeFile(settings.path, &text, &why)) {
    try {
      scenario = std::make_shared<Scenario>();
      if (!scenario->Parse(text, api, &why)) scenario.reset();
    } catch (...) {
      scenario.reset();
      why = "out of memory";
    }
  }
  *note = scenario ? "scenario: " + scenario->Summary() : "scenario not used: " + why;
  OutputDebugStringA(("OVRA simulated VCI: " + *note + "\n").c_str());
  return scenario;
}

}  // namespace simulator
