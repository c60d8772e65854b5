// Song playback through the event queue: reading MIDI files, duration, seeking.

#include <algorithm>
#include <limits>

#include "banks/stream.h"
#include "synth/exceptions.h"
#include "synth/fpu.h"
#include "synth/midi_file.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

std::vector<uint8_t> ReadRest(TStream& stream) {
  std::vector<uint8_t> bytes;
  const int64_t remaining = stream.Size() - stream.Position();
  if (remaining <= 0) return bytes;
  bytes.resize(static_cast<size_t>(remaining));
  bytes.resize(static_cast<size_t>(std::max<int64_t>(0, stream.ReadSome(bytes.data(), remaining))));
  return bytes;
}

int64_t ClampToInt64(__int128 value) {
  constexpr int64_t max = std::numeric_limits<int64_t>::max();
  constexpr int64_t min = std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(std::clamp<__int128>(value, min, max));
}

}  // namespace

bool TSynth::ReadMIDI(TStream& Stream) { return ReadMIDIContainer(Stream, true); }

bool TSynth::ReadMIDIContainer(TStream& Stream, bool AcceptRMID) {
  const std::vector<uint8_t> bytes = ReadRest(Stream);

  if (AcceptRMID) {
    if (const auto song = FindRMIDSong(bytes)) {
      // The song itself is not searched for containers again, so nesting cannot recurse.
      TMemoryStream songStream(song->data(), song->size());
      const bool result = ReadMIDIContainer(songStream, false);
      // The whole container goes to the bank readers: an RMID may carry a DLS bank.
      // Plain RMID files carry none: the bank readers then return null.
      AttachSoundFont(std::make_unique<TMemoryStream>(bytes.data(), bytes.size()), true);
      return result;
    }
  }

  const std::optional<TMIDIFile> file = ParseMIDIFile(bytes);
  if (!file) return false;
  for (TScheduledMIDIEvent& scheduled : ScheduleMIDIFile(*file, SampleRate)) {
    TMIDIEvent event;
    event.Position = scheduled.Position;
    event.Command = scheduled.Command;
    std::copy(scheduled.Data.begin(), scheduled.Data.end(), event.Data);
    if (!scheduled.SysEx.empty()) {
      event.SysExLength = static_cast<uint32_t>(scheduled.SysEx.size());
      event.SysEx = new uint8_t[scheduled.SysEx.size()];
      std::copy(scheduled.SysEx.begin(), scheduled.SysEx.end(), event.SysEx);
    }
    AddEvent(event);  // the queue owns the payload from here
  }
  Reset();
  return !file->Tracks.empty();
}

int64_t TSynth::Duration(int64_t ValueUnit) const {
  if (EventLast == nullptr || SampleRate == 0) return 0;
  return ClampToInt64(static_cast<__int128>(EventLast->Position) * ValueUnit / SampleRate);
}

void TSynth::Seek(int64_t ToPosition, int64_t ValueUnit) {
  if (ValueUnit <= 0) throw EKelvane("Seek needs a positive value unit");
  SIMDFlushToZero();
  CurrentEvent = EventFirst;
  CurrentPosition = 0;
  SamplesRemainToNextMIDIEvent = CurrentEvent != nullptr ? CurrentEvent->Position : 0;
  FirstMIDIEvent = false;

  // As FillBuffer, without rendering: since nothing renders, a step may span
  // more than one sub-block, which changes neither the order nor the offsets.
  int64_t remaining = ClampToInt64(static_cast<__int128>(ToPosition) * SampleRate / ValueUnit);
  int64_t offset = 0;
  while (remaining > 0) {
    int64_t step = remaining;
    if (CurrentEvent != nullptr) {
      if (SamplesRemainToNextMIDIEvent < 1) {
        TMIDIEvent* event = CurrentEvent;
        if (EventHook != nullptr) {
          EventHook(UserData, static_cast<int32_t>(std::min<int64_t>(offset, std::numeric_limits<int32_t>::max())),
                    *event);
        }
        ProcessEvent(*event);
        const int64_t overdue = SamplesRemainToNextMIDIEvent;
        if (event->Next != nullptr) {
          SamplesRemainToNextMIDIEvent = event->Next->Position - event->Position + overdue;
        }
        CurrentEvent = event->Next;
      }
      if (CurrentEvent != nullptr && SamplesRemainToNextMIDIEvent < step) step = SamplesRemainToNextMIDIEvent;
    }
    if (step > 0) {
      offset += step;
      CurrentPosition += step;
      remaining -= step;
      if (CurrentEvent != nullptr) SamplesRemainToNextMIDIEvent -= step;
    }
  }
}

}  // namespace kelvane
