#include "tools/pe_machine.h"

#include <windows.h>

#include <cwchar>

namespace vcicheck {

bool HeaderOffset(const unsigned char* dos, std::size_t size, std::uint32_t* offset) {
  if (size < 64 || dos[0] != 'M' || dos[1] != 'Z') return false;
  const std::uint32_t at = dos[0x3C] | (dos[0x3D] << 8) | (dos[0x3E] << 16) | (std::uint32_t{dos[0x3F]} << 24);
  if (at < 64 || at > kMaxHeaderOffset) return false;
  *offset = at;
  return true;
}

bool MachineField(const unsigned char* header, std::size_t size, std::uint16_t* machine) {
  if (size < 6 || header[0] != 'P' || header[1] != 'E' || header[2] != 0 || header[3] != 0) return false;
  *machine = static_cast<std::uint16_t>(header[4] | (header[5] << 8));
  return true;
}

std::wstring MachineName(std::uint16_t machine) {
  switch (machine) {
    case kMachineI386: return L"i386";
    case kMachineAmd64: return L"AMD64";
    case kMachineArm64: return L"ARM64";
  }
  wchar_t text[32];
  std::swprintf(text, 32, L"machine 0x%04X", machine);
  return text;
}

PeRead ReadMachine(const std::wstring& path, std::uint16_t* machine) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return PeRead::kUnreadable;
  PeRead result = PeRead::kNotPe;
  unsigned char dos[64] = {}, header[6] = {};
  DWORD read = 0;
  std::uint32_t offset = 0;
  if (!ReadFile(file, dos, sizeof dos, &read, nullptr)) {
    result = PeRead::kUnreadable;
  } else if (HeaderOffset(dos, read, &offset)) {
    if (SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        ReadFile(file, header, sizeof header, &read, nullptr) && MachineField(header, read, machine))
      result = PeRead::kOk;
  }
  CloseHandle(file);
  return result;
}

}  // namespace vcicheck
