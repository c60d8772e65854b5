#ifdef KELVANE_HAVE_EDITOR_X11

#include "editor/window/x11_editor_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "editor/editor_model.h"
#include "synth/synth.h"

// Xlib's macros (None, Bool, ...) clash with other headers: it comes last.
#include <X11/Xlib.h>

namespace kelvane {
namespace {

// Needs an X server (for example Xvfb); skipped without one.
TEST(X11EditorWindow, TwoInstancesDrawAndTakeAClick) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
  TSynth synth;
  TCriticalSectionLock lock;
  TVSTiProgram program;
  program.Data.AGC = SwitchOff;
  TEditorModel model(lock, program, synth, nullptr);
  TEditorModel other(lock, program, synth, nullptr);

  TX11EditorWindow window(model, 0);
  TX11EditorWindow second(other, 0);
  ASSERT_TRUE(window.IsOpen());
  ASSERT_TRUE(second.IsOpen());
  for (int i = 0; i < 3; ++i) {
    window.Idle();
    second.Idle();
  }
  size_t drawn = 0;
  for (size_t i = 0; i < 872u * 664u; ++i) drawn += window.Pixels()[i] != 0xFF0F0F0Fu;
  EXPECT_GT(drawn, 100000u);

  // Click the "AGC" tick through the server.
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  for (int type : {MotionNotify, ButtonPress, ButtonRelease}) {
    XEvent event{};
    event.type = type;
    event.xbutton.window = window.Handle();
    event.xbutton.x = 528;
    event.xbutton.y = 474;
    event.xbutton.button = Button1;
    event.xbutton.same_screen = True;
    XSendEvent(display, window.Handle(), False, 0, &event);
  }
  XFlush(display);
  XSync(display, False);
  for (int i = 0; i < 20 && !model.Settings[0]; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    window.Idle();
  }
  EXPECT_TRUE(model.Settings[0]);
  EXPECT_EQ(program.Data.AGC, SwitchOn);
  XCloseDisplay(display);
}

}  // namespace
}  // namespace kelvane

#endif
