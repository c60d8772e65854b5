#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "synth/buffer_sample.h"
#include "synth/voice_filter.h"

namespace kelvane {

class TVoice;
struct TVoiceBuffers;

// One stretch of frames during which a voice's filter keeps its mode:
// coefficients at its first frame, the increments of its first Ramp frames,
// and whether the filter runs (a bypassed filter passes the signal through).
// Plain records (no initialisers): the group's record arrays stay untouched,
// and so unmapped, until a block uses them.
struct TVoiceLaneFilterRun {
  int32_t Offset;
  int32_t Count;
  int32_t Ramp;
  bool Active;
  float a1, a2, b0, b1, b2;  // in TFilter's order
  float a1incr, a2incr, b0incr, b1incr, b2incr;
};

// One resampled run of a voice and the sends that mix it; Stepped when a
// modulation step ran before it, with the step's target gains.
struct TVoiceLaneChunk {
  int32_t Offset;
  int32_t Count;
  bool Stepped;
  double EndVolLeft;
  double EndVolRight;
  float AmpChorus;
  float AmpReverb;
};
static_assert(std::is_trivially_default_constructible_v<TVoiceLaneFilterRun> &&
              std::is_trivially_default_constructible_v<TVoiceLaneChunk>);

inline constexpr int32_t VoiceFilterCount = 3;

// What the first pass of a voice leaves for the second: its resampled block,
// the chunks, the filter runs, and where an ended voice's residue starts.
struct TVoiceLane {
  TVoice* Voice = nullptr;
  float* Mono = nullptr;  // block frames, indexed like the output
  TVoiceLaneChunk* Chunks = nullptr;
  int32_t ChunkCount = 0;
  TVoiceLaneFilterRun* Runs[VoiceFilterCount] = {};
  int32_t RunCount[VoiceFilterCount] = {};
  int32_t ResidueOffset = -1;  // the voice's click residue decays from here; -1 none
  // The voice's targets for the block (frame 0 of the block at index 0).
  TBufferSample* Dry = nullptr;
  TBufferSample* Chorus = nullptr;
  TBufferSample* Reverb = nullptr;
  // The voice's gain ramp when the first pass began.
  bool GainSaved = false;
  double VolLeft = 0.0, VolRight = 0.0, VolIncLeft = 0.0, VolIncRight = 0.0;
  int32_t VolRemain = 0;
  bool Stepped = false;  // a modulation step ran since the last chunk
  // A modulation step after the last chunk, and its target gains.
  bool TrailingStep = false;
  double TrailingEndVolLeft = 0.0, TrailingEndVolRight = 0.0;

  void Clear() {
    ChunkCount = 0;
    for (int32_t& count : RunCount) count = 0;
    ResidueOffset = -1;
    GainSaved = Stepped = TrailingStep = false;
  }
  void AddFilterRun(int32_t Filter, const TVoiceLaneFilterRun& Run);
  // Lengthens the filter's last run by Count frames from Offset when it is
  // steady and F, without a ramp, goes on with the same coefficients.
  bool ExtendFilterRun(int32_t Filter, int32_t Offset, int32_t Count, const TFilter& F) {
    if (RunCount[Filter] == 0) return false;
    TVoiceLaneFilterRun& last = Runs[Filter][RunCount[Filter] - 1];
    if (last.Offset + last.Count != Offset || last.Ramp != 0 || last.Active != F.FilterActive ||
        std::memcmp(&last.a1, &F.a1, 5 * sizeof(float)) != 0) {
      return false;
    }
    last.Count += Count;
    return true;
  }
};

// Renders the voices of the calling thread four at a time: each voice first
// resamples its whole block, then the four voices' filters run side by side
// in vector lanes, then their gain ramps, and the four are mixed frame by
// frame in pool order. The output is the one TVoice::FillBuffer gives voice
// after voice, bit for bit.
class TVoiceGroup {
 public:
  static constexpr int32_t Lanes = 4;

  TVoiceGroup();
  ~TVoiceGroup();
  TVoiceGroup(const TVoiceGroup&) = delete;
  TVoiceGroup& operator=(const TVoiceGroup&) = delete;

  // Gives the voice Voices[Index] of a Render call its targets: sets the
  // lane's Dry, Chorus and Reverb before the voice's first pass.
  struct TTargets {
    void (*Code)(void* Context, size_t Index, TVoiceLane& Lane) = nullptr;
    void* Context = nullptr;
  };

  // Adds the output of every voice of Voices[0..Count) that sounds or still
  // has a click residue, in that order, into the three buffers.
  void Render(TVoice* const* Voices, size_t Count, TVoiceBuffers* Buffers, TBufferSample* Buffer,
              TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer, int32_t Samples);
  // The same, each voice into the targets Targets gives it (voices that are
  // silent and have no residue are skipped without a call).
  void Render(TVoice* const* Voices, size_t Count, TVoiceBuffers* Buffers, TTargets Targets, int32_t Samples);

 private:
  void RenderLanes(int32_t LaneCount, int32_t Samples);
  // The gain ramps of the lanes, frame by frame, into fGains; ends each
  // voice's ramp and sets its last frame.
  void RampLaneGains(int32_t LaneCount, int32_t Samples);
  // Mixes the lanes of LaneMask over From..To with their gains; the lanes of
  // Residues carry a click residue there (as gains, on a mono of 1).
  void MixLaneRange(int32_t LaneCount, uint32_t LaneMask, uint32_t Residues, bool Shared, int32_t From, int32_t To);
  // Lets the click residues of the lanes that carry one over From..To decay
  // side by side into fResidues: sets Decayed (null for the others) and Added
  // of each lane, and the voices' Last. Only with two or more such lanes.
  void DecayLaneResidues(int32_t LaneCount, int32_t From, int32_t To, const TBufferSample* (&Decayed)[Lanes],
                         int32_t (&Added)[Lanes]);

  // Lanes + 2 blocks: the filters' stand-in for missing lanes, then zeros.
  std::unique_ptr<float[]> fMono;
  std::unique_ptr<TBufferSample[]> fGains;  // each lane's gains, left and right, frame by frame
  std::unique_ptr<TBufferSample[]> fSink;  // takes what a lane sends nowhere
  std::unique_ptr<TBufferSample[]> fResidues;  // each lane's decayed click residue, from the range's first frame
  std::unique_ptr<TVoiceLaneChunk[]> fChunks;
  std::unique_ptr<TVoiceLaneFilterRun[]> fRuns;
  TVoiceLane fLanes[Lanes];
};

}  // namespace kelvane
