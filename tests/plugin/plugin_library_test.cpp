// A host for the built kelvane.so: loads it with dlopen and talks to it only
// through the VST 2.4 records, as a real host does. The song is parsed and
// the configuration chunk built with the engine's own code, which is linked
// into this process as well: the library's copies stay invisible to it.

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "banks/stream.h"
#include "plugin/state_chunk.h"
#include "plugin/vst2.h"
#include "plugin/vsti_program.h"
#include "synth/chorus.h"
#include "synth/midi_file.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "tests/plugin/vst_event_batch.h"

namespace kelvane {
namespace {

const char* const BankPath = "/usr/share/sounds/sf2/TimGM6mb.sf2";
const char* const SongPath = "/usr/share/games/openttd/baseset/openmsx/boogi_marabi_redfarn.mid";
constexpr int32_t Rate = 44100;
constexpr double ExcerptSeconds = 2.0;

bool FileExists(const char* path) { return std::ifstream(path).good(); }

// ------------------------------------------------------------------ host side

std::atomic<VstIntPtr> HostVersionAnswer{2400};

VstIntPtr VSTCALLBACK HostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
  switch (opcode) {
    case audioMasterVersion:
      return HostVersionAnswer.load();
    case audioMasterGetSampleRate:
      return Rate;
    case audioMasterGetVendorString:
    case audioMasterGetProductString:
      if (ptr != nullptr) std::strcpy(static_cast<char*>(ptr), "Test host");
      return 1;
    default:
      return 0;
  }
}

class TPluginLibrary {
 public:
  TPluginLibrary() {
    Handle = dlopen(KELVANE_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (Handle != nullptr) Main = reinterpret_cast<TMain>(dlsym(Handle, "main"));
  }
  ~TPluginLibrary() {
    if (Handle != nullptr) dlclose(Handle);
  }
  TPluginLibrary(const TPluginLibrary&) = delete;
  TPluginLibrary& operator=(const TPluginLibrary&) = delete;

  using TMain = AEffect* (*)(audioMasterCallback);
  void* Handle = nullptr;
  TMain Main = nullptr;
};

// One plug-in instance, closed through effClose when it goes.
class TInstance {
 public:
  explicit TInstance(TPluginLibrary& library) : Effect(library.Main(&HostCallback)) {}
  ~TInstance() {
    if (Effect != nullptr) {
      EXPECT_EQ(Dispatch(effClose), 1);
    }
  }
  TInstance(const TInstance&) = delete;
  TInstance& operator=(const TInstance&) = delete;

  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                     float opt = 0.0f) {
    return Effect->dispatcher(Effect, opcode, index, value, ptr, opt);
  }
  std::string Text(VstInt32 opcode, VstInt32 index = 0) {
    char text[256] = {};
    Dispatch(opcode, index, 0, text);
    return text;
  }
  // The host's start-up sequence before audio.
  void Start(int32_t blockFrames) {
    Dispatch(effOpen);
    Dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(Rate));
    Dispatch(effSetBlockSize, 0, blockFrames);
    Dispatch(effMainsChanged, 0, 1);
  }
  std::vector<uint8_t> Chunk(bool isPreset) {
    void* data = nullptr;
    const VstIntPtr size = Dispatch(effGetChunk, isPreset ? 1 : 0, 0, &data);
    if (size <= 0 || data == nullptr) return {};
    const auto* bytes = static_cast<const uint8_t*>(data);
    return {bytes, bytes + size};
  }
  VstIntPtr SetChunk(std::vector<uint8_t> chunk, bool isPreset) {
    return Dispatch(effSetChunk, isPreset ? 1 : 0, static_cast<VstIntPtr>(chunk.size()), chunk.data());
  }

  AEffect* Effect;
};

// A program with TimGM6mb and every preset enabled; single-threaded so that
// the block-size comparisons measure the event timing alone.
std::vector<uint8_t> ConfigurationChunk(bool effects, const char* name = "Host test") {
  TVSTiProgram program;
  program.Name = name;
  auto bank = std::make_unique<TBank>();
  bank->FileName = BankPath;
  bank->ActiveAllBankPrograms = SwitchOn;
  program.Banks.push_back(std::move(bank));
  program.Data.MultiThreaded = SwitchOff;
  program.Data.Chorus = effects ? SwitchOn : SwitchOff;
  program.Data.Reverb = effects ? SwitchOn : SwitchOff;
  return WriteProgramChunk(program, false);
}

std::vector<uint8_t> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first seconds of the song as the synthesizer's scheduler times it.
struct TSong {
  std::vector<TScheduledMIDIEvent> Events;
  int64_t Frames = 0;
};

TSong LoadExcerpt(double seconds) {
  const std::vector<uint8_t> bytes = ReadFile(SongPath);
  const std::optional<TMIDIFile> file = ParseMIDIFile(bytes);
  TSong song;
  if (!file) return song;
  song.Frames = static_cast<int64_t>(seconds * Rate);
  for (TScheduledMIDIEvent& event : ScheduleMIDIFile(*file, Rate))
    if (event.Position < song.Frames) song.Events.push_back(std::move(event));
  return song;
}

struct TStereo {
  std::vector<float> Left, Right;
};

// Hands the song to the plug-in block by block, each event with its exact
// offset inside the block, and collects the output.
TStereo Render(TInstance& plugin, const TSong& song, int32_t blockFrames) {
  TStereo out;
  out.Left.resize(static_cast<size_t>(song.Frames));
  out.Right.resize(static_cast<size_t>(song.Frames));
  TVstEventBatch batch;
  size_t next = 0;
  for (int64_t start = 0; start < song.Frames; start += blockFrames) {
    const auto frames = static_cast<int32_t>(std::min<int64_t>(blockFrames, song.Frames - start));
    if (VstEvents* events = batch.Take(song.Events, next, start, frames)) {
      EXPECT_EQ(plugin.Dispatch(effProcessEvents, 0, 0, events), 1);
    }
    float* outputs[2] = {out.Left.data() + start, out.Right.data() + start};
    plugin.Effect->processReplacing(plugin.Effect, nullptr, outputs, frames);
  }
  return out;
}

float MaxDifference(const TStereo& a, const TStereo& b) {
  float most = 0.0f;
  for (size_t i = 0; i < a.Left.size() && i < b.Left.size(); ++i)
    most = std::max({most, std::fabs(a.Left[i] - b.Left[i]), std::fabs(a.Right[i] - b.Right[i])});
  return most;
}

float Peak(const TStereo& a) {
  float most = 0.0f;
  for (size_t i = 0; i < a.Left.size(); ++i) most = std::max({most, std::fabs(a.Left[i]), std::fabs(a.Right[i])});
  return most;
}

class PluginLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostVersionAnswer = 2400;
    ASSERT_NE(Library.Handle, nullptr) << dlerror();
    ASSERT_NE(Library.Main, nullptr);
  }
  void RequireRealData() {
    if (!FileExists(BankPath) || !FileExists(SongPath)) GTEST_SKIP() << "TimGM6mb.sf2 or the openmsx songs missing";
  }
  TPluginLibrary Library;
};

TEST_F(PluginLibraryTest, ExportsOnlyTheEntryPoint) {
  EXPECT_EQ(dlsym(Library.Handle, "VSTPluginMain"), nullptr);
  // Engine and runtime symbols stay inside the library.
  for (const char* name : {"_ZN7kelvane9InitSynthEv", "_ZN7kelvane6TSynthC1Ev", "_ZN7kelvane17DoHandleExceptionERKSt9exception"})
    EXPECT_EQ(dlsym(Library.Handle, name), nullptr) << name;
}

TEST_F(PluginLibraryTest, AHostThatAnswersNoVersionGetsNoPlugin) {
  HostVersionAnswer = 0;
  EXPECT_EQ(Library.Main(&HostCallback), nullptr);
  EXPECT_EQ(Library.Main(nullptr), nullptr);
}

TEST_F(PluginLibraryTest, IdentifiesAsAStereoInstrument) {
  TInstance plugin(Library);
  ASSERT_NE(plugin.Effect, nullptr);
  const AEffect& effect = *plugin.Effect;
  EXPECT_EQ(effect.magic, kEffectMagic);
  EXPECT_EQ(effect.numInputs, 2);
  EXPECT_EQ(effect.numOutputs, 2);
  EXPECT_EQ(effect.numPrograms, 1);
  EXPECT_EQ(effect.numParams, 1);
  EXPECT_EQ(effect.uniqueID, FourCharToLong('K', 'L', 'V', 'N'));
  EXPECT_EQ(effect.version, 1);
  for (VstInt32 flag : {effFlagsIsSynth, effFlagsProgramChunks, effFlagsCanReplacing, effFlagsHasEditor})
    EXPECT_NE(effect.flags & flag, 0) << flag;
  EXPECT_EQ(effect.flags & effFlagsCanDoubleReplacing, 0);
  EXPECT_EQ(plugin.Text(effGetEffectName), "Kelvane");
  EXPECT_EQ(plugin.Text(effGetVendorString), "Corvin Ashdale");
  EXPECT_EQ(plugin.Text(effGetProductString), "Kelvane");
  EXPECT_EQ(plugin.Text(effGetProgramName), "Kelvane VSTi");
}

TEST_F(PluginLibraryTest, OpcodesAnswerAsTabled) {
  TInstance plugin(Library);
  ASSERT_NE(plugin.Effect, nullptr);
  struct TCase {
    VstInt32 Opcode;
    VstInt32 Index;
    VstIntPtr Value;
    VstIntPtr Expected;
  } cases[] = {
      {effIdentify, 0, 0, FourCharToLong('N', 'v', 'E', 'f')},
      {effGetVstVersion, 0, 0, 2400},
      {effGetPlugCategory, 0, 0, kPlugCategSynth},
      {effKeysRequired, 0, 0, 1},
      {effGetVendorVersion, 0, 0, 1},
      {effCanBeAutomated, 0, 0, 1},
      {effGetNumProgramCategories, 0, 0, 1},
      {effGetProgram, 0, 0, 0},
      {effSetProgram, 0, 5, 0},  // past the program count: ignored
      {effGetProgram, 0, 0, 0},
      {effConnectInput, 0, 1, 1},
      {effConnectOutput, 1, 1, 1},
      {effGetTailSize, 0, 0, 0},
      {effGetVu, 0, 0, 0},
      {16, 0, 0, 0},  // legacy editor opcodes
      {17, 0, 0, 0},
      {18, 0, 0, 0},
      {20, 0, 0, 0},
      {21, 0, 0, 0},
      {80, 0, 0, 0},  // past the table
      {1000, 0, 0, 0},
      {-1, 0, 0, 0},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(plugin.Dispatch(c.Opcode, c.Index, c.Value), c.Expected) << "opcode " << c.Opcode;
  EXPECT_EQ(plugin.Dispatch(effSetBlockSizeAndSampleRate, 0, 256, nullptr, 48000.0f), 1);
}

TEST_F(PluginLibraryTest, ParameterZeroIsTheVolume) {
  TInstance plugin(Library);
  ASSERT_NE(plugin.Effect, nullptr);
  AEffect* effect = plugin.Effect;
  EXPECT_EQ(effect->getParameter(effect, 0), 1.0f);
  effect->setParameter(effect, 0, 0.5f);
  EXPECT_EQ(effect->getParameter(effect, 0), 0.5f);
  EXPECT_EQ(plugin.Text(effGetParamDisplay, 0), "0.5");
  EXPECT_EQ(plugin.Text(effGetParamName, 0), "Volume");
  EXPECT_EQ(plugin.Text(effGetParamLabel, 0), "");
  // Other indices have no parameter behind them.
  effect->setParameter(effect, 1, 0.25f);
  EXPECT_EQ(effect->getParameter(effect, 1), 0.0f);
  EXPECT_EQ(effect->getParameter(effect, 0), 0.5f);
}

TEST_F(PluginLibraryTest, CanDoAndPinProperties) {
  TInstance plugin(Library);
  ASSERT_NE(plugin.Effect, nullptr);
  struct TCase {
    const char* Text;
    VstIntPtr Expected;
  } cases[] = {{"receiveVstEvents", 1},   {"receiveVstMidiEvent", 1}, {"sendVstEvents", 1},
               {"sendVstMidiEvent", 1},   {"receiveVstTimeInfo", -1}, {"offline", -1},
               {"receiveVstEvent", -1},   {"", -1}};
  for (const TCase& c : cases)
    EXPECT_EQ(plugin.Dispatch(effCanDo, 0, 0, const_cast<char*>(c.Text)), c.Expected) << c.Text;

  for (VstInt32 pin = 0; pin < 2; ++pin) {
    VstPinProperties properties{};
    ASSERT_EQ(plugin.Dispatch(effGetOutputProperties, pin, 0, &properties), 1);
    EXPECT_EQ(std::string(properties.label), std::string("KLVN ") + static_cast<char>('1' + pin));
    EXPECT_EQ(properties.flags, kVstPinIsActive | kVstPinIsStereo);
  }
  VstPinProperties properties{};
  EXPECT_EQ(plugin.Dispatch(effGetOutputProperties, 2, 0, &properties), 0);
  EXPECT_EQ(plugin.Dispatch(effGetInputProperties, 0, 0, &properties), 0);
}

// A bank or preset saved from one instance and loaded into a fresh one
// gives the same program and the same sound.
TEST_F(PluginLibraryTest, ChunksCarryTheProgramToAFreshInstance) {
  RequireRealData();
  const TSong song = LoadExcerpt(1.5);
  for (bool isPreset : {false, true}) {
    SCOPED_TRACE(isPreset ? "preset" : "bank");
    TInstance source(Library);
    source.Start(512);
    ASSERT_GT(source.SetChunk(ConfigurationChunk(true, "Saved program"), false), 0);
    source.Effect->setParameter(source.Effect, 0, 0.75f);
    const std::vector<uint8_t> saved = source.Chunk(isPreset);
    ASSERT_FALSE(saved.empty());

    TInstance fresh(Library);
    fresh.Start(512);
    EXPECT_EQ(fresh.SetChunk(saved, isPreset), static_cast<VstIntPtr>(saved.size()));
    EXPECT_EQ(fresh.Chunk(isPreset), saved);
    EXPECT_EQ(fresh.Dispatch(effGetProgram), 0);
    EXPECT_EQ(fresh.Text(effGetProgramName), "Saved program");
    EXPECT_EQ(fresh.Effect->getParameter(fresh.Effect, 0), 0.75f);

    const TStereo expected = Render(source, song, 512);
    const TStereo actual = Render(fresh, song, 512);
    EXPECT_GT(Peak(expected), 0.01f);
    EXPECT_EQ(MaxDifference(expected, actual), 0.0f);
  }
}

TEST_F(PluginLibraryTest, ACorruptChunkIsRejectedAndChangesNothing) {
  RequireRealData();
  TInstance plugin(Library);
  plugin.Start(512);
  ASSERT_GT(plugin.SetChunk(ConfigurationChunk(false), false), 0);
  const std::vector<uint8_t> before = plugin.Chunk(false);

  // A chunk from a program with other settings, damaged after the name: a
  // reader that applies fields as it goes would have changed the name.
  std::vector<uint8_t> other = ConfigurationChunk(true, "Other program");
  const std::vector<std::vector<uint8_t>> corrupt = {
      std::vector<uint8_t>(other.begin(), other.begin() + static_cast<ptrdiff_t>(other.size() / 2)),
      [&] {
        std::vector<uint8_t> bytes = other;
        bytes[0] = 0xFF;  // declared size larger than the data
        return bytes;
      }(),
      [&] {
        std::vector<uint8_t> bytes = other;
        bytes[bytes.size() - 1] = 1;  // missing terminator
        return bytes;
      }(),
      {1, 2, 3},
  };
  for (size_t i = 0; i < corrupt.size(); ++i) {
    for (bool isPreset : {false, true}) {
      EXPECT_EQ(plugin.SetChunk(corrupt[i], isPreset), 0) << i;
      EXPECT_EQ(plugin.Chunk(false), before) << i;
      EXPECT_EQ(plugin.Text(effGetProgramName), "Host test") << i;
    }
  }
}

// The song as the engine plays it when it reads the file itself (the path of
// kelvane-render), with the plug-in's default settings, rendered in calls of
// blockFrames.
// seconds receives the time of the rendering alone.
TStereo RenderWithEngine(bool effects, int64_t frames, int32_t blockFrames, double& seconds) {
  TSynth synth;
  synth.SetSampleRate(Rate);
  synth.SetNumberOfThreads(0);
  const TVSTiData defaults;
  synth.SetNumberOfVoices(defaults.Voices);
  synth.SetResamplingMethod(defaults.ResamplingMethod, defaults.ResamplingInterpolationMode);
  synth.Chorus->Active = effects;
  synth.Reverb->Active = effects;
  TMemoryStream songStream(ReadFile(SongPath));
  TStereo out;
  if (!synth.ReadMIDI(songStream) || synth.AttachSoundFont(std::make_unique<TFileStream>(BankPath), true) == nullptr)
    return out;
  synth.LoadNeededSamples();
  std::vector<TBufferSample> block(static_cast<size_t>(blockFrames));
  out.Left.reserve(static_cast<size_t>(frames));
  out.Right.reserve(static_cast<size_t>(frames));
  const auto start = std::chrono::steady_clock::now();
  for (int64_t done = 0; done < frames; done += blockFrames) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(blockFrames, frames - done));
    synth.FillBuffer(block.data(), n);
    for (int32_t i = 0; i < n; ++i) {
      out.Left.push_back(block[static_cast<size_t>(i)].Left);
      out.Right.push_back(block[static_cast<size_t>(i)].Right);
    }
  }
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return out;
}

// Events reach the synthesizer at their exact frames whatever the host's
// block size: the plug-in's output equals the engine's own playback of the
// file cut into the same blocks, sample for sample, and the output does not
// depend on the cut.
TEST_F(PluginLibraryTest, PlaysASongSampleAccuratelyAtAnyBlockSize) {
  RequireRealData();
  const TSong song = LoadExcerpt(ExcerptSeconds);
  ASSERT_FALSE(song.Events.empty());
  for (bool effects : {false, true}) {
    SCOPED_TRACE(effects ? "effects on" : "effects off");
    std::vector<TStereo> outputs;
    for (int32_t blockFrames : {32, 333, 512, 4096}) {
      TInstance plugin(Library);
      plugin.Start(blockFrames);
      ASSERT_GT(plugin.SetChunk(ConfigurationChunk(effects), false), 0);
      const auto pluginStart = std::chrono::steady_clock::now();
      outputs.push_back(Render(plugin, song, blockFrames));
      const double pluginSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - pluginStart).count();
      double engineSeconds = 0.0;
      const TStereo expected = RenderWithEngine(effects, song.Frames, blockFrames, engineSeconds);
      // Meaningful in a Release build only.
      std::printf("block %d, effects %s: plug-in / engine render time %.3f\n", blockFrames, effects ? "on" : "off",
                  pluginSeconds / engineSeconds);
      EXPECT_GT(Peak(expected), 0.05f);
      EXPECT_EQ(MaxDifference(expected, outputs.back()), 0.0f) << blockFrames;
    }
    float most = 0.0f;
    for (size_t i = 1; i < outputs.size(); ++i) most = std::max(most, MaxDifference(outputs[0], outputs[i]));
    std::printf("largest difference between block sizes, effects %s: %g (peak %g)\n", effects ? "on" : "off", most,
                Peak(outputs[0]));
    // Bit for bit without effects; the chorus decides per block whether it
    // is idle, which leaves a difference of the order of a float's last bit.
    if (effects) {
      EXPECT_LT(most, 1e-6f * Peak(outputs[0]));
    } else {
      EXPECT_EQ(most, 0.0f);
    }
  }
}

#ifdef KELVANE_RENDER_TOOL
// The stereo float samples of a WAV file the render tool wrote.
TStereo ReadFloatWav(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFile(path.c_str());
  TStereo out;
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0) return out;
  uint16_t format = 0, channels = 0, bits = 0;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const uint32_t size = u32(at + 4);
    const size_t body = at + 8;
    if (body + size > bytes.size()) break;
    if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && size >= 16) {
      std::memcpy(&format, bytes.data() + body, 2);
      std::memcpy(&channels, bytes.data() + body + 2, 2);
      std::memcpy(&bits, bytes.data() + body + 14, 2);
      if (format == 0xFFFE && size >= 26) std::memcpy(&format, bytes.data() + body + 24, 2);  // extensible
    } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
      if (format != 3 || channels != 2 || bits != 32) return out;
      const size_t frames = size / 8;
      out.Left.resize(frames);
      out.Right.resize(frames);
      for (size_t i = 0; i < frames; ++i) {
        std::memcpy(&out.Left[i], bytes.data() + body + 8 * i, 4);
        std::memcpy(&out.Right[i], bytes.data() + body + 8 * i + 4, 4);
      }
      return out;
    }
    at = body + size + (size & 1);
  }
  return out;
}

// The plug-in plays a song exactly as kelvane-render renders the file, given
// the same bank, rate, settings and unity gain, in the tool's 1024-frame blocks.
TEST_F(PluginLibraryTest, EqualsTheRenderToolsOutput) {
  RequireRealData();
  const TSong song = LoadExcerpt(ExcerptSeconds);
  const TVSTiData defaults;
  ASSERT_EQ(defaults.ResamplingMethod, 3);  // POLYPHASEFIR below
  ASSERT_EQ(defaults.ResamplingInterpolationMode, 0);
  for (bool effects : {false, true}) {
    SCOPED_TRACE(effects ? "effects on" : "effects off");
    const std::string wav = std::string(KELVANE_BINARY_DIR) + "/plugin_library_test_" +
                            std::to_string(::getpid()) + (effects ? "_fx" : "") + ".wav";
    const std::string command = std::string("'") + KELVANE_RENDER_TOOL + "' -q --format f32 --gain 0 --threads 0" +
                                " --voices " + std::to_string(defaults.Voices) +
                                " --resampling POLYPHASEFIR --interpolation nearest --length " +
                                std::to_string(ExcerptSeconds) + (effects ? "" : " --no-chorus --no-reverb") +
                                " -r " + std::to_string(Rate) + " -b '" + BankPath + "' -o '" + wav + "' '" +
                                SongPath + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const TStereo tool = ReadFloatWav(wav);
    std::remove(wav.c_str());
    ASSERT_EQ(tool.Left.size(), static_cast<size_t>(song.Frames));

    TInstance plugin(Library);
    plugin.Start(1024);
    ASSERT_GT(plugin.SetChunk(ConfigurationChunk(effects), false), 0);
    const TStereo played = Render(plugin, song, 1024);
    EXPECT_GT(Peak(tool), 0.05f);
    EXPECT_EQ(MaxDifference(tool, played), 0.0f);
  }
}
#endif

// The host's audio thread renders while its user-interface thread changes the
// program and loads chunks; run under ThreadSanitizer by scripts/tsan.sh.
TEST_F(PluginLibraryTest, ProgramChangesAndChunkLoadsDuringRendering) {
  RequireRealData();
  const TSong song = LoadExcerpt(1.0);
  TInstance plugin(Library);
  plugin.Start(256);
  ASSERT_GT(plugin.SetChunk(ConfigurationChunk(true), false), 0);
  const std::vector<uint8_t> chunks[2] = {plugin.Chunk(false), plugin.Chunk(true)};

  std::atomic<bool> audioDone{false};
  std::atomic<int> blocks{0};
  bool finite = true;
  std::thread audio([&] {
    for (int pass = 0; pass < 3; ++pass) {
      const TStereo out = Render(plugin, song, 256);
      for (size_t i = 0; i < out.Left.size(); ++i) finite &= std::isfinite(out.Left[i]) && std::isfinite(out.Right[i]);
      blocks += static_cast<int>(out.Left.size() / 256);
    }
    audioDone = true;
  });
  int changes = 0;
  while (!audioDone) {
    plugin.Dispatch(effSetProgram, 0, 0);
    const std::vector<uint8_t>& chunk = chunks[changes % 2];
    EXPECT_EQ(plugin.SetChunk(chunk, changes % 2 != 0), static_cast<VstIntPtr>(chunk.size()));
    EXPECT_FALSE(plugin.Chunk(true).empty());
    ++changes;
  }
  audio.join();
  EXPECT_TRUE(finite);
  EXPECT_GT(changes, 0);
  EXPECT_GT(blocks.load(), 0);
}

}  // namespace
}  // namespace kelvane
