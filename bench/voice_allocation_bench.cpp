#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>

#include "banks/preset_layer.h"
#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_envelope.h"

namespace kelvane {
namespace {

// A full pool: every voice sounds on one of 16 channels with a random age,
// key, velocity and level, a quarter of them released; the new note comes on
// channel 0, so every algorithm has to steal.
struct TFullPool {
  TFullPool(int32_t voices, int32_t algorithm) {
    Synth = std::make_unique<TSynth>();
    Synth->SetNumberOfVoices(voices);
    Synth->VoiceAllocationAlgorithm = algorithm;
    Layer = std::make_unique<TPresetLayer>(Synth.get(), nullptr);
    Layer->Recache();
    std::mt19937 rng(1234);
    Synth->NoteID = voices + 1;
    for (int32_t i = 0; i < voices; i++) {
      TVoice& voice = *Synth->Voices[static_cast<size_t>(i)];
      voice.Active = true;
      voice.Channel = Synth->Channels[rng() % 16].get();
      voice.PresetLayer = Layer.get();
      voice.NoteID = i + 1;
      voice.Note = static_cast<int32_t>(rng() % 128);
      voice.Velocity = static_cast<int32_t>(1 + rng() % 127);
      voice.IsKeyOff = rng() % 4 == 0;
      voice.LifeTime = static_cast<int32_t>(rng() % 100000);
      voice.VolEnvelope->Envelope.RealValue = static_cast<double>(rng() % 1000) / 1000.0;
    }
  }
  ~TFullPool() {
    for (int32_t i = 0; i < Synth->NumberOfVoices; i++) {
      Synth->Voices[static_cast<size_t>(i)]->Active = false;
      Synth->Voices[static_cast<size_t>(i)]->Channel = nullptr;
    }
  }

  std::unique_ptr<TSynth> Synth;
  std::unique_ptr<TPresetLayer> Layer;
};

// One allocation decision in a full pool; nothing is started, so every
// iteration sees the same pool. Args: voices, algorithm.
void BM_FindFreeVoiceFullPool(benchmark::State& state) {
  TFullPool pool(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  TChannel& channel = *pool.Synth->Channels[0];
  const int64_t noteID = pool.Synth->NoteID;
  for (auto _ : state) {
    TVoice* voice = channel.FindFreeVoice(60, noteID, pool.Layer.get());
    benchmark::DoNotOptimize(voice);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindFreeVoiceFullPool)
    ->ArgNames({"voices", "algorithm"})
    ->ArgsProduct({{64, 512, 8192}, {0, 1, 2}});

}  // namespace
}  // namespace kelvane
