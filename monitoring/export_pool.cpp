#include "monitoring/export_pool.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "monitoring/export_rules.h"
#include "monitoring/library_swap.h"
#include "settings/owned_handle.h"

namespace varrow {

namespace {

// Bounds of the files read whole: a library of the original's kind is a few
// MiB; a monitor library under one.
constexpr std::uint64_t kMaxOriginalBytes = 128ull << 20;
constexpr std::uint64_t kMaxMonitorBytes = 16ull << 20;

std::wstring Widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());  // the rules' texts are ASCII
}

// Reads the whole file at `path` (at most `limit` bytes) through `file`.
bool ReadWhole(HANDLE file, std::uint64_t limit, std::vector<std::uint8_t>* bytes, DWORD* error) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    *error = GetLastError();
    return false;
  }
  if (size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > limit) {
    *error = ERROR_FILE_TOO_LARGE;
    return false;
  }
  bytes->resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < bytes->size()) {
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(bytes->size() - done, 1u << 20));
    DWORD got = 0;
    if (!ReadFile(file, bytes->data() + done, ask, &got, nullptr) || got == 0) {
      *error = got == 0 ? ERROR_HANDLE_EOF : GetLastError();
      return false;
    }
    done += got;
  }
  return true;
}

// The system's text for `code`, without its closing full stop and line break.
std::wstring SystemText(DWORD code) {
  std::wstring text = SystemErrorText(code);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.'))
    text.pop_back();
  return text.empty() ? L"error " + std::to_wstring(code) : text;
}

// PrepareForwardingCopy's work; throws std::bad_alloc when memory runs out.
bool Prepare(const wchar_t* copyPath, const wchar_t* originalPath, std::wstring& problem) {
  problem.clear();
  // The user knows the library by its own path, where the copy stands.
  const std::wstring library = copyPath != nullptr ? copyPath : L"";
  const auto refuse = [&](const std::wstring& why) {
    problem = library + L"\nMonitoring was not switched on for this library: " + why + L".";
    return false;
  };
  if (copyPath == nullptr || originalPath == nullptr) return refuse(L"no library was named");

  DWORD error = ERROR_SUCCESS;
  const KernelHandle copy(CreateFileW(copyPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::vector<std::uint8_t> bytes;
  if (!copy || !ReadWhole(copy.Get(), kMaxMonitorBytes, &bytes, &error)) {
    return refuse(L"the monitor copy could not be read (" + SystemText(copy ? error : GetLastError()) + L")");
  }
  // A monitor library of an older package carries no pool: the copy stays as
  // it was copied, as before forwarding existed.
  if (!IsForwardingMonitor(bytes.data(), bytes.size())) return true;

  std::vector<std::uint8_t> original;
  {
    const KernelHandle file(CreateFileW(originalPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !ReadWhole(file.Get(), kMaxOriginalBytes, &original, &error)) {
      return refuse(L"it could not be read (" + SystemText(file ? error : GetLastError()) + L")");
    }
  }
  ExportTable exports;
  std::string why;
  if (PeMachine(original.data(), original.size()) == 0) {
    // Not a Windows library at all: it exports nothing to forward (and the
    // monitor says at its first call that it cannot load it).
    exports.machine = PeMachine(bytes.data(), bytes.size());
  } else if (!ReadExportTable(original.data(), original.size(), &exports, &why)) {
    return refuse(Widen(why));
  }

  ForwardPlan plan;
  if (!WriteForwardingTable(&bytes, exports, &plan, &why)) return refuse(Widen(why));
  DWORD written = 0;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(copy.Get(), start, nullptr, FILE_BEGIN) ||
      !WriteFile(copy.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !FlushFileBuffers(copy.Get())) {
    return refuse(L"the monitor copy could not be written (" + SystemText(GetLastError()) + L")");
  }
  return true;
}

}  // namespace

bool PrepareForwardingCopy(const wchar_t* copyPath, const wchar_t* originalPath,
                           std::wstring& problem) {
  try {
    return Prepare(copyPath, originalPath, problem);
  } catch (const std::bad_alloc&) {
    // A file near the bounds in a process short of memory.
    problem = std::wstring(copyPath != nullptr ? copyPath : L"") +
              L"\nMonitoring was not switched on for this library: there was not enough memory to read it.";
    return false;
  }
}

}  // namespace varrow
