#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "alloc_test_support.h"

namespace {
std::atomic<long> Allocations{0};

void* CountedAllocate(std::size_t size) {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace kelvane {
long AllocationCount() { return Allocations.load(); }

namespace {

void QueueBlockEvents(TSynth& synth) {
  synth.ClearEvents();
  for (int i = 0; i < 16; i++) {
    TMIDIEvent event;
    event.Position = i * 300;
    event.Command = static_cast<uint8_t>(0x90 | i);
    event.Data[0] = 60;
    event.Data[1] = 100;
    synth.AddEvent(event);
  }
  TMIDIEvent sysex;
  sysex.Position = 1000;
  sysex.Command = 0xF0;
  sysex.SysExLength = 4;
  sysex.SysEx = new uint8_t[4]{0x7E, 0x7F, 0x09, 0xF7};
  synth.AddEvent(sysex);
}

TEST(RenderAllocation, FillBufferAllocatesNothing) {
  auto synth = std::make_unique<TSynth>();
  synth->DoAGC = true;
  synth->Amplify = 0.5;
  synth->Channels[3]->Last = {{{0.5f, 0.5f}}};
  synth->Channels[3]->ChorusLast = {{{0.5f, 0.5f}}};  // wakes the chorus
  synth->Channels[5]->ReverbLast = {{{0.5f, 0.5f}}};  // wakes the reverb
  std::vector<TBufferSample> out(10000);
  int hookCalls = 0;
  synth->UserData = &hookCalls;
  synth->EventHook = [](void* userData, int32_t, TMIDIEvent&) { ++*static_cast<int*>(userData); };

  // Warm-up fills the free list with enough records for a block.
  QueueBlockEvents(*synth);
  synth->FillBuffer(out.data(), 10000);

  for (int block = 0; block < 3; block++) {
    QueueBlockEvents(*synth);  // records come from the free list; payload is the caller's
    const long before = Allocations.load();
    synth->FillBuffer(out.data(), 10000);
    EXPECT_EQ(Allocations.load() - before, 0) << "block " << block;
  }
  EXPECT_EQ(hookCalls, 4 * 17);
}

TEST(RenderAllocation, SoundingVoicesAllocateNothing) {
  auto synth = std::make_unique<TSynth>();
  auto sample = MakeLoopedSample(*synth, 1000, true);
  TPresetLayer layer(synth.get(), nullptr);
  layer.SetGenerator(54, 1);
  layer.SetGenerator(111, 64);
  layer.SetGenerator(110, 2);
  layer.Crossfades.push_back({2, 1, 0, 0, 0, 0, 0, 64, 100, 127});
  layer.AddDefaultModulators(true);
  const int32_t notes[] = {60, 67, 72, 48};
  for (int32_t i = 0; i < 4; i++) {
    synth->Voices[static_cast<size_t>(i)]->KeyOn(synth->Channels[0].get(), notes[i], 100, &layer, sample.get());
  }
  std::vector<TBufferSample> out(10000);
  synth->FillBuffer(out.data(), 10000);
  const long before = Allocations.load();
  synth->FillBuffer(out.data(), 10000);
  synth->Voices[1]->KeyOff(64);
  synth->FillBuffer(out.data(), 10000);
  EXPECT_EQ(Allocations.load() - before, 0);
  EXPECT_TRUE(synth->Voices[0]->Active);
  for (int32_t i = 0; i < 4; i++) synth->Voices[static_cast<size_t>(i)]->Kill();
}

// The pool renders into buffers made with it: blocks with voices ending and
// keys released allocate nothing on any thread.
TEST(RenderAllocation, PoolThreadsAllocateNothing) {
  auto synth = std::make_unique<TSynth>();
  synth->SetNumberOfThreads(3);
  synth->SetThreadVoiceCountThreshold(1);
  auto sample = MakeLoopedSample(*synth, 3000, true);
  TPresetLayer looped(synth.get(), nullptr);
  looped.SetGenerator(54, 1);
  looped.SetGenerator(16, 300);
  looped.AddDefaultModulators(true);
  TPresetLayer oneShot(synth.get(), nullptr);  // ends inside the first block
  oneShot.AddDefaultModulators(true);
  for (int32_t i = 0; i < 24; i++) {
    synth->Voices[static_cast<size_t>(i)]->KeyOn(synth->Channels[static_cast<size_t>(i % 4)].get(), 48 + i, 100,
                                                 i % 3 == 0 ? &oneShot : &looped, sample.get());
  }
  std::vector<TBufferSample> out(10000);
  synth->FillBuffer(out.data(), 10000);  // threads touch their buffers once
  const long before = Allocations.load();
  synth->FillBuffer(out.data(), 10000);
  for (int32_t i = 1; i < 24; i += 3) synth->Voices[static_cast<size_t>(i)]->KeyOff(64);
  synth->FillBuffer(out.data(), 10000);
  EXPECT_EQ(Allocations.load() - before, 0);
  EXPECT_TRUE(synth->Voices[2]->Active);
  EXPECT_FALSE(synth->Voices[0]->Active);
  for (int32_t i = 0; i < 24; i++) synth->Voices[static_cast<size_t>(i)]->Kill();
}

// Note-ons through the preset lookup, controllers, RPN/NRPN data entry, pedals,
// bend and note-offs, dispatched inside FillBuffer.
TEST(RenderAllocation, ChannelMessagesAllocateNothing) {
  auto synth = std::make_unique<TSynth>();
  auto* sample = MakeLoopedSample(*synth, 1000, false).release();  // owned by synth->Samples
  sample->LinkSample = sample;
  synth->Samples.Add(sample);
  auto* preset = new TPresetLayer(synth.get(), synth->RootPresetLayer.get());
  TPresetLayerSelector* bank = preset->AddSelector();
  bank->SetSelectorType(lstBANKRANGE);
  bank->SetRange(0, 0);
  synth->RootPresetLayer->Layers.Add(preset);
  auto* zone = new TPresetLayer(synth.get(), preset);
  zone->Sample = sample;
  zone->SetGenerator(54, 1);
  zone->AddDefaultModulators(true);
  preset->Layers.Add(zone);
  synth->Recache();

  const uint8_t messages[][3] = {{0xB0, 64, 127}, {0xB0, 101, 0}, {0xB0, 100, 0},  {0xB0, 6, 12},
                                 {0xB0, 96, 0},   {0xB0, 99, 120}, {0xB0, 98, 17},  {0xB0, 6, 70},
                                 {0xB0, 99, 1},   {0xB0, 98, 8},   {0xB0, 6, 70},   {0x90, 60, 100},
                                 {0x91, 64, 90},  {0xE0, 0, 90},   {0xD0, 40, 0},   {0xA0, 60, 30},
                                 {0xB0, 7, 90},   {0xB0, 66, 127}, {0x80, 60, 64},  {0xB0, 64, 0},
                                 {0x90, 60, 0},   {0xB0, 123, 0},  {0xB1, 120, 0},  {0xB0, 121, 0}};
  auto queue = [&] {
    synth->ClearEvents();
    int64_t position = 0;
    for (const auto& m : messages) {
      TMIDIEvent event;
      event.Position = position;
      position += 100;
      event.Command = m[0];
      event.Data[0] = m[1];
      event.Data[1] = m[2];
      synth->AddEvent(event);
    }
  };
  std::vector<TBufferSample> out(4000);
  queue();
  synth->FillBuffer(out.data(), 4000);
  for (int block = 0; block < 2; block++) {
    queue();
    const long before = Allocations.load();
    synth->FillBuffer(out.data(), 4000);
    EXPECT_EQ(Allocations.load() - before, 0) << "block " << block;
  }
  // The note on channel 0 was dispatched and is in its release.
  EXPECT_TRUE(synth->Voices[0]->Active || synth->Voices[1]->Active || synth->Voices[2]->Active);
  EXPECT_EQ(synth->Channels[0]->PitchBendDepthSemitones, 2);  // controller 121 came last
}

// Tuning messages write tables that equal temperament left unstored; the
// queue stores them, so the render thread only writes.
TEST(RenderAllocation, TuningMessagesToUnstoredTablesAllocateNothing) {
  auto synth = std::make_unique<TSynth>();
  std::vector<TBufferSample> out(256);
  synth->FillBuffer(out.data(), 256);
  const int kTables = 12;  // more than any spare pool
  for (int i = 0; i < kTables; i++) {
    TMIDIEvent event;
    event.Position = i;
    event.Command = 0xF0;
    // Single-note change with bank: bank i, program 100 - i, key 60 -> 61.
    const uint8_t payload[] = {0x7F, 0x7F, 0x08, 0x07, static_cast<uint8_t>(i), static_cast<uint8_t>(100 - i),
                               0x00, 0x3C, 0x3D, 0x00, 0x00, 0xF7};
    event.SysExLength = sizeof(payload);
    event.SysEx = new uint8_t[sizeof(payload)];
    std::copy(payload, payload + sizeof(payload), event.SysEx);
    synth->AddEvent(event);
  }
  const long before = Allocations.load();
  synth->FillBuffer(out.data(), 256);
  EXPECT_EQ(Allocations.load() - before, 0);
  for (int i = 0; i < kTables; i++) {
    EXPECT_EQ(synth->TuningTables->Pitch(i, 100 - i, 60), 61.0) << i;
    EXPECT_EQ(synth->TuningTables->Pitch(i, 100 - i, 61), 61.0) << i;
  }
  EXPECT_EQ(synth->TuningTables->StoredTables(), static_cast<size_t>(kTables));
}

TEST(RenderAllocation, CountingIsLive) {
  const long before = Allocations.load();
  auto p = std::make_unique<int>(5);
  EXPECT_EQ(Allocations.load() - before, 1);
}

}  // namespace
}  // namespace kelvane
