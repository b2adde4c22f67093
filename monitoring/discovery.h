// Finds the installed implementation libraries of both APIs once when the main
// dialog starts, and loads their logging settings and message-size lists.
// Registry failures are silent: a missing key or value leaves the initial value.
#pragma once

#include <windows.h>

#include <string>

#include "monitoring/api_implementation.h"
#include "settings/registry.h"

namespace varrow {

// The J2534 04.04 registration below the machine root: one subkey per device.
inline constexpr wchar_t kJ2534RegistrationPath[] = L"SOFTWARE\\PassThruSupport.04.04";
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

// Fills the J2534 table (at most 20; further device keys are ignored), the
// captions, PduSupportingIndex and PduCaption, then reads the J2534 settings.
void DiscoverJ2534Implementations(MonitoringState& state, const RegistryRoots& roots, int brandId,
                                  const std::wstring& text131);
// Fills PDU entry 0 from the vendor key, its caption, then reads the PDU settings.
void DiscoverPduImplementation(MonitoringState& state, const RegistryRoots& roots, int brandId,
                               const std::wstring& text131);

// Creates or opens the user's Monitoring\<kind> key (persistent). A new key gets
// the message-size list; otherwise each implementation's settings subkey is read.
void ReadImplementationSettings(MonitoringState& state, const RegistryRoots& roots, ApiKind kind);
// Reads the nine settings values from `key`; a missing or unfitting value
// leaves its field unchanged.
void ReadMonitoringSettings(HKEY key, ApiImplementation& record);
// Reads the machine's LogFileLocation into the state (unchanged when missing).
void ReadLogFileLocation(MonitoringState& state, const RegistryRoots& roots);

}  // namespace varrow
