#pragma once

#include <cstdint>

namespace kelvane {

using TMIDIEventData = uint8_t[4];
inline constexpr uint32_t MaxSysExBytes = 65536;

// A record of the synthesizer's time-ordered event queue. Once queued, the
// synthesizer owns SysEx (allocated with new[]) and frees it on recycling.
struct TMIDIEvent {
  TMIDIEvent* Previous = nullptr;
  TMIDIEvent* Next = nullptr;
  int64_t Position = 0;  // frames from the first frame rendered after the queue was cleared
  uint8_t Command = 0;   // status byte; channel in the low nibble, 0xF0 = system exclusive
  TMIDIEventData Data = {0, 0, 0, 0};
  uint32_t SysExLength = 0;
  uint8_t* SysEx = nullptr;  // payload without the leading 0xF0, or null
  uintptr_t EventNoteID = 0;  // 0 = none
};

// Called just before an event is dispatched; DeltaPosition is the frame offset
// within the current FillBuffer call.
using TEventHook = void (*)(void* UserData, int32_t DeltaPosition, TMIDIEvent& Event);

}  // namespace kelvane
