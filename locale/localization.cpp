#include "locale/localization.h"

#include <utility>
#include <vector>

#include "locale/language.h"
#include "resources/resource.h"

namespace varrow {
namespace {

// Controls that get a localised caption, in order, with their text ids.
struct Caption {
  int control;
  UINT text;
};
constexpr Caption kCaptions[] = {
    {IDC_DEVICE_GROUP, IDS_DEVICE_CONFIGURATION},
    {IDC_DEVICE_LABEL, IDS_DEFAULT_DEVICE},
    {IDC_SERIAL_NUMBER, IDS_SERIAL_PLACEHOLDER},
    {IDC_CONNECTION_LABEL, IDS_CONNECTION_ORDER},
    {IDC_J2534_GROUP, IDS_J2534_MONITORING},
    {IDC_J2534_ENABLE, IDS_ENABLE_MONITORING},
    {IDC_J2534_FILE_LABEL, IDS_OUTPUT_FILE},
    {IDC_J2534_FORMAT_GROUP, IDS_OUTPUT_FORMAT},
    {IDC_J2534_OVERWRITE, IDS_OVERWRITE},
    {IDC_J2534_LOG_ENTRY_EXIT, IDS_LOG_API_IN_OUT},
    {IDC_J2534_LOG_DEBUG_VIEW, IDS_LOG_DEBUG_VIEWER},
    {IDC_J2534_DISABLE_EMPTY_ERROR, IDS_DISABLE_EMPTY_ERROR},
    {IDC_J2534_SIZE_LABEL, IDS_MESSAGE_SIZE},
    {IDC_PDU_GROUP, IDS_PDU_MONITORING},
    {IDC_PDU_ENABLE, IDS_ENABLE_MONITORING},
    {IDC_PDU_FILE_LABEL, IDS_OUTPUT_FILE},
    {IDC_PDU_FORMAT_GROUP, IDS_OUTPUT_FORMAT},
    {IDC_PDU_OVERWRITE, IDS_OVERWRITE},
    {IDC_PDU_LOG_ENTRY_EXIT, IDS_LOG_API_IN_OUT},
    {IDC_PDU_LOG_DEBUG_VIEW, IDS_LOG_DEBUG_VIEWER},
    {IDC_PDU_SIZE_LABEL, IDS_MESSAGE_SIZE},
    {IDC_PDU_STORE_WITH_J2534, IDS_STORE_WITH_J2534},
    {IDC_RESTORE, IDS_RESTORE},
    {IDC_HELP_BUTTON, IDS_HELP},
    {IDC_APPLY, IDS_APPLY},
    {IDOK, IDS_OK},
    {IDCANCEL, IDS_CANCEL},
    {IDC_MORE_LESS, IDS_MORE},
    {IDC_EXPANDED_MARKER, IDS_LESS}};

constexpr UINT kTitleText = IDS_PRODUCT_LINE;

// Controls that take the current font after the dialog itself: the captioned
// ones, then the bound controls (lists, edits, tabs, combo boxes).
constexpr int kFontControls[] = {
    IDC_DEVICE_GROUP, IDC_DEVICE_LABEL, IDC_SERIAL_NUMBER, IDC_CONNECTION_LABEL,
    IDC_J2534_GROUP, IDC_J2534_ENABLE, IDC_J2534_FILE_LABEL, IDC_J2534_FORMAT_GROUP,
    IDC_J2534_OVERWRITE, IDC_J2534_LOG_ENTRY_EXIT, IDC_J2534_LOG_DEBUG_VIEW,
    IDC_J2534_DISABLE_EMPTY_ERROR, IDC_J2534_SIZE_LABEL, IDC_PDU_GROUP, IDC_PDU_ENABLE,
    IDC_PDU_FILE_LABEL, IDC_PDU_FORMAT_GROUP, IDC_PDU_OVERWRITE, IDC_PDU_LOG_ENTRY_EXIT,
    IDC_PDU_LOG_DEBUG_VIEW, IDC_PDU_SIZE_LABEL, IDC_PDU_STORE_WITH_J2534, IDC_HELP_BUTTON,
    IDC_APPLY, IDOK, IDCANCEL, IDC_MORE_LESS, IDC_EXPANDED_MARKER,
    IDC_CONNECTION_LIST, IDC_SERIAL_NUMBER, IDC_J2534_TAB, IDC_J2534_FILE, IDC_J2534_SIZE,
    IDC_PDU_TAB, IDC_PDU_FILE, IDC_PDU_SIZE};

// Characters of the DLLLocation field: a 260-byte buffer, terminator included.
constexpr std::size_t kDllLocationChars = 260 / sizeof(wchar_t);

// Loads a language library for its resources only; it is never executed.
HMODULE LoadLanguageLibrary(const std::wstring& path) {
  if (path.empty() || path.size() >= kFieldChars) return nullptr;
  return LoadLibraryExW(path.c_str(), nullptr,
                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

// The language font's cell height: 12 pixels at 96 DPI, scaled to the screen's
// DPI (the program declares itself DPI-aware, so the dialog's own font scales).
int LanguageFontHeight() {
  constexpr int kHeightAt96Dpi = 12;
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? MulDiv(kHeightAt96Dpi, dpi, 96) : kHeightAt96Dpi;
}

HFONT CreateLanguageFont(const std::wstring& faceName, BYTE charset) {
  return CreateFontW(LanguageFontHeight(), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                     faceName.c_str());
}

// DLLLocation from the machine root's product key, or false when the key or the
// value is missing or the text is longer than 129 characters.
bool ReadDllLocation(const RegistryRoots& roots, std::wstring* location) {
  RegKey product;
  if (product.Open(roots.machine, ProductPath(), KEY_READ) != ERROR_SUCCESS) return false;
  std::wstring value;
  if (ReadString(product.Get(), L"DLLLocation", &value, kDllLocationChars) != ERROR_SUCCESS)
    return false;
  *location = std::move(value);
  return true;
}

}  // namespace

std::wstring LoadModuleString(HINSTANCE module, UINT id) {
  if (module == nullptr) return {};
  const wchar_t* text = nullptr;
  const int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return {};
  return std::wstring(text, static_cast<std::size_t>(length));
}

LocalizationState::~LocalizationState() { ReleaseFont(); }

LocalizationState::LocalizationState(LocalizationState&& other) noexcept
    : texts_(std::move(other.texts_)),
      helpFile_(std::move(other.helpFile_)),
      dialogFont_(other.dialogFont_),
      currentFont_(other.currentFont_),
      ownsFont_(other.ownsFont_) {
  other.currentFont_ = nullptr;
  other.ownsFont_ = false;
}

LocalizationState& LocalizationState::operator=(LocalizationState&& other) noexcept {
  if (this != &other) {
    ReleaseFont();
    texts_ = std::move(other.texts_);
    helpFile_ = std::move(other.helpFile_);
    dialogFont_ = other.dialogFont_;
    currentFont_ = other.currentFont_;
    ownsFont_ = other.ownsFont_;
    other.currentFont_ = nullptr;
    other.ownsFont_ = false;
  }
  return *this;
}

int LocalizationState::SlotOf(UINT id) {
  for (std::size_t i = 0; i < std::size(kLocalizedTextIds); ++i) {
    if (kLocalizedTextIds[i] == id) return static_cast<int>(i);
  }
  if (id == kSerialRangeTextId) return static_cast<int>(std::size(kLocalizedTextIds));
  for (std::size_t i = 0; i < std::size(kMonitorRefusalTextIds); ++i) {
    if (kMonitorRefusalTextIds[i] == id) return static_cast<int>(std::size(kLocalizedTextIds) + 1 + i);
  }
  return -1;
}

const std::wstring& LocalizationState::Text(UINT id) const {
  static const std::wstring kEmpty;
  const int slot = SlotOf(id);
  return slot < 0 ? kEmpty : texts_[static_cast<std::size_t>(slot)];
}

bool LocalizationState::SetText(UINT id, const std::wstring& text) {
  const int slot = SlotOf(id);
  if (slot < 0) return false;
  texts_[static_cast<std::size_t>(slot)] = text;
  return true;
}

void LocalizationState::ReleaseFont() {
  if (ownsFont_ && currentFont_ != nullptr && currentFont_ != dialogFont_) {
    DeleteObject(currentFont_);
  }
  ownsFont_ = false;
  currentFont_ = dialogFont_;
}

void LocalizationState::UseDialogFont(HFONT dialogFont) {
  ReleaseFont();
  dialogFont_ = dialogFont;
  currentFont_ = dialogFont;
}

void LocalizationState::UseLanguageFont(HFONT dialogFont, HFONT languageFont) {
  UseDialogFont(dialogFont);
  if (languageFont == nullptr || languageFont == dialogFont) return;
  currentFont_ = languageFont;
  ownsFont_ = true;
}

std::wstring ExecutableFolder() {
  std::vector<wchar_t> buffer(kFieldChars, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(kFieldChars));
  // A path that does not fit the field is refused rather than cut.
  if (length == 0 || length >= kFieldChars) return std::wstring();
  std::wstring path(buffer.data(), length);
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return std::wstring();
  return path.substr(0, slash);
}

bool ApplyLocalization(HWND dialog, HFONT dialogFont, const RegistryRoots& roots,
                       HINSTANCE ownResources, LocalizationState* out, LCID locale,
                       const std::wstring& exeFolder) {
  // The language library and its font. Without a usable DLLLocation there is no
  // library: the texts then come from our own English table.
  std::wstring libraryBase, libraryPath, faceName;
  BYTE charset = 0;
  std::wstring location;
  if (ReadDllLocation(roots, &location)) {
    libraryBase = location + L"\\Varrow";
    if (!ResolveLanguageLibrary(libraryBase, locale, &libraryPath, &faceName, &charset)) {
      libraryBase.clear();
    }
  }

  // The help file lives next to the program, whatever the library folder holds.
  out->SetHelpFile(exeFolder.empty()
                       ? std::wstring()
                       : ResolveLocalizedFile(exeFolder + L"\\Pellor", L".chm", locale));

  HMODULE library = nullptr;
  if (!libraryBase.empty()) {
    library = LoadLanguageLibrary(libraryPath);
    if (library == nullptr) library = LoadLanguageLibrary(libraryBase + L"-en.dll");
  }

  // The font follows the resolved name even when the English library was loaded
  // instead. A font that cannot be made leaves the dialog font in place.
  if (charset == 0) {
    out->UseDialogFont(dialogFont);
  } else {
    out->UseLanguageFont(dialogFont, CreateLanguageFont(faceName, charset));
  }

  // The 44 texts, then our own addition.
  auto load = [&](UINT id) {
    std::wstring text = LoadModuleString(library, id);
    if (text.empty()) text = LoadModuleString(ownResources, id);
    out->SetText(id, text);
  };
  for (UINT id : kLocalizedTextIds) load(id);
  load(kSerialRangeTextId);
  for (UINT id : kMonitorRefusalTextIds) load(id);
  const bool loaded = library != nullptr;
  if (library != nullptr) FreeLibrary(library);

  if (dialog == nullptr) return loaded;
  SetWindowTextW(dialog, out->Text(kTitleText).c_str());
  for (const Caption& caption : kCaptions) {
    HWND control = GetDlgItem(dialog, caption.control);
    if (control != nullptr) SetWindowTextW(control, out->Text(caption.text).c_str());
  }

  HFONT font = out->CurrentFont();
  if (font != nullptr) {
    const WPARAM handle = reinterpret_cast<WPARAM>(font);
    SendMessageW(dialog, WM_SETFONT, handle, TRUE);
    for (int id : kFontControls) {
      HWND control = GetDlgItem(dialog, id);
      if (control != nullptr) SendMessageW(control, WM_SETFONT, handle, TRUE);
    }
  }
  return loaded;
}

}  // namespace varrow
