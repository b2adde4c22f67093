#include "tests/monitor_fixture.h"

#include <cctype>
#include <cstring>

#include "monitoring/path_rules.h"
#include "hosted/arch.h"
#include "monitor/settings_lookup.h"

namespace varrow::test {

template <typename T>
static bool Resolve(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *out != nullptr;
}

bool PassThruApi::Load(const std::wstring& path) {
  module = LoadLibraryW(path.c_str());
  if (module == nullptr) return false;
  return Resolve(module, "PassThruOpen", &Open) && Resolve(module, "PassThruClose", &Close) &&
         Resolve(module, "PassThruConnect", &Connect) &&
         Resolve(module, "PassThruDisconnect", &Disconnect) &&
         Resolve(module, "PassThruReadMsgs", &ReadMsgs) &&
         Resolve(module, "PassThruWriteMsgs", &WriteMsgs) &&
         Resolve(module, "PassThruStartPeriodicMsg", &StartPeriodicMsg) &&
         Resolve(module, "PassThruStopPeriodicMsg", &StopPeriodicMsg) &&
         Resolve(module, "PassThruStartMsgFilter", &StartMsgFilter) &&
         Resolve(module, "PassThruStopMsgFilter", &StopMsgFilter) &&
         Resolve(module, "PassThruSetProgrammingVoltage", &SetProgrammingVoltage) &&
         Resolve(module, "PassThruReadVersion", &ReadVersion) &&
         Resolve(module, "PassThruGetLastError", &GetLastError) &&
         Resolve(module, "PassThruIoctl", &Ioctl);
}

RedirectedRegistry::RedirectedRegistry() {
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch_.Machine());
  RegOverridePredefKey(HKEY_CURRENT_USER, scratch_.User());
}

RedirectedRegistry::~RedirectedRegistry() {
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
}

std::wstring BinFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring DeviceKeyName(const std::wstring& name) {
  std::wstring key = L"Device " + name;
  for (wchar_t& c : key) {
    if (c == L'\\') c = L'_';
  }
  return key;
}

std::wstring InstallMonitor(const ScratchDir& dir, HKEY machine, const std::wstring& name,
                            bool withOriginal) {
  const std::wstring library = dir / name;
  CopyFileW((BinFolder() + L"\\OvraJ2534Mon" VARROW_BITS_TEXT L".dll").c_str(), library.c_str(), FALSE);
  if (withOriginal) {
    CopyFileW((BinFolder() + L"\\FakePassThru.dll").c_str(), AsidePath(library).c_str(), FALSE);
  }
  SetString(machine, L"SOFTWARE\\PassThruSupport.04.04\\" + DeviceKeyName(name),
            L"FunctionLibrary", library);
  return library;
}

void WriteUserSettings(HKEY user, const std::wstring& library, const std::wstring& outputFile,
                       DWORD format, DWORD overwrite, DWORD entryExit, DWORD disableBufferEmpty,
                       DWORD messageSize) {
  const std::wstring key =
      L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\" + monitor::SettingsApiKey(L"J2534 API") + L"\\" +
      SettingsKeyName(library);
  SetString(user, key, L"OutputFile", outputFile);
  SetDword(user, key, L"Overwrite", overwrite);
  SetDword(user, key, L"LogEntryExit", entryExit);
  SetDword(user, key, L"LogDebugView", 1);
  SetDword(user, key, L"DisableErrBufferEmpty", disableBufferEmpty);
  SetDword(user, key, L"OutputFormat", format);
  SetDword(user, key, L"MessageSize", messageSize);
  SetDword(user, key, L"Version", 0);
}

fake::State* FakeStateOf(const std::wstring& library) {
  // The same module the monitor loads at its first call (loaded here when that is still to come).
  HMODULE original = LoadLibraryW(AsidePath(library).c_str());
  if (original == nullptr) return nullptr;
  auto state = reinterpret_cast<fake::StateFn>(
      reinterpret_cast<void*>(GetProcAddress(original, "FakePassThruState")));
  return state != nullptr ? state() : nullptr;
}

passthru::PassThruMsg CanMessage(passthru::ULong size, std::uint8_t seed) {
  passthru::PassThruMsg msg;
  std::memset(&msg, 0, sizeof msg);
  msg.ProtocolID = passthru::CAN;
  msg.TxFlags = passthru::ISO15765_FRAME_PAD;
  msg.DataSize = size;
  for (passthru::ULong i = 0; i < size && i < passthru::kMaxDataSize; ++i) {
    msg.Data[i] = static_cast<std::uint8_t>(seed + i);
  }
  return msg;
}

namespace {

bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
         c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

// Checks character data up to `end`: no '<', and '&' only in a known reference.
bool CleanText(const std::string& x, std::size_t from, std::size_t end) {
  for (std::size_t i = from; i < end; ++i) {
    if (x[i] == '<') return false;
    if (static_cast<unsigned char>(x[i]) < 0x20 && x[i] != '\n' && x[i] != '\r' && x[i] != '\t') {
      return false;
    }
    if (x[i] == '&') {
      const std::size_t semi = x.find(';', i);
      if (semi == std::string::npos || semi > end) return false;
      const std::string ref = x.substr(i + 1, semi - i - 1);
      if (ref != "amp" && ref != "lt" && ref != "gt" && ref != "quot" && ref != "apos" &&
          !(ref.size() > 1 && ref[0] == '#')) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

std::string XmlProblem(const std::string& x) {
  std::vector<std::string> open;
  int roots = 0;
  std::size_t i = 0;
  if (x.compare(0, 5, "<?xml") == 0) {
    i = x.find("?>");
    if (i == std::string::npos) return "unterminated declaration";
    i += 2;
  }
  while (i < x.size()) {
    const std::size_t lt = x.find('<', i);
    const std::size_t textEnd = lt == std::string::npos ? x.size() : lt;
    if (!CleanText(x, i, textEnd)) return "bad character data near offset " + std::to_string(i);
    if (open.empty()) {
      for (std::size_t k = i; k < textEnd; ++k) {
        if (!std::isspace(static_cast<unsigned char>(x[k]))) return "text outside the root";
      }
    }
    if (lt == std::string::npos) break;
    const std::size_t gt = x.find('>', lt);
    if (gt == std::string::npos) return "unterminated tag";
    std::string tag = x.substr(lt + 1, gt - lt - 1);
    i = gt + 1;
    if (!tag.empty() && tag[0] == '/') {
      const std::string name = tag.substr(1);
      if (open.empty() || open.back() != name) return "mismatched </" + name + ">";
      open.pop_back();
      continue;
    }
    const bool empty = !tag.empty() && tag.back() == '/';
    if (empty) tag.pop_back();
    std::size_t k = 0;
    while (k < tag.size() && NameChar(tag[k])) ++k;
    if (k == 0) return "bad tag name";
    const std::string name = tag.substr(0, k);
    // Attributes: name="value" pairs.
    while (k < tag.size()) {
      while (k < tag.size() && std::isspace(static_cast<unsigned char>(tag[k]))) ++k;
      if (k == tag.size()) break;
      const std::size_t nameStart = k;
      while (k < tag.size() && NameChar(tag[k])) ++k;
      if (k == nameStart || k + 1 >= tag.size() || tag[k] != '=' || tag[k + 1] != '"') {
        return "bad attribute in <" + name + ">";
      }
      const std::size_t close = tag.find('"', k + 2);
      if (close == std::string::npos) return "unterminated attribute";
      if (!CleanText(tag, k + 2, close)) return "bad attribute value in <" + name + ">";
      k = close + 1;
    }
    if (open.empty()) ++roots;
    if (roots > 1) return "more than one root";
    if (!empty) open.push_back(name);
  }
  if (!open.empty()) return "<" + open.back() + "> left open";
  if (roots != 1) return "no root element";
  return {};
}

bool ParseCsv(const std::string& text, std::vector<std::vector<std::string>>* rows) {
  rows->clear();
  std::vector<std::string> row;
  std::string cell;
  bool quoted = false;
  bool any = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cell += c;
      }
      continue;
    }
    if (c == '"' && cell.empty()) {
      quoted = true;
      any = true;
    } else if (c == ',') {
      row.push_back(cell);
      cell.clear();
    } else if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      row.push_back(cell);
      rows->push_back(row);
      row.clear();
      cell.clear();
      any = false;
    } else {
      cell += c;
      any = true;
    }
  }
  if (quoted) return false;
  if (any || !row.empty()) {
    row.push_back(cell);
    rows->push_back(row);
  }
  return true;
}

}  // namespace varrow::test
