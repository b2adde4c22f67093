// The dialog's localisation: the texts of the language library, the help file
// path and the language font, applied once at start-up by ApplyLocalization.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <string>

#include "settings/registry.h"

namespace varrow {

// The 44 texts loaded from a language library, in loading order.
inline constexpr UINT kLocalizedTextIds[44] = {
    116, 111, 107, 112, 106, 115, 119, 110, 121, 122, 195, 196, 102, 117, 114,
    124, 126, 123, 113, 118, 141, 105, 108, 125, 127, 128, 129, 130, 131, 132,
    133, 134, 135, 136, 194, 137, 138, 139, 140, 142, 143, 151, 153, 101};

// Our own addition, loaded after the 44: the message for a serial number that is
// not a whole number from 0 to 4294967295.
inline constexpr UINT kSerialRangeTextId = 197;
// Our own additions after it: why monitoring was not switched on for a library
// (no monitor fits its header, its machine type or its registry view).
inline constexpr UINT kMonitorRefusalTextIds[4] = {198, 199, 200, 201};

// The 44, text 197 and the four refusal texts.
inline constexpr std::size_t kLocalizedTextCount = 49;

// Texts, help file and fonts of the dialog. Move-only: it owns the language font
// and deletes it unless it is the dialog font.
class LocalizationState {
 public:
  LocalizationState() = default;
  ~LocalizationState();
  LocalizationState(LocalizationState&& other) noexcept;
  LocalizationState& operator=(LocalizationState&& other) noexcept;
  LocalizationState(const LocalizationState&) = delete;
  LocalizationState& operator=(const LocalizationState&) = delete;

  // The text of a string id (one of kLocalizedTextIds, 197 or kMonitorRefusalTextIds); empty for any
  // other id and before ApplyLocalization ran.
  const std::wstring& Text(UINT id) const;
  // Replaces the text of a known id; false (nothing stored) for other ids.
  bool SetText(UINT id, const std::wstring& text);

  // The localised help file ("...\Pellor-de.chm"); empty when none was resolved.
  const std::wstring& HelpFile() const { return helpFile_; }
  void SetHelpFile(const std::wstring& path) { helpFile_ = path; }

  // The font the dialog uses: the language font, else the dialog font, else null.
  HFONT CurrentFont() const { return currentFont_; }
  // The font the template gave the dialog (never deleted here).
  HFONT DialogFont() const { return dialogFont_; }
  // True when CurrentFont() is a language font owned by this object.
  bool HasLanguageFont() const { return ownsFont_; }

  // Makes `dialogFont` current after deleting an owned language font.
  void UseDialogFont(HFONT dialogFont);
  // Takes ownership of a language font and makes it current (the old owned font
  // is deleted). A null font leaves the dialog font current.
  void UseLanguageFont(HFONT dialogFont, HFONT languageFont);

 private:
  void ReleaseFont();
  static int SlotOf(UINT id);

  std::array<std::wstring, kLocalizedTextCount> texts_;
  std::wstring helpFile_;
  HFONT dialogFont_ = nullptr;
  HFONT currentFont_ = nullptr;
  bool ownsFont_ = false;
};

// The text of string `id` in `module`'s string table, copied with its stored
// length; empty when the module is null or lacks the string (or it is empty).
std::wstring LoadModuleString(HINSTANCE module, UINT id);

// The folder of the running executable (its full path cut before the last "\").
std::wstring ExecutableFolder();

// Localises the dialog once at start-up:
//  - reads DLLLocation (machine root, product key; at most 129 characters) and
//    resolves "<DLLLocation>\Varrow<suffix>.dll" for `locale`, with the English
//    library as the load fallback;
//  - resolves the help file "<exeFolder>\Pellor<suffix>.chm" into out->HelpFile();
//  - creates the language font for scripts that need one (else the dialog font);
//  - loads the texts from the library; ids the library lacks or leaves empty, and
//    every id when no library loads or DLLLocation is unusable, come from
//    `ownResources`, so no text is ever left empty for want of a library;
//  - sets the window title and the control captions, skipping absent controls,
//    and sends WM_SETFONT to the dialog and its localised and bound controls.
// Returns true when a language library was loaded. Never shows a message.
bool ApplyLocalization(HWND dialog, HFONT dialogFont, const RegistryRoots& roots,
                       HINSTANCE ownResources, LocalizationState* out,
                       LCID locale = GetUserDefaultLCID(),
                       const std::wstring& exeFolder = ExecutableFolder());

}  // namespace varrow
