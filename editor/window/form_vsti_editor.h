#pragma once

// The plug-in's editor window on X11: the model, its ImGui layout, the
// dialogs and the crash report, in a child of the host's window.

#include <memory>

#include "plugin/vsti_plugin.h"

namespace kelvane {

class TEditorModel;

// Answers none when no X display can be opened.
std::unique_ptr<TFormVSTiEditor> CreateFormVSTiEditor(TVSTiPlugin& plugin, void* parent);

}  // namespace kelvane
