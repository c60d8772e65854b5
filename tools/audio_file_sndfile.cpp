// OpenAudioFile through libsndfile: WAV, FLAC and Ogg Vorbis.

#include <sndfile.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cctype>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "banks/file_path.h"
#include "tools/audio_file_writer.h"
#include "tools/bank_report.h"

namespace kelvane {

namespace {

// Float samples to 16-bit as the library converts them with clipping on:
// scaled by 2^31, rounded to the nearest (ties to even) and clipped to 32
// bits, then the top 16 bits; NaN becomes 0.
void FloatsToShorts(const float* From, int64_t Count, int16_t* To) {
  constexpr float Scale = 2147483648.0f;
  int64_t i = 0;
#if defined(__SSE2__)
  // The rounding mode is the default one, as for the library's conversion.
  const __m128 scale = _mm_set1_ps(Scale);
  const __m128 lo = _mm_set1_ps(-Scale), hi = _mm_set1_ps(2147483520.0f);  // hi: the float below 2^31
  auto top = [&](__m128 v) {
    v = _mm_mul_ps(v, scale);
    v = _mm_and_ps(_mm_min_ps(_mm_max_ps(v, lo), hi), _mm_cmpord_ps(v, v));
    return _mm_srai_epi32(_mm_cvtps_epi32(v), 16);
  };
  for (; i + 8 <= Count; i += 8) {
    const __m128i packed = _mm_packs_epi32(top(_mm_loadu_ps(From + i)), top(_mm_loadu_ps(From + i + 4)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(To + i), packed);
  }
#endif
  for (; i < Count; i++) {
    const float scaled = From[i] * Scale;
    if (scaled >= Scale) {
      To[i] = 32767;
    } else if (scaled <= -Scale) {
      To[i] = -32768;
    } else {
      To[i] = scaled == scaled ? static_cast<int16_t>(static_cast<int32_t>(std::lrint(scaled)) >> 16) : 0;
    }
  }
}

struct TSndFileCloser {
  void operator()(SNDFILE* File) const { sf_close(File); }
};

class TSndFileWriter final : public TAudioFileWriter {
 public:
  TSndFileWriter(std::string Path, SF_INFO Info)
      : fPath(std::move(Path)), fShorts(Info.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16)) {
    if (!sf_format_check(&Info)) throw EToolError(fPath + ": this sample format cannot be written in that container");
    fFile.reset(sf_open(fPath.c_str(), SFM_WRITE, &Info));
    if (!fFile) throw EToolError(fPath + ": cannot write (" + sf_strerror(nullptr) + ")");
    sf_command(fFile.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
  }

  // 16-bit WAV: converted here, which is faster than the library's float path
  // and gives the same samples; the library then only stores them.
  void WriteFrames(const float* Interleaved, int64_t Frames) override {
    sf_count_t written = 0;
    if (fShorts) {
      fShortBuffer.resize(static_cast<size_t>(2 * Frames));
      FloatsToShorts(Interleaved, 2 * Frames, fShortBuffer.data());
      written = sf_writef_short(fFile.get(), fShortBuffer.data(), Frames);
    } else {
      written = sf_writef_float(fFile.get(), Interleaved, Frames);
    }
    if (written != Frames) throw EToolError(fPath + ": write failed (" + sf_strerror(fFile.get()) + ")");
  }

  void Finish() override {
    if (sf_close(fFile.release()) != 0) throw EToolError(fPath + ": cannot finish the file");
  }

 private:
  std::string fPath;
  bool fShorts;
  std::vector<int16_t> fShortBuffer;
  std::unique_ptr<SNDFILE, TSndFileCloser> fFile;
};

}  // namespace

std::unique_ptr<TAudioFileWriter> OpenAudioFile(const std::string& Path, int32_t Rate, TOutputSampleFormat Format) {
  std::string ext = ExtensionOf(Path);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const int sampleFormat = Format == TOutputSampleFormat::osfS16   ? SF_FORMAT_PCM_16
                           : Format == TOutputSampleFormat::osfS24 ? SF_FORMAT_PCM_24
                                                                   : SF_FORMAT_FLOAT;
  SF_INFO info{};
  info.samplerate = Rate;
  info.channels = 2;
  if (ext == ".flac") {
    if (Format == TOutputSampleFormat::osfF32) throw EToolError(Path + ": FLAC cannot hold f32 samples; use s16 or s24");
    info.format = SF_FORMAT_FLAC | sampleFormat;
  } else if (ext == ".ogg" || ext == ".oga") {
    info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
  } else if (ext == ".wav" || ext.empty()) {
    info.format = SF_FORMAT_WAV | sampleFormat;
  } else {
    throw EToolError(Path + ": unknown output extension '" + ext + "' (use .wav, .flac or .ogg)");
  }
  return std::make_unique<TSndFileWriter>(Path, info);
}

}  // namespace kelvane
