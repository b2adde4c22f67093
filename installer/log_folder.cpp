#include "installer/log_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include "settings/owned_handle.h"

namespace varrow {

namespace {

constexpr wchar_t kJ2534Folder[] = L"J2534";
constexpr wchar_t kPduFolder[] = L"PDU";
// Names tried for an untrusted folder set aside, before giving up.
constexpr int kAsideNames = 16;

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

// Why the item open at `handle` is not to be trusted, or empty when it is.
const wchar_t* Distrust(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return L"unreadable";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"a link";
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return L"not a folder";
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return L"of an unknown owner";
  }
  const LocalDescriptor owned(descriptor);
  return TrustedOwner(owner) ? nullptr : L"owned by another account";
}

// Renames the untrusted item at `path` to a free "<path>.untrusted-<n>"; the
// link itself moves, never what it names. Returns the Win32 code.
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

// Opens `folder` for `access` after making it when missing, and after moving
// an untrusted item at its name aside (step->movedAside). The parent must
// exist and be trusted: no other account can then put anything at the name
// between these steps.
KernelHandle OpenTrusted(const std::wstring& folder, DWORD access, SECURITY_ATTRIBUTES* made,
                         LogFolderStep* step) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!CreateDirectoryW(folder.c_str(), made) && GetLastError() != ERROR_ALREADY_EXISTS) {
      step->code = GetLastError();
      return {};
    }
    KernelHandle handle = OpenItself(folder, access | READ_CONTROL);
    if (!handle) {
      step->code = GetLastError();
      return {};
    }
    if (Distrust(handle.Get()) == nullptr) return handle;
    handle.Close();
    if (attempt > 0) break;
    step->code = MoveAside(folder, &step->movedAside);
    if (step->code != ERROR_SUCCESS) return {};
  }
  step->code = ERROR_ACCESS_DENIED;  // made anew and still not ours
  return {};
}

// Makes the missing folders above `folder`'s parent (never moving one: those
// are the system's, such as C:\ProgramData), then checks the parent itself,
// the vendor's folder the package makes: one that is a link or another
// account's is moved aside and made anew (with what it inherits), since its
// owner could otherwise swap the log folder for a link at any time.
DWORD TrustParent(const std::wstring& folder, std::vector<LogFolderStep>* steps) {
  const std::wstring parent = ParentOf(folder);
  if (parent.size() <= 3) return ERROR_SUCCESS;  // a drive's root
  std::vector<std::wstring> above;
  for (std::wstring p = ParentOf(parent); p.size() > 3; p = ParentOf(p)) above.insert(above.begin(), p);
  for (const std::wstring& p : above) {
    if (!CreateDirectoryW(p.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      steps->push_back({p, L"", GetLastError()});
      return steps->back().code;
    }
  }
  LogFolderStep step;
  step.folder = parent;
  (void)OpenTrusted(parent, FILE_READ_ATTRIBUTES, nullptr, &step);
  if (!step.movedAside.empty() || step.code != ERROR_SUCCESS) steps->push_back(step);
  return step.code;
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

LogFolderStep ProtectLogFolder(const std::wstring& folder) {
  LogFolderStep step;
  step.folder = WithoutTrailingSlash(folder);
  if (!IsFullPath(step.folder) || step.folder.size() >= MAX_PATH - 32) {
    step.code = ERROR_BAD_PATHNAME;
    return step;
  }
  LocalDescriptor descriptor;
  step.code = LogFolderDescriptor(&descriptor);
  if (step.code != ERROR_SUCCESS) return step;
  SECURITY_ATTRIBUTES made{sizeof(made), descriptor.get(), FALSE};
  const KernelHandle handle =
      OpenTrusted(step.folder, WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES, &made, &step);
  if (!handle) return step;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted)) {
    step.code = GetLastError();
    return step;
  }
  step.code = SetSecurityInfo(handle.Get(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  PROTECTED_DACL_SECURITY_INFORMATION,
                              owner, nullptr, dacl, nullptr);
  return step;
}

std::vector<LogFolderStep> ProtectLogFolders(const std::wstring& logs) {
  std::vector<LogFolderStep> steps;
  const std::wstring root = WithoutTrailingSlash(logs);
  if (!IsFullPath(root) || root.size() >= MAX_PATH - 32) {
    steps.push_back({root, L"", ERROR_BAD_PATHNAME});
    return steps;
  }
  if (TrustParent(root, &steps) != ERROR_SUCCESS) return steps;
  for (const std::wstring& folder : {root, root + L"\\" + kJ2534Folder, root + L"\\" + kPduFolder}) {
    steps.push_back(ProtectLogFolder(folder));
    if (steps.back().code != ERROR_SUCCESS) break;
  }
  return steps;
}

}  // namespace varrow
