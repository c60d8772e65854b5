#include "banks/wav_reader.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace kelvane {

namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return U16(p) | (static_cast<uint32_t>(U16(p + 2)) << 16); }
int32_t S32(const uint8_t* p) { return static_cast<int32_t>(U32(p)); }

bool IdIs(const uint8_t* id, const char* name) { return std::memcmp(id, name, 4) == 0; }

// "fmt " and "fmt\0" (and likewise "pcm ") are both met in the wild.
bool IdIs3(const uint8_t* id, const char* name) {
  return std::memcmp(id, name, 3) == 0 && (id[3] == ' ' || id[3] == 0);
}

constexpr uint16_t FormatPCM = 1;
constexpr uint16_t FormatFloat = 3;
constexpr uint16_t FormatIMAADPCM = 0x11;
constexpr uint16_t FormatExtensible = 0xFFFE;

struct TWaveFormat {
  uint16_t FormatTag = 0;
  uint16_t Channels = 0;
  uint32_t SampleRate = 0;
  uint32_t ByteRate = 0;
  uint16_t BlockAlign = 0;
  uint16_t BitsPerSample = 0;

  static TWaveFormat FromBytes(const uint8_t* p) {
    return {U16(p), U16(p + 2), U32(p + 4), U32(p + 8), U16(p + 12), U16(p + 14)};
  }
};

constexpr int16_t IMAStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int8_t IMAIndexTable[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// Frames held by one IMA ADPCM block of size bytes: the header's sample, then
// two 4-bit codes per byte.
int64_t IMABlockFrames(int64_t size) { return (size - 4) * 2 + 1; }

// Decodes one block (4-byte header: s16 predictor, step index, reserved) into
// out, which holds IMABlockFrames(size) values.
void DecodeIMABlock(const uint8_t* block, int64_t size, float* out) {
  int32_t predictor = static_cast<int16_t>(U16(block));
  int32_t index = block[2] > 88 ? 88 : block[2];  // a corrupt index would read past the table
  *out++ = static_cast<float>(predictor) / 32768.0f;
  for (int64_t i = 4; i < size; ++i) {
    for (int shift = 0; shift <= 4; shift += 4) {  // low nibble first
      const int code = (block[i] >> shift) & 0xF;
      const int32_t step = IMAStepTable[index];
      int32_t d = step >> 3;
      if (code & 1) d += step >> 2;
      if (code & 2) d += step >> 1;
      if (code & 4) d += step;
      if (code & 8) d = -d;
      predictor += d;
      if (predictor > 32767) predictor = 32767;
      if (predictor < -32768) predictor = -32768;
      *out++ = static_cast<float>(predictor) / 32768.0f;
      index += IMAIndexTable[code & 7];
      if (index < 0) index = 0;
      if (index > 88) index = 88;
    }
  }
}

// A data chunk no larger than one block (or no block size given) is one
// block; otherwise whole blocks of blockAlign bytes, the last one possibly
// shorter. A tail shorter than a block header holds no frame. -1: no frames.
int64_t IMAFrames(int64_t dataSize, int64_t blockAlign) {
  if (blockAlign == 0 || dataSize <= blockAlign) return dataSize < 4 ? -1 : IMABlockFrames(dataSize);
  if (blockAlign < 4) return -1;
  const int64_t tail = dataSize % blockAlign;
  return (dataSize / blockAlign) * IMABlockFrames(blockAlign) + (tail >= 4 ? IMABlockFrames(tail) : 0);
}

void DecodeIMA(const std::vector<uint8_t>& bytes, int64_t blockAlign, float* out) {
  const int64_t size = static_cast<int64_t>(bytes.size());
  if (blockAlign == 0 || size <= blockAlign) blockAlign = size;
  for (int64_t at = 0; at + 4 <= size; at += blockAlign) {
    const int64_t blockSize = size - at < blockAlign ? size - at : blockAlign;
    DecodeIMABlock(bytes.data() + at, blockSize, out);
    out += IMABlockFrames(blockSize);
  }
}

float DecodePCMValue(const uint8_t* p, int bits, bool isFloat) {
  switch (bits) {
    case 8:
      return (static_cast<float>(p[0]) - 128.0f) / 128.0f;
    case 16:
      return static_cast<float>(static_cast<int16_t>(U16(p))) / 32768.0f;
    case 24: {
      const uint32_t v = (static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                         (static_cast<uint32_t>(p[2]) << 24);
      return static_cast<float>(static_cast<int32_t>(v)) / 2147483648.0f;
    }
    default:
      if (isFloat) {
        float f;
        const uint32_t v = U32(p);
        std::memcpy(&f, &v, 4);
        return std::isfinite(f) ? f : 0.0f;  // NaN or infinity would poison the mix
      }
      return static_cast<float>(S32(p)) / 2147483648.0f;
  }
}

// Loop record type: 0 forward, 1 alternating, 2 backward in the file.
TSampleLoop ParseLoop(const uint8_t* record) {
  TSampleLoop loop;
  const uint32_t type = U32(record + 4);
  loop.LoopType = type == 1 ? 2 : type == 2 ? 3 : 1;
  loop.LoopStart = S32(record + 8);
  loop.LoopEnd = S32(record + 12);
  if (loop.LoopStart >= loop.LoopEnd) loop.LoopType = 0;
  return loop;
}

bool ReadLoops(TStream& stream, int64_t smplPosition, TWAVSample& sample) {
  uint8_t header[8 + 36];
  stream.Seek(smplPosition);
  if (!stream.TryRead(header, sizeof header)) return false;
  const uint32_t count = U32(header + 8 + 28);
  if (count == 0) return true;
  uint8_t records[2][24];
  const int64_t wanted = count > 1 ? 2 : 1;
  if (!stream.TryRead(records, 24 * wanted)) return false;
  if (count > 1) {
    sample.SustainLoop = ParseLoop(records[0]);
    sample.Loop = ParseLoop(records[1]);
  } else {
    sample.Loop = ParseLoop(records[0]);
  }
  return true;
}

bool Decode(TStream& stream, TWAVSample& sample, int64_t& WSMPPosition) {
  const int64_t streamSize = stream.Size();
  uint8_t header[12];
  stream.Seek(0);
  if (!stream.TryRead(header, 12)) return false;
  if (!(IdIs(header, "RIFF") || IdIs(header, "LIST")) || !(IdIs(header + 8, "WAVE") || IdIs(header + 8, "wave")))
    return false;

  TWaveFormat primary, secondary;
  bool havePrimary = false, haveSecondary = false;
  int64_t dataPosition = -1, smplPosition = -1;
  int64_t position = 12;
  while (position + 8 < streamSize) {
    uint8_t chunk[8];
    stream.Seek(position);
    if (!stream.TryRead(chunk, 8)) return false;
    const int64_t size = U32(chunk + 4);
    int64_t next = position + 8 + size;  // DLS wave pools write no pad byte
    if (IdIs3(chunk, "fmt") || IdIs3(chunk, "pcm")) {
      const bool isFmt = chunk[0] == 'f';
      if (!(isFmt ? havePrimary : haveSecondary)) {
        uint8_t f[16];
        if (!stream.TryRead(f, 16)) return false;
        (isFmt ? primary : secondary) = TWaveFormat::FromBytes(f);
        (isFmt ? havePrimary : haveSecondary) = true;
      }
    } else if (IdIs(chunk, "data")) {
      if (dataPosition < 0) dataPosition = position;
    } else if (IdIs(chunk, "smpl")) {
      if (smplPosition < 0) smplPosition = position;
    } else if (IdIs(chunk, "wsmp")) {
      WSMPPosition = position;
    }
    // RIFF files do pad odd chunks: a zero byte cannot start a chunk
    // identifier, so it is taken as padding.
    if ((size & 1) && next < streamSize) {
      uint8_t pad = 1;
      stream.Seek(next);
      if (stream.TryRead(&pad, 1) && pad == 0) ++next;
    }
    position = next;
  }

  TWaveFormat format = primary;  // tag 0 without a "fmt " chunk, even when "pcm " came
  if (havePrimary && haveSecondary && primary.FormatTag != FormatPCM && primary.FormatTag != FormatFloat)
    format = secondary;

  const uint16_t tag = format.FormatTag;
  const int bits = format.BitsPerSample;
  const int channels = format.Channels;
  const bool isIMA = tag == FormatIMAADPCM;
  if (isIMA) {
    if (channels != 1 || bits != 4) return false;
  } else {
    if (tag != FormatPCM && tag != FormatFloat && tag != FormatExtensible) return false;
    if (channels != 1 && channels != 2) return false;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  }
  if (dataPosition < 0) return false;

  uint8_t dataHeader[8];
  stream.Seek(dataPosition);
  if (!stream.TryRead(dataHeader, 8)) return false;
  const int64_t dataSize = U32(dataHeader + 4);
  if (dataSize > streamSize - (dataPosition + 8)) return false;  // checked before allocating

  const int frameBytes = (bits / 8) * channels;
  const int64_t frames = isIMA ? IMAFrames(dataSize, format.BlockAlign) : dataSize / frameBytes;
  if (frames < 0 || frames > std::numeric_limits<int32_t>::max()) return false;

  std::vector<uint8_t> bytes(static_cast<size_t>(dataSize));
  if (dataSize > 0 && !stream.TryRead(bytes.data(), dataSize)) return false;

  if (smplPosition >= 0 && !ReadLoops(stream, smplPosition, sample)) return false;

  sample.Data.resize(static_cast<size_t>(frames));
  if (isIMA) {
    DecodeIMA(bytes, format.BlockAlign, sample.Data.data());
  } else {
    const bool isFloat = tag == FormatFloat;  // extensible 32-bit is taken as integer PCM
    const int valueBytes = bits / 8;
    for (int64_t i = 0; i < frames; ++i) {
      const uint8_t* p = bytes.data() + i * frameBytes;
      float v = DecodePCMValue(p, bits, isFloat);
      if (channels == 2) v = (v + DecodePCMValue(p + valueBytes, bits, isFloat)) * 0.5f;
      sample.Data[static_cast<size_t>(i)] = v;
    }
  }
  sample.length = static_cast<int32_t>(frames);
  sample.SampleRate = static_cast<int32_t>(format.SampleRate);
  return true;
}

}  // namespace

void ClearSample(TWAVSample& sample) {
  sample.length = 0;
  sample.SampleRate = 0;
  sample.Loop = {};
  sample.SustainLoop = {};
  sample.Data.clear();
  sample.Data.shrink_to_fit();
}

void ClearSampleEx(TWAVSample& sample) { ClearSample(sample); }

bool LoadWAVSample(TStream& stream, TWAVSample& sample, int64_t& WSMPPosition) {
  WSMPPosition = 0;
  ClearSample(sample);
  bool ok = false;
  try {
    ok = Decode(stream, sample, WSMPPosition);
  } catch (const EKelvaneStreamError&) {
    ok = false;  // a file stream that fails to seek counts as a short read
  }
  if (!ok) ClearSample(sample);
  return ok;
}

}  // namespace kelvane
