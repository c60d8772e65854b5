#include "synth/synth.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/exceptions.h"
#include "synth/fpu.h"
#include "synth/loop_work_data.h"
#include "synth/math_helpers.h"
#include "synth/mixing.h"
#include "synth/resampling_tables.h"
#include "synth/reverb.h"
#include "synth/synth_init.h"
#include "synth/synth_thread.h"
#include "synth/voice.h"
#include "synth/voice_buffers.h"
#include "synth/voice_group.h"

namespace kelvane {

namespace {

// Runs the process-wide setup when the engine is loaded; every program that
// uses TSynth links this file, so static linking keeps it.
struct TSynthUnit {
  TSynthUnit() { InitSynth(); }
  ~TSynthUnit() { DoneSynth(); }
} SynthUnit;

constexpr int32_t MaxWorkerThreads = 128;
constexpr uint32_t ThreadWaitTimeoutMs = 10000;

// Shared hold of a lock that may be absent (after DoneSynth at process exit).
class TOptionalReadLock {
 public:
  explicit TOptionalReadLock(TMultipleReaderSingleWriterLock* lock) : fLock(lock) {
    if (fLock != nullptr) fLock->AcquireRead();
  }
  ~TOptionalReadLock() {
    if (fLock != nullptr) fLock->ReleaseRead();
  }
  TOptionalReadLock(const TOptionalReadLock&) = delete;
  TOptionalReadLock& operator=(const TOptionalReadLock&) = delete;

 private:
  TMultipleReaderSingleWriterLock* fLock;
};

class TOptionalWriteLock {
 public:
  explicit TOptionalWriteLock(TMultipleReaderSingleWriterLock* lock) : fLock(lock) {
    if (fLock != nullptr) fLock->AcquireWrite();
  }
  ~TOptionalWriteLock() {
    if (fLock != nullptr) fLock->ReleaseWrite();
  }
  TOptionalWriteLock(const TOptionalWriteLock&) = delete;
  TOptionalWriteLock& operator=(const TOptionalWriteLock&) = delete;

 private:
  TMultipleReaderSingleWriterLock* fLock;
};

// Masks FP exceptions for the block and restores the caller's mask on every exit.
class TRenderFPUScope {
 public:
  TRenderFPUScope() : fSaved(SaveAndMaskFPUExceptions()) { SIMDFlushToZero(); }
  ~TRenderFPUScope() { RestoreFPUExceptions(fSaved); }
  TRenderFPUScope(const TRenderFPUScope&) = delete;
  TRenderFPUScope& operator=(const TRenderFPUScope&) = delete;

 private:
  TFPUExceptionState fSaved;
};

}  // namespace

TSynth::TSynth() {
  InitSynth();  // in case a synthesizer is built by another static initialiser first

  // 1. Defaults, locks and semaphores are set by the member initialisers.
  OmniChannel = -1;
  EventNoteIDCounter = 1;
  LastNumberOfWorkerThreads = -1;
  StopProcessing.store(false);

  // 2.
  ModulationSamples = 32;
  InvModulationSamples = 1.0 / 32.0;
  TuningTables = std::make_unique<TTuningTables>();
  TuningTablesChanged.store(true);
  InitTuningTables();

  // 3. Queue empty, no resampling tables.
  EventFirst = EventLast = EventNextFree = CurrentEvent = nullptr;
  SampleIndexLoopTables.fill(nullptr);

  VoiceBuffers = std::make_unique<TVoiceBuffers>();
  VoiceGroup = std::make_unique<TVoiceGroup>();
  ChorusBuffer = std::make_unique<TBlockSamples>();
  ReverbBuffer = std::make_unique<TBlockSamples>();
  Voices = std::make_unique<TVoice*[]>(MaxVoices);
  ActiveThreadVoices = std::make_unique<TVoice*[]>(MaxVoices + 1);
  ThreadMergeSlots = std::make_unique<TSynthThreadSlot*[]>(MaxVoices + 1);

  // 4.
  SampleRate = DefaultSampleRate;
  Chorus = std::make_unique<TChorus>(*this);
  Reverb = std::make_unique<TReverb>(*this);
  SetSampleRate(DefaultSampleRate);

  // 5.
  HasResamplingTables = false;
  ResamplingMethod = -1;
  ResamplingInterpolationMode = 0;
  NoteID = 0;
  VoiceID = 0;
  Amplify = 1.0;
  GeneralMIDIMode = 0;
  VoiceAllocationAlgorithm = 0;
  DoHandleLinkedSamples = true;

  // 6. The bank and sample lists are members; the lookup table starts zeroed.
  RootPresetLayer = std::make_unique<TPresetLayer>(this, nullptr);
  RootPresetLayer->Name = "Root";

  // 7.
  NumberOfVoices = 32;
  ThreadVoiceCountThreshold = 0;
  GenGlobalOverrideValues.Fill(GenNoOverride);
  for (int32_t i = 0; i < NumberOfVoices; i++) Voices[static_cast<size_t>(i)] = new TVoice(*this, i + 1);
  for (int32_t i = 0; i < 16; i++) Channels[static_cast<size_t>(i)] = std::make_unique<TChannel>(*this, i, Voices.get());

  // 8.
  SetNumberOfVoices(64);
  SetNumberOfThreads(0);
  SetThreadVoiceCountThreshold(32);

  // 9.
  FastSINCActive = false;
  ResamplingLoopStartOffset = 0;
  ResamplingLoopEndOffset = 0;
  ResamplingMethod = 0;
  ResamplingInterpolationMode = 0;
  SetResamplingMethod(1, 0);

  // 10.
  UserData = nullptr;
  EventHook = nullptr;
  DoAGC = false;
  EMU10K1Mode = true;
  ModulateVelocityToFilterCutOff = true;
  ResampleLoopWrapping = true;
  IgnoreSampleLinks = false;
  AGCFactor = 1.0f;

  // 11.
  Clear();
}

TSynth::~TSynth() {
  try {
    SetNumberOfThreads(0);
  } catch (const EKelvaneThreadTimeout&) {
    // A thread that never started: stop and free the pool all the same.
    while (!WorkerThreads.empty()) {
      delete WorkerThreads.back();
      WorkerThreads.pop_back();
    }
  }
  Clear();
  FreeVoices();
  for (auto& channel : Channels) channel.reset();
  RootPresetLayer.reset();
  Samples.Clear();
  AttachedSoundFonts.Clear();
  Chorus.reset();
  Reverb.reset();
  {
    TOptionalWriteLock lock(ResamplingTablesLock);
    FreeResamplingTables();
  }
}

void TSynth::InitTuningTables() {
  bool expected = true;
  if (!TuningTablesChanged.compare_exchange_strong(expected, false)) return;
  TuningTables->Reset();
}

void TSynth::FreeEventRecord(TMIDIEvent* Event) {
  delete[] Event->SysEx;
  delete Event;
}

void TSynth::Clear() {
  for (TMIDIEvent* event = EventFirst; event != nullptr;) {
    TMIDIEvent* next = event->Next;
    FreeEventRecord(event);
    event = next;
  }
  for (TMIDIEvent* event = EventNextFree; event != nullptr;) {
    TMIDIEvent* next = event->Next;
    FreeEventRecord(event);
    event = next;
  }
  EventFirst = EventLast = EventNextFree = CurrentEvent = nullptr;
  ClearSoundBanks();
  EventNoteIDCounter = 1;
  Reset();
}

void TSynth::Reset() {
  InitTuningTables();

  MasterVolume = 1.0;
  MasterBalance = 0.5;
  MasterCoarseTuning = 0.0;
  MasterFineTuning = 0.0;
  AGCFactor = 1.0f;
  OmniChannel = -1;
  NoteID = 0;
  VoiceID = 0;
  CurrentPosition = 0;

  // Rewind: queued events stay and replay from the start.
  CurrentEvent = EventFirst;
  SamplesRemainToNextMIDIEvent = 0;
  FirstMIDIEvent = true;

  for (int32_t i = 0; i < NumberOfVoices; i++) {
    TVoice& voice = *Voices[static_cast<size_t>(i)];
    voice.Kill();
    voice.Reset();
  }
  for (auto& channel : Channels) channel->Reset();

  // Power-on effect types: reverb 4, chorus 2.
  const int32_t reverbSlot[1] = {TReverb::GlobalParameterSlot};
  const int32_t chorusSlot[1] = {TChorus::GlobalParameterSlot};
  const int32_t typeParameter[1] = {0};
  const int32_t reverbType[1] = {4};
  const int32_t chorusType[1] = {2};
  GlobalParameterControlChange(reverbSlot, typeParameter, reverbType);
  GlobalParameterControlChange(chorusSlot, typeParameter, chorusType);

  EventNoteIDCounter = 1;
}

void TSynth::ClearEvents() {
  for (TMIDIEvent* event = EventFirst; event != nullptr;) {
    TMIDIEvent* next = event->Next;
    delete[] event->SysEx;
    event->SysEx = nullptr;
    event->SysExLength = 0;
    event->Previous = nullptr;
    event->Next = EventNextFree;
    EventNextFree = event;
    event = next;
  }
  EventFirst = EventLast = CurrentEvent = nullptr;
  SamplesRemainToNextMIDIEvent = 0;
  FirstMIDIEvent = true;
}

void TSynth::AddEvent(const TMIDIEvent& Event) {
  TMIDIEvent* record = EventNextFree;
  if (record != nullptr) {
    EventNextFree = record->Next;
  } else {
    record = new TMIDIEvent();
  }
  *record = Event;
  ReserveTuningTable(*record);
  record->Previous = nullptr;
  record->Next = nullptr;
  EventInsert(record);
}

void TSynth::EventInsert(TMIDIEvent* Event) {
  if (EventFirst == nullptr || EventLast == nullptr) {
    EventFirst = EventLast = CurrentEvent = Event;
    return;
  }
  TMIDIEvent* before = nullptr;
  if (Event->Position < EventLast->Position) {
    // Equal positions keep their arrival order: stop at the first later one.
    for (TMIDIEvent* walk = EventFirst; walk != nullptr; walk = walk->Next) {
      if (walk->Position > Event->Position) {
        before = walk;
        break;
      }
    }
  }
  if (before == nullptr) {
    Event->Previous = EventLast;
    EventLast->Next = Event;
    EventLast = Event;
    return;
  }
  Event->Next = before;
  Event->Previous = before->Previous;
  if (before->Previous != nullptr) before->Previous->Next = Event;
  before->Previous = Event;
  if (before == EventFirst) EventFirst = Event;
  if (before == CurrentEvent) CurrentEvent = Event;
}

void TSynth::FillBuffer(TBufferSample* Output, int32_t Samples) {
  if (StopProcessing.load(std::memory_order_acquire)) return;

  TOptionalReadLock tablesLock(ResamplingTablesLock);
  TReadLockGuard threadsLock(MultithreadingLock);
  TRenderFPUScope fpu;

  if (Samples <= 0) return;
  std::fill_n(Output, Samples, TBufferSample{});

  int32_t offset = 0;
  int32_t remaining = Samples;
  while (remaining > 0) {
    int64_t chunk = std::min<int32_t>(remaining, MaxBlockSamples);
    if (FirstMIDIEvent) {
      FirstMIDIEvent = false;
      if (CurrentEvent != nullptr) SamplesRemainToNextMIDIEvent = CurrentEvent->Position;
    }
    if (CurrentEvent != nullptr) {
      if (SamplesRemainToNextMIDIEvent < 1) {
        TMIDIEvent* event = CurrentEvent;
        if (EventHook != nullptr) EventHook(UserData, offset, *event);
        ProcessEvent(*event);
        // A countdown below zero means the event was overdue (negative position);
        // keep the successor at its own position instead of shifting it by that much.
        const int64_t overdue = SamplesRemainToNextMIDIEvent;
        if (event->Next != nullptr) {
          SamplesRemainToNextMIDIEvent = event->Next->Position - event->Position + overdue;
        }
        CurrentEvent = event->Next;
      }
      if (CurrentEvent != nullptr && SamplesRemainToNextMIDIEvent < chunk) chunk = SamplesRemainToNextMIDIEvent;
    }
    if (chunk > 0) {
      const int32_t frames = static_cast<int32_t>(chunk);
      FillBufferPart(Output + offset, frames);
      offset += frames;
      CurrentPosition += frames;
      remaining -= frames;
      if (CurrentEvent != nullptr) SamplesRemainToNextMIDIEvent -= frames;
    }
  }
}

void TSynth::ProcessEvent(const TMIDIEvent& Event) {
  const uint8_t command = Event.Command;
  if (command >= 0x80 && command <= 0xEF) {
    const int32_t channel = command & 0x0F;
    if (OmniChannel < 0 || OmniChannel == channel) Channels[static_cast<size_t>(channel)]->ProcessEvent(Event);
  } else if (command == 0xF0) {
    ProcessEventSysEx(Event);
  }
}

void TSynth::FillBufferPart(TBufferSample* Buffer, int32_t Samples) {
  TBufferSample* chorusBuffer = ChorusBuffer->data();
  TBufferSample* reverbBuffer = ReverbBuffer->data();
  std::fill_n(chorusBuffer, Samples, TBufferSample{});
  std::fill_n(reverbBuffer, Samples, TBufferSample{});
  ChorusMixActive = Chorus->Active;
  ReverbMixActive = Reverb->Active;

  for (auto& channel : Channels) channel->FillBuffer(Buffer, chorusBuffer, reverbBuffer, Samples);

  // Every voice's Thread is null here: only a threaded sub-block sets it, for
  // the voices it lists, and clears it again before it returns.
  const size_t voiceCount = static_cast<size_t>(NumberOfVoices);
  bool threaded = false;
  if (!WorkerThreads.empty()) {
    // One pass over the pool: with thousands of voices, most of them idle,
    // every extra pass is thousands of cache misses while the render threads
    // sleep. Ended voices with a click residue render it in their place as well.
    int32_t count = 0, listed = 0;
    TVoice** list = ActiveThreadVoices.get();
    for (size_t i = 0; i < voiceCount; i++) {
      TVoice* voice = Voices[i];
      if (!voice->Active && !voice->HasClickResidue()) continue;
      count += voice->Active ? 1 : 0;
      list[listed++] = voice;
    }
    // Last to first, so that the countdown hands out the voices in pool
    // order and they can be merged in the order the calling thread adds them.
    std::reverse(list, list + listed);
    ActiveThreadVoicesRemain.store(listed);
    threaded = ThreadVoiceCountThreshold >= 1 && count >= ThreadVoiceCountThreshold;
  }
  if (threaded) {
    RenderVoicesThreaded(Buffer, Samples);
  } else if (GroupVoices) {
    VoiceGroup->Render(Voices.get(), voiceCount, VoiceBuffers.get(), Buffer, chorusBuffer, reverbBuffer, Samples);
  } else {
    for (size_t i = 0; i < voiceCount; i++) {
      TVoice& voice = *Voices[i];
      if (!voice.Active && !voice.HasClickResidue()) continue;
      voice.VoiceBuffers = VoiceBuffers.get();
      voice.FillBuffer(Buffer, chorusBuffer, reverbBuffer, Samples);
    }
  }

  if (Chorus->Active) Chorus->Process(chorusBuffer, Buffer, reverbBuffer, Samples);
  if (Reverb->Active) Reverb->Process(reverbBuffer, Buffer, Samples);

  const float amplify = static_cast<float>(Amplify);
  if (amplify != 1.0f) AmplifyBuffer(Buffer, Samples, amplify);

  if (DoAGC) ApplyAutomaticGainControl(Buffer, Samples, AGCFactor, AGCAttackFactor, AGCReleaseFactor);
}

void TSynth::RenderVoicesThreaded(TBufferSample* Buffer, int32_t Samples) {
  WorkerThreadBuffer = Buffer;
  WorkerThreadSamples = Samples;
  const int32_t count = ActiveThreadVoicesRemain.load();
  {
    std::lock_guard<TSlimReaderWriterLock> guard(WorkerThreadBufferLock);
    std::fill_n(ThreadMergeSlots.get(), count, nullptr);
    ThreadMergeNext = count - 1;
  }
  const size_t threads = WorkerThreads.size();
  WorkerThreadDoneInvertedSemaphore.Acquire(static_cast<int32_t>(threads));
  for (TSynthThread* thread : WorkerThreads) thread->Wake();
  // The pool usually finishes within microseconds of the last voice: look
  // briefly before sleeping on the semaphore, where a processor is spare.
  if (WorkerThreadsSpin) {
    SpinUntil(
        [this, threads] {
          for (size_t i = 0; i < threads; i++) {
            if (!WorkerThreads[i]->Idle()) return false;
          }
          return true;
        },
        TSynthThread::CallerSpinNs);
  }
  if (!WorkerThreadDoneInvertedSemaphore.Wait(ThreadWaitTimeoutMs)) throw EKelvaneThreadTimeout();
}

void TSynth::ProcessThread(int32_t ThreadIndex) {
  TSynthThread& thread = *WorkerThreads[static_cast<size_t>(ThreadIndex)];
  const int32_t samples = WorkerThreadSamples;
  thread.Stats.Blocks++;
  thread.LayOutSlots(samples, ChorusMixActive, ReverbMixActive);
  // Each voice of a run into its own slot, the slot made current while the
  // voice renders, so that a residue it hands over waits there too.
  struct TRun {
    TSynthThread* Thread;
    TSynthThreadSlot* Slots[TSynthThread::MaxRun];
  } run{&thread, {}};
  TVoiceGroup::TTargets targets;
  targets.Context = &run;
  targets.Code = [](void* Context, size_t Index, TVoiceLane& Lane) {
    TRun& r = *static_cast<TRun*>(Context);
    TSynthThreadSlot& slot = *r.Slots[Index];
    r.Thread->CurrentSlot = &slot;
    Lane.Dry = slot.Buffer;
    Lane.Chorus = slot.ChorusBuffer;
    Lane.Reverb = slot.ReverbBuffer;
  };
  // Voices outlive the pool: point them back at the calling thread's scratch.
  auto release = [this](TVoice* const* voices, int32_t count) {
    for (int32_t k = 0; k < count; k++) {
      voices[k]->Thread = nullptr;
      voices[k]->VoiceBuffers = VoiceBuffers.get();
    }
  };
  for (;;) {
    // Consecutive voices in a run of one voice group: the thread that
    // rendered the voices before usually merges the next ones too, so the
    // mixes stay in one core's cache for the run instead of moving at
    // every voice.
    int32_t remain = ActiveThreadVoicesRemain.load(std::memory_order_relaxed);
    int32_t count = 0;
    do {
      if (remain <= 0) break;
      count = std::min(remain, TSynthThread::MaxRun);
    } while (!ActiveThreadVoicesRemain.compare_exchange_weak(remain, remain - count));
    if (remain <= 0) break;
    // Claimed first, slots after: every busy slot of this thread holds a
    // voice before the run, so it goes free without the run.
    thread.AcquireSlots(run.Slots, count);
    // Pool order: the list runs last to first.
    TVoice* voices[TSynthThread::MaxRun];
    for (int32_t k = 0; k < count; k++) {
      TVoice& voice = *ActiveThreadVoices[static_cast<size_t>(remain - 1 - k)];
      voices[k] = &voice;
      run.Slots[k]->Channel = voice.Channel;
      voice.Thread = &thread;
    }
    try {
      thread.VoiceGroup->Render(voices, static_cast<size_t>(count), &thread.VoiceBuffers, targets, samples);
    } catch (...) {
      // Hand over the run's slots all the same, or the voices after them
      // would never merge.
      thread.CurrentSlot = nullptr;
      release(voices, count);
      MergeThreadSlots(remain - 1, run.Slots, count);
      throw;
    }
    thread.CurrentSlot = nullptr;
    release(voices, count);
    thread.Stats.Voices += static_cast<uint64_t>(count);
    thread.Stats.Merged += static_cast<uint64_t>(MergeThreadSlots(remain - 1, run.Slots, count));
  }
}

int32_t TSynth::MergeThreadSlots(int32_t First, TSynthThreadSlot* const* Slots, int32_t Count) {
  // Publish the slots, then merge only if no other thread is merging: the
  // one that is picks them up (it looks again after its Release), so no
  // thread ever waits for another's merge.
  for (int32_t k = 0; k < Count; k++) {
    std::atomic_ref<TSynthThreadSlot*>(ThreadMergeSlots[static_cast<size_t>(First - k)]).store(Slots[k]);
  }
  std::atomic_ref<int32_t> next(ThreadMergeNext);
  auto nextReady = [this, &next] {
    const int32_t i = next.load();
    return i >= 0 && std::atomic_ref<TSynthThreadSlot*>(ThreadMergeSlots[static_cast<size_t>(i)]).load() != nullptr;
  };
  const int32_t samples = WorkerThreadSamples;
  TBufferSample* chorusBuffer = ChorusBuffer->data();
  TBufferSample* reverbBuffer = ReverbBuffer->data();
  int32_t merged = 0;
  while (nextReady() && WorkerThreadBufferLock.TryAcquire()) {
    for (int32_t i = next.load(std::memory_order_relaxed); i >= 0; i--) {
      std::atomic_ref<TSynthThreadSlot*> entry(ThreadMergeSlots[static_cast<size_t>(i)]);
      TSynthThreadSlot* ready = entry.load(std::memory_order_acquire);
      if (ready == nullptr) break;
      entry.store(nullptr, std::memory_order_relaxed);
      next.store(i - 1);  // seen by publishers after the Release below
      TSynthThread::MergeMix(ready->Buffer, WorkerThreadBuffer, samples);
      if (ChorusMixActive) TSynthThread::MergeMix(ready->ChorusBuffer, chorusBuffer, samples);
      if (ReverbMixActive) TSynthThread::MergeMix(ready->ReverbBuffer, reverbBuffer, samples);
      if (ready->Channel != nullptr) {
        TChannel& channel = *ready->Channel;
        channel.Last.Left += ready->Last.Left;
        channel.Last.Right += ready->Last.Right;
        channel.ChorusLast.Left += ready->ChorusLast.Left;
        channel.ChorusLast.Right += ready->ChorusLast.Right;
        channel.ReverbLast.Left += ready->ReverbLast.Left;
        channel.ReverbLast.Right += ready->ReverbLast.Right;
      }
      ready->Owner->ReleaseSlot(*ready);
      merged++;
    }
    WorkerThreadBufferLock.Release();
  }
  return merged;
}

void TSynth::SetSampleRate(int32_t Rate) {
  // A zero (or meaningless negative) rate means the default.
  SampleRate = Rate > 0 ? Rate : DefaultSampleRate;
  const double rate = SampleRate;
  ClickRemovalFactor = std::pow(0.001, 1.0 / (rate * 0.01950138117913832));
  Chorus->Update();
  Reverb->Update();
  AGCAttackFactor = static_cast<float>(std::pow(0.001, 1.0 / (rate * 0.015)));
  AGCReleaseFactor = static_cast<float>(std::pow(1000.0, 1.0 / rate));
}

void TSynth::FreeVoices() {
  for (int32_t i = 0; i < NumberOfVoices; i++) {
    TVoice*& voice = Voices[static_cast<size_t>(i)];
    if (voice == nullptr) continue;
    voice->Active = false;
    delete voice;
    voice = nullptr;
  }
}

void TSynth::SetNumberOfVoices(int32_t Count) {
  FreeVoices();
  NumberOfVoices = ClipInt(Count, 1, MaxVoices);
  for (int32_t i = 0; i < NumberOfVoices; i++) {
    TVoice* voice = new TVoice(*this, i + 1);
    Voices[static_cast<size_t>(i)] = voice;
    voice->UpdateResamplingProc();
    voice->Reset();
  }
}

void TSynth::SetNumberOfThreads(int32_t Count) {
  LastNumberOfWorkerThreads = Count;
  const int32_t processors = AvailableProcessorCount();
  int32_t wanted = Count < 0 ? processors : Count;
  wanted = ClipInt(wanted, 0, MaxWorkerThreads);
  if (wanted == 1) wanted = 0;  // one render thread alone is not used
  if (static_cast<size_t>(wanted) == WorkerThreads.size()) return;

  // Exclusive: no block renders while the pool changes.
  TWriteLockGuard lock(MultithreadingLock);
  StopWorkerThreads();
  WorkerThreadsSpin = processors > wanted;
  if (wanted > 0 && processors >= 1) {
    WorkerThreads.reserve(static_cast<size_t>(wanted));
    for (int32_t i = 0; i < wanted; i++) {
      // Counted before the thread starts, so its Release cannot come first.
      WorkerThreadReadyInvertedSemaphore.Acquire(1);
      try {
        WorkerThreads.push_back(new TSynthThread(*this, i));
      } catch (...) {
        WorkerThreadReadyInvertedSemaphore.Release();
        throw;
      }
    }
    if (!WorkerThreadReadyInvertedSemaphore.Wait(ThreadWaitTimeoutMs)) throw EKelvaneThreadTimeout();
  }
}

void TSynth::StopWorkerThreads() {
  if (WorkerThreads.empty()) return;
  // A thread must be inside its loop before a wake-up can reach it.
  if (!WorkerThreadReadyInvertedSemaphore.Wait(ThreadWaitTimeoutMs)) throw EKelvaneThreadTimeout();
  while (!WorkerThreads.empty()) {
    TSynthThread* thread = WorkerThreads.back();
    WorkerThreads.pop_back();
    thread->Terminate();
    thread->WakeUpEvent.SetEvent();
    thread->WaitFor();
    delete thread;
  }
}

void TSynth::SetThreadVoiceCountThreshold(int32_t Value) { ThreadVoiceCountThreshold = Value; }

void TSynth::SetResamplingMethod(int32_t Method, int32_t InterpolationMode) {
  ResamplingInterpolationMode = InterpolationMode;
  if (Method == ResamplingMethod || Method < 0 || Method > rmLastMethod) return;
  {
    // No block renders while the shared tables change.
    TOptionalWriteLock lock(ResamplingTablesLock);
    FreeResamplingTables();
    try {
      ApplyResamplingMethod(Method);
      AcquireResamplingTables(Method);
    } catch (...) {
      // Out of memory for the tables: fall back to nearest, which needs none,
      // so no voice keeps a resampler whose tables are gone.
      ApplyResamplingMethod(rmNearest);
      for (int32_t i = 0; i < NumberOfVoices; i++) Voices[static_cast<size_t>(i)]->UpdateResamplingProc();
      throw;
    }
    HasResamplingTables = true;
  }
  // Loop windows follow the kernel's reach, so voices never grow them.
  for (TSample* sample : Samples) FitSampleWorkData(*sample, ResamplingPoints);
  for (int32_t i = 0; i < NumberOfVoices; i++) Voices[static_cast<size_t>(i)]->UpdateResamplingProc();
}

void TSynth::ApplyResamplingMethod(int32_t Method) {
  const TResamplingMethodInfo info = ResamplingMethodInfo(Method);
  ResamplingMethod = Method;
  ResamplingPoints = info.Points;
  FastSINCActive = info.FastSINCActive;
  ResamplingFracLen = info.FracLen;
  ResamplingFracMask = info.FracLen != 0 ? info.FracLen - 1 : 0;
  ResamplingFracFactor = info.FracLen != 0 ? 1.0 / static_cast<double>(info.FracLen) : 0.0;
  ResamplingLoopStartOffset = info.LoopStartOffset;
  ResamplingLoopEndOffset = info.LoopEndOffset;
}

void TSynth::FreeResamplingTables() {
  if (!HasResamplingTables) return;
  ReleaseResamplingTables(ResamplingMethod);
  HasResamplingTables = false;
}

void TSynth::GlobalParameterControlChange(std::span<const int32_t> SlotPath, std::span<const int32_t> Parameters,
                                          std::span<const int32_t> Values) {
  if (SlotPath.empty()) return;
  // Each parameter number pairs with the value at the same index; a number
  // without a value is dropped. The effect checks the rest of the slot path.
  const size_t count = std::min(Parameters.size(), Values.size());
  switch (SlotPath[0]) {
    case TReverb::GlobalParameterSlot:
      for (size_t i = 0; i < count; i++) Reverb->GlobalParameterControlChange(SlotPath, Parameters[i], Values[i]);
      break;
    case TChorus::GlobalParameterSlot:
      for (size_t i = 0; i < count; i++) Chorus->GlobalParameterControlChange(SlotPath, Parameters[i], Values[i]);
      break;
    default:
      break;  // other GM2 slots are not supported
  }
}

void TSynth::KillByExclusiveClass(TVoice* Voice) {
  if (Voice == nullptr) return;
  const int32_t exclusiveClass = static_cast<int32_t>(Voice->GetGen(gen::exclusiveClass));
  if (exclusiveClass == 0) return;
  for (int32_t i = 0; i < NumberOfVoices; i++) {
    TVoice* other = Voices[static_cast<size_t>(i)];
    if (other == Voice || !other->Active || other->Channel != Voice->Channel || other->NoteID == Voice->NoteID) {
      continue;
    }
    if (static_cast<int32_t>(other->GetGen(gen::exclusiveClass)) == exclusiveClass) other->KillExclusive();
  }
}

uintptr_t TSynth::AllocateEventNoteID() {
  const uintptr_t id = EventNoteIDCounter;
  EventNoteIDCounter = (id == ~uintptr_t{0}) ? 1 : id + 1;
  return id;
}

void TSynth::FreeEventNoteID(uintptr_t) {}

int32_t TSynth::GetNoteFromEventNoteID(uintptr_t ID) const {
  if (ID == 0) return -1;
  for (int32_t i = 0; i < NumberOfVoices; i++) {
    const TVoice& voice = *Voices[static_cast<size_t>(i)];
    if (voice.Active && voice.EventNoteID == ID) return voice.Note;
  }
  return -1;
}

}  // namespace kelvane
