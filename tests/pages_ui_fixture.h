// Scaffolding of the monitoring-page and Apply tests that run the real dialog:
// a seeded installation with two J2534 devices (the second serving the PDU API),
// the PDU library, monitor libraries and a log folder, all as real files in the
// test's folder; and driver helpers for tabs, combo boxes, focus and drops.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "monitoring/api_implementation.h"
#include "monitoring/discovery.h"
#include "tests/ui_fixture.h"

namespace varrow::test {

// Library contents with zero and high bytes, to compare files byte for byte:
// a 32-bit PE header (its signature farther on than PeFile's, so that
// ReadFileText keeps it), then the tag.
inline std::string LibraryBytes(char tag) {
  std::string bytes(0x88, '\0');
  bytes.replace(0, 2, "MZ");
  bytes[0x3C] = '\x80';
  bytes.replace(0x80, 6, std::string("PE\0\0\x4c\x01", 6));
  return bytes + std::string("\x01\xff", 2) + tag + std::string("\0\x80tail", 6);
}

class PagesUiTest : public UiTest {
 protected:
  // The seeded installation. `brand` as in SeedMachine; withPdu=false leaves
  // out the PDU registration, withJ2534=false the J2534 registrations.
  void SeedInstallation(const wchar_t* brand = L"tln", bool withJ2534 = true, bool withPdu = true,
                        const std::vector<OrderEntry>& connections = DefaultConnectionEntries()) {
    SeedMachine(0, connections, brand);
    ASSERT_TRUE(MakeDir(LogFolder()));
    SetString(Machine(), ProductPath(), L"LogFileLocation", LogFolder() + L"\\");
    ASSERT_TRUE(WriteFileText(Lib0(), LibraryBytes('0')));
    ASSERT_TRUE(WriteFileText(Lib1(), LibraryBytes('1')));
    ASSERT_TRUE(WriteFileText(PduLib(), LibraryBytes('P')));
    ASSERT_TRUE(WriteFileText(Monitor(), LibraryBytes('M')));
    SetString(Machine(), FactoryPath({L"Monitoring", kJ2534ApiName}), L"MonitorLibrary", Monitor());
    SetString(Machine(), FactoryPath({L"Monitoring", kPduApiName}), L"MonitorLibrary", Monitor());
    const std::wstring sizes = FactoryPath({L"Monitoring", kJ2534ApiName, L"MessageSizes"});
    SetDword(Machine(), sizes, L"MessageSize00", 0);
    SetDword(Machine(), sizes, L"MessageSize01", 512);
    SetDword(Machine(), sizes, L"MessageSize02", 4096);
    SetDword(Machine(), sizes, L"Version", 1);
    if (withJ2534) {
      AddDevice(L"A-Dev", L"Vendor0", L"Name0", Lib0(), false);
      AddDevice(L"B-Dev", L"Vendor1", L"Name1", Lib1(), true);
    }
    if (withPdu) SetString(Machine(), ProductPath({kPduSupportSection}), L"FunctionLibrary", PduLib());
  }
  void AddDevice(const std::wstring& key, const std::wstring& vendor, const std::wstring& name,
                 const std::wstring& library, bool pdu) {
    const std::wstring path = std::wstring(kJ2534RegistrationPath) + L"\\" + key;
    SetString(Machine(), path, L"Vendor", vendor);
    SetString(Machine(), path, L"Name", name);
    SetString(Machine(), path, L"FunctionLibrary", library);
    if (pdu) SetDword(Machine(), path, L"PDUAPISupported", 1);
  }

  std::wstring LogFolder() const { return dir_ / L"logs"; }
  std::wstring Lib0() const { return dir_ / L"lib0.dll"; }
  std::wstring Lib1() const { return dir_ / L"lib1.dll"; }
  std::wstring PduLib() const { return dir_ / L"pdu.dll"; }
  std::wstring Monitor() const { return dir_ / L"monitor.dll"; }

  // The user's settings subkey of a library.
  static std::wstring SettingsPath(const wchar_t* api, const std::wstring& library) {
    return ProductPath({L"Monitoring", api, SettingsKeyName(library)});
  }
  DWORD UserDword(const std::wstring& path, const wchar_t* name) const {
    DWORD value = 0xdeadbeef;
    if (ReadPath(path, name, REG_DWORD, &value, sizeof value) != sizeof value) return 0xdeadbeef;
    return value;
  }
  std::wstring UserString(const std::wstring& path, const wchar_t* name) const {
    wchar_t buffer[1024] = {};
    if (ReadPath(path, name, REG_SZ, buffer, sizeof buffer - sizeof(wchar_t)) == 0) return L"<none>";
    return buffer;
  }
  std::string Content(const std::wstring& path) const {
    std::string bytes;
    if (!ReadFileText(path, &bytes)) return "<missing>";
    return bytes;
  }

 private:
  DWORD ReadPath(const std::wstring& path, const wchar_t* name, DWORD wantType, void* out,
                 DWORD size) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(User(), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD type = 0;
    const LONG rc = RegQueryValueExW(key, name, nullptr, &type, static_cast<BYTE*>(out), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == wantType ? size : 0;
  }
};

// Clicks a button that opens no message box and returns once it was handled.
inline void SendClick(const DialogDriver& d, int id) { SendMessageW(d.Item(id), BM_CLICK, 0, 0); }
inline bool Checked(const DialogDriver& d, int id) {
  return SendMessageW(d.Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}
inline bool ReadOnly(const DialogDriver& d, int id) { return (d.Style(id) & ES_READONLY) != 0; }

// Selects a tab as a user's click does: the selection, then TCN_SELCHANGE.
inline LRESULT SelectTab(const DialogDriver& d, int id, int index) {
  SendMessageW(d.Item(id), TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
  NMHDR notify{};
  notify.hwndFrom = d.Item(id);
  notify.idFrom = static_cast<UINT_PTR>(id);
  notify.code = TCN_SELCHANGE;
  return d.Send(WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&notify));
}
inline int TabSelection(const DialogDriver& d, int id) {
  return static_cast<int>(SendMessageW(d.Item(id), TCM_GETCURSEL, 0, 0));
}

// Chooses a combo box item as a user does: the selection, then CBN_SELCHANGE.
inline void SelectComboItem(const DialogDriver& d, int id, int index) {
  SendMessageW(d.Item(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  d.Send(WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(d.Item(id)));
}
inline std::vector<std::wstring> ComboTexts(const DialogDriver& d, int id) {
  std::vector<std::wstring> texts;
  const int count = static_cast<int>(SendMessageW(d.Item(id), CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[256] = {};
    if (SendMessageW(d.Item(id), CB_GETLBTEXTLEN, i, 0) < 255)
      SendMessageW(d.Item(id), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    texts.push_back(text);
  }
  return texts;
}
inline int ComboSelection(const DialogDriver& d, int id) {
  return static_cast<int>(SendMessageW(d.Item(id), CB_GETCURSEL, 0, 0));
}

// The control that has the keyboard focus in the dialog's thread.
inline HWND FocusedWindow(const DialogDriver& d) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(d.Dialog(), nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

// A drop of one file at `at` (dialog client coordinates), as the shell builds it.
inline HDROP MakeDrop(const std::wstring& path, POINT at) {
  const SIZE_T bytes = sizeof(DROPFILES) + (path.size() + 2) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GHND, bytes);
  if (memory == nullptr) return nullptr;
  auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
  files->pFiles = sizeof(DROPFILES);
  files->pt = at;
  files->fNC = FALSE;
  files->fWide = TRUE;
  std::memcpy(reinterpret_cast<char*>(files) + sizeof(DROPFILES), path.c_str(),
              path.size() * sizeof(wchar_t));
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}
// The centre of a control in the dialog's client coordinates.
inline POINT CentreOf(const DialogDriver& d, int id) {
  const RECT r = d.ItemClientRect(id);
  return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}
// Drops `path` on the centre of control `id`; the dialog handles (and releases)
// the drop before this returns.
inline void DropOn(const DialogDriver& d, int id, const std::wstring& path) {
  HDROP drop = MakeDrop(path, CentreOf(d, id));
  ASSERT_NE(drop, nullptr);
  d.Send(WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
}

// Expands the dialog so that the monitoring pages are in its client area.
inline void Expand(const DialogDriver& d) {
  d.Click(1043);
  ASSERT_TRUE(DialogDriver::WaitFor([&] { return d.Text(1043) == L"<<Less"; }));
}

// Clicks a button whose handler opens no message box (a save that succeeds)
// and returns once it was handled; false when it did not finish before the
// deadline, for example because a message box opened after all.
inline bool ClickAndWait(const DialogDriver& d, int id) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(d.Item(id), BM_CLICK, 0, 0, SMTO_NORMAL, kUiWaitMs, &result) != 0;
}

}  // namespace varrow::test
