// The resolver of the pool entries and the note of their calls. The resolver
// runs on an application thread inside an entry whose registers are saved:
// it keeps the thread's last error as the caller left it.
#include "monitor/forward_pool.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "log/log_formats.h"
#include "log/log_writer.h"
#include "log/text_rules.h"
#include "monitoring/forward_block.h"

extern "C" {
extern IMAGE_DOS_HEADER __ImageBase;
extern std::uintptr_t varrow_forward_targets[forward::kPoolSize];
extern std::uintptr_t varrow_forward_calls[forward::kPoolSize];
extern void* const varrow_forward_entries[forward::kPoolSize];
const volatile unsigned char* VarrowForwardBlock();
void* VarrowResolveForward(std::uintptr_t index);
void VarrowForwardMissing();
}

namespace monitor {

constexpr DWORD kEntryPointNotFound = 0xC0000139;  // the loader's code for a missing entry

namespace {

// This module's base. The compiler sees __ImageBase as one DOS header; the
// barrier keeps it from judging the reads beyond it.
const unsigned char* Image() {
  const unsigned char* base = reinterpret_cast<const unsigned char*>(&__ImageBase);
  asm("" : "+r"(base));
  return base;
}

// This module's export directory (as mapped), or null.
const IMAGE_EXPORT_DIRECTORY* OwnExports(DWORD* imageSize) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Image());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(Image() + dos->e_lfanew);
  *imageSize = nt->OptionalHeader.SizeOfImage;
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0 || dir.VirtualAddress > *imageSize - sizeof(IMAGE_EXPORT_DIRECTORY))
    return nullptr;
  return reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(Image() + dir.VirtualAddress);
}

// True when `count` items of `size` bytes at `rva` lie within the image.
bool Within(DWORD rva, DWORD count, DWORD size, DWORD imageSize) {
  return rva <= imageSize && static_cast<std::uint64_t>(count) * size <= imageSize - rva;
}

bool Written() {
  const volatile unsigned char* block = VarrowForwardBlock();
  return block[16] == 1 && block[17] == 0 && block[18] == 0 && block[19] == 0;
}

std::mutex g_noteLock;
std::vector<std::uintptr_t> g_noted;  // the counts of the last note

}  // namespace

bool ForwardEntryIdentity(std::uint32_t index, std::string* name, std::uint32_t* ordinal) {
  name->clear();
  *ordinal = 0;
  if (index >= forward::kPoolSize || !Written()) return false;
  DWORD imageSize = 0;
  const IMAGE_EXPORT_DIRECTORY* exports = OwnExports(&imageSize);
  if (exports == nullptr || !Within(exports->AddressOfFunctions, exports->NumberOfFunctions, 4, imageSize) ||
      !Within(exports->AddressOfNames, exports->NumberOfNames, 4, imageSize) ||
      !Within(exports->AddressOfNameOrdinals, exports->NumberOfNames, 2, imageSize)) {
    return false;
  }
  const auto entry = static_cast<DWORD>(reinterpret_cast<const unsigned char*>(varrow_forward_entries[index]) - Image());
  const auto* functions = reinterpret_cast<const DWORD*>(Image() + exports->AddressOfFunctions);
  DWORD slot = 0;
  while (slot < exports->NumberOfFunctions && functions[slot] != entry) ++slot;
  if (slot == exports->NumberOfFunctions) return false;
  *ordinal = exports->Base + slot;
  const auto* names = reinterpret_cast<const DWORD*>(Image() + exports->AddressOfNames);
  const auto* ordinals = reinterpret_cast<const WORD*>(Image() + exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    if (ordinals[i] != slot || names[i] >= imageSize) continue;
    const char* text = reinterpret_cast<const char*>(Image() + names[i]);
    name->assign(text, strnlen(text, imageSize - names[i]));
    return true;
  }
  return true;
}

std::string ForwardedCallsText() {
  std::string text, name;
  std::uint32_t ordinal = 0;
  for (std::uint32_t i = 0; i < forward::kPoolSize; ++i) {
    if (!ForwardEntryIdentity(i, &name, &ordinal)) continue;
    const std::uintptr_t calls = __atomic_load_n(&varrow_forward_calls[i], __ATOMIC_RELAXED);
    if (!text.empty()) text += '\n';
    if (name.empty()) text.append("#").append(std::to_string(ordinal));
    else text.append(name);
    text.append(": ").append(std::to_string(calls)).append(calls == 1 ? " call" : " calls");
  }
  return text;
}

std::string LeftOutExportsText() {
  if (!Written()) return {};
  const volatile unsigned char* block = VarrowForwardBlock();
  const auto u32 = [&](int at) {
    return static_cast<std::uint32_t>(block[at]) | (static_cast<std::uint32_t>(block[at + 1]) << 8) |
           (static_cast<std::uint32_t>(block[at + 2]) << 16) | (static_cast<std::uint32_t>(block[at + 3]) << 24);
  };
  const std::uint32_t offset = u32(20), bytes = u32(24);
  if (offset > forward::kBlockBytes || bytes > forward::kBlockBytes - offset) return {};
  std::string text(bytes, '\0');
  for (std::uint32_t i = 0; i < bytes; ++i) text[i] = static_cast<char>(block[offset + i]);
  return text;
}

void NoteForwardedCalls(LogWriter* writer) noexcept {
  if (writer == nullptr) return;
  try {
    const std::string calls = ForwardedCallsText();
    if (calls.empty()) return;
    {
      const std::lock_guard<std::mutex> hold(g_noteLock);
      std::vector<std::uintptr_t> now(varrow_forward_calls, varrow_forward_calls + forward::kPoolSize);
      if (now == g_noted) return;
      g_noted = std::move(now);
    }
    LogEntry note;
    FILETIME utc{}, local{};
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    note.time = WallTimeFromFileTime((static_cast<std::uint64_t>(local.dwHighDateTime) << 32) |
                                     local.dwLowDateTime);
    note.processId = GetCurrentProcessId();
    note.threadId = GetCurrentThreadId();
    note.function = kNoteFunction;
    note.phase = Phase::Note;
    note.fields.push_back({kForwardedNoteName, calls});
    const std::string leftOut = LeftOutExportsText();
    if (!leftOut.empty()) note.fields.push_back({kLeftOutNoteName, leftOut});
    (void)writer->Submit(std::make_unique<ReadyEntry>(std::move(note)));
  } catch (...) {
  }
}

}  // namespace monitor

// Called by an entry at its first call (monitor/forward_thunks.cpp), with the
// application's registers saved: the original's function of the entry's name
// or ordinal, or VarrowForwardMissing.
extern "C" __attribute__((force_align_arg_pointer)) void* VarrowResolveForward(std::uintptr_t index) {
  const DWORD lastError = GetLastError();
  void* target = reinterpret_cast<void*>(&VarrowForwardMissing);
  try {
    std::string name;
    std::uint32_t ordinal = 0;
    const HMODULE original = monitor::ForwardOriginal();
    if (index < forward::kPoolSize && monitor::ForwardEntryIdentity(static_cast<std::uint32_t>(index), &name, &ordinal) &&
        original != nullptr) {
      FARPROC found = name.empty() ? GetProcAddress(original, MAKEINTRESOURCEA(ordinal))
                                   : GetProcAddress(original, name.c_str());
      // An original that hands back one of this module's own entries would loop.
      HMODULE owner = nullptr;
      if (found != nullptr &&
          GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(found), &owner) &&
          owner == reinterpret_cast<HMODULE>(&__ImageBase)) {
        found = nullptr;
      }
      if (found != nullptr) {
        target = reinterpret_cast<void*>(found);
        __atomic_store_n(&varrow_forward_targets[index], reinterpret_cast<std::uintptr_t>(target), __ATOMIC_RELEASE);
      }
    }
    if (target == reinterpret_cast<void*>(&VarrowForwardMissing)) {
      const std::string what = name.empty() ? "ordinal " + std::to_string(ordinal) : name;
      OutputDebugStringA(("[monitor] the original library has no function " + what +
                          " (or could not be loaded): the call cannot be forwarded\n").c_str());
    }
  } catch (...) {
  }
  SetLastError(lastError);
  return target;
}

// Jumped to, with the caller's stack, when the original has no function for
// the entry: nothing can return safely to a caller whose convention is
// unknown, so this fails the way the loader fails a missing entry point.
extern "C" void VarrowForwardMissing() {
  RaiseException(monitor::kEntryPointNotFound, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}
