#include "monitoring/monitor_choice.h"

#include "monitoring/pe_rules.h"
#include "settings/owned_handle.h"

namespace varrow {

namespace {

// Reads exactly `size` bytes at `offset`; false on any shortfall.
bool ReadAt(HANDLE file, std::uint32_t offset, unsigned char* bytes, DWORD size) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
  DWORD got = 0;
  return ReadFile(file, bytes, size, &got, nullptr) && got == size;
}

}  // namespace

bool ReadLibraryMachine(const std::wstring& path, std::uint16_t* machine, DWORD* openError) {
  if (openError != nullptr) *openError = 0;
  if (!PlainFilePath(path)) {
    if (openError != nullptr) *openError = ERROR_INVALID_NAME;
    return false;
  }
  // Shared every way: the library may be loaded, or being replaced meanwhile.
  const KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    if (openError != nullptr) *openError = GetLastError();
    return false;
  }
  unsigned char dos[kDosHeaderBytes] = {};
  std::uint32_t offset = 0;
  if (!ReadAt(file.Get(), 0, dos, sizeof dos) ||
      PeSignatureOffset(dos, sizeof dos, &offset) != PeCheck::kOk) {
    return false;
  }
  unsigned char signature[kPeSignatureBytes] = {};
  return ReadAt(file.Get(), offset, signature, sizeof signature) &&
         PeMachineAt(signature, sizeof signature, machine) == PeCheck::kOk;
}

MonitorChoice ChooseMonitor(const ApiImplementation& record, const std::wstring& libraryFile) {
  MonitorChoice choice;
  if (!ReadLibraryMachine(libraryFile, &choice.machine, &choice.openError)) return choice;
  RegistryView machineView = RegistryView::k32;
  const std::wstring* monitor = nullptr;
  if (choice.machine == kMachineI386) {
    monitor = &record.MonitorLibrary();
  } else if (choice.machine == kMachineAmd64) {
    monitor = &record.MonitorLibrary64();
    machineView = RegistryView::k64;
  } else {
    choice.refusal = MonitorRefusal::kOtherMachine;
    return choice;
  }
  // The applications of the other view could not load the library at all, and
  // the monitor would look for its settings under the other view's key.
  if (machineView != record.View()) {
    choice.refusal = MonitorRefusal::kWrongView;
    return choice;
  }
  // A monitor that is named but missing fails the copy with the system's text.
  if (monitor->empty()) {
    choice.refusal = MonitorRefusal::kNoMonitor;
    return choice;
  }
  choice.monitor = *monitor;
  choice.refusal = MonitorRefusal::kNone;
  return choice;
}

}  // namespace varrow
