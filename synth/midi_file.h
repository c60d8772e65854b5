#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kelvane {

// One event of a track as stored in a Standard MIDI File.
struct TMIDIFileEvent {
  int64_t Tick = 0;     // from the start of the track
  uint8_t Command = 0;  // status byte: channel message, 0xF0 system exclusive or 0xFF meta
  // Channel data; for meta events [0] is the type and a tempo event (0x51)
  // carries its three tempo bytes in [1..3].
  std::array<uint8_t, 4> Data{};
  // System exclusive: the message without its leading 0xF0, ending with 0xF7
  // when complete (split packets are joined). Meta events: their data.
  std::vector<uint8_t> Payload;
};

struct TMIDIFileTrack {
  std::vector<TMIDIFileEvent> Events;  // in file order, ticks non-decreasing
};

// A parsed Standard MIDI File. Damaged parts are cut off where the damage
// starts and described in Warnings.
struct TMIDIFile {
  int32_t Format = 0;
  int32_t AnnouncedTracks = 0;  // chunks the header announces, "MTrk" or not
  uint16_t Division = 0;        // as stored
  bool SMPTE = false;           // bit 15 of Division set: timing in frames, tempo events ignored
  int32_t TimeDivision = 0;     // ticks per quarter note after conversion
  int32_t Tempo = 500000;       // initial microseconds per quarter note
  std::vector<TMIDIFileTrack> Tracks;  // the "MTrk" chunks in file order
  std::vector<std::string> Warnings;
};

// An event ready for the synthesizer's queue.
struct TScheduledMIDIEvent {
  int64_t Position = 0;  // frames from the first note-on
  uint8_t Command = 0;   // channel message or 0xF0
  std::array<uint8_t, 4> Data{};
  std::vector<uint8_t> SysEx;  // 0xF0 only: payload without the leading 0xF0
};

inline constexpr int32_t DefaultMIDITempo = 500000;  // microseconds per quarter note (120 BPM)

// Parses a Standard MIDI File held in memory; nullopt when it does not start
// with an "MThd" header. Never trusts a size, count or length in the data.
std::optional<TMIDIFile> ParseMIDIFile(std::span<const uint8_t> Bytes);

// The contents of the "data" chunk when Bytes is a RIFF "RMID" container;
// nullopt when it is not one. An RMID without a "data" chunk gives an empty span.
std::optional<std::span<const uint8_t>> FindRMIDSong(std::span<const uint8_t> Bytes);

// Converts ticks to frames at SampleRate through the tempo map, with the first
// note-on at frame 0, and merges the tracks (equal ticks: lower track first).
// Channel messages and system-exclusive messages are kept; meta events are not.
std::vector<TScheduledMIDIEvent> ScheduleMIDIFile(const TMIDIFile& File, int32_t SampleRate);

// 32.32 fixed-point frames per tick at SampleRate for a division and tempo.
__int128 MIDISamplesPerTick(int32_t SampleRate, int32_t TimeDivision, int32_t Tempo);

}  // namespace kelvane
