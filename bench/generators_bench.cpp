#include "synth/generators.h"

#include <benchmark/benchmark.h>

namespace kelvane {
namespace {

// One pass over all sixteen shapes and the 0..127 range.
void BM_ModulatorSourceShape(benchmark::State& state) {
  InitGeneratorTables();
  for (auto _ : state) {
    double sum = 0.0;
    for (int32_t flags = 0; flags < 16; ++flags) {
      for (int a = 0; a < 128; ++a) sum += ModulatorSourceShape(a + 0.25, 127.0, flags);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 16 * 128);
}
BENCHMARK(BM_ModulatorSourceShape);

}  // namespace
}  // namespace kelvane
