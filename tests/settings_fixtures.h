// Fixtures shared by the device-settings, versioned-load, LastUsed and brand
// tests: scratch roots, seeding of sections and entries, and a guard that the
// machine hive is left exactly as seeded.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "settings/registry.h"
#include "tests/test_support.h"

namespace varrow::test {

class SettingsTest : public ::testing::Test {
 protected:
  // Call once the machine hive is seeded: from then on it must not change.
  void FreezeMachine() {
    machineBefore_ = Snapshot(reg_.Machine());
    frozen_ = true;
  }
  void TearDown() override {
    if (!frozen_) FreezeMachine();  // nothing seeded: it must stay empty
    EXPECT_EQ(Snapshot(reg_.Machine()), machineBefore_) << "the machine hive was changed";
  }

  const RegistryRoots& Roots() const { return reg_.Roots(); }
  HKEY Machine() const { return reg_.Machine(); }
  HKEY User() const { return reg_.User(); }

  // An entry subkey with Number and Enabled below `sectionPath`.
  static void SeedEntry(HKEY root, const std::wstring& sectionPath, const std::wstring& entry,
                        DWORD number, DWORD enabled) {
    SetDword(root, sectionPath + L"\\" + entry, L"Number", number);
    SetDword(root, sectionPath + L"\\" + entry, L"Enabled", enabled);
  }

  // A REG_DWORD of exactly 4 bytes, or `missing` when absent or of another shape.
  static DWORD GetDword(HKEY root, const std::wstring& path, const wchar_t* name,
                        DWORD missing = 0xdeadbeef) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return missing;
    DWORD type = 0, value = 0, size = sizeof(value);
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != 4) return missing;
    return value;
  }

  // Direct subkeys of `path`, sorted.
  static std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& path) {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD chars = 256;
      if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      names.emplace_back(name, chars);
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchRegistry reg_;

 private:
  std::wstring machineBefore_;
  bool frozen_ = false;
};

}  // namespace varrow::test
