#pragma once

// The editor laid out with Dear ImGui: draws the model and feeds the user's
// actions back into it. The platform layer (window, input, pixels) is separate.

#include <string>

namespace kelvane {

class TEditorModel;

inline constexpr float EditorWidth = 872.0f;
inline constexpr float EditorHeight = 664.0f;

// File dialogs are the platform's: the layout only asks for them.
struct TEditorRequests {
  bool AddBank = false;             // run "Add bank" with AddBankFilter
  int ImportTuningChannel = -1;     // run "Import tuning scale" for this channel
};

// One frame inside ImGui::NewFrame / ImGui::Render.
void DrawEditorLayout(TEditorModel& model, TEditorRequests& requests);

// The embedded DejaVu Sans Condensed, added to the current context's atlas.
// Returns false when the build had no font file.
bool AddEditorFonts();

}  // namespace kelvane
