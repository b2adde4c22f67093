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

std::vector<MachineViewRoot> MachineViews(const RegistryRoots& roots) {
  std::vector<MachineViewRoot> views{{roots.machine, RegistryView::k32, MachineViewAccess(false)}};
  if (roots.machine64 != nullptr) {
    views.push_back({roots.machine64, RegistryView::k64, MachineViewAccess(true)});
  }
  return views;
}

const wchar_t* J2534RegistrationPath(J2534Version version) {
  return version == J2534Version::k0500 ? kJ2534V05RegistrationPath : kJ2534RegistrationPath;
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
  // The 64-bit monitor: written by the installer on 64-bit Windows only.
  std::wstring monitor64;
  if (ReadString(key.Get(), L"MonitorLibrary64", &monitor64) == ERROR_SUCCESS) {
    (void)record.SetMonitorLibrary64(monitor64);
  }
  ReadMonitoringSettings(key.Get(), record);
}

namespace {

// Reads the settings of the implementations of `view` from the user's key
// `keyName` under Monitoring; a key made now gets the message-size list.
void ReadViewSettings(MonitoringState& state, const RegistryRoots& roots, ApiKind kind,
                      RegistryView view) {
  RegKey key;
  bool created = false;
  if (key.Create(roots.user, ProductPath({L"Monitoring", MonitoringKeyName(kind, view)}),
                 KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &created) != ERROR_SUCCESS) {
    return;
  }
  if (created) {
    WriteMessageSizeList(state.MessageSizes(kind), key.Get());
    return;
  }
  auto& table = state.Table(kind);
  const int count = state.Count(kind);
  for (int i = 0; i < count && i < kMaxImplementations; ++i) {
    if (table[i].View() != view) continue;
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

// True when monitoring is installed for `library` of `view`: its set-aside
// file exists (only probed for a path with a folder).
bool SetAsideExists(const std::wstring& library, RegistryView view) {
  return HasBackslash(library) && FileExistsAt(FileSystemPath(AsidePath(library), view));
}

// One J2534 registration found: its record is filled, and these go with it.
struct FoundDevice {
  std::wstring caption;  // "Vendor - Name"
  bool pduSupported = false;
};

// Adds the devices of one registration key to the table, up to its bound.
void DiscoverJ2534Source(MonitoringState& state, const MachineViewRoot& source,
                         J2534Version version, std::vector<FoundDevice>* found) {
  RegKey registration;
  if (registration.Open(source.root, J2534RegistrationPath(version), KEY_READ | source.access) !=
      ERROR_SUCCESS) {
    return;
  }
  for (DWORD index = 0; state.J2534Count < kMaxImplementations; ++index) {
    std::wstring name;
    const LONG rc = EnumSubkey(registration.Get(), index, &name, kDeviceNameChars);
    if (rc == ERROR_MORE_DATA) continue;  // a name too long to hold: skip that device
    if (rc != ERROR_SUCCESS) break;
    RegKey device;
    if (device.Open(registration.Get(), name, KEY_READ | source.access) != ERROR_SUCCESS) continue;

    ApiImplementation& record = state.J2534[state.J2534Count];
    const std::wstring vendor = ReadTextOrEmpty(device.Get(), L"Vendor");
    const std::wstring product = ReadTextOrEmpty(device.Get(), L"Name");
    std::wstring library = ReadTextOrEmpty(device.Get(), L"FunctionLibrary");
    DWORD pduSupported = 0;
    (void)ReadDword(device.Get(), L"PDUAPISupported", &pduSupported);  // absent: 0

    record.SetView(source.view);
    record.SetApiVersion(version);
    record.SetLibraryFound(FindLibraryOnPath(&library, source.view) ? 1 : 0);
    (void)record.SetIdentifier(name);
    (void)record.SetFunctionLibrary(library);
    (void)record.SetMonitorLibrary(state.J2534Defaults.MonitorLibrary());
    (void)record.SetMonitorLibrary64(state.J2534Defaults.MonitorLibrary64());
    if (SetAsideExists(library, source.view)) record.SetMonitoringEnabled(1);
    found->push_back({vendor + L" - " + product, pduSupported == 1});
    ++state.J2534Count;
  }
}

bool SameCaption(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// True when a record of the table other than `self` that `matches` has `caption`.
template <typename Match>
bool CaptionAmong(const MonitoringState& state, const std::vector<FoundDevice>& found, int self,
                  Match matches) {
  for (int i = 0; i < state.J2534Count; ++i) {
    if (i != self && matches(state.J2534[i]) && SameCaption(found[i].caption, found[self].caption))
      return true;
  }
  return false;
}

}  // namespace

void ReadImplementationSettings(MonitoringState& state, const RegistryRoots& roots, ApiKind kind) {
  ReadViewSettings(state, roots, kind, RegistryView::k32);
  // The native view's key only where there is something of that view: on
  // 32-bit Windows nothing new appears in the user's tree.
  const auto& table = state.Table(kind);
  for (int i = 0; i < state.Count(kind) && i < kMaxImplementations; ++i) {
    if (table[i].View() == RegistryView::k64) {
      ReadViewSettings(state, roots, kind, RegistryView::k64);
      break;
    }
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

  std::vector<FoundDevice> found;
  for (const MachineViewRoot& source : MachineViews(roots)) {
    for (J2534Version version : {J2534Version::k0404, J2534Version::k0500}) {
      DiscoverJ2534Source(state, source, version, &found);
    }
  }

  // The D-PDU tie: the last flagged 04.04 device of the 32-bit view, else of
  // the native view.
  for (RegistryView view : {RegistryView::k32, RegistryView::k64}) {
    for (int i = 0; i < state.J2534Count; ++i) {
      const ApiImplementation& record = state.J2534[i];
      if (found[i].pduSupported && record.View() == view &&
          record.ApiVersion() == J2534Version::k0404) {
        state.PduSupportingIndex = i;
      }
    }
    if (state.PduSupportingIndex >= 0) break;
  }

  for (int i = 0; i < state.J2534Count; ++i) {
    const ApiImplementation& record = state.J2534[i];
    std::wstring caption = found[i].caption;
    if (i == state.PduSupportingIndex) {
      state.PduCaption = caption;
      if (brandId == kCaptionBrandId) caption = text131;
    }
    if (record.View() == RegistryView::k64 &&
        CaptionAmong(state, found, i, [](const ApiImplementation& other) {
          return other.View() == RegistryView::k32;
        })) {
      caption += kCaption64Bit;
    }
    if (record.ApiVersion() == J2534Version::k0500 &&
        CaptionAmong(state, found, i, [](const ApiImplementation& other) {
          return other.ApiVersion() == J2534Version::k0404;
        })) {
      caption += kCaptionV05;
    }
    captions.push_back(caption);
  }
  ReadImplementationSettings(state, roots, ApiKind::J2534);
}

void DiscoverPduImplementation(MonitoringState& state, const RegistryRoots& roots, int brandId,
                               const std::wstring& text131) {
  state.Pdu.fill(ApiImplementation{});
  state.PduCount = 0;
  std::vector<std::wstring>& captions = state.CaptionsOf(ApiKind::PDU);
  captions.clear();

  const std::wstring caption = brandId == kCaptionBrandId ? text131 : state.PduCaption;
  for (const MachineViewRoot& source : MachineViews(roots)) {
    RegKey support;
    if (support.Open(source.root, ProductPath({kPduSupportSection}), KEY_READ | source.access) !=
        ERROR_SUCCESS) {
      continue;
    }
    ApiImplementation& record = state.Pdu[state.PduCount];
    std::wstring library = ReadTextOrEmpty(support.Get(), L"FunctionLibrary");
    record.SetView(source.view);
    (void)record.SetIdentifier(kPduIdentifier);
    record.SetLibraryFound(FindLibraryOnPath(&library, source.view) ? 1 : 0);
    (void)record.SetFunctionLibrary(library);
    (void)record.SetMonitorLibrary(state.PduDefaults.MonitorLibrary());
    (void)record.SetMonitorLibrary64(state.PduDefaults.MonitorLibrary64());
    record.SetStoreWithPrimaryAPI(state.PduDefaults.StoreWithPrimaryAPI());
    if (SetAsideExists(library, source.view)) record.SetMonitoringEnabled(1);
    // Both views hold the one vendor key, so one caption: the native one is told apart.
    captions.push_back(source.view == RegistryView::k64 && state.PduCount > 0
                           ? caption + kCaption64Bit
                           : caption);
    ++state.PduCount;
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
