#pragma once

// The editor as an X11 child of the host's window: one ImGui context and one
// connection per window, so several plug-in instances never share state.
// Redraws only after input or a model change.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kelvane {

class TEditorModel;

class TX11EditorWindow {
 public:
  // parent: the X11 window the host passed; 0 makes a top-level window.
  TX11EditorWindow(TEditorModel& model, unsigned long parent);
  // frame builds one ImGui frame (between NewFrame and Render) in this window's context.
  TX11EditorWindow(std::function<void()> frame, unsigned long parent);
  ~TX11EditorWindow();
  TX11EditorWindow(const TX11EditorWindow&) = delete;
  TX11EditorWindow& operator=(const TX11EditorWindow&) = delete;

  bool IsOpen() const;
  // Handles pending events and draws when something changed; never blocks.
  void Idle();
  void Invalidate() { fDirty = 2; }
  unsigned long Handle() const;
  // The last drawn frame as 0xAARRGGBB, EditorWidth x EditorHeight.
  const uint32_t* Pixels() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> fImpl;
  int fDirty = 2;  // ImGui settles its layout over two frames
};

}  // namespace kelvane
