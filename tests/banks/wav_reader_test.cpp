// The wave chunk reader: formats, conversion, loops, IMA ADPCM (checked
// against libsndfile's encoder/decoder) and hostile sizes.

#include "banks/wav_reader.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kelvane {
namespace {

using TBytes = std::vector<uint8_t>;

void Put16(TBytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(TBytes& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v));
  Put16(b, static_cast<uint16_t>(v >> 16));
}

struct TChunk {
  std::string Id;  // four characters; "fmt\0" is written as given
  TBytes Bytes;
  bool Pad = false;                  // write a zero after an odd payload, as RIFF files do
  int64_t SizeOverride = -1;         // stored size instead of the payload's
};

// A RIFF (or DLS "LIST") wave built from chunks in order.
TBytes Wave(const std::vector<TChunk>& chunks, const char* outer = "RIFF", const char* form = "WAVE") {
  TBytes body(form, form + 4);
  for (const TChunk& c : chunks) {
    body.insert(body.end(), c.Id.begin(), c.Id.begin() + 4);
    Put32(body, static_cast<uint32_t>(c.SizeOverride >= 0 ? c.SizeOverride : static_cast<int64_t>(c.Bytes.size())));
    body.insert(body.end(), c.Bytes.begin(), c.Bytes.end());
    if (c.Pad && (c.Bytes.size() & 1)) body.push_back(0);
  }
  TBytes file(outer, outer + 4);
  Put32(file, static_cast<uint32_t>(body.size()));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

TChunk Fmt(uint16_t tag, uint16_t channels, uint16_t bits, uint32_t rate = 22050, uint16_t blockAlign = 0,
           const char* id = "fmt ") {
  TBytes b;
  Put16(b, tag);
  Put16(b, channels);
  Put32(b, rate);
  Put32(b, rate * channels * bits / 8);
  Put16(b, blockAlign ? blockAlign : static_cast<uint16_t>(channels * bits / 8));
  Put16(b, bits);
  return {std::string(id, 4), b};
}

TChunk Data(TBytes bytes) { return {"data", std::move(bytes)}; }

TChunk Data16(const std::vector<int16_t>& values) {
  TBytes b;
  for (int16_t v : values) Put16(b, static_cast<uint16_t>(v));
  return Data(b);
}

struct TLoopRecord {
  uint32_t Type, Start, End;
};

TChunk Smpl(const std::vector<TLoopRecord>& loops, int64_t storedCount = -1) {
  TBytes b(28, 0);  // manufacturer .. SMPTE offset
  Put32(b, static_cast<uint32_t>(storedCount >= 0 ? storedCount : static_cast<int64_t>(loops.size())));
  Put32(b, 0);  // sampler data
  for (const TLoopRecord& l : loops) {
    Put32(b, 0);  // cue point id
    Put32(b, l.Type);
    Put32(b, l.Start);
    Put32(b, l.End);
    Put32(b, 0);  // fraction
    Put32(b, 0);  // play count
  }
  return {"smpl", b};
}

struct TResult {
  bool Ok = false;
  TWAVSample Sample;
  int64_t WSMPPosition = -1;
};

TResult Load(const TBytes& bytes) {
  TMemoryStream stream(bytes);
  TResult r;
  r.Ok = LoadWAVSample(stream, r.Sample, r.WSMPPosition);
  return r;
}

void ExpectCleared(const TWAVSample& s) {
  EXPECT_EQ(s.length, 0);
  EXPECT_EQ(s.SampleRate, 0);
  EXPECT_TRUE(s.Data.empty());
  EXPECT_EQ(s.Loop.LoopType, 0);
  EXPECT_EQ(s.SustainLoop.LoopType, 0);
}

// ---- PCM and float conversion ------------------------------------------------

struct TConversionCase {
  const char* Name;
  uint16_t Tag, Channels, Bits;
  TBytes Payload;
  std::vector<float> Expected;
};

TEST(WavReader, ConvertsEachSampleFormatToMonoFloat) {
  const float quarter = 0.25f;
  uint8_t q[4];
  std::memcpy(q, &quarter, 4);
  const TConversionCase cases[] = {
      {"8-bit", 1, 1, 8, {0, 128, 255, 64}, {-1.0f, 0.0f, 127.0f / 128, -0.5f}},
      {"16-bit", 1, 1, 16, {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x40}, {-1.0f, 32767.0f / 32768, 0.5f}},
      {"16-bit stereo cancels", 1, 2, 16, {0x00, 0x40, 0x00, 0xC0, 0x00, 0x40, 0x00, 0x40}, {0.0f, 0.5f}},
      {"8-bit stereo", 1, 2, 8, {0, 128, 255, 255}, {-0.5f, 127.0f / 128}},
      {"24-bit", 1, 1, 24, {0x00, 0x00, 0x80, 0x00, 0x00, 0x40, 0xFF, 0xFF, 0xFF}, {-1.0f, 0.5f, -256.0f / 2147483648.0f}},
      {"32-bit integer", 1, 1, 32, {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x80}, {0.5f, -1.0f}},
      {"32-bit float", 3, 1, 32, {q[0], q[1], q[2], q[3]}, {0.25f}},
      // The extensible tag is taken as integer PCM whatever its sub-format.
      {"extensible 32-bit", 0xFFFE, 1, 32, {q[0], q[1], q[2], q[3]}, {static_cast<float>(0x3E800000) / 2147483648.0f}},
      {"extensible 16-bit", 0xFFFE, 1, 16, {0x00, 0xC0}, {-0.5f}},
      // Bytes beyond the last whole frame are ignored.
      {"partial frame", 1, 2, 16, {0x00, 0x40, 0x00, 0x40, 0x12, 0x34, 0x56}, {0.5f}},
      {"float NaN and infinity become silence", 3, 1, 32,
       {0x00, 0x00, 0xC0, 0x7F, 0x00, 0x00, 0x80, 0x7F, q[0], q[1], q[2], q[3]}, {0.0f, 0.0f, 0.25f}},
  };
  for (const TConversionCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult r = Load(Wave({Fmt(c.Tag, c.Channels, c.Bits, 44100), Data(c.Payload)}));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Sample.SampleRate, 44100);
    ASSERT_EQ(r.Sample.length, static_cast<int32_t>(c.Expected.size()));
    ASSERT_EQ(r.Sample.Data.size(), c.Expected.size());
    for (size_t i = 0; i < c.Expected.size(); ++i) EXPECT_FLOAT_EQ(r.Sample.Data[i], c.Expected[i]) << i;
    EXPECT_EQ(r.Sample.Loop.LoopType, 0);
    EXPECT_EQ(r.WSMPPosition, 0);
  }
}

// ---- Headers, format chunks, chunk walking ------------------------------------

TEST(WavReader, AcceptsRiffAndDlsWaveHeadersOnly) {
  const std::vector<TChunk> chunks = {Fmt(1, 1, 16), Data16({16384})};
  EXPECT_TRUE(Load(Wave(chunks, "RIFF", "WAVE")).Ok);
  EXPECT_TRUE(Load(Wave(chunks, "LIST", "wave")).Ok);
  EXPECT_TRUE(Load(Wave(chunks, "RIFF", "wave")).Ok);
  EXPECT_FALSE(Load(Wave(chunks, "RIFX", "WAVE")).Ok);
  EXPECT_FALSE(Load(Wave(chunks, "RIFF", "AVI ")).Ok);
  EXPECT_FALSE(Load(Wave(chunks, "LIST", "wvpl")).Ok);
}

TEST(WavReader, SecondaryPcmFormatReplacesAnUnsupportedPrimaryOne) {
  const TChunk data = Data16({16384, -8192});
  struct TCase {
    const char* Name;
    std::vector<TChunk> Chunks;
    bool Ok;
    int32_t Rate;
  };
  const TCase cases[] = {
      {"fmt 0x55 + pcm 1", {Fmt(0x55, 1, 0, 8000), Fmt(1, 1, 16, 11025, 0, "pcm "), data}, true, 11025},
      {"pcm chunk first", {Fmt(1, 1, 16, 11025, 0, "pcm "), Fmt(0x55, 1, 0, 8000), data}, true, 11025},
      {"zero-terminated ids", {Fmt(0x55, 1, 0, 8000, 0, "fmt\0"), Fmt(1, 1, 16, 11025, 0, "pcm\0"), data}, true, 11025},
      {"supported primary wins", {Fmt(1, 1, 16, 8000), Fmt(0x55, 1, 0, 11025, 0, "pcm "), data}, true, 8000},
      {"float primary wins", {Fmt(3, 1, 16, 8000), Fmt(1, 1, 8, 11025, 0, "pcm "), data}, true, 8000},
      {"first fmt counts", {Fmt(1, 1, 16, 8000), Fmt(1, 1, 16, 48000), data}, true, 8000},
      {"lone pcm chunk", {Fmt(1, 1, 16, 11025, 0, "pcm "), data}, false, 0},
      {"no fmt", {data}, false, 0},
      {"no data", {Fmt(1, 1, 16)}, false, 0},
      {"unsupported secondary", {Fmt(0x55, 1, 0), Fmt(2, 1, 4, 8000, 0, "pcm "), data}, false, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult r = Load(Wave(c.Chunks));
    EXPECT_EQ(r.Ok, c.Ok);
    EXPECT_EQ(r.Sample.SampleRate, c.Rate);
    if (c.Ok) {
      ASSERT_EQ(r.Sample.length, 2);
      EXPECT_FLOAT_EQ(r.Sample.Data[1], -0.25f);
    } else {
      ExpectCleared(r.Sample);
    }
  }
}

TEST(WavReader, RejectsUnsupportedFormats) {
  struct TCase {
    uint16_t Tag, Channels, Bits;
  };
  const TCase cases[] = {{1, 0, 16}, {1, 3, 16},   {1, 1, 0},  {1, 1, 12}, {1, 1, 64},   {3, 1, 64},
                         {2, 1, 4},  {0x11, 2, 4}, {0x11, 1, 8}, {0x11, 1, 0}, {0, 1, 16}, {0xFFFE, 6, 16}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Tag << " " << c.Channels << " " << c.Bits);
    const TResult r = Load(Wave({Fmt(c.Tag, c.Channels, c.Bits), Data(TBytes(64, 0x11))}));
    EXPECT_FALSE(r.Ok);
    ExpectCleared(r.Sample);
  }
}

TEST(WavReader, OddChunksWithOrWithoutPadByte) {
  const TChunk odd{"junk", {1, 2, 3}};
  TChunk padded = odd;
  padded.Pad = true;
  // DLS wave pools pack chunks without padding; RIFF files pad with a zero.
  for (const TChunk& c : {odd, padded}) {
    const TResult r = Load(Wave({Fmt(1, 1, 16), c, Data16({8192}), Smpl({{0, 0, 1}})}));
    ASSERT_TRUE(r.Ok) << c.Pad;
    EXPECT_EQ(r.Sample.length, 1);
    EXPECT_FLOAT_EQ(r.Sample.Data[0], 0.25f);
    EXPECT_EQ(r.Sample.Loop.LoopType, 1);
  }
  // An odd 8-bit data chunk followed by its loops.
  TChunk oddData = Data({128, 255, 0});
  oddData.Pad = true;
  const TResult r = Load(Wave({Fmt(1, 1, 8), oddData, Smpl({{0, 0, 2}})}));
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.Sample.length, 3);
  EXPECT_EQ(r.Sample.Loop.LoopEnd, 2);
}

TEST(WavReader, ReportsTheLastWsmpChunkHeader) {
  const TChunk wsmp{"wsmp", TBytes(20, 0)};
  const TBytes file = Wave({Fmt(1, 1, 16), wsmp, Data16({1, 2}), wsmp});
  const TResult r = Load(file);
  ASSERT_TRUE(r.Ok);
  // RIFF header 12, fmt 8+16, wsmp 8+20, data 8+4: the second wsmp header.
  EXPECT_EQ(r.WSMPPosition, 12 + 24 + 28 + 12);
  EXPECT_EQ(std::memcmp(file.data() + r.WSMPPosition, "wsmp", 4), 0);
  EXPECT_EQ(Load(Wave({Fmt(1, 1, 16), wsmp, Data16({1})})).WSMPPosition, 12 + 24);
}

// ---- Loops --------------------------------------------------------------------

TEST(WavReader, SmplLoopsMapToSustainAndLoop) {
  struct TCase {
    const char* Name;
    std::vector<TLoopRecord> Records;
    int64_t StoredCount;
    TSampleLoop Loop, Sustain;
  };
  const TCase cases[] = {
      {"one forward loop", {{0, 100, 200}}, -1, {1, 100, 200}, {0, 0, 0}},
      {"two loops: first is sustain", {{0, 10, 20}, {1, 100, 200}}, -1, {2, 100, 200}, {1, 10, 20}},
      {"three loops: third ignored", {{2, 10, 20}, {0, 30, 40}, {1, 50, 60}}, -1, {1, 30, 40}, {3, 10, 20}},
      {"backward", {{2, 5, 6}}, -1, {3, 5, 6}, {}},
      {"unknown type is forward", {{7, 5, 6}}, -1, {1, 5, 6}, {}},
      {"start equals end", {{0, 150, 150}}, -1, {0, 150, 150}, {}},
      {"start after end", {{1, 151, 150}}, -1, {0, 151, 150}, {}},
      {"negative start kept", {{0, 0xFFFFFFFF, 3}}, -1, {1, -1, 3}, {}},
      {"no loops", {}, -1, {0, 0, 0}, {}},
      {"huge count reads two", {{0, 1, 2}, {0, 3, 4}}, 0xFFFFFFFF, {1, 3, 4}, {1, 1, 2}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult r = Load(Wave({Fmt(1, 1, 16), Data16({0, 0}), Smpl(c.Records, c.StoredCount)}));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Sample.Loop.LoopType, c.Loop.LoopType);
    EXPECT_EQ(r.Sample.Loop.LoopStart, c.Loop.LoopStart);
    EXPECT_EQ(r.Sample.Loop.LoopEnd, c.Loop.LoopEnd);
    EXPECT_EQ(r.Sample.SustainLoop.LoopType, c.Sustain.LoopType);
    EXPECT_EQ(r.Sample.SustainLoop.LoopStart, c.Sustain.LoopStart);
    EXPECT_EQ(r.Sample.SustainLoop.LoopEnd, c.Sustain.LoopEnd);
  }
}

TEST(WavReader, ShortSmplChunkFails) {
  // Count says two records, the file holds one.
  TBytes file = Wave({Fmt(1, 1, 16), Data16({0}), Smpl({{0, 1, 2}}, 2)});
  EXPECT_FALSE(Load(file).Ok);
  file = Wave({Fmt(1, 1, 16), Data16({0}), {"smpl", TBytes(20, 0)}, {"junk", TBytes(30, 0)}});
  EXPECT_TRUE(Load(file).Ok);  // the sampler header runs into the next chunk: still 36 bytes there
  file = Wave({Fmt(1, 1, 16), Data16({0}), {"smpl", TBytes(20, 0)}});
  const TResult r = Load(file);
  EXPECT_FALSE(r.Ok);
  ExpectCleared(r.Sample);
}

// ---- IMA ADPCM --------------------------------------------------------------

TBytes ImaBlock(int16_t predictor, uint8_t index, const TBytes& codes) {
  TBytes b;
  Put16(b, static_cast<uint16_t>(predictor));
  b.push_back(index);
  b.push_back(0);
  b.insert(b.end(), codes.begin(), codes.end());
  return b;
}

std::vector<float> Scaled(const std::vector<int>& values) {
  std::vector<float> r;
  for (int v : values) r.push_back(static_cast<float>(v) / 32768.0f);
  return r;
}

TEST(WavReader, ImaAdpcmSingleBlockFollowsTheStepTables) {
  struct TCase {
    const char* Name;
    TBytes Data;
    uint16_t BlockAlign;
    std::vector<int> Expected;
  };
  // Codes low nibble first: 7, F, then zeros. Steps 7 -> 16 -> 34 -> 31 -> 28 -> 25 -> 23 -> 21:
  // +0+1+3+7 = 11; -(2+4+8+16) = -30; then +step/8 each.
  const std::vector<int> ramp = {0, 11, -19, -15, -12, -9, -6, -4, -2};
  const TCase cases[] = {
      {"8 data bytes give 9 frames", ImaBlock(0, 0, {0xF7, 0, 0, 0}), 0, ramp},
      {"block align as large as the data", ImaBlock(0, 0, {0xF7, 0, 0, 0}), 8, ramp},
      {"block align beyond the data", ImaBlock(0, 0, {0xF7, 0, 0, 0}), 256, ramp},
      {"header only", ImaBlock(-300, 5, {}), 0, {-300}},
      {"clamped high", ImaBlock(32760, 88, {0x77}), 0, {32760, 32767, 32767}},
      {"clamped low", ImaBlock(-32760, 88, {0xFF}), 0, {-32760, -32768, -32768}},
      // A step index past the table is taken as its last entry (32767): code 1 adds 4095 + 8191,
      // then index 87 (29794) and code 0 add 3724.
      {"corrupt step index", ImaBlock(0, 200, {0x01}), 0, {0, 12286, 16010}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult r = Load(Wave({Fmt(0x11, 1, 4, 8000, c.BlockAlign), Data(c.Data)}));
    ASSERT_TRUE(r.Ok);
    const std::vector<float> expected = Scaled(c.Expected);
    ASSERT_EQ(r.Sample.length, static_cast<int32_t>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_FLOAT_EQ(r.Sample.Data[i], expected[i]) << i;
  }
}

TEST(WavReader, ImaAdpcmBlocksEachStartFromTheirHeader) {
  const TBytes first = ImaBlock(0, 0, {0xF7, 0, 0, 0});
  const TBytes second = ImaBlock(1000, 0, {0, 0, 0, 0});  // step 7: code 0 adds 7/8 = 0
  struct TCase {
    const char* Name;
    TBytes Tail;
    std::vector<int> TailFrames;
  };
  const TCase cases[] = {
      {"whole blocks", {}, {}},
      {"short last block", ImaBlock(-5, 0, {0x07}), {-5, 6, 8}},  // +11 at step 7, +2 at step 16
      {"tail without a full header", {1, 2, 3}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TBytes data = first;
    data.insert(data.end(), second.begin(), second.end());
    data.insert(data.end(), c.Tail.begin(), c.Tail.end());
    const TResult r = Load(Wave({Fmt(0x11, 1, 4, 8000, 8), Data(data)}));
    ASSERT_TRUE(r.Ok);
    std::vector<int> expected = {0, 11, -19, -15, -12, -9, -6, -4, -2};
    expected.insert(expected.end(), 9, 1000);
    expected.insert(expected.end(), c.TailFrames.begin(), c.TailFrames.end());
    const std::vector<float> e = Scaled(expected);
    ASSERT_EQ(r.Sample.length, static_cast<int32_t>(e.size()));
    for (size_t i = 0; i < e.size(); ++i) EXPECT_FLOAT_EQ(r.Sample.Data[i], e[i]) << i;
  }
}

TEST(WavReader, ImaAdpcmTooShortOrBadBlockFails) {
  EXPECT_FALSE(Load(Wave({Fmt(0x11, 1, 4), Data({1, 2, 3})})).Ok);
  EXPECT_FALSE(Load(Wave({Fmt(0x11, 1, 4), Data({})})).Ok);
  // Several blocks cannot be smaller than their header.
  EXPECT_FALSE(Load(Wave({Fmt(0x11, 1, 4, 8000, 3), Data(TBytes(12, 0))})).Ok);
}

// libsndfile encodes a signal and decodes it back; the reader must give the
// same 16-bit values.
class ImaReference : public testing::TestWithParam<int> {};

std::vector<int16_t> TestSignal(int frames) {
  std::vector<int16_t> s(static_cast<size_t>(frames));
  uint32_t noise = 12345;
  for (int i = 0; i < frames; ++i) {
    noise = noise * 1664525u + 1013904223u;
    double v = 20000.0 * std::sin(i * 0.01 * (1 + i / 500.0)) + static_cast<int>(noise >> 20) - 2048;
    if ((i / 700) % 2 == 1) v = (i % 40 < 20) ? 32767 : -32768;  // full-scale square: clamping
    s[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
  }
  return s;
}

TEST_P(ImaReference, MatchesLibsndfile) {
  const int frames = GetParam();
  const std::string path = std::string(KELVANE_BINARY_DIR) + "/wav_reader_ima_" + std::to_string(frames) + ".wav";
  SF_INFO info{};
  info.samplerate = 22050;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM;
  SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
  const std::vector<int16_t> signal = TestSignal(frames);
  ASSERT_EQ(sf_write_short(out, signal.data(), frames), frames);
  sf_close(out);

  SF_INFO readInfo{};
  SNDFILE* in = sf_open(path.c_str(), SFM_READ, &readInfo);
  ASSERT_NE(in, nullptr);
  std::vector<int16_t> reference(static_cast<size_t>(frames));
  ASSERT_EQ(sf_read_short(in, reference.data(), frames), frames);
  sf_close(in);

  TWAVSample sample;
  int64_t wsmp = -1;
  {
    TFileStream stream(path);
    ASSERT_TRUE(LoadWAVSample(stream, sample, wsmp));
  }
  std::remove(path.c_str());
  EXPECT_EQ(sample.SampleRate, 22050);
  EXPECT_EQ(wsmp, 0);
  // Whole blocks are decoded: the last one is padded by the encoder.
  ASSERT_GE(sample.length, frames);
  int mismatches = 0;
  for (int i = 0; i < frames; ++i) {
    if (sample.Data[static_cast<size_t>(i)] * 32768.0f != reference[static_cast<size_t>(i)] && ++mismatches < 5)
      ADD_FAILURE() << "frame " << i << ": " << sample.Data[static_cast<size_t>(i)] * 32768.0f << " vs "
                    << reference[static_cast<size_t>(i)];
  }
  EXPECT_EQ(mismatches, 0);
}

// A short block, a nearly full block, and twenty blocks of 512 bytes.
INSTANTIATE_TEST_SUITE_P(WavReader, ImaReference, testing::Values(50, 1000, 20000));

// A file from an independent writer: 8-bit, an odd data chunk with its pad
// byte, a loop 1..3 (exclusive end, stored as last frame 2).
TEST(WavReader, ReadsAnEightBitFileWithLoopWrittenByLibsndfile) {
  const std::string path = std::string(KELVANE_BINARY_DIR) + "/wav_reader_u8_loop.wav";
  SF_INFO info{};
  info.samplerate = 8000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
  SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
  SF_INSTRUMENT instrument{};
  instrument.loop_count = 1;
  instrument.loops[0].mode = SF_LOOP_FORWARD;
  instrument.loops[0].start = 1;
  instrument.loops[0].end = 3;
  ASSERT_EQ(sf_command(out, SFC_SET_INSTRUMENT, &instrument, sizeof instrument), SF_TRUE);
  const int16_t frames[3] = {-32768, 0, 32512};  // bytes 0, 128, 255
  ASSERT_EQ(sf_write_short(out, frames, 3), 3);
  sf_close(out);

  TWAVSample sample;
  int64_t wsmp = -1;
  {
    TFileStream stream(path);
    ASSERT_TRUE(LoadWAVSample(stream, sample, wsmp));
  }
  std::remove(path.c_str());
  EXPECT_EQ(sample.SampleRate, 8000);
  ASSERT_EQ(sample.length, 3);
  EXPECT_FLOAT_EQ(sample.Data[0], -1.0f);
  EXPECT_FLOAT_EQ(sample.Data[1], 0.0f);
  EXPECT_FLOAT_EQ(sample.Data[2], 127.0f / 128);
  EXPECT_EQ(sample.Loop.LoopType, 1);
  EXPECT_EQ(sample.Loop.LoopStart, 1);
  EXPECT_EQ(sample.Loop.LoopEnd, 2);
  EXPECT_EQ(sample.SustainLoop.LoopType, 0);
}

// ---- Hostile sizes ------------------------------------------------------------

TEST(WavReader, DistrustsSizesFromTheFile) {
  struct TCase {
    const char* Name;
    TBytes File;
  };
  TChunk hugeData = Data16({1, 2});
  hugeData.SizeOverride = 0xFFFFFFFF;
  TChunk longData = Data16({1, 2});
  longData.SizeOverride = 5;  // one byte past the end
  TChunk hugeFmt = Fmt(1, 1, 16);
  hugeFmt.SizeOverride = 0xFFFFFFF0;
  TChunk shortFmt = Fmt(1, 1, 16);
  shortFmt.Bytes.resize(10);
  TChunk hugeIma = Data(ImaBlock(0, 0, {1, 2}));
  hugeIma.SizeOverride = 0x80000000;
  const TCase cases[] = {
      {"data size 4 GiB", Wave({Fmt(1, 1, 8), hugeData})},
      {"data one byte past the end", Wave({Fmt(1, 1, 8), longData})},
      {"fmt size hides the data", Wave({hugeFmt, Data16({1})})},
      {"fmt shorter than 16 bytes at the end", Wave({Data16({1}), shortFmt})},
      {"IMA data size 2 GiB", Wave({Fmt(0x11, 1, 4), hugeIma})},
      {"header only", Wave({})},
      {"empty", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TResult r = Load(c.File);
    EXPECT_FALSE(r.Ok);
    ExpectCleared(r.Sample);
  }
}

TEST(WavReader, EveryTruncationFailsCleanly) {
  // Data last, so each shorter file loses part of what the reader needs.
  const std::vector<TBytes> files = {
      Wave({Fmt(1, 2, 24), Smpl({{0, 1, 2}, {0, 3, 4}}), {"wsmp", TBytes(20, 0)}, Data(TBytes(60, 0x55))}),
      Wave({Fmt(0x55, 1, 0), Fmt(1, 1, 16, 8000, 0, "pcm "), Data16({1, 2, 3})}),
      Wave({Fmt(0x11, 1, 4, 8000, 8), Data(TBytes(21, 0x3C))}),
  };
  for (const TBytes& full : files) {
    ASSERT_TRUE(Load(full).Ok);
    for (size_t length = 0; length < full.size(); ++length) {
      SCOPED_TRACE(length);
      const TResult r = Load(TBytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
      EXPECT_FALSE(r.Ok);
      ExpectCleared(r.Sample);
    }
  }
}

TEST(WavReader, ReloadingClearsThePreviousSample) {
  TMemoryStream good(Wave({Fmt(1, 1, 16), Data16({1, 2, 3}), Smpl({{0, 0, 2}})}));
  TMemoryStream bad(Wave({Fmt(1, 1, 12), Data16({1})}));
  TWAVSample sample;
  int64_t wsmp = 7;
  ASSERT_TRUE(LoadWAVSample(good, sample, wsmp));
  EXPECT_EQ(sample.length, 3);
  EXPECT_FALSE(LoadWAVSample(bad, sample, wsmp));
  ExpectCleared(sample);
  EXPECT_EQ(wsmp, 0);
  ASSERT_TRUE(LoadWAVSample(good, sample, wsmp));
  ClearSampleEx(sample);
  ExpectCleared(sample);
}

TEST(WavReader, ByteOrderHelpers) {
  static_assert(SwapWordLittleEndian(0x1234) == 0x1234);
  static_assert(SwapDWordLittleEndian(0x12345678u) == 0x12345678u);
  static_assert(Swap16Big(0x1234) == 0x3412);
  static_assert(Swap32Big(0x12345678u) == 0x78563412u);
  static_assert(SwapDWordBigEndian(0x000000FFu) == 0xFF000000u);
  uint16_t words[2] = {0x1234, 0xABCD};
  uint32_t dwords[1] = {0x12345678u};
  SwapLittleEndianData16(words, 2);
  SwapLittleEndianData32(dwords, 1);
  EXPECT_EQ(words[1], 0xABCD);
  EXPECT_EQ(dwords[0], 0x12345678u);
}

}  // namespace
}  // namespace kelvane
