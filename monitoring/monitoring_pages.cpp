#include "monitoring/monitoring_pages.h"

#include <cwchar>
#include <cwctype>

#include "resources/resource.h"

namespace varrow {

namespace {

constexpr wchar_t kPduLogFolder[] = L"PDU\\";
constexpr wchar_t kPduLogFile[] = L"OVRA-VCI.txt";
constexpr wchar_t kTorvaPduLogFile[] = L"Torva-Link.txt";
constexpr wchar_t kHaldenPduLogFile[] = L"Halden-VCI.txt";

bool IsExistingFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Characters that no file or folder name may hold. A colon is allowed only as
// the drive letter's.
bool HasBadCharacters(const std::wstring& fullPath) {
  for (std::size_t i = 0; i < fullPath.size(); ++i) {
    const wchar_t c = fullPath[i];
    if (c < 32 || std::wcschr(L"<>\"|?*", c) != nullptr) return true;
    if (c == L':' && i != 1) return true;
  }
  return false;
}

std::wstring Trimmed(const std::wstring& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && std::iswspace(text[first])) ++first;
  while (last > first && std::iswspace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

}  // namespace

std::wstring DefaultPduLogName(const std::wstring& logFileLocation, int brandId,
                               const std::wstring& identifier) {
  const wchar_t* file = kPduLogFile;
  if (identifier == kPduIdentifier) {
    if (brandId == kTorvaBrandId) file = kTorvaPduLogFile;
    if (brandId == kHaldenBrandId) file = kHaldenPduLogFile;
  }
  std::wstring name = logFileLocation + kPduLogFolder + file;
  if (!FitsField(name)) return {};
  return name;
}

std::wstring DefaultOutputFile(ApiKind kind, const std::wstring& logFileLocation,
                               const ApiImplementation& record, int brandId) {
  const std::wstring name =
      kind == ApiKind::J2534 ? DefaultJ2534LogName(logFileLocation, record.FunctionLibrary())
                             : DefaultPduLogName(logFileLocation, brandId, record.Identifier());
  std::wstring shown = ApplyFormatExtension(name, record.OutputFormat());
  if (!FitsField(shown)) return {};
  return shown;
}

OutputFileError ResolveOutputFile(const std::wstring& text, std::wstring* fullPath) {
  std::wstring entered = Trimmed(text);
  if (entered.empty()) return OutputFileError::Empty;
  if (!FitsField(entered)) return OutputFileError::TooLong;
  for (wchar_t& c : entered) {
    if (c == L'/') c = L'\\';
  }
  if (entered.back() == L'\\') return OutputFileError::NoFileName;

  wchar_t buffer[kFieldChars] = {};
  wchar_t* filePart = nullptr;
  const DWORD length = GetFullPathNameW(entered.c_str(), kFieldChars, buffer, &filePart);
  if (length == 0 || length >= kFieldChars) return OutputFileError::TooLong;
  const std::wstring full(buffer, length);
  if (HasBadCharacters(full)) return OutputFileError::BadCharacters;
  if (filePart == nullptr || *filePart == L'\0') return OutputFileError::NoFileName;
  if (IsExistingFolder(full)) return OutputFileError::NoFileName;

  const std::wstring folder(buffer, static_cast<std::size_t>(filePart - buffer));
  if (!IsExistingFolder(folder)) {
    // One level only: a missing parent makes this fail.
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!IsExistingFolder(folder)) return OutputFileError::FolderMissing;
  }
  *fullPath = full;
  return OutputFileError::None;
}

bool DroppedFileAccepted(const std::wstring& path, std::int32_t code) {
  if (path.empty() || !FitsField(path)) return false;
  const std::wstring extension = FileNameExtension(path);
  if (extension.size() < 2) return false;  // no extension, or a bare dot
  if (IsExistingFolder(path)) return false;
  const OutputFormatInfo* format = FindOutputFormat(code);
  if (format == nullptr) return true;
  return _wcsicmp(extension.c_str(), format->dotted) == 0;
}

std::vector<std::wstring> MessageSizeItems(const MessageSizeList& list,
                                           const std::wstring& entireMessage,
                                           const std::wstring& bytes) {
  std::vector<std::wstring> items{entireMessage};
  const DWORD count = list.count < kMessageSizeSlots ? list.count : kMessageSizeSlots;
  for (DWORD i = 1; i < count; ++i) {
    wchar_t number[16] = {};
    std::swprintf(number, 16, L"%lu", static_cast<unsigned long>(list.sizes[i]));
    items.push_back(std::wstring(number) + L" " + bytes);
  }
  return items;
}

const ApiImplementation* SelectedRecord(const MonitoringState& state, ApiKind kind, int tab,
                                        int tabCount) {
  const int count = kind == ApiKind::J2534 ? state.J2534Count : state.PduCount;
  if (tab < 0 || tab >= tabCount || tab >= count || tab >= kMaxImplementations) return nullptr;
  return kind == ApiKind::J2534 ? &state.J2534[tab] : &state.Pdu[tab];
}

ApiImplementation* SelectedRecord(MonitoringState& state, ApiKind kind, int tab, int tabCount) {
  return const_cast<ApiImplementation*>(
      SelectedRecord(static_cast<const MonitoringState&>(state), kind, tab, tabCount));
}

ControlStateTable PageControlStates(const MonitoringState& state, int j2534Tab, int j2534TabCount,
                                    int pduTab, int pduTabCount) {
  const ApiImplementation* r = SelectedRecord(state, ApiKind::J2534, j2534Tab, j2534TabCount);
  const ApiImplementation* p = SelectedRecord(state, ApiKind::PDU, pduTab, pduTabCount);
  const int k = state.PduSupportingIndex;

  const bool j2534Usable = r != nullptr && r->LibraryFound() != 0;
  const bool j2534Settings = j2534Usable && r->MonitoringEnabled() == 1;

  // The PDU page follows the PDU-supporting J2534 implementation's tab.
  const bool pduUsable = p != nullptr && j2534Usable && k >= 0 && j2534Tab == k;
  const bool pduOn = pduUsable && p->MonitoringEnabled() == 1;
  const bool primaryMonitored = r != nullptr && r->MonitoringEnabled() == 1;  // r is record k here
  const bool storedWithPrimary = primaryMonitored && p != nullptr && p->StoreWithPrimaryAPI() == 1;
  const bool pduSettings = pduOn && !storedWithPrimary;
  const bool pduStoreBox = pduOn && primaryMonitored;

  return {
      {IDC_J2534_ENABLE, j2534Usable, false},
      {IDC_J2534_FILE, j2534Settings, !j2534Settings},
      {IDC_J2534_ASCII, j2534Settings, false},
      {IDC_J2534_XML, j2534Settings, false},
      {IDC_J2534_CSV, false, false},
      {IDC_J2534_HTML, false, false},
      {IDC_J2534_OVERWRITE, j2534Settings, false},
      {IDC_J2534_LOG_ENTRY_EXIT, j2534Settings, false},
      {IDC_J2534_LOG_DEBUG_VIEW, j2534Settings, false},
      {IDC_J2534_DISABLE_EMPTY_ERROR, j2534Settings, false},
      {IDC_J2534_SIZE, j2534Settings, false},
      {IDC_PDU_ENABLE, pduUsable, false},
      {IDC_PDU_STORE_WITH_J2534, pduStoreBox, false},
      {IDC_PDU_FILE, pduSettings, !pduSettings},
      {IDC_PDU_ASCII, pduSettings, false},
      {IDC_PDU_XML, pduSettings, false},
      {IDC_PDU_CSV, false, false},
      {IDC_PDU_HTML, false, false},
      {IDC_PDU_OVERWRITE, pduSettings, false},
      {IDC_PDU_LOG_ENTRY_EXIT, pduSettings, false},
      {IDC_PDU_LOG_DEBUG_VIEW, pduSettings, false},
      {IDC_PDU_SIZE, pduSettings, false},
  };
}

const ControlState* FindControlState(const ControlStateTable& table, int id) {
  for (const ControlState& entry : table) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

bool OutputFileNeedsValidation(ApiKind kind, const ApiImplementation& record) {
  if (record.MonitoringEnabled() == 0) return false;
  return kind == ApiKind::PDU || record.LibraryFound() != 0;
}

}  // namespace varrow
