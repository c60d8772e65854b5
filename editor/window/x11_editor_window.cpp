#include "editor/window/x11_editor_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <imgui/imgui.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <set>
#include <vector>

#include "editor/editor_model.h"
#include "editor/window/draw_list_raster.h"
#include "editor/window/editor_context.h"
#include "editor/window/editor_layout.h"

namespace kelvane {

namespace {

constexpr uint32_t Background = 0xFF0F0F0Fu;

// ImGui key-map slot of a key symbol (the low bits keep the named keys apart).
constexpr int X11Key(KeySym sym) { return static_cast<int>(sym & 0x1FF); }

}  // namespace

struct TX11EditorWindow::TImpl {
  std::function<void()> Frame;
  Display* XDisplay = nullptr;
  Window XWindow = 0;
  GC XGC = nullptr;
  XImage* Image = nullptr;
  std::vector<uint32_t> Pixels;
  ImGuiContext* Context = nullptr;
  TAlphaTexture Font;
  TEditorRequests Requests;
  std::chrono::steady_clock::time_point LastFrame = std::chrono::steady_clock::now();

  explicit TImpl(std::function<void()> frame) : Frame(std::move(frame)) {}
};

TX11EditorWindow::TX11EditorWindow(TEditorModel& model, unsigned long parent)
    : TX11EditorWindow([this, &model] { DrawEditorLayout(model, fImpl->Requests); }, parent) {}

TX11EditorWindow::TX11EditorWindow(std::function<void()> frame, unsigned long parent)
    : fImpl(std::make_unique<TImpl>(std::move(frame))) {
  TImpl& s = *fImpl;
  const int width = static_cast<int>(EditorWidth), height = static_cast<int>(EditorHeight);
  s.Pixels.assign(static_cast<size_t>(width) * height, Background);

  s.Context = CreateEditorContext(s.Font, {
        {ImGuiKey_Tab, X11Key(XK_Tab)}, {ImGuiKey_LeftArrow, X11Key(XK_Left)},
        {ImGuiKey_RightArrow, X11Key(XK_Right)}, {ImGuiKey_UpArrow, X11Key(XK_Up)},
        {ImGuiKey_DownArrow, X11Key(XK_Down)}, {ImGuiKey_Home, X11Key(XK_Home)},
        {ImGuiKey_End, X11Key(XK_End)}, {ImGuiKey_Delete, X11Key(XK_Delete)},
        {ImGuiKey_Backspace, X11Key(XK_BackSpace)}, {ImGuiKey_Enter, X11Key(XK_Return)},
        {ImGuiKey_Escape, X11Key(XK_Escape)}, {ImGuiKey_A, X11Key(XK_a)}});

  s.XDisplay = XOpenDisplay(nullptr);  // a connection of our own: the host's stays untouched
  if (s.XDisplay == nullptr) return;
  const int screen = DefaultScreen(s.XDisplay);
  if (DefaultDepth(s.XDisplay, screen) < 24) {
    XCloseDisplay(s.XDisplay);
    s.XDisplay = nullptr;
    return;
  }
  const Window owner = parent != 0 ? static_cast<Window>(parent) : RootWindow(s.XDisplay, screen);
  s.XWindow = XCreateSimpleWindow(s.XDisplay, owner, 0, 0, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), 0, 0, Background & 0xFFFFFFu);
  XSelectInput(s.XDisplay, s.XWindow,
               ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                   KeyReleaseMask | StructureNotifyMask | LeaveWindowMask);
  s.XGC = XCreateGC(s.XDisplay, s.XWindow, 0, nullptr);
  s.Image = XCreateImage(s.XDisplay, DefaultVisual(s.XDisplay, screen), static_cast<unsigned>(DefaultDepth(s.XDisplay, screen)),
                         ZPixmap, 0, reinterpret_cast<char*>(s.Pixels.data()), static_cast<unsigned>(width),
                         static_cast<unsigned>(height), 32, 0);
  XMapWindow(s.XDisplay, s.XWindow);
  XFlush(s.XDisplay);
}

TX11EditorWindow::~TX11EditorWindow() {
  TImpl& s = *fImpl;
  if (s.XDisplay != nullptr) {
    if (s.Image != nullptr) {
      s.Image->data = nullptr;  // the buffer is ours
      XDestroyImage(s.Image);
    }
    if (s.XGC != nullptr) XFreeGC(s.XDisplay, s.XGC);
    if (s.XWindow != 0) XDestroyWindow(s.XDisplay, s.XWindow);
    XCloseDisplay(s.XDisplay);
  }
  if (s.Context != nullptr) {
    ImGuiContext* previous = ImGui::GetCurrentContext();
    ImGui::DestroyContext(s.Context);
    if (previous != s.Context) ImGui::SetCurrentContext(previous);
  }
}

bool TX11EditorWindow::IsOpen() const { return fImpl->XDisplay != nullptr && fImpl->XWindow != 0; }
unsigned long TX11EditorWindow::Handle() const { return fImpl->XWindow; }
const uint32_t* TX11EditorWindow::Pixels() const { return fImpl->Pixels.data(); }

void TX11EditorWindow::Idle() {
  TImpl& s = *fImpl;
  TContextScope scope(s.Context);
  ImGuiIO& io = ImGui::GetIO();
  bool exposed = false;
  bool changedThisBatch[5] = {};
  std::set<KeySym> changedKeys;
  while (IsOpen() && XPending(s.XDisplay) > 0) {
    XEvent event;
    XNextEvent(s.XDisplay, &event);
    switch (event.type) {
      case Expose: exposed = true; break;
      case MotionNotify:
        io.MousePos = ImVec2(static_cast<float>(event.xmotion.x), static_cast<float>(event.xmotion.y));
        fDirty = 2;
        break;
      case LeaveNotify: io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX); fDirty = 2; break;
      case ButtonPress:
      case ButtonRelease: {
        const unsigned button = event.xbutton.button;
        if (button >= 1 && button <= 3 && changedThisBatch[button == 1 ? 0 : button == 3 ? 1 : 2]) {
          // ImGui sees one state per frame: a second change of the button waits for the next one.
          XPutBackEvent(s.XDisplay, &event);
          fDirty = 2;
          goto draw;
        }
        io.MousePos = ImVec2(static_cast<float>(event.xbutton.x), static_cast<float>(event.xbutton.y));
        if (button >= 4 && button <= 5) {
          if (event.type == ButtonPress) io.MouseWheel += button == 4 ? 1.0f : -1.0f;
        } else if (button >= 1 && button <= 3) {
          const int index = button == 1 ? 0 : button == 3 ? 1 : 2;
          io.MouseDown[index] = event.type == ButtonPress;
          changedThisBatch[index] = true;
        }
        fDirty = 2;
        break;
      }
      case KeyPress:
      case KeyRelease: {
        char text[16] = {};
        KeySym sym = 0;
        const int length = XLookupString(&event.xkey, text, sizeof text - 1, &sym, nullptr);
        if (!changedKeys.insert(X11Key(sym)).second) {
          // A key tapped inside one batch (typed or sent fast): a frame sees each state.
          XPutBackEvent(s.XDisplay, &event);
          fDirty = 2;
          goto draw;
        }
        io.KeysDown[X11Key(sym)] = event.type == KeyPress;
        io.KeyCtrl = (event.xkey.state & ControlMask) != 0;
        io.KeyShift = (event.xkey.state & ShiftMask) != 0;
        if (event.type == KeyPress && length > 0 && static_cast<unsigned char>(text[0]) >= 0x20 && text[0] != 0x7F)
          io.AddInputCharactersUTF8(text);
        fDirty = 2;
        break;
      }
      default: break;
    }
  }
draw:
  if (fDirty > 0) {
    const auto now = std::chrono::steady_clock::now();
    io.DeltaTime = std::max(1e-3f, std::chrono::duration<float>(now - s.LastFrame).count());
    s.LastFrame = now;
    ImGui::NewFrame();
    s.Frame();
    ImGui::Render();
    RasterizeDrawData(*ImGui::GetDrawData(), s.Font, s.Pixels.data(), static_cast<int>(EditorWidth),
                      static_cast<int>(EditorHeight), Background);
    io.MouseWheel = 0.0f;
    --fDirty;
    exposed = true;
  }
  if (exposed && IsOpen()) {
    XPutImage(s.XDisplay, s.XWindow, s.XGC, s.Image, 0, 0, 0, 0, static_cast<unsigned>(EditorWidth),
              static_cast<unsigned>(EditorHeight));
    XFlush(s.XDisplay);
  }
}

}  // namespace kelvane
