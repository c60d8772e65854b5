#pragma once

// A host's batch of song events for one block: VstMidiEvent and
// VstMidiSysexEvent records (system exclusive with its leading F0) at their
// exact offsets in the block, in a VstEvents record with room for them all.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "plugin/vst2.h"
#include "synth/midi_file.h"

namespace kelvane {

class TVstEventBatch {
 public:
  // Takes Events[Next..) up to the block's end, advancing Next; answers the
  // record to pass to effProcessEvents, or null when the block has no event.
  VstEvents* Take(const std::vector<TScheduledMIDIEvent>& Events, size_t& Next, int64_t Start, int32_t Frames) {
    size_t end = Next;
    while (end < Events.size() && Events[end].Position < Start + Frames) ++end;
    Midi.clear();
    SysEx.clear();
    SysExBytes.clear();
    Pointers.clear();
    // Reserved up front: the pointers taken below must stay valid.
    Midi.reserve(end - Next);
    SysEx.reserve(end - Next);
    SysExBytes.reserve(end - Next);
    for (; Next < end; ++Next) {
      const TScheduledMIDIEvent& event = Events[Next];
      const auto delta = static_cast<VstInt32>(event.Position - Start);
      if (event.Command == 0xF0) {
        std::vector<char>& bytes = SysExBytes.emplace_back(1, static_cast<char>(0xF0));
        bytes.insert(bytes.end(), event.SysEx.begin(), event.SysEx.end());
        VstMidiSysexEvent& e = SysEx.emplace_back();
        e.type = kVstSysExType;
        e.byteSize = sizeof(VstMidiSysexEvent);
        e.deltaFrames = delta;
        e.dumpBytes = static_cast<VstInt32>(bytes.size());
        e.sysexDump = bytes.data();
        Pointers.push_back(reinterpret_cast<VstEvent*>(&e));
      } else {
        VstMidiEvent& e = Midi.emplace_back();
        e.type = kVstMidiType;
        e.byteSize = sizeof(VstMidiEvent);
        e.deltaFrames = delta;
        e.midiData[0] = static_cast<char>(event.Command);
        e.midiData[1] = static_cast<char>(event.Data[0]);
        e.midiData[2] = static_cast<char>(event.Data[1]);
        Pointers.push_back(reinterpret_cast<VstEvent*>(&e));
      }
    }
    if (Pointers.empty()) return nullptr;
    Block.assign(2 + Pointers.size(), 0);
    auto* events = reinterpret_cast<VstEvents*>(Block.data());
    events->numEvents = static_cast<VstInt32>(Pointers.size());
    std::copy(Pointers.begin(), Pointers.end(), reinterpret_cast<VstEvent**>(&Block[2]));
    return events;
  }

 private:
  std::vector<VstMidiEvent> Midi;
  std::vector<VstMidiSysexEvent> SysEx;
  std::vector<std::vector<char>> SysExBytes;
  std::vector<VstEvent*> Pointers;
  std::vector<VstIntPtr> Block;  // a VstEvents record with room for every pointer
};

}  // namespace kelvane
