// UTF-8 paths: the UTF-8 <-> UTF-16 conversion the Windows file calls get,
// the name helpers, and opening by a non-ASCII path.

#include "banks/file_path.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "banks/stream.h"

namespace kelvane {
namespace {

TEST(Utf8Conversion, ValidTextRoundTrips) {
  const struct {
    const char* Utf8;
    std::u16string Utf16;
  } cases[] = {
      {"", u""},
      {"gm.sf2", u"gm.sf2"},
      {"Kl\xC3\xA4nge", u"Kl\u00E4nge"},                         // two bytes
      {"\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},              // three bytes
      {"\xF0\x9F\x8E\xB9", u"\U0001F3B9"},                        // four bytes: a surrogate pair
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},                        // the last code point
      {"\xEF\xBF\xBD\xEE\x80\x80", u"\uFFFD\uE000"},              // just above the surrogates
      {"\xED\x9F\xBF", u"\uD7FF"},                                // just below them
      {"\xC2\x80\xDF\xBF\xE0\xA0\x80", u"\u0080\u07FF\u0800"},    // shortest forms at each length
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Utf8);
    EXPECT_EQ(Utf16FromUtf8(c.Utf8), c.Utf16);
    EXPECT_EQ(Utf8FromUtf16(c.Utf16), c.Utf8);
  }
}

TEST(Utf8Conversion, InvalidUtf8IsRefused) {
  const char* cases[] = {
      "\x80",                  // stray continuation byte
      "a\xBF",                 //
      "\xC3",                  // cut two-byte sequence
      "\xE6\x97",              // cut three-byte sequence
      "\xF0\x9F\x8E",          // cut four-byte sequence
      "\xC3(",                 // lead byte followed by no continuation
      "\xC0\xAF",              // overlong '/'
      "\xC1\xBF",              //
      "\xE0\x80\xAF",          // overlong at three bytes
      "\xF0\x80\x80\xAF",      // overlong at four bytes
      "\xED\xA0\x80",          // encoded high surrogate
      "\xED\xBF\xBF",          // encoded low surrogate
      "\xED\xA0\xBD\xED\xBE\xB9",  // a surrogate pair encoded as two sequences (CESU-8)
      "\xF4\x90\x80\x80",      // beyond U+10FFFF
      "\xF8\x88\x80\x80\x80",  // five-byte form
      "\xFE",
      "\xFF",
  };
  for (const char* c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c)));
    EXPECT_EQ(Utf16FromUtf8(c), std::nullopt);
    EXPECT_EQ(Utf16FromUtf8(std::string("ok/") + c + "/ok"), std::nullopt);
  }
}

TEST(Utf8Conversion, UnpairedSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf8FromUtf16(u"a\xD800z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(Utf8FromUtf16(u"\xDC00"), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8FromUtf16(std::u16string(u"\xD83C")), "\xEF\xBF\xBD");  // cut pair at the end
  EXPECT_EQ(Utf8FromUtf16(u"\xDF79\xD83C"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // pair in the wrong order
}

TEST(FilePathNames, FileNameAndExtensionOfUtf8Paths) {
  const struct {
    const char* Path;
    const char* Name;
    const char* Extension;
  } cases[] = {
      {"Kl\xC3\xA4nge/\xE6\x97\xA5\xE6\x9C\xAC/Lied.mid", "Lied.mid", ".mid"},
      {"/a.b/c", "c", ""},
      {"tune.SCL", "tune.SCL", ".SCL"},
      {"dir/.hidden", ".hidden", ""},
      {"dir/archive.tar.gz", "archive.tar.gz", ".gz"},
      {"dir/trailing.", "trailing.", "."},
      {"dir/", "", ""},
      {"..", "..", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(FileNameOf(c.Path), c.Name);
    EXPECT_EQ(ExtensionOf(c.Path), c.Extension);
  }
}

TEST(FilePathNames, InvalidNameMessageShowsTheBadBytes) {
  EXPECT_EQ(InvalidFileNameMessage("Kl\xC3\xA4nge/\xFF\xC3.sf2"),
            "The file name \"Kl\xC3\xA4nge/\\xFF\\xC3.sf2\" is not valid UTF-8");
}

TEST(FilePathOpen, NonAsciiPathIsWrittenAndReadBack) {
  const std::filesystem::path dir =
      std::filesystem::path(testing::TempDir()) / "kelvane-file-path-test" / "Kl\xC3\xA4nge" / "\xE6\x97\xA5\xE6\x9C\xAC";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "bank.sf2").string();

  std::FILE* out = OpenFile(path, TFileMode::Write);
  ASSERT_NE(out, nullptr);
  std::fputs("abc", out);
  std::fclose(out);
  out = OpenFile(path, TFileMode::Append);
  ASSERT_NE(out, nullptr);
  std::fputs("de", out);
  std::fclose(out);

  TFileStream stream(path);
  EXPECT_EQ(stream.Size(), 5);
  char bytes[5];
  stream.ReadExact(bytes, 5);
  EXPECT_EQ(std::string(bytes, 5), "abcde");
  EXPECT_TRUE(std::filesystem::is_regular_file(FileSystemPath(path)));

  errno = 0;
  EXPECT_EQ(OpenFile((dir / "missing").string(), TFileMode::Read), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_THROW(TFileStream((dir / "missing").string()), EKelvaneStreamError);
  std::filesystem::remove_all(dir.parent_path().parent_path());
}

}  // namespace
}  // namespace kelvane
