#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "banks/object_list.h"
#include "sync/multiple_reader_single_writer_lock.h"
#include "synth/synth_class.h"

namespace kelvane {

class TSynth;
class TAttachedSoundFont;

// The SF2 sample header ("shdr" record). The fields sit at their file offsets;
// the file record is the first 46 bytes (the struct has 2 bytes of tail
// padding, so fields stay naturally aligned). Decode with FromBytes.
struct TSFSample {
  char SampleName[20];
  uint32_t lwStart;
  uint32_t lwEnd;
  uint32_t LoopStart;
  uint32_t LoopEnd;
  uint32_t SampleRate;
  uint8_t OriginalPitch;
  int8_t PitchCorrection;
  uint16_t SampleLink;
  uint16_t SampleType;  // 1 mono, 2 right, 4 left, 8 linked, 0x8000 ROM

  static constexpr size_t StoredSize = 46;
  // Decodes the 46 little-endian bytes of one stored record.
  static TSFSample FromBytes(const uint8_t* bytes);
};
static_assert(offsetof(TSFSample, SampleType) + sizeof(uint16_t) == TSFSample::StoredSize);

enum TSampleTypeFlag : uint8_t { stfMono = 0, stfLeft = 1, stfRight = 2, stfLinked = 3, stfForceMono = 4 };

// A set of TSampleTypeFlag, bit n for flag n.
struct TSampleTypeFlags {
  uint8_t Bits = 0;

  constexpr bool Contains(TSampleTypeFlag flag) const { return (Bits >> flag) & 1u; }
  constexpr void Include(TSampleTypeFlag flag) { Bits = static_cast<uint8_t>(Bits | (1u << flag)); }
  constexpr void Exclude(TSampleTypeFlag flag) { Bits = static_cast<uint8_t>(Bits & ~(1u << flag)); }
  constexpr bool Empty() const { return Bits == 0; }
  // Any of stfLeft, stfRight, stfLinked: the sample is part of a link chain.
  constexpr bool IsLinkedType() const {
    return (Bits & ((1u << stfLeft) | (1u << stfRight) | (1u << stfLinked))) != 0;
  }
  constexpr bool operator==(const TSampleTypeFlags&) const = default;
};

enum TLoopType : uint8_t { ltUNKNOWN = 0, ltNONE = 1, ltFORWARD = 2, ltBACKWARD = 3, ltBIDI = 4 };

// Frames on each side of a sample's data that repeat its first and last frame.
inline constexpr int32_t SampleGuardFrames = 2048;
// Data and WorkData hold Length + SampleGuardElements floats.
inline constexpr int32_t SampleGuardElements = 2 * SampleGuardFrames;
// Longest chain that Load and MarkAsNeeded follow from a sample.
inline constexpr int32_t MaxSampleLinks = 9;

// Frames a resampling kernel of Points points reads on either side of its
// position, the step between two table phases included.
constexpr int64_t WorkWindowReach(int32_t Points) { return (Points < 2 ? 2 : Points > 1024 ? 1024 : Points) / 2 + 2; }
// Frames a window reaches into a long loop beyond what the kernel needs at the
// loop point: room for a run's positions, so most runs read one window.
inline constexpr int64_t WorkWindowRunFrames = 256;
// WorkData elements that hold the windows of any loop for a kernel of Points
// points: the two of a long loop, or the one around a short loop.
constexpr int64_t LoopWorkDataCapacity(int32_t Points) {
  return 2 * (5 * WorkWindowReach(Points) + WorkWindowRunFrames + 1);
}

// Elements First .. First + Elements - 1 of the guarded layout, held at
// WorkData[Offset ..].
struct TSampleWorkWindow {
  int64_t First = 0;
  int64_t Elements = 0;
  int64_t Offset = 0;
};

// One sample. Frame k lives at Data[k + SampleGuardFrames]. Data, WorkData,
// Loaded and the work-data state are guarded by MultipleReaderSingleWriterLock:
// written under the write lock, read by rendering voices under the read lock.
class TSample : public TSynthClass {
 public:
  explicit TSample(TSynth* ownerSynth);
  ~TSample() override;
  TSample(const TSample&) = delete;
  TSample& operator=(const TSample&) = delete;

  void Reset() {}
  void Clear();
  // Copies everything except Synth, Index, BankIndex, Needed and the lock.
  void Assign(const TSample& from);

  // nested is true only for the calls along a link chain.
  void MarkAsNeeded(bool nested);
  // Raises EKelvaneStreamError when the bank stream is too short; the lock is
  // released and the sample stays unloaded.
  void Load(bool nested);
  void Unload(bool nested);
  // Unloads a sample that its bank can load again, keeping its frames aside:
  // the next Load takes them back instead of reading and converting the bank
  // again, and leaves the sample as a fresh load would.
  void Shelve();
  // Frees the frames Shelve kept aside, if any.
  void DropShelved() { ShelvedData.reset(); }
  bool Shelved() const { return ShelvedData != nullptr; }

  // Number of floats in Data when loaded.
  int64_t BufferElements() const { return static_cast<int64_t>(Length > 0 ? Length : 0) + SampleGuardElements; }
  // Floats in WorkData (0 without it).
  int64_t WorkDataSize() const { return !WorkData ? 0 : WorkDataCapacity < 0 ? BufferElements() : WorkDataCapacity; }
  // Window W of WorkData addressed like Data: frame k at [k + SampleGuardFrames].
  // Only the elements of the window may be read through it.
  const float* WorkWindowBase(int32_t W) const {
    return WorkData.get() + WorkWindows[W].Offset - WorkWindows[W].First;
  }
  // Whether window W holds every element of first .. last.
  bool WorkWindowCovers(int32_t W, int64_t first, int64_t last) const {
    return first >= WorkWindows[W].First && last < WorkWindows[W].First + WorkWindows[W].Elements;
  }
  // Points WorkData at Elements fresh floats (nothing for Elements <= 0), with
  // no window in it, and forgets the prepared loop. Caller holds the write
  // lock or owns the sample alone.
  void AllocateWorkData(int64_t Elements);
  // WorkData for the loop windows of the synth's kernel (the longest kernel
  // without a synth), when the sample has a loop.
  void AllocateLoopWorkData();
  // WorkData elements a loop From..To needs (0 without a loop) for the kernel.
  static int64_t LoopWorkDataElements(int32_t LoopFrom, int32_t LoopTo, int32_t Points) {
    return LoopTo <= LoopFrom ? 0 : LoopWorkDataCapacity(Points);
  }

  TSynth* Synth;
  int32_t Index = -1;      // position in TSynth::Samples
  int32_t BankIndex = -1;  // the bank file's sample number
  std::string Name;
  double AmpLeft = 1.0;
  double AmpRight = 1.0;
  std::atomic<bool> Loaded{false};
  TSFSample SFSample{};
  int64_t SFXOffset = 0;  // byte position of the float frames in an SFX bank; 0 = none
  TSample* LinkSample = nullptr;
  TAttachedSoundFont* AttachedSoundFont = nullptr;  // the bank that can reload the sample
  bool Active = true;
  int32_t Length = 0;     // frames
  int32_t LoopStart = 0;  // frames from the sample start
  int32_t LoopEnd = 0;
  int32_t SampleRate = 0;  // Hz
  TSampleTypeFlags SampleTypeFlags;
  int32_t OriginalPitch = 0;    // MIDI key
  int32_t PitchCorrection = 0;  // cents
  std::unique_ptr<float[]> Data;
  // The resampler's copies of the frames around the prepared loop's ends,
  // patched so that kernels read across the loop's ends; Data serves as is
  // elsewhere. One window around a short loop, one at each end of a long one.
  std::unique_ptr<float[]> WorkData;
  int64_t WorkDataCapacity = -1;  // floats in WorkData; -1: BufferElements (a whole copy)
  TSampleWorkWindow WorkWindows[2];
  int32_t CountWorkWindows = 0;
  TLoopType IndexLookupLoopType = ltUNKNOWN;  // the loop WorkData is prepared for
  int32_t IndexLookupLoopStart = -1;
  int32_t IndexLookupLoopEnd = -1;
  int32_t IndexLookupReach = -1;  // the kernel reach the windows are made for
  TMultipleReaderSingleWriterLock MultipleReaderSingleWriterLock;
  bool Needed = false;  // mark of the last LoadUnloadSamples or KeepNeededSamples pass

 private:
  std::unique_ptr<float[]> ShelvedData;  // Data of the last load, for the next one (see Shelve)

  void ResetWorkDataState();
  void ReadSamples();  // under the write lock; fills Data, leaves Loaded to the caller
  bool HandleLinkedSamples() const;
};

using TSampleList = TObjectGenericList<TSample>;

}  // namespace kelvane
