#include "locale/brand.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace varrow {

const BrandRecord BrandTable[kBrandRows] = {
    {1, "tln", "Torva-Link"},
    {2, "brv", "Brevik-Bridge"},
    {3, "9480", "QX9480"},
    {4, "9440", "QX9440"},
    {5, "9440_XR", "QX9440-XR"},
    {6, "9440_KW", "QX9440-Kelwin"},
    {7, "9480_FA", "QX9480-Farrow"},
    {8, "9480_NB", "QX9480-Norbu"},
    {9, "9440_VE", "QX9440-Vescia"},
    {10, "9440_GN", "QX9440-Generic"},
    {11, "9420_PD", "QX9420-Pedalo"},
    {12, "9480_OR", "QX9480-Orlin"},
    {13, "9460_CV", "Corvane-Hub-II"},
    {14, "9460_GN", "9460-Generic"},
    {15, "9480_GR", "QX9480-Gravik"},
    {16, "9420_GN", "QX9420-Generic"},
    {17, "9460_TB", "9460-Tarbeck"},
    {18, "9430_YS", "QX9430-Yselle"},
    {19, "9460_PL", "Pelmora-Hub-II"},
    {20, "Max ID", "Max ID"},
};

namespace {

// A mutex the owning thread may take again: owner thread id, recursion count
// and the underlying mutex.
class RecursiveLock {
 public:
  void Lock() {
    const DWORD self = GetCurrentThreadId();
    if (owner_.load() == self) {
      ++count_;
      return;
    }
    mutex_.lock();
    owner_.store(self);
    count_ = 1;
  }
  void Unlock() {
    if (--count_ == 0) {
      owner_.store(0);
      mutex_.unlock();
    }
  }

 private:
  std::mutex mutex_;
  std::atomic<DWORD> owner_{0};
  unsigned count_ = 0;
};

class LockGuard {
 public:
  explicit LockGuard(RecursiveLock& lock) : lock_(lock) { lock_.Lock(); }
  ~LockGuard() { lock_.Unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RecursiveLock& lock_;
};

RecursiveLock& BrandLock() {
  static RecursiveLock lock;
  return lock;
}

// 0 until a brand has been found.
std::atomic<int> g_brandCache{0};

constexpr DWORD kBrandBufferBytes = 240;  // 119 characters and the terminator
constexpr wchar_t kBrandValue[] = L"Brand";

}  // namespace

bool LookupBrand(const RegistryRoots& roots, int* outId) {
  {
    LockGuard guard(BrandLock());
    const int cached = g_brandCache.load();
    if (cached != 0) {
      *outId = cached;
      return true;
    }
  }

  RegKey product;
  // The installer's value, in the 32-bit view also for the 64-bit monitor
  // (a 32-bit process's own view; no meaning on 32-bit Windows).
  if (product.Open(roots.machine, ProductPath(), KEY_READ | KEY_WOW64_32KEY) != ERROR_SUCCESS) return false;
  wchar_t wide[kBrandBufferBytes / sizeof(wchar_t)] = {};
  DWORD bytes = kBrandBufferBytes;
  const LONG rc = RegQueryValueExW(product.Get(), kBrandValue, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(wide), &bytes);
  product.Close();
  if (rc != ERROR_SUCCESS) return false;
  // The zero-filled buffer terminates any shorter value; a value that fills the
  // whole buffer without a terminator is one character too long.
  constexpr std::size_t kChars = kBrandBufferBytes / sizeof(wchar_t);
  std::size_t length = 0;
  while (length < kChars && wide[length] != L'\0') ++length;
  if (length >= kChars) return false;

  // Up to 4 bytes per character cover every ANSI code page, UTF-8 included.
  char narrow[kChars * 4 + 1] = {};
  int narrowLength = 0;
  if (length > 0) {
    // No best-fit mapping: a character the code page lacks becomes the default
    // character, which no short name contains, rather than a look-alike letter
    // that could match a brand the value does not name.
    narrowLength = WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, wide,
                                       static_cast<int>(length), narrow,
                                       static_cast<int>(sizeof(narrow) - 1), nullptr, nullptr);
    if (narrowLength <= 0 && GetLastError() == ERROR_INVALID_FLAGS) {
      // Code pages such as UTF-8 take no flags (and have no best-fit mapping).
      narrowLength = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, static_cast<int>(length), narrow,
                                         static_cast<int>(sizeof(narrow) - 1), nullptr, nullptr);
    }
    if (narrowLength <= 0) return false;
  }

  for (int row = 0; row < kBrandRows - 1; ++row) {  // the terminator row is not compared
    const BrandRecord& brand = BrandTable[row];
    const std::size_t nameLength = std::strlen(brand.shortName);
    if (nameLength == static_cast<std::size_t>(narrowLength) &&
        std::memcmp(brand.shortName, narrow, nameLength) == 0) {
      g_brandCache.store(brand.id);
      *outId = brand.id;
      return true;
    }
  }
  return false;
}

void ResetBrandCacheForTests() {
  LockGuard guard(BrandLock());
  g_brandCache.store(0);
}

}  // namespace varrow
