#pragma once

// The plug-in's editor window as the host sees it. Called from the host's
// user-interface thread only.

#include "plugin/vst2.h"

namespace kelvane {

class TAudioEffect;

class TAudioEffectEditor {
 public:
  explicit TAudioEffectEditor(TAudioEffect* effect) : FEffect(effect) {}
  virtual ~TAudioEffectEditor() = default;

  TAudioEffectEditor(const TAudioEffectEditor&) = delete;
  TAudioEffectEditor& operator=(const TAudioEffectEditor&) = delete;

  // Writes the address of the editor's rectangle into *rect (none here).
  virtual bool GetRect(ERect** rect);
  // parent is the host's window handle.
  virtual bool Open(void* parent);
  virtual void Close();
  virtual bool IsOpen();
  virtual void Idle() {}
  virtual void Update() {}
  virtual bool OnKeyDown(VstKeyCode& keyCode);
  virtual bool OnKeyUp(VstKeyCode& keyCode);
  virtual bool SetKnobMode(VstInt32 mode);
  virtual bool OnWheel(float distance);

  TAudioEffect* GetEffect() const { return FEffect; }
  void* GetSystemWindow() const { return SystemWindow; }

 protected:
  TAudioEffect* FEffect;  // not owned: the plug-in owns the editor
  void* SystemWindow = nullptr;
};

}  // namespace kelvane
