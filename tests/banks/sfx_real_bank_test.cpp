#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "banks/stream.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

const char* const TimBank = "/usr/share/sounds/sf2/TimGM6mb.sf2";
const char* const Song = "/usr/share/games/openttd/baseset/openmsx/boogi_marabi_redfarn.mid";

// (bank, program) of every leaf, with the name of the preset layer above it:
// the layer below the root, or in a loaded SFX below the saved root.
std::vector<std::string> Presets(TSynth& synth) {
  std::vector<std::string> r;
  for (const TPresetInfo& p : synth.GetPresetInfos(nullptr, 0, 16384, 0, 127)) {
    const TPresetLayer* preset = p.Layer;
    while (preset->Parent && preset->Parent->Parent && preset->Parent->Name != "Root") preset = preset->Parent;
    r.push_back(std::to_string(p.Bank) + ":" + std::to_string(p.Program_) + " " + preset->Name);
  }
  return r;
}

// Seconds of the song from the start, interleaved stereo.
std::vector<float> Render(TSynth& synth, double seconds) {
  constexpr int32_t rate = 22050;
  synth.SetSampleRate(rate);
  TFileStream song(Song);
  EXPECT_TRUE(synth.ReadMIDI(song));
  const auto frames = static_cast<int32_t>(seconds * rate);
  std::vector<TBufferSample> out(static_cast<size_t>(frames));
  synth.FillBuffer(out.data(), frames);
  std::vector<float> r;
  for (const TBufferSample& f : out) r.insert(r.end(), std::begin(f.Values), std::end(f.Values));
  return r;
}

TEST(SFXRealBank, TimGM6mbRoundTripsBitForBit) {
  if (!std::filesystem::exists(TimBank) || !std::filesystem::exists(Song))
    GTEST_SKIP() << "TimGM6mb or the openmsx songs are not installed";
  TSynth source;
  ASSERT_NE(source.AttachSoundFont(std::make_unique<TFileStream>(TimBank), false), nullptr);
  std::ostringstream out;
  ASSERT_TRUE(source.SaveSoundFontExtended(out));
  const std::string file = out.str();

  for (const bool delay : {false, true}) {
    TSynth copy;
    TAttachedSoundFont* bank =
        copy.AttachSoundFont(std::make_unique<TMemoryStream>(file.data(), file.size()), delay);
    ASSERT_NE(bank, nullptr);
    EXPECT_EQ(bank->SoundBankType, sbtSFX);
    EXPECT_EQ(Presets(copy), Presets(source));
    ASSERT_EQ(copy.Samples.Count(), source.Samples.Count());
    if (delay) copy.LoadAllSamples();
    for (int64_t i = 0; i < source.Samples.Count(); ++i) {
      const TSample& a = *source.Samples[i];
      const TSample& b = *copy.Samples[i];
      ASSERT_EQ(a.Length, b.Length) << a.Name;
      EXPECT_EQ(a.Name, b.Name);
      EXPECT_EQ(a.LinkSample ? a.LinkSample->Index : -1, b.LinkSample ? b.LinkSample->Index : -1) << a.Name;
      ASSERT_EQ(a.Loaded, b.Loaded) << a.Name;  // the terminal record stays unloaded
      if (a.Loaded && a.Length > 0) {
        EXPECT_EQ(0, std::memcmp(&a.Data[SampleGuardFrames], &b.Data[SampleGuardFrames], 4 * static_cast<size_t>(a.Length)))
            << a.Name;
      }
    }
  }

  TSynth fresh;
  ASSERT_NE(fresh.AttachSoundFont(std::make_unique<TMemoryStream>(file.data(), file.size()), false), nullptr);
  TSynth original;
  ASSERT_NE(original.AttachSoundFont(std::make_unique<TFileStream>(TimBank), false), nullptr);
  const std::vector<float> a = Render(original, 4.0);
  const std::vector<float> b = Render(fresh, 4.0);
  ASSERT_EQ(a.size(), b.size());
  size_t differing = 0;
  float loudest = 0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) ++differing;
    loudest = std::max(loudest, std::abs(a[i]));
  }
  EXPECT_GT(loudest, 0.01f) << "the excerpt is silent";
  EXPECT_EQ(differing, 0u);
}

}  // namespace
}  // namespace kelvane
