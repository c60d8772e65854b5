#include "plugin/tuning_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

namespace kelvane {
namespace {

TEST(ConvertStringToDoubleTest, Table) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* Text;
    double Value;
  } cases[] = {
      {"701.955", 701.955},
      {"  \t-12.5e1 cents", -125.0},
      {"+3", 3.0},
      {"1e-3", 0.001},
      {"0.1", 0.1},
      {".5", 0.5},
      {"7.", 7.0},
      {"2/1", 2.0},
      {"0x1F", 31.0},
      {"-0x.8", -0.5},
      {"0b101.1", 5.5},
      {"0o17", 15.0},
      {"Infinity", inf},
      {"-Infinity", -inf},
      {"1e400", inf},
      {"1e-400", 0.0},
      {"3e", 3.0},
      // 60 significant digits: only the first 53 count.
      {"123456789012345678901234567890123456789012345678901234567890", 1.2345678901234568e59},
      {"NaN", nan},
      {"", nan},
      {"-", nan},
      {"abc", nan},
      {"infinity", nan},
      {"0x", nan},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    bool ok = true;
    const double v = ConvertStringToDouble(c.Text, &ok);
    if (std::isnan(c.Value)) {
      EXPECT_TRUE(std::isnan(v));
    } else {
      EXPECT_EQ(v, c.Value);
      EXPECT_TRUE(ok);
    }
  }
  bool ok = true;
  ConvertStringToDouble("x", &ok);
  EXPECT_FALSE(ok);
}

std::string ScalaText(std::initializer_list<const char*> degrees) {
  std::string text = "! comment line\nA test scale\n " + std::to_string(degrees.size()) + "\n!\n";
  for (const char* d : degrees) text += std::string(d) + "\n";
  return text;
}

TEST(TuningFileTest, ScalaScales) {
  // Twelve cents degrees: standard tuning.
  const TTuningTable equal = ParseTuningText(
      ScalaText({"100.0", "200.0", "300.0", "400.0", "500.0", "600.0", "700.0", "800.0", "900.0", "1000.0",
                 "1100.0", "1200.0"}),
      ".scl");
  for (int k = 0; k < 128; ++k) EXPECT_NEAR(equal[k], k, 1e-9) << k;

  // The same numbers without a decimal point are ratios.
  const TTuningTable ratios = ParseTuningText(ScalaText({"100", "1200"}), "scl");
  EXPECT_NEAR(ratios[1], 12 * std::log2(100.0), 1e-9);

  const TTuningTable octaves = ParseTuningText(ScalaText({"2/1"}), "SCL");
  for (int k = 0; k < 128; ++k) EXPECT_NEAR(octaves[k], 12.0 * k, 1e-6) << k;

  const TTuningTable fifths = ParseTuningText(ScalaText({"3/2", "2/1"}), ".scl");
  const double fifth = 12 * std::log2(1.5);  // 7.0196 semitones
  for (int k = 0; k < 128; ++k) EXPECT_NEAR(fifths[k], 12.0 * (k / 2) + (k % 2 ? fifth : 0.0), 1e-6) << k;

  // Trailing words after a value; a "!" anywhere hides the whole line; a zero denominator counts as 1.
  const TTuningTable mixed =
      ParseTuningText(ScalaText({"701.955 fifth", "3/2 fifth again", "5/4 ! third", "3/0", "2"}), ".scl");
  EXPECT_NEAR(mixed[1], 7.01955, 1e-9);
  EXPECT_NEAR(mixed[2], fifth, 1e-9);
  EXPECT_NEAR(mixed[3], 12 * std::log2(3.0), 1e-9);
  EXPECT_NEAR(mixed[4], 12.0, 1e-9);
  EXPECT_NEAR(mixed[5], 12.0 + 7.01955, 1e-9);
}

// Files as the published scale archive writes them: "!" comment lines, a
// description, the count, degrees in cents or ratios with trailing text.
TEST(TuningFileTest, ArchiveStyleScalaFiles) {
  const char* const pythagorean =
      "! pyth_12.scl\n"
      "!\n"
      "12-tone Pythagorean scale\n"
      " 12\n"
      "!\n"
      " 2187/2048\n 9/8\n 32/27\n 81/64\n 4/3\n 729/512\n 3/2\n 6561/4096\n 27/16\n 16/9\n"
      " 243/128\n 2/1\n";
  const TTuningTable pyth = ParseTuningText(pythagorean, ".scl");
  EXPECT_NEAR(pyth[7], 12 * std::log2(1.5), 1e-9);
  EXPECT_NEAR(pyth[4], 12 * std::log2(81.0 / 64.0), 1e-9);  // the ditonic third, 407.82 cents
  EXPECT_NEAR(pyth[69], 60 + 12 * std::log2(27.0 / 16.0), 1e-9);

  const char* const meantone =
      "! meanquar.scl\r\n"
      "!\r\n"
      "1/4-comma meantone scale. Pietro Aaron's temperament (1523)\r\n"
      " 12\r\n"
      "!\r\n"
      " 76.04900 C#\r\n 193.15686\r\n 310.26471\r\n 5/4 pure third\r\n 503.42157\r\n 579.47057\r\n"
      " 696.57843 fifth\r\n 772.62743\r\n 889.73529\r\n 1006.84314\r\n 1082.89214\r\n 2/1\r\n";
  const TTuningTable mean = ParseTuningText(meantone, ".scl");
  EXPECT_NEAR(mean[4], 12 * std::log2(1.25), 1e-9);
  EXPECT_NEAR(mean[7], 6.9657843, 1e-9);
  EXPECT_NEAR(mean[12 * 5 + 7], 60 + 6.9657843, 1e-9);
  for (double pitch : mean) EXPECT_TRUE(std::isfinite(pitch));
}

// Text that gives no pitch is refused with an error, never stored as NaN.
TEST(TuningFileTest, FilesThatGiveNoPitchAreRefused) {
  const struct {
    std::string Text;
    const char* Extension;
    const char* Message;  // part of the error
  } cases[] = {
      {"desc\n0\n", ".scl", "no degrees"},
      {ScalaText({"100.0", "abc"}), ".scl", "is no ratio"},
      {ScalaText({"0/1", "2/1"}), ".scl", "no positive ratio"},
      {ScalaText({"-3/2", "2/1"}), ".scl", "no positive ratio"},
      {ScalaText({"NaN.", "2/1"}), ".scl", "no number of cents"},
      {ScalaText({".x", "2/1"}), ".scl", "no number of cents"},
      {ScalaText({"Infinity", "2/1"}), ".scl", "is no ratio"},
      {ScalaText({"1.7e308"}), ".scl", "out of range"},
      {"60.5\nkey\n62\n", ".mtd", "no pitch"},
  };
  for (const auto& c : cases) {
    try {
      ParseTuningText(c.Text, c.Extension);
      ADD_FAILURE() << "accepted: " << c.Text;
    } catch (const EKelvaneTuningFileError& error) {
      EXPECT_NE(std::string(error.what()).find(c.Message), std::string::npos) << error.what();
    }
  }
  // Negative cents are a pitch below the unison, not an error.
  EXPECT_NEAR(ParseTuningText(ScalaText({"-50.0", "1200.0"}), ".scl")[1], -0.5, 1e-9);
}

TEST(TuningFileTest, PitchListsAndOtherExtensions) {
  std::string text = "! header\n";
  for (int i = 0; i < 60; ++i) text += "  " + std::to_string(i + 0.5) + " key\r\n";
  const TTuningTable list = ParseTuningText(text, ".MTD");
  for (int k = 0; k < 60; ++k) EXPECT_DOUBLE_EQ(list[k], k + 0.5) << k;
  for (int k = 60; k < 128; ++k) EXPECT_EQ(list[k], k) << k;
  const TTuningTable other = ParseTuningText(text, ".txt");
  for (int k = 0; k < 128; ++k) EXPECT_EQ(other[k], k);
}

TEST(TuningFileTest, TextEncodings) {
  const std::string utf8 = "\xEF\xBB\xBF" "1.5\n";
  EXPECT_EQ(DecodeTuningText(utf8), "1.5\n");
  const std::string utf16le("\xFF\xFE" "1\0.\0" "5\0\xE9\0", 10);
  EXPECT_EQ(DecodeTuningText(utf16le), "1.5\xC3\xA9");
  const std::string utf16be("\xFE\xFF\0" "2\xD8\x3D\xDE\x00", 8);
  EXPECT_EQ(DecodeTuningText(utf16be), "2\xF0\x9F\x98\x80");
}

TEST(TuningFileTest, LoadIntoAChannel) {
  const auto dir = std::filesystem::path(KELVANE_BINARY_DIR) / "tuning_file_test";
  std::filesystem::create_directories(dir);
  const auto file = dir / "Fifths.SCL";
  {
    std::ofstream out(file, std::ios::binary);
    out << "\xFF\xFE";
    for (char c : ScalaText({"3/2", "2/1"})) out << c << '\0';
  }
  TVSTiMIDIChannel channel;
  LoadChannelTuningFile(channel, file.string());
  EXPECT_EQ(channel.TuningTableName, "Fifths.SCL");
  EXPECT_TRUE(channel.HasFlag(mcfTuningTableActive));
  EXPECT_TRUE(channel.HasFlag(mcfEnforceBankAndProgram));
  EXPECT_NEAR(channel.TuningTable[3], 12 + 12 * std::log2(1.5), 1e-6);

  // An unreadable or unusable file leaves the channel as it was.
  const TVSTiMIDIChannel before = channel;
  EXPECT_THROW(LoadChannelTuningFile(channel, (dir / "missing.scl").string()), EKelvaneTuningFileError);
  EXPECT_THROW(LoadChannelTuningFile(channel, dir.string()), EKelvaneTuningFileError);
  const auto bad = dir / "bad.scl";
  std::ofstream(bad, std::ios::binary) << ScalaText({"100.0", "two/1"});
  try {
    LoadChannelTuningFile(channel, bad.string());
    ADD_FAILURE() << "accepted";
  } catch (const EKelvaneTuningFileError& error) {
    EXPECT_NE(std::string(error.what()).find("bad.scl"), std::string::npos) << error.what();
  }
  EXPECT_EQ(channel.TuningTable, before.TuningTable);
  EXPECT_EQ(channel.TuningTableName, before.TuningTableName);
}

}  // namespace
}  // namespace kelvane
