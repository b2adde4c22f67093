// The rules of the monitoring pages without a window: default log names, the
// extension rule, the output-file check, dropped files, message-size texts and
// the enabling table of both pages.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "monitoring/monitoring_pages.h"
#include "resources/resource.h"
#include "tests/test_support.h"

namespace varrow {
namespace {

// ---------------------------------------------------------------- default names

ApiImplementation Record(const std::wstring& library, std::int32_t format,
                         const std::wstring& identifier = L"") {
  ApiImplementation r;
  r.SetFunctionLibrary(library);
  r.SetOutputFormat(format);
  r.SetIdentifier(identifier);
  return r;
}

TEST(PagesDefaultNames, J2534AndPduNamesPerBrandAndFormat) {
  struct Case {
    ApiKind kind;
    std::wstring location;
    ApiImplementation record;
    int brand;
    std::wstring expected;
  } cases[] = {
      {ApiKind::J2534, L"D:\\Logs\\", Record(L"C:\\Dir\\lib.dll", 2), 0, L"D:\\Logs\\J2534\\lib.xml"},
      {ApiKind::J2534, L"D:\\Logs\\", Record(L"C:\\Dir\\lib.dll", 1), 1, L"D:\\Logs\\J2534\\lib.txt"},
      {ApiKind::J2534, L"D:\\Logs\\", Record(L"lib.v2.dll", 4), 0, L"D:\\Logs\\J2534\\lib.v2.html"},
      // A code outside 1..4 leaves the library's own extension.
      {ApiKind::J2534, L"D:\\Logs\\", Record(L"C:\\Dir\\lib.dll", 7), 0, L"D:\\Logs\\J2534\\lib.dll"},
      // A dot in a folder of the location is kept.
      {ApiKind::J2534, L"D:\\my.logs\\", Record(L"C:\\Dir\\lib", 2), 0, L"D:\\my.logs\\J2534\\lib.xml"},
      {ApiKind::PDU, L"D:\\Logs\\", Record(L"C:\\p.dll", 1, kPduIdentifier), 1, L"D:\\Logs\\PDU\\Torva-Link.txt"},
      {ApiKind::PDU, L"D:\\Logs\\", Record(L"C:\\p.dll", 1, kPduIdentifier), 2, L"D:\\Logs\\PDU\\Halden-VCI.txt"},
      {ApiKind::PDU, L"D:\\Logs\\", Record(L"C:\\p.dll", 1, kPduIdentifier), 5, L"D:\\Logs\\PDU\\OVRA-VCI.txt"},
      {ApiKind::PDU, L"D:\\Logs\\", Record(L"C:\\p.dll", 2, kPduIdentifier), 0, L"D:\\Logs\\PDU\\OVRA-VCI.xml"},
      // Another identifier keeps the vendor's name whatever the brand.
      {ApiKind::PDU, L"D:\\Logs\\", Record(L"C:\\p.dll", 1, L"Other"), 1, L"D:\\Logs\\PDU\\OVRA-VCI.txt"},
      // The brand name replaces the file name only, not a folder named like it.
      {ApiKind::PDU, L"C:\\OVRA-VCI\\", Record(L"C:\\p.dll", 3, kPduIdentifier), 1, L"C:\\OVRA-VCI\\PDU\\Torva-Link.csv"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DefaultOutputFile(c.kind, c.location, c.record, c.brand), c.expected)
        << c.location << " brand " << c.brand;
  }
}

TEST(PagesDefaultNames, NameThatWouldNotFitIsRefusedNotCut) {
  // "J2534\lib.dll" is 13 characters: a location of 246 gives 259 (fits).
  const std::wstring fits(246, L'a');
  EXPECT_EQ(DefaultJ2534LogName(fits, L"C:\\lib.dll").size(), 259u);
  EXPECT_EQ(DefaultJ2534LogName(fits + L"a", L"C:\\lib.dll"), L"");
  // The format step lengthens "lib.dll" to "lib.html": refused, not cut.
  EXPECT_EQ(DefaultOutputFile(ApiKind::J2534, fits, Record(L"C:\\lib.dll", 4), 0), L"");
  EXPECT_EQ(DefaultOutputFile(ApiKind::J2534, fits, Record(L"C:\\lib.dll", 1), 0).size(), 259u);
  // "PDU\Torva-Link.txt" is 18 characters.
  EXPECT_EQ(DefaultPduLogName(std::wstring(242, L'b'), 1, kPduIdentifier), L"");
  EXPECT_EQ(DefaultPduLogName(std::wstring(241, L'b'), 1, kPduIdentifier).size(), 259u);
}

// ---------------------------------------------------------------- extension rule

TEST(PagesFormatChange, ReplacesTheFileNamesExtensionOnly) {
  struct Case {
    std::wstring text;
    std::int32_t code;
    std::wstring expected;
  } cases[] = {
      {L"D:\\my.logs\\a.txt", 2, L"D:\\my.logs\\a.xml"},
      {L"logfile", 2, L"logfile.xml"},
      {L"D:\\my.logs\\a", 3, L"D:\\my.logs\\a.csv"},
      {L"D:/my.logs/a", 1, L"D:/my.logs/a.txt"},
      {L"a.txt", 4, L"a.html"},
      {L"a.html", 1, L"a.txt"},
      {L"a.b.txt", 2, L"a.b.xml"},
      {L"", 2, L""},                              // nothing to rename
      {L"D:\\logs\\", 2, L"D:\\logs\\"},          // no file name
      {L"D:\\logs\\a.txt", 0, L"D:\\logs\\a.txt"},  // unknown codes change nothing
      {L"D:\\logs\\a.txt", 5, L"D:\\logs\\a.txt"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ApplyFormatExtension(c.text, c.code), c.expected) << c.text << " code " << c.code;
}

// ---------------------------------------------------------------- dropped files

TEST(PagesDroppedFile, ExtensionOfTheFileNameMustMatchTheFormat) {
  struct Case {
    std::wstring path;
    std::int32_t code;
    bool accepted;
  } cases[] = {
      {L"E:\\logs\\run.XML", 2, true},
      {L"E:\\logs\\run.XML", 1, false},
      {L"E:\\logs\\run.Html", 4, true},
      {L"E:\\logs\\run.htm", 4, false},
      {L"E:\\logs\\run.csv", 3, true},
      {L"E:\\my.logs\\run.txt", 1, true},
      {L"E:\\my.logs\\run", 1, false},   // dot only in a folder
      {L"E:\\my.logs\\run", 9, false},   // no extension at all
      {L"E:\\logs\\run.", 9, false},     // a bare dot
      {L"E:\\logs\\run.bin", 9, true},   // unknown format: no extension check
      {L"E:\\logs\\run.txt.xml", 2, true},
      {L"E:\\logs\\run.xml.txt", 2, false},
      {L"E:\\" + std::wstring(253, L'r') + L".txt", 1, false},  // 260 characters
      {L"E:\\" + std::wstring(252, L'r') + L".txt", 1, true},   // 259 characters
      {L"", 1, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DroppedFileAccepted(c.path, c.code), c.accepted) << c.path << " code " << c.code;
}

TEST(PagesDroppedFile, FolderIsRefused) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::MakeDir(dir / L"looks.xml"));
  EXPECT_FALSE(DroppedFileAccepted(dir / L"looks.xml", 2));
  ASSERT_TRUE(test::WriteFileText(dir / L"real.xml", "x"));
  EXPECT_TRUE(DroppedFileAccepted(dir / L"real.xml", 2));
}

// ---------------------------------------------------------------- output-file check

class PagesResolveOutputFile : public ::testing::Test {
 protected:
  const std::wstring kSentinel = L"untouched";
  test::ScratchDir dir;
};

TEST_F(PagesResolveOutputFile, ExistingFolderGivesTheFullPath) {
  std::wstring full = kSentinel;
  // Blanks trimmed, "/" read as "\", "..\" resolved.
  EXPECT_EQ(ResolveOutputFile(L"  " + dir.Path() + L"/sub/../a.txt \t", &full), OutputFileError::None);
  EXPECT_EQ(full, dir / L"a.txt");
}

TEST_F(PagesResolveOutputFile, RelativeTextIsStoredAsTheFullPath) {
  wchar_t old[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, old);
  ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
  std::wstring full = kSentinel;
  const OutputFileError result = ResolveOutputFile(L"rel.txt", &full);
  SetCurrentDirectoryW(old);
  EXPECT_EQ(result, OutputFileError::None);
  EXPECT_EQ(full, dir / L"rel.txt");
}

TEST_F(PagesResolveOutputFile, RelativeTextWhoseFullPathDoesNotFitIsRefused) {
  wchar_t old[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, old);
  ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
  const std::wstring typed = std::wstring(250, L'z') + L".txt";  // fits as typed
  std::wstring full = kSentinel;
  const OutputFileError result = ResolveOutputFile(typed, &full);
  SetCurrentDirectoryW(old);
  EXPECT_EQ(result, OutputFileError::TooLong);
  EXPECT_EQ(full, kSentinel);
}

TEST_F(PagesResolveOutputFile, FileInTheDriveRootIsValid) {
  std::wstring full = kSentinel;
  EXPECT_EQ(ResolveOutputFile(L"C:\\varrow-root-log.txt", &full), OutputFileError::None);
  EXPECT_EQ(full, L"C:\\varrow-root-log.txt");
}

TEST_F(PagesResolveOutputFile, OneMissingFolderLevelIsCreated) {
  std::wstring full = kSentinel;
  EXPECT_EQ(ResolveOutputFile(dir / L"NewFolder\\x.txt", &full), OutputFileError::None);
  EXPECT_EQ(full, dir / L"NewFolder\\x.txt");
  const DWORD attributes = GetFileAttributesW((dir / L"NewFolder").c_str());
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(test::FileExists(dir / L"NewFolder\\x.txt"));  // no log file is made
}

TEST_F(PagesResolveOutputFile, RefusalsLeaveTheOutputAndTheDiskAlone) {
  ASSERT_TRUE(test::MakeDir(dir / L"existing"));
  struct Case {
    std::wstring text;
    OutputFileError expected;
  } cases[] = {
      {L"", OutputFileError::Empty},
      {L" \t ", OutputFileError::Empty},
      {dir / L"A\\B\\x.txt", OutputFileError::FolderMissing},
      {dir / L"existing\\", OutputFileError::NoFileName},
      {dir / L"existing/", OutputFileError::NoFileName},
      {dir / L"existing", OutputFileError::NoFileName},
      {dir / L"a*.txt", OutputFileError::BadCharacters},
      {dir / L"a?.txt", OutputFileError::BadCharacters},
      {dir / L"a|b.txt", OutputFileError::BadCharacters},
      {dir / L"a:b.txt", OutputFileError::BadCharacters},
      {L"C:\\" + std::wstring(300, L'x') + L".txt", OutputFileError::TooLong},
  };
  for (const Case& c : cases) {
    std::wstring full = kSentinel;
    EXPECT_EQ(ResolveOutputFile(c.text, &full), c.expected) << c.text;
    EXPECT_EQ(full, kSentinel) << c.text;
  }
  EXPECT_FALSE(test::FileExists(dir / L"A"));
  EXPECT_EQ(GetFileAttributesW((dir / L"A").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PagesResolveOutputFile, LongestFittingTextIsAccepted) {
  // Full path of exactly 259 characters.
  const std::wstring prefix = dir.Path() + L"\\";
  const std::wstring text = prefix + std::wstring(259 - prefix.size() - 4, L'n') + L".txt";
  ASSERT_EQ(text.size(), 259u);
  std::wstring full;
  EXPECT_EQ(ResolveOutputFile(text, &full), OutputFileError::None);
  EXPECT_EQ(full, text);
  EXPECT_EQ(ResolveOutputFile(text + L"x", &full), OutputFileError::TooLong);
}

// ---------------------------------------------------------------- message sizes

TEST(PagesMessageSizes, ItemsFollowTheLoadedEntries) {
  MessageSizeList list;
  list.sizes = {0, 512, 4096, 7, 7, 7, 7, 7, 7, 4294967295u};
  list.count = 3;
  EXPECT_EQ(MessageSizeItems(list, L"Entire Message", L"Bytes"),
            (std::vector<std::wstring>{L"Entire Message", L"512 Bytes", L"4096 Bytes"}));
  list.count = 0;
  EXPECT_EQ(MessageSizeItems(list, L"E", L"B"), (std::vector<std::wstring>{L"E"}));
  list.count = 40;  // never past the ten slots
  const auto items = MessageSizeItems(list, L"E", L"B");
  ASSERT_EQ(items.size(), 10u);
  EXPECT_EQ(items[9], L"4294967295 B");
}

// ---------------------------------------------------------------- enabling table

constexpr int kJ2534Settings[] = {IDC_J2534_FILE,      IDC_J2534_ASCII,          IDC_J2534_XML,
                                  IDC_J2534_OVERWRITE, IDC_J2534_LOG_ENTRY_EXIT, IDC_J2534_LOG_DEBUG_VIEW,
                                  IDC_J2534_DISABLE_EMPTY_ERROR, IDC_J2534_SIZE};
constexpr int kPduSettings[] = {IDC_PDU_FILE,      IDC_PDU_ASCII,          IDC_PDU_XML,
                                IDC_PDU_OVERWRITE, IDC_PDU_LOG_ENTRY_EXIT, IDC_PDU_LOG_DEBUG_VIEW,
                                IDC_PDU_SIZE};

// What a user can use, in a few groups.
struct Usable {
  bool j2534Enable;
  bool j2534Settings;
  bool pduEnable;
  bool pduSettings;
  bool storeBox;
};

// Every control of a group must agree; CSV and HTML are never usable, and a
// field is read-only exactly when it is disabled.
void ExpectUsable(const ControlStateTable& table, const Usable& want, int line) {
  SCOPED_TRACE(testing::Message() << "case at line " << line);
  auto enabled = [&](int id) {
    const ControlState* s = FindControlState(table, id);
    EXPECT_NE(s, nullptr) << id;
    return s != nullptr && s->enabled;
  };
  EXPECT_EQ(enabled(IDC_J2534_ENABLE), want.j2534Enable);
  for (int id : kJ2534Settings) EXPECT_EQ(enabled(id), want.j2534Settings) << id;
  EXPECT_EQ(enabled(IDC_PDU_ENABLE), want.pduEnable);
  for (int id : kPduSettings) EXPECT_EQ(enabled(id), want.pduSettings) << id;
  EXPECT_EQ(enabled(IDC_PDU_STORE_WITH_J2534), want.storeBox);
  for (int id : {IDC_J2534_CSV, IDC_J2534_HTML, IDC_PDU_CSV, IDC_PDU_HTML})
    EXPECT_FALSE(enabled(id)) << id;
  for (int id : {IDC_J2534_FILE, IDC_PDU_FILE}) {
    const ControlState* s = FindControlState(table, id);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->readOnly, !s->enabled) << id;
  }
}

TEST(PagesEnabling, FollowsRecordsSelectionAndSupportingIndex) {
  struct Case {
    int line;
    std::int32_t j0On, j1On, j1Found, pduOn, store;
    int supporting, j2534Tab;
    Usable want;
  } cases[] = {
      // J2534 tab 0 is not the supporting one: the PDU page is unusable whatever it holds.
      {__LINE__, 1, 0, 1, 1, 0, 1, 0, {true, true, false, false, false}},
      {__LINE__, 0, 0, 1, 1, 0, 1, 0, {true, false, false, false, false}},
      // Supporting tab, both off: only the two Enable boxes.
      {__LINE__, 0, 0, 1, 0, 0, 1, 1, {true, false, true, false, false}},
      // PDU on, J2534 off: PDU settings usable, Store box not.
      {__LINE__, 0, 0, 1, 1, 1, 1, 1, {true, false, true, true, false}},
      // PDU on, J2534 on, stored separately: everything usable.
      {__LINE__, 0, 1, 1, 1, 0, 1, 1, {true, true, true, true, true}},
      {__LINE__, 0, 1, 1, 1, -1, 1, 1, {true, true, true, true, true}},
      // Stored with the monitored J2534 data: of the PDU page only Enable and Store.
      {__LINE__, 0, 1, 1, 1, 1, 1, 1, {true, true, true, false, true}},
      // PDU off: Store box disabled even with J2534 on.
      {__LINE__, 0, 1, 1, 0, 1, 1, 1, {true, true, true, false, false}},
      // Library not found: both pages entirely disabled, Enable included.
      {__LINE__, 0, 1, 0, 1, 0, 1, 1, {false, false, false, false, false}},
      // No supporting implementation: the PDU page is never usable.
      {__LINE__, 0, 1, 1, 1, 0, -1, 1, {true, true, false, false, false}},
  };
  for (const Case& c : cases) {
    MonitoringState s;
    s.J2534Count = 2;
    s.J2534[0].SetLibraryFound(1);
    s.J2534[0].SetMonitoringEnabled(c.j0On);
    s.J2534[1].SetLibraryFound(c.j1Found);
    s.J2534[1].SetMonitoringEnabled(c.j1On);
    s.PduCount = 1;
    s.Pdu[0].SetMonitoringEnabled(c.pduOn);
    s.Pdu[0].SetStoreWithPrimaryAPI(c.store);
    s.PduSupportingIndex = c.supporting;
    ExpectUsable(PageControlStates(s, c.j2534Tab, 2, 0, 1), c.want, c.line);
  }
}

TEST(PagesEnabling, PageWithoutTabsHasEverythingDisabled) {
  MonitoringState s;
  // Records beyond the tabs are never taken as selected.
  s.J2534[0].SetLibraryFound(1);
  s.J2534[0].SetMonitoringEnabled(1);
  s.Pdu[0].SetMonitoringEnabled(1);
  s.PduSupportingIndex = -1;
  ExpectUsable(PageControlStates(s, -1, 0, -1, 0), {false, false, false, false, false}, __LINE__);
  EXPECT_EQ(SelectedRecord(s, ApiKind::J2534, 0, 0), nullptr);
  EXPECT_EQ(SelectedRecord(s, ApiKind::PDU, 0, 1), nullptr);  // PduCount 0
  // A J2534 page without a PDU tab: the J2534 page works, the PDU page does not.
  s.J2534Count = 1;
  s.PduSupportingIndex = 0;
  ExpectUsable(PageControlStates(s, 0, 1, -1, 0), {true, true, false, false, false}, __LINE__);
  EXPECT_EQ(SelectedRecord(s, ApiKind::J2534, 0, 1), &s.J2534[0]);
  EXPECT_EQ(SelectedRecord(s, ApiKind::J2534, 1, 5), nullptr);
}

TEST(PagesEnabling, OnlyRecordsThatWriteTheirFileAreValidated) {
  ApiImplementation r;
  r.SetLibraryFound(1);
  EXPECT_FALSE(OutputFileNeedsValidation(ApiKind::J2534, r));
  r.SetMonitoringEnabled(1);
  EXPECT_TRUE(OutputFileNeedsValidation(ApiKind::J2534, r));
  r.SetLibraryFound(0);  // never saved
  EXPECT_FALSE(OutputFileNeedsValidation(ApiKind::J2534, r));
  EXPECT_TRUE(OutputFileNeedsValidation(ApiKind::PDU, r));  // saved whatever LibraryFound
}

}  // namespace
}  // namespace varrow
