// The editor as a host meets it: kelvane.so loaded with dlopen, its window
// opened inside a window of this host through effEditOpen and idled through
// effEditIdle. Needs an X server (CTest starts Xvfb); skipped without one.

#if defined(KELVANE_PLUGIN_LIBRARY)

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "plugin/state_chunk.h"
#include "plugin/vst2.h"
#include "plugin/vsti_program.h"

// Xlib's macros (None, Bool, ...) clash with other headers: it comes last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kelvane {
namespace {

constexpr int Width = 872, Height = 664;
constexpr unsigned long HostBackground = 0x00336699;
// Where the dialogs put their buttons inside the 872 x 664 editor.
constexpr int SaveButtonX = 621, CloseButtonX = 709, ButtonRowY = 464;
constexpr int MenuTuningsX = 230, MenuTuningsY = 298, MenuLoadX = 310, MenuLoadY = 322;
constexpr int YesButtonX = 529, YesButtonY = 374, OkButtonX = 618, OkButtonY = 378;

VstIntPtr VSTCALLBACK HostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
  return opcode == audioMasterVersion ? 2400 : 0;
}

struct TLibrary {
  TLibrary() : Handle(dlopen(KELVANE_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~TLibrary() {
    if (Handle != nullptr) dlclose(Handle);
  }
  AEffect* Create() {
    auto main = reinterpret_cast<AEffect* (*)(audioMasterCallback)>(dlsym(Handle, "main"));
    return main != nullptr ? main(&HostCallback) : nullptr;
  }
  void* Handle;
};

// One plug-in instance with a host window of its own for the editor.
class TEditorHost {
 public:
  // x: where the host window goes on the screen; windows that overlap hide each other's pixels.
  TEditorHost(TLibrary& library, Display* display, int x = 0) : XDisplay(display), Effect(library.Create()) {
    Parent = XCreateSimpleWindow(display, DefaultRootWindow(display), x, 0, Width + 20, Height + 20, 0, 0,
                                 HostBackground);
    XMapWindow(display, Parent);
    XSync(display, False);
    Dispatch(effOpen);
    Dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
    Dispatch(effSetBlockSize, 0, 256);
    Dispatch(effMainsChanged, 0, 1);
  }
  ~TEditorHost() {
    if (Effect != nullptr) Dispatch(effClose);
    XDestroyWindow(XDisplay, Parent);
    XSync(XDisplay, False);
  }
  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                     float opt = 0.0f) {
    return Effect->dispatcher(Effect, opcode, index, value, ptr, opt);
  }
  ERect* Rect(VstIntPtr& answer) {
    ERect* rect = nullptr;
    answer = Dispatch(effEditGetRect, 0, 0, &rect);
    return rect;
  }
  // Idles the editor the way a host's timer does.
  void Idle(int times = 5) {
    for (int i = 0; i < times; ++i) {
      Dispatch(effEditIdle);
      XSync(XDisplay, False);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::vector<Window> Children() {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    std::vector<Window> result;
    if (XQueryTree(XDisplay, Parent, &root, &parent, &children, &count) != 0 && children != nullptr) {
      result.assign(children, children + count);
      XFree(children);
    }
    return result;
  }
  // What the server shows in the host's window, as 0x00RRGGBB.
  std::vector<uint32_t> Screenshot(const std::string& name) {
    std::vector<uint32_t> pixels;
    XSync(XDisplay, False);
    XImage* image = XGetImage(XDisplay, Parent, 0, 0, Width, Height, AllPlanes, ZPixmap);
    if (image == nullptr) return pixels;
    pixels.resize(static_cast<size_t>(Width) * Height);
    for (int y = 0; y < Height; ++y)
      for (int x = 0; x < Width; ++x)
        pixels[static_cast<size_t>(y) * Width + x] = static_cast<uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF);
    XDestroyImage(image);
    if (FILE* f = std::fopen((std::string(KELVANE_BINARY_DIR "/") + name).c_str(), "wb")) {
      std::fprintf(f, "P6 %d %d 255\n", Width, Height);
      for (uint32_t p : pixels) {
        const unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                                      static_cast<unsigned char>(p)};
        std::fwrite(rgb, 1, 3, f);
      }
      std::fclose(f);
    }
    return pixels;
  }
  // A click as the server would deliver it to the editor's window.
  void Click(int x, int y) {
    const std::vector<Window> children = Children();
    ASSERT_EQ(children.size(), 1u);
    for (int type : {MotionNotify, ButtonPress, ButtonRelease}) {
      XEvent event{};
      event.type = type;
      event.xbutton.window = children[0];
      event.xbutton.x = x;
      event.xbutton.y = y;
      event.xbutton.button = Button1;
      event.xbutton.same_screen = True;
      XSendEvent(XDisplay, children[0], False, 0, &event);
      XSync(XDisplay, False);
      Idle(2);
    }
    Idle(3);
  }
  TVSTiProgram Program() {
    void* data = nullptr;
    const VstIntPtr size = Dispatch(effGetChunk, 0, 0, &data);
    TVSTiProgram program;
    if (size > 0 && data != nullptr) ReadProgramChunk(static_cast<const uint8_t*>(data), static_cast<size_t>(size), false, program);
    return program;
  }

  // One note on channel (0-based) for a quarter second; the output's RMS.
  double RenderNote(int channel, int key = 60) {
    VstMidiEvent on{};
    on.type = kVstMidiType;
    on.byteSize = sizeof on;
    on.midiData[0] = static_cast<char>(0x90 | channel);
    on.midiData[1] = static_cast<char>(key);
    on.midiData[2] = 100;
    VstMidiEvent off = on;
    off.midiData[0] = static_cast<char>(0x80 | channel);
    double sum = 0;
    size_t count = 0;
    std::vector<float> left(256), right(256);
    float* outputs[2] = {left.data(), right.data()};
    for (int block = 0; block < 64; ++block) {
      if (block == 0 || block == 44) {
        VstEvents events{};
        events.numEvents = 1;
        events.events[0] = reinterpret_cast<VstEvent*>(block == 0 ? &on : &off);
        Dispatch(effProcessEvents, 0, 0, &events);
      }
      Effect->processReplacing(Effect, outputs, outputs, 256);
      for (int i = 0; i < 256; ++i) sum += left[i] * left[i] + right[i] * right[i];
      if (block == 0) LastRender.clear();
      LastRender.insert(LastRender.end(), left.begin(), left.end());
      count += 512;
    }
    return std::sqrt(sum / static_cast<double>(count));
  }
  // Runs xdotool against the editor's window and idles while the server delivers.
  void Xdo(const std::string& arguments) {
    std::atomic<bool> done{false};
    std::thread runner([&] {
      const std::string command = "xdotool " + arguments;
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
      done = true;
    });
    while (!done) Idle(1);
    runner.join();
    Idle(40);
  }
  void XdoClick(int x, int y) {
    Xdo("mousemove --window " + EditorWindow() + " " + std::to_string(x) + " " + std::to_string(y) + " click 1");
  }
  std::string EditorWindow() {
    const std::vector<Window> children = Children();
    return children.empty() ? "0" : std::to_string(children[0]);
  }

  Display* XDisplay;
  Window Parent = 0;
  AEffect* Effect;
  std::vector<float> LastRender;
};

size_t CountNot(const std::vector<uint32_t>& pixels, uint32_t colour) {
  size_t n = 0;
  for (uint32_t p : pixels) n += p != colour;
  return n;
}

class PluginEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
    XDisplay = XOpenDisplay(nullptr);
    if (XDisplay == nullptr) GTEST_SKIP() << "the X display cannot be opened";
    ASSERT_NE(Library.Handle, nullptr) << dlerror();
  }
  void TearDown() override {
    if (XDisplay != nullptr) XCloseDisplay(XDisplay);
  }
  Display* XDisplay = nullptr;
  TLibrary Library;
};

TEST_F(PluginEditorTest, TwoInstancesOpenDrawAndCloseTheirEditors) {
  TEditorHost first(Library, XDisplay), second(Library, XDisplay, Width + 30);
  ASSERT_NE(first.Effect, nullptr);
  ASSERT_NE(second.Effect, nullptr);
  EXPECT_NE(first.Effect->flags & effFlagsHasEditor, 0);

  VstIntPtr answer = -1;
  ERect* rect = first.Rect(answer);
  EXPECT_EQ(answer, 0);  // no window yet
  ASSERT_NE(rect, nullptr);

  EXPECT_EQ(first.Dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(first.Parent)), 1);
  EXPECT_EQ(second.Dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(second.Parent)), 1);
  rect = first.Rect(answer);
  EXPECT_EQ(answer, 1);
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->right - rect->left, Width);
  EXPECT_EQ(rect->bottom - rect->top, Height);

  // Each editor is one child of its own host window, at 0,0 with the design size.
  for (TEditorHost* host : {&first, &second}) {
    const std::vector<Window> children = host->Children();
    ASSERT_EQ(children.size(), 1u);
    XWindowAttributes attributes{};
    ASSERT_NE(XGetWindowAttributes(XDisplay, children[0], &attributes), 0);
    EXPECT_EQ(attributes.x, 0);
    EXPECT_EQ(attributes.y, 0);
    EXPECT_EQ(attributes.width, Width);
    EXPECT_EQ(attributes.height, Height);
    EXPECT_EQ(attributes.map_state, IsViewable);
  }
  first.Idle();
  second.Idle();
  // Drawn over the host's background in both windows; the picture is for looking at.
  EXPECT_GT(CountNot(first.Screenshot("editor_plugin_screenshot.ppm"), HostBackground), 0.99 * Width * Height);
  EXPECT_GT(CountNot(second.Screenshot("editor_plugin_screenshot_2.ppm"), HostBackground), 0.99 * Width * Height);

  // A click reaches the program of the instance clicked, not the other one.
  first.Click(528, 474);  // the "AGC" tick
  EXPECT_EQ(first.Program().Data.AGC, SwitchOn);
  EXPECT_EQ(second.Program().Data.AGC, SwitchOff);

  first.Dispatch(effEditClose);
  second.Dispatch(effEditClose);
  EXPECT_TRUE(first.Children().empty());
  EXPECT_TRUE(second.Children().empty());
  first.Rect(answer);
  EXPECT_EQ(answer, 0);

  // Closed editors open again.
  EXPECT_EQ(first.Dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(first.Parent)), 1);
  first.Idle();
  EXPECT_EQ(first.Children().size(), 1u);
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

bool HaveXdotool() { return std::system("command -v xdotool >/dev/null 2>&1") == 0; }

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Pixels that differ inside a rectangle of two screenshots.
size_t Changed(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, int x0, int y0, int x1, int y1) {
  size_t n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) n += a[static_cast<size_t>(y) * Width + x] != b[static_cast<size_t>(y) * Width + x];
  return n;
}

// Sign changes of a rendered note: twice its pitch, about.
size_t ZeroCrossings(const std::vector<float>& samples) {
  size_t n = 0;
  for (size_t i = 1; i < samples.size(); ++i) n += (samples[i - 1] < 0) != (samples[i] < 0);
  return n;
}

// The editor as a user drives it, with real pointer and key events: each step
// shows in the plug-in's chunk and in a rendered note.
TEST_F(PluginEditorTest, AUserSetsUpABankAChannelTheVolumeAndATuning) {
  const std::string bankPath = "/usr/share/sounds/sf2/TimGM6mb.sf2";
  if (!std::filesystem::exists(bankPath)) GTEST_SKIP() << "TimGM6mb.sf2 missing";
  if (!HaveXdotool()) GTEST_SKIP() << "xdotool missing";
  TEditorHost host(Library, XDisplay);
  host.Dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(host.Parent));
  host.Idle();

  // "Add bank", the path typed into the dialog.
  host.XdoClick(44, 216);
  host.Screenshot("e2e_add_bank_dialog.ppm");
  host.Xdo("type --delay 2 '" + bankPath + "'");
  host.Xdo("key Return");
  TVSTiProgram program = host.Program();
  ASSERT_EQ(program.Banks.size(), 1u);
  EXPECT_EQ(program.Banks[0]->FileName, bankPath);
  const double silent = host.RenderNote(0);  // no preset enabled yet

  // Select the bank, tick "All".
  host.XdoClick(100, 93);
  host.XdoClick(457, 216);
  host.Screenshot("e2e_bank_ticked.ppm");
  program = host.Program();
  ASSERT_EQ(program.Banks.size(), 1u);
  EXPECT_NE(program.Banks[0]->ActiveAllBankPrograms, SwitchOff);
  const double piano = host.RenderNote(0);
  EXPECT_GT(piano, 10 * silent + 1e-4);

  // Channel 1 steps through its list to "[0000:13] ...".
  host.Xdo("mousemove --window " + host.EditorWindow() + " 180 284 click --repeat 20 --delay 30 1");
  host.Screenshot("e2e_channel_assigned.ppm");
  program = host.Program();
  EXPECT_EQ(program.MIDIChannels[0].BankIndex, 0);
  EXPECT_EQ(program.MIDIChannels[0].ProgramIndex, 0x13);
  const double organ = host.RenderNote(0);
  EXPECT_GT(organ, 1e-4);

  // The Volume bar pulled to the bottom silences the instrument.
  const float volume = program.Data.Volume;
  host.XdoClick(100, 594);
  host.Screenshot("e2e_volume.ppm");
  program = host.Program();
  EXPECT_LT(program.Data.Volume, volume);
  EXPECT_LT(host.RenderNote(0), 0.1 * organ);
  host.XdoClick(100, 470);  // and up again
  EXPECT_GT(host.Program().Data.Volume, volume * 0.5f);

  // "Load tunings" from the channel's menu: a scale of twelve whole tones.
  const std::filesystem::path scale = std::filesystem::path(KELVANE_BINARY_DIR) / "e2e-whole-tones.scl";
  {
    std::ofstream out(scale);
    out << "! e2e-whole-tones.scl\nTwelve whole tones\n12\n";
    for (int i = 1; i <= 12; ++i) out << 200 * i << ".0\n";
  }
  host.RenderNote(0, 36);
  const size_t standard = ZeroCrossings(host.LastRender);
  host.XdoClick(202, 284);
  host.Screenshot("e2e_channel_menu.ppm");
  host.XdoClick(MenuTuningsX, MenuTuningsY);
  host.Screenshot("e2e_tunings_menu.ppm");
  host.XdoClick(MenuLoadX, MenuLoadY);
  host.Screenshot("e2e_tuning_dialog.ppm");
  host.Xdo("type --delay 2 '" + scale.string() + "'");
  host.Xdo("key Return");
  program = host.Program();
  EXPECT_EQ(program.MIDIChannels[0].TuningTableName, "e2e-whole-tones.scl");
  EXPECT_TRUE(program.MIDIChannels[0].HasFlag(mcfTuningTableActive));
  host.RenderNote(0, 36);
  // The scale starts at key 0: key 36 sits 36 whole tones up, three octaves above
  // its standard pitch (the organ's harmonics keep the crossings from growing eightfold).
  EXPECT_GT(static_cast<double>(ZeroCrossings(host.LastRender)), 2.0 * static_cast<double>(standard));
  host.Screenshot("e2e_done.ppm");
}

// A report raised away from the user-interface thread waits for the editor's
// idle time, then the "Exception" window shows it and saves it.
TEST_F(PluginEditorTest, ReportsFromOtherThreadsShowInTheEditorAndSave) {
  TEditorHost host(Library, XDisplay);
  host.Dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(host.Parent));
  host.Idle();
  const std::vector<uint32_t> editor = host.Screenshot("editor_before_report.ppm");
  std::thread([&] {
    uint8_t junk[16];
    std::memset(junk, 0xFF, sizeof junk);
    EXPECT_EQ(host.Dispatch(effSetChunk, 0, sizeof junk, junk), 0);
  }).join();
  host.Idle();
  const std::vector<uint32_t> report = host.Screenshot("crash_report_screenshot.ppm");
  // The 645 x 309 window in the middle, over the editor.
  EXPECT_GT(Changed(editor, report, 114, 178, 758, 486), 50000u);

  if (!HaveXdotool()) GTEST_SKIP() << "xdotool missing: the save flow is not driven";
  const std::filesystem::path saved = std::filesystem::path(KELVANE_BINARY_DIR) / "saved-crash-report.txt";
  std::filesystem::remove(saved);
  host.XdoClick(SaveButtonX, ButtonRowY);
  host.Screenshot("crash_report_confirm.ppm");
  host.XdoClick(YesButtonX, YesButtonY);
  host.Screenshot("crash_report_save_dialog.ppm");
  host.Xdo("type --delay 2 '" + saved.string() + "'");
  host.Xdo("key Return");
  host.Screenshot("crash_report_thanks.ppm");
  const std::string text = ReadFile(saved);
  EXPECT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u);  // UTF-8 chosen by default
  EXPECT_NE(text.find("Exception message:\r\n\r\nCorrupt BSON stream"), std::string::npos) << text;
  host.XdoClick(OkButtonX, OkButtonY);
  host.XdoClick(CloseButtonX, ButtonRowY);
  EXPECT_EQ(Changed(editor, host.Screenshot("crash_report_closed.ppm"), 0, 0, 872, 664), 0u);
}

// Opening with the largest bank at hand, an idle open editor and the audio
// thread's longest wait meanwhile. Prints the figures; bounds only catch a
// redraw on every idle or a lock held for a whole open.
TEST_F(PluginEditorTest, OpensQuicklyIdlesWithoutWorkAndKeepsTheAudioRunning) {
  const char* bankPath = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
  if (!std::filesystem::exists(bankPath)) GTEST_SKIP() << "FluidR3_GM.sf2 missing";
  TEditorHost host(Library, XDisplay);
  TVSTiProgram program;
  auto bank = std::make_unique<TBank>();
  bank->FileName = bankPath;
  bank->ActiveAllBankPrograms = SwitchOn;
  program.Banks.push_back(std::move(bank));
  program.Data.MultiThreaded = SwitchOff;
  std::vector<uint8_t> chunk = WriteProgramChunk(program, false);
  ASSERT_GT(host.Dispatch(effSetChunk, 0, static_cast<VstIntPtr>(chunk.size()), chunk.data()), 0);

  // The audio thread keeps rendering and times its longest block.
  std::atomic<bool> stop{false};
  std::atomic<double> longestBlock{0};
  std::thread audio([&] {
    std::vector<float> left(256), right(256);
    float* outputs[2] = {left.data(), right.data()};
    while (!stop) {
      const auto start = std::chrono::steady_clock::now();
      host.Effect->processReplacing(host.Effect, outputs, outputs, 256);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds > longestBlock) longestBlock = seconds;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const double idleBlock = longestBlock.exchange(0);

  const auto start = std::chrono::steady_clock::now();
  host.Dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(host.Parent));
  host.Dispatch(effEditIdle);
  host.Dispatch(effEditIdle);
  XSync(XDisplay, False);
  const double openSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  host.Idle(10);
  const double openBlock = longestBlock.exchange(0);

  const int idles = 2000;
  const double cpuStart = ThreadCpuSeconds();
  for (int i = 0; i < idles; ++i) host.Dispatch(effEditIdle);
  const double idleCpu = (ThreadCpuSeconds() - cpuStart) / idles;
  stop = true;
  audio.join();

  std::printf("editor open with FluidR3_GM: %.1f ms; idle: %.2f us CPU per effEditIdle; "
              "longest audio block: %.2f ms before, %.2f ms while opening\n",
              openSeconds * 1e3, idleCpu * 1e6, idleBlock * 1e3, openBlock * 1e3);
  EXPECT_LT(openSeconds, 5.0);
  EXPECT_LT(idleCpu, 1e-3);
  host.Dispatch(effEditClose);
}

}  // namespace
}  // namespace kelvane

#endif
