#include "plugin/audio_effect_editor.h"

namespace kelvane {

bool TAudioEffectEditor::GetRect(ERect** rect) {
  if (rect != nullptr) *rect = nullptr;
  return false;
}

bool TAudioEffectEditor::Open(void* parent) {
  SystemWindow = parent;
  return false;
}

void TAudioEffectEditor::Close() { SystemWindow = nullptr; }

bool TAudioEffectEditor::IsOpen() { return SystemWindow != nullptr; }

bool TAudioEffectEditor::OnKeyDown(VstKeyCode&) { return false; }

bool TAudioEffectEditor::OnKeyUp(VstKeyCode&) { return false; }

bool TAudioEffectEditor::SetKnobMode(VstInt32) { return false; }

bool TAudioEffectEditor::OnWheel(float) { return false; }

}  // namespace kelvane
