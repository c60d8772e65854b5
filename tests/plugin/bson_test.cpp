#include "plugin/bson.h"

#include <bson/bson.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>

namespace kelvane {
namespace {

std::vector<TBSONToken> AllTokens(const std::vector<uint8_t>& bytes) {
  TBSONReader reader(bytes.data(), bytes.size());
  std::vector<TBSONToken> tokens;
  for (;;) {
    tokens.push_back(reader.Next());
    if (tokens.back().Kind == TBSONTokenKind::EndOfStream) return tokens;
  }
}

// Our encoder and libbson produce the same bytes for the same document.
TEST(BSONWriterTest, MatchesLibbsonByteForByte) {
  TBSONWriter w;
  w.String("name", "Grand \xC3\xA9t\xC3\xA9");
  w.Int32("voices", -7);
  w.Int64("big", int64_t{1} << 40);
  w.Double("volume", 0.1);
  w.Boolean("on", true);
  w.Boolean("off", false);
  w.Null("none");
  w.BeginArray("list");
  w.Double("ignored", 1.5);
  w.BeginDocument("");
  w.Int32("bank", 16384);
  w.End();
  w.BeginArray("");
  w.End();
  w.End();
  w.BeginDocument("empty");
  w.End();
  const std::vector<uint8_t> ours = w.Finish();

  bson_t theirs = BSON_INITIALIZER;
  BSON_APPEND_UTF8(&theirs, "name", "Grand \xC3\xA9t\xC3\xA9");
  BSON_APPEND_INT32(&theirs, "voices", -7);
  BSON_APPEND_INT64(&theirs, "big", int64_t{1} << 40);
  BSON_APPEND_DOUBLE(&theirs, "volume", 0.1);
  BSON_APPEND_BOOL(&theirs, "on", true);
  BSON_APPEND_BOOL(&theirs, "off", false);
  BSON_APPEND_NULL(&theirs, "none");
  bson_t list, entry, inner, empty;
  BSON_APPEND_ARRAY_BEGIN(&theirs, "list", &list);
  BSON_APPEND_DOUBLE(&list, "0", 1.5);
  BSON_APPEND_DOCUMENT_BEGIN(&list, "1", &entry);
  BSON_APPEND_INT32(&entry, "bank", 16384);
  bson_append_document_end(&list, &entry);
  BSON_APPEND_ARRAY_BEGIN(&list, "2", &inner);
  bson_append_array_end(&list, &inner);
  bson_append_array_end(&theirs, &list);
  BSON_APPEND_DOCUMENT_BEGIN(&theirs, "empty", &empty);
  bson_append_document_end(&theirs, &empty);

  ASSERT_EQ(ours.size(), theirs.len);
  EXPECT_EQ(0, std::memcmp(ours.data(), bson_get_data(&theirs), ours.size()));
  bson_destroy(&theirs);
}

// Every element type libbson can write is read (or skipped) with the right shape.
TEST(BSONReaderTest, ReadsEveryTypeLibbsonWrites) {
  bson_t doc = BSON_INITIALIZER;
  BSON_APPEND_DOUBLE(&doc, "d", -2.25);
  BSON_APPEND_UTF8(&doc, "s", "text");
  bson_t sub;
  BSON_APPEND_DOCUMENT_BEGIN(&doc, "doc", &sub);
  BSON_APPEND_INT32(&sub, "x", 1);
  bson_append_document_end(&doc, &sub);
  const uint8_t blob[3] = {1, 2, 3};
  BSON_APPEND_BINARY(&doc, "bin", BSON_SUBTYPE_BINARY, blob, 3);
  BSON_APPEND_UNDEFINED(&doc, "u");
  bson_oid_t oid;
  bson_oid_init_from_string(&oid, "0123456789abcdef01234567");
  BSON_APPEND_OID(&doc, "oid", &oid);
  BSON_APPEND_BOOL(&doc, "b", true);
  BSON_APPEND_DATE_TIME(&doc, "dt", 123456789);
  BSON_APPEND_NULL(&doc, "n");
  BSON_APPEND_REGEX(&doc, "re", "a+b", "i");
  BSON_APPEND_CODE(&doc, "js", "f()");
  BSON_APPEND_SYMBOL(&doc, "sym", "sy");
  bson_t scope = BSON_INITIALIZER;
  BSON_APPEND_INT32(&scope, "k", 2);
  BSON_APPEND_CODE_WITH_SCOPE(&doc, "jsw", "g()", &scope);
  BSON_APPEND_INT32(&doc, "i32", -5);
  BSON_APPEND_TIMESTAMP(&doc, "ts", 1, 2);
  BSON_APPEND_INT64(&doc, "i64", -(int64_t{1} << 50));
  bson_decimal128_t dec;
  bson_decimal128_from_string("1.5", &dec);
  BSON_APPEND_DECIMAL128(&doc, "dec", &dec);
  BSON_APPEND_MINKEY(&doc, "min");
  BSON_APPEND_MAXKEY(&doc, "max");
  const std::vector<uint8_t> bytes(bson_get_data(&doc), bson_get_data(&doc) + doc.len);
  bson_destroy(&scope);
  bson_destroy(&doc);

  const auto tokens = AllTokens(bytes);
  // Start, 19 keys each followed by a value (the document value takes 4 tokens), end, end of stream.
  ASSERT_EQ(tokens.size(), 1u + 19 * 2 + 3 + 1 + 1);
  EXPECT_EQ(tokens[0].Kind, TBSONTokenKind::StartDocument);
  EXPECT_EQ(tokens[1].Key, "d");
  EXPECT_EQ(tokens[2].Value.DoubleValue, -2.25);
  EXPECT_EQ(tokens[4].Value.Text, "text");
  EXPECT_EQ(tokens[6].Kind, TBSONTokenKind::StartDocument);
  EXPECT_EQ(tokens[8].Value.IntValue, 1);
  EXPECT_EQ(tokens[9].Kind, TBSONTokenKind::EndDocument);
  std::map<std::string, TBSONValue> values;
  for (size_t i = 10; i + 1 < tokens.size(); ++i)
    if (tokens[i].Kind == TBSONTokenKind::Key) values[tokens[i].Key] = tokens[i + 1].Value;
  EXPECT_EQ(values["bin"].Type, TBSONType::Binary);
  EXPECT_EQ(values["oid"].Type, TBSONType::ObjectId);
  EXPECT_TRUE(values["b"].BoolValue);
  EXPECT_EQ(values["dt"].IntValue, 123456789);
  EXPECT_EQ(values["n"].Type, TBSONType::Null);
  EXPECT_EQ(values["re"].Type, TBSONType::Regex);
  EXPECT_EQ(values["js"].Text, "f()");
  EXPECT_EQ(values["sym"].Text, "sy");
  EXPECT_EQ(values["jsw"].Type, TBSONType::JavaScriptWithScope);
  EXPECT_EQ(values["i32"].IntValue, -5);
  EXPECT_EQ(values["i64"].IntValue, -(int64_t{1} << 50));
  EXPECT_EQ(values["dec"].Type, TBSONType::Decimal128);
  EXPECT_EQ(values["min"].Type, TBSONType::MinKey);
  EXPECT_EQ(values["max"].Type, TBSONType::MaxKey);
  EXPECT_EQ(tokens[tokens.size() - 2].Kind, TBSONTokenKind::EndDocument);
}

TEST(BSONReaderTest, ArraysYieldElementsWithoutKeysAndDocumentsMayFollowEachOther) {
  TBSONWriter a;
  a.BeginArray("list");
  a.Int32("", 1);
  a.String("", "two");
  a.End();
  std::vector<uint8_t> bytes = a.Finish();
  TBSONWriter b;
  b.Boolean("x", false);
  const std::vector<uint8_t> second = b.Finish();
  bytes.insert(bytes.end(), second.begin(), second.end());

  const auto tokens = AllTokens(bytes);
  std::vector<TBSONTokenKind> kinds;
  for (const auto& t : tokens) kinds.push_back(t.Kind);
  using K = TBSONTokenKind;
  EXPECT_EQ(kinds, (std::vector<K>{K::StartDocument, K::Key, K::StartArray, K::Value, K::Value, K::EndArray,
                                   K::EndDocument, K::StartDocument, K::Key, K::Value, K::EndDocument,
                                   K::EndOfStream}));
  EXPECT_EQ(tokens[4].Value.Text, "two");
}

// Truncated or damaged bytes raise the corrupt-stream error (or read as some
// other valid document); they never read outside the buffer.
TEST(BSONReaderTest, DamagedBytesNeverReadOutOfBounds) {
  TBSONWriter w;
  w.String("name", "abc");
  w.BeginArray("a");
  w.Double("", 1.0);
  w.BeginDocument("");
  w.Int64("x", 5);
  w.End();
  w.End();
  w.Boolean("b", true);
  const std::vector<uint8_t> good = w.Finish();

  auto drain = [](const std::vector<uint8_t>& bytes) {
    // An exact-size heap copy lets AddressSanitizer see any overread.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    TBSONReader reader(copy.get(), bytes.size());
    try {
      for (int guard = 0; guard < 10000; ++guard)
        if (reader.Next().Kind == TBSONTokenKind::EndOfStream) return true;
      ADD_FAILURE() << "no end";
    } catch (const EKelvaneBSONError& e) {
      EXPECT_STREQ(e.what(), "Corrupt BSON stream");
    }
    return false;
  };
  EXPECT_TRUE(drain(good));
  for (size_t length = 1; length < good.size(); ++length)
    EXPECT_FALSE(drain(std::vector<uint8_t>(good.begin(), good.begin() + length))) << length;

  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bad = good;
    bad[random() % bad.size()] = static_cast<uint8_t>(random());
    drain(bad);
  }
  // A length that claims more than the buffer, and one below the minimum.
  EXPECT_FALSE(drain({0xFF, 0xFF, 0xFF, 0x7F, 0}));
  EXPECT_FALSE(drain({4, 0, 0, 0}));
  // An unknown element type.
  EXPECT_FALSE(drain({8, 0, 0, 0, 0x42, 'k', 0, 0}));
}

struct TConversionCase {
  TBSONValue Value;
  int32_t Integer;
  double Number;
  bool Boolean;
  std::string Text;
};

TBSONValue Make(TBSONType type, double d, int64_t i, bool b, std::string s) {
  TBSONValue v;
  v.Type = type;
  v.DoubleValue = d;
  v.IntValue = i;
  v.BoolValue = b;
  v.Text = std::move(s);
  return v;
}

TEST(BSONValueTest, ScalarConversions) {
  const TConversionCase cases[] = {
      {Make(TBSONType::Int32, 0, 42, false, ""), 42, 42.0, true, "42"},
      {Make(TBSONType::Int64, 0, -3, false, ""), -3, -3.0, true, "-3"},
      {Make(TBSONType::Double, 2.5, 0, false, ""), 2, 2.5, true, "2.5"},
      {Make(TBSONType::Double, -0.0, 0, false, ""), 0, -0.0, false, "-0"},
      {Make(TBSONType::Boolean, 0, 0, true, ""), 1, 1.0, true, "true"},
      {Make(TBSONType::String, 0, 0, false, " 12 "), 12, 12.0, true, " 12 "},
      {Make(TBSONType::String, 0, 0, false, "FALSE"), 0, 0, false, "FALSE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    if (c.Value.Type == TBSONType::String && c.Text == "FALSE") {
      EXPECT_THROW(c.Value.AsInteger(), EKelvaneConvertError);
      EXPECT_THROW(c.Value.AsDouble(), EKelvaneConvertError);
    } else {
      EXPECT_EQ(c.Value.AsInteger(), c.Integer);
      EXPECT_EQ(c.Value.AsDouble(), c.Number);
    }
    EXPECT_EQ(c.Value.AsBoolean(), c.Boolean);
    EXPECT_EQ(c.Value.AsText(), c.Text);
  }
  EXPECT_THROW(Make(TBSONType::Int64, 0, int64_t{1} << 40, false, "").AsInteger(), EKelvaneConvertError);
  EXPECT_THROW(Make(TBSONType::Double, std::nan(""), 0, false, "").AsInteger(), EKelvaneConvertError);
  EXPECT_THROW(Make(TBSONType::String, 0, 0, false, "abc").AsBoolean(), EKelvaneConvertError);
  EXPECT_THROW(Make(TBSONType::Null, 0, 0, false, "").AsDouble(), EKelvaneConvertError);
  EXPECT_THROW(Make(TBSONType::Binary, 0, 0, false, "").AsText(), EKelvaneConvertError);
}

}  // namespace
}  // namespace kelvane
