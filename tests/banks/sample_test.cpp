#include "banks/sample.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "banks/attached_sound_font.h"

namespace kelvane {
namespace {

// A memory stream that counts the reads it served.
class TCountingStream final : public TStream {
 public:
  explicit TCountingStream(std::vector<uint8_t> bytes) : fInner(std::move(bytes)) {}
  int64_t Size() override { return fInner.Size(); }
  int64_t Position() override { return fInner.Position(); }
  void Seek(int64_t position) override { fInner.Seek(position); }
  int64_t ReadSome(void* buffer, int64_t count) override {
    ++Reads;
    return fInner.ReadSome(buffer, count);
  }
  int Reads = 0;

 private:
  TMemoryStream fInner;
};

// A bank stream laid out like an SF2 file body: 16 bytes of padding, the
// 16-bit words at SmplOfs, then (optionally) the sm24 bytes.
struct TSf2Fixture {
  explicit TSf2Fixture(const std::vector<int16_t>& words, const std::vector<uint8_t>& sm24 = {}) {
    std::vector<uint8_t> bytes(16, 0xEE);
    for (int16_t w : words) {
      bytes.push_back(static_cast<uint8_t>(w & 0xFF));
      bytes.push_back(static_cast<uint8_t>((static_cast<uint16_t>(w) >> 8) & 0xFF));
    }
    Bank.SmplOfs = 16;
    if (!sm24.empty()) {
      Bank.SM24Ofs = static_cast<int64_t>(bytes.size());
      bytes.insert(bytes.end(), sm24.begin(), sm24.end());
    }
    auto stream = std::make_unique<TCountingStream>(std::move(bytes));
    Stream = stream.get();
    Bank.Stream = std::move(stream);
  }

  // A sample over words [start, start + length).
  std::unique_ptr<TSample> MakeSample(uint32_t start, int32_t length, uint16_t type = 1) {
    auto sample = std::make_unique<TSample>(nullptr);
    sample->AttachedSoundFont = &Bank;
    sample->SFSample.lwStart = start;
    sample->SFSample.lwEnd = start + static_cast<uint32_t>(length);
    sample->SFSample.SampleType = type;
    sample->Length = length;
    return sample;
  }

  TAttachedSoundFont Bank{nullptr};
  TCountingStream* Stream;
};

// The frames with their guards, as a vector of Length + 4096 floats.
std::vector<float> Frames(const TSample& sample) {
  return std::vector<float>(sample.Data.get(), sample.Data.get() + sample.Length + SampleGuardElements);
}

TEST(Sample, NewSampleDefaults) {
  TSample sample(nullptr);
  EXPECT_EQ(sample.Index, -1);
  EXPECT_EQ(sample.BankIndex, -1);
  EXPECT_EQ(sample.AmpLeft, 1.0);
  EXPECT_EQ(sample.AmpRight, 1.0);
  EXPECT_FALSE(sample.Loaded);
  EXPECT_TRUE(sample.Active);
  EXPECT_EQ(sample.Data, nullptr);
  EXPECT_EQ(sample.WorkData, nullptr);
  EXPECT_EQ(sample.IndexLookupLoopType, ltUNKNOWN);
  EXPECT_EQ(sample.IndexLookupLoopStart, -1);
  EXPECT_EQ(sample.IndexLookupLoopEnd, -1);
  EXPECT_EQ(sample.CountWorkWindows, 0);
}

TEST(Sample, Sf2SixteenBitFramesAndGuards) {
  TSf2Fixture fixture({111, -32768, 0, 16384, 32767, 222});
  auto sample = fixture.MakeSample(1, 4);
  sample->Load(false);
  ASSERT_TRUE(sample->Loaded);
  const std::vector<float> data = Frames(*sample);
  ASSERT_EQ(data.size(), 4100u);
  const float frames[] = {-1.0f, 0.0f, 0.5f, 32767.0f / 32768.0f};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(data[2048 + i], frames[i]) << i;
  for (int i = 0; i < 2048; ++i) {
    ASSERT_EQ(data[i], -1.0f) << i;
    ASSERT_EQ(data[2052 + i], 32767.0f / 32768.0f) << i;
  }
  EXPECT_EQ(sample->WorkData, nullptr);  // no loop: the resampler reads Data alone
}

TEST(Sample, Sf2TwentyFourBitFrames) {
  TSf2Fixture fixture({0x7FFF, static_cast<int16_t>(0x8000), 0, -1}, {0xFF, 0x00, 0x80, 0xFF});
  auto sample = fixture.MakeSample(0, 4);
  sample->Load(false);
  ASSERT_TRUE(sample->Loaded);
  const double expected[] = {8388607.0 / 8388608.0, -1.0, 1.0 / 65536.0, -1.0 / 8388608.0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(sample->Data[2048 + i], static_cast<float>(expected[i])) << i;
}

TEST(Sample, LengthOneFillsEveryElementWithItsFrame) {
  TSf2Fixture fixture({0, 8192, 0});
  auto sample = fixture.MakeSample(1, 1);
  sample->Load(false);
  const std::vector<float> data = Frames(*sample);
  ASSERT_EQ(data.size(), 4097u);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], 0.25f) << i;
}

TEST(Sample, GainsFromSf2SampleType) {
  const struct {
    uint16_t type;
    bool loads;
    double left, right;
  } cases[] = {{4, true, 1.0, 0.0},      {2, true, 0.0, 1.0},      {1, true, 1.0, 1.0},
               {8, true, 1.0, 1.0},      {6, true, 1.0, 0.0},      {0x8004, true, 1.0, 0.0},
               {0, false, 1.0, 1.0},     {0x8000, false, 1.0, 1.0}, {0x10, false, 1.0, 1.0}};
  for (const auto& c : cases) {
    TSf2Fixture fixture({1, 2, 3});
    auto sample = fixture.MakeSample(0, 3, c.type);
    sample->Load(false);
    EXPECT_EQ(sample->Loaded, c.loads) << c.type;
    EXPECT_EQ(sample->Data != nullptr, c.loads) << c.type;
    EXPECT_EQ(sample->AmpLeft, c.left) << c.type;
    EXPECT_EQ(sample->AmpRight, c.right) << c.type;
  }
}

TEST(Sample, SfxFloatFrames) {
  const float values[] = {0.5f, -2.0f, 1e-3f};
  std::vector<uint8_t> bytes(8, 0);
  for (float v : values) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(bits >> (8 * b)));
  }
  TAttachedSoundFont bank(nullptr);
  bank.Stream = std::make_unique<TMemoryStream>(bytes);
  TSample sample(nullptr);
  sample.AttachedSoundFont = &bank;
  sample.SFXOffset = 8;
  sample.Length = 3;
  sample.AmpRight = 0.5;  // SFX samples keep their gains
  sample.LoopStart = 0;
  sample.LoopEnd = 2;
  sample.Load(false);
  ASSERT_TRUE(sample.Loaded);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sample.Data[2048 + i], values[i]);
  EXPECT_EQ(sample.Data[0], 0.5f);
  // Room for the loop's windows, sized for the longest kernel without a synth.
  ASSERT_NE(sample.WorkData, nullptr);
  EXPECT_EQ(sample.WorkDataSize(), LoopWorkDataCapacity(1024));
  EXPECT_EQ(sample.AmpRight, 0.5);
}

TEST(Sample, WithoutBankOrStreamNothingLoads) {
  TSample orphan(nullptr);
  orphan.Length = 3;
  orphan.Load(false);
  EXPECT_FALSE(orphan.Loaded);
  TAttachedSoundFont bank(nullptr);  // no stream
  bank.SmplOfs = 16;
  orphan.AttachedSoundFont = &bank;
  orphan.SFSample.SampleType = 1;
  orphan.Load(false);
  EXPECT_FALSE(orphan.Loaded);
}

TEST(Sample, LoadAndUnloadAreIdempotent) {
  TSf2Fixture fixture({1, 2, 3, 4});
  auto sample = fixture.MakeSample(0, 4);
  sample->Load(false);
  const int reads = fixture.Stream->Reads;
  const float* data = sample->Data.get();
  sample->Load(false);
  EXPECT_EQ(fixture.Stream->Reads, reads);
  EXPECT_EQ(sample->Data.get(), data);
  sample->IndexLookupLoopType = ltFORWARD;
  sample->CountWorkWindows = 2;
  sample->Unload(false);
  EXPECT_FALSE(sample->Loaded);
  EXPECT_EQ(sample->Data, nullptr);
  EXPECT_EQ(sample->WorkData, nullptr);
  EXPECT_EQ(sample->IndexLookupLoopType, ltUNKNOWN);  // fresh WorkData on the next load
  EXPECT_EQ(sample->CountWorkWindows, 0);
  sample->Unload(false);
  EXPECT_FALSE(sample->Loaded);
  sample->Load(false);  // reloads from the bank
  EXPECT_TRUE(sample->Loaded);
  EXPECT_EQ(sample->Data[2049], 2.0f / 32768.0f);
}

TEST(Sample, ShortStreamRaisesAndReleasesTheLock) {
  const struct {
    const char* what;
    int32_t length;
    std::vector<uint8_t> sm24;
  } cases[] = {{"words", 10, {}}, {"sm24 bytes", 3, {1, 2}}, {"huge length", 0x7FFFF000, {}}};
  for (const auto& c : cases) {
    TSf2Fixture fixture({1, 2, 3}, c.sm24);
    auto sample = fixture.MakeSample(0, c.length);
    EXPECT_THROW(sample->Load(false), EKelvaneStreamError) << c.what;
    EXPECT_FALSE(sample->Loaded) << c.what;
    EXPECT_EQ(sample->Data, nullptr) << c.what;
    EXPECT_THROW(sample->Load(false), EKelvaneStreamError) << c.what;  // no deadlock
    ASSERT_TRUE(sample->MultipleReaderSingleWriterLock.TryAcquireWrite()) << c.what;
    sample->MultipleReaderSingleWriterLock.ReleaseWrite();
  }
}

// count samples linked in a row (the last links back to the first when ring).
std::vector<std::unique_ptr<TSample>> MakeChain(TSf2Fixture& fixture, int count, bool ring, TSampleTypeFlag flag) {
  std::vector<std::unique_ptr<TSample>> samples;
  for (int i = 0; i < count; ++i) {
    samples.push_back(fixture.MakeSample(static_cast<uint32_t>(i), 1, 8));
    samples.back()->SampleTypeFlags.Include(flag);
  }
  for (int i = 0; i + 1 < count; ++i) samples[i]->LinkSample = samples[i + 1].get();
  if (ring) samples.back()->LinkSample = samples.front().get();
  return samples;
}

TEST(Sample, LinkedPairLoadsAndMarksBothOnce) {
  std::vector<int16_t> words(16, 100);
  TSf2Fixture fixture(words);
  auto pair = MakeChain(fixture, 2, true, stfLeft);
  pair[1]->SampleTypeFlags = {};
  pair[1]->SampleTypeFlags.Include(stfRight);
  pair[0]->Load(false);
  EXPECT_TRUE(pair[0]->Loaded);
  EXPECT_TRUE(pair[1]->Loaded);
  EXPECT_EQ(fixture.Stream->Reads, 2);
  pair[1]->Load(false);
  EXPECT_EQ(fixture.Stream->Reads, 2);

  pair[1]->MarkAsNeeded(false);
  EXPECT_TRUE(pair[0]->Needed);
  EXPECT_TRUE(pair[1]->Needed);
}

TEST(Sample, TwelveChainReachesNineLinks) {
  std::vector<int16_t> words(16, 100);
  TSf2Fixture fixture(words);
  auto chain = MakeChain(fixture, 12, false, stfLinked);
  chain[0]->Load(false);
  chain[0]->MarkAsNeeded(false);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(chain[i]->Loaded, i <= 9) << i;
    EXPECT_EQ(chain[i]->Needed, i <= 9) << i;
  }
}

TEST(Sample, LinksFollowedOnlyForLinkedTypesAndNotWhenNested) {
  std::vector<int16_t> words(16, 100);
  TSf2Fixture fixture(words);
  auto mono = MakeChain(fixture, 2, false, stfMono);
  mono[0]->Load(false);
  mono[0]->MarkAsNeeded(false);
  EXPECT_FALSE(mono[1]->Loaded);
  EXPECT_FALSE(mono[1]->Needed);

  auto linked = MakeChain(fixture, 3, false, stfLinked);
  linked[0]->Load(true);
  linked[0]->MarkAsNeeded(true);
  EXPECT_FALSE(linked[1]->Loaded);
  EXPECT_FALSE(linked[1]->Needed);
  linked[1]->Load(false);  // nested Load of 2 does not go on
  EXPECT_TRUE(linked[2]->Loaded);
}

TEST(Sample, AssignDuplicatesBuffersAndClearResets) {
  TSf2Fixture fixture({5, 6, 7});
  auto source = fixture.MakeSample(0, 3, 4);
  source->Name = "left";
  source->Index = 4;
  source->Needed = true;
  source->LoopStart = 1;
  source->LoopEnd = 2;
  source->Load(false);
  TSample copy(nullptr);
  copy.Assign(*source);
  EXPECT_EQ(copy.Index, -1);
  EXPECT_FALSE(copy.Needed);
  EXPECT_EQ(copy.Name, "left");
  EXPECT_TRUE(copy.Loaded);
  EXPECT_EQ(copy.AmpRight, 0.0);
  EXPECT_EQ(copy.AttachedSoundFont, &fixture.Bank);
  ASSERT_NE(copy.Data, nullptr);
  EXPECT_NE(copy.Data.get(), source->Data.get());
  EXPECT_EQ(Frames(copy), Frames(*source));
  ASSERT_NE(copy.WorkData, nullptr);
  EXPECT_EQ(copy.WorkDataCapacity, source->WorkDataCapacity);
  ASSERT_EQ(copy.WorkDataSize(), source->WorkDataSize());
  EXPECT_EQ(std::memcmp(copy.WorkData.get(), source->WorkData.get(),
                        static_cast<size_t>(source->WorkDataSize()) * sizeof(float)),
            0);

  copy.Clear();
  EXPECT_FALSE(copy.Loaded);
  EXPECT_EQ(copy.Data, nullptr);
  EXPECT_EQ(copy.AttachedSoundFont, nullptr);
  EXPECT_EQ(copy.AmpRight, 1.0);
  EXPECT_TRUE(copy.Name.empty());
  EXPECT_EQ(copy.SFSample.SampleType, 0);
}

TEST(Sample, SfSampleRecordFromLittleEndianBytes) {
  uint8_t bytes[46] = {'P', 'i', 'a', 'n', 'o'};
  const uint8_t tail[] = {0x01, 0x02, 0x03, 0x04,  // lwStart
                          0x10, 0, 0, 0,           // lwEnd
                          0x11, 0, 0, 0, 0x12, 0, 0, 0, 0x44, 0xAC, 0, 0,  // loops, 44100 Hz
                          60, 0xFB,                // key 60, -5 cents
                          0x34, 0x12, 0x04, 0x80};
  std::memcpy(bytes + 20, tail, sizeof(tail));
  const TSFSample record = TSFSample::FromBytes(bytes);
  EXPECT_STREQ(std::string(record.SampleName, 5).c_str(), "Piano");
  EXPECT_EQ(record.lwStart, 0x04030201u);
  EXPECT_EQ(record.lwEnd, 0x10u);
  EXPECT_EQ(record.LoopStart, 0x11u);
  EXPECT_EQ(record.LoopEnd, 0x12u);
  EXPECT_EQ(record.SampleRate, 44100u);
  EXPECT_EQ(record.OriginalPitch, 60);
  EXPECT_EQ(record.PitchCorrection, -5);
  EXPECT_EQ(record.SampleLink, 0x1234);
  EXPECT_EQ(record.SampleType, 0x8004);
}

}  // namespace
}  // namespace kelvane
