#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "sync/sync_event.h"
#include "sync/thread_base.h"
#include "synth/buffer_sample.h"
#include "synth/synth_class.h"
#include "synth/voice_buffers.h"

namespace kelvane {

class TSynth;
class TChannel;
class TSynthThread;

// Logical processors the process may run on (its affinity mask where the
// system has one); at least 1.
int32_t AvailableProcessorCount();

// What one voice added during a threaded sub-block, kept apart until the voices
// before it in pool order have been merged, so that the synth's mixes receive
// the same additions in the same order as on the calling thread. Every value
// starts as -0.0f, which is exact under addition: -0 + x == x for every x,
// so a slot holds the voice's additions bit for bit.
// Cache-line aligned, and Busy on a line of its own: slots of one thread are
// written by it and read and released by whichever thread merges them.
struct alignas(64) TSynthThreadSlot {
  TBlockSamples Buffer;  // dry
  TBlockSamples ChorusBuffer;
  TBlockSamples ReverbBuffer;
  TBufferSample Last;  // click residue the voice hands to its channel
  TBufferSample ChorusLast;
  TBufferSample ReverbLast;
  TChannel* Channel = nullptr;  // channel of the voice, for the residues
  TSynthThread* Owner = nullptr;
  // Set by the owning thread when it renders into the slot, cleared by the
  // thread that merged it.
  alignas(64) std::atomic<bool> Busy{false};
};

// What one render thread did since it was created (written by that thread
// only; read between blocks, for benchmarks and tests).
struct TSynthThreadStats {
  uint64_t Blocks = 0;     // threaded sub-blocks
  uint64_t Voices = 0;     // voices rendered
  uint64_t Merged = 0;     // voices merged into the synth's mixes (its own and others')
  uint64_t SlotWaits = 0;  // sleeps until another thread merged one of our slots
};

// One render thread of the synth's pool. It sleeps on WakeUpEvent and renders
// voices of a threaded sub-block (TSynth::ProcessThread).
class TSynthThread : public TThreadBase, public TSynthClass {
 public:
  // Slots per thread: how many rendered voices may wait for an earlier,
  // slower voice of another thread before this thread has to wait too.
  static constexpr int32_t SlotCount = 4;

  TSynthThread(TSynth& ASynth, int32_t AThreadIndex);
  ~TSynthThread() override;

  TSynth& Synth;
  const int32_t ThreadIndex;  // position in TSynth::WorkerThreads

  TVoiceBuffers VoiceBuffers;  // scratch of the voices rendered on this thread
  TSyncEvent WakeUpEvent;      // auto-reset; one signal per threaded sub-block or to terminate

  std::array<TSynthThreadSlot, SlotCount> Slots;
  TSynthThreadSlot* CurrentSlot = nullptr;  // slot of the voice rendering now; this thread only
  TSynthThreadStats Stats;
  TSyncEvent SlotFreeEvent;  // signalled when a slot is released while this thread waits for it
  // Set while this thread is about to sleep on SlotFreeEvent: a release
  // signals the event only then, so that merging costs no lock otherwise.
  alignas(64) std::atomic<bool> WaitingForSlot{false};

  // Waits until the next slot in turn is merged and marks it busy. Render thread only.
  TSynthThreadSlot& AcquireSlot();
  // Sets the slot's mixes (Samples frames) and residues to -0. The send mix
  // of an effect that is off this block is never read: it is neither cleared
  // nor merged.
  static void ClearSlot(TSynthThreadSlot& Slot, int32_t Samples, bool Chorus, bool Reverb);
  // Destination[i] += Source[i] for Samples frames: the same sums as
  // MixToBuffer, with fewer instructions per frame.
  static void MergeMix(const TBufferSample* Source, TBufferSample* Destination, int32_t Samples);
  // Marks a merged (or unused) slot free and wakes its owner.
  void ReleaseSlot(TSynthThreadSlot& Slot);

 protected:
  void Execute() override;

 private:
  alignas(64) int32_t NextSlot = 0;
};

}  // namespace kelvane
