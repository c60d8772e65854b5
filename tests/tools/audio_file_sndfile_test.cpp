#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tools/audio_file_writer.h"

namespace kelvane {
namespace {

std::filesystem::path WorkFile(const std::string& name) {
  const auto folder = std::filesystem::path(KELVANE_BINARY_DIR) / "audio_file_sndfile_test";
  std::filesystem::create_directories(folder);
  return folder / name;
}

std::vector<int16_t> ReadShorts(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return {};
  std::vector<int16_t> shorts(static_cast<size_t>(info.frames * info.channels));
  sf_readf_short(file, shorts.data(), info.frames);
  sf_close(file);
  return shorts;
}

// 16-bit WAV converts floats itself: the samples must be the ones the
// library's own float conversion (clipping on) writes. Rounding edges, tiny
// values of either sign, full scale and beyond, in blocks that end off the
// vector width.
TEST(SndFileWriter, SixteenBitWavEqualsTheLibrarysConversion) {
  std::vector<float> values = {0.0f, -0.0f, 1.0f, -1.0f, 0.99999994f, -0.99999994f, 1.5f, -1.5f,
                               std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                               -5.9e-9f, 1.0e-30f, -1.0e-30f};
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int32_t> step(-32768, 32767);
  for (int32_t i = 0; i < 40000; i++) {
    const double scales[] = {1e-9, 1e-5, 1e-3, 0.3, 1.0, 1.3};
    values.push_back(static_cast<float>(unit(random) * scales[i % 6]));
    // Near the steps of 16 and of 32 bits, where rounding decides.
    const double edge = step(random) + 0.5 * (i % 3 - 1) + 1e-5 * (i % 5 - 2);
    values.push_back(static_cast<float>(edge / 32768.0));
  }
  if (values.size() % 2 != 0) values.push_back(0.25f);
  const int64_t frames = static_cast<int64_t>(values.size() / 2);
  const int64_t firstBlock = 1021;  // frames in the first call; odd, so the second starts off the width

  const std::string ours = WorkFile("ours.wav").string();
  auto writer = OpenAudioFile(ours, 44100, TOutputSampleFormat::osfS16);
  writer->WriteFrames(values.data(), firstBlock);
  writer->WriteFrames(values.data() + 2 * firstBlock, frames - firstBlock);
  writer->Finish();

  const std::string library = WorkFile("library.wav").string();
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(library.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  ASSERT_EQ(sf_writef_float(file, values.data(), frames), frames);
  sf_close(file);

  const std::vector<int16_t> expected = ReadShorts(library);
  const std::vector<int16_t> written = ReadShorts(ours);
  ASSERT_EQ(written.size(), values.size());
  ASSERT_EQ(expected.size(), values.size());
  int32_t mismatches = 0;
  for (size_t i = 0; i < values.size(); i++) {
    if (written[i] == expected[i]) continue;
    if (++mismatches <= 5) ADD_FAILURE() << "sample " << i << " (" << values[i] << "): " << written[i] << ", library " << expected[i];
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace kelvane
