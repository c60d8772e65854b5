// Voice allocation: which pool voice a new note of a channel takes, free or
// stolen. Runs on the thread that dispatches events, between render passes.
// Every choice is a linear scan in pool order, so ties break by pool index.
#include <algorithm>
#include <cstdint>

#include "banks/preset_layer.h"
#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_envelope.h"

namespace kelvane {

namespace {

constexpr int32_t DrumChannelIndex = 9;

// A negative NoteID stands for no note: then no voice belongs to it.
bool BelongsToNote(const TVoice& Voice, int64_t NoteID) { return NoteID >= 0 && Voice.NoteID == NoteID; }

// The largest LifeTime among the offered voices; a later voice wins a tie.
// Negative LifeTime (wrapped after 2^31 blocks) never qualifies.
class TOldestVoice {
 public:
  void Offer(TVoice* Voice) {
    if (Voice->LifeTime >= 0 && (Found == nullptr || Voice->LifeTime >= Found->LifeTime)) Found = Voice;
  }
  TVoice* Found = nullptr;
};

// Shared walk over the pool of the synthesizer a channel belongs to.
class TAllocator {
 public:
  TAllocator(TChannel& Channel, int64_t NoteID)
      : Channel(Channel), Voices(Channel.Voices), Count(Channel.Synth.NumberOfVoices), NoteID(NoteID) {}

  TVoice* Voice(int32_t Index) const { return Voices[static_cast<size_t>(Index)]; }

  // Mono mode reuses the channel's first voice of another note, sounding or not.
  TVoice* MonoStep() const {
    if (Channel.PolyMode) return nullptr;
    for (int32_t i = 0; i < Count; i++) {
      TVoice* voice = Voice(i);
      if (voice->Channel == &Channel && !BelongsToNote(*voice, NoteID)) return voice;
    }
    return nullptr;
  }

  TVoice* FirstInactive() const {
    for (int32_t i = 0; i < Count; i++) {
      if (!Voice(i)->Active) return Voice(i);
    }
    return nullptr;
  }

  // Algorithms 1 and 2: with the legato pedal down or the layer's group full,
  // the new note replaces a voice of its own group on this channel.
  TVoice* GroupStep(const TPresetLayer* Layer) const {
    if (Layer == nullptr) return nullptr;
    const TPresetLayer* group = Layer->CacheMaxPolyphonyPresetLayer;
    int32_t members = 0;
    TOldestVoice oldestReleased, oldest;
    for (int32_t i = 0; i < Count; i++) {
      TVoice* voice = Voice(i);
      if (!voice->Active || voice->Channel != &Channel || BelongsToNote(*voice, NoteID)) continue;
      if (voice->PresetLayer == nullptr || voice->PresetLayer->CacheMaxPolyphonyPresetLayer != group) continue;
      members++;
      if (voice->IsKeyOff) oldestReleased.Offer(voice);
      oldest.Offer(voice);
    }
    if (!Channel.LegatoPedal && members < Layer->CacheMaxPolyphony) return nullptr;
    return oldestReleased.Found != nullptr ? oldestReleased.Found : oldest.Found;
  }

  // Algorithm 0's group: the layer's polyphony group, or without one the
  // voices of the channel's current program; the current note counts too.
  bool ScoreGroupIsFull(const TPresetLayer* Layer) const {
    const TPresetLayer* group = Layer->CacheMaxPolyphonyPresetLayer;
    int32_t members = 0;
    for (int32_t i = 0; i < Count; i++) {
      const TVoice& voice = *Voice(i);
      if (!voice.Active || voice.Channel != &Channel) continue;
      const bool inGroup = group != nullptr
                               ? voice.PresetLayer != nullptr && voice.PresetLayer->CacheMaxPolyphonyPresetLayer == group
                               : voice.ProgramNumber == Channel.ProgramNumber;
      if (inGroup) members++;
    }
    return members >= Layer->CacheMaxPolyphony;
  }

  TChannel& Channel;
  TVoice* const* Voices;
  int32_t Count;
  int64_t NoteID;
};

// Steal priority of an occupied voice under algorithm 0; higher is stolen first.
uint64_t VoiceScore(const TChannel& Channel, const TVoice& Voice, uint8_t Key, int64_t NoteID, bool LimitMode) {
  const bool otherNote = !BelongsToNote(Voice, NoteID);
  const bool thisChannel = Voice.Channel == &Channel;
  const bool sameProgram = Voice.ProgramNumber == Channel.ProgramNumber;
  uint64_t score = 0;
  if (LimitMode) {
    if ((thisChannel && sameProgram) || NoteID < 0 || otherNote) score |= uint64_t{1} << 62;
    if (!Voice.Active) score |= uint64_t{1} << 61;
  }
  if (otherNote) score |= uint64_t{1} << 60;
  if (Voice.Channel == nullptr || Voice.Channel->ChannelIndex != DrumChannelIndex) score |= uint64_t{1} << 59;
  if (Voice.IsKeyOff) {
    if (thisChannel || sameProgram) {
      score |= uint64_t{1} << (Voice.Note == Key ? 58 : 57);
    } else {
      score |= uint64_t{1} << 56;
    }
  }
  if (!Voice.Sostenutoing) score |= uint64_t{1} << 55;
  // Notes started since this voice's note; counters stay non-negative.
  const int64_t age = std::clamp<int64_t>(Channel.Synth.NoteID - Voice.NoteID, 0, 65535);
  score |= static_cast<uint64_t>(age) << 27;
  score |= static_cast<uint64_t>(127 - std::clamp(Voice.Velocity, 0, 127)) << 20;
  double level = Voice.VolEnvelope != nullptr ? Voice.VolEnvelope->Output() : 0.0;
  level = level >= 0.0 ? std::min(level, 1.0) : 0.0;  // also maps NaN to 0
  // A full-scale quietness (65536) sets bit 20 and merges with the velocity field.
  score |= static_cast<uint64_t>((1.0 - level) * 65536.0) << 4;
  if (Voice.Channel != nullptr) score |= static_cast<uint64_t>(Voice.Channel->ChannelIndex & 15);
  return score;
}

// Algorithm 0: free voice first, else the highest score.
TVoice* FindVoiceByScore(TChannel& Channel, uint8_t Key, int64_t NoteID, TPresetLayer* Layer) {
  const TAllocator pool(Channel, NoteID);
  if (TVoice* voice = pool.MonoStep()) return voice;
  bool limitMode = Channel.LegatoPedal;
  if (Channel.PolyMode && Layer != nullptr && pool.ScoreGroupIsFull(Layer)) limitMode = true;

  TVoice* best = nullptr;
  uint64_t bestScore = 0;  // a score of 0 never wins
  for (int32_t i = 0; i < pool.Count; i++) {
    TVoice* voice = pool.Voice(i);
    if (!limitMode && (!voice->Active || voice->Channel == nullptr)) return voice;
    const uint64_t score = VoiceScore(Channel, *voice, Key, NoteID, limitMode);
    if (score > bestScore) {
      bestScore = score;
      best = voice;
    }
  }
  return best;
}

// Algorithms 1 and 2 after the free-voice step: released before sounding,
// the preferred channel before the rest, oldest first.
TVoice* FindOldestVoice(const TAllocator& Pool, int32_t PreferredChannel) {
  TOldestVoice releasedPreferred, released, preferred, any;
  for (int32_t i = 0; i < Pool.Count; i++) {
    TVoice* voice = Pool.Voice(i);
    if (!voice->Active || BelongsToNote(*voice, Pool.NoteID)) continue;
    const bool onPreferred = voice->Channel != nullptr && voice->Channel->ChannelIndex == PreferredChannel;
    if (voice->IsKeyOff) {
      if (onPreferred) releasedPreferred.Offer(voice);
      released.Offer(voice);
    }
    if (onPreferred) preferred.Offer(voice);
    any.Offer(voice);
  }
  for (TVoice* voice : {releasedPreferred.Found, released.Found, preferred.Found, any.Found}) {
    if (voice != nullptr) return voice;
  }
  return nullptr;
}

// Algorithm 1: steal on the highest-numbered busy channel other than 9.
TVoice* FindVoiceHighestChannel(TChannel& Channel, int64_t NoteID, TPresetLayer* Layer) {
  const TAllocator pool(Channel, NoteID);
  if (TVoice* voice = pool.MonoStep()) return voice;
  if (TVoice* voice = pool.GroupStep(Layer)) return voice;
  if (TVoice* voice = pool.FirstInactive()) return voice;
  int32_t target = Channel.ChannelIndex;
  for (int32_t i = 0; i < pool.Count; i++) {
    const TVoice& voice = *pool.Voice(i);
    if (!voice.Active || voice.Channel == nullptr) continue;
    const int32_t index = voice.Channel->ChannelIndex;
    if (target == DrumChannelIndex) {
      target = index;
    } else if (index != DrumChannelIndex && index >= target) {
      target = index;
    }
  }
  return FindOldestVoice(pool, target);
}

// Algorithm 2: a percussion channel first reuses its own voices.
TVoice* FindVoicePercussionReuse(TChannel& Channel, int64_t NoteID, TPresetLayer* Layer) {
  const TAllocator pool(Channel, NoteID);
  if (TVoice* voice = pool.MonoStep()) return voice;
  if (TVoice* voice = pool.GroupStep(Layer)) return voice;
  if (TVoice* voice = pool.FirstInactive()) return voice;
  // -1 matches no channel, so only the two "any channel" choices remain.
  return FindOldestVoice(pool, Channel.IsInDrumMode() ? Channel.ChannelIndex : -1);
}

}  // namespace

TVoice* TChannel::FindFreeVoice(uint8_t Key, int64_t NoteID, TPresetLayer* PresetLayer) {
  switch (Synth.VoiceAllocationAlgorithm) {
    case 1: return FindVoiceHighestChannel(*this, NoteID, PresetLayer);
    case 2: return FindVoicePercussionReuse(*this, NoteID, PresetLayer);
    default: return FindVoiceByScore(*this, Key, NoteID, PresetLayer);
  }
}

}  // namespace kelvane
