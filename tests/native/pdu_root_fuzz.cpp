// Fuzz target of the D-PDU root description file rules (installer/pdu_root_rules.h).
//   rule 0: any bytes as a root file
//   rule 1: root files put together from pieces (entries, ours among them,
//           comments, CDATA, blank lines, CRLF, stray bytes)
//   rule 2: file: URIs made from any path and read back
// A broken promise aborts (and the sanitizers catch any bad access).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "installer/pdu_root_rules.h"
#include "tests/native/fuzz_promise.h"

using namespace varrow::pduroot;

namespace {

int Rule() {
  const char* rule = std::getenv("VARROW_FUZZ_RULE");
  return rule != nullptr ? std::atoi(rule) : 0;
}

OurEntry Ours() {
  OurEntry e;
  e.description = "Simulated <VCI> & co";
  e.supplier = "OVRA";
  e.libraryUri = FileUri("C:\\Program Files (x86)\\OVRA\\VCI\\PDU\\OvraPdu32.dll");
  e.moduleUri = FileUri("C:\\Program Files (x86)\\OVRA\\VCI\\PDU\\OvraVci_MDF.xml");
  e.cableUri = FileUri("C:\\Program Files (x86)\\OVRA\\VCI\\PDU\\OvraVci_CDF.xml");
  return e;
}

std::string Built(const std::uint8_t* data, std::size_t size) {
  static const char* const kPieces[] = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
      "<MVCI_PDU_API_ROOT>",
      "</MVCI_PDU_API_ROOT>",
      "<MVCI_PDU_API><SHORT_NAME>OTHER</SHORT_NAME><LIBRARY_FILE URI=\"file:///C:/o.dll\"/></MVCI_PDU_API>",
      "<MVCI_PDU_API>\r\n    <SHORT_NAME> OVRA_VCI </SHORT_NAME>\r\n  </MVCI_PDU_API>",
      "<MVCI_PDU_API><SHORT_NAME>OV<!-- x -->RA_VCI</SHORT_NAME></MVCI_PDU_API>",
      "<MVCI_PDU_API><SHORT_NAME><![CDATA[B]]></SHORT_NAME></MVCI_PDU_API>",
      "<MVCI_PDU_API/>",
      "\n", "\r\n", "  ", "\t",
      "<!-- <MVCI_PDU_API> -->",
      "<X a='1' b=\"&amp;\">t</X>",
      "<![CDATA[</MVCI_PDU_API_ROOT>]]>",
      "<MVCI_PDU_API>",
      "</MVCI_PDU_API>",
      "<SHORT_NAME>OVRA_VCI</SHORT_NAME>",
      "\xEF\xBB\xBF",
      "\xC3\xA9",
      "<",
      ">",
      "&lt;",
  };
  constexpr std::size_t kCount = sizeof(kPieces) / sizeof(kPieces[0]);
  // Mostly inside a document element, so that most files are good ones.
  const bool wrap = size > 0 && (data[0] & 3) != 0;
  std::string text = wrap ? std::string(kPieces[0]) + kPieces[1] : "";
  bool ours = false;
  for (std::size_t i = 1; i < size; ++i) {
    // Mostly pieces that keep the file good (3 to 19), now and then any.
    if (data[i] == 0xFF) text.push_back(static_cast<char>(data[i] & 0x7F));  // a stray byte
    else if (data[i] == 0xFE) text += kPieces[data[i] % kCount];
    else if (const std::size_t k = data[i] % 17 + 3; k != 15 && k != 16) {
      // Our name on one entry at most (more is refused, rightly, but tells nothing more).
      if (k == 4 || k == 5) {
        if (ours) continue;
        ours = true;
      }
      text += kPieces[k];
    }
  }
  return wrap ? text + kPieces[2] + "\n" : text;
}

// The entries other than ours, as bytes, in order.
std::vector<std::string> Others(const std::string& text, const Scan& scan) {
  std::vector<std::string> out;
  for (const EntrySpan& e : scan.entries)
    if (e.shortName != kOurShortName) out.push_back(text.substr(e.begin, e.end - e.begin));
  return out;
}

void CheckScan(const std::string& text, const Scan& scan) {
  if (scan.problem != nullptr) {
    PROMISE("scan", scan.entries.empty());
    return;
  }
  std::size_t last = 0;
  for (const EntrySpan& e : scan.entries) {
    PROMISE("scan", e.begin >= last && e.begin < e.end && e.end <= scan.rootClose);
    PROMISE("scan", text.compare(e.begin, 13, "<MVCI_PDU_API") == 0 && text[e.end - 1] == '>');
    last = e.end;
  }
  PROMISE("scan", text.compare(scan.rootClose, 19, "</MVCI_PDU_API_ROOT") == 0);
}

void CheckEdits(const std::string& text) {
  const Scan before = ScanRootFile(text);
  CheckScan(text, before);
  const OurEntry ours = Ours();
  const Edit added = AddOrUpdate(text, ours);
  if (added.outcome == Outcome::kRefused) {
    PROMISE("add", added.problem != nullptr);
    return;
  }
  const Scan after = ScanRootFile(added.text);
  CheckScan(added.text, after);
  PROMISE("add", after.problem == nullptr);
  std::size_t mine = 0;
  for (const EntrySpan& e : after.entries) mine += e.shortName == kOurShortName;
  PROMISE("add", mine == 1);
  bool blank = true;
  for (const char c : text) blank = blank && (c == ' ' || c == '\t' || c == '\r' || c == '\n');
  if (!blank) {
    // Every other vendor's entry is there, byte for byte and in its order.
    PROMISE("add", before.problem == nullptr && Others(text, before) == Others(added.text, after));
    bool hadOurs = false;
    for (const EntrySpan& e : before.entries) hadOurs = hadOurs || e.shortName == kOurShortName;
    const Edit removed = RemoveEntry(added.text, kOurShortName);
    PROMISE("remove", removed.outcome == Outcome::kWritten);
    if (!hadOurs) PROMISE("remove", removed.text == text);
    const Scan left = ScanRootFile(removed.text);
    PROMISE("remove", left.problem == nullptr && Others(removed.text, left) == Others(text, before));
  } else {
    PROMISE("remove", RemoveEntry(added.text, kOurShortName).text == EmptyRootFile());
  }
  PROMISE("add twice", AddOrUpdate(added.text, ours).outcome == Outcome::kUnchanged);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  switch (Rule()) {
    case 0:
      CheckEdits(std::string(reinterpret_cast<const char*>(data), size));
      break;
    case 1:
      CheckEdits(Built(data, size));
      break;
    default: {
      std::string path = "C:\\";
      for (std::size_t i = 0; i < size; ++i)
        if (data[i] != 0 && data[i] != '/') path.push_back(static_cast<char>(data[i]));
      std::string back;
      PROMISE("uri", PathFromFileUri(FileUri(path), &back) && back == path);
      const std::string raw(reinterpret_cast<const char*>(data), size);
      if (PathFromFileUri(raw, &back)) PROMISE("uri", back.size() >= 3 && back[1] == ':' && back.find('\0') == std::string::npos);
      break;
    }
  }
  return 0;
}
