// kelvane_attach_bank BANK [--load-all]
// Attaches a bank with delayed loading (and loads every sample with
// --load-all), then prints the wall time of each step and what was loaded.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "banks/sample.h"
#include "banks/stream.h"
#include "synth/synth.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kelvane;
  if (argc < 2 || (argc == 3 && std::strcmp(argv[2], "--load-all") != 0) || argc > 3) {
    std::fprintf(stderr, "usage: %s BANK [--load-all]\n", argv[0]);
    return 2;
  }
  const bool loadAll = argc == 3;
  try {
    auto synth = std::make_unique<TSynth>();
    auto start = std::chrono::steady_clock::now();
    if (!synth->AttachSoundFont(std::make_unique<TFileStream>(argv[1]), true)) {
      std::fprintf(stderr, "%s: not a bank\n", argv[1]);
      return 1;
    }
    std::printf("attach (delayed loading): %.4f s, %lld presets, %lld samples\n", SecondsSince(start),
                static_cast<long long>(synth->RootPresetLayer->Layers.Count()),
                static_cast<long long>(synth->Samples.Count()));
    if (loadAll) {
      start = std::chrono::steady_clock::now();
      synth->LoadAllSamples();
      int64_t floats = 0;
      int32_t loaded = 0;
      for (const TSample* s : synth->Samples) {
        if (!s->Loaded) continue;
        ++loaded;
        floats += s->BufferElements() + s->WorkDataSize();  // Data and the resampler's loop windows
      }
      std::printf("load all samples: %.4f s, %d loaded, %.1f MiB in Data + WorkData\n", SecondsSince(start), loaded,
                  static_cast<double>(floats) * sizeof(float) / (1024.0 * 1024.0));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
    return 1;
  }
  return 0;
}
