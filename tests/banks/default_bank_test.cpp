#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "banks/default_bank.h"
#include "sf2_builder.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

class TFakePlaces : public TDefaultBankPlaces {
 public:
  std::string CurrentDirectory() override { return Current; }
  std::string ExecutableDirectory() override { return Executable; }
  std::optional<std::string> Environment(const std::string& name) override {
    const auto found = Variables.find(name);
    return found == Variables.end() ? std::nullopt : std::optional<std::string>(found->second);
  }
  bool FileExists(const std::string& path) override { return Existing.count(path) != 0; }

  std::string Current = "/work/song";
  std::string Executable = "/opt/player/bin";
  std::map<std::string, std::string> Variables = {{"HOME", "/home/ann"}};
  std::set<std::string> Existing;
};

// A one-preset bank file the search can attach.
void WriteLeadBank(const std::filesystem::path& path) {
  test::Sf2Builder bank;
  bank.sample("sine", std::vector<int16_t>(64, 1000));
  bank.instrument("Lead").zone().sampleId(0);
  bank.preset("Lead", 0, 0).zone().instrument(0);
  const auto bytes = bank.build();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

TEST(DefaultBank, CandidatesInSearchOrder) {
  TFakePlaces places;
  places.Variables["KELVANE_DEFAULT_BANK"] = "/banks/mine.sf2";
  places.Variables["XDG_DATA_DIRS"] = "/opt/share::/usr/share/";
  const auto candidates = DefaultBankCandidates(places);

  const std::vector<std::string> head = {
      "/work/song/gm.dls",
      "/work/song/gm.sf2",
      "/opt/player/bin/gm.dls",
      "/opt/player/bin/gm.sf2",
      "/banks/mine.sf2",
      "/home/ann/.local/share/sounds/sf2/default-GM.sf2",
  };
  ASSERT_GE(candidates.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), candidates.begin()));

  auto index = [&](const std::string& path) {
    return std::find(candidates.begin(), candidates.end(), path) - candidates.begin();
  };
  const auto count = static_cast<ptrdiff_t>(candidates.size());
  // The user's folders, then the configured system folders, then the fixed Debian paths.
  EXPECT_LT(index("/home/ann/.local/share/soundfonts/FluidR3_GM.sf2"), index("/opt/share/sounds/sf2/default-GM.sf2"));
  EXPECT_LT(index("/opt/share/soundfonts/default.sf2"), index("/usr/share/sounds/sf2/default-GM.sf2"));
  EXPECT_LT(index("/usr/share/sounds/sf2/default-GM.sf2"), index("/usr/share/sounds/sf2/FluidR3_GM.sf2"));
  EXPECT_LT(index("/usr/share/sounds/sf2/FluidR3_GM.sf2"), index("/usr/share/sounds/sf2/TimGM6mb.sf2"));
  // Other distributions' places are in the list.
  for (const char* path : {"/usr/share/soundfonts/FluidR3_GM.sf2", "/usr/share/soundfonts/default.sf2",
                           "/usr/local/share/sounds/sf2/FluidR3_GM.sf2"}) {
    EXPECT_LT(index(path), count) << path;
  }
  // No place twice ("/usr/share/" of XDG_DATA_DIRS is the fixed "/usr/share").
  const std::set<std::string> unique(candidates.begin(), candidates.end());
  EXPECT_EQ(unique.size(), candidates.size());
}

TEST(DefaultBank, UserFolderFollowsXDGDataHomeAndUnsetPlacesAreLeftOut) {
  TFakePlaces places;
  places.Variables = {{"XDG_DATA_HOME", "/data/ann"}, {"KELVANE_DEFAULT_BANK", ""}};
  places.Current.clear();
  places.Executable.clear();
  const auto candidates = DefaultBankCandidates(places);
  ASSERT_FALSE(candidates.empty());
  EXPECT_EQ(candidates.front(), "/data/ann/sounds/sf2/default-GM.sf2");
  for (const auto& path : candidates) EXPECT_EQ(path.front(), '/') << path;  // nothing relative, nothing empty
}

TEST(DefaultBank, FirstExistingCandidateWins) {
  struct TCase {
    std::set<std::string> Existing;
    std::string Expected;
  };
  const TCase cases[] = {
      {{"/opt/player/bin/gm.sf2", "/usr/share/sounds/sf2/default-GM.sf2"}, "/opt/player/bin/gm.sf2"},
      {{"/opt/player/bin/gm.sf2", "/work/song/gm.dls"}, "/work/song/gm.dls"},
      {{"/banks/mine.sf2", "/home/ann/.local/share/sounds/sf2/TimGM6mb.sf2"}, "/banks/mine.sf2"},
      {{"/usr/share/sounds/sf2/TimGM6mb.sf2", "/usr/share/sounds/sf2/FluidR3_GM.sf2"},
       "/usr/share/sounds/sf2/FluidR3_GM.sf2"},
      {{"/usr/share/soundfonts/FluidR3_GM.sf2"}, "/usr/share/soundfonts/FluidR3_GM.sf2"},
      {{}, ""},
  };
  for (const TCase& c : cases) {
    TFakePlaces places;
    places.Variables["KELVANE_DEFAULT_BANK"] = "/banks/mine.sf2";
    places.Existing = c.Existing;
    EXPECT_EQ(FindDefaultBank(places), c.Expected);
  }
}

TEST(DefaultBank, LoadReportsFalseWithoutABank) {
  TSynth synth;
  TFakePlaces places;
  EXPECT_FALSE(synth.LoadDefaultSoundFont(true, places));

  // A candidate that exists but is no bank.
  const std::filesystem::path folder = std::filesystem::path(KELVANE_BINARY_DIR) / "default_bank_test";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "gm.dls") << "not a bank";
  places.Current = folder.string();
  places.Existing.insert((folder / "gm.dls").string());
  EXPECT_FALSE(synth.LoadDefaultSoundFont(true, places));
  EXPECT_EQ(synth.AttachedSoundFonts.Count(), 0);
}

TEST(DefaultBank, AttachesTheFirstExistingBank) {
  const std::filesystem::path folder = std::filesystem::path(KELVANE_BINARY_DIR) / "default_bank_attach_test";
  std::filesystem::create_directories(folder);
  WriteLeadBank(folder / "gm.sf2");

  TFakePlaces places;
  places.Executable = folder.string();  // gm.sf2 next to the program, no gm.dls before it
  places.Existing = {(folder / "gm.sf2").string(), "/usr/share/sounds/sf2/default-GM.sf2"};
  TSynth synth;
  EXPECT_TRUE(synth.LoadDefaultSoundFont(true, places));
  EXPECT_EQ(synth.AttachedSoundFonts.Count(), 1);
}

// A Windows machine as the search sees it, with a registry of one value.
class TFakeWindowsPlaces : public TWindowsDefaultBankPlaces {
 public:
  std::string CurrentDirectory() override { return Current; }
  std::string ExecutableDirectory() override { return Executable; }
  bool FileExists(const std::string& path) override { return Existing.count(path) != 0; }
  std::string WindowsDirectory() override { return Windows; }
  std::string SystemDirectory() override { return System; }
  std::optional<std::string> DirectMusicGMFilePath() override { return GMFilePath; }

  std::string Current = "D:\\Songs";
  std::string Executable = "C:\\Program Files\\Host\\";
  std::string Windows = "C:\\WINDOWS";
  std::string System = "C:\\WINDOWS\\system32";
  std::optional<std::string> GMFilePath = "%SystemRoot%\\system32\\drivers\\etc\\gm.dls";
  std::set<std::string> Existing;
};

TEST(DefaultBank, WindowsRulesInOrder) {
  TFakeWindowsPlaces places;
  const std::vector<std::string> expected = {
      "gm.dls",
      "D:\\Songs\\gm.dls",
      "D:\\Songs\\gm.sf2",
      "C:\\Program Files\\Host\\gm.dls",
      "C:\\Program Files\\Host\\gm.sf2",
      "C:\\WINDOWS\\system32\\drivers\\etc\\gm.dls",
      "C:\\WINDOWS\\system32\\drivers\\gm.dls",
      "C:\\WINDOWS\\system32\\drivers\\gm.sf2",
  };
  EXPECT_EQ(places.Candidates(), expected);
  // A registry without the value leaves its rule out; a directory given
  // without its final separator still gets one.
  places.GMFilePath.reset();
  places.Executable = "C:\\Host";
  auto candidates = places.Candidates();
  ASSERT_EQ(candidates.size(), 7u);
  EXPECT_EQ(candidates[3], "C:\\Host\\gm.dls");
  EXPECT_EQ(candidates[5], "C:\\WINDOWS\\system32\\drivers\\gm.dls");
}

TEST(DefaultBank, WindowsFirstExistingCandidateWins) {
  struct TCase {
    std::set<std::string> Existing;
    std::string Expected;
  };
  const TCase cases[] = {
      // gm.sf2 next to the host and no gm.dls before it.
      {{"C:\\Program Files\\Host\\gm.sf2", "C:\\WINDOWS\\system32\\drivers\\gm.dls"},
       "C:\\Program Files\\Host\\gm.sf2"},
      {{"gm.dls", "D:\\Songs\\gm.dls"}, "gm.dls"},
      {{"D:\\Songs\\gm.sf2", "C:\\Program Files\\Host\\gm.dls"}, "D:\\Songs\\gm.sf2"},
      {{"C:\\WINDOWS\\system32\\drivers\\etc\\gm.dls", "C:\\WINDOWS\\system32\\drivers\\gm.dls"},
       "C:\\WINDOWS\\system32\\drivers\\etc\\gm.dls"},
      {{"C:\\WINDOWS\\system32\\drivers\\gm.sf2"}, "C:\\WINDOWS\\system32\\drivers\\gm.sf2"},
      {{"/usr/share/sounds/sf2/FluidR3_GM.sf2"}, ""},  // the Linux places are not searched
      {{}, ""},
  };
  for (const TCase& c : cases) {
    TFakeWindowsPlaces places;
    places.Existing = c.Existing;
    EXPECT_EQ(FindDefaultBank(places), c.Expected);
  }
}

TEST(DefaultBank, WindowsRegistryPlaceholders) {
  struct TCase {
    const char* Value;
    const char* Expected;
  };
  const TCase cases[] = {
      {"%SystemRoot%\\system32\\drivers\\gm.dls", "D:\\WINNT\\system32\\drivers\\gm.dls"},
      {"%windir%\\gm.sf2", "D:\\WINNT\\gm.sf2"},
      {"%SYSTEMDRIVE%\\Banks\\gm.dls", "D:\\Banks\\gm.dls"},
      {"%SystemDirectory%\\drivers\\gm.dls", "D:\\WINNT\\System32\\drivers\\gm.dls"},
      {"E:\\Banks\\gm.dls", "E:\\Banks\\gm.dls"},
      {"%SYSTEMROOT%;%systemroot%", "D:\\WINNT;D:\\WINNT"},  // every occurrence
      // Each placeholder applies to the result of the one before it.
      {"%SystemRoot%%SystemDrive%", "D:\\WINNTD:"},
      // Only the placeholder's own text is replaced, wherever it stands.
      {"X%WINDIR%\\gm.dls", "XD:\\WINNT\\gm.dls"},
      {"%SystemRoot", "%SystemRoot"},
      {"", ""},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ExpandGMFilePath(c.Value, "D:\\WINNT", "D:\\WINNT\\System32"), c.Expected) << c.Value;
  }
}

TEST(DefaultBank, WindowsRulesAttachTheRegistryBank) {
  const std::filesystem::path folder = std::filesystem::path(KELVANE_BINARY_DIR) / "default_bank_windows_test";
  std::filesystem::create_directories(folder);
  WriteLeadBank(folder / "bank.sf2");
  std::ofstream(folder / "text.sf2") << "not a bank";

  TFakeWindowsPlaces places;
  places.Windows = folder.string();
  places.GMFilePath = "%WinDir%/bank.sf2";
  places.Existing = {(folder / "bank.sf2").string()};
  TSynth synth;
  EXPECT_TRUE(synth.LoadDefaultSoundFont(true, places));
  EXPECT_EQ(synth.AttachedSoundFonts.Count(), 1);

  TSynth other;
  places.GMFilePath = "%WinDir%/text.sf2";
  places.Existing = {(folder / "text.sf2").string()};
  EXPECT_FALSE(other.LoadDefaultSoundFont(true, places));
  EXPECT_EQ(other.AttachedSoundFonts.Count(), 0);
}

TEST(DefaultBank, SystemPlaces) {
  TSystemDefaultBankPlaces places;
  EXPECT_FALSE(places.ExecutableDirectory().empty());
  EXPECT_TRUE(std::filesystem::is_directory(places.ExecutableDirectory()));
  EXPECT_EQ(places.CurrentDirectory(), std::filesystem::current_path().string());
  ::setenv("KELVANE_TEST_VARIABLE", "value", 1);
  EXPECT_EQ(places.Environment("KELVANE_TEST_VARIABLE"), "value");
  ::unsetenv("KELVANE_TEST_VARIABLE");
  EXPECT_EQ(places.Environment("KELVANE_TEST_VARIABLE"), std::nullopt);
  EXPECT_FALSE(places.FileExists(places.ExecutableDirectory()));  // a directory is no bank file
  EXPECT_FALSE(places.FileExists(""));
}

}  // namespace
}  // namespace kelvane
