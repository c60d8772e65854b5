#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "synth/channel.h"
#include "synth/synth.h"

namespace kelvane::test {

// Records the render sequence: "C<n>" for a sub-block of n frames, "E<marker>@<offset>"
// for an event dispatched at a frame offset of the FillBuffer call (marker = Data[0]).
class TRecordingSynth : public TSynth {
 public:
  TRecordingSynth() {
    UserData = this;
    EventHook = [](void* userData, int32_t delta, TMIDIEvent& event) {
      static_cast<TRecordingSynth*>(userData)->Log.push_back("E" + std::to_string(event.Data[0]) + "@" +
                                                            std::to_string(delta));
    };
  }

  std::vector<std::string> Log;

 protected:
  void FillBufferPart(TBufferSample* Buffer, int32_t Samples) override {
    Log.push_back("C" + std::to_string(Samples));
    TSynth::FillBufferPart(Buffer, Samples);
  }
};

// Channel that records which events reached it.
class TRecordingChannel : public TChannel {
 public:
  TRecordingChannel(TSynth& synth, int32_t index, std::vector<int>& received)
      : TChannel(synth, index, synth.Voices.get()), Received(received) {}
  void ProcessEvent(const TMIDIEvent& event) override { Received.push_back(event.Command); }
  std::vector<int>& Received;
};

inline TMIDIEvent MakeEvent(int64_t position, uint8_t command, uint8_t marker) {
  TMIDIEvent event;
  event.Position = position;
  event.Command = command;
  event.Data[0] = marker;
  return event;
}

// A channel message (status with its channel, two data bytes) at a frame.
inline TMIDIEvent ShortMessage(int64_t position, uint8_t status, uint8_t data1, uint8_t data2) {
  TMIDIEvent event;
  event.Position = position;
  event.Command = status;
  event.Data[0] = data1;
  event.Data[1] = data2;
  return event;
}

// Renders Frames frames in FillBuffer calls of BlockFrames each.
inline std::vector<TBufferSample> RenderInBlocks(TSynth& synth, int64_t frames, int32_t blockFrames) {
  std::vector<TBufferSample> out(static_cast<size_t>(frames));
  for (int64_t done = 0; done < frames; done += blockFrames) {
    synth.FillBuffer(out.data() + done, static_cast<int32_t>(std::min<int64_t>(blockFrames, frames - done)));
  }
  return out;
}

// The first frame where two renders differ (bit for bit), or -1.
inline int64_t FirstDifference(const std::vector<TBufferSample>& a, const std::vector<TBufferSample>& b) {
  for (size_t i = 0; i < std::min(a.size(), b.size()); i++) {
    if (std::memcmp(&a[i], &b[i], sizeof(TBufferSample)) != 0) return static_cast<int64_t>(i);
  }
  return a.size() == b.size() ? -1 : static_cast<int64_t>(std::min(a.size(), b.size()));
}

}  // namespace kelvane::test
