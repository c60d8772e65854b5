// TimGM6mb converted to DLS level 2 by an independent writer must list the
// same presets as the SF2 and play the same notes: the same pitch for every
// note and a loudness envelope that follows the SF2's. Runs when node and the
// writer (npm package spessasynth_core, installed into the build tree) are
// there; skips otherwise.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/peak_frequency.h"
#include "banks/preset_layer.h"
#include "banks/stream.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

const char* const TimBank = "/usr/share/sounds/sf2/TimGM6mb.sf2";

// The converted bank, made once per build tree; empty when it cannot be made.
std::string ConvertedTimBank(std::string& why) {
  const fs::path dir = fs::path(KELVANE_BINARY_DIR) / "node";
  const fs::path out = dir / "TimGM6mb.dls";
  if (fs::exists(out)) return out.string();
  if (!fs::exists(TimBank)) {
    why = std::string(TimBank) + " not installed";
    return {};
  }
  if (std::system("command -v node >/dev/null 2>&1") != 0) {
    why = "node not installed";
    return {};
  }
  fs::create_directories(dir);
  if (!fs::exists(dir / "node_modules" / "spessasynth_core")) {
    const std::string install = "cd '" + dir.string() + "' && timeout 300 npm install --no-save spessasynth_core >/dev/null 2>&1";
    if (std::system(install.c_str()) != 0) {
      why = "spessasynth_core cannot be installed (npm install spessasynth_core in " + dir.string() + ")";
      return {};
    }
  }
  const fs::path script = fs::path(KELVANE_TEST_DATA_DIR).parent_path().parent_path() / "scripts" / "sf2_to_dls.mjs";
  const std::string convert = "node '" + script.string() + "' '" + TimBank +
                              "' '" + out.string() + ".part' '" + dir.string() + "' >/dev/null";
  if (std::system(convert.c_str()) != 0) {
    why = "the conversion failed";
    return {};
  }
  fs::rename(out.string() + ".part", out);
  return out.string();
}

std::vector<std::string> Presets(TSynth& synth) {
  std::vector<std::string> r;
  for (const TPresetInfo& p : synth.GetPresetInfos(nullptr, 0, 16384, 0, 127))
    r.push_back(std::to_string(p.Bank) + ":" + std::to_string(p.Program_));
  std::sort(r.begin(), r.end());
  r.erase(std::unique(r.begin(), r.end()), r.end());
  return r;
}

struct TNote {
  uint8_t Channel, Program, Key;
};

constexpr int32_t Rate = 22050;
constexpr int32_t NoteFrames = Rate * 6 / 10;  // held 0.6 s
constexpr int32_t GapFrames = Rate * 4 / 10;   // then 0.4 s of release

// Each note alone: program change, note on, note off.
std::vector<float> Render(TSynth& synth, const std::vector<TNote>& notes) {
  synth.SetSampleRate(Rate);
  int64_t at = 0;
  auto add = [&](uint8_t status, uint8_t d1, uint8_t d2) {
    TMIDIEvent e;
    e.Position = at;
    e.Command = status;
    e.Data[0] = d1;
    e.Data[1] = d2;
    synth.AddEvent(e);
  };
  for (const TNote& n : notes) {
    add(static_cast<uint8_t>(0xC0 | n.Channel), n.Program, 0);
    add(static_cast<uint8_t>(0x90 | n.Channel), n.Key, 100);
    at += NoteFrames;
    add(static_cast<uint8_t>(0x80 | n.Channel), n.Key, 0);
    at += GapFrames;
  }
  synth.Reset();
  std::vector<TBufferSample> out(static_cast<size_t>(at));
  synth.FillBuffer(out.data(), static_cast<int32_t>(at));
  std::vector<float> mono;
  for (const TBufferSample& f : out) mono.push_back(f.Left + f.Right);
  return mono;
}

// Loudness in dB of 20 ms windows.
std::vector<double> Envelope(const float* x, size_t n) {
  constexpr size_t window = Rate / 50;
  std::vector<double> r;
  for (size_t i = 0; i + window <= n; i += window) {
    double e = 0.0;
    for (size_t k = 0; k < window; k++) e += static_cast<double>(x[i + k]) * x[i + k];
    r.push_back(10.0 * std::log10(e / window + 1e-12));
  }
  return r;
}

TEST(DLSRealBank, TimGM6mbAsDLSPlaysLikeTheSF2) {
  std::string why;
  const std::string dlsPath = ConvertedTimBank(why);
  if (dlsPath.empty()) GTEST_SKIP() << why;

  auto sf2 = std::make_unique<TSynth>();
  auto dls = std::make_unique<TSynth>();
  ASSERT_NE(sf2->AttachSoundFont(std::make_unique<TFileStream>(TimBank), false), nullptr);
  TAttachedSoundFont* bank = dls->AttachSoundFont(std::make_unique<TFileStream>(dlsPath), false);
  ASSERT_NE(bank, nullptr);
  ASSERT_EQ(bank->SoundBankType, sbtDLS);
  EXPECT_EQ(Presets(*dls), Presets(*sf2));

  // Melodic notes across the families and ranges; pitch is measured on
  // the held part of each note.
  const std::vector<TNote> notes = {{0, 0, 60},  {0, 0, 84},  {0, 4, 64},  {0, 19, 48}, {0, 24, 55}, {0, 33, 40},
                                    {0, 40, 67}, {0, 48, 60}, {0, 56, 70}, {0, 65, 62}, {0, 73, 79}, {0, 80, 72},
                                    {0, 89, 57}, {0, 104, 52}};
  const std::vector<float> a = Render(*sf2, notes);
  const std::vector<float> b = Render(*dls, notes);
  ASSERT_EQ(a.size(), b.size());

  double worstCents = 0.0, sumDb = 0.0, worstDb = 0.0;
  size_t windows = 0;
  for (size_t i = 0; i < notes.size(); i++) {
    const size_t start = i * static_cast<size_t>(NoteFrames + GapFrames);
    const double hz = 440.0 * std::pow(2.0, (notes[i].Key - 69) / 12.0);
    constexpr size_t n = 8192;
    const size_t from = start + Rate / 10;
    const double fa = PeakFrequency(&a[from], n, Rate, hz * 0.94, hz * 1.06);
    const double fb = PeakFrequency(&b[from], n, Rate, hz * 0.94, hz * 1.06);
    const double cents = 1200.0 * std::log2(fb / fa);
    worstCents = std::max(worstCents, std::abs(cents));
    EXPECT_NEAR(cents, 0.0, 2.0) << "program " << int{notes[i].Program} << " key " << int{notes[i].Key};

    // The envelope while the note sounds (windows more than 40 dB below
    // the SF2's peak are left out: the release tails decay to noise).
    const std::vector<double> ea = Envelope(&a[start], NoteFrames + GapFrames);
    const std::vector<double> eb = Envelope(&b[start], NoteFrames + GapFrames);
    const double peak = *std::max_element(ea.begin(), ea.end());
    for (size_t k = 0; k < ea.size(); k++) {
      if (ea[k] < peak - 40.0) continue;
      const double d = std::abs(eb[k] - ea[k]);
      sumDb += d;
      worstDb = std::max(worstDb, d);
      ++windows;
    }
  }
  const double meanDb = sumDb / static_cast<double>(std::max<size_t>(windows, 1));
  std::printf("DLS vs SF2: worst pitch difference %.2f cents; loudness mean %.2f dB, worst %.2f dB over %zu windows\n",
              worstCents, meanDb, worstDb, windows);
  // The writer stores attenuation as the gain an EMU10K1-style player hears
  // (0.4 x the SF2 value), which is what a DLS gain means; so the two agree
  // closely in the default EMU10K1 mode.
  EXPECT_LT(meanDb, 0.5);
  EXPECT_LT(worstDb, 2.0);
}

}  // namespace
}  // namespace kelvane
