#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "sync/sync_event.h"
#include "sync/thread_base.h"
#include "synth/buffer_sample.h"
#include "synth/synth_class.h"
#include "synth/voice_buffers.h"

namespace kelvane {

class TSynth;
class TChannel;
class TSynthThread;
class TVoiceGroup;

// Logical processors the process may run on (its affinity mask where the
// system has one); at least 1.
int32_t AvailableProcessorCount();

// Tells the processor that this is a spin loop.
inline void CPUPause() {
#if defined(__SSE2__) || defined(_M_X64)
  _mm_pause();
#endif
}

inline int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What one voice added during a threaded sub-block, kept apart until the voices
// before it in pool order have been merged, so that the synth's mixes receive
// the same additions in the same order as on the calling thread. The mixes
// lie in the owning thread's mix memory and start as -0.0f, which is exact
// under addition: -0 + x == x for every x, so a slot holds the voice's
// additions bit for bit. The merge sets what it read back to -0, so a free
// slot is clear without a pass of its own.
// Busy on a line of its own: slots of one thread are written by it and read
// and released by whichever thread merges them.
struct alignas(64) TSynthThreadSlot {
  // Set by the owner for each sub-block; a send whose effect is off points
  // at the owner's scratch for it, which is never merged.
  TBufferSample* Buffer = nullptr;  // dry
  TBufferSample* ChorusBuffer = nullptr;
  TBufferSample* ReverbBuffer = nullptr;
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
  // Steady-clock nanoseconds: from the caller's wake-up call until this
  // thread ran, in ProcessThread, asleep waiting for a slot.
  int64_t WakeNs = 0;
  int64_t WorkNs = 0;
  int64_t SlotWaitNs = 0;
};

// One render thread of the synth's pool. It sleeps on WakeUpEvent and renders
// voices of a threaded sub-block (TSynth::ProcessThread).
class TSynthThread : public TThreadBase, public TSynthClass {
 public:
  // Bytes of mix memory per thread for its slots: a slot takes the frames of
  // the sub-block for the dry mix and each send that is on, so short
  // sub-blocks without effects get many slots and the longest with both
  // effects at least two runs' worth.
  static constexpr size_t MixBytes = 768 * 1024;
  // Most slots one thread lays out: how many rendered voices may wait for an
  // earlier, slower voice of another thread before this thread has to wait too.
  static constexpr int32_t MaxSlots = 64;
  // Most consecutive voices one thread claims at once: one voice group.
  static constexpr int32_t MaxRun = 4;
  // How long a thread spins before it sleeps: waiting for the next sub-block
  // (the calling thread's work between two of them is usually shorter), for a
  // slot (an earlier run of another thread is usually done within a run's
  // time; longer, and that thread is most likely not running, so this one
  // gives up its processor), and the calling thread for the pool at the end
  // of a sub-block.
  static constexpr int64_t WorkSpinNs = 200000;
  static constexpr int64_t SlotSpinNs = 50000;
  static constexpr int64_t CallerSpinNs = 200000;

  TSynthThread(TSynth& ASynth, int32_t AThreadIndex);
  ~TSynthThread() override;

  TSynth& Synth;
  const int32_t ThreadIndex;  // position in TSynth::WorkerThreads

  TVoiceBuffers VoiceBuffers;  // scratch of the voices rendered on this thread
  std::unique_ptr<TVoiceGroup> VoiceGroup;  // renders this thread's runs four voices at a time
  TSyncEvent WakeUpEvent;      // auto-reset; signalled only while the thread sleeps, or to terminate

  // Hands the thread one threaded sub-block. Calling thread only.
  void Wake();
  // True once the thread finished the sub-block of the last Wake (and released
  // the done semaphore). Calling thread only.
  bool Idle() const { return Completed.load(std::memory_order_acquire) == WakeUps.load(std::memory_order_relaxed); }

  std::array<TSynthThreadSlot, MaxSlots> Slots;
  int32_t SlotCount = 0;  // slots laid out for the current sub-block
  TSynthThreadSlot* CurrentSlot = nullptr;  // slot of the voice rendering now; this thread only
  TSynthThreadStats Stats;
  TSyncEvent SlotFreeEvent;  // signalled when a slot is released while this thread waits for it
  // Set while this thread is about to sleep on SlotFreeEvent: a release
  // signals the event only then, so that merging costs no lock otherwise.
  alignas(64) std::atomic<bool> WaitingForSlot{false};

  // Cuts the mix memory into slots for sub-blocks of Samples frames with the
  // sends that are on. Render thread only, while none of its slots is busy.
  void LayOutSlots(int32_t Samples, bool Chorus, bool Reverb);
  // Waits until Count (<= MaxRun) slots are free and marks them busy, with
  // their residues cleared. Render thread only.
  void AcquireSlots(TSynthThreadSlot** Acquired, int32_t Count);
  // Destination[i] += Source[i] for Samples frames (the same sums as
  // MixToBuffer), then Source[i] = -0.
  static void MergeMix(TBufferSample* Source, TBufferSample* Destination, int32_t Samples);
  // Marks a merged (or unused) slot free and wakes its owner.
  void ReleaseSlot(TSynthThreadSlot& Slot);

 protected:
  void Execute() override;

 private:
  // Waits for the next Wake: spins a little first, as the next sub-block
  // usually follows within microseconds and waking a sleeping thread takes
  // far longer. False when the thread is to end.
  bool WaitForWork();
  // Fills Found with the first Count free slots; false when there are fewer.
  bool FindFreeSlots(TSynthThreadSlot** Found, int32_t Count, std::memory_order Order);

  // Slot mixes, all -0 between sub-blocks: MixBytes, 64-byte aligned.
  std::unique_ptr<TBufferSample[]> fMixMemory;
  TBufferSample* fMix = nullptr;
  // Where a send that is off goes: written by voices, never read.
  std::unique_ptr<TBlockSamples> fChorusScratch;
  std::unique_ptr<TBlockSamples> fReverbScratch;

  uint32_t Handled = 0;  // sub-blocks taken; this thread only
  // Written by the calling thread: Wake count, and the time of the last one (for Stats).
  alignas(64) std::atomic<uint32_t> WakeUps{0};
  std::atomic<int64_t> WakeUpTime{0};
  // Written by this thread: sub-blocks finished; set while it sleeps on WakeUpEvent.
  alignas(64) std::atomic<uint32_t> Completed{0};
  std::atomic<bool> Sleeping{false};
};

// Spins (with a pause hint) until Done() or about Nanoseconds passed; returns Done().
template <typename TDone>
bool SpinUntil(TDone Done, int64_t Nanoseconds) {
  const int64_t deadline = SteadyNanoseconds() + Nanoseconds;
  for (;;) {
    for (int i = 0; i < 64; i++) {
      if (Done()) return true;
      CPUPause();
    }
    if (SteadyNanoseconds() >= deadline) return Done();
  }
}

}  // namespace kelvane
