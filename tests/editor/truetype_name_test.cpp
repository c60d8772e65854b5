#include "editor/truetype_name.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kelvane {
namespace {

struct TNameRecord {
  uint16_t Platform, Encoding, Language, NameID;
  std::u16string Text;
};

void Put16(std::vector<unsigned char>& out, uint32_t v) {
  out.push_back(static_cast<unsigned char>(v >> 8));
  out.push_back(static_cast<unsigned char>(v));
}
void Put32(std::vector<unsigned char>& out, uint32_t v) {
  Put16(out, v >> 16);
  Put16(out, v & 0xFFFF);
}

// An sfnt with a "head" placeholder table and a "name" table holding records.
std::vector<unsigned char> Font(const std::vector<TNameRecord>& records) {
  std::vector<unsigned char> name;
  Put16(name, 0);
  Put16(name, static_cast<uint32_t>(records.size()));
  Put16(name, static_cast<uint32_t>(6 + 12 * records.size()));
  std::vector<unsigned char> strings;
  for (const auto& r : records) {
    for (uint32_t v : {r.Platform, r.Encoding, r.Language, r.NameID}) Put16(name, v);
    Put16(name, static_cast<uint32_t>(r.Text.size() * 2));
    Put16(name, static_cast<uint32_t>(strings.size()));
    for (char16_t c : r.Text) Put16(strings, c);
  }
  name.insert(name.end(), strings.begin(), strings.end());

  std::vector<unsigned char> font;
  Put32(font, 0x00010000);
  Put16(font, 2);
  for (int i = 0; i < 3; ++i) Put16(font, 0);
  const uint32_t headOffset = 12 + 2 * 16, nameOffset = headOffset + 4;
  Put32(font, 0x68656164);  // "head"
  Put32(font, 0);
  Put32(font, headOffset);
  Put32(font, 4);
  Put32(font, 0x6E616D65);  // "name"
  Put32(font, 0);
  Put32(font, nameOffset);
  Put32(font, static_cast<uint32_t>(name.size()));
  Put32(font, 0);
  font.insert(font.end(), name.begin(), name.end());
  return font;
}

TEST(TrueTypeName, PicksTheWindowsUnicodeRecordOfTheLanguage) {
  const auto font = Font({{1, 0, 0, 4, u"Mac name"},
                          {3, 1, 1031, 4, u"German name"},
                          {3, 1, 1033, 1, u"Family"},
                          {3, 1, 1033, 4, u"Caf\u00E9 \u2190 \U0001F3B9"}});
  EXPECT_EQ(ReadTrueTypeName(font.data(), font.size()), "Caf\xC3\xA9 \xE2\x86\x90 \xF0\x9F\x8E\xB9");
  EXPECT_EQ(ReadTrueTypeName(font.data(), font.size(), 1), "Family");
  EXPECT_EQ(ReadTrueTypeName(font.data(), font.size(), 4, 1031), "German name");
  EXPECT_EQ(ReadTrueTypeName(font.data(), font.size(), 6), "");  // no such record
}

TEST(TrueTypeName, MalformedFilesGiveNoName) {
  const auto font = Font({{3, 1, 1033, 4, u"Full name"}});
  // Every truncation: the name appears only once its text is whole.
  for (size_t size = 0; size < font.size(); ++size)
    EXPECT_EQ(ReadTrueTypeName(font.data(), size), "") << size;
  EXPECT_EQ(ReadTrueTypeName(nullptr, 100), "");

  auto far = font;  // the record's text offset points past the end
  far[12 + 2 * 16 + 4 + 6 + 10] = 0x7F;
  EXPECT_EQ(ReadTrueTypeName(far.data(), far.size()), "");
  auto many = font;  // no "name" table, and a table count reaching past the file
  many[5] = 0xFF;
  many[12 + 16] = 'x';
  EXPECT_EQ(ReadTrueTypeName(many.data(), many.size()), "");
}

TEST(TrueTypeName, EditorFontCarriesItsFullName) {
  std::ifstream in("/usr/share/fonts/truetype/dejavu/DejaVuSansCondensed.ttf", std::ios::binary);
  if (!in) GTEST_SKIP() << "fonts-dejavu-extra is not installed";
  const std::vector<unsigned char> font((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(ReadTrueTypeName(font.data(), font.size()), "DejaVu Sans Condensed");
}

}  // namespace
}  // namespace kelvane
