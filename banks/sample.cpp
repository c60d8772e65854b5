#include "banks/sample.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/stream.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

uint16_t ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t ReadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// Frames converted per read, to keep the temporary byte buffers small.
constexpr int64_t ReadChunkFrames = 65536;

// Raises the stream's read error before a buffer is sized from an untrusted
// length that the stream cannot deliver.
void CheckAvailable(TStream& stream, int64_t position, int64_t bytes) {
  if (position < 0 || bytes < 0 || position > stream.Size() || bytes > stream.Size() - position)
    throw EKelvaneStreamError("Stream read error");
}

std::unique_ptr<float[]> AllocateSampleBuffer(int64_t elements) {
  return std::unique_ptr<float[]>(new float[static_cast<size_t>(elements)]);
}

// SF2 frames: 16-bit words scaled by 1/32768, or with the sm24 bytes the
// 24-bit value (word SHL 16 OR byte SHL 8) scaled by 1/2^31.
void CheckSF2Available(TAttachedSoundFont& bank, int64_t start, int64_t count) {
  CheckAvailable(*bank.Stream, bank.SmplOfs + 2 * start, 2 * count);
  if (bank.SM24Ofs != 0) CheckAvailable(*bank.Stream, bank.SM24Ofs + start, count);
}

void ReadSF2Frames(TAttachedSoundFont& bank, int64_t start, int64_t count, float* destination) {
  TStream& stream = *bank.Stream;
  std::vector<uint8_t> words(static_cast<size_t>(2 * std::min(count, ReadChunkFrames)));
  std::vector<uint8_t> extra(bank.SM24Ofs != 0 ? static_cast<size_t>(std::min(count, ReadChunkFrames)) : 0);
  for (int64_t done = 0; done < count;) {
    const int64_t n = std::min(count - done, ReadChunkFrames);
    stream.ReadAt(bank.SmplOfs + 2 * (start + done), words.data(), 2 * n);
    if (bank.SM24Ofs != 0) {
      stream.ReadAt(bank.SM24Ofs + start + done, extra.data(), n);
      for (int64_t i = 0; i < n; ++i) {
        const uint32_t word = ReadLE16(&words[static_cast<size_t>(2 * i)]);
        const auto value = static_cast<int32_t>((word << 16) | (static_cast<uint32_t>(extra[static_cast<size_t>(i)]) << 8));
        destination[done + i] = static_cast<float>(static_cast<double>(value) / 2147483648.0);
      }
    } else {
      for (int64_t i = 0; i < n; ++i) {
        const auto value = static_cast<int16_t>(ReadLE16(&words[static_cast<size_t>(2 * i)]));
        destination[done + i] = static_cast<float>(value) / 32768.0f;
      }
    }
    done += n;
  }
}

// SFX frames: little-endian 32-bit floats.
void ReadSFXFrames(TStream& stream, int64_t position, int64_t count, float* destination) {
  stream.ReadAt(position, destination, 4 * count);
  if constexpr (std::endian::native == std::endian::big) {
    for (int64_t i = 0; i < count; ++i) {
      uint32_t bits;
      std::memcpy(&bits, &destination[i], 4);
      bits = ReadLE32(reinterpret_cast<const uint8_t*>(&bits));
      std::memcpy(&destination[i], &bits, 4);
    }
  }
}

// Visits the samples along sample.LinkSample: at most MaxSampleLinks links,
// stopping at a null link or back at the start.
template <typename F>
void ForEachLinkedSample(TSample& sample, F&& f) {
  TSample* linked = sample.LinkSample;
  for (int32_t links = 0; links < MaxSampleLinks && linked && linked != &sample; ++links) {
    f(*linked);
    linked = linked->LinkSample;
  }
}

}  // namespace

TSFSample TSFSample::FromBytes(const uint8_t* bytes) {
  TSFSample result{};
  std::memcpy(result.SampleName, bytes, sizeof(result.SampleName));
  result.lwStart = ReadLE32(bytes + 20);
  result.lwEnd = ReadLE32(bytes + 24);
  result.LoopStart = ReadLE32(bytes + 28);
  result.LoopEnd = ReadLE32(bytes + 32);
  result.SampleRate = ReadLE32(bytes + 36);
  result.OriginalPitch = bytes[40];
  result.PitchCorrection = static_cast<int8_t>(bytes[41]);
  result.SampleLink = ReadLE16(bytes + 42);
  result.SampleType = ReadLE16(bytes + 44);
  return result;
}

TSample::TSample(TSynth* ownerSynth) : Synth(ownerSynth) { Clear(); }

TSample::~TSample() { Clear(); }

void TSample::ResetWorkDataState() {
  for (auto& window : WorkWindows) window = {};
  CountWorkWindows = 0;
  IndexLookupLoopType = ltUNKNOWN;
  IndexLookupLoopStart = -1;
  IndexLookupLoopEnd = -1;
  IndexLookupReach = -1;
}

void TSample::Clear() {
  AmpLeft = 1.0;
  AmpRight = 1.0;
  Index = -1;
  BankIndex = -1;
  Loaded = false;
  SFSample = TSFSample{};
  SFXOffset = 0;
  LinkSample = nullptr;
  AttachedSoundFont = nullptr;
  Active = true;
  Name.clear();
  LoopStart = 0;
  LoopEnd = 0;
  SampleTypeFlags = {};
  OriginalPitch = 0;
  PitchCorrection = 0;
  Data.reset();
  ShelvedData.reset();
  WorkData.reset();
  WorkDataCapacity = -1;
  ResetWorkDataState();
}

void TSample::AllocateWorkData(int64_t Elements) {
  WorkData.reset();
  WorkDataCapacity = -1;
  ResetWorkDataState();
  if (Elements <= 0) return;
  WorkData = AllocateSampleBuffer(Elements);
  WorkDataCapacity = Elements;
}

void TSample::AllocateLoopWorkData() {
  const int32_t points = Synth ? Synth->ResamplingPoints : 1024;
  AllocateWorkData(LoopWorkDataElements(LoopStart, LoopEnd, points));
}

void TSample::Assign(const TSample& from) {
  if (&from == this) return;
  Name = from.Name;
  AmpLeft = from.AmpLeft;
  AmpRight = from.AmpRight;
  SFSample = from.SFSample;
  SFXOffset = from.SFXOffset;
  LinkSample = from.LinkSample;
  AttachedSoundFont = from.AttachedSoundFont;
  Active = from.Active;
  Length = from.Length;
  LoopStart = from.LoopStart;
  LoopEnd = from.LoopEnd;
  SampleRate = from.SampleRate;
  SampleTypeFlags = from.SampleTypeFlags;
  OriginalPitch = from.OriginalPitch;
  PitchCorrection = from.PitchCorrection;
  auto duplicate = [](const std::unique_ptr<float[]>& source, int64_t elements) {
    if (!source) return std::unique_ptr<float[]>();
    auto copy = AllocateSampleBuffer(elements);
    std::copy_n(source.get(), elements, copy.get());
    return copy;
  };
  Data = duplicate(from.Data, from.BufferElements());
  WorkData = duplicate(from.WorkData, from.WorkDataSize());
  WorkDataCapacity = from.WorkDataCapacity;
  std::copy(std::begin(from.WorkWindows), std::end(from.WorkWindows), std::begin(WorkWindows));
  CountWorkWindows = from.CountWorkWindows;
  IndexLookupLoopType = from.IndexLookupLoopType;
  IndexLookupLoopStart = from.IndexLookupLoopStart;
  IndexLookupLoopEnd = from.IndexLookupLoopEnd;
  IndexLookupReach = from.IndexLookupReach;
  Loaded = from.Loaded.load();
}

void TSample::MarkAsNeeded(bool nested) {
  if (Needed) return;
  {
    TWriteLockGuard guard(MultipleReaderSingleWriterLock);
    Needed = true;
  }
  if (!nested && HandleLinkedSamples() && SampleTypeFlags.IsLinkedType())
    ForEachLinkedSample(*this, [](TSample& linked) { linked.MarkAsNeeded(true); });
}

void TSample::Load(bool nested) {
  if (Loaded) return;
  TAttachedSoundFont* bank = AttachedSoundFont;
  if (!bank || !bank->Stream) return;
  {
    TWriteLockGuard guard(MultipleReaderSingleWriterLock);
    if (Loaded) return;
    const int64_t count = Length > 0 ? Length : 0;
    const int64_t elements = count + SampleGuardElements;
    // Frames kept by Shelve are the ones a read would give.
    std::unique_ptr<float[]> data = std::move(ShelvedData);
    if (SFXOffset != 0) {
      if (!data) {
        CheckAvailable(*bank->Stream, SFXOffset, 4 * count);
        data = AllocateSampleBuffer(elements);
        ReadSFXFrames(*bank->Stream, SFXOffset, count, data.get() + SampleGuardFrames);
      }
    } else if (bank->SmplOfs != 0) {
      // A type without mono/right/left/linked bits (ROM or broken) stays unloaded.
      if ((SFSample.SampleType & 15) == 0) return;
      if (!data) {
        CheckSF2Available(*bank, SFSample.lwStart, count);
        data = AllocateSampleBuffer(elements);
        ReadSF2Frames(*bank, SFSample.lwStart, count, data.get() + SampleGuardFrames);
      }
      if (SFSample.SampleType & 4) {
        AmpLeft = 1.0;
        AmpRight = 0.0;
      } else if (SFSample.SampleType & 2) {
        AmpLeft = 0.0;
        AmpRight = 1.0;
      } else {
        AmpLeft = 1.0;
        AmpRight = 1.0;
      }
    } else {
      return;
    }
    float* frames = data.get() + SampleGuardFrames;
    const float first = count > 0 ? frames[0] : 0.0f;
    const float last = count > 0 ? frames[count - 1] : 0.0f;
    std::fill_n(data.get(), SampleGuardFrames, first);
    std::fill_n(frames + count, SampleGuardFrames, last);
    Data = std::move(data);
    AllocateLoopWorkData();
    Loaded = true;
  }
  // The chain is followed after releasing this sample's lock, so that two
  // samples linking each other never wait for each other's lock.
  if (!nested && HandleLinkedSamples() && SampleTypeFlags.IsLinkedType())
    ForEachLinkedSample(*this, [](TSample& linked) { linked.Load(true); });
}

void TSample::Unload(bool /*nested*/) {
  if (!Loaded) return;
  TWriteLockGuard guard(MultipleReaderSingleWriterLock);
  if (!Loaded) return;
  Loaded = false;
  Data.reset();
  WorkData.reset();
  WorkDataCapacity = -1;
  ResetWorkDataState();
}

void TSample::Shelve() {
  if (!Loaded || !AttachedSoundFont || !AttachedSoundFont->Stream) return;
  TWriteLockGuard guard(MultipleReaderSingleWriterLock);
  if (!Loaded) return;
  ShelvedData = std::move(Data);
  Loaded = false;
  WorkData.reset();
  WorkDataCapacity = -1;
  ResetWorkDataState();
}

// Samples made without a synthesizer (bank tools, tests) follow links.
bool TSample::HandleLinkedSamples() const { return !Synth || Synth->DoHandleLinkedSamples; }

}  // namespace kelvane
