#include "synth/synth_init.h"

#include <cmath>
#include <mutex>

#include "synth/fpu.h"
#include "synth/generators.h"

namespace kelvane {

TMultipleReaderSingleWriterLock* ResamplingTablesLock = nullptr;
std::array<uint64_t, 64> PitchIncrementTable{};

namespace {
// Constant-initialised, so it is usable from any static initialiser.
std::mutex InitMutex;
bool Initialized = false;

void BuildPitchIncrementTable() {
  for (int k = 0; k < 64; k++) {
    PitchIncrementTable[static_cast<size_t>(k)] =
        static_cast<uint64_t>(std::trunc(std::exp2(k / 12.0) * 4294967296.0));
  }
}
}  // namespace

void CheckCPU() { SIMDFlushToZero(); }

void InitSynth() {
  std::lock_guard<std::mutex> guard(InitMutex);
  if (Initialized) return;
  ResamplingTablesLock = new TMultipleReaderSingleWriterLock();
  CheckCPU();
  InitGeneratorTables();
  BuildPitchIncrementTable();
  Initialized = true;
}

void DoneSynth() {
  std::lock_guard<std::mutex> guard(InitMutex);
  if (!Initialized) return;
  delete ResamplingTablesLock;
  ResamplingTablesLock = nullptr;
  Initialized = false;
}

}  // namespace kelvane
