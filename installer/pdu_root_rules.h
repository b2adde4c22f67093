// The D-PDU API root description file, as text: how the package finds its
// entries, adds or updates its own and takes it out again, never touching a
// byte of anything else in the file. No Windows here: these rules are fuzzed
// natively (tests/native/pdu_root_fuzz.cpp).
//
// The file (its path is HKLM\SOFTWARE\D-PDU API "Root File" of each registry
// view) is XML, UTF-8:
//   <MVCI_PDU_API_ROOT MVCI_PART2_STANDARD_VERSION="2.2.0">
//     <MVCI_PDU_API>                      one per installed D-PDU API
//       <SHORT_NAME>...</SHORT_NAME>      the name applications choose it by
//       <DESCRIPTION>, <SUPPLIER_NAME>    for people
//       <LIBRARY_FILE URI="file:///C:/..."/>
//       <MODULE_DESCRIPTION_FILE URI=".."/>, <CABLE_DESCRIPTION_FILE URI=".."/>
//     </MVCI_PDU_API>
//   </MVCI_PDU_API_ROOT>
// The file is read with a small strict scanner, not a full XML reader: what it
// cannot account for exactly (another encoding, a document type declaration,
// tags that do not balance, another document element) is refused, so that an
// edit never rests on a misreading of another vendor's entry.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varrow::pduroot {

// A larger file is refused (real ones hold a few entries of a few hundred bytes).
inline constexpr std::size_t kMaxRootFileBytes = 1024 * 1024;
// At most this many entries, and elements nested this deep.
inline constexpr std::size_t kMaxEntries = 1024;
inline constexpr std::size_t kMaxDepth = 32;
// The package's entry is the one with this SHORT_NAME.
inline constexpr char kOurShortName[] = "OVRA_VCI";

// The package's entry: the texts are plain (escaped when written); the three
// files are file: URIs (FileUri).
struct OurEntry {
  std::string shortName = kOurShortName;
  std::string description, supplier;
  std::string libraryUri, moduleUri, cableUri;
};

// One MVCI_PDU_API element of the file: its bytes are [begin, end).
struct EntrySpan {
  std::size_t begin = 0, end = 0;
  std::string shortName;   // SHORT_NAME's text, trimmed (entity references as written)
  std::string libraryUri;  // LIBRARY_FILE's URI attribute, the five XML entities decoded
};

// What the scanner found; `problem` is set (and the rest is not to be used)
// when the file is refused.
struct Scan {
  const char* problem = nullptr;
  std::size_t rootClose = 0;  // offset of "</MVCI_PDU_API_ROOT"
  std::vector<EntrySpan> entries;
};

// Scans `text` (the whole file). Refused: larger than kMaxRootFileBytes, not
// UTF-8 (a UTF-8 byte order mark is fine), a NUL, a DOCTYPE, an unterminated
// or unbalanced construct, text outside the document element, a document
// element other than MVCI_PDU_API_ROOT (or one closed at once), more than
// kMaxEntries entries or kMaxDepth levels.
Scan ScanRootFile(std::string_view text);

enum class Outcome { kWritten, kUnchanged, kRefused };
struct Edit {
  Outcome outcome = Outcome::kRefused;
  std::string text;  // the file's new content (kWritten)
  const char* problem = nullptr;  // why it was refused
};

// The file the package makes where there is none: the declaration and an
// empty document element.
std::string EmptyRootFile();
// Our entry's element, its lines after the first indented by `indent` + 2
// spaces and ended by `newline`.
std::string EntryElement(const OurEntry& ours, std::string_view indent, std::string_view newline);

// Adds our entry (before the document element's end tag, on a line of its own
// where that tag stands on one) or replaces the one entry of our SHORT_NAME;
// every other byte of `text` stays. An empty or blank `text` becomes
// EmptyRootFile() with our entry. Refused: what ScanRootFile refuses, and our
// SHORT_NAME on more than one entry.
Edit AddOrUpdate(std::string_view text, const OurEntry& ours);
// Takes out the one entry of `shortName` (with the line it stood on, when it
// stood alone on it); kUnchanged when there is none. For any file without our
// entry, RemoveEntry(AddOrUpdate(file)) gives the file back byte for byte.
Edit RemoveEntry(std::string_view text, std::string_view shortName);

// "C:\Program Files\x.dll" (UTF-8) -> "file:///C:/Program%20Files/x.dll":
// backslashes become slashes; every byte but letters, digits and "-._~/:" is
// percent-encoded (so the URI needs no XML escaping).
std::string FileUri(std::string_view path);
// The local path a file: URI names ("file:///C:/..." or
// "file://localhost/C:/..."), percent-decoded, with backslashes; false for any
// other form, a "%00", a bad escape or a result that is not "X:\..." or longer
// than 32767 bytes.
bool PathFromFileUri(std::string_view uri, std::string* path);

}  // namespace varrow::pduroot
