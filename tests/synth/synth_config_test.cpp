#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "synth/synth_init.h"
#include "synth/voice.h"

namespace kelvane {
namespace {

TEST(SynthConstruction, PowerOnState) {
  auto synth = std::make_unique<TSynth>();
  EXPECT_EQ(synth->NumberOfVoices, 64);
  for (int32_t i = 0; i < synth->NumberOfVoices; i++) {
    EXPECT_EQ(synth->Voices[static_cast<size_t>(i)]->Number, i + 1);
    EXPECT_FALSE(synth->Voices[static_cast<size_t>(i)]->Active);
  }
  for (int32_t i = 0; i < 16; i++) {
    EXPECT_EQ(synth->Channels[static_cast<size_t>(i)]->ChannelIndex, i);
    EXPECT_EQ(synth->Channels[static_cast<size_t>(i)]->Voices, synth->Voices.get());
  }
  EXPECT_EQ(synth->SampleRate, 44100);
  EXPECT_EQ(synth->ThreadVoiceCountThreshold, 32);
  EXPECT_EQ(synth->LastNumberOfWorkerThreads, 0);
  EXPECT_TRUE(synth->WorkerThreads.empty());
  EXPECT_EQ(synth->ResamplingMethod, 1);
  EXPECT_EQ(synth->OmniChannel, -1);
  EXPECT_EQ(synth->EventNoteIDCounter, 1u);
  EXPECT_EQ(synth->MasterBalance, 0.5);
  EXPECT_EQ(synth->MasterVolume, 1.0);
  EXPECT_EQ(synth->Amplify, 1.0);
  EXPECT_EQ(synth->ModulationSamples, 32);
  EXPECT_FALSE(synth->DoAGC);
  EXPECT_TRUE(synth->EMU10K1Mode);
  EXPECT_TRUE(synth->Chorus->Active);
  EXPECT_TRUE(synth->Reverb->Active);
  EXPECT_DOUBLE_EQ(synth->Chorus->GeneralMIDISettings.FeedBack, 8 * 0.00763);
  EXPECT_DOUBLE_EQ(synth->Reverb->GeneralMIDISettings.DelayTime, 0.03);
  for (int32_t gen = GenFirst; gen <= GenLast; gen++) EXPECT_EQ(synth->GenGlobalOverrideValues[gen], GenNoOverride);
}

TEST(SynthConstruction, TuningTablesHoldEqualTemperament) {
  auto synth = std::make_unique<TSynth>();
  const TTuningTables& tables = *synth->TuningTables;
  for (int bank : {0, 5, 127}) {
    for (int program : {0, 64, 127}) {
      for (int key : {0, 60, 127}) EXPECT_EQ(tables.Pitch(bank, program, key), key);
    }
  }
  EXPECT_EQ(tables.StoredTables(), 0u);  // equal temperament costs no table
  // Reset restores an edited table only when it is marked changed.
  synth->TuningTables->Edit(3, 4)[60] = 61.5;
  synth->Reset();
  EXPECT_EQ(tables.Pitch(3, 4, 60), 61.5);
  synth->TuningTablesChanged = true;
  synth->Reset();
  EXPECT_EQ(tables.Pitch(3, 4, 60), 60.0);
  EXPECT_EQ(tables.Pitch(3, 4, 61), 61.0);
  EXPECT_FALSE(synth->TuningTablesChanged);
}

TEST(SynthReset, RestoresMasterControlsAndPowerOnEffectTypes) {
  auto synth = std::make_unique<TSynth>();
  synth->MasterVolume = 0.3;
  synth->MasterBalance = 1.0;
  synth->MasterCoarseTuning = 2;
  synth->MasterFineTuning = -50;
  synth->AGCFactor = 0.25f;
  synth->OmniChannel = 5;
  synth->NoteID = 77;
  synth->VoiceID = 78;
  synth->EventNoteIDCounter = 99;
  const int32_t chorusSlot[1] = {130}, reverbSlot[1] = {129}, type[1] = {0};
  const int32_t chorus0[1] = {0}, reverb8[1] = {8};
  synth->GlobalParameterControlChange(chorusSlot, type, chorus0);
  synth->GlobalParameterControlChange(reverbSlot, type, reverb8);
  ASSERT_DOUBLE_EQ(synth->Chorus->GeneralMIDISettings.FeedBack, 0.0);
  ASSERT_DOUBLE_EQ(synth->Reverb->GeneralMIDISettings.Gain, 6 * 0.009);

  synth->Reset();
  EXPECT_EQ(synth->MasterVolume, 1.0);
  EXPECT_EQ(synth->MasterBalance, 0.5);
  EXPECT_EQ(synth->MasterCoarseTuning, 0.0);
  EXPECT_EQ(synth->MasterFineTuning, 0.0);
  EXPECT_EQ(synth->AGCFactor, 1.0f);
  EXPECT_EQ(synth->OmniChannel, -1);
  EXPECT_EQ(synth->NoteID, 0);
  EXPECT_EQ(synth->VoiceID, 0);
  EXPECT_EQ(synth->EventNoteIDCounter, 1u);
  EXPECT_DOUBLE_EQ(synth->Chorus->GeneralMIDISettings.FeedBack, 8 * 0.00763);
  EXPECT_DOUBLE_EQ(synth->Reverb->GeneralMIDISettings.DelayTime, 0.03);
}

TEST(GlobalParameterControl, ReachesOnlyTheAddressedEffect) {
  auto synth = std::make_unique<TSynth>();
  const int32_t type[1] = {0};
  const int32_t value[1] = {5};
  const int32_t chorusSlot[1] = {130};
  const int32_t longPath[2] = {130, 1};
  const int32_t otherSlot[1] = {131};
  synth->GlobalParameterControlChange(longPath, type, value);  // effects take one-element paths only
  synth->GlobalParameterControlChange(otherSlot, type, value);
  synth->GlobalParameterControlChange({}, type, value);
  synth->GlobalParameterControlChange(chorusSlot, type, {});  // no value for the parameter
  EXPECT_DOUBLE_EQ(synth->Chorus->GeneralMIDISettings.FeedBack, 8 * 0.00763);
  EXPECT_DOUBLE_EQ(synth->Reverb->GeneralMIDISettings.DelayTime, 0.03);
  synth->GlobalParameterControlChange(chorusSlot, type, value);
  EXPECT_DOUBLE_EQ(synth->Chorus->GeneralMIDISettings.FeedBack, 112 * 0.00763);
  EXPECT_DOUBLE_EQ(synth->Reverb->GeneralMIDISettings.DelayTime, 0.03);
  // Types outside the table change nothing.
  const int32_t reverbSlot[1] = {129};
  const int32_t badReverb[1] = {5};
  synth->GlobalParameterControlChange(reverbSlot, type, badReverb);
  EXPECT_DOUBLE_EQ(synth->Reverb->GeneralMIDISettings.DelayTime, 0.03);
}

TEST(SetSampleRate, DerivesDecayAndGainControlFactors) {
  auto synth = std::make_unique<TSynth>();
  for (int32_t rate : {0, 22050, 44100, 48000, 192000}) {
    SCOPED_TRACE(rate);
    synth->SetSampleRate(rate);
    const double sr = rate == 0 ? 44100.0 : rate;
    EXPECT_EQ(synth->SampleRate, static_cast<int32_t>(sr));
    EXPECT_DOUBLE_EQ(synth->ClickRemovalFactor, std::pow(0.001, 1.0 / (sr * 0.01950138117913832)));
    EXPECT_EQ(synth->AGCAttackFactor, static_cast<float>(std::pow(0.001, 1.0 / (sr * 0.015))));
    EXPECT_EQ(synth->AGCReleaseFactor, static_cast<float>(std::pow(1000.0, 1.0 / sr)));
  }
  synth->SetSampleRate(-48000);  // meaningless rate: the default, never a growing residue
  EXPECT_EQ(synth->SampleRate, 44100);
  EXPECT_LT(synth->ClickRemovalFactor, 1.0);
}

TEST(SetNumberOfVoices, ClampsAndNumbersFromOne) {
  auto synth = std::make_unique<TSynth>();
  const struct {
    int32_t requested, expected;
  } cases[] = {{0, 1}, {-7, 1}, {1, 1}, {2, 2}, {100, 100}, {8192, 8192}, {8193, 8192}, {100000, 8192}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requested);
    synth->SetNumberOfVoices(c.requested);
    ASSERT_EQ(synth->NumberOfVoices, c.expected);
    EXPECT_EQ(synth->Voices[0]->Number, 1);
    EXPECT_EQ(synth->Voices[static_cast<size_t>(c.expected - 1)]->Number, c.expected);
  }
  std::vector<TBufferSample> out(64);
  synth->FillBuffer(out.data(), 64);  // renders over the rebuilt pool
}

TEST(SetNumberOfThreads, RemembersTheRequest) {
  auto synth = std::make_unique<TSynth>();
  for (int32_t count : {-1, 0, 1, 4, 200}) {
    synth->SetNumberOfThreads(count);
    EXPECT_EQ(synth->LastNumberOfWorkerThreads, count);
  }
  synth->SetThreadVoiceCountThreshold(0);
  EXPECT_EQ(synth->ThreadVoiceCountThreshold, 0);
}

TEST(SetResamplingMethod, StoresModeAlwaysAndMethodWhenValid) {
  auto synth = std::make_unique<TSynth>();
  synth->SetResamplingMethod(7, 2);
  EXPECT_EQ(synth->ResamplingMethod, 7);
  EXPECT_EQ(synth->ResamplingInterpolationMode, 2);
  synth->SetResamplingMethod(20, 1);
  EXPECT_EQ(synth->ResamplingMethod, 7);
  EXPECT_EQ(synth->ResamplingInterpolationMode, 1);
  synth->SetResamplingMethod(-1, 0);
  EXPECT_EQ(synth->ResamplingMethod, 7);
}

TEST(EventNoteID, NeverZeroAndWrapsToOne) {
  auto synth = std::make_unique<TSynth>();
  EXPECT_EQ(synth->AllocateEventNoteID(), 1u);
  EXPECT_EQ(synth->AllocateEventNoteID(), 2u);
  const uintptr_t allOnes = ~uintptr_t{0};
  synth->EventNoteIDCounter = allOnes - 1;
  EXPECT_EQ(synth->AllocateEventNoteID(), allOnes - 1);
  EXPECT_EQ(synth->AllocateEventNoteID(), allOnes);
  EXPECT_EQ(synth->AllocateEventNoteID(), 1u);
  EXPECT_EQ(synth->AllocateEventNoteID(), 2u);
  synth->FreeEventNoteID(2);
}

TEST(EventNoteID, FindsTheNoteOfTheFirstActiveVoice) {
  auto synth = std::make_unique<TSynth>();
  auto voice = [&](size_t i) -> TVoice& { return *synth->Voices[i]; };
  voice(1).EventNoteID = 7;  // inactive: ignored
  voice(1).Note = 40;
  voice(3).Active = true;
  voice(3).EventNoteID = 7;
  voice(3).Note = 60;
  voice(5).Active = true;
  voice(5).EventNoteID = 7;
  voice(5).Note = 62;
  voice(6).Active = true;  // EventNoteID 0 never matches a query
  voice(6).Note = 30;
  EXPECT_EQ(synth->GetNoteFromEventNoteID(7), 60);
  EXPECT_EQ(synth->GetNoteFromEventNoteID(8), -1);
  EXPECT_EQ(synth->GetNoteFromEventNoteID(0), -1);
  voice(3).Active = false;
  EXPECT_EQ(synth->GetNoteFromEventNoteID(7), 62);
}

TEST(VoiceStop, HandsTheLastFrameToItsChannelAndReportsTheRelease) {
  auto synth = std::make_unique<TSynth>();
  std::vector<int32_t> released;
  synth->OnReleaseVoice.Context = &released;
  synth->OnReleaseVoice.Code = [](void* context, TSynth&, TVoice& voice) {
    static_cast<std::vector<int32_t>*>(context)->push_back(voice.Number);
  };
  TChannel& channel = *synth->Channels[2];
  TVoice& voice = *synth->Voices[9];
  voice.Channel = &channel;
  voice.Active = true;
  voice.Last = {{{0.5f, -0.25f}}};
  voice.AmpChorus = 0.5;
  voice.AmpReverb = 0.25;
  voice.Kill();
  EXPECT_FALSE(voice.Active);
  EXPECT_EQ(released, std::vector<int32_t>{10});
  EXPECT_FLOAT_EQ(channel.Last.Left, 0.5f);
  EXPECT_FLOAT_EQ(channel.Last.Right, -0.25f);
  EXPECT_FLOAT_EQ(channel.ChorusLast.Left, 0.25f);
  EXPECT_FLOAT_EQ(channel.ReverbLast.Right, -0.0625f);
  EXPECT_EQ(voice.Last.Left, 0.0f);

  voice.Kill();  // no longer active: nothing more
  EXPECT_EQ(released.size(), 1u);

  // The synthesizer's reset stops every active voice once.
  voice.Active = true;
  synth->Reset();
  EXPECT_EQ(released, (std::vector<int32_t>{10, 10}));
  EXPECT_EQ(channel.Last.Left, 0.0f);
}

TEST(EngineLoading, IsIdempotentAndBuildsTheIncrementTable) {
  ASSERT_NE(ResamplingTablesLock, nullptr);
  TMultipleReaderSingleWriterLock* lock = ResamplingTablesLock;
  InitSynth();
  EXPECT_EQ(ResamplingTablesLock, lock);
  // 2^(k/12) octaves in 32.32 fixed point.
  EXPECT_EQ(PitchIncrementTable[0], uint64_t{1} << 32);
  EXPECT_EQ(PitchIncrementTable[12], uint64_t{1} << 33);
  EXPECT_EQ(PitchIncrementTable[24], uint64_t{1} << 34);
  EXPECT_EQ(PitchIncrementTable[36], uint64_t{1} << 35);
  EXPECT_EQ(PitchIncrementTable[7], 6435179894u);  // 2^(7/12) * 2^32 = 6435179894.55
  EXPECT_EQ(PitchIncrementTable[63], 163443381347u);  // 2^(63/12) * 2^32 = 163443381347.43
  for (size_t k = 1; k < 64; k++) EXPECT_GT(PitchIncrementTable[k], PitchIncrementTable[k - 1]);
}

}  // namespace
}  // namespace kelvane
