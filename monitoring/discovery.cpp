#include "monitoring/discovery.h"

#include <cwchar>
#include <iterator>

#include "monitoring/library_swap.h"
#include "settings/versioned_section.h"

namespace varrow {

namespace {

constexpr wchar_t kMessageSizePrefix[] = L"MessageSize";
constexpr std::size_t kMessageSizePrefixChars = 11;
// Device subkey names of the J2534 registration: 255 characters at most.
constexpr std::size_t kDeviceNameChars = 256;

std::wstring MonitoringSection(ApiKind kind) {
  return JoinPath({L"Monitoring", ApiKindName(kind)});
}

bool HasBackslash(const std::wstring& path) { return path.find(L'\\') != std::wstring::npos; }

// Reads a text value; a missing or unfitting value gives an empty text.
std::wstring ReadTextOrEmpty(HKEY key, const wchar_t* name) {
  std::wstring text;
  if (ReadString(key, name, &text) != ERROR_SUCCESS) text.clear();
  return text;
}

// Reads a 32-bit value into an int32 field; missing leaves it unchanged.
void ReadInt(HKEY key, const wchar_t* name, std::int32_t* field) {
  DWORD value = 0;
  if (ReadDword(key, name, &value) == ERROR_SUCCESS) *field = static_cast<std::int32_t>(value);
}

// The decimal position after the first eleven characters of a value name:
// leading blanks and a sign allowed, reading stops at the first non-digit.
long MessageSizePosition(const std::wstring& name) {
  if (name.size() <= kMessageSizePrefixChars) return 0;
  return std::wcstol(name.c_str() + kMessageSizePrefixChars, nullptr, 10);
}

}  // namespace

void ReadMessageSizeValues(HKEY source, MessageSizeList& list) {
  list.sizes.fill(0);
  list.count = 0;
  for (DWORD index = 0;; ++index) {
    std::wstring name;
    if (EnumValueName(source, index, &name) != ERROR_SUCCESS) break;
    if (name.find(kMessageSizePrefix) == std::wstring::npos) continue;
    const long position = MessageSizePosition(name);
    if (position < 0 || position >= kMessageSizeSlots) continue;
    DWORD size = 0;
    if (ReadDword(source, name.c_str(), &size) != ERROR_SUCCESS) continue;
    list.sizes[position] = size;
    // Two names for one position (MessageSize5, MessageSize05) must not count
    // past the list: the pages show entries 1..count-1.
    if (list.count < kMessageSizeSlots) ++list.count;
  }
}

void LoadMessageSizeList(MessageSizeList& list, const RegistryRoots& roots, ApiKind kind) {
  (void)LoadVersionedSection(
      roots, JoinPath({MonitoringSection(kind), L"MessageSizes"}), list,
      [&list](HKEY source) { ReadMessageSizeValues(source, list); },
      [&list](HKEY target) { WriteMessageSizeList(list, target); });
}

namespace {
// A 32-bit setting read into a record: a missing value leaves the field as it is.
struct IntSetting {
  const wchar_t* name;
  std::int32_t (ApiImplementation::*get)() const;
  void (ApiImplementation::*set)(std::int32_t);
};

void ReadIntSettings(HKEY key, ApiImplementation& record, const IntSetting* settings,
                     std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::int32_t value = (record.*settings[i].get)();
    ReadInt(key, settings[i].name, &value);
    (record.*settings[i].set)(value);
  }
}
}  // namespace

void ReadMonitoringSettings(HKEY key, ApiImplementation& record) {
  // In this order: the formats and options, the log file, the message size,
  // the store option and the version.
  static const IntSetting kBeforeFile[] = {
      {L"OutputFormat", &ApiImplementation::OutputFormat, &ApiImplementation::SetOutputFormat},
      {L"Overwrite", &ApiImplementation::Overwrite, &ApiImplementation::SetOverwrite},
      {L"LogEntryExit", &ApiImplementation::LogEntryExit, &ApiImplementation::SetLogEntryExit},
      {L"LogDebugView", &ApiImplementation::LogDebugView, &ApiImplementation::SetLogDebugView},
      {L"DisableErrBufferEmpty", &ApiImplementation::DisableErrBufferEmpty,
       &ApiImplementation::SetDisableErrBufferEmpty},
  };
  static const IntSetting kAfterFile[] = {
      {L"MessageSize", &ApiImplementation::MessageSize, &ApiImplementation::SetMessageSize},
      {L"StoreWithPrimaryAPI", &ApiImplementation::StoreWithPrimaryAPI,
       &ApiImplementation::SetStoreWithPrimaryAPI},
  };
  ReadIntSettings(key, record, kBeforeFile, std::size(kBeforeFile));
  std::wstring file;
  if (ReadString(key, L"OutputFile", &file) == ERROR_SUCCESS) (void)record.SetOutputFile(file);
  ReadIntSettings(key, record, kAfterFile, std::size(kAfterFile));
  DWORD version = record.Version();
  (void)ReadDword(key, L"Version", &version);  // missing: unchanged
  record.SetVersion(version);
}

void ReadDefaultImplementation(ApiImplementation& record, const RegistryRoots& roots, ApiKind kind) {
  RegKey key;
  if (key.Open(roots.machine, FactoryPath({L"Monitoring", ApiKindName(kind)}), KEY_READ) !=
      ERROR_SUCCESS) {
    return;
  }
  std::wstring monitor;
  if (ReadString(key.Get(), L"MonitorLibrary", &monitor) == ERROR_SUCCESS) {
    (void)record.SetMonitorLibrary(monitor);
  }
  ReadMonitoringSettings(key.Get(), record);
}

void ReadImplementationSettings(MonitoringState& state, const RegistryRoots& roots, ApiKind kind) {
  RegKey key;
  bool created = false;
  if (key.Create(roots.user, ProductPath({L"Monitoring", ApiKindName(kind)}), KEY_ALL_ACCESS,
                 REG_OPTION_NON_VOLATILE, &created) != ERROR_SUCCESS) {
    return;
  }
  if (created) {
    WriteMessageSizeList(state.MessageSizes(kind), key.Get());
    return;
  }
  auto& table = state.Table(kind);
  const int count = state.Count(kind);
  for (int i = 0; i < count && i < kMaxImplementations; ++i) {
    // An empty library path would name the per-API key itself.
    if (table[i].FunctionLibrary().empty()) continue;
    RegKey settings;
    if (settings.Open(key.Get(), SettingsKeyName(table[i].FunctionLibrary()), KEY_READ) !=
        ERROR_SUCCESS) {
      continue;
    }
    ReadMonitoringSettings(settings.Get(), table[i]);
  }
}

void DiscoverJ2534Implementations(MonitoringState& state, const RegistryRoots& roots, int brandId,
                                  const std::wstring& text131) {
  state.PduSupportingIndex = -1;
  state.PduCaption.clear();
  state.J2534.fill(ApiImplementation{});
  state.J2534Count = 0;
  std::vector<std::wstring>& captions = state.CaptionsOf(ApiKind::J2534);
  captions.clear();

  RegKey registration;
  if (registration.Open(roots.machine, kJ2534RegistrationPath, KEY_READ) == ERROR_SUCCESS) {
    for (DWORD index = 0; state.J2534Count < kMaxImplementations; ++index) {
      std::wstring name;
      const LONG rc = EnumSubkey(registration.Get(), index, &name, kDeviceNameChars);
      if (rc == ERROR_MORE_DATA) continue;  // a name too long to hold: skip that device
      if (rc != ERROR_SUCCESS) break;
      RegKey device;
      if (device.Open(registration.Get(), name, KEY_READ) != ERROR_SUCCESS) continue;

      const int i = state.J2534Count;
      ApiImplementation& record = state.J2534[i];
      const std::wstring vendor = ReadTextOrEmpty(device.Get(), L"Vendor");
      const std::wstring product = ReadTextOrEmpty(device.Get(), L"Name");
      std::wstring library = ReadTextOrEmpty(device.Get(), L"FunctionLibrary");
      DWORD pduSupported = 0;
      (void)ReadDword(device.Get(), L"PDUAPISupported", &pduSupported);  // absent: 0

      record.SetLibraryFound(FindLibraryOnPath(&library) ? 1 : 0);
      (void)record.SetIdentifier(name);
      (void)record.SetFunctionLibrary(library);
      (void)record.SetMonitorLibrary(state.J2534Defaults.MonitorLibrary());
      if (HasBackslash(library) && FileExistsAt(AsidePath(library))) record.SetMonitoringEnabled(1);
      device.Close();

      std::wstring caption = vendor + L" - " + product;
      if (pduSupported == 1) {
        state.PduSupportingIndex = i;
        state.PduCaption = caption;
        if (brandId == kCaptionBrandId) caption = text131;
      }
      captions.push_back(caption);
      state.J2534Count = i + 1;
    }
    registration.Close();
  }
  ReadImplementationSettings(state, roots, ApiKind::J2534);
}

void DiscoverPduImplementation(MonitoringState& state, const RegistryRoots& roots, int brandId,
                               const std::wstring& text131) {
  state.Pdu.fill(ApiImplementation{});
  state.PduCount = 0;
  std::vector<std::wstring>& captions = state.CaptionsOf(ApiKind::PDU);
  captions.clear();

  RegKey support;
  if (support.Open(roots.machine, ProductPath({kPduSupportSection}), KEY_READ) == ERROR_SUCCESS) {
    ApiImplementation& record = state.Pdu[0];
    std::wstring library = ReadTextOrEmpty(support.Get(), L"FunctionLibrary");
    (void)record.SetIdentifier(kPduIdentifier);
    record.SetLibraryFound(FindLibraryOnPath(&library) ? 1 : 0);
    (void)record.SetFunctionLibrary(library);
    (void)record.SetMonitorLibrary(state.PduDefaults.MonitorLibrary());
    record.SetStoreWithPrimaryAPI(state.PduDefaults.StoreWithPrimaryAPI());
    if (HasBackslash(library) && FileExistsAt(AsidePath(library))) record.SetMonitoringEnabled(1);
    captions.push_back(brandId == kCaptionBrandId ? text131 : state.PduCaption);
    state.PduCount = 1;
    support.Close();
  }
  ReadImplementationSettings(state, roots, ApiKind::PDU);
}

void ReadLogFileLocation(MonitoringState& state, const RegistryRoots& roots) {
  RegKey key;
  if (key.Open(roots.machine, ProductPath(), KEY_READ) != ERROR_SUCCESS) return;
  std::wstring location;
  if (ReadString(key.Get(), L"LogFileLocation", &location) == ERROR_SUCCESS) {
    state.LogFileLocation = location;
  }
}

void LoadMonitoringConfiguration(MonitoringState& state, const RegistryRoots& roots, int brandId,
                                 const std::wstring& text131) {
  LoadMessageSizeList(state.PduMessageSizes, roots, ApiKind::PDU);
  ReadDefaultImplementation(state.PduDefaults, roots, ApiKind::PDU);
  LoadMessageSizeList(state.J2534MessageSizes, roots, ApiKind::J2534);
  ReadDefaultImplementation(state.J2534Defaults, roots, ApiKind::J2534);
  DiscoverJ2534Implementations(state, roots, brandId, text131);
  DiscoverPduImplementation(state, roots, brandId, text131);
  ReadLogFileLocation(state, roots);
}

}  // namespace varrow
