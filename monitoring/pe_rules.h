// The machine type of a Windows library from the first bytes of its file, free
// of any Windows header (tests/native can fuzz it). Every read is bounded by the
// bytes given: a hostile or cut file gives a failure, never a read past them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varrow {

// The machine types told apart (IMAGE_FILE_MACHINE_* of the PE format).
inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;

// Bytes of the DOS header: its "MZ" and, at 0x3C, the file offset of the
// "PE\0\0" signature that the machine field follows.
inline constexpr std::size_t kDosHeaderBytes = 64;
inline constexpr std::size_t kPeOffsetField = 0x3C;
// Bytes of the signature and the machine field.
inline constexpr std::size_t kPeSignatureBytes = 6;
// The farthest signature offset accepted: the loader's own limit is far
// below it, and a larger value is a damaged or hostile file.
inline constexpr std::uint32_t kMaxPeOffset = 0x10000000;

enum class PeCheck {
  kOk,            // *machine holds the machine type
  kTooShort,      // fewer bytes than the header needs
  kNotExecutable, // no "MZ", or no "PE\0\0" where the DOS header points
  kBadOffset,     // the signature offset lies inside the DOS header or past kMaxPeOffset
};

// The signature offset named by a DOS header of `size` bytes.
PeCheck PeSignatureOffset(const unsigned char* bytes, std::size_t size, std::uint32_t* offset);
// The machine type from the `size` bytes that start at the signature offset.
PeCheck PeMachineAt(const unsigned char* bytes, std::size_t size, std::uint16_t* machine);

}  // namespace varrow
