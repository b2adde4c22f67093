#include "installer/pdu_root_file.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace varrow {
namespace {

constexpr wchar_t kPduKey[] = L"SOFTWARE\\D-PDU API";
const std::string kOther =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<MVCI_PDU_API_ROOT>\n  <MVCI_PDU_API>\n"
    "    <SHORT_NAME>OTHER_VCI</SHORT_NAME>\n    <LIBRARY_FILE URI=\"file:///C:/Other/pdu.dll\"/>\n"
    "  </MVCI_PDU_API>\n</MVCI_PDU_API_ROOT>\n";

// What the package does to the root file a view names, whatever stands there:
// our entry in and out again with every other byte kept, the file and value
// made and removed only where there was none, and anything it cannot edit
// safely left byte for byte as it was (a link in the file's place: the
// installer end to end, since Wine makes no link here). A rollback puts back
// what the setup found.
TEST(PduRootFile, EditsOnlyOurEntry) {
  enum Seed { kNone, kText, kFolder, kHardLink, kDwordValue };
  std::string crlf = "\xEF\xBB\xBF";
  for (const char ch : kOther) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  std::string ours = pduroot::AddOrUpdate(kOther, {}).text;  // an entry of ours with empty fields
  const struct {
    const char* what;
    Seed seed;
    std::string bytes;
    PduRootStep add, remove;
    bool backAfterRemove;  // the file is the seed again after the removal
  } cases[] = {
      {"no value, no file", kNone, "", PduRootStep::kAdded, PduRootStep::kFileRemoved, false},
      {"another vendor's file", kText, kOther, PduRootStep::kAdded, PduRootStep::kRemoved, true},
      {"CRLF with a byte order mark", kText, crlf, PduRootStep::kAdded, PduRootStep::kRemoved, true},
      {"ours already there", kText, ours, PduRootStep::kUpdated, PduRootStep::kRemoved, false},
      {"an empty file", kText, "", PduRootStep::kAdded, PduRootStep::kRemoved, false},
      {"not UTF-8", kText, "<MVCI_PDU_API_ROOT>\xE9</MVCI_PDU_API_ROOT>", PduRootStep::kRefused, PduRootStep::kRefused, true},
      {"UTF-16", kText, std::string("\xFF\xFE<\0M\0", 6), PduRootStep::kRefused, PduRootStep::kRefused, true},
      {"malformed", kText, "<MVCI_PDU_API_ROOT><MVCI_PDU_API>", PduRootStep::kRefused, PduRootStep::kRefused, true},
      {"huge", kText, "<MVCI_PDU_API_ROOT><!--" + std::string(1 << 20, ' ') + "--></MVCI_PDU_API_ROOT>",
       PduRootStep::kRefused, PduRootStep::kRefused, true},
      {"a folder in its place", kFolder, "", PduRootStep::kRefused, PduRootStep::kRefused, false},
      {"a hard link", kHardLink, kOther, PduRootStep::kRefused, PduRootStep::kRefused, true},
      {"a value of another type", kDwordValue, "", PduRootStep::kRefused, PduRootStep::kRefused, false},
  };
  for (const auto& c : cases) {
    test::ScratchRegistry reg;
    test::ScratchDir dir;
    PduRootTarget target;
    target.defaultFile = dir / L"made\\pdu_api_root.xml";
    target.entry.libraryUri = pduroot::FileUri("C:\\OVRA\\OvraPdu32.dll");
    const std::wstring root = dir / L"root.xml";
    bool seeded = true;
    if (c.seed == kText || c.seed == kHardLink) seeded = test::WriteFileText(dir / L"seed.xml", c.bytes);
    if (c.seed == kText) seeded = seeded && MoveFileW((dir / L"seed.xml").c_str(), root.c_str());
    if (c.seed == kHardLink) seeded = seeded && CreateHardLinkW(root.c_str(), (dir / L"seed.xml").c_str(), nullptr);
    if (c.seed == kFolder) seeded = test::MakeDir(root);
    ASSERT_TRUE(seeded) << c.what;
    if (c.seed == kDwordValue) test::SetDword(reg.Machine(), kPduKey, L"Root File", 1);
    else if (c.seed != kNone) test::SetString(reg.Machine(), kPduKey, L"Root File", root);
    const std::wstring file = c.seed == kNone ? target.defaultFile : root;

    EXPECT_EQ(AddPduRootEntry(reg.Machine(), target).step, c.add) << c.what;
    std::string now;
    if (c.add == PduRootStep::kRefused && c.seed != kFolder && c.seed != kDwordValue) {
      ASSERT_TRUE(test::ReadFileText(file, &now)) << c.what;
      EXPECT_TRUE(now == c.bytes) << c.what << ": left byte for byte";
    }
    if (c.add == PduRootStep::kAdded || c.add == PduRootStep::kUpdated) {
      ASSERT_TRUE(test::ReadFileText(file, &now)) << c.what;
      const pduroot::Scan scan = pduroot::ScanRootFile(now);
      ASSERT_EQ(scan.problem, nullptr) << c.what;
      EXPECT_EQ(scan.entries.back().libraryUri, "file:///C:/OVRA/OvraPdu32.dll") << c.what;
      EXPECT_EQ(test::ValueExists(reg.Machine(), kPduKey, L"Root File"), true) << c.what;
    }
    // Removal (after the install's records are committed).
    ForgetPduRootRecords(reg.Machine());
    const std::string beforeRemoval = now;
    EXPECT_EQ(RemovePduRootEntry(reg.Machine(), target).step, c.remove) << c.what;
    if (c.backAfterRemove) {
      ASSERT_TRUE(test::ReadFileText(file, &now)) << c.what;
      EXPECT_TRUE(now == c.bytes) << c.what << ": the seed again";
    }
    if (c.remove == PduRootStep::kFileRemoved) {
      EXPECT_FALSE(test::FileExists(file)) << c.what;
      EXPECT_FALSE(test::KeyExists(reg.Machine(), kPduKey)) << c.what << ": the value we made is gone";
      // A rollback of that removal puts the file and value back.
      EXPECT_EQ(RestorePduRoot(reg.Machine(), false).step, PduRootStep::kRestored) << c.what;
      ASSERT_TRUE(test::ReadFileText(file, &now)) << c.what;
      EXPECT_TRUE(now == beforeRemoval) << c.what << ": restored";
      EXPECT_TRUE(test::ValueExists(reg.Machine(), kPduKey, L"Root File")) << c.what;
    }
    ForgetPduRootRecords(reg.Machine());
    EXPECT_FALSE(test::KeyExists(reg.Machine(), L"SOFTWARE\\OVRA")) << c.what << ": no record is left";
  }
}

// A rollback of an install puts another vendor's file back byte for byte and
// takes away the file and value the install made.
TEST(PduRootFile, RollbackPutsBackWhatWasThere) {
  for (const bool existed : {true, false}) {
    test::ScratchRegistry reg;
    test::ScratchDir dir;
    PduRootTarget target;
    target.defaultFile = dir / L"pdu_api_root.xml";
    if (existed) {
      ASSERT_TRUE(test::WriteFileText(target.defaultFile, kOther));
      test::SetString(reg.Machine(), kPduKey, L"Root File", target.defaultFile);
    }
    ASSERT_EQ(AddPduRootEntry(reg.Machine(), target).step, PduRootStep::kAdded);
    ASSERT_EQ(AddPduRootEntry(reg.Machine(), target).step, PduRootStep::kUnchanged);
    EXPECT_EQ(RestorePduRoot(reg.Machine(), false).step, PduRootStep::kRestored);
    std::string now;
    EXPECT_EQ(test::ReadFileText(target.defaultFile, &now), existed);
    EXPECT_TRUE(!existed || now == kOther);
    EXPECT_EQ(test::ValueExists(reg.Machine(), kPduKey, L"Root File"), existed);
  }
}

}  // namespace
}  // namespace varrow
