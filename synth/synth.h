#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <iosfwd>
#include <memory>
#include <span>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/preset_lookup.h"
#include "banks/sample.h"
#include "sync/inverted_semaphore.h"
#include "sync/multiple_reader_single_writer_lock.h"
#include "sync/slim_reader_writer_lock.h"
#include "synth/buffer_sample.h"
#include "synth/generators.h"
#include "synth/midi_event.h"
#include "synth/synth_class.h"
#include "synth/tuning_table.h"

namespace kelvane {

class TSynth;
class TVoice;
class TChannel;
class TChorus;
class TReverb;
class TSynthThread;
struct TSynthThreadSlot;
struct TVoiceBuffers;
class TVoiceGroup;
class TStream;
class TDefaultBankPlaces;

// Bound callbacks: a plain code pointer plus its context, so calling one never
// allocates.
struct TSynthOnReleaseVoice {
  void (*Code)(void* Context, TSynth& Synth, TVoice& Voice) = nullptr;
  void* Context = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  void operator()(TSynth& Synth, TVoice& Voice) const { Code(Context, Synth, Voice); }
};

struct TSynthOnException {
  void (*Code)(void* Context, TSynth& Synth, const std::exception& Error) = nullptr;
  void* Context = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  void operator()(TSynth& Synth, const std::exception& Error) const { Code(Context, Synth, Error); }
};

inline constexpr int32_t MaxVoices = 8192;
inline constexpr int32_t DefaultSampleRate = 44100;

// Banks, samples and layers that no synthesizer owns, between
// TSynth::ReleaseSoundBanks and TSynth::AdoptSoundBanks; their Synth pointers
// are null meanwhile. Members in TSynth's order, so that layers go before
// samples and samples before the banks they load from.
struct TSoundBankSet {
  TAttachedSoundFontList AttachedSoundFonts;
  TSFSoundBankInfo SoundBankInfo;
  TSampleList Samples;
  std::unique_ptr<TPresetLayer> RootPresetLayer;  // null when the set is empty

  bool Empty() const { return !RootPresetLayer; }
  void Clear() {
    RootPresetLayer.reset();
    Samples.Clear();
    AttachedSoundFonts.Clear();
    SoundBankInfo = TSFSoundBankInfo{};
  }
};

// The synthesizer: 16 MIDI channels, a voice pool, chorus and reverb, and a
// frame-stamped event queue rendered block by block. All calls except
// FillBuffer's internals are made under the owner's lock; FillBuffer runs on
// the host's audio thread.
class TSynth : public TSynthClass {
 public:
  TSynth();
  ~TSynth() override;
  TSynth(const TSynth&) = delete;
  TSynth& operator=(const TSynth&) = delete;

  void InitTuningTables();
  // Stores the tuning table a queued tuning message will write, so that
  // processing it on the render thread allocates nothing.
  void ReserveTuningTable(const TMIDIEvent& Event);
  void Clear();
  void Reset();

  void ClearEvents();
  // Queues a copy of Event; a SysEx payload (allocated with new[]) now belongs to the synth.
  void AddEvent(const TMIDIEvent& Event);

  // Renders Samples interleaved stereo frames into Output, overwriting it.
  void FillBuffer(TBufferSample* Output, int32_t Samples);
  // Dispatches one event now.
  void ProcessEvent(const TMIDIEvent& Event);
  // Universal system-exclusive messages (payload without the leading 0xF0);
  // everything else is ignored. Rendering thread, between sub-blocks.
  void ProcessEventSysEx(const TMIDIEvent& Event);

  void SetSampleRate(int32_t Rate);
  void SetNumberOfVoices(int32_t Count);
  // -1 = one per logical processor, 0 = none.
  void SetNumberOfThreads(int32_t Count);
  void SetThreadVoiceCountThreshold(int32_t Value);
  // The work of pool thread ThreadIndex in one threaded sub-block; on that thread.
  virtual void ProcessThread(int32_t ThreadIndex);
  void SetResamplingMethod(int32_t Method, int32_t InterpolationMode);

  void GlobalParameterControlChange(std::span<const int32_t> SlotPath, std::span<const int32_t> Parameters,
                                    std::span<const int32_t> Values);

  // Queues a Standard MIDI File or the song of an RMID container, from the
  // stream's position, at the current sample rate, then resets the synth.
  // True when at least one track was read.
  bool ReadMIDI(TStream& Stream);
  // Position of the last queued event in 1/ValueUnit seconds (1000 = ms).
  int64_t Duration(int64_t ValueUnit) const;
  // Rewinds and dispatches every event before ToPosition (1/ValueUnit seconds)
  // without rendering; voices keep sounding from their start.
  void Seek(int64_t ToPosition, int64_t ValueUnit);

  // Attaches the first existing bank of the default places; true when it was a bank.
  bool LoadDefaultSoundFont(bool DelayLoadSamples);
  bool LoadDefaultSoundFont(bool DelayLoadSamples, TDefaultBankPlaces& Places);

  // Reads a bank file (SFX, then DLS, then SF2) and adds its samples and
  // layers; takes the stream in every case. Null when the stream is no bank of
  // a known format or is truncated (a truncated SF2 leaves an empty bank
  // entry attached; a failed SFX read leaves nothing).
  // With DelayLoadSamples the bank keeps the stream and loads nothing now;
  // otherwise every sample is loaded and the stream released. Recaches.
  TAttachedSoundFont* AttachSoundFont(TStreamPtr Stream, bool DelayLoadSamples);
  // Reads an extended (SFX) bank. Null on any failure, and then nothing the
  // read created stays and the synthesizer's settings are unchanged. Without
  // InAttach the stream is taken in every case; with it, the stream stays
  // with the caller unless the new bank keeps it for delayed loading.
  TAttachedSoundFont* LoadSoundFontExtended(TStreamPtr& Stream, bool DelayLoadSamples, bool InAttach);
  // Writes every sample (loading those not in memory) and the whole layer
  // tree as one SFX bank; false on any failure.
  bool SaveSoundFontExtended(std::ostream& Stream);
  // Removes one bank (with its samples and layers when aWithData). The caller
  // runs Recache before the next note.
  void DetachSoundFont(TAttachedSoundFont* aAttachedSoundFont, bool aWithData);
  // Removes every bank; without data the samples and layers stay, still
  // pointing at the freed banks, until Clear.
  void DetachSoundFonts(bool aWithData);

  // Rebuilds the polyphony cache, the lookup table and the layers' Active
  // flags; after every change of the tree or of a bank's enable flags.
  void Recache();
  // (bank, program, leaf) triples inside the inclusive ranges; only the leaves
  // of aSoundFont unless it is null.
  TPresetInfos GetPresetInfos(TAttachedSoundFont* aSoundFont, int32_t aBankLo, int32_t aBankHi, int32_t aPrgLo,
                              int32_t aPrgHi);
  // Loads the samples of enabled presets and unloads the rest, killing the
  // voices that play them. After Recache.
  void LoadUnloadSamples();
  void LoadAllSamples();
  // Loads the samples that the queued events will play; unloads nothing.
  void LoadNeededSamples();
  // Leaves loaded exactly the samples LoadNeededSamples would load into a
  // fresh synthesizer: the others that a bank can load again go, and those
  // already in memory are taken over rather than read again.
  void KeepNeededSamples();
  // Moves every bank, sample and layer out into Into, whose own go: the
  // synthesizer is left as Clear leaves its banks, with its voices killed.
  // Settings that an SFX bank carried stay behind.
  void ReleaseSoundBanks(TSoundBankSet& Into);
  // Takes the banks, samples and layers of From (left empty) in place of its
  // own, as if they had been attached here, and recaches.
  void AdoptSoundBanks(TSoundBankSet& From);

  // Releases fast the other active voices of Voice's channel that share its
  // exclusive class and belong to another note.
  void KillByExclusiveClass(TVoice* Voice);

  uintptr_t AllocateEventNoteID();
  void FreeEventNoteID(uintptr_t ID);
  // Note of the first active voice carrying ID; -1 when none (or ID is 0).
  int32_t GetNoteFromEventNoteID(uintptr_t ID) const;

  // Held shared while a block renders, exclusive while the render-thread pool changes.
  TMultipleReaderSingleWriterLock MultithreadingLock;

  // Event queue, time-ordered; EventNextFree links recycled records through Next.
  TMIDIEvent* EventFirst = nullptr;
  TMIDIEvent* EventLast = nullptr;
  TMIDIEvent* EventNextFree = nullptr;
  int64_t SamplesRemainToNextMIDIEvent = 0;  // frames until CurrentEvent
  bool FirstMIDIEvent = true;

  // Resampling state.
  std::array<const void*, 6> SampleIndexLoopTables{};
  bool FastSINCActive = false;
  bool HasResamplingTables = false;
  int32_t ResamplingMethod = -1;
  int32_t ResamplingInterpolationMode = 0;
  int32_t ResamplingPoints = 0;
  int64_t ResamplingFracLen = 0;
  int64_t ResamplingFracMask = 0;
  double ResamplingFracFactor = 0.0;
  int32_t ResamplingLoopStartOffset = 0;  // frames
  int32_t ResamplingLoopEndOffset = 0;    // frames

  // Render-thread pool.
  TInvertedSemaphore WorkerThreadReadyInvertedSemaphore{0, 2147483647};
  TInvertedSemaphore WorkerThreadDoneInvertedSemaphore{0, 2147483647};
  std::vector<TSynthThread*> WorkerThreads;
  TBufferSample* WorkerThreadBuffer = nullptr;  // dry mix of the sub-block being rendered
  TSlimReaderWriterLock WorkerThreadBufferLock;
  int32_t WorkerThreadSamples = 0;
  // Rendered voices waiting to be merged, by ActiveThreadVoices index, and the
  // index merged next (counting down); both under WorkerThreadBufferLock.
  std::unique_ptr<TSynthThreadSlot*[]> ThreadMergeSlots;  // MaxVoices + 1 slots
  int32_t ThreadMergeNext = -1;
  // The processors outnumber the pool: the calling thread may spin while the
  // pool renders, as it holds no processor a pool thread needs.
  bool WorkerThreadsSpin = false;

  int32_t ModulationSamples = 32;  // frames between two modulation updates of a voice
  double InvModulationSamples = 1.0 / 32.0;

  std::unique_ptr<TVoiceBuffers> VoiceBuffers;  // scratch for voices on the calling thread
  std::unique_ptr<TVoiceGroup> VoiceGroup;      // renders the calling thread's voices four at a time
  bool GroupVoices = true;  // false: voice after voice (the reference the grouped output equals)

  int64_t CurrentPosition = 0;  // frames rendered since the last Reset
  TMIDIEvent* CurrentEvent = nullptr;

  std::unique_ptr<TTuningTables> TuningTables;  // [bank][program][key], semitones; stored when written
  std::atomic<bool> TuningTablesChanged{true};

  // Sound-bank data. Declared so that layers go before samples and samples
  // before the banks they load from.
  TAttachedSoundFontList AttachedSoundFonts;  // owning, in attach order
  TSFSoundBankInfo SoundBankInfo;             // copy of the last attached bank's
  TSampleList Samples;                        // owning; a sample's Index is its position
  std::unique_ptr<TPresetLayer> RootPresetLayer;  // "Root"
  TPresetLayers PresetLayers;                     // chain heads by bank * 128 + program

  std::unique_ptr<TVoice*[]> Voices;              // MaxVoices slots, NumberOfVoices in use
  // Active voices of a threaded sub-block, the first in pool order last: the
  // countdown hands them out in pool order.
  std::unique_ptr<TVoice*[]> ActiveThreadVoices;  // MaxVoices + 1 slots
  std::atomic<int32_t> ActiveThreadVoicesRemain{0};

  std::array<std::unique_ptr<TChannel>, 16> Channels;

  std::unique_ptr<TChorus> Chorus;
  std::unique_ptr<TReverb> Reverb;

  std::unique_ptr<TBlockSamples> ChorusBuffer;  // send buffers of the current sub-block
  // Whether voices feed the send buffers in the current sub-block: only while
  // the effect behind them runs.
  bool ChorusMixActive = true;
  bool ReverbMixActive = true;
  std::unique_ptr<TBlockSamples> ReverbBuffer;

  double Amplify = 1.0;  // linear gain after the effects
  int32_t GeneralMIDIMode = 0;  // 0 SF2, 1 GM1, 2 GM2
  int32_t VoiceAllocationAlgorithm = 0;

  bool DoHandleLinkedSamples = true;
  bool DoAGC = false;
  bool ResampleLoopWrapping = true;

  float AGCFactor = 1.0f;
  float AGCAttackFactor = 1.0f;   // per frame while over full scale
  float AGCReleaseFactor = 1.0f;  // per frame otherwise

  int64_t NoteID = 0;
  int64_t VoiceID = 0;

  int32_t SampleRate = DefaultSampleRate;  // frames per second
  double ClickRemovalFactor = 1.0;         // per-frame decay of click residues

  void* UserData = nullptr;
  TEventHook EventHook = nullptr;  // called on the audio thread just before each event

  int32_t NumberOfVoices = 0;

  double MasterVolume = 1.0;        // linear
  double MasterBalance = 0.5;       // 0..1, 0.5 = centre
  double MasterCoarseTuning = 0.0;  // semitones
  double MasterFineTuning = 0.0;    // cents

  bool EMU10K1Mode = true;
  bool ModulateVelocityToFilterCutOff = true;
  bool IgnoreSampleLinks = false;

  TGenValues GenGlobalOverrideValues;  // GenNoOverride = no override

  int32_t ThreadVoiceCountThreshold = 0;  // < 1 disables threaded rendering
  int32_t LastNumberOfWorkerThreads = -1;

  int32_t OmniChannel = -1;  // -1 = all channels, 0..15 = only that channel

  TSynthOnReleaseVoice OnReleaseVoice;
  TSynthOnException OnException;

  std::atomic<bool> StopProcessing{false};  // set once after a render-thread failure

  uintptr_t EventNoteIDCounter = 1;

 protected:
  // Makes every active voice follow a real-time tuning change at once.
  virtual void RetuneSoundingNotes();
  // Renders one sub-block of at most MaxBlockSamples frames, adding into Buffer.
  virtual void FillBufferPart(TBufferSample* Buffer, int32_t Samples);

 private:
  void EventInsert(TMIDIEvent* Event);
  void FreeEventRecord(TMIDIEvent* Event);
  void FreeVoices();
  // Frees samples, banks and the tree; a new empty root, an empty lookup table.
  void ClearSoundBanks();
  void RenderVoicesThreaded(TBufferSample* Buffer, int32_t Samples);
  // Hands over the slots of ActiveThreadVoices[First], [First - 1], ... (Count
  // of them) and merges, in order, every slot whose predecessors are merged.
  // Render threads; returns the voices merged.
  int32_t MergeThreadSlots(int32_t First, TSynthThreadSlot* const* Slots, int32_t Count);
  void StopWorkerThreads();
  void FreeResamplingTables();
  // Sets the resampling fields from a method code's row of the method table.
  void ApplyResamplingMethod(int32_t Method);
  bool ReadMIDIContainer(TStream& Stream, bool AcceptRMID);
};

}  // namespace kelvane
