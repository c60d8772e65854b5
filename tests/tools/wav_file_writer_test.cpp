#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "tools/audio_file_writer.h"
#include "tools/bank_report.h"

namespace kelvane {
namespace {

std::filesystem::path WorkFile(const std::string& name) {
  const auto folder = std::filesystem::path(KELVANE_BINARY_DIR) / "wav_file_writer_test";
  std::filesystem::create_directories(folder);
  return folder / name;
}

// Written in two calls, read back by an independent reader: header fields,
// frame count, rounding and clipping.
TEST(WavFileWriter, LibsndfileReadsWhatWeWrite) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> first = {0.5f, -0.25f, 1.5f, -1.5f};
  const std::vector<float> second = {0.1f, nan, 1.0f, -1.0f, 0.0f, 0.75f};
  struct TCase {
    TOutputSampleFormat Format;
    int SubFormat;
    std::vector<double> Expected;  // in full-scale units as libsndfile's double reader normalises them
  };
  const double s16 = 32768.0, s24 = 8388608.0;
  const TCase cases[] = {
      {TOutputSampleFormat::osfS16, SF_FORMAT_PCM_16,
       {0.5, -0.25, 32767 / s16, -1.0, std::lrint(0.1 * s16) / s16, 0.0, 32767 / s16, -1.0, 0.0, 0.75}},
      {TOutputSampleFormat::osfS24, SF_FORMAT_PCM_24,
       {0.5, -0.25, 8388607 / s24, -1.0, std::lrint(static_cast<double>(0.1f) * s24) / s24, 0.0, 8388607 / s24, -1.0,
        0.0, 0.75}},
      {TOutputSampleFormat::osfF32, SF_FORMAT_FLOAT, {0.5, -0.25, 1.5, -1.5, 0.1f, nan, 1.0, -1.0, 0.0, 0.75}},
  };
  for (const TCase& c : cases) {
    const auto path = WorkFile("format" + std::to_string(c.SubFormat) + ".wav").string();
    auto writer = OpenWavFile(path, 22050, c.Format);
    writer->WriteFrames(first.data(), 2);
    writer->WriteFrames(second.data(), 3);
    writer->Finish();

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | c.SubFormat) << path;
    EXPECT_EQ(info.samplerate, 22050);
    EXPECT_EQ(info.channels, 2);
    ASSERT_EQ(info.frames, 5);
    std::vector<double> read(10);
    sf_command(file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    EXPECT_EQ(sf_readf_double(file, read.data(), 5), 5);
    sf_close(file);
    for (size_t i = 0; i < read.size(); i++) {
      if (std::isnan(c.Expected[i])) {
        EXPECT_TRUE(std::isnan(read[i])) << path << " sample " << i;
      } else {
        EXPECT_DOUBLE_EQ(read[i], c.Expected[i]) << path << " sample " << i;
      }
    }
  }
}

TEST(WavFileWriter, UnwritablePathNamesTheFile) {
  const auto path = WorkFile("no-such-folder/out.wav").string();
  try {
    OpenWavFile(path, 44100, TOutputSampleFormat::osfS16);
    FAIL() << "no error";
  } catch (const EToolError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace kelvane
