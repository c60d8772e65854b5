#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

#include "banks/stream.h"
#include "smf_builder.h"
#include "synth/midi_file.h"
#include "synth_test_support.h"

namespace kelvane::test {
namespace {

constexpr int32_t Rate = 44100;

struct TQueued {
  int64_t Position;
  int Command;
  int Data0;
  int Data1;
  std::vector<uint8_t> SysEx;
};

std::vector<TQueued> Queue(const TSynth& synth) {
  std::vector<TQueued> out;
  for (const TMIDIEvent* e = synth.EventFirst; e != nullptr; e = e->Next) {
    out.push_back({e->Position, e->Command, e->Data[0], e->Data[1],
                   e->SysEx ? std::vector<uint8_t>(e->SysEx, e->SysEx + e->SysExLength) : std::vector<uint8_t>()});
  }
  return out;
}

bool Load(TSynth& synth, const std::vector<uint8_t>& bytes) {
  TMemoryStream stream(bytes.data(), bytes.size());
  return synth.ReadMIDI(stream);
}

// Frames for a duration in seconds, rounded half up as the queue rounds.
int64_t Frames(double seconds) { return static_cast<int64_t>(std::floor(seconds * Rate + 0.5)); }

class MIDIFileReader : public ::testing::Test {
 protected:
  std::unique_ptr<TRecordingSynth> Synth = std::make_unique<TRecordingSynth>();
};

TEST_F(MIDIFileReader, EventsAfterTheFirstNoteOnAtDefaultTempo) {
  TSMFBuilder smf(480, 0);
  smf.Track().Controller(100, 0, 7, 100).NoteOn(20, 0, 60).NoteOff(480, 0, 60).EndOfTrack();
  ASSERT_TRUE(Load(*Synth, smf.Build()));
  const auto queue = Queue(*Synth);
  ASSERT_EQ(queue.size(), 3u);
  EXPECT_EQ(queue[0].Position, 0);  // the controller before the first note-on
  EXPECT_EQ(queue[1].Position, 0);
  EXPECT_EQ(queue[2].Position, 22050);  // 480 ticks = one quarter = 0.5 s at 120 BPM
  EXPECT_EQ(queue[2].Command, 0x80);
  EXPECT_EQ(Synth->CurrentEvent, Synth->EventFirst);  // rewound by Reset
}

TEST_F(MIDIFileReader, LateFirstNoteOnStartsAtFrameZero) {
  TSMFBuilder smf(480, 0);
  smf.Track().Controller(0, 0, 10, 64).Controller(480, 0, 7, 90).NoteOn(480, 0, 60).NoteOn(960, 0, 62).EndOfTrack();
  ASSERT_TRUE(Load(*Synth, smf.Build()));
  const auto queue = Queue(*Synth);
  ASSERT_EQ(queue.size(), 4u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(queue[static_cast<size_t>(i)].Position, 0) << i;
  EXPECT_EQ(queue[3].Position, 44100);
}

TEST_F(MIDIFileReader, EqualTicksKeepTrackOrderAndFormat2TracksAreMerged) {
  for (uint16_t format : {1, 2}) {
    TSynth synth;
    TSMFBuilder smf(96, format);
    smf.Track().NoteOn(0, 0, 60).Controller(96, 0, 1, 1).EndOfTrack();
    smf.Track().Controller(96, 1, 1, 2).EndOfTrack();
    smf.Track().Controller(96, 2, 1, 3).Controller(0, 0, 1, 4).EndOfTrack();
    ASSERT_TRUE(Load(synth, smf.Build()));
    std::vector<int> values;
    for (const auto& e : Queue(synth)) values.push_back((e.Command & 0xF0) == 0xB0 ? e.Data1 : 0);
    EXPECT_EQ(values, (std::vector<int>{0, 1, 2, 3, 4})) << "format " << format;
  }
}

TEST_F(MIDIFileReader, DurationOfATwoSecondFile) {
  TSMFBuilder smf(480, 0);
  smf.Track().NoteOn(0, 0, 60).NoteOff(1920, 0, 60).EndOfTrack(500);
  ASSERT_TRUE(Load(*Synth, smf.Build()));
  EXPECT_EQ(Synth->EventLast->Position, 88200);
  EXPECT_EQ(Synth->Duration(1000), 2000);
  EXPECT_EQ(Synth->Duration(1), 2);
  EXPECT_EQ(Synth->Duration(Rate), 88200);  // frames
  Synth->ClearEvents();
  EXPECT_EQ(Synth->Duration(1000), 0);
}

TEST_F(MIDIFileReader, RunningStatusAppliesToChannelMessagesAcrossMetaEvents) {
  TSMFBuilder smf(480, 0);
  smf.Track()
      .NoteOn(0, 3, 60, 100)
      .Event(240, {62, 100})            // running status 0x93
      .Meta(0, 0x01, {'h', 'i'})        // a text event leaves the running status alone
      .Event(240, {64, 0})
      .Event(0, {0xC3, 5})
      .Event(240, {6})                  // program change, one data byte
      .EndOfTrack();
  ASSERT_TRUE(Load(*Synth, smf.Build()));
  const auto queue = Queue(*Synth);
  ASSERT_EQ(queue.size(), 5u);
  EXPECT_EQ(queue[1].Command, 0x93);
  EXPECT_EQ(queue[1].Data0, 62);
  EXPECT_EQ(queue[1].Position, Frames(0.25));
  EXPECT_EQ(queue[2].Command, 0x93);
  EXPECT_EQ(queue[2].Data0, 64);
  EXPECT_EQ(queue[4].Command, 0xC3);
  EXPECT_EQ(queue[4].Data0, 6);
  EXPECT_EQ(queue[4].Position, Frames(0.75));
}

TEST_F(MIDIFileReader, TempoChangesApplyFromTheirTick) {
  // Tempo track and note track, as sequencers write format 1.
  TSMFBuilder smf(480, 1);
  smf.Track().Tempo(0, 400000).Tempo(960, 1000000).Tempo(960, 428571).EndOfTrack();
  smf.Track().NoteOn(0, 0, 60).NoteOn(480, 0, 61).NoteOn(960, 0, 62).NoteOn(960, 0, 63).NoteOn(96000, 0, 64).EndOfTrack();
  ASSERT_TRUE(Load(*Synth, smf.Build()));
  const auto queue = Queue(*Synth);
  ASSERT_EQ(queue.size(), 5u);
  const double q1 = 0.4, q2 = 1.0, q3 = 0.428571;  // seconds per quarter
  EXPECT_EQ(queue[1].Position, Frames(q1));
  EXPECT_EQ(queue[2].Position, Frames(q1 + q1 + q2));          // change at tick 960 lies between 480 and 1440
  EXPECT_EQ(queue[3].Position, Frames(2 * q1 + 2 * q2 + q3));  // and at 1920 between 1440 and 2400
  EXPECT_EQ(queue[4].Position, Frames(2 * q1 + 2 * q2 + q3 + 200 * q3));
}

TEST_F(MIDIFileReader, TempoBeforeTheFirstNoteOnIsInEffectAtTheStart) {
  TSMFBuilder smf(100, 0);
  smf.Track().Tempo(0, 250000).NoteOn(300, 0, 60).NoteOff(100, 0, 60).EndOfTrack();
  ASSERT_TRUE(Load(*Synth, smf.Build()));
  EXPECT_EQ(Queue(*Synth).back().Position, Frames(0.25));
}

TEST_F(MIDIFileReader, SMPTEDivisions) {
  struct TCase {
    int8_t FramesCode;
    uint8_t TicksPerFrame;
    double TicksPerSecond;
  };
  const TCase cases[] = {{-24, 4, 96}, {-25, 40, 1000}, {-29, 100, 2997}, {-30, 80, 2400}, {-50, 2, 100}};
  for (const TCase& c : cases) {
    TSynth synth;
    const auto division = static_cast<uint16_t>((static_cast<uint8_t>(c.FramesCode) << 8) | c.TicksPerFrame);
    TSMFBuilder smf(division, 0);
    // A tempo event means nothing with frame-based timing.
    smf.Track().NoteOn(0, 0, 60).Tempo(0, 1000000).NoteOff(3000, 0, 60).EndOfTrack();
    ASSERT_TRUE(Load(synth, smf.Build()));
    EXPECT_EQ(synth.EventLast->Position, Frames(3000 / c.TicksPerSecond)) << int{c.FramesCode};
  }
}

TEST_F(MIDIFileReader, SystemExclusiveIsQueuedAtItsFrameWithoutTheLeadingF0) {
  const std::vector<uint8_t> gm2On = {0x7E, 0x7F, 0x09, 0x03, 0xF7};
  const std::vector<uint8_t> masterVolume = {0x7F, 0x7F, 0x04, 0x01, 0x00, 0x40, 0xF7};
  TSMFBuilder smf(480, 0);
  smf.Track()
      .SysEx(0, 0xF0, {0x7E, 0x7F, 0x09, 0x01, 0xF7})          // GM on before the music: frame 0
      .NoteOn(480, 0, 60)
      .SysEx(480, 0xF0, gm2On)
      .SysEx(240, 0xF0, {0x7F, 0x7F, 0x04})                  // split message...
      .SysEx(240, 0xF7, {0x01, 0x00, 0x40, 0xF7})            // ...complete at this packet
      .SysEx(0, 0xF7, {0xF0, 0x7E, 0x7F, 0x09, 0x03, 0xF7})  // an escaped whole message
      .SysEx(0, 0xF7, {0xFA})                                // an escaped real-time byte: not queued
      .EndOfTrack();
  ASSERT_TRUE(Load(*Synth, smf.Build()));
  const auto queue = Queue(*Synth);
  ASSERT_EQ(queue.size(), 5u);
  EXPECT_EQ(queue[0].Command, 0xF0);
  EXPECT_EQ(queue[0].Position, 0);
  EXPECT_EQ(queue[0].SysEx, (std::vector<uint8_t>{0x7E, 0x7F, 0x09, 0x01, 0xF7}));
  EXPECT_EQ(queue[2].Position, 22050);
  EXPECT_EQ(queue[2].SysEx, gm2On);
  EXPECT_EQ(queue[3].Position, 44100);
  EXPECT_EQ(queue[3].SysEx, masterVolume);
  EXPECT_EQ(queue[4].SysEx, gm2On);

  // Dispatched at its frame by the render loop.
  std::vector<TBufferSample> out(30000);
  Synth->FillBuffer(out.data(), 30000);
  std::vector<std::string> dispatched;
  for (const auto& entry : Synth->Log) {
    if (entry[0] == 'E') dispatched.push_back(entry);
  }
  EXPECT_EQ(dispatched, (std::vector<std::string>{"E0@0", "E60@0", "E0@22050"}));
}

TEST_F(MIDIFileReader, OversizedSystemExclusiveIsDroppedAndTheTrackGoesOn) {
  std::vector<uint8_t> huge(MaxSysExBytes + 10, 0x11);
  huge.back() = 0xF7;
  TSMFBuilder smf(480, 0);
  smf.Track().NoteOn(0, 0, 60).SysEx(0, 0xF0, huge).NoteOff(480, 0, 60).EndOfTrack();
  const auto bytes = smf.Build();
  ASSERT_TRUE(Load(*Synth, bytes));
  const auto queue = Queue(*Synth);
  ASSERT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue[1].Command, 0x80);
  const auto file = ParseMIDIFile(bytes);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Warnings.size(), 1u);
}

TEST_F(MIDIFileReader, ForeignChunksCountAsAnnouncedTracks) {
  TSMFBuilder smf(480, 1);
  smf.Track().NoteOn(0, 0, 60).EndOfTrack();
  smf.ForeignChunk("XFIH", {1, 2, 3});
  smf.Track().NoteOn(0, 1, 60).EndOfTrack();
  auto bytes = smf.Build();
  const auto file = ParseMIDIFile(bytes);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->AnnouncedTracks, 3);
  EXPECT_EQ(file->Tracks.size(), 2u);
  // One chunk fewer announced: the last track is not read.
  bytes[11] = 2;
  EXPECT_EQ(ParseMIDIFile(bytes)->Tracks.size(), 1u);
}

// Damaged files: what comes before the damage is kept, nothing crashes or hangs.
TEST_F(MIDIFileReader, DamagedFilesKeepWhatPrecedesTheDamage) {
  auto base = [] {
    TSMFBuilder smf(480, 0);
    smf.Track().NoteOn(0, 0, 60).NoteOff(480, 0, 60);
    return smf;
  };
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Bytes;
    bool Result;
    size_t Events;
  };
  std::vector<TCase> cases;
  {
    TSMFBuilder smf(480, 0);
    smf.Track();
    cases.push_back({"empty track", smf.Build(), true, 0});
  }
  {
    auto bytes = base().Build();
    bytes.resize(bytes.size() - 2);  // track length now runs past the end
    cases.push_back({"truncated track", bytes, true, 1});
  }
  {
    auto bytes = base().Build();
    bytes[18] = 0xFF;  // track length 0xFF......: far beyond the file
    cases.push_back({"track length beyond the file", bytes, true, 2});
  }
  {
    TSMFBuilder smf(480, 0);
    auto& track = smf.Track().NoteOn(0, 0, 60);
    track.Bytes.insert(track.Bytes.end(), {0x80, 0x80, 0x80, 0x80, 0x00, 0x90, 60, 0});  // 5-byte delta
    cases.push_back({"delta longer than 4 bytes", smf.Build(), true, 1});
  }
  {
    TSMFBuilder smf(480, 0);
    smf.Track().Event(0, {60, 100}).NoteOn(0, 0, 60);
    cases.push_back({"running status without a status", smf.Build(), true, 0});
  }
  {
    TSMFBuilder smf(480, 0);
    smf.Track().NoteOn(0, 0, 60).Event(0, {0xF0, 0x8F, 0xFF, 0xFF, 0x7F, 1, 2});  // sysex length 2^28-1
    cases.push_back({"system-exclusive length beyond the track", smf.Build(), true, 1});
  }
  {
    TSMFBuilder smf(480, 0);
    smf.Track().NoteOn(0, 0, 60).Event(0, {0xFF, 0x51, 0x7F, 1});  // meta length beyond the track
    cases.push_back({"meta length beyond the track", smf.Build(), true, 1});
  }
  {
    TSMFBuilder smf(0, 0);  // division 0: one tick per quarter, nothing divides by zero
    smf.Track().NoteOn(0, 0, 60).Tempo(0, 0).NoteOff(10, 0, 60);
    cases.push_back({"division and tempo 0", smf.Build(), true, 2});
  }
  {
    auto bytes = base().Build();
    bytes.resize(14);
    bytes[11] = 0xFF;  // many tracks announced, none there
    cases.push_back({"header only", bytes, false, 0});
  }
  cases.push_back({"not a MIDI file", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 0, 0}, false, 0});
  cases.push_back({"empty", {}, false, 0});
  cases.push_back({"MThd cut short", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1}, false, 0});

  for (const TCase& c : cases) {
    TSynth synth;
    EXPECT_EQ(Load(synth, c.Bytes), c.Result) << c.Name;
    EXPECT_EQ(Queue(synth).size(), c.Events) << c.Name;
  }
}

TEST_F(MIDIFileReader, FileWithoutMThdQueuesNothing) {
  Synth->AddEvent(MakeEvent(0, 0xB0, 1));
  const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!'};
  EXPECT_FALSE(Load(*Synth, text));
  EXPECT_EQ(Queue(*Synth).size(), 1u);
}

TEST_F(MIDIFileReader, SamplesPerTickIsExactForFractionalTickRates) {
  // 480 ticks per 428571 us: 1120.0009 ticks per second; 32.32 fixed point.
  const double exact = 44100.0 * 428571e-6 / 480.0 * 4294967296.0;
  EXPECT_NEAR(static_cast<double>(MIDISamplesPerTick(Rate, 480, 428571)), exact, 1.0);
  // Fewer than one tick per second counts as one.
  EXPECT_EQ(MIDISamplesPerTick(Rate, 1, 16777215), static_cast<__int128>(Rate) << 32);
  EXPECT_EQ(MIDISamplesPerTick(Rate, 100, 0), (static_cast<__int128>(Rate) << 32) / 200);
}

TEST_F(MIDIFileReader, RMIDContainerPlaysItsSong) {
  TSMFBuilder smf(480, 0);
  smf.Track().NoteOn(0, 0, 60).NoteOff(960, 0, 60).EndOfTrack();
  const auto song = smf.Build();
  const auto rmid = BuildRMID(song, {{"LIST", {'I', 'N', 'F', 'O'}}}, {{"RIFF", {'D', 'L', 'S', ' '}}});

  const auto found = FindRMIDSong(rmid);
  ASSERT_TRUE(found);
  EXPECT_TRUE(std::equal(found->begin(), found->end(), song.begin(), song.end()));
  EXPECT_FALSE(FindRMIDSong(song));

  ASSERT_TRUE(Load(*Synth, rmid));
  EXPECT_EQ(Synth->Duration(1000), 1000);
  EXPECT_EQ(Synth->AttachedSoundFonts.Count(), 0);  // the container holds no readable bank

  // Read from the stream's position, as when a container sits inside a larger file.
  std::vector<uint8_t> prefixed(7, 0xAA);
  prefixed.insert(prefixed.end(), rmid.begin(), rmid.end());
  TSynth synth;
  TMemoryStream stream(prefixed.data(), prefixed.size());
  stream.Seek(7);
  EXPECT_TRUE(synth.ReadMIDI(stream));
  EXPECT_EQ(synth.Duration(1000), 1000);
}

TEST_F(MIDIFileReader, RMIDWithoutSongOrWithANestedContainerReadsNothing) {
  const auto noData = BuildRMID({}, {}, {});
  std::vector<uint8_t> withoutData(noData.begin(), noData.end() - 8);  // drop the empty "data" chunk
  withoutData[4] = 4;
  EXPECT_FALSE(Load(*Synth, withoutData));

  TSMFBuilder smf(480, 0);
  smf.Track().NoteOn(0, 0, 60).EndOfTrack();
  const auto nested = BuildRMID(BuildRMID(smf.Build()));
  TSynth synth;
  EXPECT_FALSE(Load(synth, nested));
  EXPECT_EQ(synth.EventFirst, nullptr);
}

// Seek dispatches what precedes the target through the hook, without rendering.
TEST_F(MIDIFileReader, SeekAppliesEarlierEventsAndResumesAtTheTarget) {
  Synth->AddEvent(MakeEvent(0, 0xB0, 1));
  Synth->AddEvent(MakeEvent(1000, 0x90, 2));
  Synth->AddEvent(MakeEvent(1000, 0xB0, 3));
  Synth->AddEvent(MakeEvent(5000, 0x80, 4));
  Synth->Seek(3000, Rate);  // value unit = frames
  EXPECT_EQ(Synth->Log, (std::vector<std::string>{"E1@0", "E2@1000", "E3@1000"}));
  EXPECT_EQ(Synth->CurrentPosition, 3000);
  Synth->Log.clear();
  std::vector<TBufferSample> out(3000);
  Synth->FillBuffer(out.data(), 3000);
  EXPECT_EQ(Synth->Log, (std::vector<std::string>{"C2000", "E4@2000", "C1000"}));

  // Seeking back replays from the start; a target at an event leaves it for the next block.
  Synth->Log.clear();
  Synth->Seek(1000 * 1000 / Rate + 1, 1000);  // 23 ms = 1014 frames
  EXPECT_EQ(Synth->CurrentPosition, 1014);
  Synth->Log.clear();
  Synth->Seek(1000, Rate);
  EXPECT_EQ(Synth->Log, (std::vector<std::string>{"E1@0"}));
  Synth->Log.clear();
  Synth->FillBuffer(out.data(), 10);
  EXPECT_EQ(Synth->Log, (std::vector<std::string>{"E2@0", "E3@0", "C10"}));

  // Beyond the end and far beyond: everything dispatched, no hang.
  Synth->Log.clear();
  Synth->Seek(INT64_MAX / 2, 1);
  EXPECT_EQ(Synth->Log.size(), 4u);
  Synth->Seek(-5, 1000);
  EXPECT_EQ(Synth->CurrentPosition, 0);
  EXPECT_EQ(Synth->CurrentEvent, Synth->EventFirst);
  EXPECT_THROW(Synth->Seek(1, 0), EKelvane);
}

// --- Corpus: every song of the openttd-openmsx package -----------------------

// Song length by a separate walk: tempo map in seconds (doubles) over all
// tracks, from the first note-on to the last channel or system-exclusive event.
double IndependentDurationSeconds(const TMIDIFile& file) {
  std::map<int64_t, int32_t> tempoAt;  // tick -> tempo from there on; of equal ticks the last merged wins
  int64_t firstNoteOn = -1;
  int64_t lastEvent = 0;
  for (const auto& track : file.Tracks) {
    for (const auto& e : track.Events) {
      if (e.Command == 0xFF && e.Data[0] == 0x51 && e.Payload.size() >= 3) {
        tempoAt[e.Tick] = (e.Payload[0] << 16) | (e.Payload[1] << 8) | e.Payload[2];
      }
      if ((e.Command & 0xF0) == 0x90 && (firstNoteOn < 0 || e.Tick < firstNoteOn)) firstNoteOn = e.Tick;
      if (e.Command >= 0x80 && e.Command <= 0xF0) lastEvent = std::max(lastEvent, e.Tick);
    }
  }
  if (firstNoteOn < 0) firstNoteOn = 0;
  auto seconds = [&](int64_t tick) {
    double total = 0;
    int64_t at = 0;
    double tempo = DefaultMIDITempo;
    for (const auto& [changeTick, value] : tempoAt) {
      if (changeTick >= tick) break;
      total += static_cast<double>(changeTick - at) * tempo;
      at = changeTick;
      tempo = value;
    }
    total += static_cast<double>(tick - at) * tempo;
    return total * 1e-6 / file.Division;
  };
  return seconds(std::max(lastEvent, firstNoteOn)) - seconds(firstNoteOn);
}

TEST(MIDIFileCorpus, OpenMSXDurationsMatchAnIndependentTempoWalk) {
  const std::filesystem::path folder = "/usr/share/games/openttd/baseset/openmsx";
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) GTEST_SKIP() << "openttd-openmsx is not installed";
  int songs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".mid") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto file = ParseMIDIFile(bytes);
    ASSERT_TRUE(file) << entry.path();
    EXPECT_TRUE(file->Warnings.empty()) << entry.path() << ": " << file->Warnings.front();
    ASSERT_FALSE(file->SMPTE) << entry.path();

    TSynth synth;
    ASSERT_TRUE(Load(synth, bytes)) << entry.path();
    const double expected = IndependentDurationSeconds(*file) * Rate;
    EXPECT_NEAR(static_cast<double>(synth.Duration(Rate)), expected, 1.0) << entry.path();
    songs++;
  }
  EXPECT_GT(songs, 0);
}

}  // namespace
}  // namespace kelvane::test
