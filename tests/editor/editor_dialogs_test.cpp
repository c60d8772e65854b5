#ifdef KELVANE_HAVE_EDITOR_WINDOW

#include "editor/window/editor_dialogs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "editor/editor_model.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

TEST(FileDialog, FiltersFollowTheDialogsFilterStrings) {
  const std::vector<TFileFilter> banks = ParseFileFilter(AddBankFilter);
  ASSERT_EQ(banks.size(), 5u);
  EXPECT_EQ(banks[0].Description, "Sound banks (*.sf2;*.sfx)");
  const std::vector<TFileFilter> tunings = ParseFileFilter(ImportTuningFilter);
  ASSERT_EQ(tunings.size(), 4u);
  struct TCase {
    const TFileFilter& Filter;
    const char* Name;
    bool Matches;
  } cases[] = {
      {banks[0], "TimGM6mb.sf2", true},  {banks[0], "X.SFX", true},       {banks[0], "a.dls", false},
      {banks[0], "sf2", false},          {banks[1], "gm.DLS", true},      {banks[4], "readme", true},
      {tunings[0], "a.scl", true},       {tunings[0], "a.mtd", true},     {tunings[1], "a.mtd", false},
      {tunings[3], "anything.x", true},  {tunings[0], "a.scl.bak", false},
  };
  for (const TCase& c : cases) EXPECT_EQ(FileFilterMatches(c.Filter, c.Name), c.Matches) << c.Name;
  // A filter without a pattern part still lets the user see every file.
  EXPECT_TRUE(FileFilterMatches(ParseFileFilter("")[0], "x.y"));
}

TEST(FileDialog, ListsFoldersAndMatchingFilesAndChecksTheChosenPath) {
  const fs::path dir = fs::path(KELVANE_BINARY_DIR) / "file-dialog-test";
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "b.scl") << "x";
  std::ofstream(dir / "a.mtd") << "x";
  std::ofstream(dir / "c.txt") << "x";
  std::ofstream(dir / "noext.scl") << "x";

  TFileDialog dialog;
  dialog.Show("Import tuning scale", ImportTuningFilter, ImportTuningDefaultExt, TFileDialog::TMode::Open,
              dir.string());
  EXPECT_EQ(dialog.Entries(), (std::vector<std::string>{"../", "sub/", "a.mtd", "b.scl", "noext.scl"}));

  struct TCase {
    std::string Typed;
    bool Ok;
    std::string Path;  // relative to dir
  } cases[] = {
      {"b.scl", true, "b.scl"},
      {"noext", true, "noext.scl"},  // the default extension
      {(dir / "a.mtd").string(), true, "a.mtd"},
      {"missing.scl", false, ""},
      {"sub", false, ""},  // a folder is no file
      {"", false, ""},
  };
  for (const TCase& c : cases) {
    std::string path, error;
    EXPECT_EQ(dialog.Resolve(c.Typed, path, error), c.Ok) << c.Typed;
    if (c.Ok) {
      EXPECT_EQ(fs::path(path), dir / c.Path);
    }
    EXPECT_EQ(error.empty(), c.Ok) << c.Typed;
  }

  // Saving: the file may be new, its folder must exist.
  dialog.Show("Save crash report", SaveReportFilter, SaveReportDefaultExt, TFileDialog::TMode::Save, dir.string());
  std::string path, error;
  EXPECT_TRUE(dialog.Resolve("report", path, error));
  EXPECT_EQ(fs::path(path), dir / "report.txt");
  EXPECT_FALSE(dialog.Resolve("nofolder/report.txt", path, error));
  EXPECT_NE(error.find("does not exist"), std::string::npos);
}

// At a root the other roots (the other drives on Windows) head the list, and a
// click on one goes there; below a root, "../" heads it.
TEST(FileDialog, ARootListsTheOtherRoots) {
  const fs::path dir = fs::path(KELVANE_BINARY_DIR) / "file-dialog-roots";
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  const std::string otherRoot = dir.string() + "/";

  TFileDialog dialog;
  dialog.ListRoots = [&] { return std::vector<std::string>{"/", otherRoot}; };
  dialog.Show("Import tuning scale", ImportTuningFilter, ImportTuningDefaultExt, TFileDialog::TMode::Open, "/");
  ASSERT_FALSE(dialog.Entries().empty());
  EXPECT_EQ(dialog.Entries().front(), otherRoot);
  EXPECT_EQ(std::count(dialog.Entries().begin(), dialog.Entries().end(), "/"), 0);  // not its own root

  dialog.OpenFolder(otherRoot);
  EXPECT_EQ(dialog.Entries(), (std::vector<std::string>{"../", "sub/"}));
  dialog.OpenFolder("sub/");
  EXPECT_EQ(dialog.Entries(), (std::vector<std::string>{"../"}));
}

}  // namespace
}  // namespace kelvane

#endif
