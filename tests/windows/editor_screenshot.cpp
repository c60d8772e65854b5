// Opens kelvane.dll's editor inside a top-level window as a Windows host
// does, takes a screenshot of that window (BMP) and checks that the editor
// drew into it, shows a crash report in it and closes that with the mouse,
// then closes editor, plug-in and library.
//   kelvane-editor-screenshot <kelvane.dll> <screenshot.bmp> <bank.sf2>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plugin/vst2.h"
#include "tests/windows/crash_exit.h"

using namespace kelvane;

namespace {

constexpr int EditorWidth = 872, EditorHeight = 664;
// The "Exception" window's "&Close" button, in editor coordinates.
constexpr int CloseButtonX = 709, ButtonRowY = 464;
// The "Fine tune" edit and, above it, its bar.
constexpr int FineTuneEditX = 318, FineTuneEditY = 609;
constexpr int AddBankX = 44, AddBankY = 216, FirstBankX = 100, FirstBankY = 94;
struct TArea {
  int Left, Top, Right, Bottom;
};
constexpr TArea ProgramList{448, 86, 854, 202};
constexpr int FineTuneBarLeft = 270, FineTuneBarRight = 324, FineTuneBarTop = 456, FineTuneBarBottom = 596;

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "kelvane-editor-screenshot: %s\n", message.c_str());
  std::exit(1);
}

VstIntPtr VSTCALLBACK HostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
  return opcode == audioMasterVersion ? 2400 : 0;
}

// Runs the host's message loop for a while, sending the editor idle calls.
void Pump(AEffect* effect, int milliseconds) {
  const DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
  while (static_cast<LONG>(end - GetTickCount()) > 0) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (effect != nullptr) effect->dispatcher(effect, effEditIdle, 0, 0, nullptr, 0.0f);
    Sleep(15);
  }
}

HWND EditorChild(HWND parent) { return FindWindowExW(parent, nullptr, L"KelvaneEditorWindow", nullptr); }

// The window's client area as top-down 0x00RRGGBB pixels, read back from the screen.
std::vector<uint32_t> Screenshot(HWND window, int width, int height) {
  HDC source = GetDC(window);
  HDC memory = CreateCompatibleDC(source);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr) Fail("CreateDIBSection failed");
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY);
  GdiFlush();
  std::vector<uint32_t> pixels(static_cast<const uint32_t*>(bits),
                               static_cast<const uint32_t*>(bits) + static_cast<size_t>(width) * height);
  for (uint32_t& p : pixels) p &= 0xFFFFFFu;
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, source);
  return pixels;
}

void WriteBMP(const std::string& path, const std::vector<uint32_t>& pixels, int width, int height) {
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = -height;
  info.biPlanes = 1;
  info.biBitCount = 32;
  info.biCompression = BI_RGB;
  const DWORD bytes = static_cast<DWORD>(pixels.size() * 4);
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + bytes;
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) Fail("cannot write " + path);
  std::fwrite(&file, sizeof file, 1, out);
  std::fwrite(&info, sizeof info, 1, out);
  std::fwrite(pixels.data(), 1, bytes, out);
  if (std::fclose(out) != 0) Fail("cannot write " + path);
}

size_t Changed(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
  return n;
}

void Click(HWND window, int x, int y) {
  const LPARAM at = MAKELPARAM(x, y);
  PostMessageW(window, WM_MOUSEMOVE, 0, at);
  PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(window, WM_LBUTTONUP, 0, at);
  PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(1, 1));  // away, so nothing shows hovered
}

void Key(HWND window, WPARAM key) {
  PostMessageW(window, WM_KEYDOWN, key, 1);
  PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

bool Bright(uint32_t p) { return (p & 0xFF) > 160 && (p >> 8 & 0xFF) > 160 && (p >> 16 & 0xFF) > 160; }
int BrightIn(const std::vector<uint32_t>& pixels, const TArea& area);
bool Dark(uint32_t p) { return (p & 0xFF) < 48 && (p >> 8 & 0xFF) < 48 && (p >> 16 & 0xFF) < 48; }

int BrightIn(const std::vector<uint32_t>& pixels, const TArea& area) {
  int n = 0;
  for (int y = area.Top; y < area.Bottom; ++y)
    for (int x = area.Left; x < area.Right; ++x) n += Bright(pixels[static_cast<size_t>(y) * EditorWidth + x]);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  InstallCrashExit("kelvane-editor-screenshot");
  if (argc != 4) Fail("usage: kelvane-editor-screenshot <kelvane.dll> <screenshot.bmp> <bank.sf2>");

  // The host's window: white, so an editor that draws nothing shows.
  WNDCLASSW wc{};
  wc.lpfnWndProc = &DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = L"KelvaneTestHost";
  if (RegisterClassW(&wc) == 0) Fail("RegisterClass failed");
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  RECT frame{0, 0, EditorWidth, EditorHeight};
  AdjustWindowRect(&frame, style, FALSE);
  HWND host = CreateWindowW(L"KelvaneTestHost", L"Test host", style, 20, 20, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, nullptr, wc.hInstance, nullptr);
  if (host == nullptr) Fail("CreateWindow failed");
  ShowWindow(host, SW_SHOW);
  Pump(nullptr, 100);

  HMODULE library = LoadLibraryA(argv[1]);
  if (library == nullptr) Fail(std::string(argv[1]) + ": LoadLibrary failed, error " + std::to_string(GetLastError()));
  auto entry = reinterpret_cast<AEffect*(VSTCALLBACK*)(audioMasterCallback)>(
      reinterpret_cast<void*>(GetProcAddress(library, "VSTPluginMain")));
  if (entry == nullptr) Fail("no VSTPluginMain");
  AEffect* effect = entry(&HostCallback);
  if (effect == nullptr) Fail("VSTPluginMain answered none");
  effect->dispatcher(effect, effOpen, 0, 0, nullptr, 0.0f);
  if ((effect->flags & effFlagsHasEditor) == 0) Fail("the plug-in has no editor");

  // Open, close and open again: the second window reuses nothing of the first.
  for (int round = 0; round < 2; ++round) {
    if (effect->dispatcher(effect, effEditOpen, 0, 0, host, 0.0f) == 0) Fail("effEditOpen failed");
    ERect* rect = nullptr;
    effect->dispatcher(effect, effEditGetRect, 0, 0, &rect, 0.0f);
    if (rect == nullptr || rect->right - rect->left != EditorWidth || rect->bottom - rect->top != EditorHeight)
      Fail("effEditGetRect does not answer 872 x 664");
    HWND editor = EditorChild(host);
    if (editor == nullptr || (GetWindowLongW(editor, GWL_STYLE) & WS_CHILD) == 0)
      Fail("no editor child window in the host's window");
    if (round == 1) break;
    Pump(effect, 200);
    effect->dispatcher(effect, effEditClose, 0, 0, nullptr, 0.0f);
    if (IsWindow(editor) || EditorChild(host) != nullptr) Fail("effEditClose left the editor window");
  }
  Pump(effect, 1500);

  std::vector<uint32_t> pixels = Screenshot(host, EditorWidth, EditorHeight);
  WriteBMP(argv[2], pixels, EditorWidth, EditorHeight);
  const auto at = [&](int x, int y) { return pixels[static_cast<size_t>(y) * EditorWidth + x]; };
  // The editor's dark background where the host's window is white, and the
  // centred product label in the title strip.
  if (!Dark(at(4, 4)) || !Dark(at(EditorWidth - 4, EditorHeight - 4)))
    Fail("the screenshot shows no editor background (corner pixels " + std::to_string(at(4, 4)) + ")");
  int label = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = EditorWidth / 2 - 100; x < EditorWidth / 2 + 100; ++x) label += Bright(at(x, y));
  if (label < 100) Fail("the title strip shows no product label (" + std::to_string(label) + " bright pixels)");

  // A corrupt chunk from another thread: its crash report shows in the editor
  // (the 645 x 309 "Exception" window), and its "&Close" button, clicked
  // through the window's mouse messages, brings the editor back unchanged.
  std::thread([effect] {
    unsigned char junk[16];
    std::memset(junk, 0xFF, sizeof junk);
    if (effect->dispatcher(effect, effSetChunk, 0, sizeof junk, junk, 0.0f) != 0) Fail("a corrupt chunk was taken");
  }).join();
  Pump(effect, 500);
  const std::vector<uint32_t> report = Screenshot(host, EditorWidth, EditorHeight);
  WriteBMP(std::string(argv[2]) + ".report.bmp", report, EditorWidth, EditorHeight);
  if (Changed(pixels, report) < 50000) Fail("the crash report does not show");
  Click(EditorChild(host), CloseButtonX, ButtonRowY);
  Pump(effect, 500);
  const size_t left = Changed(pixels, Screenshot(host, EditorWidth, EditorHeight));
  if (left != 0) Fail("closing the crash report left " + std::to_string(left) + " pixels changed");

  // Typing 37 into "Fine tune" (through the window's key and character
  // messages) moves its bar.
  HWND editor = EditorChild(host);
  Click(editor, FineTuneEditX, FineTuneEditY);
  Key(editor, VK_BACK);
  PostMessageW(editor, WM_CHAR, '3', 1);
  PostMessageW(editor, WM_CHAR, '7', 1);
  Key(editor, VK_RETURN);
  Pump(effect, 500);
  const std::vector<uint32_t> typed = Screenshot(host, EditorWidth, EditorHeight);
  WriteBMP(std::string(argv[2]) + ".typed.bmp", typed, EditorWidth, EditorHeight);
  size_t bar = 0;
  for (int y = FineTuneBarTop; y < FineTuneBarBottom; ++y)
    for (int x = FineTuneBarLeft; x < FineTuneBarRight; ++x) bar += at(x, y) != typed[static_cast<size_t>(y) * EditorWidth + x];
  if (bar < 100) Fail("typing into the fine tune edit did not move its bar");

  // "Add bank" with a path outside the ANSI code page, typed into the dialog:
  // the bank opens (selecting it lists its presets).
  wchar_t temporary[MAX_PATH];
  if (GetTempPathW(MAX_PATH, temporary) == 0) Fail("GetTempPath failed");
  const std::wstring bank = std::wstring(temporary) + L"b\u00E4nk \u266B.sf2";
  const int length = MultiByteToWideChar(CP_UTF8, 0, argv[3], -1, nullptr, 0);
  std::wstring source(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, argv[3], -1, source.data(), length);
  if (!CopyFileW(source.c_str(), bank.c_str(), FALSE)) Fail(std::string("cannot copy ") + argv[3]);
  Click(editor, AddBankX, AddBankY);
  Pump(effect, 300);
  for (wchar_t c : bank) PostMessageW(editor, WM_CHAR, c, 1);
  Key(editor, VK_RETURN);
  Pump(effect, 500);
  Click(editor, FirstBankX, FirstBankY);
  Pump(effect, 500);
  const std::vector<uint32_t> added = Screenshot(host, EditorWidth, EditorHeight);
  WriteBMP(std::string(argv[2]) + ".bank.bmp", added, EditorWidth, EditorHeight);
  DeleteFileW(bank.c_str());
  if (BrightIn(added, ProgramList) < 100) Fail("the added bank lists no presets");

  effect->dispatcher(effect, effEditClose, 0, 0, nullptr, 0.0f);
  if (EditorChild(host) != nullptr) Fail("effEditClose left the editor window");
  effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
  FreeLibrary(library);
  Pump(nullptr, 100);  // no timer or message may reach the unloaded library
  DestroyWindow(host);
  std::printf("kelvane-editor-screenshot: %s, %d bright pixels in the title label\n", argv[2], label);
  return 0;
}
