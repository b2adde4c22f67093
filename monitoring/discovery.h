// Finds the installed implementation libraries of both APIs once when the main
// dialog starts, and loads their logging settings and message-size lists.
// Registry failures are silent: a missing key or value leaves the initial value.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "monitoring/api_implementation.h"
#include "settings/registry.h"

namespace varrow {

// The J2534 04.04 registration below the machine root: one subkey per device.
inline constexpr wchar_t kJ2534RegistrationPath[] = L"SOFTWARE\\PassThruSupport.04.04";
// The J2534 v05.00 registration: the same shape and values as 04.04.
inline constexpr wchar_t kJ2534V05RegistrationPath[] = L"SOFTWARE\\PassThruSupport.05.00";
// The caption additions that tell tabs of one name apart.
inline constexpr wchar_t kCaption64Bit[] = L" (64-bit)";
inline constexpr wchar_t kCaptionV05[] = L" (05.00)";

// One view of the machine hive: its root, which view it is, and the access
// flag that every open below it carries (MachineViewAccess).
struct MachineViewRoot {
  HKEY root;
  RegistryView view;
  REGSAM access;
};
// The views to read: the process's own (32-bit) first, then the native 64-bit
// one where there is one (roots.machine64).
std::vector<MachineViewRoot> MachineViews(const RegistryRoots& roots);
// The J2534 registration key of a version.
const wchar_t* J2534RegistrationPath(J2534Version version);
// The vendor's PDU API registration, below the product key of the machine root.
inline constexpr wchar_t kPduSupportSection[] = L"PDU API Support";
// The brand whose PDU-supporting device carries the localised caption text131.
constexpr int kCaptionBrandId = 1;

// Fills `state`: both message-size lists, both defaults records, the J2534 and
// PDU implementations with their settings and captions, and LogFileLocation.
// `text131` is the localised "Torva - Link" caption used for brand id 1.
void LoadMonitoringConfiguration(MonitoringState& state, const RegistryRoots& roots, int brandId,
                                 const std::wstring& text131);

// Loads one API's message-size list (factory fallback included).
void LoadMessageSizeList(MessageSizeList& list, const RegistryRoots& roots, ApiKind kind);
// The content rule of a MessageSizes key: values named "MessageSizeNN" fill
// sizes[NN] (positions outside 0..9 ignored); count is the number read.
void ReadMessageSizeValues(HKEY source, MessageSizeList& list);

// Reads the machine defaults of one API (MonitorLibrary and the settings); the
// record stays unchanged when the key is missing.
void ReadDefaultImplementation(ApiImplementation& record, const RegistryRoots& roots, ApiKind kind);

// Fills the J2534 table from four sources in this order: 32-bit view 04.04,
// 32-bit 05.00, native view 04.04, native 05.00 (at most kMaxImplementations;
// further device keys are ignored); each record keeps its view and version.
// Captions are "Vendor - Name"; a native-view one whose text is also a 32-bit
// one's gets kCaption64Bit, a 05.00 one whose text is also a 04.04 one's gets
// kCaptionV05. PduSupportingIndex and PduCaption come from the 04.04
// registrations of the 32-bit view, or of the native view when the 32-bit
// view has none. Then reads the J2534 settings.
void DiscoverJ2534Implementations(MonitoringState& state, const RegistryRoots& roots, int brandId,
                                  const std::wstring& text131);
// Fills PDU entry 0 from the vendor key of the 32-bit view and the next entry
// from the native view's, with their captions (the native one with
// kCaption64Bit when both exist), then reads the PDU settings.
void DiscoverPduImplementation(MonitoringState& state, const RegistryRoots& roots, int brandId,
                               const std::wstring& text131);

// Creates or opens the user's Monitoring\<kind> key (persistent), and
// Monitoring\<kind> (64-bit) when there are native-view implementations. A new
// key gets the message-size list; otherwise each implementation of that view
// has its settings subkey read.
void ReadImplementationSettings(MonitoringState& state, const RegistryRoots& roots, ApiKind kind);
// Reads the nine settings values from `key`; a missing or unfitting value
// leaves its field unchanged.
void ReadMonitoringSettings(HKEY key, ApiImplementation& record);
// Reads the machine's LogFileLocation into the state (unchanged when missing).
void ReadLogFileLocation(MonitoringState& state, const RegistryRoots& roots);

}  // namespace varrow
