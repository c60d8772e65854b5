#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "synth/channel.h"
#include "synth/synth.h"

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

TEST(RenderAllocation, CountingIsLive) {
  const long before = Allocations.load();
  auto p = std::make_unique<int>(5);
  EXPECT_EQ(Allocations.load() - before, 1);
}

}  // namespace
}  // namespace kelvane
