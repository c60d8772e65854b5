#pragma once

// The plug-in's editor window: the model, its ImGui layout, the dialogs and
// the crash report, in a child of the host's window (X11 or Win32).

#include <memory>

#include "plugin/vsti_plugin.h"

namespace kelvane {

class TEditorModel;

// Answers none when no window can be created (no X display, say).
std::unique_ptr<TFormVSTiEditor> CreateFormVSTiEditor(TVSTiPlugin& plugin, void* parent);

}  // namespace kelvane
