#include <benchmark/benchmark.h>

#include <memory>

#include "banks/preset_layer.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_envelope.h"

namespace kelvane {
namespace {

struct TEnvelopeBench {
  std::unique_ptr<TSynth> Synth = std::make_unique<TSynth>();
  std::unique_ptr<TVoice> Voice = std::make_unique<TVoice>(*Synth, 1);
  TVoiceEnvelope Envelope{*Synth, *Voice, true};
};

// One modulation step of a segment envelope held in a long attack with the
// given curve (0 = linear).
void BM_EnvelopeSegmentStep(benchmark::State& state) {
  TEnvelopeBench b;
  TVoiceEnvelope& e = b.Envelope;
  e.SetDelay(-12000);
  e.SetAttack(8000, static_cast<double>(state.range(0)));  // 140009 steps
  e.KeyOn();
  for (auto _ : state) {
    benchmark::DoNotOptimize(e.Process());
    if (e.Segment() != esAttack && e.Segment() != esDelay) e.KeyOn();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeSegmentStep)->DenseRange(0, 5);

// One modulation step of a point envelope on a long segment with the given interpolator.
void BM_EnvelopePointStep(benchmark::State& state) {
  TEnvelopeBench b;
  TPresetLayerEnvelope list;
  const auto mode = static_cast<int32_t>(state.range(0));
  list.Active = true;
  list.LoopStart = list.LoopEnd = list.SustainLoopStart = list.SustainLoopEnd = -1;
  list.Points = {{mode, 0, 0}, {mode, 1000, 1 << 30}, {mode, 2000, 1 << 29}};
  TVoiceEnvelope& e = b.Envelope;
  e.SetLayerEnvelope(&list);
  e.KeyOn();
  for (auto _ : state) {
    benchmark::DoNotOptimize(e.Process());
    if (e.Finished()) e.KeyOn();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopePointStep)->DenseRange(0, 4);

// A voice's modulation step: its three envelopes sustaining.
void BM_EnvelopeVoiceStep(benchmark::State& state) {
  TEnvelopeBench b;
  TVoiceEnvelope mod(*b.Synth, *b.Voice, false);
  TVoiceEnvelope mod2(*b.Synth, *b.Voice, false);
  for (TVoiceEnvelope* e : {&b.Envelope, &mod, &mod2}) {
    e->SetSustain(300);
    e->SetDecay(0, 0, 60, 3);
    e->KeyOn();
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(b.Envelope.Process() + mod.Process() + mod2.Process());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeVoiceStep);

}  // namespace
}  // namespace kelvane
