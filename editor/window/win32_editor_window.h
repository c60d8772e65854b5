#pragma once

// The editor as a Win32 child of the host's window, parallel to the X11
// layer: one ImGui context per window, the software-rasterised pixels blitted
// on WM_PAINT. Redraws only after input or a model change; a timer keeps it
// alive in hosts that send no idle calls.

#include <cstdint>
#include <functional>
#include <memory>

namespace kelvane {

class TWin32EditorWindow {
 public:
  // frame builds one ImGui frame (between NewFrame and Render) in this window's
  // context. parent: the HWND the host passed; none makes a top-level window.
  TWin32EditorWindow(std::function<void()> frame, void* parent);
  ~TWin32EditorWindow();
  TWin32EditorWindow(const TWin32EditorWindow&) = delete;
  TWin32EditorWindow& operator=(const TWin32EditorWindow&) = delete;

  bool IsOpen() const;
  // Draws when something changed and asks for a repaint; never blocks.
  void Idle();
  void Invalidate() { fDirty = 2; }
  void* Handle() const;
  // The last drawn frame as 0xAARRGGBB (a top-down 32-bit DIB), EditorWidth x EditorHeight.
  const uint32_t* Pixels() const;
  // Runs on the window's timer instead of Idle when set (the owner's idle work).
  std::function<void()> OnTimer;

  struct TImpl;

 private:
  std::unique_ptr<TImpl> fImpl;
  int fDirty = 2;  // ImGui settles its layout over two frames
};

}  // namespace kelvane
