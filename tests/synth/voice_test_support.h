#pragma once

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_buffers.h"
#include "synth/voice_envelope.h"

namespace kelvane::test {

// A loaded in-memory sample: frame k = sin(2*pi*k/Period), looped over LoopStart..LoopEnd.
inline std::unique_ptr<TSample> MakeSineSample(TSynth& synth, int32_t length, double period, int32_t loopStart,
                                               int32_t loopEnd, int32_t sampleRate = 44100, int32_t originalPitch = 69) {
  auto sample = std::make_unique<TSample>(&synth);
  sample->Length = length;
  sample->LoopStart = loopStart;
  sample->LoopEnd = loopEnd;
  sample->SampleRate = sampleRate;
  sample->OriginalPitch = originalPitch;
  const int64_t elements = sample->BufferElements();
  sample->Data = std::make_unique<float[]>(static_cast<size_t>(elements));
  sample->WorkData = std::make_unique<float[]>(static_cast<size_t>(elements));
  for (int64_t i = 0; i < elements; i++) {
    const int64_t k = std::clamp<int64_t>(i - SampleGuardFrames, 0, length - 1);
    const float value = static_cast<float>(std::sin(2.0 * std::numbers::pi * static_cast<double>(k) / period));
    sample->Data[static_cast<size_t>(i)] = value;
    sample->WorkData[static_cast<size_t>(i)] = value;
  }
  sample->Loaded = true;
  return sample;
}

inline int32_t EnvelopeState(const TVoiceEnvelope& envelope) { return envelope.Envelope.State; }
// Length in modulation steps of the release segment.
inline int32_t EnvelopeReleaseCount(const TVoiceEnvelope& envelope) { return envelope.Envelope.Data[5].Count; }

// A synthesizer, one leaf layer with a sine sample and a voice rendering
// through the synthesizer's scratch buffers.
struct TVoiceFixture {
  TVoiceFixture() {
    synth = std::make_unique<TSynth>();
    sample = MakeSineSample(*synth, 1000, 100.0, 0, 1000);
    layer = std::make_unique<TPresetLayer>(synth.get(), nullptr);
    layer->Sample = sample.get();
    channel = synth->Channels[0].get();
    voice = std::make_unique<TVoice>(*synth, 1000);
    voice->VoiceBuffers = synth->VoiceBuffers.get();
    Out.resize(4096);
    Chorus.resize(4096);
    Reverb.resize(4096);
  }
  ~TVoiceFixture() { voice.reset(); }

  void Start(int32_t note, int32_t velocity = 127) { voice->KeyOn(channel, note, velocity, layer.get(), sample.get()); }

  // Renders frames into freshly cleared buffers.
  void Render(int32_t frames) {
    std::fill(Out.begin(), Out.end(), TBufferSample{});
    std::fill(Chorus.begin(), Chorus.end(), TBufferSample{});
    std::fill(Reverb.begin(), Reverb.end(), TBufferSample{});
    voice->FillBuffer(Out.data(), Chorus.data(), Reverb.data(), frames);
  }

  std::unique_ptr<TSynth> synth;
  std::unique_ptr<TSample> sample;
  std::unique_ptr<TPresetLayer> layer;
  TChannel* channel = nullptr;
  std::unique_ptr<TVoice> voice;
  std::vector<TBufferSample> Out, Chorus, Reverb;
};

}  // namespace kelvane::test
