// The monitoring records: one installed implementation library with its logging
// settings, the message-size list of one API, everything the dialog holds for
// monitoring, and the path rules that tie a library to its monitoring.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "monitoring/format_rules.h"
#include "monitoring/path_rules.h"
#include "settings/registry.h"
#include "settings/versioned_section.h"

namespace varrow {

// The two monitored programming interfaces.
enum class ApiKind { J2534 = 0, PDU = 1 };

inline constexpr wchar_t kJ2534ApiName[] = L"J2534 API";
inline constexpr wchar_t kPduApiName[] = L"PDU API";
// The identifier of the one PDU API implementation.
inline constexpr wchar_t kPduIdentifier[] = L"OVRA - OVRA VCI";

// "J2534 API" or "PDU API": the subkey name under Monitoring and DefaultSettings\Monitoring.
const wchar_t* ApiKindName(ApiKind kind);

// The registry view an implementation is registered in: the 32-bit view that
// 32-bit applications read (WOW6432Node on 64-bit Windows), or the native
// 64-bit view of 64-bit Windows, read by 64-bit applications.
enum class RegistryView { k32 = 0, k64 = 1 };
// The J2534 registration an implementation comes from (PassThruSupport.04.04
// or .05.00); D-PDU implementations carry k0404.
enum class J2534Version { k0404 = 0, k0500 = 1 };

// What a native-view library's settings key adds to its API's name.
inline constexpr wchar_t kNativeViewKeySuffix[] = L" (64-bit)";
// The per-implementation settings key under the user's Monitoring key: the
// API's name, with kNativeViewKeySuffix for a native-view library ("J2534 API (64-bit)").
std::wstring MonitoringKeyName(ApiKind kind, RegistryView view);

// Implementations held per API. Discovery fills the J2534 table from four
// sources (two views, two versions) in a fixed order and stops at the bound:
// 40 holds every registration of a workshop PC many times over (one to five
// per source is usual), and a source read later never overruns it.
constexpr int kMaxImplementations = 40;
// Entries of a message-size list.
constexpr int kMessageSizeSlots = 10;
// StoreWithPrimaryAPI when the implementation has no such option: never written.
constexpr std::int32_t kStoreWithPrimaryUnset = -1;

// True when `text` fits a text field of kFieldChars characters (terminator included).
inline bool FitsField(std::wstring_view text) { return text.size() < kFieldChars; }

// The logging settings of one implementation, always read and written together;
// each is a registry value named like the field.
struct MonitoringSettings {
  std::wstring OutputFile;
  std::int32_t OutputFormat = 1;
  std::int32_t Overwrite = 1;
  std::int32_t LogEntryExit = 0;
  std::int32_t LogDebugView = 0;
  std::int32_t DisableErrBufferEmpty = 1;
  std::int32_t MessageSize = 0;
  std::int32_t StoreWithPrimaryAPI = kStoreWithPrimaryUnset;
  std::uint32_t Version = 0;
};

// One implementation library of one API. Texts hold at most 259 characters: a
// text setter copies the text up to its first null and refuses (returns false,
// field unchanged) a text that does not fit.
class ApiImplementation {
 public:
  const std::wstring& Identifier() const { return identifier_; }
  bool SetIdentifier(std::wstring_view text) { return SetText(identifier_, text); }
  std::int32_t MonitoringEnabled() const { return monitoringEnabled_; }
  void SetMonitoringEnabled(std::int32_t v) { monitoringEnabled_ = v; }
  std::int32_t LibraryFound() const { return libraryFound_; }
  void SetLibraryFound(std::int32_t v) { libraryFound_ = v; }
  std::int32_t LogDebugView() const { return logDebugView_; }
  void SetLogDebugView(std::int32_t v) { logDebugView_ = v; }
  std::int32_t LogEntryExit() const { return logEntryExit_; }
  void SetLogEntryExit(std::int32_t v) { logEntryExit_ = v; }
  std::int32_t Overwrite() const { return overwrite_; }
  void SetOverwrite(std::int32_t v) { overwrite_ = v; }
  std::int32_t DisableErrBufferEmpty() const { return disableErrBufferEmpty_; }
  void SetDisableErrBufferEmpty(std::int32_t v) { disableErrBufferEmpty_ = v; }
  std::int32_t OutputFormat() const { return outputFormat_; }
  void SetOutputFormat(std::int32_t v) { outputFormat_ = v; }
  const std::wstring& OutputFile() const { return outputFile_; }
  bool SetOutputFile(std::wstring_view text) { return SetText(outputFile_, text); }
  std::int32_t MessageSize() const { return messageSize_; }
  void SetMessageSize(std::int32_t v) { messageSize_ = v; }
  const std::wstring& FunctionLibrary() const { return functionLibrary_; }
  bool SetFunctionLibrary(std::wstring_view text) { return SetText(functionLibrary_, text); }
  const std::wstring& MonitorLibrary() const { return monitorLibrary_; }
  bool SetMonitorLibrary(std::wstring_view text) { return SetText(monitorLibrary_, text); }
  std::int32_t StoreWithPrimaryAPI() const { return storeWithPrimaryAPI_; }
  void SetStoreWithPrimaryAPI(std::int32_t v) { storeWithPrimaryAPI_ = v; }
  std::uint32_t Version() const { return version_; }
  void SetVersion(std::uint32_t v) { version_ = v; }
  // The monitor library for a 64-bit (AMD64) implementation library; empty
  // where none is installed (32-bit Windows).
  const std::wstring& MonitorLibrary64() const { return monitorLibrary64_; }
  bool SetMonitorLibrary64(std::wstring_view text) { return SetText(monitorLibrary64_, text); }
  RegistryView View() const { return view_; }
  void SetView(RegistryView v) { view_ = v; }
  J2534Version ApiVersion() const { return apiVersion_; }
  void SetApiVersion(J2534Version v) { apiVersion_ = v; }

  // The settings subset as one record, and back (a text that does not fit is refused).
  MonitoringSettings Settings() const;
  bool SetSettings(const MonitoringSettings& settings);

 private:
  static bool SetText(std::wstring& field, std::wstring_view text);

  std::wstring identifier_;
  std::int32_t monitoringEnabled_ = 0;
  std::int32_t libraryFound_ = 0;
  std::int32_t logDebugView_ = 0;
  std::int32_t logEntryExit_ = 0;
  std::int32_t overwrite_ = 1;
  std::int32_t disableErrBufferEmpty_ = 1;
  std::int32_t outputFormat_ = 1;
  std::wstring outputFile_;
  std::int32_t messageSize_ = 0;
  std::wstring functionLibrary_;
  std::wstring monitorLibrary_;
  std::int32_t storeWithPrimaryAPI_ = kStoreWithPrimaryUnset;
  std::uint32_t version_ = 0;
  std::wstring monitorLibrary64_;
  RegistryView view_ = RegistryView::k32;
  J2534Version apiVersion_ = J2534Version::k0404;
};

// The message sizes offered for one API. Entry 0 stands for the whole message.
// The base keeps the open per-user MessageSizes key (`userKey`) and `version`.
struct MessageSizeList : VersionedKeyState {
  std::array<DWORD, kMessageSizeSlots> sizes{};
  DWORD count = 0;
};

// Everything the dialog holds for monitoring.
struct MonitoringState {
  std::array<ApiImplementation, kMaxImplementations> J2534;
  int J2534Count = 0;
  std::array<ApiImplementation, kMaxImplementations> Pdu;
  int PduCount = 0;
  ApiImplementation J2534Defaults;
  ApiImplementation PduDefaults;
  MessageSizeList J2534MessageSizes;
  MessageSizeList PduMessageSizes;
  std::wstring LogFileLocation;
  int PduSupportingIndex = -1;
  std::wstring PduCaption;
  // Tab captions per ApiKind (index 0 J2534, 1 PDU), one per implementation in table order.
  std::array<std::vector<std::wstring>, 2> Captions;

  std::array<ApiImplementation, kMaxImplementations>& Table(ApiKind kind) {
    return kind == ApiKind::J2534 ? J2534 : Pdu;
  }
  int& Count(ApiKind kind) { return kind == ApiKind::J2534 ? J2534Count : PduCount; }
  MessageSizeList& MessageSizes(ApiKind kind) {
    return kind == ApiKind::J2534 ? J2534MessageSizes : PduMessageSizes;
  }
  ApiImplementation& Defaults(ApiKind kind) {
    return kind == ApiKind::J2534 ? J2534Defaults : PduDefaults;
  }
  std::vector<std::wstring>& CaptionsOf(ApiKind kind) {
    return Captions[static_cast<int>(kind)];
  }
};

// AsidePath and SettingsKeyName: monitoring/path_rules.h.

// True when a file (not a folder) exists at `path`. Wildcards and stream names
// never match.
bool FileExistsAt(const std::wstring& path);
// True when the library exists at *path, or else in one of the folders of the
// PATH environment variable; in the latter case *path becomes the full path
// found. A combined path that does not fit 260 characters is skipped, and a
// path with a drive is never looked for on PATH (PathSearchCandidates).
bool FindLibraryOnPath(std::wstring* path);
// The same with the PATH value given (the environment variable's form).
bool FindLibraryInFolders(std::wstring* path, const std::wstring& pathVariable);
// FindLibraryOnPath for a library of `view`: every probe goes to the path as
// the applications of that view see it (FileSystemPath); *path keeps their
// spelling (C:\Windows\System32\..., never ...\Sysnative\...).
bool FindLibraryOnPath(std::wstring* path, RegistryView view);

// The path through which this process reaches the file that applications of
// `view` know as `path`: for the native view seen from a 32-bit process on
// 64-bit Windows, a path in the system folder goes through Sysnative, past the
// file-system redirection to SysWOW64 (NativeSystemPath); any other path is
// returned as it is.
std::wstring FileSystemPath(const std::wstring& path, RegistryView view);

// OutputFormatInfo and FindOutputFormat: monitoring/format_rules.h.

}  // namespace varrow
