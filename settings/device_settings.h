// The device connection settings: the default device and the two connection
// orders kept under the user's product key, their versioned load with the
// factory fallback, their save, and the small conversions the dialog needs.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "settings/registry.h"
#include "settings/versioned_section.h"

namespace varrow {

// Section and entry names.
inline const wchar_t kDefaultDeviceSection[] = L"DefaultDevice";
inline const wchar_t kAutoConnectionSection[] = L"AutoConnectionOrder";
inline const wchar_t kAutoConnectionPrefix[] = L"Connection";
inline const wchar_t kInterfaceTypeSection[] = L"InterfaceTypeOrder";
inline const wchar_t kInterfaceTypePrefix[] = L"InterfaceType";

// Entries an ordered section holds at most.
constexpr DWORD kOrderEntries = 10;

// The default device section: one serial number, 0 when none is set.
class DefaultDeviceRecord {
 public:
  DWORD serialNumber = 0;
  VersionedKeyState state;  // kept per-user key and the section's Version

  // Versioned load of the section (factory copy taken when newer). Returns the
  // per-user key the record keeps open, or nullptr when it could not be opened.
  HKEY Load(const RegistryRoots& roots);
  // Writes SerialNumber and Version into `key` (REG_DWORD). Silent on failure.
  void Save(HKEY key) const;
  // Reads SerialNumber from `source`; 0 when it is missing.
  void ReadContent(HKEY source);

  DWORD Version() const { return state.version; }
  HKEY Key() const { return state.userKey.Get(); }
};

// One ordered section: up to ten (Number, Enabled) entries whose positions come
// from the entry subkey names ("Connection00" .. "Connection09").
class OrderList {
 public:
  // `section` is the section key below the product key, `prefix` the entry
  // subkey prefix (kAutoConnectionSection/kAutoConnectionPrefix or
  // kInterfaceTypeSection/kInterfaceTypePrefix).
  OrderList(const std::wstring& section, const std::wstring& prefix);

  DWORD number[kOrderEntries] = {};
  DWORD enabled[kOrderEntries] = {};
  DWORD count = 0;  // number of entry subkeys read, at most 10
  VersionedKeyState state;  // kept per-user key and the section's Version

  // Versioned load of the section. Returns the per-user key kept open, or
  // nullptr when it could not be opened or created.
  HKEY Load(const RegistryRoots& roots);
  // Writes entry subkeys for positions 0 .. count-1 and then Version into `key`.
  // Subkeys at or above count are left alone. Silent on failure.
  void Save(HKEY key) const;
  // Clears the entries and reads them from the entry subkeys of `source`.
  void ReadContent(HKEY source);

  // The value at position i when i < count, else 0.
  DWORD Number(DWORD i) const;
  DWORD Enabled(DWORD i) const;
  // Stores v at position i and returns v when i < count; else stores nothing
  // and returns 0.
  DWORD SetNumber(DWORD i, DWORD v);
  DWORD SetEnabled(DWORD i, DWORD v);
  DWORD Count() const { return count; }

  DWORD Version() const { return state.version; }
  HKEY Key() const { return state.userKey.Get(); }
  const std::wstring& Section() const { return section_; }
  const std::wstring& Prefix() const { return prefix_; }

 private:
  std::wstring section_;
  std::wstring prefix_;
};

// The three records the dialog owns.
struct DeviceSettings {
  DefaultDeviceRecord defaultDevice;
  OrderList autoConnection{kAutoConnectionSection, kAutoConnectionPrefix};
  OrderList interfaceType{kInterfaceTypeSection, kInterfaceTypePrefix};
};

// The position encoded in an entry subkey name: the name must begin with
// `prefix` (letter case ignored, as the registry does); after it leading white
// space and one sign are allowed and decimal digits are read up to the first
// other character; no digits give 0. Returns false for a name that does not
// begin with the prefix or whose position lies outside 0..9.
bool EntryPosition(const std::wstring& name, const std::wstring& prefix, DWORD* position);

// Serial-number text of the dialog's field.
enum class SerialParse { Ok, OutOfRange };
// Leading white space skipped, one "+" allowed, decimal digits read up to the
// first other character, no digits give 0 (so the placeholder and an empty
// field give 0, "12ab" gives 12). A value above 4294967295 or a negative
// number ("-" followed by digits) is OutOfRange and leaves *value untouched.
SerialParse ParseSerialNumber(const std::wstring& text, DWORD* value);
// Unsigned decimal when serial is not 0, else the placeholder.
std::wstring FormatSerialNumber(DWORD serial, const std::wstring& placeholder);
// String id of the caption of a connection kind: 1->132, 2->134, 3->133,
// 4->135, 5->136, anything else->140 ("Unknown").
UINT ConnectionCaptionId(DWORD number);
// True when at least one row's check state is non-zero; false for no rows.
bool AnyRowChecked(const std::vector<int>& checkStates);

// The registry side of the device-settings save: opens or creates each of the
// three per-user section keys (KEY_ALL_ACCESS) for this save alone, saves the
// record into it and closes it. A key that cannot be opened is skipped silently.
// The records' kept keys are not used for writing.
void WriteDeviceSettings(const RegistryRoots& roots, const DeviceSettings& settings);

}  // namespace varrow
