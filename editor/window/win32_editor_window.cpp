#include "editor/window/win32_editor_window.h"

#include <windows.h>
#include <windowsx.h>
#include <imgui/imgui.h>
#include <imgui/imgui_internal.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <set>
#include <vector>

#include "editor/window/draw_list_raster.h"
#include "editor/window/editor_context.h"
#include "editor/window/editor_layout.h"
#include "plugin/exception_report.h"

namespace kelvane {

namespace {

constexpr uint32_t Background = 0xFF0F0F0Fu;
constexpr UINT_PTR IdleTimer = 1;
constexpr UINT IdleTimerMilliseconds = 30;
constexpr const wchar_t* WindowClassName = L"KelvaneEditorWindow";

LRESULT CALLBACK EditorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void IgnoreImGuiError(void*, const char*, ...) {}

// The class lives as long as a window does: the library may be unloaded and
// loaded again at another address, and a stale class would call the old code.
HINSTANCE LibraryInstance() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&EditorWindowProc), &module);
  return module;
}
int32_t WindowClassUsers = 0;  // user-interface thread only

bool AcquireWindowClass() {
  if (WindowClassUsers++ > 0) return true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = &EditorWindowProc;
  wc.hInstance = LibraryInstance();
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = WindowClassName;
  if (RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) return true;
  --WindowClassUsers;
  return false;
}

void ReleaseWindowClass() {
  if (--WindowClassUsers == 0) UnregisterClassW(WindowClassName, LibraryInstance());
}

}  // namespace

struct TWin32EditorWindow::TImpl {
  TWin32EditorWindow& Owner;
  std::function<void()> Frame;
  HWND Window = nullptr;
  bool HaveClass = false;
  std::vector<uint32_t> Pixels;
  BITMAPINFO Bitmap{};
  ImGuiContext* Context = nullptr;
  TAlphaTexture Font;
  std::chrono::steady_clock::time_point LastFrame = std::chrono::steady_clock::now();
  // ImGui sees one state per frame: a second change of a button or key since
  // the last frame draws that frame first.
  bool ButtonChanged[3] = {};
  std::set<WPARAM> KeysChanged;
  bool Tracking = false;

  TImpl(TWin32EditorWindow& owner, std::function<void()> frame) : Owner(owner), Frame(std::move(frame)) {}

  void DrawFrame() {
    TContextScope scope(Context);
    ImGuiIO& io = ImGui::GetIO();
    const auto now = std::chrono::steady_clock::now();
    io.DeltaTime = std::max(1e-3f, std::chrono::duration<float>(now - LastFrame).count());
    LastFrame = now;
    ImGui::NewFrame();
    try {
      Frame();
    } catch (...) {
      // Close what the frame left open, so the next one can start.
      ImGui::ErrorCheckEndFrameRecover(&IgnoreImGuiError);
      ImGui::EndFrame();
      throw;
    }
    ImGui::Render();
    RasterizeDrawData(*ImGui::GetDrawData(), Font, Pixels.data(), static_cast<int>(EditorWidth),
                      static_cast<int>(EditorHeight), Background);
    io.MouseWheel = 0.0f;
    std::fill(std::begin(ButtonChanged), std::end(ButtonChanged), false);
    KeysChanged.clear();
    if (Window != nullptr) InvalidateRect(Window, nullptr, FALSE);
  }

  void Blit(HDC dc) const {
    SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(EditorWidth), static_cast<DWORD>(EditorHeight), 0, 0, 0,
                      static_cast<UINT>(EditorHeight), Pixels.data(), &Bitmap, DIB_RGB_COLORS);
  }

  void Button(int index, bool down, LPARAM lParam) {
    TContextScope scope(Context);
    if (ButtonChanged[index]) DrawFrame();
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(static_cast<float>(GET_X_LPARAM(lParam)), static_cast<float>(GET_Y_LPARAM(lParam)));
    io.MouseDown[index] = down;
    ButtonChanged[index] = true;
    if (down) {
      SetFocus(Window);  // keys come to the editor, not to the host
      SetCapture(Window);
    } else if (!io.MouseDown[0] && !io.MouseDown[1] && !io.MouseDown[2]) {
      ReleaseCapture();
    }
    Owner.Invalidate();
  }

  void Key(WPARAM key, bool down) {
    if (key >= 512) return;
    TContextScope scope(Context);
    if (!KeysChanged.insert(key).second) DrawFrame();
    ImGuiIO& io = ImGui::GetIO();
    io.KeysDown[key] = down;
    io.KeyCtrl = (GetKeyState(VK_CONTROL) & 0x8000) != 0;
    io.KeyShift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
    Owner.Invalidate();
  }

  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    TContextScope scope(Context);
    ImGuiIO& io = ImGui::GetIO();
    switch (message) {
      case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(Window, &paint);
        Blit(dc);
        EndPaint(Window, &paint);
        return 0;
      }
      case WM_PRINTCLIENT: Blit(reinterpret_cast<HDC>(wParam)); return 0;
      case WM_ERASEBKGND: return 1;
      case WM_TIMER:
        if (wParam != IdleTimer) break;
        if (Owner.OnTimer) Owner.OnTimer(); else Owner.Idle();
        return 0;
      case WM_MOUSEMOVE:
        // A button changed here: the frame must see it at this position (a click ends on its button).
        if (ButtonChanged[0] || ButtonChanged[1] || ButtonChanged[2]) DrawFrame();
        io.MousePos = ImVec2(static_cast<float>(GET_X_LPARAM(lParam)), static_cast<float>(GET_Y_LPARAM(lParam)));
        if (!Tracking) {
          TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, Window, 0};
          Tracking = TrackMouseEvent(&track) != FALSE;
        }
        Owner.Invalidate();
        return 0;
      case WM_MOUSELEAVE:
        Tracking = false;
        io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
        Owner.Invalidate();
        return 0;
      case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK: Button(0, true, lParam); return 0;
      case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK: Button(1, true, lParam); return 0;
      case WM_MBUTTONDOWN: case WM_MBUTTONDBLCLK: Button(2, true, lParam); return 0;
      case WM_LBUTTONUP: Button(0, false, lParam); return 0;
      case WM_RBUTTONUP: Button(1, false, lParam); return 0;
      case WM_MBUTTONUP: Button(2, false, lParam); return 0;
      case WM_MOUSEWHEEL:
        io.MouseWheel += static_cast<float>(GET_WHEEL_DELTA_WPARAM(wParam)) / WHEEL_DELTA;
        Owner.Invalidate();
        return 0;
      case WM_KEYDOWN: case WM_SYSKEYDOWN: Key(wParam, true); return 0;
      case WM_KEYUP: case WM_SYSKEYUP: Key(wParam, false); return 0;
      case WM_CHAR:
        if (wParam >= 0x20 && wParam != 0x7F) io.AddInputCharacterUTF16(static_cast<ImWchar16>(wParam));
        Owner.Invalidate();
        return 0;
      case WM_GETDLGCODE: return DLGC_WANTALLKEYS | DLGC_WANTCHARS;
      case WM_KILLFOCUS:
        std::fill(std::begin(io.KeysDown), std::end(io.KeysDown), false);
        Owner.Invalidate();
        return 0;
      default: break;
    }
    return DefWindowProcW(Window, message, wParam, lParam);
  }
};

namespace {

LRESULT CALLBACK EditorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* impl = reinterpret_cast<TWin32EditorWindow::TImpl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (impl == nullptr || impl->Window != window) return DefWindowProcW(window, message, wParam, lParam);
  // Timer and input reach the editor here, outside the host's guarded
  // dispatcher: nothing thrown may leave through the window procedure.
  return Guarded<LRESULT>(0, [&] { return impl->Handle(message, wParam, lParam); });
}

}  // namespace

TWin32EditorWindow::TWin32EditorWindow(std::function<void()> frame, void* parent)
    : fImpl(std::make_unique<TImpl>(*this, std::move(frame))) {
  TImpl& s = *fImpl;
  const int width = static_cast<int>(EditorWidth), height = static_cast<int>(EditorHeight);
  s.Pixels.assign(static_cast<size_t>(width) * height, Background);
  s.Bitmap.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  s.Bitmap.bmiHeader.biWidth = width;
  s.Bitmap.bmiHeader.biHeight = -height;  // top-down, as the rasteriser writes
  s.Bitmap.bmiHeader.biPlanes = 1;
  s.Bitmap.bmiHeader.biBitCount = 32;
  s.Bitmap.bmiHeader.biCompression = BI_RGB;

  s.Context = CreateEditorContext(s.Font, {
        {ImGuiKey_Tab, VK_TAB},         {ImGuiKey_LeftArrow, VK_LEFT}, {ImGuiKey_RightArrow, VK_RIGHT},
        {ImGuiKey_UpArrow, VK_UP},      {ImGuiKey_DownArrow, VK_DOWN}, {ImGuiKey_Home, VK_HOME},
        {ImGuiKey_End, VK_END},         {ImGuiKey_Delete, VK_DELETE},  {ImGuiKey_Backspace, VK_BACK},
        {ImGuiKey_Enter, VK_RETURN},    {ImGuiKey_Escape, VK_ESCAPE},  {ImGuiKey_A, 'A'}});

  s.HaveClass = AcquireWindowClass();
  if (!s.HaveClass) return;
  HWND owner = static_cast<HWND>(parent);
  const DWORD style = owner != nullptr ? WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS
                                       : WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
  RECT rect{0, 0, width, height};
  AdjustWindowRectEx(&rect, style, FALSE, 0);
  // Until CreateWindowEx returns, Window is none and the procedure hands the
  // creation messages to the default one.
  s.Window = CreateWindowExW(0, WindowClassName, L"Kelvane", style, 0, 0, rect.right - rect.left,
                             rect.bottom - rect.top, owner, nullptr, LibraryInstance(), &s);
  if (s.Window == nullptr) return;
  SetTimer(s.Window, IdleTimer, IdleTimerMilliseconds, nullptr);
}

TWin32EditorWindow::~TWin32EditorWindow() {
  TImpl& s = *fImpl;
  if (s.Window != nullptr) {
    KillTimer(s.Window, IdleTimer);
    HWND window = s.Window;
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);  // no message reaches a half-destroyed object
    s.Window = nullptr;
    DestroyWindow(window);
  }
  if (s.HaveClass) ReleaseWindowClass();
  if (s.Context != nullptr) {
    ImGuiContext* previous = ImGui::GetCurrentContext();
    ImGui::DestroyContext(s.Context);
    if (previous != s.Context) ImGui::SetCurrentContext(previous);
  }
}

bool TWin32EditorWindow::IsOpen() const { return fImpl->Window != nullptr; }
void* TWin32EditorWindow::Handle() const { return fImpl->Window; }
const uint32_t* TWin32EditorWindow::Pixels() const { return fImpl->Pixels.data(); }

void TWin32EditorWindow::Idle() {
  if (fDirty > 0) {
    --fDirty;
    fImpl->DrawFrame();
  }
}

}  // namespace kelvane
