#include "locale/version_info.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace varrow {

namespace {

// A string value of the first translation, or false.
bool QueryString(const std::vector<char>& block, WORD language, WORD codePage,
                 const char* name, std::string* out) {
  char query[128];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", language, codePage, name);
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), query, &value, &length) || value == nullptr) return false;
  const char* text = static_cast<const char*>(value);
  // The length counts characters including the terminator; never read past it.
  const std::size_t limit = length;
  std::size_t size = 0;
  while (size < limit && text[size] != '\0') ++size;
  out->assign(text, size);
  return true;
}

}  // namespace

bool ReadVersionInfo(HINSTANCE module, VersionInfo* out) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  // The version calls see the path as it survives the ANSI code page.
  char narrow[MAX_PATH * 2] = {};
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, path, -1, narrow, sizeof narrow, nullptr, nullptr) == 0)
    return false;
  wchar_t roundTrip[MAX_PATH] = {};
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, -1, roundTrip, MAX_PATH) == 0) return false;

  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(roundTrip, &handle);
  if (size == 0) return false;
  std::vector<char> block(static_cast<std::size_t>(size) * 2);
  if (!GetFileVersionInfoW(roundTrip, 0, size, block.data())) return false;

  void* translation = nullptr;
  UINT translationBytes = 0;
  if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &translation,
                      &translationBytes) ||
      translation == nullptr || translationBytes < 4)
    return false;
  const WORD* pair = static_cast<const WORD*>(translation);
  const WORD language = pair[0];
  const WORD codePage = pair[1];

  VersionInfo info;
  if (!QueryString(block, language, codePage, "FileDescription", &info.fileDescription)) return false;
  if (!QueryString(block, language, codePage, "ProductName", &info.productName)) return false;
  if (!QueryString(block, language, codePage, "ProductVersion", &info.productVersion)) return false;
  if (!PackVersionNumber(info.productVersion, &info.packedVersion)) return false;
  std::string compileDate;
  if (!QueryString(block, language, codePage, "CompileDate", &compileDate)) return false;
  info.packedCompileDate = PackCompileDate(compileDate);
  *out = std::move(info);
  return true;
}

std::wstring VersionPart(const std::wstring& productVersion) {
  std::wstring text;
  for (std::size_t i = 0; i < productVersion.size(); ++i) {
    if (productVersion[i] == L',' && i + 1 < productVersion.size() && productVersion[i + 1] == L' ') {
      text += L'.';
      ++i;
    } else {
      text += productVersion[i];
    }
  }
  const std::size_t dot = text.rfind(L'.');
  return dot == std::wstring::npos ? std::wstring() : text.substr(0, dot);
}

std::wstring BuildVersionLine(const std::wstring& versionWord, const std::wstring& productVersion) {
  return versionWord + L" " + VersionPart(productVersion);
}

std::wstring ReadVersionLine(HINSTANCE module, const std::wstring& versionWord) {
  VersionInfo info;
  if (!ReadVersionInfo(module, &info)) return {};
  const std::string& narrow = info.productVersion;
  std::wstring wide;
  if (!narrow.empty()) {
    const int chars = MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(),
                                          static_cast<int>(narrow.size()), nullptr, 0);
    if (chars > 0) {
      wide.resize(static_cast<std::size_t>(chars));
      MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), static_cast<int>(narrow.size()),
                          wide.data(), chars);
    }
  }
  return BuildVersionLine(versionWord, wide);
}

}  // namespace varrow
