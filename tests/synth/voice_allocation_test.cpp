#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "banks/preset_layer.h"
#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_envelope.h"

namespace kelvane {
namespace {

// The synthesizer's NoteID during the cases; voices default to an older note.
constexpr int64_t CurrentNote = 100;

enum TLayerChoice { lcNone, lcPlain, lcGroup, lcProgramLimit };

// One pool voice as the allocator sees it.
struct TVoiceSetup {
  bool active = true;
  int32_t channel = 0;  // -1: never played
  int32_t note = 60;
  int64_t noteID = 50;
  int32_t velocity = 100;
  bool released = false;
  bool sostenuto = false;
  int32_t lifeTime = 0;
  int32_t program = 0;
  double level = 1.0;  // volume envelope output
  bool inGroup = false;  // playing the group layer, else the plain layer
};

struct TAllocationCase {
  std::string name;
  int32_t algorithm = 0;
  int32_t channel = 0;
  std::vector<TVoiceSetup> voices;
  int32_t expected = -1;  // pool index, -1 = null
  TLayerChoice layer = lcPlain;
  int32_t key = 60;
  int64_t noteID = CurrentNote;
  int64_t synthNoteID = CurrentNote;
  int32_t channelProgram = 0;
  bool polyMode = true;
  bool legato = false;
  int32_t generalMIDIMode = 0;
  bool drumMode = false;
};

// Voices placed directly in the pool, so each case states every field the
// allocator reads. Two leaf layers: one in a group limited to 2 voices, one
// without a limit, and a third limited to 2 without a group (program count).
class TAllocationPool {
 public:
  TAllocationPool() {
    Synth = std::make_unique<TSynth>();
    Group = std::make_unique<TPresetLayer>(Synth.get(), nullptr);
    Group->MaxPolyphony = 2;
    Group->Recache();
    Plain = std::make_unique<TPresetLayer>(Synth.get(), nullptr);
    Plain->Recache();
    ProgramLimit = std::make_unique<TPresetLayer>(Synth.get(), nullptr);
    ProgramLimit->CacheMaxPolyphony = 2;
  }
  ~TAllocationPool() { Clear(); }

  TPresetLayer* Layer(TLayerChoice choice) {
    switch (choice) {
      case lcPlain: return Plain.get();
      case lcGroup: return Group.get();
      case lcProgramLimit: return ProgramLimit.get();
      default: return nullptr;
    }
  }

  int32_t Run(const TAllocationCase& c) {
    Synth->GeneralMIDIMode = c.generalMIDIMode;
    Synth->Reset();
    Synth->SetNumberOfVoices(static_cast<int32_t>(c.voices.size()));
    Synth->VoiceAllocationAlgorithm = c.algorithm;
    Synth->NoteID = c.synthNoteID;
    for (size_t i = 0; i < c.voices.size(); i++) {
      const TVoiceSetup& s = c.voices[i];
      TVoice& voice = *Synth->Voices[i];
      voice.Active = s.active;
      voice.Channel = s.channel >= 0 ? Synth->Channels[static_cast<size_t>(s.channel)].get() : nullptr;
      voice.Note = s.note;
      voice.NoteID = s.noteID;
      voice.Velocity = s.velocity;
      voice.IsKeyOff = s.released;
      voice.Sostenutoing = s.sostenuto;
      voice.LifeTime = s.lifeTime;
      voice.ProgramNumber = s.program;
      voice.VolEnvelope->Envelope.RealValue = s.level;
      voice.PresetLayer = s.inGroup ? Group.get() : Plain.get();
    }
    TChannel& channel = *Synth->Channels[static_cast<size_t>(c.channel)];
    channel.ProgramNumber = c.channelProgram;
    channel.PolyMode = c.polyMode;
    channel.LegatoPedal = c.legato;
    channel.DrumMode = c.drumMode;
    TVoice* chosen = channel.FindFreeVoice(static_cast<uint8_t>(c.key), c.noteID, Layer(c.layer));
    const int32_t index = chosen != nullptr ? chosen->Number - 1 : -1;
    Clear();
    return index;
  }

 private:
  // Detaches the hand-set voices so the synthesizer's teardown finds nothing to stop.
  void Clear() {
    for (int32_t i = 0; i < Synth->NumberOfVoices; i++) {
      Synth->Voices[static_cast<size_t>(i)]->Active = false;
      Synth->Voices[static_cast<size_t>(i)]->Channel = nullptr;
    }
  }

  std::unique_ptr<TSynth> Synth;
  std::unique_ptr<TPresetLayer> Group;
  std::unique_ptr<TPresetLayer> Plain;
  std::unique_ptr<TPresetLayer> ProgramLimit;
};

const TVoiceSetup Free{.active = false, .channel = -1, .noteID = 0};

// Algorithm 0: each pair isolates one score field against every field below it.
const std::vector<TAllocationCase> ScoreCases = {
    {.name = "FreeVoiceLowestIndex", .voices = {{}, Free, Free}, .expected = 1},
    {.name = "VoiceWithoutChannelCountsAsFree", .voices = {{}, {.channel = -1}, Free}, .expected = 1},
    {.name = "FullPoolNullLayerStillScores", .voices = {{.channel = 9}, {.channel = 2}}, .expected = 1,
     .layer = lcNone},
    // Bit 56 (released, other channel and program) beats every field below bit 55.
    {.name = "ReleasedOtherChannelBeatsOldQuietSounding",
     .voices = {{.channel = 2, .noteID = 0, .velocity = 1, .level = 0.0},
                {.channel = 1, .noteID = 99, .velocity = 127, .released = true, .program = 5}},
     .expected = 1},
    // Bit 59: channel index 9 is stolen last.
    {.name = "ReleasedOtherChannelBeatsSoundingDrum",
     .voices = {{.channel = 9, .noteID = 1}, {.channel = 1, .noteID = 90, .released = true, .program = 5}},
     .expected = 1},
    {.name = "DrumVoiceLosesEvenReleased",
     .voices = {{.channel = 9, .noteID = 1, .released = true}, {.channel = 1, .noteID = 99}},
     .expected = 1},
    {.name = "OldestNoteAmongEquals",
     .voices = {{.channel = 1, .noteID = 90, .released = true},
                {.channel = 1, .noteID = 80, .released = true},
                {.channel = 1, .noteID = 85, .released = true}},
     .expected = 1},
    // Bit 60 over bit 59: the current note's voices go last.
    {.name = "OtherNoteOnDrumBeatsCurrentNote",
     .voices = {{.channel = 0, .noteID = CurrentNote, .released = true}, {.channel = 9, .noteID = 0}},
     .expected = 1},
    // Bit 58 over 57: the released voice with the new note's key.
    {.name = "ReleasedSameKeyBeatsOtherKey",
     .voices = {{.note = 61, .noteID = 10, .released = true}, {.note = 60, .noteID = 99, .released = true}},
     .expected = 1},
    {.name = "ReleasedSameProgramOtherChannelCountsAsOwn",
     .voices = {{.channel = 3, .note = 61, .noteID = 10, .released = true},
                {.channel = 3, .note = 60, .noteID = 99, .released = true}},
     .expected = 1},
    // Bit 57 over 56.
    {.name = "ReleasedOwnChannelBeatsOtherChannelProgram",
     .voices = {{.channel = 1, .note = 61, .noteID = 10, .released = true, .program = 5},
                {.channel = 0, .note = 61, .noteID = 99, .released = true, .program = 5}},
     .expected = 1},
    // Bit 55 over the age.
    {.name = "NotSostenutoBeatsOlderHeld",
     .voices = {{.noteID = 0, .sostenuto = true}, {.noteID = 99}}, .expected = 1},
    {.name = "AgeBeatsVelocity", .voices = {{.noteID = 90, .velocity = 1}, {.noteID = 89, .velocity = 127}},
     .expected = 1},
    // Both ages clamp to 65535: a tie, so the earlier voice.
    {.name = "AgeClampsAt65535", .voices = {{.noteID = 1}, {.noteID = 0}}, .expected = 0,
     .noteID = 100000, .synthNoteID = 100000},
    // A voice newer than the synthesizer's counter has age 0, not a huge one.
    {.name = "AgeNeverNegative", .voices = {{.noteID = 200, .velocity = 100}, {.noteID = 100, .velocity = 99}},
     .expected = 1, .noteID = 300},
    // Velocity 100, silent: 27 | 1 at bit 20; velocity 99 at full level: 28.
    {.name = "VelocityBeatsLevel", .voices = {{.velocity = 100, .level = 0.0}, {.velocity = 99, .level = 1.0}},
     .expected = 1},
    // Silent quietness is 65536 << 4 = bit 20, OR-ed into velocity field 1: a tie.
    {.name = "QuietnessOrsIntoVelocityField",
     .voices = {{.velocity = 127, .level = 0.0}, {.velocity = 126, .level = 0.0}}, .expected = 0},
    {.name = "QuieterVoiceFirst", .voices = {{.level = 0.5}, {.level = 0.25}}, .expected = 1},
    {.name = "LevelClampedToOne", .voices = {{.level = 1.0}, {.level = 3.0}}, .expected = 0},
    {.name = "HigherChannelIndexFirst", .voices = {{.channel = 2}, {.channel = 3}}, .expected = 1},
    {.name = "HigherChannelIndexFirstAtIndexZero", .voices = {{.channel = 3}, {.channel = 2}}, .expected = 0},
    // Limit mode scores the free voices too: the never-played one (bit 59) beats one last on channel 9.
    {.name = "LegatoScoresFreeVoices",
     .voices = {{}, {.active = false, .channel = 9, .noteID = 0}, Free}, .expected = 2, .legato = true},
    {.name = "WithoutLimitFirstFreeVoice",
     .voices = {{}, {.active = false, .channel = 9, .noteID = 0}, Free}, .expected = 1},
    // Bit 61: in limit mode a free voice beats any sounding one.
    {.name = "LimitFreeVoiceBeatsReleased",
     .voices = {{.noteID = 0, .released = true}, {.active = false, .channel = 9, .noteID = 0}},
     .expected = 1, .legato = true},
    // Bit 62 over 61: a free voice of the current note on another channel scores below an
    // active voice of this channel and program.
    {.name = "LimitCurrentNoteElsewhereLosesToOwnProgram",
     .voices = {{.active = false, .channel = 1, .noteID = CurrentNote}, {.channel = 0, .noteID = CurrentNote}},
     .expected = 1, .legato = true},
    // Group of 2 full, counting the current note: limit mode.
    {.name = "FullGroupCountsCurrentNote",
     .voices = {{.noteID = CurrentNote, .inGroup = true}, {.inGroup = true},
                {.active = false, .channel = 9, .noteID = 0}, Free},
     .expected = 3, .layer = lcGroup},
    {.name = "GroupBelowLimitTakesFirstFree",
     .voices = {{.inGroup = true}, {.active = false, .channel = 9, .noteID = 0}, Free}, .expected = 1,
     .layer = lcGroup},
    {.name = "GroupOnOtherChannelNotCounted",
     .voices = {{.channel = 1, .inGroup = true}, {.channel = 1, .inGroup = true},
                {.active = false, .channel = 9, .noteID = 0}, Free},
     .expected = 2, .layer = lcGroup},
    // No group layer: voices of the channel's current program are counted.
    {.name = "NoGroupCountsCurrentProgram",
     .voices = {{}, {}, {.active = false, .channel = 9, .noteID = 0}, Free}, .expected = 3,
     .layer = lcProgramLimit},
    {.name = "NoGroupOtherProgramNotCounted",
     .voices = {{}, {}, {.active = false, .channel = 9, .noteID = 0}, Free}, .expected = 2,
     .layer = lcProgramLimit, .channelProgram = 3},
    // Mono mode does not count the group.
    {.name = "MonoSkipsGroupCount",
     .voices = {{.noteID = CurrentNote, .inGroup = true}, {.noteID = CurrentNote, .inGroup = true},
                {.active = false, .channel = 9, .noteID = 0}, Free},
     .expected = 2, .layer = lcGroup, .polyMode = false},
    {.name = "MonoReusesFirstVoiceOfChannel",
     .voices = {Free, {.channel = 1}, {.noteID = CurrentNote}, {.active = false, .channel = 0, .noteID = 7}, {}},
     .expected = 3, .polyMode = false},
};

// Algorithms 1 and 2: group step, first free voice, then the oldest voice.
const std::vector<TAllocationCase> OldestCases = {
    {.name = "A1FreeVoiceLowestIndex", .algorithm = 1, .voices = {{}, Free, Free}, .expected = 1},
    {.name = "A2FreeVoiceLowestIndex", .algorithm = 2, .voices = {{}, Free, Free}, .expected = 1},
    {.name = "A1FullGroupTakesOldestOfGroup", .algorithm = 1,
     .voices = {Free, {.lifeTime = 10, .inGroup = true}, {.lifeTime = 30, .inGroup = true}, {.lifeTime = 99}},
     .expected = 2, .layer = lcGroup},
    {.name = "A2FullGroupTakesOldestOfGroup", .algorithm = 2,
     .voices = {Free, {.lifeTime = 10, .inGroup = true}, {.lifeTime = 30, .inGroup = true}, {.lifeTime = 99}},
     .expected = 2, .layer = lcGroup},
    {.name = "A1FullGroupPrefersReleased", .algorithm = 1,
     .voices = {{.lifeTime = 30, .inGroup = true}, {.released = true, .lifeTime = 5, .inGroup = true}, Free},
     .expected = 1, .layer = lcGroup},
    {.name = "A1GroupSkipsCurrentNote", .algorithm = 1,
     .voices = {{.noteID = CurrentNote, .lifeTime = 9, .inGroup = true}, {.inGroup = true}, Free}, .expected = 2,
     .layer = lcGroup},
    {.name = "A2GroupCountsOnlyThisChannel", .algorithm = 2,
     .voices = {{.channel = 1, .inGroup = true}, {.channel = 1, .inGroup = true}, Free}, .expected = 2,
     .layer = lcGroup},
    {.name = "A1LegatoTakesGroupVoiceBelowLimit", .algorithm = 1,
     .voices = {Free, {.lifeTime = 5, .inGroup = true}}, .expected = 1, .layer = lcGroup, .legato = true},
    {.name = "A2LegatoWithoutLayerTakesFree", .algorithm = 2,
     .voices = {Free, {.lifeTime = 5, .inGroup = true}}, .expected = 0, .layer = lcNone, .legato = true},
    {.name = "A1OldestTieLaterWins", .algorithm = 1,
     .voices = {{.lifeTime = 10, .inGroup = true}, {.lifeTime = 10, .inGroup = true}, Free}, .expected = 1,
     .layer = lcGroup},
    {.name = "A1NegativeLifeTimeNeverOldest", .algorithm = 1,
     .voices = {{.lifeTime = -5, .inGroup = true}, {.lifeTime = 1, .inGroup = true}, Free}, .expected = 1,
     .layer = lcGroup},
    {.name = "A1GroupWithoutQualifyingVoiceContinues", .algorithm = 1,
     .voices = {{.lifeTime = -1, .inGroup = true}, {.lifeTime = -2, .inGroup = true}, Free}, .expected = 2,
     .layer = lcGroup},
    // Full pool: the target is the highest busy channel other than 9.
    {.name = "A1ReleasedOnHighestBusyChannel", .algorithm = 1,
     .voices = {{.channel = 3, .released = true, .lifeTime = 5},
                {.channel = 5, .lifeTime = 100},
                {.channel = 5, .released = true, .lifeTime = 1},
                {.channel = 9, .released = true, .lifeTime = 500},
                {.channel = 2, .released = true, .lifeTime = 300}},
     .expected = 2},
    {.name = "A1ReleasedElsewhereBeforeSoundingOnTarget", .algorithm = 1,
     .voices = {{.channel = 5, .lifeTime = 100},
                {.channel = 3, .released = true, .lifeTime = 1},
                {.channel = 2, .released = true, .lifeTime = 5}},
     .expected = 2},
    {.name = "A1NoReleasedTakesOldestOnTarget", .algorithm = 1,
     .voices = {{.channel = 5, .lifeTime = 10}, {.channel = 5, .lifeTime = 20}, {.channel = 3, .lifeTime = 100}},
     .expected = 1},
    {.name = "A1TargetAtLeastOwnChannel", .algorithm = 1, .channel = 7,
     .voices = {{.channel = 3, .lifeTime = 100}, {.channel = 7, .lifeTime = 1}, {.channel = 5, .lifeTime = 50}},
     .expected = 1},
    {.name = "A1TargetSkipsChannel9", .algorithm = 1,
     .voices = {{.channel = 9, .lifeTime = 1}, {.channel = 4, .lifeTime = 1}, {.channel = 2, .lifeTime = 100}},
     .expected = 1},
    // A note on channel 9 adopts the first busy channel, then rises as usual.
    {.name = "A1TargetFromChannel9", .algorithm = 1, .channel = 9,
     .voices = {{.channel = 2, .lifeTime = 5}, {.channel = 4, .lifeTime = 1}, {.channel = 9, .lifeTime = 100}},
     .expected = 1},
    // While the target is 9 it follows each voice, so a later channel still moves it off 9.
    {.name = "A1TargetLeaves9AfterVoiceOn9", .algorithm = 1, .channel = 9,
     .voices = {{.channel = 9, .lifeTime = 1}, {.channel = 2, .lifeTime = 1}, {.channel = 9, .lifeTime = 100}},
     .expected = 1},
    {.name = "A1CurrentNoteNeverStolen", .algorithm = 1,
     .voices = {{.channel = 5, .noteID = CurrentNote, .lifeTime = 100}, {.channel = 0, .lifeTime = 1}},
     .expected = 1},
    {.name = "A1OnlyCurrentNoteGivesNull", .algorithm = 1,
     .voices = {{.noteID = CurrentNote}, {.noteID = CurrentNote}}, .expected = -1},
    {.name = "A1MonoReusesChannelVoice", .algorithm = 1,
     .voices = {Free, {.channel = 3}, {.lifeTime = 1}}, .expected = 2, .polyMode = false},
    // Algorithm 2 on a drum channel reuses its own oldest released voice first.
    {.name = "A2DrumModeReusesOwnReleased", .algorithm = 2, .channel = 4,
     .voices = {{.channel = 1, .released = true, .lifeTime = 100},
                {.channel = 4, .released = true, .lifeTime = 2},
                {.channel = 4, .released = true, .lifeTime = 3},
                {.channel = 4, .lifeTime = 50}},
     .expected = 2, .drumMode = true},
    {.name = "A2GM2Channel9ReusesOwnReleased", .algorithm = 2, .channel = 9,
     .voices = {{.channel = 1, .released = true, .lifeTime = 100}, {.channel = 9, .released = true, .lifeTime = 2}},
     .expected = 1, .generalMIDIMode = 2},
    {.name = "A2MelodicChannelTakesOldestReleasedAnywhere", .algorithm = 2, .channel = 4,
     .voices = {{.channel = 1, .released = true, .lifeTime = 100},
                {.channel = 4, .released = true, .lifeTime = 2},
                {.channel = 4, .lifeTime = 500}},
     .expected = 0},
    // In SF2 mode channel index 9 alone is not drum mode.
    {.name = "A2SF2Channel9NotDrumMode", .algorithm = 2, .channel = 9,
     .voices = {{.channel = 1, .released = true, .lifeTime = 100}, {.channel = 9, .released = true, .lifeTime = 2}},
     .expected = 0},
    {.name = "A2DrumModeOldestOwnWhenNoneReleased", .algorithm = 2, .channel = 4,
     .voices = {{.channel = 1, .lifeTime = 100}, {.channel = 4, .lifeTime = 2}, {.channel = 4, .lifeTime = 1}},
     .expected = 1, .drumMode = true},
    {.name = "A2ReleasedAnywhereBeforeOwnSounding", .algorithm = 2, .channel = 4,
     .voices = {{.channel = 1, .released = true, .lifeTime = 1}, {.channel = 4, .lifeTime = 200}}, .expected = 0,
     .drumMode = true},
    {.name = "A2OldestAnywhere", .algorithm = 2,
     .voices = {{.channel = 1, .lifeTime = 7}, {.channel = 4, .lifeTime = 8}, {.channel = 2, .lifeTime = 8}},
     .expected = 2},
};

class VoiceAllocationTable : public testing::TestWithParam<TAllocationCase> {};

TEST_P(VoiceAllocationTable, ChoosesExpectedVoice) {
  TAllocationPool pool;
  EXPECT_EQ(pool.Run(GetParam()), GetParam().expected);
}

std::string CaseName(const testing::TestParamInfo<TAllocationCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Score, VoiceAllocationTable, testing::ValuesIn(ScoreCases), CaseName);
INSTANTIATE_TEST_SUITE_P(Oldest, VoiceAllocationTable, testing::ValuesIn(OldestCases), CaseName);

}  // namespace
}  // namespace kelvane
