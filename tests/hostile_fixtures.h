// Hostile input for the loads, Apply and the maintenance modes: registry values
// of every wrong shape, and a count of the cases each test tried (recorded as
// the test's "cases" property and printed as a summary line).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "monitoring/maintenance.h"
#include "tests/monitoring_fixtures.h"

namespace varrow::test {

// One registry value as stored: type and raw bytes.
struct RawValue {
  const char* label;
  DWORD type;
  std::vector<BYTE> bytes;
};

inline std::vector<BYTE> Utf16Bytes(const std::wstring& text, bool terminated) {
  const std::size_t chars = text.size() + (terminated ? 1 : 0);
  const BYTE* data = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(data, data + chars * sizeof(wchar_t));
}

// Values that must never be taken as a text field: empty of any type, too long
// (terminated or not, 260 characters and more), binary and DWORD shapes that
// are texts of the wrong kind are listed separately by the tests that care.
inline std::vector<RawValue> OversizedTexts() {
  return {
      {"260 chars terminated", REG_SZ, Utf16Bytes(std::wstring(260, L'a'), true)},
      {"260 chars unterminated", REG_SZ, Utf16Bytes(std::wstring(260, L'b'), false)},
      {"300 chars", REG_SZ, Utf16Bytes(std::wstring(300, L'c'), true)},
      {"32 KiB expand", REG_EXPAND_SZ, Utf16Bytes(std::wstring(16384, L'd'), true)},
      {"multi of 400", REG_MULTI_SZ, Utf16Bytes(std::wstring(400, L'e') + L'\0', true)},
  };
}

// 32-bit values of every wrong size and type; only the 4-byte ones are numbers.
inline std::vector<RawValue> DwordShapes() {
  return {
      {"0 bytes", REG_DWORD, {}},
      {"3 bytes", REG_DWORD, {1, 0, 0}},
      {"8 bytes", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
      {"8 bytes typed DWORD", REG_DWORD, {1, 0, 0, 0, 9, 9, 9, 9}},
      {"string \"1\"", REG_SZ, Utf16Bytes(L"1", true)},
      {"binary 4 bytes", REG_BINARY, {1, 0, 0, 0}},
      {"big-endian 1", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}},
      {"4 bytes 1", REG_DWORD, {1, 0, 0, 0}},
      {"4 bytes 0xFFFFFFFF", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
}

// The number a DWORD shape reads as, or `fallback` when it is not 4 bytes.
inline DWORD DwordOf(const RawValue& value, DWORD fallback) {
  if (value.bytes.size() != 4) return fallback;
  return static_cast<DWORD>(value.bytes[0]) | static_cast<DWORD>(value.bytes[1]) << 8 |
         static_cast<DWORD>(value.bytes[2]) << 16 | static_cast<DWORD>(value.bytes[3]) << 24;
}

inline void SetValue(HKEY root, const std::wstring& path, const wchar_t* name,
                     const RawValue& value) {
  SetRaw(root, path, name, value.type, value.bytes.empty() ? nullptr : value.bytes.data(),
         static_cast<DWORD>(value.bytes.size()));
}

inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

// Counts the cases a test tried and reports them when the test ends.
class CaseCounter {
 public:
  ~CaseCounter() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) return;
    ::testing::Test::RecordProperty("cases", count_);
    std::printf("[ hostile  ] %s.%s: %d cases tried\n", info->test_suite_name(), info->name(),
                count_);
  }
  void Add(int n = 1) { count_ += n; }
  int Count() const { return count_; }

 private:
  int count_ = 0;
};

}  // namespace varrow::test
