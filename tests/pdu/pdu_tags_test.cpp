// The D-PDU application's tags through the monitor, in the architecture of the
// build (pdu_tests of the 32-bit and of the 64-bit tree).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hosted/arch.h"
#include "monitor/settings_lookup.h"
#include "monitoring/path_rules.h"
#include "tests/pdu/pdu_client.h"
#include "tests/test_support.h"

using namespace pdu;
using namespace pdutest;
using varrow::test::SetString;

namespace {

// Scratch hives standing in for HKLM and HKCU in this process, and a scratch folder.
class PduTags : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, registry_.Machine()), ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, registry_.User()), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  }
  varrow::test::ScratchRegistry registry_;
  varrow::test::ScratchDir dir_;
};

// The application's tags are pointer-sized (above 4 GB here on 64-bit): through
// the monitor they come back whole, to its callback (link and API tag) and in
// its event items (ComPrimitive tag), and the log shows every digit of them.
TEST_F(PduTags, ComeBackWholeAndAreLoggedWhole) {
  ASSERT_TRUE(CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir_.Path(), L"_Mon.dll"));
  ASSERT_TRUE(CopyBuilt(L"OvraPduMon" VARROW_BITS_TEXT L".dll", dir_.Path(), L"Mon.dll"));
  const std::wstring monitorPath = dir_ / L"Mon.dll";
  const std::wstring key = L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\" + monitor::SettingsApiKey(L"PDU API") + L"\\" +
                           varrow::SettingsKeyName(monitorPath);
  SetString(registry_.User(), key, L"OutputFile", dir_ / L"tags.txt");
  const std::uintptr_t high = sizeof(void*) == 8 ? static_cast<std::uintptr_t>(0x7ABC) << 32 : 0;
  void* const apiTag = reinterpret_cast<void*>(high | 0x1110);
  void* const cllTag = reinterpret_cast<void*>(high | 0x2220);
  void* const copTag = reinterpret_cast<void*>(high | 0x3330);
  PduLib lib;
  ASSERT_TRUE(lib.Load(monitorPath));
  char options[] = "";
  ASSERT_EQ(lib.Construct(options, apiTag), PDU_STATUS_NOERROR);
  ASSERT_EQ(lib.ModuleConnect(1), PDU_STATUS_NOERROR);
  UNUM32 hCLL = 0, hCoP = 0;
  ASSERT_EQ(lib.CreateComLogicalLink(1, nullptr, 1, cllTag, &hCLL, nullptr), PDU_STATUS_NOERROR);
  ASSERT_EQ(lib.RegisterEventCallback(1, hCLL, &CallbackA), PDU_STATUS_NOERROR);
  ASSERT_EQ(lib.Connect(1, hCLL), PDU_STATUS_NOERROR);
  ASSERT_EQ(lib.StartComPrimitive(1, hCLL, PDU_COPT_STARTCOMM, 0, nullptr, nullptr, copTag, &hCoP),
            PDU_STATUS_NOERROR);
  std::vector<void*> itemTags;
  for (int i = 0; i < 300 && itemTags.empty(); ++i) {
    PDU_EVENT_ITEM* item = nullptr;
    if (lib.GetEventItem(1, hCLL, &item) == PDU_STATUS_NOERROR && item != nullptr) {
      if (item->hCop == hCoP) itemTags.push_back(item->pCoPTag);
      lib.DestroyItem(reinterpret_cast<PDU_ITEM*>(item));
    } else {
      Sleep(10);
    }
  }
  lib.Disconnect(1, hCLL);
  lib.DestroyComLogicalLink(1, hCLL);
  lib.ModuleDisconnect(1);
  lib.Destruct();
  const std::vector<CallbackCall> calls = TakeCallbacks();
  ASSERT_FALSE(calls.empty()) << "no callback came";
  for (const CallbackCall& c : calls) {
    EXPECT_EQ(c.cllTag, cllTag);
    EXPECT_EQ(c.apiTag, apiTag);
  }
  ASSERT_FALSE(itemTags.empty()) << "no event item of the ComPrimitive came";
  for (void* tag : itemTags) EXPECT_EQ(tag, copTag);
  const std::string text = ReadAll(dir_ / L"tags.txt");
  char digits[40];
  for (void* tag : {apiTag, cllTag, copTag}) {
    std::snprintf(digits, sizeof digits, "0x%0*llX", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(tag)));
    EXPECT_NE(text.find(digits), std::string::npos) << digits;
  }
}

}  // namespace
