// The default modulators measured in rendered sound: a looped 441 Hz sine
// zone with the default set, played through TSynth::FillBuffer.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "channel_test_support.h"

namespace kelvane {
namespace {

using test::TChannelFixture;

constexpr int32_t Rate = 44100;
constexpr double SineHz = 441.0;  // 100-frame period at the sample's own rate, key 69

// ConcaveTable at an integer x from its definition.
double Concave(int32_t x) {
  if (x <= 0) return 0.0;
  if (x >= 127) return 1.0;
  return -(20.0 / 96.0) * std::log10(((127.0 - x) / 127.0) * ((127.0 - x) / 127.0));
}

class ModulationSound : public ::testing::Test {
 protected:
  void SetUp() override {
    TPresetLayer* zone = f.AddZone(f.AddPreset(0, 0), "sine");
    zone->SetGenerator(gen::sampleModes, 1);
    zone->AddDefaultModulators(true);
    zone->SetupLinkedModulators();
    f.Synth->Recache();
    f.CC(0, 91, 0);
    f.CC(0, 93, 0);
    f.NoteOn(0, 69, 127);
    Render(2048);
  }

  void Render(int32_t frames) {
    Out.assign(static_cast<size_t>(frames), TBufferSample{});
    f.Synth->FillBuffer(Out.data(), frames);
  }

  // RMS of each side over 1000 frames (ten periods), after 1024 frames for
  // the gain ramps to settle.
  void MeasureLevels(double& left, double& right) {
    Render(1024);
    Render(1000);
    double l = 0.0, r = 0.0;
    for (const TBufferSample& s : Out) {
      l += static_cast<double>(s.Left) * s.Left;
      r += static_cast<double>(s.Right) * s.Right;
    }
    left = std::sqrt(l / 1000.0);
    right = std::sqrt(r / 1000.0);
  }

  double LevelDb() {
    double l, r;
    MeasureLevels(l, r);
    return 20.0 * std::log10(std::sqrt(l * l + r * r));
  }

  // Frequency from the rising zero crossings of the left side, interpolated.
  double MeasureHz() {
    Render(1024);
    Render(16384);
    double first = -1.0, last = -1.0;
    int32_t crossings = 0;
    for (size_t i = 1; i < Out.size(); i++) {
      const double a = Out[i - 1].Left, b = Out[i].Left;
      if (a < 0.0 && b >= 0.0) {
        const double t = static_cast<double>(i - 1) + a / (a - b);
        if (first < 0.0) first = t;
        last = t;
        crossings++;
      }
    }
    return (crossings - 1) / (last - first) * Rate;
  }

  TChannelFixture f;
  std::vector<TBufferSample> Out;
};

TEST_F(ModulationSound, VolumeAndExpressionFollowTheConcaveCurve) {
  ASSERT_EQ(f.Synth->SampleRate, Rate);
  for (uint8_t controller : {7, 11}) {
    f.CC(0, controller, 127);
    const double reference = LevelDb();
    ASSERT_TRUE(std::isfinite(reference));
    for (uint8_t value : {100, 64, 32, 10, 127}) {
      f.CC(0, controller, value);
      // 960 cB * Concave(127 - value) of attenuation, 10 cB per dB.
      const double expected = -96.0 * Concave(127 - value);
      EXPECT_NEAR(LevelDb() - reference, expected, 0.02) << "controller " << int(controller) << " value " << int(value);
    }
  }
  // The two multiply: 64 on both is twice the attenuation of one.
  f.CC(0, 7, 127);
  f.CC(0, 11, 127);
  const double reference = LevelDb();
  f.CC(0, 7, 64);
  f.CC(0, 11, 64);
  EXPECT_NEAR(LevelDb() - reference, -2.0 * 96.0 * Concave(63), 0.02);
}

TEST_F(ModulationSound, PanFollowsTheSineLaw) {
  for (uint8_t value : {0, 16, 32, 64, 100, 127}) {
    f.CC(0, 10, value);
    double left, right;
    MeasureLevels(left, right);
    const double pan = 500.0 * (2.0 * value / 127.0 - 1.0);  // 0.1 %
    const double angle = (pan + 500.0) / 1000.0 * std::numbers::pi / 2.0;
    const double total = std::sqrt(left * left + right * right);
    EXPECT_NEAR(left / total, std::cos(angle), 1e-4) << int(value);
    EXPECT_NEAR(right / total, std::sin(angle), 1e-4) << int(value);
  }
}

struct TBendCase {
  int32_t Semitones, Cents;  // pitch-bend range through RPN 0
  int32_t Bend;              // 0..16383
};

TEST_F(ModulationSound, PitchWheelBendsBySensitivity) {
  const double centre = MeasureHz();
  EXPECT_NEAR(1200.0 * std::log2(centre / SineHz), 0.0, 0.5);
  const TBendCase cases[] = {{2, 0, 16383}, {2, 0, 0}, {12, 0, 12288}, {12, 0, 4096}, {0, 50, 16383}, {1, 64, 0}};
  for (const TBendCase& c : cases) {
    f.CC(0, 101, 0);
    f.CC(0, 100, 0);
    f.CC(0, 6, static_cast<uint8_t>(c.Semitones));
    f.CC(0, 38, static_cast<uint8_t>(c.Cents));
    f.Send(0, 0xE0, static_cast<uint8_t>(c.Bend & 127), static_cast<uint8_t>(c.Bend >> 7));
    const double sensitivity = c.Semitones + c.Cents / 100.0;
    const double expectedCents = 100.0 * sensitivity * (2.0 * c.Bend / 16384.0 - 1.0);
    const double cents = 1200.0 * std::log2(MeasureHz() / centre);
    EXPECT_NEAR(cents, expectedCents, 0.5) << c.Semitones << "." << c.Cents << " bend " << c.Bend;
  }
}

}  // namespace
}  // namespace kelvane
