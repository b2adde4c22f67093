#include "locale/localization.h"

#include <utility>
#include <vector>

#include "locale/language.h"

namespace varrow {
namespace {

// Controls that get a localised caption, in order, with their text ids.
struct Caption {
  int control;
  UINT text;
};
constexpr Caption kCaptions[] = {
    {1019, 116}, {1020, 134}, {1021, 111}, {1017, 106}, {1007, 115}, {1002, 110},
    {1009, 119}, {1010, 121}, {1015, 122}, {1058, 195}, {1060, 196}, {1057, 102},
    {1006, 117}, {1029, 124}, {1024, 110}, {1031, 119}, {1032, 121}, {1037, 122},
    {1059, 195}, {1061, 196}, {1028, 117}, {1038, 126}, {1039, 125}, {1048, 141},
    {1040, 105}, {1, 118},    {2, 108},    {1043, 142}, {1046, 143}};

constexpr UINT kTitleText = 113;

// Controls that take the current font after the dialog itself: the captioned
// ones, then the bound controls (lists, edits, tabs, combo boxes).
constexpr int kFontControls[] = {
    1019, 1020, 1021, 1017, 1007, 1002, 1009, 1010, 1015, 1058, 1060, 1057, 1006, 1029,
    1024, 1031, 1032, 1037, 1059, 1061, 1028, 1038, 1048, 1040, 1,    2,    1043, 1046,
    1016, 1021, 1000, 1008, 1005, 1022, 1030, 1027};

// Characters of the DLLLocation field: a 260-byte buffer, terminator included.
constexpr std::size_t kDllLocationChars = 260 / sizeof(wchar_t);

// A string of a module's string table; false when the module lacks it (or it is
// empty). The text is copied from the resource with its stored length.
bool LoadModuleString(HINSTANCE module, UINT id, std::wstring* out) {
  if (module == nullptr) return false;
  const wchar_t* text = nullptr;
  const int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return false;
  out->assign(text, static_cast<std::size_t>(length));
  return true;
}

// Loads a language library for its resources only; it is never executed.
HMODULE LoadLanguageLibrary(const std::wstring& path) {
  if (path.empty() || path.size() >= kFieldChars) return nullptr;
  return LoadLibraryExW(path.c_str(), nullptr,
                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

HFONT CreateLanguageFont(const std::wstring& faceName, BYTE charset) {
  return CreateFontW(12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
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

  for (UINT id : kLocalizedTextIds) {
    std::wstring text;
    if (!LoadModuleString(library, id, &text)) LoadModuleString(ownResources, id, &text);
    out->SetText(id, text);
  }
  {
    std::wstring text;
    if (!LoadModuleString(library, kSerialRangeTextId, &text))
      LoadModuleString(ownResources, kSerialRangeTextId, &text);
    out->SetText(kSerialRangeTextId, text);
  }
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
