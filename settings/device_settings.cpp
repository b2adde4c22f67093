#include "settings/device_settings.h"

#include "settings/number_text.h"

#include <cstdint>
#include <cwchar>

namespace varrow {

namespace {

constexpr wchar_t kSerialNumberValue[] = L"SerialNumber";
constexpr wchar_t kVersionValue[] = L"Version";
constexpr wchar_t kNumberValue[] = L"Number";
constexpr wchar_t kEnabledValue[] = L"Enabled";

}  // namespace

// ---- Default device ---------------------------------------------------------

void DefaultDeviceRecord::ReadContent(HKEY source) {
  serialNumber = 0;
  (void)ReadDword(source, kSerialNumberValue, &serialNumber);  // missing: stays 0
}

HKEY DefaultDeviceRecord::Load(const RegistryRoots& roots) {
  return LoadVersionedSection(
      roots, kDefaultDeviceSection, state, [this](HKEY source) { ReadContent(source); },
      [this](HKEY target) { Save(target); });
}

void DefaultDeviceRecord::Save(HKEY key) const {
  if (key == nullptr) return;
  (void)WriteDword(key, kSerialNumberValue, serialNumber);  // silent on failure
  (void)WriteDword(key, kVersionValue, state.version);
}

// ---- Ordered sections -------------------------------------------------------

OrderList::OrderList(const std::wstring& section, const std::wstring& prefix)
    : section_(section), prefix_(prefix) {}

bool EntryPosition(const std::wstring& name, const std::wstring& prefix, DWORD* position) {
  if (name.size() < prefix.size()) return false;
  if (CompareStringOrdinal(name.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                           static_cast<int>(prefix.size()), TRUE) != CSTR_EQUAL) {
    return false;
  }
  std::uint32_t found = 0;
  if (!EntryPositionText(name.c_str() + prefix.size(), name.size() - prefix.size(), kOrderEntries,
                         &found)) {
    return false;
  }
  *position = found;
  return true;
}

void OrderList::ReadContent(HKEY source) {
  for (DWORD i = 0; i < kOrderEntries; ++i) {
    number[i] = 0;
    enabled[i] = 0;
  }
  count = 0;
  for (DWORD index = 0;; ++index) {
    std::wstring name;
    if (EnumSubkey(source, index, &name, kFieldChars) != ERROR_SUCCESS) break;
    if (count < kOrderEntries) ++count;
    RegKey entry;
    if (entry.Open(source, name, KEY_READ) != ERROR_SUCCESS) continue;
    DWORD position = 0;
    if (!EntryPosition(name, prefix_, &position)) continue;  // counted, not stored
    (void)ReadDword(entry.Get(), kNumberValue, &number[position]);  // missing: stays 0
    (void)ReadDword(entry.Get(), kEnabledValue, &enabled[position]);
  }
}

HKEY OrderList::Load(const RegistryRoots& roots) {
  return LoadVersionedSection(
      roots, section_, state, [this](HKEY source) { ReadContent(source); },
      [this](HKEY target) { Save(target); });
}

void OrderList::Save(HKEY key) const {
  if (key == nullptr) return;
  const DWORD entries = count < kOrderEntries ? count : kOrderEntries;
  for (DWORD i = 0; i < entries; ++i) {
    wchar_t name[kFieldChars] = {};
    if (swprintf(name, kFieldChars, L"%ls%02lu", prefix_.c_str(),
                 static_cast<unsigned long>(i)) < 0) {
      continue;  // a prefix too long for a name field: no such entry is written
    }
    RegKey entry;
    if (entry.Create(key, name, kEntryWriteAccess) != ERROR_SUCCESS) continue;  // skipped
    (void)WriteDword(entry.Get(), kNumberValue, number[i]);
    (void)WriteDword(entry.Get(), kEnabledValue, enabled[i]);
  }
  (void)WriteDword(key, kVersionValue, state.version);
}

DWORD OrderList::Number(DWORD i) const { return i < count && i < kOrderEntries ? number[i] : 0; }

DWORD OrderList::Enabled(DWORD i) const {
  return i < count && i < kOrderEntries ? enabled[i] : 0;
}

DWORD OrderList::SetNumber(DWORD i, DWORD v) {
  if (i >= count || i >= kOrderEntries) return 0;
  number[i] = v;
  return v;
}

DWORD OrderList::SetEnabled(DWORD i, DWORD v) {
  if (i >= count || i >= kOrderEntries) return 0;
  enabled[i] = v;
  return v;
}

// ---- Dialog helpers ---------------------------------------------------------

SerialParse ParseSerialNumber(const std::wstring& text, DWORD* value) {
  std::uint32_t parsed = 0;
  if (!ParseSerialText(text, &parsed)) return SerialParse::OutOfRange;
  *value = parsed;
  return SerialParse::Ok;
}

std::wstring FormatSerialNumber(DWORD serial, const std::wstring& placeholder) {
  if (serial == 0) return placeholder;
  return std::to_wstring(static_cast<unsigned long>(serial));
}

UINT ConnectionCaptionId(DWORD number) {
  switch (number) {
    case 1: return 132;  // "Device On USB"
    case 2: return 134;  // "Default Device"
    case 3: return 133;  // "Device Explorer"
    case 4: return 135;  // "Preferred Devices"
    case 5: return 136;  // "PName Argument"
    default: return 140;  // "Unknown"
  }
}

bool AnyRowChecked(const std::vector<int>& checkStates) {
  for (int state : checkStates) {
    if (state != 0) return true;
  }
  return false;
}

void WriteDeviceSettings(const RegistryRoots& roots, const DeviceSettings& settings) {
  RegKey key;
  if (key.Create(roots.user, ProductPath({kDefaultDeviceSection}), KEY_ALL_ACCESS) ==
      ERROR_SUCCESS) {
    settings.defaultDevice.Save(key.Get());
  }
  key.Close();
  if (key.Create(roots.user, ProductPath({settings.autoConnection.Section()}), KEY_ALL_ACCESS) ==
      ERROR_SUCCESS) {
    settings.autoConnection.Save(key.Get());
  }
  key.Close();
  if (key.Create(roots.user, ProductPath({settings.interfaceType.Section()}), KEY_ALL_ACCESS) ==
      ERROR_SUCCESS) {
    settings.interfaceType.Save(key.Get());
  }
  key.Close();
}

}  // namespace varrow
