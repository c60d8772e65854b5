#include "synth/synth_thread.h"

#include <algorithm>
#include <exception>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "synth/exceptions.h"
#include "synth/fpu.h"
#include "synth/synth.h"
#include "synth/voice_group.h"

namespace kelvane {

int32_t AvailableProcessorCount() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
#elif defined(_WIN32)
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int32_t count = 0;
    for (; process != 0; process &= process - 1) count++;
    return count;
  }
#endif
  // Elsewhere the number of hardware threads is the best guess.
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? static_cast<int32_t>(std::min<unsigned>(count, 1u << 16)) : 1;
}

namespace {

void FillNegativeZero(TBufferSample* Data, int32_t Samples) {
  int32_t i = 0;
#if defined(__SSE2__) || defined(_M_X64)
  // Slot mixes are 64-byte aligned: whole vectors, four at a time.
  const __m128 zero = _mm_set1_ps(-0.0f);
  float* out = &Data[0].Left;
  for (; i + 8 <= Samples; i += 8) {
    _mm_store_ps(out + 2 * i, zero);
    _mm_store_ps(out + 2 * i + 4, zero);
    _mm_store_ps(out + 2 * i + 8, zero);
    _mm_store_ps(out + 2 * i + 12, zero);
  }
#endif
  for (; i < Samples; i++) Data[i] = TBufferSample{{{-0.0f, -0.0f}}};
}

}  // namespace

TSynthThread::TSynthThread(TSynth& ASynth, int32_t AThreadIndex)
    : Synth(ASynth),
      ThreadIndex(AThreadIndex),
      VoiceGroup(std::make_unique<TVoiceGroup>()),
      fMixMemory(std::make_unique_for_overwrite<TBufferSample[]>((MixBytes + 64) / sizeof(TBufferSample))),
      fChorusScratch(std::make_unique_for_overwrite<TBlockSamples>()),
      fReverbScratch(std::make_unique_for_overwrite<TBlockSamples>()) {
  const auto address = reinterpret_cast<uintptr_t>(fMixMemory.get());
  fMix = fMixMemory.get() + ((64 - address % 64) % 64) / sizeof(TBufferSample);
  FillNegativeZero(fMix, static_cast<int32_t>(MixBytes / sizeof(TBufferSample)));
  for (TSynthThreadSlot& slot : Slots) slot.Owner = this;
  Start();
}

TSynthThread::~TSynthThread() {
  // The system thread must end before the event and buffers it uses go away.
  Terminate();
  WakeUpEvent.SetEvent();
  WaitFor();
}

void TSynthThread::LayOutSlots(int32_t Samples, bool Chorus, bool Reverb) {
  // Whole cache lines per mix, so that no two slots share one.
  const size_t frames = (static_cast<size_t>(std::max(Samples, 1)) + 7) & ~size_t{7};
  const size_t mixes = 1 + (Chorus ? 1 : 0) + (Reverb ? 1 : 0);
  const size_t slotFrames = frames * mixes;
  SlotCount = static_cast<int32_t>(
      std::min<size_t>(MaxSlots, MixBytes / sizeof(TBufferSample) / slotFrames));
  TBufferSample* next = fMix;
  for (int32_t i = 0; i < SlotCount; i++) {
    TSynthThreadSlot& slot = Slots[static_cast<size_t>(i)];
    slot.Buffer = next;
    next += frames;
    slot.ChorusBuffer = Chorus ? next : fChorusScratch->data();
    next += Chorus ? frames : 0;
    slot.ReverbBuffer = Reverb ? next : fReverbScratch->data();
    next += Reverb ? frames : 0;
  }
}

bool TSynthThread::FindFreeSlots(TSynthThreadSlot** Found, int32_t Count, std::memory_order Order) {
  // The first free ones: usually the slots this thread used last, merged
  // right after its voices and still in this core's caches.
  int32_t found = 0;
  for (int32_t i = 0; i < SlotCount && found < Count; i++) {
    TSynthThreadSlot& slot = Slots[static_cast<size_t>(i)];
    if (!slot.Busy.load(Order)) Found[found++] = &slot;
  }
  return found == Count;
}

void TSynthThread::AcquireSlots(TSynthThreadSlot** Acquired, int32_t Count) {
  // Every busy slot holds a voice that comes before the ones this thread
  // claimed, so their merges need nothing from it and the wait ends.
  bool found = FindFreeSlots(Acquired, Count, std::memory_order_acquire);
  if (!found) {
    // An earlier voice of another thread is usually about to be merged.
    found = SpinUntil([&] { return FindFreeSlots(Acquired, Count, std::memory_order_acquire); }, SlotSpinNs);
  }
  while (!found) {
    // Announce the sleep before the last look at Busy; ReleaseSlot clears
    // Busy before it looks at WaitingForSlot (both sequentially consistent),
    // so one of the two sees the other and no wake-up is lost.
    WaitingForSlot.store(true);
    found = FindFreeSlots(Acquired, Count, std::memory_order_seq_cst);
    if (!found) {
      Stats.SlotWaits++;
      const int64_t start = SteadyNanoseconds();
      SlotFreeEvent.WaitFor();
      Stats.SlotWaitNs += SteadyNanoseconds() - start;
    }
    WaitingForSlot.store(false, std::memory_order_relaxed);
  }
  const TBufferSample negativeZero{{{-0.0f, -0.0f}}};
  for (int32_t i = 0; i < Count; i++) {
    TSynthThreadSlot& slot = *Acquired[i];
    slot.Busy.store(true, std::memory_order_relaxed);
    slot.Last = slot.ChorusLast = slot.ReverbLast = negativeZero;
    slot.Channel = nullptr;
  }
}

void TSynthThread::MergeMix(TBufferSample* Source, TBufferSample* Destination, int32_t Samples) {
  int32_t i = 0;
#if defined(__SSE2__) || defined(_M_X64)
  const __m128 zero = _mm_set1_ps(-0.0f);
  float* src = &Source[0].Left;
  float* dst = &Destination[0].Left;
  for (; i + 8 <= Samples; i += 8) {
    const __m128 a = _mm_add_ps(_mm_loadu_ps(dst + 2 * i), _mm_load_ps(src + 2 * i));
    const __m128 b = _mm_add_ps(_mm_loadu_ps(dst + 2 * i + 4), _mm_load_ps(src + 2 * i + 4));
    const __m128 c = _mm_add_ps(_mm_loadu_ps(dst + 2 * i + 8), _mm_load_ps(src + 2 * i + 8));
    const __m128 d = _mm_add_ps(_mm_loadu_ps(dst + 2 * i + 12), _mm_load_ps(src + 2 * i + 12));
    _mm_storeu_ps(dst + 2 * i, a);
    _mm_storeu_ps(dst + 2 * i + 4, b);
    _mm_storeu_ps(dst + 2 * i + 8, c);
    _mm_storeu_ps(dst + 2 * i + 12, d);
    _mm_store_ps(src + 2 * i, zero);
    _mm_store_ps(src + 2 * i + 4, zero);
    _mm_store_ps(src + 2 * i + 8, zero);
    _mm_store_ps(src + 2 * i + 12, zero);
  }
#endif
  for (; i < Samples; i++) {
    Destination[i].Left += Source[i].Left;
    Destination[i].Right += Source[i].Right;
    Source[i] = TBufferSample{{{-0.0f, -0.0f}}};
  }
}

void TSynthThread::ReleaseSlot(TSynthThreadSlot& Slot) {
  Slot.Busy.store(false);
  if (WaitingForSlot.load()) SlotFreeEvent.SetEvent();
}

void TSynthThread::Wake() {
  WakeUpTime.store(SteadyNanoseconds(), std::memory_order_relaxed);
  // Count first, then look for a sleeper (both sequentially consistent);
  // WaitForWork announces its sleep before its last look at the count, so
  // one of the two sees the other and no wake-up is lost.
  WakeUps.fetch_add(1);
  if (Sleeping.load()) WakeUpEvent.SetEvent();
}

bool TSynthThread::WaitForWork() {
  auto ready = [this] { return WakeUps.load(std::memory_order_acquire) != Handled || Terminated(); };
  if (!SpinUntil(ready, WorkSpinNs)) {
    while (!ready()) {
      Sleeping.store(true);
      // A signal left over from a wake-up that came while this thread was
      // about to sleep only makes the loop look again.
      if (!ready()) WakeUpEvent.WaitFor(TSyncEvent::INFINITE_WAIT);
      Sleeping.store(false, std::memory_order_relaxed);
    }
  }
  if (Terminated()) return false;
  Handled++;
  return true;
}

void TSynthThread::Execute() {
  // Render threads run with the same floating-point setup as a rendering block.
  SaveAndMaskFPUExceptions();
  SIMDFlushToZero();
  bool busy = false;
  try {
    Synth.WorkerThreadReadyInvertedSemaphore.Release();
    while (WaitForWork()) {
      busy = true;
      const int64_t start = SteadyNanoseconds();
      Stats.WakeNs += start - WakeUpTime.load(std::memory_order_relaxed);
      Synth.ProcessThread(ThreadIndex);
      Stats.WorkNs += SteadyNanoseconds() - start;
      Synth.WorkerThreadDoneInvertedSemaphore.Release();
      Completed.store(Handled, std::memory_order_release);
      busy = false;
    }
  } catch (...) {
    if (!Synth.OnException) throw;
    // Stop the synth before the waiting caller goes on, so that its next
    // block already renders nothing instead of waiting for this thread.
    bool expected = false;
    const bool first = Synth.StopProcessing.compare_exchange_strong(expected, true);
    if (busy) Synth.WorkerThreadDoneInvertedSemaphore.Release();
    if (first) {
      try {
        throw;
      } catch (const std::exception& error) {
        Synth.OnException(Synth, error);
      } catch (...) {
        Synth.OnException(Synth, EKelvane("Unknown exception in a render thread"));
      }
    }
  }
}

}  // namespace kelvane
