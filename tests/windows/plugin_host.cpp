// kelvane-plugin-host: a minimal command-line host for the built plug-in
// library, the same source on Linux (dlopen) and Windows (LoadLibrary), so the
// two builds render the same song through the same calls:
//   kelvane-plugin-host LIBRARY BANK SONG OUTPUT [SECONDS [effects] [threads] [locked] [invalid-name]]
// It identifies the plug-in, configures it through a state chunk (the bank;
// chorus, reverb and render threads off unless "effects" or "threads" is
// given), saves and loads the chunk, renders the first SECONDS of the song
// block by block and writes the output as raw interleaved 32-bit floats.
// Paths are UTF-8 (the command line is read as such on Windows too). "locked"
// checks that the bank cannot be opened for writing while the plug-in reads it
// (Windows); "invalid-name" names a bank that is not UTF-8 and stops after
// loading the chunk. Every failure exits non-zero with a
// message; on Windows a crash does too, as Wine may otherwise end the process
// with status 0.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "tests/windows/crash_exit.h"
#else
#include <dlfcn.h>
#endif

#include "banks/file_path.h"
#include "plugin/state_chunk.h"
#include "plugin/vst2.h"
#include "plugin/vsti_program.h"
#include "synth/midi_file.h"
#include "tests/plugin/vst_event_batch.h"
#include "tools/program_arguments.h"

namespace kelvane {
namespace {

constexpr int32_t Rate = 44100;
constexpr int32_t BlockFrames = 512;

class EHostFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void Require(bool Condition, const std::string& What) {
  if (!Condition) throw EHostFailure(What);
}

using TMain = AEffect* (VSTCALLBACK*)(audioMasterCallback);

#if defined(_WIN32)
class TPluginLibrary {
 public:
  explicit TPluginLibrary(const std::string& Path) {
    fHandle = LoadLibraryW(FileSystemPath(Path).c_str());
    if (fHandle == nullptr) throw EHostFailure(Path + ": LoadLibrary failed, error " + std::to_string(GetLastError()));
  }
  ~TPluginLibrary() { FreeLibrary(fHandle); }
  void* Symbol(const char* Name) const { return reinterpret_cast<void*>(GetProcAddress(fHandle, Name)); }

 private:
  HMODULE fHandle;
};

void InstallCrashHandler() { InstallCrashExit("kelvane-plugin-host"); }
#else
class TPluginLibrary {
 public:
  explicit TPluginLibrary(const std::string& Path) {
    fHandle = dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (fHandle == nullptr) throw EHostFailure(Path + ": " + dlerror());
  }
  ~TPluginLibrary() { dlclose(fHandle); }
  void* Symbol(const char* Name) const { return dlsym(fHandle, Name); }

 private:
  void* fHandle;
};

void InstallCrashHandler() {}
#endif

VstIntPtr VSTCALLBACK HostCallback(AEffect*, VstInt32 Opcode, VstInt32, VstIntPtr, void* Ptr, float) {
  switch (Opcode) {
    case audioMasterVersion:
      return 2400;
    case audioMasterGetSampleRate:
      return Rate;
    case audioMasterGetVendorString:
    case audioMasterGetProductString:
      if (Ptr != nullptr) std::strcpy(static_cast<char*>(Ptr), "Test host");
      return 1;
    default:
      return 0;
  }
}

std::vector<uint8_t> ReadFile(const std::string& Path) {
  std::ifstream in(FileSystemPath(Path), std::ios::binary);
  Require(in.good(), Path + ": cannot read");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct TPlugin {
  AEffect* Effect;
  VstIntPtr Dispatch(VstInt32 Opcode, VstInt32 Index = 0, VstIntPtr Value = 0, void* Ptr = nullptr, float Opt = 0.0f) {
    return Effect->dispatcher(Effect, Opcode, Index, Value, Ptr, Opt);
  }
  std::string Text(VstInt32 Opcode) {
    char text[256] = {};
    Dispatch(Opcode, 0, 0, text);
    return text;
  }
  std::vector<uint8_t> Chunk() {
    void* data = nullptr;
    const VstIntPtr size = Dispatch(effGetChunk, 0, 0, &data);
    Require(size > 0 && data != nullptr, "effGetChunk returned no chunk");
    const auto* bytes = static_cast<const uint8_t*>(data);
    return {bytes, bytes + size};
  }
  void SetChunk(std::vector<uint8_t> Chunk) {
    const auto size = static_cast<VstIntPtr>(Chunk.size());
    Require(Dispatch(effSetChunk, 0, size, Chunk.data()) == size, "effSetChunk did not take the chunk");
  }
};

void Identify(TPlugin& Plugin) {
  const AEffect& effect = *Plugin.Effect;
  Require(effect.magic == kEffectMagic, "wrong magic");
  Require(effect.uniqueID == FourCharToLong('K', 'L', 'V', 'N'), "wrong unique ID");
  Require(effect.numOutputs == 2, "not stereo");
  Require((effect.flags & effFlagsIsSynth) != 0 && (effect.flags & effFlagsProgramChunks) != 0 &&
              (effect.flags & effFlagsCanReplacing) != 0,
          "flags lack IsSynth, ProgramChunks or CanReplacing");
  Require(Plugin.Text(effGetEffectName) == "Kelvane", "effect name is '" + Plugin.Text(effGetEffectName) + "'");
  Require(Plugin.Dispatch(effGetVstVersion) == 2400, "VST version is not 2400");
}

// Renders the song block by block, each event at its offset in its block.
std::vector<float> Render(TPlugin& Plugin, const std::vector<TScheduledMIDIEvent>& Events, int64_t Frames) {
  std::vector<float> left(BlockFrames), right(BlockFrames), out;
  out.reserve(static_cast<size_t>(Frames) * 2);
  TVstEventBatch batch;
  size_t next = 0;
  for (int64_t start = 0; start < Frames; start += BlockFrames) {
    const auto frames = static_cast<int32_t>(std::min<int64_t>(BlockFrames, Frames - start));
    if (VstEvents* events = batch.Take(Events, next, start, frames)) {
      Require(Plugin.Dispatch(effProcessEvents, 0, 0, events) == 1, "effProcessEvents failed");
    }
    float* outputs[2] = {left.data(), right.data()};
    Plugin.Effect->processReplacing(Plugin.Effect, nullptr, outputs, frames);
    for (int32_t i = 0; i < frames; i++) {
      out.push_back(left[static_cast<size_t>(i)]);
      out.push_back(right[static_cast<size_t>(i)]);
    }
  }
  return out;
}

int Run(int argc, char** argv) {
  const char* const usage =
      "Usage: kelvane-plugin-host LIBRARY BANK SONG OUTPUT [SECONDS [effects] [threads] [locked] [invalid-name]]\n";
  if (argc < 5) {
    std::fputs(usage, stderr);
    return 2;
  }
  const std::string library = argv[1], bank = argv[2], song = argv[3], output = argv[4];
  const double seconds = argc >= 6 ? std::atof(argv[5]) : 10.0;
  bool effects = false, threads = false, locked = false, invalidName = false;
  for (int i = 6; i < argc; i++) {
    if (std::strcmp(argv[i], "effects") == 0) {
      effects = true;
    } else if (std::strcmp(argv[i], "threads") == 0) {
      threads = true;
    } else if (std::strcmp(argv[i], "locked") == 0) {
      locked = true;
    } else if (std::strcmp(argv[i], "invalid-name") == 0) {
      invalidName = true;
    } else {
      std::fputs(usage, stderr);
      return 2;
    }
  }

  const std::vector<uint8_t> songBytes = ReadFile(song);
  const std::optional<TMIDIFile> file = ParseMIDIFile(songBytes);
  Require(file.has_value(), song + ": not a MIDI file");
  const auto frames = static_cast<int64_t>(seconds * Rate);
  std::vector<TScheduledMIDIEvent> events;
  for (TScheduledMIDIEvent& event : ScheduleMIDIFile(*file, Rate))
    if (event.Position < frames) events.push_back(std::move(event));

  TPluginLibrary plugin(library);
  auto main = reinterpret_cast<TMain>(plugin.Symbol("main"));
  Require(main != nullptr, library + ": no entry point 'main'");
#if defined(_WIN32)
  Require(plugin.Symbol("VSTPluginMain") == reinterpret_cast<void*>(main),
          library + ": VSTPluginMain is missing or not the same function as main");
#endif
  TPlugin instance{main(&HostCallback)};
  Require(instance.Effect != nullptr, "main returned no plug-in");
  Identify(instance);

  instance.Dispatch(effOpen);
  instance.Dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(Rate));
  instance.Dispatch(effSetBlockSize, 0, BlockFrames);

  if (invalidName) {
    // The plug-in reports the name and goes on without the bank.
    TVSTiProgram program;
    auto entry = std::make_unique<TBank>();
    entry->FileName = "Kl\xE4nge.sf2";  // Latin-1, not UTF-8
    program.Banks.push_back(std::move(entry));
    instance.SetChunk(WriteProgramChunk(program, false));
    Require(instance.Dispatch(effClose) == 1, "effClose failed");
    std::printf("a bank name that is not UTF-8 was refused\n");
    return 0;
  }
  if (locked) {
    // Writable before the plug-in holds it, so a refusal below is the plug-in's doing.
    std::FILE* file = OpenFile(bank, TFileMode::Append);
    Require(file != nullptr, bank + ": cannot be opened for writing before the plug-in reads it");
    std::fclose(file);
  }

  // Configure through a chunk; saving it and loading the saved copy must give it back.
  TVSTiProgram program;
  program.Name = "Host render";
  auto entry = std::make_unique<TBank>();
  entry->FileName = bank;
  entry->ActiveAllBankPrograms = SwitchOn;
  program.Banks.push_back(std::move(entry));
  program.Data.MultiThreaded = threads ? SwitchOn : SwitchOff;
  program.Data.Chorus = effects ? SwitchOn : SwitchOff;
  program.Data.Reverb = effects ? SwitchOn : SwitchOff;
  instance.SetChunk(WriteProgramChunk(program, false));
  const std::vector<uint8_t> saved = instance.Chunk();
  TVSTiProgram readBack;
  ReadProgramChunk(saved.data(), saved.size(), false, readBack);
  Require(readBack.Name == "Host render" && readBack.Banks.size() == 1 && readBack.Banks[0]->FileName == bank,
          "the saved chunk does not hold the configuration");
  instance.SetChunk(saved);
  Require(instance.Chunk() == saved, "loading the saved chunk changed it");
  if (locked) {
    std::FILE* file = OpenFile(bank, TFileMode::Append);
    if (file != nullptr) std::fclose(file);
    Require(file == nullptr, bank + ": could be opened for writing while the plug-in reads it");
  }

  instance.Dispatch(effMainsChanged, 0, 1);
  const std::vector<float> samples = Render(instance, events, frames);
  instance.Dispatch(effMainsChanged, 0, 0);
  Require(instance.Dispatch(effClose) == 1, "effClose failed");

  float peak = 0.0f;
  for (float value : samples) {
    Require(std::isfinite(value), "the output holds NaN or infinity");
    peak = std::max(peak, std::fabs(value));
  }
  Require(peak > 0.0f, "the output is silent");
  std::ofstream out(FileSystemPath(output), std::ios::binary);
  out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
  Require(out.good(), output + ": cannot write");
  std::printf("%s: %lld frames, %zu events, peak %.4f -> %s\n", song.c_str(), static_cast<long long>(frames),
              events.size(), static_cast<double>(peak), output.c_str());
  return 0;
}

}  // namespace
}  // namespace kelvane

int main(int argc, char** argv) {
  kelvane::InstallCrashHandler();
  if (argc == 2 && std::strcmp(argv[1], "--crash") == 0) {
    // Proves the crash handler: this must end with a failing status.
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
  }
  try {
    kelvane::TProgramArguments arguments(argc, argv);
    return kelvane::Run(arguments.Count(), arguments.Values());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvane-plugin-host: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "kelvane-plugin-host: unknown exception\n");
  }
  return 1;
}
