#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <vector>

#include "banks/sample.h"
#include "synth/buffer_sample.h"
#include "synth/controllers.h"
#include "synth/generators.h"
#include "synth/math_helpers.h"
#include "synth/resampler.h"
#include "synth/synth_class.h"
#include "synth/voice_filter.h"

namespace kelvane {

class TSynth;
class TChannel;
class TSynthThread;
class TVoiceEnvelope;
class TPresetLayer;
class TPresetLayerModulator;
struct TPresetLayerCrossFade;
struct TVoiceBuffers;
struct TVoiceLane;

// A resampler routine (see TResampleProc).
using TVoiceResamplingProc = TResampleProc;

// Link sums per modulator index.
using TPresetLayerModulatorSourceValues = std::vector<double>;
// Capacity of every voice's ModulatorSourceValues from its creation.
inline constexpr size_t ModulatorSourceValuesReserve = 32;

// LFO wave shape w (0 triangle, 1 sine, 2 square, 3 saw up, 4 saw down) at
// phase x, -1..1; 0 for other shapes.
double LFOValue(int32_t WaveType, double Phase);

// One sounding note: one sample of one leaf layer through three envelopes,
// three LFOs, three filters, a stereo amplifier and two effect sends.
// KeyOn, KeyOff, Kill, KillExclusive, UpdateParameter and the modulation calls
// run on the event thread between render passes; FillBuffer (with Update and
// GetSampleLength) on the calling thread or a render thread.
class TVoice : public TSynthClass {
 public:
  TVoice(TSynth& OwnerSynth, int32_t Number);
  ~TVoice() override;
  TVoice(const TVoice&) = delete;
  TVoice& operator=(const TVoice&) = delete;

  // Follows the synthesizer's resampling method.
  void UpdateResamplingProc();
  // Starts the voice with a leaf layer and its sample (loaded now if needed).
  void KeyOn(TChannel* AChannel, int32_t ANote, int32_t AVelocity, TPresetLayer* APresetLayer, TSample* ASample);
  // Note-off; the hold pedal and sostenuto defer it.
  void KeyOff(int32_t AKeyOffVelocity);
  // Pedal follow-up at the start of every rendered block.
  void Update();
  // Silences the voice at once; its last frame lives on as a channel residue.
  void Kill();
  // Fast release for the exclusive-class rule.
  void KillExclusive();
  // Returns the voice to idle; Channel, Note, Key and Velocity keep their values.
  void Reset();
  // Empty hook.
  void Recalculate() {}
  // Applies all generators after key-on.
  void InitParameters();
  // Re-derives the voice state that depends on generator Gen.
  void UpdateParameter(int32_t Gen);
  // Key pitch in absolute cents into GenWorkValues[-1].
  void UpdatePitch();
  // Pitch in cents of an integer key from the channel's tuning; 6000 without
  // a channel or outside 0..127.
  double GetTuningPitch(int32_t AKey) const;
  // As GetTuningPitch for a fractional key, interpolating between keys.
  double GetTuningPitchFine(double AKey) const;
  // Key-scaled hold or decay time in output samples.
  int32_t CalculateHoldDelayCount(int32_t GenBase, int32_t GenKeyToBase, bool IsDecay);
  // Lowest attenuation reachable through controller modulators (key-on).
  void CalculateLowestBoundaryForAttenuation();
  // Output samples the next resampler call may produce without crossing a
  // loop boundary, wrapping the position first; 0 ends the voice.
  int32_t GetSampleLength(int32_t Samples);
  // GetSampleLength's general case, wrapping included.
  int32_t GetSampleLengthWrapping(int32_t Samples);
  // Loop type and range of this block from generator 54 and the offsets.
  void UpdateLoopRange();

  // Effective value of generator Gen: base * Scale + modulators + channel NRPN.
  double GetGen(int32_t Gen, double Scale = 1.0) const;
  void SetGen(int32_t Gen, double Value);
  double GetModulatorSrcValue(int32_t ModulatorIndex, int32_t Src, int32_t Flags, bool IsAmountSource) const;
  // Current output of one modulator in its destination's unit.
  double GetModulatorValue(const TPresetLayerModulator& AModulator) const;
  // Recomputes every modulator contribution and applies every generator.
  void ModulateAll();
  // Recomputes the generators fed by source ASrc (a controller number when
  // AController is true, else a general source number). Outputs that reach a
  // generator only through a link wait for the next ModulateAll.
  void Modulate(bool AController, int32_t ASrc);

  // Adds the voice's output of Samples (<= 4096) frames into the three buffers.
  void FillBuffer(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer, int32_t Samples);
  // FillBuffer in two passes for TVoiceGroup. RenderChunks resamples the
  // block into Lane (with a lane; without one it is FillBuffer's loop) and
  // advances the filter ramps; the group then filters the lane, works out
  // its gain ramps and mixes it into the lane's targets, and MixLaneResidue
  // lets the click residue of the ended voice decay over frames From..To
  // (a send to an effect that is off goes nowhere).
  void RenderChunks(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer, int32_t Samples,
                    TVoiceLane* Lane);
  // Decayed: the residue's frames From..To worked out already (Last with
  // them), of which the first Added are added.
  void MixLaneResidue(const TVoiceLane& Lane, int32_t From, int32_t To, const TBufferSample* Decayed = nullptr,
                      int32_t Added = 0);
  // Whether that residue goes to a send as well; when not, the group may let
  // it decay into Dry alone with DecayLaneResidue.
  bool LaneResidueSends(const TVoiceLane& Lane) const;
  void DecayLaneResidue(TBufferSample* Dry, int32_t Count);
  // Mono to stereo with the ramped gains.
  // Gain ramp and mixing of a run into the dry, chorus and reverb buffers; sets Last.
  void MixToTargets(const float* WorkMonoBuffer, int32_t SamplesToWork, TBufferSample* Buffer,
                    TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer);
  // Blends the stream past the loop end (A) into the loop start (B).
  void ProcessLoopCrossFade(const float* VoiceMonoBufferCrossFadeA, const float* VoiceMonoBufferCrossFadeB,
                            float* WorkMonoBuffer, int64_t ALoopCrossFadePos, int32_t SamplesToWork);
  // Weight 0..1 of one layer cross-fade record.
  static double CrossFadeValue(double Value, double FullScale, const TPresetLayerCrossFade& Record);
  // Resamples Samples frames from Position with the block's resampler.
  void Resample(float* Buffer, int32_t Samples, int64_t Increment, int64_t& APosition);
  // Filter coefficients for this modulation step; filtering in place.
  void RecalculateFilter(TFilter& AFilter);
  // The same, remembering the cutoff frequency of the previous step in CutoffMemo.
  void RecalculateFilter(TFilter& AFilter, TDoubleMemo& CutoffMemo);
  void ApplyFilterToBuffer(TFilter& AFilter, float* Buffer, int32_t Count);

  TVoiceResamplingProc ResamplingProc = ResampleNearest;       // the synthesizer's method
  TVoiceResamplingProc ResamplingProcToUse = ResampleNearest;  // the current block's choice
  int32_t SINCCutOffLevel = 0;  // fast-sinc cut-off table levels 0..63
  int32_t SINCCutOffNextLevel = 0;
  int32_t SINCCutOffCurrentLevel = 0;
  float SINCCutOffFrac = 0.0f;  // blend between the two levels
  const float* CurrentSampleData = nullptr;  // Data or WorkData of the sample, this block
  TSynth& Synth;
  int32_t Number;                  // 1-based position in the pool
  TSynthThread* Thread = nullptr;  // render thread of the current sub-block, null on the calling thread
  TChannel* Channel = nullptr;     // stays set after the voice ends
  int32_t ProgramNumber = 0;       // channel program at key-on
  uintptr_t EventNoteID = 0;       // 0 = none
  int64_t NoteID = 0;
  int64_t VoiceID = 0;
  std::unique_ptr<TVoiceEnvelope> VolEnvelope;
  std::unique_ptr<TVoiceEnvelope> ModEnvelope;
  std::unique_ptr<TVoiceEnvelope> Mod2Envelope;
  bool Active = false;
  int32_t LifeTime = 0;  // modulation steps since key-on
  double Phase = 0.0;
  double PhaseInc = 0.0;  // source frames per output frame
  double Pan = 0.0;       // 0.1 %: -500 left .. +500 right
  double AmpLeft = 0.0;   // pan gains
  double AmpRight = 0.0;
  double Attenuation = 0.0;  // centibels, 0..1440
  double Pitch = 0.0;        // absolute cents before LFO/envelope modulation
  double ReverbSend = 0.0;   // 0..1
  double AmpReverb = 0.0;    // modulated reverb send
  double ChorusSend = 0.0;
  double AmpChorus = 0.0;
  double RootKey = 0.0;    // semitones
  double RootPitch = 0.0;  // cents
  double RootPitchPhaseIncrementScale = 0.0;  // 1 / (root frequency * output rate / sample rate)
  TFilter Filter;
  TFilter Filter2;
  TFilter Filter3;
  double Amp = 0.0;
  double ModLFOToPitch = 0.0;  // cents
  double ModLFOToVol = 0.0;    // centibels
  int32_t ModLFODelay = 0;     // output samples
  double ModLFOPhase = 0.0;    // 0..1
  double ModLFOVal = 0.0;      // -1..1
  double ModLFOIncr = 0.0;     // cycles per modulation step
  int32_t VibLFODelay = 0;
  double VibLFOVal = 0.0;
  double VibLFOPhase = 0.0;
  double VibLFOIncr = 0.0;
  double VibLFOToPitch = 0.0;
  double Mod2LFOToVol = 0.0;
  double Mod2LFOToPitch = 0.0;
  double Mod2LFOToReverbSend = 0.0;
  double Mod2LFOToChorusSend = 0.0;
  int32_t Mod2LFODelay = 0;
  double Mod2LFOPhase = 0.0;
  double Mod2LFOVal = 0.0;
  double Mod2LFOIncr = 0.0;
  // Envelope and LFO depths: cents for pitch, centibels for volume and sends.
  double ModEnvToPitch = 0.0;
  double Mod2EnvToVol = 0.0;
  double Mod2EnvToPitch = 0.0;
  double Mod2EnvToReverbSend = 0.0;
  double Mod2EnvToChorusSend = 0.0;
  double ModEnvToVol = 0.0;
  double ModEnvToReverbSend = 0.0;
  double ModEnvToChorusSend = 0.0;
  double ModLFOToReverbSend = 0.0;
  double ModLFOToChorusSend = 0.0;
  int32_t VibLFOWaveType = 0;  // 0..4
  int32_t ModLFOWaveType = 0;
  int32_t Mod2LFOWaveType = 0;
  // LFOs with a depth that is not 0 to some destination. The modulation step
  // advances every phase but computes only these values: the others are
  // multiplied by zero wherever they are read.
  bool ModLFOUsed = false;
  bool VibLFOUsed = false;
  bool Mod2LFOUsed = false;
  // Wave type at the last step that left an LFO's value as it was, -1 when
  // the value is current; the value is caught up when a depth appears.
  int32_t ModLFOSkippedWave = -1;
  int32_t VibLFOSkippedWave = -1;
  int32_t Mod2LFOSkippedWave = -1;
  // With none of the three LFOs used, the modulation step leaves their
  // phases for later: it counts the steps it skipped, and CatchUpLFOs plays
  // them before anything reads or changes an LFO (the phases then are as if
  // every step had advanced them). Ticks at the first skipped step.
  int32_t LFOStepsPending = 0;
  int32_t LFOPendingTicks = 0;
  // Plays the skipped LFO steps.
  void CatchUpLFOs() {
    if (LFOStepsPending != 0) PlayPendingLFOSteps();
  }
  // Modulation envelopes with a depth that is not 0 to some destination:
  // without one every term they feed is a signed zero, which leaves every
  // output as it is, so the step does not compare their values.
  bool ModEnvUsed = false;
  bool Mod2EnvUsed = false;
  // The same for the three filters' cutoffs and resonances, by source.
  bool FilterModLFOUsed = false, FilterMod2LFOUsed = false, FilterModEnvUsed = false, FilterMod2EnvUsed = false;
  // Some LFO or envelope depth to the chorus or reverb send is not 0;
  // without one the modulated sends equal the plain ones.
  bool SendsModulated = false;
  int32_t LoopCrossFadeSamples = 0;
  int32_t LoopCrossFadeType = 0;  // 0 none, 1 linear, 2 equal power
  int64_t LoopCrossFadeMin = 0;   // 32.32
  int64_t LoopCrossFadeMax = 0;
  int64_t LoopCrossFadePos = 0;
  bool DoLoopCrossFade = false;
  bool FastSINCActive = false;
  int32_t ResamplingMethod = 0;  // this block: -1 none, 0 nearest, else the synthesizer's code
  double ActualPitchKey = 0.0;   // fractional during portamento
  int32_t Key = 0;               // key for pitch and key modulation
  int32_t Note = 0;              // MIDI note the voice answers to
  int32_t Velocity = 0;
  int32_t KeyOffVelocity = 0;
  int32_t KeyPressure = 0;
  bool Holding = false;       // held by the hold pedal
  bool Sostenutoing = false;  // held by the sostenuto pedal
  bool SawKeyOff = false;     // a note-off arrived
  bool IsKeyOff = false;      // the release has started
  TPresetLayer* PresetLayer = nullptr;  // not owned
  TSample* Sample = nullptr;            // not owned
  int32_t SampleStartBaseOffset = 0;    // frames, from the cue point
  int32_t SampleStartOffset = 0;        // frames
  int32_t SampleEnd = 0;
  int32_t SampleStartLoop = 0;
  int32_t SampleEndLoop = 0;
  TBufferSample Last{};  // last output frame, for click removal; after the end, the decaying residue
  bool HasClickResidue() const { return Last.Left != 0.0f || Last.Right != 0.0f; }
  double VolAbs = 0.0;   // envelope * attenuation * cross-fade gain of this step
  double EndVolLeft = 0.0;
  double EndVolRight = 0.0;
  double VolLeft = 0.0;
  double VolRight = 0.0;
  double VolIncLeft = 0.0;
  double VolIncRight = 0.0;
  int32_t VolRemain = 0;  // samples left in the gain ramp
  TVoiceBuffers* VoiceBuffers = nullptr;  // scratch of the rendering context
  int32_t Ticks = 0;        // output samples elapsed, in whole modulation steps
  int64_t Position = 0;     // sample frames, 32.32
  int64_t LoopCrossFadePosition = 0;  // read position of the cross-fade source, 32.32
  int32_t LoopCrossFadeRemainSamples = 0;
  int64_t PositionIncrement = 0;  // PhaseInc in 32.32
  bool Backwards = false;
  bool LoopEntered = false;
  bool LoopIndexLimitTouched = false;
  TGenValues GenValues;
  TGenWorkValues GenWorkValues;
  TGenWorkValues GenModValues;
  int32_t ModulationSamplesRemain = 0;
  double LowestBoundaryForAttenuation = 0.0;  // centibels
  bool UseLowestBoundaryForAttenuation = false;
  TLoopType LoopType = ltNONE;
  int32_t LoopStart = 0;
  int32_t LoopEnd = 0;
  int32_t LoopEndEx = 0;  // max(0, LoopEnd - 1)
  TControllers Controllers{};
  int32_t PortamentoTime = 0;  // modulation steps
  int32_t PortamentoPosition = 0;
  double PortamentoFromKey = 0.0;
  int32_t PortamentoToKey = 0;
  // Results of the modulation step's transcendental functions, by argument.
  TDoubleMemo AttenuationMemo;  // AttenuationGain(Attenuation)
  TDoubleMemo LowestBoundaryMemo;
  bool MemoEMU10K1Mode = false;  // the attenuation curve the two memos above hold
  TDoubleMemo VolumeMemo;     // 10^(-b/200)
  TDoubleMemo PitchMemo;      // 2^((cents - 6900) / 1200)
  std::array<TDoubleMemo, 3> FilterCutoffMemo;  // Hz of Filter, Filter2, Filter3
  // Bumped by every UpdateParameter and Reset: generator inputs of the
  // filters may have moved since the last modulation step.
  uint32_t ParameterGeneration = 0;
  // Modulation inputs of the last step's filter computations, as bits.
  struct TFilterStepInputs {
    uint64_t ModLFO = 0, Mod2LFO = 0, ModEnv = 0, Mod2Env = 0;
    int32_t Rate = 0;
    uint32_t Generation = 0;
    bool Valid = false;
    bool operator==(const TFilterStepInputs&) const = default;
  };
  TFilterStepInputs FilterStepInputs;
  // Inputs of the last modulation step, as bits, besides the voice's
  // parameters (which bump ParameterGeneration). Each output is computed
  // again only when one of its own inputs moved: all of them read the
  // modulation envelopes, the modulation LFOs and the parameters; the gains
  // also the volume envelope, its segment, the release, the synthesizer's
  // volume and balance and the layer cross-fades (never repeated); the pitch
  // also the vibrato LFO. The synthesizer's inputs are compared once per
  // block (they stay put during a FillBuffer call), and clear Valid.
  struct TStepInputs {
    uint64_t ModEnv = 0, Mod2Env = 0, ModLFO = 0, Mod2LFO = 0;
    uint32_t Generation = 0;
    bool Valid = false;  // the shared inputs above
    uint64_t VolEnv = 0;
    int32_t VolState = 0;
    bool KeyOff = false;
    bool GainValid = false;  // the gain inputs above
    uint64_t VibLFO = 0;
  };
  struct TSynthStepInputs {
    uint64_t MasterVolume = 0, MasterBalance = 0;
    int32_t Rate = 0;
    bool EMU = false;
    bool Valid = false;
    bool operator==(const TSynthStepInputs&) const = default;
  };
  TStepInputs StepInputs;
  TSynthStepInputs SynthStepInputs;
  // The last modulation step of this block found every input as at the step
  // before (the shared ones, the gains' and the vibrato's), with idle LFOs
  // and no portamento.
  bool StepRepeated = false;
  // Since the last step that computed the filters, a repeated step found
  // every filter off or steady without a coefficient ramp.
  bool FiltersSettled = false;
  // Inputs of the last resampling set-up within the current FillBuffer call
  // (which clears Valid; the synthesizer's settings stay put during a call):
  // the same inputs give the same increment, resampler and loop range.
  struct TSetUpInputs {
    uint64_t PhaseInc = 0;
    int32_t Method = 0;  // the voice's method before that set-up
    uint32_t Generation = 0;
    bool KeyOff = false;
    bool Valid = false;
    bool operator==(const TSetUpInputs&) const = default;
  };
  TSetUpInputs SetUpInputs;
  // Link sums by modulator index of the layer evaluated last; event thread.
  TPresetLayerModulatorSourceValues ModulatorSourceValues;

 private:
  void HandOffClickResidue();
  // What GetSampleLength's usual case reads of the loop range and the
  // increment, which move only with the resampling set-up.
  struct TRunLimits {
    bool Forward = false;      // a forward loop, played at a positive increment
    int64_t MostSamples = 0;   // runs up to this long stay in the 32-bit frame range
    int64_t Stop = 0;          // the loop end, 32.32
    int64_t Below = 0;         // the loop or sample end, whichever comes first
    int64_t StartMargin = 0;   // where the kernel stops reaching back before the loop start
  };
  TRunLimits RunLimits() const;
  // GetSampleLength, inlined where the render loop calls it.
  int32_t SampleLength(int32_t Samples, const TRunLimits& Limits);
  // Records a resampled run of Count frames from Offset in Lane. RunsSteady:
  // every active filter goes on with its last run, which ends at Offset.
  void RecordChunk(TVoiceLane& Lane, int32_t Offset, int32_t Count, bool RunsSteady);
  // Lets the residue of an ended voice decay into the buffers.
  void RenderClickResidue(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer,
                          int32_t Samples);
  void ReleaseVoiceNotify();
  // Adds one layer's modulator outputs: links into ModulatorSourceValues
  // (zeroed first when the layer has links), generator destinations into
  // GenModValues when Marked is null or marks them. Event thread.
  void AddLayerModulators(const TPresetLayer& ALayer, const std::bitset<GenCount>* Marked);
  void ApplyEnvelopeGenerator(int32_t Gen);
  // Re-derives the LFO used flags and SendsModulated from the depths,
  // catching up a value the step skipped when its LFO gains a depth.
  void UpdateModulationUse();
  void PlayPendingLFOSteps();
  // The modulation step's RecalculateFilter for the three filters; a filter
  // whose inputs all repeat the last step's only settles its active flag.
  // Repeat: the caller knows that the inputs repeat.
  void RecalculateFilters(double ModEnv, double Mod2Env, bool Repeat = false);
  // Semitones of an integer key 0..127 from the channel's tuning.
  double TuningValue(int32_t AKey) const;
  // -(LFO and envelope volume offsets) in centibels, for the volume envelope's release.
  double VolumeModulationCentibels() const;
  // What a modulation step did.
  enum TStepResult : uint8_t {
    srEnded,       // the voice ended
    srPitchKept,   // PhaseInc, the parameters and the release are as before the step
    srPitchMoved,  // the resampling set-up is due
  };
  // One modulation step of FillBuffer. Gains: false when the caller mixes
  // with its own gain ramp (TVoiceLane), which leaves the voice's ramp alone.
  TStepResult ModulationStep(bool HasCrossfades, bool Gains);
  void ResamplingSetUp();
  void StartLoopCrossFade();
  // Clamps the block's loop range into the sample; too short a loop plays as none.
  void ClampLoopRange();
  // Product of the layer chain's cross-fade weights.
  double LayerCrossFadeGain() const;
  // Current accumulators of the channel's click residues in this rendering context.
  void ResidueTargets(TBufferSample*& Dry, TBufferSample*& Chorus, TBufferSample*& Reverb);
};

}  // namespace kelvane
