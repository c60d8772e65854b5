// kelvane-render: renders Standard MIDI Files to audio files offline.

#include <getopt.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "banks/default_bank.h"
#include "banks/file_path.h"
#include "banks/stream.h"
#include "synth/buffer_sample.h"
#include "synth/chorus.h"
#include "synth/exceptions.h"
#include "synth/resampling_tables.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "tools/audio_file_writer.h"
#include "tools/bank_report.h"
#include "tools/block_scan.h"
#include "tools/program_arguments.h"
#include "tools/terminal.h"

namespace kelvane {
namespace {

constexpr int32_t BlockFrames = 1024;
constexpr double TailSilenceSeconds = 0.5;
constexpr double TailMaxSeconds = 10.0;
constexpr float SilenceLevel = 1.0e-5f;  // -100 dBFS
// Output gain unless --gain says otherwise: the synthesizer mixes at unity
// gain for hosts with floating-point headroom, and busy General MIDI songs
// then peak several dB above full scale.
constexpr double DefaultGainDB = -12.0;

struct TRenderOptions {
  std::string Output;
  std::vector<std::string> Banks;
  int32_t Rate = DefaultSampleRate;
  TOutputSampleFormat Format = TOutputSampleFormat::osfS16;
  int32_t Voices = 0;             // 0 = the synthesizer's default
  int32_t ResamplingMethod = -1;  // -1 = the synthesizer's default
  int32_t GeneralMIDIMode = -1;   // -1 = the synthesizer's default
  int32_t InterpolationMode = -1;  // -1 = the synthesizer's default
  std::optional<int32_t> Threads;  // -1 = one per processor
  double Start = 0.0;               // seconds into the song
  std::optional<double> Length;     // seconds of output; none = the song and its tail
  bool ListPresets = false;
  bool BankInfo = false;
  bool Chorus = true;
  bool Reverb = true;
  bool AGC = false;
  double GainDB = DefaultGainDB;
  bool Quiet = false;
  std::vector<std::string> Songs;
};

void PrintUsage(std::FILE* To) {
  std::fputs(
      "Usage: kelvane-render [options] song.mid [more.mid ...]\n"
      "       kelvane-render [-b FILE ...] --list-presets | --bank-info\n"
      "  -o, --output FILE       output file (default: the song's name with .wav);\n"
      "                          the extension picks the container: .wav, .flac, .ogg\n"
      "  -b, --bank FILE         sound bank, repeatable (default: the default bank search)\n"
      "  -r, --rate HZ           sample rate (default 44100)\n"
      "      --format F          s16, s24 or f32 (default s16)\n"
      "      --voices N          number of voices\n"
      "      --resampling NAME   NEAREST, LINEAR, CUBICSPLINE, POLYPHASEFIR,\n"
      "                          FASTSINC8..FASTSINC1024, SINC8..SINC1024\n"
      "      --interpolation M   blending between the resampling tables' phases:\n"
      "                          nearest, linear, or bilinear (also between the\n"
      "                          cut-off levels of FASTSINC); default nearest\n"
      "      --gm-mode M         sf2, gm1 or gm2\n"
      "      --threads N         render threads besides the caller's: 0 none (default),\n"
      "                          -1 one per processor\n"
      "      --start SECONDS     start this far into the song\n"
      "      --length SECONDS    stop after this much output (default: the whole song\n"
      "                          and its release tail)\n"
      "      --no-chorus         chorus off\n"
      "      --no-reverb         reverb off\n"
      "      --gain DB           output gain in dB (default -12, so that busy songs\n"
      "                          stay below full scale)\n"
      "      --agc               automatic gain control on\n"
      "      --list-presets      list the presets of the banks (\"[bank:program] name\",\n"
      "                          hexadecimal, 14-bit bank) and render nothing\n"
      "      --bank-info         describe the banks and render nothing\n"
      "  -q, --quiet             no summary and no progress bar\n"
      "  -h, --help              this text\n",
      To);
}

std::string Upper(std::string Text) {
  for (char& c : Text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Text;
}

std::string Lower(std::string Text) {
  for (char& c : Text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return Text;
}

// The editor's names, in method-code order.
std::optional<int32_t> ResamplingMethodByName(const std::string& Name) {
  const std::string name = Upper(Name);
  const char* fixed[] = {"NEAREST", "LINEAR", "CUBICSPLINE", "POLYPHASEFIR"};
  for (int32_t i = 0; i < 4; i++)
    if (name == fixed[i]) return i;
  for (int32_t i = 0; i < 8; i++) {
    const std::string points = std::to_string(8 << i);
    if (name == "FASTSINC" + points) return rmFastSINC8 + i;
    if (name == "SINC" + points) return rmSINC8 + i;
  }
  return std::nullopt;
}

std::optional<int32_t> ParseInt(const char* Text, int32_t Lo, int32_t Hi) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(Text, &end, 10);
  if (errno != 0 || end == Text || *end != '\0' || value < Lo || value > Hi) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<double> ParseSeconds(const char* Text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(Text, &end);
  if (errno != 0 || end == Text || *end != '\0' || !std::isfinite(value) || value < 0.0 || value > 1.0e6)
    return std::nullopt;
  return value;
}

[[noreturn]] void UsageError(const std::string& Message) {
  std::fprintf(stderr, "kelvane-render: %s\n", Message.c_str());
  std::fputs("Try 'kelvane-render --help'.\n", stderr);
  std::exit(2);
}

TRenderOptions ParseOptions(int argc, char** argv) {
  enum {
    optFormat = 256, optVoices, optResampling, optGMMode, optNoChorus, optNoReverb, optAGC, optThreads,
    optInterpolation, optStart, optLength, optListPresets, optBankInfo, optGain
  };
  static const option longOptions[] = {
      {"output", required_argument, nullptr, 'o'},  {"bank", required_argument, nullptr, 'b'},
      {"rate", required_argument, nullptr, 'r'},    {"format", required_argument, nullptr, optFormat},
      {"voices", required_argument, nullptr, optVoices},
      {"resampling", required_argument, nullptr, optResampling},
      {"gm-mode", required_argument, nullptr, optGMMode},
      {"no-chorus", no_argument, nullptr, optNoChorus},
      {"no-reverb", no_argument, nullptr, optNoReverb},
      {"agc", no_argument, nullptr, optAGC},
      {"gain", required_argument, nullptr, optGain},
      {"threads", required_argument, nullptr, optThreads},
      {"interpolation", required_argument, nullptr, optInterpolation},
      {"start", required_argument, nullptr, optStart},
      {"length", required_argument, nullptr, optLength},
      {"list-presets", no_argument, nullptr, optListPresets},
      {"bank-info", no_argument, nullptr, optBankInfo},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  TRenderOptions options;
  int c;
  while ((c = getopt_long(argc, argv, "o:b:r:qh", longOptions, nullptr)) != -1) {
    switch (c) {
      case 'o': options.Output = optarg; break;
      case 'b': options.Banks.emplace_back(optarg); break;
      case 'r': {
        const auto rate = ParseInt(optarg, 8000, 384000);
        if (!rate) UsageError(std::string("invalid sample rate '") + optarg + "' (8000..384000)");
        options.Rate = *rate;
        break;
      }
      case optFormat: {
        const std::string f = Lower(optarg);
        if (f == "s16") options.Format = TOutputSampleFormat::osfS16;
        else if (f == "s24") options.Format = TOutputSampleFormat::osfS24;
        else if (f == "f32") options.Format = TOutputSampleFormat::osfF32;
        else UsageError(std::string("invalid format '") + optarg + "' (s16, s24 or f32)");
        break;
      }
      case optVoices: {
        const auto voices = ParseInt(optarg, 1, 100000);
        if (!voices) UsageError(std::string("invalid number of voices '") + optarg + "'");
        options.Voices = *voices;
        break;
      }
      case optResampling: {
        const auto method = ResamplingMethodByName(optarg);
        if (!method) UsageError(std::string("unknown resampling method '") + optarg + "'");
        options.ResamplingMethod = *method;
        break;
      }
      case optGMMode: {
        const std::string m = Lower(optarg);
        if (m == "sf2") options.GeneralMIDIMode = 0;
        else if (m == "gm1") options.GeneralMIDIMode = 1;
        else if (m == "gm2") options.GeneralMIDIMode = 2;
        else UsageError(std::string("invalid GM mode '") + optarg + "' (sf2, gm1 or gm2)");
        break;
      }
      case optNoChorus: options.Chorus = false; break;
      case optNoReverb: options.Reverb = false; break;
      case optAGC: options.AGC = true; break;
      case optThreads: {
        const auto threads = ParseInt(optarg, -1, 1024);
        if (!threads) UsageError(std::string("invalid number of threads '") + optarg + "' (-1..1024)");
        options.Threads = *threads;
        break;
      }
      case optInterpolation: {
        const std::string m = Lower(optarg);
        if (m == "nearest") options.InterpolationMode = 0;
        else if (m == "linear") options.InterpolationMode = 1;
        else if (m == "bilinear") options.InterpolationMode = 2;
        else UsageError(std::string("invalid interpolation '") + optarg + "' (nearest, linear or bilinear)");
        break;
      }
      case optStart: {
        const auto seconds = ParseSeconds(optarg);
        if (!seconds) UsageError(std::string("invalid start time '") + optarg + "' (seconds, at least 0)");
        options.Start = *seconds;
        break;
      }
      case optLength: {
        const auto seconds = ParseSeconds(optarg);
        if (!seconds || *seconds <= 0.0) UsageError(std::string("invalid length '") + optarg + "' (seconds, above 0)");
        options.Length = *seconds;
        break;
      }
      case optGain: {
        char* end = nullptr;
        const double gain = std::strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !(gain >= -96.0 && gain <= 48.0))
          UsageError(std::string("invalid gain '") + optarg + "' (dB, -96..48)");
        options.GainDB = gain;
        break;
      }
      case optListPresets: options.ListPresets = true; break;
      case optBankInfo: options.BankInfo = true; break;
      case 'q': options.Quiet = true; break;
      case 'h': PrintUsage(stdout); std::exit(0);
      default: UsageError("invalid option");
    }
  }
  for (int i = optind; i < argc; i++) options.Songs.emplace_back(argv[i]);
  if (options.ListPresets || options.BankInfo) {
    if (!options.Songs.empty()) UsageError("--list-presets and --bank-info take no MIDI file");
    return options;
  }
  if (options.Songs.empty()) UsageError("no MIDI file given");
  if (!options.Output.empty() && options.Songs.size() > 1)
    UsageError("-o names one output file, but several songs were given");
  return options;
}

// The system's places, each path looked up below KELVANE_SEARCH_ROOT when that
// is set (a staged install, or a test that must see no installed bank).
class TRenderBankPlaces final : public TDefaultBankPlaces {
 public:
  TRenderBankPlaces() {
    if (const char* root = std::getenv(SearchRootVariable)) Root = root;
  }
  std::string CurrentDirectory() override { return System.CurrentDirectory(); }
  std::string ExecutableDirectory() override { return System.ExecutableDirectory(); }
  std::optional<std::string> Environment(const std::string& Name) override { return System.Environment(Name); }
  bool FileExists(const std::string& Path) override { return System.FileExists(Rooted(Path)); }
  // The system's list of places (the Windows rules there), looked up through FileExists above.
  std::vector<std::string> Candidates() override { return System.Candidates(); }
  std::string Rooted(const std::string& Path) const { return Root.empty() ? Path : Root + Path; }

  static constexpr const char* SearchRootVariable = "KELVANE_SEARCH_ROOT";

 private:
  TSystemDefaultBankPlaces System;
  std::string Root;
};

struct TBankFile {
  std::string Path;
  TAttachedSoundFont* Bank = nullptr;
};

// The banks of -b in order, or the first bank of the default search. Samples
// stay on disk until LoadNeededSamples.
std::vector<TBankFile> AttachBanks(TSynth& Synth, const TRenderOptions& Options) {
  std::vector<TBankFile> attached;
  for (const std::string& path : Options.Banks) attached.push_back({path, AttachBankFile(Synth, path)});
  if (!attached.empty()) return attached;

  TRenderBankPlaces places;
  const std::string path = FindDefaultBank(places);
  if (path.empty()) {
    std::string message = "no sound bank found; looked in:\n";
    for (const std::string& candidate : places.Candidates())
      message += "  " + places.Rooted(candidate) + "\n";
    message += "Give one with -b, set " + std::string(DefaultBankEnvironmentVariable) +
               ", or install one: apt-get install fluid-soundfont-gm";
    throw EToolError(message);
  }
  attached.push_back({path, AttachBankFile(Synth, places.Rooted(path))});
  return attached;
}

void ReadSong(TSynth& Synth, const std::string& Song) {
  std::error_code error;
  const std::filesystem::path path = ToolPath(Song);
  if (!std::filesystem::exists(path, error)) throw EToolError(Song + ": no such file");
  if (std::filesystem::is_directory(path, error)) throw EToolError(Song + ": is a directory");
  std::unique_ptr<TFileStream> stream;
  try {
    stream = std::make_unique<TFileStream>(Song);
  } catch (const EKelvane&) {
    throw EToolError(Song + ": cannot read (" + std::strerror(errno) + ")");
  }
  bool read = false;
  try {
    read = Synth.ReadMIDI(*stream);
  } catch (const EKelvane& e) {
    throw EToolError(Song + ": cannot read MIDI file (" + e.what() + ")");
  }
  if (!read) throw EToolError(Song + ": not a MIDI file");
}

// One line on stderr redrawn in place; only for a terminal.
class TProgressBar {
 public:
  TProgressBar(bool Enabled, std::string Label, int64_t TotalFrames)
      : fEnabled(Enabled), fLabel(std::move(Label)), fTotal(std::max<int64_t>(TotalFrames, 1)) {}
  ~TProgressBar() { Finish(); }

  void Update(int64_t Frames) {
    if (!fEnabled) return;
    const int32_t percent = static_cast<int32_t>(std::min<int64_t>(100, Frames * 100 / fTotal));
    if (percent == fPercent) return;
    fPercent = percent;
    constexpr int32_t Width = 30;
    const int32_t filled = percent * Width / 100;
    std::fprintf(stderr, "\r%s [%s%s] %3d%%", fLabel.c_str(), std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(Width - filled), '.').c_str(), percent);
    std::fflush(stderr);
    fDrawn = true;
  }
  void Finish() {
    if (!fDrawn) return;
    std::fputs("\r\033[K", stderr);  // erase the bar
    std::fflush(stderr);
    fDrawn = false;
  }

 private:
  bool fEnabled;
  std::string fLabel;
  int64_t fTotal;
  int32_t fPercent = -1;
  bool fDrawn = false;
};

struct TRenderResult {
  int64_t Frames = 0;
  int64_t SongFrames = 0;  // Duration of the whole song at the output rate
  double Seconds = 0.0;  // wall-clock time of rendering and writing
  float Peak = 0.0f;
  int64_t Clipped = 0;  // samples beyond full scale
  bool NotFinite = false;
  int32_t MostVoices = 0;  // most voices sounding after a block
  int64_t Samples = 0;
  int64_t SamplesLoadedBefore = 0;  // after LoadNeededSamples, before rendering
  int64_t SamplesLoadedAfter = 0;
};

int64_t LoadedSamples(const TSynth& Synth) {
  int64_t count = 0;
  for (const TSample* sample : Synth.Samples)
    if (sample->Loaded.load(std::memory_order_relaxed)) count++;
  return count;
}

int32_t ActiveVoices(const TSynth& Synth) {
  int32_t count = 0;
  for (int32_t i = 0; i < Synth.NumberOfVoices; i++)
    if (Synth.Voices[i] != nullptr && Synth.Voices[i]->Active) count++;
  return count;
}

std::unique_ptr<TSynth> MakeSynth(const TRenderOptions& Options) {
  auto synth = std::make_unique<TSynth>();
  synth->SetSampleRate(Options.Rate);
  if (Options.Voices > 0) synth->SetNumberOfVoices(Options.Voices);
  const int32_t method = Options.ResamplingMethod >= 0 ? Options.ResamplingMethod : synth->ResamplingMethod;
  const int32_t interpolation =
      Options.InterpolationMode >= 0 ? Options.InterpolationMode : synth->ResamplingInterpolationMode;
  synth->SetResamplingMethod(method, interpolation);
  if (Options.Threads) synth->SetNumberOfThreads(*Options.Threads);
  if (Options.GeneralMIDIMode >= 0) synth->GeneralMIDIMode = Options.GeneralMIDIMode;
  synth->Amplify = std::pow(10.0, Options.GainDB / 20.0);
  synth->DoAGC = Options.AGC;
  synth->Chorus->Active = Options.Chorus;
  synth->Reverb->Active = Options.Reverb;
  return synth;
}

// Whether the next song may take over the synthesizer's banks: none is an
// SFX bank, whose settings went into the synthesizer itself when attached.
bool BanksCarryOver(const TSynth& Synth) {
  for (const TAttachedSoundFont* bank : Synth.AttachedSoundFonts)
    if (bank->SoundBankType == sbtSFX) return false;
  return true;
}

// Kept: the banks of an earlier song (those of -b or the default search),
// which this song takes over instead of reading them again; on return, this
// song's when the next one may do the same, else empty. Sample frames already
// in memory carry over too, but only those this song needs stay.
TRenderResult RenderSong(const TRenderOptions& Options, const std::string& Song, const std::string& Output,
                         TSoundBankSet& Kept) {
  auto synth = MakeSynth(Options);
  ReadSong(*synth, Song);
  // A song that brought its own bank (an RMID with DLS) plays with it unless -b is given.
  const bool songBank = synth->AttachedSoundFonts.Count() > 0;
  if (songBank && Options.Banks.empty()) {
    synth->LoadNeededSamples();
  } else if (!songBank && !Kept.Empty()) {
    synth->AdoptSoundBanks(Kept);
    synth->KeepNeededSamples();
  } else {
    Kept.Clear();
    AttachBanks(*synth, Options);
    synth->LoadNeededSamples();
  }

  const int64_t startFrame = static_cast<int64_t>(std::llround(Options.Start * Options.Rate));
  if (startFrame > 0) synth->Seek(startFrame, Options.Rate);

  TRenderResult result;
  result.Samples = synth->Samples.Count();
  result.SamplesLoadedBefore = LoadedSamples(*synth);

  const std::unique_ptr<TAudioFileWriter> file = OpenAudioFile(Output, Options.Rate, Options.Format);

  // Frames of the song left after the start point, then the release tail until
  // silence, at most TailMaxSeconds; --length caps the whole.
  result.SongFrames = synth->Duration(Options.Rate);
  const int64_t songFrames = std::max<int64_t>(0, result.SongFrames - startFrame);
  const int64_t tailSilenceFrames = static_cast<int64_t>(TailSilenceSeconds * Options.Rate);
  int64_t maxFrames = songFrames + static_cast<int64_t>(TailMaxSeconds * Options.Rate);
  if (Options.Length) maxFrames = std::min(maxFrames, static_cast<int64_t>(std::llround(*Options.Length * Options.Rate)));

  TProgressBar progress(!Options.Quiet && StderrIsTerminal(),
                        FileNameOf(Song), std::min(songFrames, maxFrames));
  std::vector<TBufferSample> block(BlockFrames);
  TBlockLevels levels;
  const auto start = std::chrono::steady_clock::now();
  while (result.Frames < maxFrames) {
    const bool inSong = result.Frames < songFrames;
    const int64_t frames = std::min<int64_t>(BlockFrames, (inSong ? std::min(songFrames, maxFrames) : maxFrames) - result.Frames);
    synth->FillBuffer(block.data(), static_cast<int32_t>(frames));
    result.MostVoices = std::max(result.MostVoices, ActiveVoices(*synth));
    ScanRenderedBlock(block.data(), frames, SilenceLevel, levels);
    file->WriteFrames(&block[0].Values[0], frames);
    result.Frames += frames;
    progress.Update(result.Frames);
    if (!inSong && levels.SilentFrames >= tailSilenceFrames) break;
  }
  progress.Finish();
  file->Finish();
  result.Peak = levels.Peak;
  result.Clipped = levels.Clipped;
  result.NotFinite = levels.NotFinite;
  result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.SamplesLoadedAfter = LoadedSamples(*synth);
  if (!songBank && BanksCarryOver(*synth)) synth->ReleaseSoundBanks(Kept);
  return result;
}

// --list-presets and --bank-info: attach the banks without loading samples.
int DescribeBanks(const TRenderOptions& Options) {
  try {
    auto synth = MakeSynth(Options);
    const std::vector<TBankFile> banks = AttachBanks(*synth, Options);
    bool first = true;
    for (const TBankFile& bank : banks) {
      if (Options.BankInfo) {
        if (!first) std::fputc('\n', stdout);
        PrintBankInfo(stdout, *synth, *bank.Bank, bank.Path);
      }
      if (Options.ListPresets) {
        if (banks.size() > 1 || Options.BankInfo) std::printf("%s%s:\n", first || Options.BankInfo ? "" : "\n", bank.Path.c_str());
        PrintPresetList(stdout, *synth, *bank.Bank);
      }
      first = false;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const EToolError& e) {
    std::fprintf(stderr, "kelvane-render: %s\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvane-render: %s\n", e.what());
  }
  return 1;
}

std::string DefaultOutput(const std::string& Song) {
  const std::string name = FileNameOf(Song);
  return name.substr(0, name.size() - ExtensionOf(name).size()) + ".wav";
}

int Run(int argc, char** argv) {
  const TRenderOptions options = ParseOptions(argc, argv);
  if (options.ListPresets || options.BankInfo) return DescribeBanks(options);
  int status = 0;
  TSoundBankSet kept;
  for (const std::string& song : options.Songs) {
    const std::string output = options.Output.empty() ? DefaultOutput(song) : options.Output;
    try {
      const TRenderResult r = RenderSong(options, song, output, kept);
      if (r.NotFinite) std::fprintf(stderr, "kelvane-render: %s: the synthesizer produced NaN or infinite samples (written as 0)\n", song.c_str());
      if (!options.Quiet) {
        const double audioSeconds = static_cast<double>(r.Frames) / options.Rate;
        const double peakDB = r.Peak > 0.0f ? 20.0 * std::log10(r.Peak) : -INFINITY;
        const double speed = r.Seconds > 0.0 ? audioSeconds / r.Seconds : 0.0;
        std::printf("%s -> %s: %d:%06.3f (song %lld frames), %.1fx real time, peak %.1f dBFS, %lld clipped samples, "
                    "at most %d voices sounding at once, %lld of %lld samples loaded (%lld during rendering)\n",
                    song.c_str(), output.c_str(), static_cast<int>(audioSeconds / 60), std::fmod(audioSeconds, 60.0),
                    static_cast<long long>(r.SongFrames), speed, peakDB, static_cast<long long>(r.Clipped), r.MostVoices,
                    static_cast<long long>(r.SamplesLoadedAfter), static_cast<long long>(r.Samples),
                    static_cast<long long>(r.SamplesLoadedAfter - r.SamplesLoadedBefore));
        std::fflush(stdout);
      }
    } catch (const EToolError& e) {
      std::fprintf(stderr, "kelvane-render: %s\n", e.what());
      status = 1;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kelvane-render: %s: %s\n", song.c_str(), e.what());
      status = 1;
    }
  }
  return status;
}

}  // namespace
}  // namespace kelvane

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // Sample data comes and goes in large blocks from song to song. glibc raises
  // its mmap threshold each time such a block is freed, after which later
  // blocks come from the heap, fragment it and are never returned: a list of
  // songs would peak far above its largest song. A fixed threshold keeps
  // large blocks mapped and returned.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  kelvane::TProgramArguments arguments(argc, argv);
  return kelvane::Run(arguments.Count(), arguments.Values());
}
