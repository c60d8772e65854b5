// The resampler's loop-wrapped copies hold only the frames around the loop's
// ends: a voice must render bit for bit as with a whole-sample copy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "synth/generators.h"
#include "synth/loop_work_data.h"
#include "synth/resampling_tables.h"
#include "synth/voice_test_support.h"

namespace kelvane {
namespace {

struct TLoopCase {
  const char* Name;
  int32_t Length, LoopStart, LoopEnd;
  int32_t SampleModes;  // 1 forward, 1000 backward, 1002 ping-pong
  int32_t Note;         // the sample's root is 60
  int32_t Method;
  int32_t StartLoopOffset = 0;  // moves the voice's loop away from the sample's
  int32_t SampleRate = 44100;
};

// A noisy sample (so a misplaced frame shows) with the sample's loop points.
std::unique_ptr<TSample> MakeNoiseSample(TSynth& synth, const TLoopCase& c, bool windowed) {
  auto sample = test::MakeSineSample(synth, c.Length, 37.3, c.LoopStart, c.LoopEnd, c.SampleRate, 60);
  uint32_t state = 12345;
  for (int64_t i = 0; i < sample->BufferElements(); ++i) {
    state = state * 1664525u + 1013904223u;
    sample->Data[static_cast<size_t>(i)] += static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  }
  std::copy_n(sample->Data.get(), sample->BufferElements(), sample->WorkData.get());
  if (windowed) sample->AllocateLoopWorkData();  // as Load leaves it
  return sample;
}

struct TLoopVoice {
  std::unique_ptr<TPresetLayer> Layer;
  std::unique_ptr<TVoice> Voice;
  std::vector<float> Output;
};

// Renders the voices of cases on one shared sample, block by block in turn,
// and returns each voice's left channel.
// Reallocated tells whether WorkData was allocated again while rendering.
std::vector<std::vector<float>> RenderVoices(const std::vector<TLoopCase>& cases, bool windowed,
                                             bool* reallocated = nullptr) {
  test::TVoiceFixture f;
  f.synth->SetResamplingMethod(cases[0].Method, 0);
  f.synth->ResampleLoopWrapping = true;
  f.sample = MakeNoiseSample(*f.synth, cases[0], windowed);
  const float* workData = f.sample->WorkData.get();
  std::vector<TLoopVoice> voices(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    voices[i].Layer = std::make_unique<TPresetLayer>(f.synth.get(), nullptr);
    voices[i].Layer->Sample = f.sample.get();
    voices[i].Layer->SetGenerator(gen::sampleModes, cases[i].SampleModes);
    voices[i].Layer->SetGenerator(gen::startloopAddrsOffset, cases[i].StartLoopOffset);
    voices[i].Voice = std::make_unique<TVoice>(*f.synth, 2000 + static_cast<int32_t>(i));
    voices[i].Voice->VoiceBuffers = f.synth->VoiceBuffers.get();
    voices[i].Voice->KeyOn(f.channel, cases[i].Note, 127, voices[i].Layer.get(), f.sample.get());
  }
  for (int32_t block = 0; block < 12; ++block) {
    for (TLoopVoice& v : voices) {
      f.voice.swap(v.Voice);
      f.Render(block % 3 == 0 ? 4096 : 777);
      for (int32_t i = 0; i < (block % 3 == 0 ? 4096 : 777); ++i) v.Output.push_back(f.Out[static_cast<size_t>(i)].Left);
      f.voice.swap(v.Voice);
    }
  }
  if (reallocated) *reallocated = f.sample->WorkData.get() != workData;
  std::vector<std::vector<float>> outputs;
  for (TLoopVoice& v : voices) outputs.push_back(v.Output);
  return outputs;
}

// The windows made at load time serve every loop: rendering never allocates them again.
void ExpectSameRender(const std::vector<TLoopCase>& cases) {
  const auto whole = RenderVoices(cases, false);
  bool reallocated = true;
  const auto windowed = RenderVoices(cases, true, &reallocated);
  EXPECT_FALSE(reallocated);
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_EQ(whole[i].size(), windowed[i].size());
    double energy = 0.0;
    for (float v : whole[i]) energy += double{v} * v;
    EXPECT_GT(energy, 1.0) << cases[i].Name << ": the voice must sound";
    EXPECT_EQ(std::memcmp(whole[i].data(), windowed[i].data(), whole[i].size() * sizeof(float)), 0)
        << cases[i].Name << " voice " << i;
  }
}

TEST(LoopWorkWindow, RendersBitForBitAsWithAWholeSampleCopy) {
  const int32_t sinc64 = rmSINC8 + 3, sinc1024 = rmSINC8 + 7;
  // One window serves loops up to 2 * (2 * reach + WorkWindowRunFrames) frames:
  // 528 for the cubic spline, 648 for 64 points, 2568 for 1024 points.
  const TLoopCase cases[] = {
      {"short forward loop in the middle", 20000, 15000, 15400, 1, 72, rmCubicSpline},
      {"long forward loop", 20000, 5000, 15000, 1, 72, rmCubicSpline},
      {"loop at the sample start", 20000, 0, 300, 1, 67, sinc64},
      {"long loop at the sample start", 20000, 0, 3000, 1, 67, sinc64},
      {"loop at the sample end", 20000, 19000, 20000, 1, 64, sinc64},
      {"loop shorter than the kernel", 5000, 1000, 1012, 1, 60, sinc64},
      {"ping-pong loop", 20000, 12000, 12500, 1002, 66, sinc64},
      {"long ping-pong loop, high pitch", 40000, 12000, 18000, 1002, 110, sinc64},
      {"backward loop", 20000, 12000, 12500, 1000, 66, sinc64},
      {"long backward loop, high pitch", 40000, 12000, 18000, 1000, 110, sinc64},
      {"high pitch strides across the windows", 60000, 20000, 24000, 1, 127, rmCubicSpline},
      {"1024-point kernel", 20000, 10000, 10100, 1, 62, sinc1024},
      {"1024-point kernel, long loop, high pitch", 40000, 10000, 16000, 1, 100, sinc1024},
      {"voice's loop moved by its offsets", 20000, 15000, 15400, 1, 72, sinc64, -9000},
      {"short loop made long by its offsets", 20000, 15000, 15100, 1, 90, rmCubicSpline, -5000},
      {"runs of thousands of frames", 200000, 50000, 51000, 1, 127, rmLinear, 0, 176400},
  };
  for (const TLoopCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ExpectSameRender({c});
  }
}

TEST(LoopWorkWindow, VoicesWithDifferentLoopsShareOneSample) {
  // The voices' loops differ, so the windows are rewritten between the
  // voices' blocks.
  const TLoopCase first{"sample's loop", 30000, 20000, 20600, 1, 70, rmSINC8 + 3};
  TLoopCase second = first;
  second.Name = "moved loop";
  second.StartLoopOffset = -15000;
  second.Note = 65;
  TLoopCase third = first;
  third.Name = "ping-pong";
  third.SampleModes = 1002;
  ExpectSameRender({first, second, third});
}

TEST(LoopWorkWindow, LoadKeepsOnlyTheLoopEndsNeighbourhood) {
  test::TVoiceFixture f;
  const TLoopCase c{"", 100000, 50000, 91000, 1, 60, rmCubicSpline};
  f.synth->SetResamplingMethod(rmCubicSpline, 0);
  TSample* sample = MakeNoiseSample(*f.synth, c, true).release();
  f.synth->Samples.Add(sample);  // the synth owns it from here
  ASSERT_NE(sample->WorkData, nullptr);
  EXPECT_EQ(sample->WorkDataSize(), LoopWorkDataCapacity(4));
  EXPECT_LT(sample->WorkDataSize(), 1000);
  // A longer kernel makes room for its reach; without a loop there is nothing.
  f.synth->SetResamplingMethod(rmSINC8 + 7, 0);
  EXPECT_EQ(sample->WorkDataSize(), LoopWorkDataCapacity(1024));
  f.synth->SetResamplingMethod(rmCubicSpline, 0);
  EXPECT_EQ(sample->WorkDataSize(), LoopWorkDataCapacity(4));
  sample->AllocateWorkData(0);
  EXPECT_EQ(sample->WorkData, nullptr);
}

}  // namespace
}  // namespace kelvane
