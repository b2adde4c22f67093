#include "monitoring/pe_rules.h"

namespace varrow {

PeCheck PeSignatureOffset(const unsigned char* bytes, std::size_t size, std::uint32_t* offset) {
  if (bytes == nullptr || size < kDosHeaderBytes) return PeCheck::kTooShort;
  if (bytes[0] != 'M' || bytes[1] != 'Z') return PeCheck::kNotExecutable;
  const std::uint32_t at = static_cast<std::uint32_t>(bytes[kPeOffsetField]) |
                           static_cast<std::uint32_t>(bytes[kPeOffsetField + 1]) << 8 |
                           static_cast<std::uint32_t>(bytes[kPeOffsetField + 2]) << 16 |
                           static_cast<std::uint32_t>(bytes[kPeOffsetField + 3]) << 24;
  if (at < kDosHeaderBytes || at > kMaxPeOffset) return PeCheck::kBadOffset;
  *offset = at;
  return PeCheck::kOk;
}

PeCheck PeMachineAt(const unsigned char* bytes, std::size_t size, std::uint16_t* machine) {
  if (bytes == nullptr || size < kPeSignatureBytes) return PeCheck::kTooShort;
  if (bytes[0] != 'P' || bytes[1] != 'E' || bytes[2] != 0 || bytes[3] != 0) {
    return PeCheck::kNotExecutable;
  }
  *machine = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
  return PeCheck::kOk;
}

}  // namespace varrow
