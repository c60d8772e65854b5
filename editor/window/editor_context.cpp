#include "editor/window/editor_context.h"

#include "editor/window/editor_layout.h"

namespace kelvane {

ImGuiContext* CreateEditorContext(TAlphaTexture& Font, std::initializer_list<std::pair<ImGuiKey, int>> KeyMap) {
  ImGuiContext* context = ImGui::CreateContext();
  TContextScope scope(context);
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;
  io.DisplaySize = ImVec2(EditorWidth, EditorHeight);
  if (!AddEditorFonts()) io.Fonts->AddFontDefault();
  unsigned char* pixels = nullptr;
  io.Fonts->GetTexDataAsAlpha8(&pixels, &Font.Width, &Font.Height);
  Font.Pixels = pixels;
  for (const auto& [key, code] : KeyMap) io.KeyMap[key] = code;
  return context;
}

}  // namespace kelvane
