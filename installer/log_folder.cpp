#include "installer/log_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include "settings/owned_handle.h"

namespace varrow {

namespace {

constexpr wchar_t kJ2534Folder[] = L"J2534";
constexpr wchar_t kPduFolder[] = L"PDU";
// Names tried for an untrusted folder set aside, and folders moved aside in
// one run, before giving up; looks at the folders in one run, at most.
constexpr int kAsideNames = 16;
constexpr std::size_t kMaxLooks = 64;

bool IsFullPath(const std::wstring& path) {
  const wchar_t drive = path.empty() ? L'\0' : path[0];
  const bool letter = (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
  return path.size() >= 3 && letter && path[1] == L':' && path[2] == L'\\';
}

std::wstring WithoutTrailingSlash(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

std::wstring ParentOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash < 2) return {};
  return path.substr(0, slash == 2 ? 3 : slash);  // "C:\" keeps its slash
}

// True when `sid` is the administrators, the system, or the account this
// step runs as (the system on Windows, where the step runs unimpersonated:
// the account that runs the setup owns nothing it could not take anyway).
bool TrustedOwner(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid)) {
    return true;
  }
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  const KernelHandle token(raw);
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD bytes = 0;
  if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &bytes)) return false;
  return EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}

// Opens `folder` itself (never what a reparse point at it names) for `access`.
KernelHandle OpenItself(const std::wstring& folder, DWORD access) {
  return KernelHandle(CreateFileW(folder.c_str(), access,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// What stands at a log folder's name.
enum class Standing { kMissing, kTrusted, kLink, kUntrusted, kError };

// Looks at `path` without following a link, and opens a trusted folder for
// `access` into *handle. The attributes are read both by the path and through
// a handle to the item itself: some platforms (Wine) open what a directory
// link names even when asked for the link itself, and show the link only by
// its path. *why says what is wrong with an item that is not trusted.
Standing Inspect(const std::wstring& path, DWORD access, KernelHandle* handle, const wchar_t** why,
                 DWORD* code) {
  const DWORD byPath = GetFileAttributesW(path.c_str());
  if (byPath == INVALID_FILE_ATTRIBUTES) {
    *code = GetLastError();
    return *code == ERROR_FILE_NOT_FOUND || *code == ERROR_PATH_NOT_FOUND ? Standing::kMissing
                                                                          : Standing::kError;
  }
  *why = L"a link";
  if (byPath & FILE_ATTRIBUTE_REPARSE_POINT) return Standing::kLink;
  KernelHandle opened = OpenItself(path, access | READ_CONTROL | FILE_READ_ATTRIBUTES);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!opened || !GetFileInformationByHandle(opened.Get(), &info)) {
    *code = GetLastError();
    return Standing::kError;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Standing::kLink;
  *why = L"not a folder";
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return Standing::kUntrusted;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  *why = L"owned by another account";
  if (GetSecurityInfo(opened.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return Standing::kUntrusted;
  }
  const LocalDescriptor ownerOf(descriptor);
  if (!TrustedOwner(owner)) return Standing::kUntrusted;
  *handle = std::move(opened);
  return Standing::kTrusted;
}

// Renames the untrusted item at `path` to a free "<path>.untrusted-<n>".
// Returns the Win32 code. Only a real file or folder is renamed so: a link is
// never moved by its own name (where the platform cannot open the link itself,
// the rename would move what it names), but inside its folder.
DWORD MoveAside(const std::wstring& path, std::wstring* aside) {
  DWORD code = ERROR_ALREADY_EXISTS;
  for (int n = 1; n <= kAsideNames; ++n) {
    *aside = path + L".untrusted-" + std::to_wstring(n);
    if (aside->size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (MoveFileExW(path.c_str(), aside->c_str(), 0)) return ERROR_SUCCESS;
    code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) break;
  }
  aside->clear();
  return code;
}

// Sets the owner and the (protected) access list of `descriptor` on the folder
// open at `handle`, and on it alone: SetSecurityInfo would also push the
// inheritable entries into everything already below it, walking that tree by
// name, which is the very walk a planted link turns elsewhere. Files and
// folders made later inherit the entries as usual.
DWORD Apply(HANDLE handle, PSECURITY_DESCRIPTOR descriptor) {
  return SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 descriptor)
             ? ERROR_SUCCESS
             : GetLastError();
}

}  // namespace

DWORD LogFolderDescriptor(LocalDescriptor* out) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSddl, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return GetLastError();
  }
  out->reset(descriptor);
  return ERROR_SUCCESS;
}

std::vector<LogFolderStep> ProtectLogFolders(const std::wstring& logs) {
  std::vector<LogFolderStep> steps;
  const std::wstring root = WithoutTrailingSlash(logs);
  const std::wstring vendor = ParentOf(root);
  if (!IsFullPath(root) || root.size() >= MAX_PATH - 32 || vendor.size() <= 3) {
    steps.push_back({root, L"", nullptr, ERROR_BAD_PATHNAME});
    return steps;
  }
  LocalDescriptor descriptor;
  const DWORD made = LogFolderDescriptor(&descriptor);
  if (made != ERROR_SUCCESS) {
    steps.push_back({root, L"", nullptr, made});
    return steps;
  }
  // The folders above the vendor's are the system's (C:\ProgramData): made
  // when missing, never moved.
  std::vector<std::wstring> above;
  for (std::wstring p = ParentOf(vendor); p.size() > 3; p = ParentOf(p)) above.insert(above.begin(), p);
  for (const std::wstring& p : above) {
    if (!CreateDirectoryW(p.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      steps.push_back({p, L"", nullptr, GetLastError()});
      return steps;
    }
  }
  // From the vendor's folder down: each is made when missing; an untrusted
  // one is moved aside and made anew; a link is moved aside with the folder
  // it stands in (the vendor's folder itself being a link is refused). The
  // vendor's folder keeps what it inherits; the log folders get the descriptor.
  const std::wstring chain[] = {vendor, root, root + L"\\" + kJ2534Folder, root + L"\\" + kPduFolder};
  constexpr std::size_t kParentInChain[] = {0, 0, 1, 1};  // the vendor's has none here
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  int moves = 0;
  for (std::size_t i = 0, looks = 0; i < std::size(chain); ++looks) {
    if (looks == kMaxLooks) {  // something keeps changing the folders
      steps.push_back({chain[i], L"", nullptr, ERROR_ACCESS_DENIED});
      return steps;
    }
    KernelHandle handle;
    const wchar_t* why = nullptr;
    DWORD code = ERROR_SUCCESS;
    const DWORD access = i == 0 ? 0 : WRITE_DAC | WRITE_OWNER;
    Standing standing = Inspect(chain[i], access, &handle, &why, &code);
    if (standing == Standing::kMissing) {
      if (CreateDirectoryW(chain[i].c_str(), i == 0 ? nullptr : &attributes)) continue;  // looked at again
      code = GetLastError();
      if (code != ERROR_ALREADY_EXISTS) {
        steps.push_back({chain[i], L"", nullptr, code});
        return steps;
      }
      // Not there, yet its name is taken: a link to nothing (a platform that
      // cannot show the link itself shows nothing).
      standing = Standing::kLink;
      why = L"a link";
    }
    switch (standing) {
      case Standing::kMissing:
        break;
      case Standing::kTrusted:
        if (i > 0) {
          steps.push_back({chain[i], L"", nullptr, Apply(handle.Get(), descriptor.get())});
          if (steps.back().code != ERROR_SUCCESS) return steps;
        }
        ++i;
        break;
      case Standing::kError:
        steps.push_back({chain[i], L"", nullptr, code});
        return steps;
      case Standing::kLink:
      case Standing::kUntrusted: {
        const bool link = standing == Standing::kLink;
        if ((link && i == 0) || ++moves > kAsideNames) {
          steps.push_back({chain[i], L"", why, ERROR_ACCESS_DENIED});
          return steps;
        }
        const std::size_t moved = link ? kParentInChain[i] : i;
        LogFolderStep step{chain[moved], L"", why, ERROR_SUCCESS};
        step.code = MoveAside(chain[moved], &step.movedAside);
        if (link) step.why = L"holds a link";
        steps.push_back(step);
        if (step.code != ERROR_SUCCESS) return steps;
        i = moved;  // made anew, and what is below it too
        break;
      }
    }
  }
  return steps;
}

}  // namespace varrow
