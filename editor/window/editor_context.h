#pragma once

// The ImGui context of one editor window, shared by the platform layers: each
// window has its own, so instances and other plug-ins never see each other's.

#include <imgui/imgui.h>

#include <initializer_list>
#include <utility>

#include "editor/window/draw_list_raster.h"

namespace kelvane {

// Restores the caller's ImGui context: another instance or plug-in may be using its own.
struct TContextScope {
  ImGuiContext* Previous;
  explicit TContextScope(ImGuiContext* context) : Previous(ImGui::GetCurrentContext()) {
    ImGui::SetCurrentContext(context);
  }
  ~TContextScope() { ImGui::SetCurrentContext(Previous); }
};

// A context of the editor's size with its fonts (ImGui's own when they fail),
// no settings file, the font atlas handed out as Font and the layer's key codes.
ImGuiContext* CreateEditorContext(TAlphaTexture& Font, std::initializer_list<std::pair<ImGuiKey, int>> KeyMap);

}  // namespace kelvane
