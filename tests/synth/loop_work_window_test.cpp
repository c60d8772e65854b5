// The resampler's loop-wrapped copy holds only the frames around the loop: a
// voice must render bit for bit as with a whole-sample copy.
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

int64_t LoadTimeWindow(const TLoopCase& c) {
  const auto window = TSample::LoopWorkDataElements(c.LoopStart, c.LoopEnd);
  return window.second - window.first;
}

// A noisy sample (so a misplaced frame shows) with the sample's loop points.
std::unique_ptr<TSample> MakeNoiseSample(TSynth& synth, const TLoopCase& c, bool windowed) {
  auto sample = test::MakeSineSample(synth, c.Length, 37.3, c.LoopStart, c.LoopEnd, c.SampleRate, 60);
  uint32_t state = 12345;
  for (int64_t i = 0; i < sample->BufferElements(); ++i) {
    state = state * 1664525u + 1013904223u;
    sample->Data[static_cast<size_t>(i)] += static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  }
  std::copy_n(sample->Data.get(), sample->BufferElements(), sample->WorkData.get());
  if (windowed) {
    const auto window = TSample::LoopWorkDataElements(c.LoopStart, c.LoopEnd);
    sample->AllocateWorkData(window.first, window.second);
  }
  return sample;
}

struct TLoopVoice {
  std::unique_ptr<TPresetLayer> Layer;
  std::unique_ptr<TVoice> Voice;
  std::vector<float> Output;
};

// Renders the voices of cases on one shared sample, block by block in turn,
// and returns each voice's left channel.
std::vector<std::vector<float>> RenderVoices(const std::vector<TLoopCase>& cases, bool windowed,
                                             int64_t* windowElements = nullptr) {
  test::TVoiceFixture f;
  f.synth->SetResamplingMethod(cases[0].Method, 0);
  f.synth->ResampleLoopWrapping = true;
  f.sample = MakeNoiseSample(*f.synth, cases[0], windowed);
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
  if (windowElements) *windowElements = f.sample->WorkData ? f.sample->WorkDataSize() : 0;
  std::vector<std::vector<float>> outputs;
  for (TLoopVoice& v : voices) outputs.push_back(v.Output);
  return outputs;
}

// widens: whether the copy must grow beyond the one made at load time.
void ExpectSameRender(const std::vector<TLoopCase>& cases, bool widens) {
  const auto whole = RenderVoices(cases, false);
  int64_t windowElements = 0;
  const auto windowed = RenderVoices(cases, true, &windowElements);
  EXPECT_EQ(windowElements > LoadTimeWindow(cases[0]), widens);
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
  struct TCaseWidens {
    TLoopCase Case;
    bool Widens = false;
  };
  const TCaseWidens cases[] = {
      {{"forward loop in the middle", 20000, 15000, 15400, 1, 72, rmCubicSpline}, false},
      {{"loop at the sample start", 20000, 0, 300, 1, 67, sinc64}, false},
      {{"loop at the sample end", 20000, 19000, 20000, 1, 64, sinc64}, false},
      {{"loop shorter than the kernel", 5000, 1000, 1003, 1, 60, sinc64}, false},
      {{"ping-pong loop", 20000, 12000, 12500, 1002, 66, sinc64}, false},
      {{"backward loop", 20000, 12000, 12500, 1000, 66, sinc64}, false},
      {{"high pitch runs far each block", 60000, 20000, 24000, 1, 127, rmCubicSpline}, false},
      {{"1024-point kernel", 20000, 10000, 10100, 1, 62, sinc1024}, false},
      {{"voice's loop outside the load-time copy", 20000, 15000, 15400, 1, 72, sinc64, -9000}, true},
      {{"runs of thousands of frames", 200000, 50000, 51000, 1, 127, rmLinear, 0, 176400}, false},
  };
  for (const TCaseWidens& c : cases) {
    SCOPED_TRACE(c.Case.Name);
    ExpectSameRender({c.Case}, c.Widens);
  }
}

TEST(LoopWorkWindow, VoicesWithDifferentLoopsShareOneSample) {
  // The second voice's loop lies outside the copy made for the sample's loop,
  // so the copy is rewritten and widened between the voices' blocks.
  const TLoopCase first{"sample's loop", 30000, 20000, 20600, 1, 70, rmSINC8 + 3};
  TLoopCase second = first;
  second.Name = "moved loop";
  second.StartLoopOffset = -15000;
  second.Note = 65;
  TLoopCase third = first;
  third.Name = "ping-pong";
  third.SampleModes = 1002;
  ExpectSameRender({first, second, third}, true);
}

TEST(LoopWorkWindow, LoadKeepsOnlyTheLoopsNeighbourhood) {
  test::TVoiceFixture f;
  const TLoopCase c{"", 100000, 90000, 91000, 1, 60, rmCubicSpline};
  auto sample = MakeNoiseSample(*f.synth, c, true);
  ASSERT_NE(sample->WorkData, nullptr);
  EXPECT_EQ(sample->WorkDataFirst, 90000);  // frame 90000 - 2048
  EXPECT_EQ(sample->WorkDataSize(), 1000 + SampleGuardElements + 1);
  EXPECT_EQ(std::memcmp(sample->WorkDataBase() + 90000, sample->Data.get() + 90000,
                        static_cast<size_t>(sample->WorkDataSize()) * sizeof(float)),
            0);
  // No loop: no copy at all.
  sample->AllocateWorkData(0, 0);
  EXPECT_EQ(sample->WorkData, nullptr);
}

}  // namespace
}  // namespace kelvane
