#include "hosted/module_release.h"

#include <cstdint>

#if defined(__GLIBCXX__)
namespace __gnu_cxx {
void __freeres() noexcept;
}  // namespace __gnu_cxx
#endif

namespace monitor {

void FreeLibraryAfterLoaderLock(HMODULE module) noexcept {
  if (module == nullptr) return;
  // FreeLibrary has the shape of a thread's start routine (one pointer-sized
  // argument, the callee pops it); its result becomes the thread's exit code.
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC release = kernel != nullptr ? GetProcAddress(kernel, "FreeLibrary") : nullptr;
  if (release == nullptr) return;
  // The program's default stack: the original's whole detach and runtime
  // teardown run on it, and those of every library it lets go in turn.
  HANDLE thread = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(release)),
                               module, 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
}

void ReleaseThreadRuntimeData(HMODULE self) noexcept {
  if (self == nullptr) return;
  const auto* base = reinterpret_cast<const unsigned char*>(self);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return;
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
  if (entry.VirtualAddress == 0 || entry.Size < sizeof(IMAGE_TLS_DIRECTORY)) return;
  const auto* tls = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + entry.VirtualAddress);
  auto* callback = reinterpret_cast<PIMAGE_TLS_CALLBACK*>(static_cast<std::uintptr_t>(tls->AddressOfCallBacks));
  for (int n = 0; callback != nullptr && *callback != nullptr && n < 16; ++callback, ++n) {
    (*callback)(self, DLL_THREAD_DETACH, nullptr);
  }
}

void GiveBackRuntimeBuffers() noexcept {
#if defined(__GLIBCXX__)
  __gnu_cxx::__freeres();
#endif
}

}  // namespace monitor
