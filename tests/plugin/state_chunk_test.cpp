#include "plugin/state_chunk.h"

#include <bson/bson.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>

#include "plugin/bson.h"

namespace kelvane {
namespace {

// A program with every field away from its default.
TVSTiProgram SampleProgram() {
  TVSTiProgram p;
  p.Name = "Stage \xC3\xA9";
  p.Skin = "dark";
  p.Parameters[1] = 0.5f;
  TVSTiData& d = p.Data;
  d.Voices = 256;
  d.Volume = 0.75f;
  d.Balance = -0.25f;
  d.CoarseTuning = -2;
  d.FineTuning = 13;
  d.ResamplingMethod = 7;
  d.ResamplingInterpolationMode = 2;
  d.AGC = SwitchOn;
  d.ResampleLoopWrapping = SwitchOff;
  d.GeneralMIDIMode = 2;
  d.VoiceAllocationAlgorithm = 1;
  d.EMU10K1Mode = SwitchOff;
  d.Chorus = SwitchOff;
  d.Reverb = SwitchOff;
  d.MultiThreaded = SwitchOff;
  d.SkinnedUserInterface = SwitchOff;
  d.IgnoreSampleLinks = SwitchOn;
  d.LowerVolumeByMinus6dB = SwitchOn;
  auto& first = *p.Banks.emplace_back(std::make_unique<TBank>());
  first.FileName = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
  first.ActiveAllBankPrograms = SwitchOn;
  auto& second = *p.Banks.emplace_back(std::make_unique<TBank>());
  second.FileName = "drums.sf2";
  second.ActiveBankProgramBitmap->Set(0, 0, true);
  second.ActiveBankProgramBitmap->Set(0, 127, true);
  second.ActiveBankProgramBitmap->Set(PercussionBank, 25, true);
  p.MIDIChannels[0].BankIndex = 0;
  p.MIDIChannels[0].ProgramIndex = 19;
  p.MIDIChannels[9].BankIndex = PercussionBank;
  p.MIDIChannels[9].ProgramIndex = 0;
  p.MIDIChannels[9].Flags = 0;
  p.MIDIChannels[3].TuningTableName = "just.scl";
  p.MIDIChannels[3].SetFlag(mcfTuningTableActive, true);
  for (size_t k = 0; k < 128; ++k) p.MIDIChannels[3].TuningTable[k] = k + 0.0196 * static_cast<double>(k % 12);
  return p;
}

void ExpectSameProgram(const TVSTiProgram& a, const TVSTiProgram& b) {
  EXPECT_EQ(a.Name, b.Name);
  EXPECT_EQ(a.Skin, b.Skin);
  EXPECT_EQ(a.Parameters[1], b.Parameters[1]);
  EXPECT_EQ(0, std::memcmp(&a.Data, &b.Data, sizeof(TVSTiData)));
  ASSERT_EQ(a.Banks.size(), b.Banks.size());
  for (size_t i = 0; i < a.Banks.size(); ++i) {
    EXPECT_EQ(a.Banks[i]->FileName, b.Banks[i]->FileName);
    EXPECT_EQ(a.Banks[i]->ActiveAllBankPrograms, b.Banks[i]->ActiveAllBankPrograms);
    EXPECT_EQ(a.Banks[i]->ActiveBankProgramBitmap->Words, b.Banks[i]->ActiveBankProgramBitmap->Words);
  }
  for (size_t c = 0; c < 16; ++c) {
    SCOPED_TRACE(c);
    const auto& x = a.MIDIChannels[c];
    const auto& y = b.MIDIChannels[c];
    EXPECT_EQ(x.BankIndex, y.BankIndex);
    EXPECT_EQ(x.ProgramIndex, y.ProgramIndex);
    EXPECT_EQ(x.Flags & ~mcfHasNewBankOrProgram, y.Flags & ~mcfHasNewBankOrProgram);
    EXPECT_EQ(x.TuningTableName, y.TuningTableName);
    EXPECT_EQ(x.TuningTable, y.TuningTable);
  }
}

bson_t* Parse(const std::vector<uint8_t>& bytes) {
  bson_t* doc = bson_new_from_data(bytes.data(), bytes.size());
  EXPECT_NE(doc, nullptr);
  return doc;
}

TEST(StateChunkTest, RoundTripReproducesTheProgramExceptTheVelocityCutoffSwitch) {
  for (bool isPreset : {false, true}) {
    SCOPED_TRACE(isPreset);
    const TVSTiProgram saved = SampleProgram();
    const std::vector<uint8_t> chunk = WriteProgramChunk(saved, isPreset);
    TVSTiProgram loaded;
    loaded.Data.ModulateVelocityToFilterCutOff = SwitchOff;
    ReadProgramChunk(chunk.data(), chunk.size(), isPreset, loaded);
    EXPECT_EQ(loaded.Data.ModulateVelocityToFilterCutOff, SwitchOff);
    loaded.Data.ModulateVelocityToFilterCutOff = saved.Data.ModulateVelocityToFilterCutOff;
    ExpectSameProgram(saved, loaded);
    // Set assignments ask to be sent at the next block.
    EXPECT_TRUE(loaded.MIDIChannels[0].HasFlag(mcfHasNewBankOrProgram));
    EXPECT_TRUE(loaded.MIDIChannels[9].HasFlag(mcfHasNewBankOrProgram));
    EXPECT_FALSE(loaded.MIDIChannels[1].HasFlag(mcfHasNewBankOrProgram));
  }
}

// What we write, libbson reads as the documented layout: keys in order, types, values.
TEST(StateChunkTest, LibbsonReadsTheDocumentedLayout) {
  const TVSTiProgram program = SampleProgram();
  bson_t* root = Parse(WriteProgramChunk(program, false));
  ASSERT_NE(root, nullptr);
  size_t offset = 0;
  EXPECT_TRUE(bson_validate(root, BSON_VALIDATE_UTF8, &offset));
  bson_iter_t it, programs, doc;
  ASSERT_TRUE(bson_iter_init(&it, root));
  ASSERT_TRUE(bson_iter_next(&it));
  EXPECT_STREQ(bson_iter_key(&it), "programs");
  ASSERT_TRUE(BSON_ITER_HOLDS_ARRAY(&it));
  EXPECT_FALSE(bson_iter_next(&it));  // exactly one root element
  ASSERT_TRUE(bson_iter_init_find(&it, root, "programs"));
  ASSERT_TRUE(bson_iter_recurse(&it, &programs));
  ASSERT_TRUE(bson_iter_next(&programs));
  ASSERT_TRUE(bson_iter_recurse(&programs, &doc));
  EXPECT_FALSE(bson_iter_next(&programs));

  const std::pair<const char*, bson_type_t> layout[] = {
      {"name", BSON_TYPE_UTF8}, {"skin", BSON_TYPE_UTF8}, {"voices", BSON_TYPE_INT32},
      {"volume", BSON_TYPE_DOUBLE}, {"balance", BSON_TYPE_DOUBLE}, {"coarsetuning", BSON_TYPE_INT32},
      {"finetuning", BSON_TYPE_INT32}, {"resamplingmethod", BSON_TYPE_INT32},
      {"resamplinginterpolationmode", BSON_TYPE_INT32}, {"agc", BSON_TYPE_BOOL},
      {"resampleloopwrapping", BSON_TYPE_BOOL}, {"generalmidimode", BSON_TYPE_INT32},
      {"voiceallocationalgorithm", BSON_TYPE_INT32}, {"emu10k1mode", BSON_TYPE_BOOL},
      {"chorus", BSON_TYPE_BOOL}, {"reverb", BSON_TYPE_BOOL}, {"multithreaded", BSON_TYPE_BOOL},
      {"skinneduserinterface", BSON_TYPE_BOOL}, {"ignoresamplelinks", BSON_TYPE_BOOL},
      {"lowervolumebyminus6db", BSON_TYPE_BOOL}, {"parameters", BSON_TYPE_ARRAY}, {"banks", BSON_TYPE_ARRAY},
      {"midichannels", BSON_TYPE_ARRAY}};
  for (const auto& [key, type] : layout) {
    ASSERT_TRUE(bson_iter_next(&doc)) << key;
    EXPECT_STREQ(bson_iter_key(&doc), key);
    EXPECT_EQ(bson_iter_type(&doc), type) << key;
  }
  EXPECT_FALSE(bson_iter_next(&doc));

  bson_iter_t field;
  auto find = [&](const char* path) {
    bson_iter_t top;
    return bson_iter_init(&top, root) && bson_iter_find_descendant(&top, path, &field);
  };
  ASSERT_TRUE(find("programs.0.name"));
  EXPECT_STREQ(bson_iter_utf8(&field, nullptr), program.Name.c_str());
  ASSERT_TRUE(find("programs.0.volume"));
  EXPECT_EQ(bson_iter_double(&field), 0.75);
  ASSERT_TRUE(find("programs.0.banks.1.activebankprograms.2.bank"));
  EXPECT_EQ(bson_iter_int32(&field), PercussionBank);
  ASSERT_TRUE(find("programs.0.midichannels.3.tuningtable.127"));
  EXPECT_DOUBLE_EQ(bson_iter_double(&field), 127 + 0.0196 * 7);
  // All-zero tables are written as null.
  ASSERT_TRUE(find("programs.0.midichannels.0.tuningtable"));
  EXPECT_TRUE(BSON_ITER_HOLDS_NULL(&field));
  // Every preset enabled and no bit set: an empty array.
  ASSERT_TRUE(find("programs.0.banks.0.activebankprograms"));
  bson_iter_t entries;
  ASSERT_TRUE(bson_iter_recurse(&field, &entries));
  EXPECT_FALSE(bson_iter_next(&entries));
  bson_destroy(root);
}

// What libbson writes, we read: a single-program chunk with values as a peer might store them.
TEST(StateChunkTest, ReadsAChunkWrittenByLibbson) {
  bson_t root = BSON_INITIALIZER;
  bson_t program, parameters, banks, bank, active, entry, channels, channel, table;
  BSON_APPEND_DOCUMENT_BEGIN(&root, "program", &program);
  BSON_APPEND_UTF8(&program, "name", "From libbson");
  BSON_APPEND_INT64(&program, "voices", 512);       // another integer width
  BSON_APPEND_INT32(&program, "volume", 2);         // an integer where a double is written
  BSON_APPEND_DOUBLE(&program, "finetuning", -3.0);  // and the reverse
  BSON_APPEND_INT32(&program, "reverb", 0);
  BSON_APPEND_UTF8(&program, "somethingnew", "skipped");
  bson_t unknown;
  BSON_APPEND_DOCUMENT_BEGIN(&program, "futuredocument", &unknown);
  BSON_APPEND_UTF8(&unknown, "name", "must not reach the program");
  bson_append_document_end(&program, &unknown);
  BSON_APPEND_ARRAY_BEGIN(&program, "parameters", &parameters);
  BSON_APPEND_BOOL(&parameters, "0", false);
  BSON_APPEND_DOUBLE(&parameters, "1", 0.9);
  bson_append_array_end(&program, &parameters);
  BSON_APPEND_ARRAY_BEGIN(&program, "banks", &banks);
  BSON_APPEND_DOCUMENT_BEGIN(&banks, "0", &bank);
  BSON_APPEND_UTF8(&bank, "filename", "a.sf2");
  BSON_APPEND_ARRAY_BEGIN(&bank, "activebankprograms", &active);
  const int32_t pairs[][2] = {{16385, 0}, {0, 128}, {-1, 3}, {16384, 127}, {1, 5}};
  for (size_t i = 0; i < 5; ++i) {
    const std::string key = std::to_string(i);
    BSON_APPEND_DOCUMENT_BEGIN(&active, key.c_str(), &entry);
    BSON_APPEND_INT32(&entry, "bank", pairs[i][0]);
    BSON_APPEND_INT32(&entry, "program", pairs[i][1]);
    bson_append_document_end(&active, &entry);
  }
  bson_append_array_end(&bank, &active);
  bson_append_document_end(&banks, &bank);
  bson_append_array_end(&program, &banks);
  BSON_APPEND_ARRAY_BEGIN(&program, "midichannels", &channels);
  BSON_APPEND_DOCUMENT_BEGIN(&channels, "0", &channel);
  BSON_APPEND_INT32(&channel, "bank", 1);
  BSON_APPEND_INT32(&channel, "program", 2);
  BSON_APPEND_BOOL(&channel, "enforcebankandprogram", false);
  BSON_APPEND_ARRAY_BEGIN(&channel, "tuningtable", &table);
  for (int k = 0; k < 130; ++k) BSON_APPEND_DOUBLE(&table, std::to_string(k).c_str(), k * 0.5);
  bson_append_array_end(&channel, &table);
  bson_append_document_end(&channels, &channel);
  BSON_APPEND_DOCUMENT_BEGIN(&channels, "1", &channel);
  BSON_APPEND_INT32(&channel, "program", 7);
  BSON_APPEND_NULL(&channel, "tuningtable");
  bson_append_document_end(&channels, &channel);
  bson_append_array_end(&program, &channels);
  bson_append_document_end(&root, &program);

  TVSTiProgram p = SampleProgram();
  ReadProgramChunk(bson_get_data(&root), root.len, true, p);
  bson_destroy(&root);

  EXPECT_EQ(p.Name, "From libbson");
  EXPECT_EQ(p.Skin, "dark");  // absent keys keep their values
  EXPECT_EQ(p.Data.Voices, 512);
  EXPECT_EQ(p.Data.Volume, 2.0f);
  EXPECT_EQ(p.Data.FineTuning, -3);
  EXPECT_EQ(p.Data.Reverb, SwitchOff);
  EXPECT_EQ(p.Data.AGC, SwitchOn);
  EXPECT_EQ(p.Parameters[1], 0.0f);  // the first numeric element, a boolean here
  ASSERT_EQ(p.Banks.size(), 1u);
  EXPECT_EQ(p.Banks[0]->FileName, "a.sf2");
  EXPECT_EQ(p.Banks[0]->ActiveAllBankPrograms, SwitchOff);
  const auto& bitmap = *p.Banks[0]->ActiveBankProgramBitmap;
  int bits = 0;
  for (uint32_t word : bitmap.Words) bits += std::popcount(word);
  EXPECT_EQ(bits, 2);  // out-of-range entries set nothing
  EXPECT_TRUE(bitmap.Test(16384, 127));
  EXPECT_TRUE(bitmap.Test(1, 5));
  const auto& c0 = p.MIDIChannels[0];
  EXPECT_EQ(c0.BankIndex, 1);
  EXPECT_EQ(c0.ProgramIndex, 2);
  EXPECT_EQ(c0.Flags, mcfHasNewBankOrProgram);
  EXPECT_EQ(c0.TuningTable[127], 63.5);
  const auto& c1 = p.MIDIChannels[1];
  EXPECT_EQ(c1.BankIndex, -1);
  EXPECT_EQ(c1.ProgramIndex, 7);
  EXPECT_EQ(c1.Flags, mcfEnforceBankAndProgram);  // not set: nothing to send
  // Channels the chunk does not list are back at their defaults.
  EXPECT_EQ(p.MIDIChannels[3].TuningTableName, "");
  EXPECT_EQ(p.MIDIChannels[3].TuningTable, TTuningTable{});
  EXPECT_EQ(p.MIDIChannels[9].BankIndex, -1);
}

TEST(StateChunkTest, RootKeyOfTheOtherModeLeavesTheProgramUnchanged) {
  for (bool written : {false, true}) {
    TVSTiProgram other;
    other.Name = "other";
    const std::vector<uint8_t> chunk = WriteProgramChunk(other, written);
    TVSTiProgram p = SampleProgram();
    ReadProgramChunk(chunk.data(), chunk.size(), !written, p);
    ExpectSameProgram(p, SampleProgram());
    EXPECT_EQ(p.Name, SampleProgram().Name);
  }
  TVSTiProgram p = SampleProgram();
  ReadProgramChunk(nullptr, 0, false, p);
  ExpectSameProgram(p, SampleProgram());
}

// A channel document with key/value overrides, written by our encoder.
std::vector<uint8_t> ChunkWithChannelValue(void (*write)(TBSONWriter&)) {
  TBSONWriter w;
  w.BeginArray("programs");
  w.BeginDocument("");
  w.Int32("voices", 99);
  w.BeginArray("midichannels");
  w.BeginDocument("");
  write(w);
  w.End();
  w.End();
  w.End();
  w.End();
  return w.Finish();
}

TEST(StateChunkTest, StructuralAndConversionErrors) {
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Chunk;
    bool Corrupt;  // else a conversion error
  };
  TBSONWriter badParameters;
  badParameters.BeginArray("programs");
  badParameters.BeginDocument("");
  badParameters.Int32("voices", 99);
  badParameters.BeginArray("parameters");
  badParameters.String("", "1.0");
  badParameters.End();
  badParameters.End();
  badParameters.End();
  TBSONWriter badProgramsElement;
  badProgramsElement.BeginArray("programs");
  badProgramsElement.Int32("", 1);
  badProgramsElement.End();
  TBSONWriter badVoices;
  badVoices.BeginDocument("program");
  badVoices.Int32("finetuning", 5);
  badVoices.String("voices", "many");
  badVoices.End();
  const TCase cases[] = {
      {"tuning table as a string",
       ChunkWithChannelValue([](TBSONWriter& w) { w.String("tuningtable", "12-TET"); }), true},
      {"tuning table element not a number", ChunkWithChannelValue([](TBSONWriter& w) {
         w.BeginArray("tuningtable");
         w.Null("");
         w.End();
       }),
       true},
      {"parameter not a number", badParameters.Finish(), true},
      {"program not a document", badProgramsElement.Finish(), true},
      {"voices not a number", badVoices.Finish(), false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TVSTiProgram p;
    const bool isPreset = std::string(c.Name) == "voices not a number";
    if (c.Corrupt) {
      try {
        ReadProgramChunk(c.Chunk.data(), c.Chunk.size(), isPreset, p);
        ADD_FAILURE() << "no error";
      } catch (const EKelvaneBSONError& e) {
        EXPECT_STREQ(e.what(), "Corrupt BSON stream");
      }
    } else {
      EXPECT_THROW(ReadProgramChunk(c.Chunk.data(), c.Chunk.size(), isPreset, p), EKelvaneConvertError);
      EXPECT_EQ(p.Data.FineTuning, 5);  // read before the error: kept
    }
  }
}

TEST(StateChunkTest, DamagedChunksFailCleanly) {
  const std::vector<uint8_t> good = WriteProgramChunk(SampleProgram(), false);
  for (size_t length = 0; length < good.size(); length += 7) {
    TVSTiProgram p;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length + 1]);
    std::memcpy(copy.get(), good.data(), length);
    if (length == 0) {
      ReadProgramChunk(copy.get(), 0, false, p);
      continue;
    }
    EXPECT_THROW(ReadProgramChunk(copy.get(), length, false, p), EKelvaneBSONError) << length;
  }
}

}  // namespace
}  // namespace kelvane
