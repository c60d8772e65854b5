#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "alloc_test_support.h"

namespace kelvane {

long AllocationCount();  // render_allocation_test.cpp

namespace {

TPresetLayer* AddProgram(TSynth& synth, TSample* sample, int32_t program) {
  auto* preset = new TPresetLayer(&synth, synth.RootPresetLayer.get());
  TPresetLayerSelector* selector = preset->AddSelector();
  selector->SetSelectorType(lstPROGRAMRANGE);
  selector->SetRange(program, program);
  synth.RootPresetLayer->Layers.Add(preset);
  auto* zone = new TPresetLayer(&synth, preset);
  zone->Sample = sample;
  zone->SetGenerator(54, 1);
  zone->AddDefaultModulators(true);
  preset->Layers.Add(zone);
  return zone;
}

TMIDIEvent Event(int64_t position, uint8_t command, uint8_t data0, uint8_t data1) {
  TMIDIEvent event;
  event.Position = position;
  event.Command = command;
  event.Data[0] = data0;
  event.Data[1] = data1;
  return event;
}

// The first note on a layer with linked modulators, and controller changes
// that re-evaluate them, inside FillBuffer.
TEST(ModulationAllocation, LinkedModulatorsAllocateNothingAtKeyOn) {
  auto synth = std::make_unique<TSynth>();
  auto* sample = MakeLoopedSample(*synth, 1000, false).release();  // owned by synth->Samples
  synth->Samples.Add(sample);
  AddProgram(*synth, sample, 0);
  TPresetLayer* linked = AddProgram(*synth, sample, 1);
  // Controller 1 feeds a link-source modulator on the cutoff, through a
  // chain; twenty modulators in all with the defaults.
  linked->AddModulator(gen::initialFilterFc, msLink, 0, 0, 0, -1200.0, 1, 1);
  for (int32_t id = 2; id < 11; id++) linked->AddModulator(ModulatorLinkFlag | (id - 1), 1, mfController, 0, 0, 10.0, id, 1);
  linked->SetupLinkedModulators();
  ASSERT_TRUE(linked->HasLinkedModulators);
  ASSERT_LE(static_cast<size_t>(linked->Modulators.Count()), ModulatorSourceValuesReserve);
  synth->Recache();

  std::vector<TBufferSample> out(4000);
  // Warm-up: the event free list and a note on the plain program.
  synth->ClearEvents();
  synth->AddEvent(Event(0, 0x90, 60, 100));
  synth->AddEvent(Event(100, 0x80, 60, 0));
  synth->FillBuffer(out.data(), 4000);

  synth->ClearEvents();
  synth->AddEvent(Event(0, 0xC1, 1, 0));
  synth->AddEvent(Event(10, 0xB1, 1, 100));
  synth->AddEvent(Event(20, 0x91, 64, 100));
  synth->AddEvent(Event(30, 0x91, 67, 100));
  synth->AddEvent(Event(500, 0xB1, 1, 20));
  synth->AddEvent(Event(600, 0xB1, 121, 0));
  const long before = AllocationCount();
  synth->FillBuffer(out.data(), 4000);
  EXPECT_EQ(AllocationCount() - before, 0);
  int32_t linkedVoices = 0;
  for (int32_t i = 0; i < synth->NumberOfVoices; i++) {
    const TVoice& voice = *synth->Voices[static_cast<size_t>(i)];
    if (voice.Active && voice.PresetLayer == linked) {
      linkedVoices++;
      EXPECT_EQ(voice.ModulatorSourceValues.size(), static_cast<size_t>(linked->Modulators.Count()));
    }
  }
  EXPECT_EQ(linkedVoices, 2);
}

}  // namespace
}  // namespace kelvane
