// The registry layer: owning key handles, bounded value reads and writes, and the
// product key paths. Every call returns the Win32 code (0 on success); a failed
// read leaves its output untouched.
#pragma once

#include <windows.h>

#include <cstddef>
#include <initializer_list>
#include <string>

namespace varrow {

// Characters of a path or name field, terminator included.
constexpr std::size_t kFieldChars = 260;

// Access rights used throughout the vendor tree.
constexpr REGSAM kEntryWriteAccess = KEY_WRITE | KEY_NOTIFY;  // 0x20016

// The three hives the program works in. The program passes the predefined keys;
// tests pass scratch keys so that nothing real is touched.
struct RegistryRoots {
  HKEY machine = HKEY_LOCAL_MACHINE;  // opened for reading only
  HKEY user = HKEY_CURRENT_USER;
  HKEY users = HKEY_USERS;
  // The machine hive's native 64-bit view, opened for reading only with
  // KEY_WOW64_64KEY (MachineViewAccess); null where the process sees the only
  // view there is (32-bit Windows, a 64-bit process). `machine` is the view of
  // this process: WOW6432Node for Varrow on 64-bit Windows.
  HKEY machine64 = nullptr;
  // The predefined keys; machine64 is HKEY_LOCAL_MACHINE for a 32-bit process
  // on 64-bit Windows (IsRunningUnderWow64).
  static RegistryRoots Real();
};

// True when this is a 32-bit process on 64-bit Windows.
bool IsRunningUnderWow64();

// The access flag that selects the view of a machine root: KEY_WOW64_64KEY for
// the native root, nothing for the process's own. Added to every open below
// such a root, since a view is chosen per call, not inherited by subkeys.
inline REGSAM MachineViewAccess(bool native) { return native ? KEY_WOW64_64KEY : 0; }

// Owns one open registry key; moves but never copies; closes exactly once.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY key) : key_(key) {}
  ~RegKey() { Close(); }
  RegKey(RegKey&& other) noexcept : key_(other.Release()) {}
  RegKey& operator=(RegKey&& other) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  HKEY Get() const { return key_; }
  bool Valid() const { return key_ != nullptr; }
  explicit operator bool() const { return Valid(); }
  HKEY Release();
  void Close();

  // Opens an existing key. On failure the object is left empty.
  [[nodiscard]] LONG Open(HKEY parent, const std::wstring& path, REGSAM access);
  // Opens or creates a key (and missing parents). `created` reports a new key.
  [[nodiscard]] LONG Create(HKEY parent, const std::wstring& path, REGSAM access,
                            DWORD options = REG_OPTION_NON_VOLATILE, bool* created = nullptr);

 private:
  HKEY key_ = nullptr;
};

// Reads a 32-bit value. The value must hold exactly 4 bytes (its type is not
// checked); anything else fails and leaves *out unchanged.
[[nodiscard]] LONG ReadDword(HKEY key, const wchar_t* name, DWORD* out);
// Reads a string value into a field of `fieldChars` characters, terminator
// included. The stored value need not be terminated. A text that does not fit
// (fieldChars - 1 characters at most) fails with ERROR_MORE_DATA, *out unchanged.
[[nodiscard]] LONG ReadString(HKEY key, const wchar_t* name, std::wstring* out,
                              std::size_t fieldChars = kFieldChars);
[[nodiscard]] LONG WriteDword(HKEY key, const wchar_t* name, DWORD value);
// Writes REG_SZ with its terminating null.
[[nodiscard]] LONG WriteString(HKEY key, const wchar_t* name, const std::wstring& value);
// Name of the subkey at `index`; names longer than maxChars - 1 fail.
[[nodiscard]] LONG EnumSubkey(HKEY key, DWORD index, std::wstring* name,
                              std::size_t maxChars = 256);
// Name of the value at `index`.
[[nodiscard]] LONG EnumValueName(HKEY key, DWORD index, std::wstring* name,
                                 std::size_t maxChars = 16384);
// Deletes a subkey with everything below it.
[[nodiscard]] LONG DeleteTree(HKEY parent, const std::wstring& name);
// Deletes a subkey that has no subkeys.
[[nodiscard]] LONG DeleteKey(HKEY parent, const std::wstring& name);

// Joins components with backslashes.
std::wstring JoinPath(std::initializer_list<std::wstring> parts);
// "SOFTWARE\OVRA\OVRA_VCI" followed by the given components.
std::wstring ProductPath(std::initializer_list<std::wstring> parts = {});
// "SOFTWARE\OVRA\OVRA_VCI\DefaultSettings" followed by the given components.
std::wstring FactoryPath(std::initializer_list<std::wstring> parts = {});

inline const wchar_t kSoftware[] = L"SOFTWARE";
inline const wchar_t kVendor[] = L"OVRA";
inline const wchar_t kProduct[] = L"OVRA_VCI";
inline const wchar_t kDefaultSettings[] = L"DefaultSettings";

}  // namespace varrow
