// The machine type of a library, from its PE header, read with bounded reads:
// the DOS header's first 64 bytes, then the 6 bytes at its e_lfanew ("PE\0\0"
// and the machine field), never anything else, whatever the file holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vcicheck {

inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kMachineArm64 = 0xAA64;
// A header further into the file than this is refused as not a PE file.
inline constexpr std::uint32_t kMaxHeaderOffset = 1024 * 1024;

// The e_lfanew of a DOS header (64 bytes starting "MZ"); false when `dos` is
// not one or names an offset past kMaxHeaderOffset.
bool HeaderOffset(const unsigned char* dos, std::size_t size, std::uint32_t* offset);
// The machine field of the 6 bytes at e_lfanew; false without "PE\0\0".
bool MachineField(const unsigned char* header, std::size_t size, std::uint16_t* machine);
// "i386", "AMD64", "ARM64" or "machine 0x...".
std::wstring MachineName(std::uint16_t machine);

enum class PeRead { kOk, kNotPe, kUnreadable };
// Reads the machine type of the file at `path` (a full path, opened for
// reading with sharing, no redirection changed here).
PeRead ReadMachine(const std::wstring& path, std::uint16_t* machine);

}  // namespace vcicheck
