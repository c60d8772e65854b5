#pragma once

#include <array>
#include <cstdint>

#include "sync/multiple_reader_single_writer_lock.h"

namespace kelvane {

// Shared by every synthesizer: held shared for a whole rendered block, exclusive
// while resampling tables are built or freed. Null before InitSynth / after DoneSynth.
extern TMultipleReaderSingleWriterLock* ResamplingTablesLock;

// Phase increments of the 64 semitones above unity: T[k] = trunc(2^(k/12) * 2^32),
// 32.32 fixed point.
extern std::array<uint64_t, 64> PitchIncrementTable;

// Process-wide engine setup; runs at library load, safe to call again.
void InitSynth();
// Frees what InitSynth created.
void DoneSynth();

// The loading thread's denormal handling (flush-to-zero).
void CheckCPU();

}  // namespace kelvane
