#include "editor/window/win32_embedded_font.h"

#include <windows.h>

#include <memory>

#include "editor/truetype_name.h"
#include "plugin/exception_report.h"

extern "C" const unsigned char KelvaneEditorFontData[];
extern "C" const unsigned int KelvaneEditorFontSize;

namespace kelvane {

namespace {
std::unique_ptr<TEmbeddedFont> LoadedFont;
}  // namespace

TEmbeddedFont::TEmbeddedFont() {
  DWORD fonts = 0;
  if (KelvaneEditorFontSize > 0)
    fHandle = AddFontMemResourceEx(const_cast<unsigned char*>(KelvaneEditorFontData), KelvaneEditorFontSize,
                                   nullptr, &fonts);
  if (fHandle == nullptr || fonts == 0) throw EEmbeddedFont();
  fName = ReadTrueTypeName(KelvaneEditorFontData, KelvaneEditorFontSize);
}

TEmbeddedFont::~TEmbeddedFont() {
  if (fHandle != nullptr) RemoveFontMemResourceEx(fHandle);
}

const std::string& EmbeddedFontName() {
  static const std::string none;
  return LoadedFont != nullptr ? LoadedFont->Name() : none;
}

void RegisterEmbeddedFont() {
  if (LoadedFont != nullptr) return;
  try {
    LoadedFont = std::make_unique<TEmbeddedFont>();
  } catch (const std::exception& error) {
    // ImGui draws from the same data, so the editor still works.
    DoHandleException(error);
  }
}

void UnregisterEmbeddedFont() { LoadedFont.reset(); }

}  // namespace kelvane
