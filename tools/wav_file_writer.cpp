#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "banks/file_path.h"
#include "tools/audio_file_writer.h"
#include "tools/bank_report.h"

namespace kelvane {

namespace {

constexpr int32_t Channels = 2;
constexpr uint16_t WaveFormatPCM = 1;
constexpr uint16_t WaveFormatIEEEFloat = 3;

void PutLE(std::vector<uint8_t>& Out, uint64_t Value, int Bytes) {
  for (int i = 0; i < Bytes; i++) Out.push_back(static_cast<uint8_t>(Value >> (8 * i)));
}

// Rounds to the nearest step and clips, as libsndfile does with clipping on.
int32_t ToInteger(float Value, double Scale, int32_t Min, int32_t Max) {
  if (!(Value == Value)) return 0;  // NaN
  const double scaled = static_cast<double>(Value) * Scale;
  if (scaled >= Max) return Max;
  if (scaled <= Min) return Min;
  return static_cast<int32_t>(std::lrint(scaled));
}

// Canonical 44-byte header for PCM; float adds the fact chunk WAV requires for
// non-PCM data. Sizes are patched in Finish.
class TWavFileWriter final : public TAudioFileWriter {
 public:
  TWavFileWriter(std::string Path, int32_t Rate, TOutputSampleFormat Format)
      : fPath(std::move(Path)), fFormat(Format) {
    fBytesPerSample = Format == TOutputSampleFormat::osfS16 ? 2 : Format == TOutputSampleFormat::osfS24 ? 3 : 4;
    fFile = OpenFile(fPath, TFileMode::Write);
    if (fFile == nullptr) throw EToolError(fPath + ": cannot write");
    std::vector<uint8_t> header;
    const bool isFloat = Format == TOutputSampleFormat::osfF32;
    header.insert(header.end(), {'R', 'I', 'F', 'F'});
    PutLE(header, 0, 4);
    header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLE(header, isFloat ? 18 : 16, 4);
    PutLE(header, isFloat ? WaveFormatIEEEFloat : WaveFormatPCM, 2);
    PutLE(header, Channels, 2);
    PutLE(header, static_cast<uint32_t>(Rate), 4);
    PutLE(header, static_cast<uint32_t>(Rate) * Channels * fBytesPerSample, 4);
    PutLE(header, Channels * fBytesPerSample, 2);
    PutLE(header, 8 * fBytesPerSample, 2);
    if (isFloat) {
      PutLE(header, 0, 2);  // cbSize
      header.insert(header.end(), {'f', 'a', 'c', 't'});
      PutLE(header, 4, 4);
      fFactOffset = static_cast<long>(header.size());
      PutLE(header, 0, 4);
    }
    header.insert(header.end(), {'d', 'a', 't', 'a'});
    fDataSizeOffset = static_cast<long>(header.size());
    PutLE(header, 0, 4);
    fHeaderSize = header.size();
    Put(header);
  }

  ~TWavFileWriter() override {
    if (fFile != nullptr) std::fclose(fFile);
  }

  void WriteFrames(const float* Interleaved, int64_t Frames) override {
    fBuffer.clear();
    const int64_t count = Frames * Channels;
    for (int64_t i = 0; i < count; i++) {
      const float value = Interleaved[i];
      switch (fFormat) {
        case TOutputSampleFormat::osfS16:
          PutLE(fBuffer, static_cast<uint32_t>(ToInteger(value, 32768.0, -32768, 32767)), 2);
          break;
        case TOutputSampleFormat::osfS24:
          PutLE(fBuffer, static_cast<uint32_t>(ToInteger(value, 8388608.0, -8388608, 8388607)), 3);
          break;
        case TOutputSampleFormat::osfF32: {
          uint32_t bits;
          static_assert(sizeof(bits) == sizeof(value));
          std::memcpy(&bits, &value, sizeof(bits));
          PutLE(fBuffer, bits, 4);
          break;
        }
      }
    }
    Put(fBuffer);
    fFrames += Frames;
  }

  void Finish() override {
    const uint64_t dataBytes = static_cast<uint64_t>(fFrames) * Channels * static_cast<uint64_t>(fBytesPerSample);
    // RIFF sizes are 32-bit; an odd data size gets a pad byte.
    if (fHeaderSize + dataBytes + 1 > UINT32_MAX) throw EToolError(fPath + ": too long for a WAV file");
    if (dataBytes % 2 != 0) Put(std::vector<uint8_t>{0});
    const uint64_t riffSize = fHeaderSize - 8 + dataBytes + dataBytes % 2;
    Patch(4, riffSize);
    Patch(fDataSizeOffset, dataBytes);
    if (fFactOffset != 0) Patch(fFactOffset, static_cast<uint64_t>(fFrames));
    const int closed = std::fclose(fFile);
    fFile = nullptr;
    if (closed != 0 || fFailed) throw EToolError(fPath + ": write failed");
  }

 private:
  void Put(const std::vector<uint8_t>& Bytes) {
    if (!Bytes.empty() && std::fwrite(Bytes.data(), 1, Bytes.size(), fFile) != Bytes.size()) {
      throw EToolError(fPath + ": write failed");
    }
  }
  void Patch(long Offset, uint64_t Value) {
    std::vector<uint8_t> bytes;
    PutLE(bytes, Value, 4);
    if (std::fseek(fFile, Offset, SEEK_SET) != 0 || std::fwrite(bytes.data(), 1, 4, fFile) != 4) fFailed = true;
  }

  std::string fPath;
  TOutputSampleFormat fFormat;
  int fBytesPerSample = 2;
  std::FILE* fFile = nullptr;
  std::vector<uint8_t> fBuffer;
  size_t fHeaderSize = 0;
  long fDataSizeOffset = 0;
  long fFactOffset = 0;
  int64_t fFrames = 0;
  bool fFailed = false;
};

}  // namespace

std::unique_ptr<TAudioFileWriter> OpenWavFile(const std::string& Path, int32_t Rate, TOutputSampleFormat Format) {
  return std::make_unique<TWavFileWriter>(Path, Rate, Format);
}

}  // namespace kelvane
