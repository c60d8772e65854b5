#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/synth.h"

namespace kelvane {
// Defined with the replaced operator new in render_allocation_test.cpp.
long AllocationCount();

namespace {

TEST(EffectsAllocation, ProcessAndGM2TypeChangesAllocateNothing) {
  auto synth = std::make_unique<TSynth>();
  std::vector<TBufferSample> send(4096, TBufferSample{{{0.25f, -0.25f}}});
  std::vector<TBufferSample> reverbSend(4096), out(4096);
  const int32_t chorusSlot[1] = {130}, reverbSlot[1] = {129}, type[1] = {0};
  const int32_t parameters[2] = {0, 1};

  const long before = AllocationCount();
  for (int32_t reverbType : {0, 3, 4, 8, 2}) {
    // GPC messages arrive inside FillBuffer as system-exclusive events.
    const int32_t values[2] = {reverbType, 90};
    synth->GlobalParameterControlChange(reverbSlot, parameters, values);
    const int32_t chorusType[1] = {reverbType % 6};
    synth->GlobalParameterControlChange(chorusSlot, type, chorusType);
    std::fill(reverbSend.begin(), reverbSend.end(), TBufferSample{{{0.1f, 0.2f}}});
    synth->Chorus->Process(send.data(), out.data(), reverbSend.data(), 4096);
    synth->Reverb->Process(reverbSend.data(), out.data(), 4096);
  }
  EXPECT_EQ(AllocationCount() - before, 0);
  EXPECT_TRUE(synth->Chorus->AudioActiveStateTracker.Active());
  EXPECT_TRUE(synth->Reverb->AudioActiveStateTracker.Active());
}

}  // namespace
}  // namespace kelvane
