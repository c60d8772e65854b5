#include "synth/midi_file.h"

#include <algorithm>
#include <cstring>

#include "synth/midi_event.h"

namespace kelvane {

namespace {

// Keeps positions far from overflow when the queue subtracts them.
constexpr int64_t MaxScheduledPosition = int64_t{1} << 62;

uint32_t ReadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t ReadBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t ReadLE32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
bool HasID(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// Bytes of a chunk body, read front to back; reads past the end fail.
class TTrackReader {
 public:
  TTrackReader(const uint8_t* begin, const uint8_t* end) : fPos(begin), fEnd(end) {}

  bool AtEnd() const { return fPos >= fEnd; }
  size_t Remaining() const { return static_cast<size_t>(fEnd - fPos); }
  uint8_t Peek() const { return *fPos; }
  bool Byte(uint8_t& value) {
    if (AtEnd()) return false;
    value = *fPos++;
    return true;
  }
  // A variable-length quantity: at most 4 bytes, 28 bits.
  enum class TVLQ { Ok, Truncated, TooLong };
  TVLQ VariableLength(uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; i++) {
      uint8_t b;
      if (!Byte(b)) return TVLQ::Truncated;
      value = (value << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) return TVLQ::Ok;
    }
    return TVLQ::TooLong;
  }
  bool Bytes(size_t count, std::vector<uint8_t>& out) {
    if (count > Remaining()) return false;
    out.assign(fPos, fPos + count);
    fPos += count;
    return true;
  }
  bool Skip(size_t count) {
    if (count > Remaining()) return false;
    fPos += count;
    return true;
  }

 private:
  const uint8_t* fPos;
  const uint8_t* fEnd;
};

int ChannelDataBytes(uint8_t status) {
  const uint8_t kind = status & 0xF0;
  return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

int SystemCommonDataBytes(uint8_t status) {
  switch (status) {
    case 0xF1:
    case 0xF3:
      return 1;
    case 0xF2:
      return 2;
    default:
      return 0;
  }
}

// Joins system-exclusive packets: an 0xF0 packet without a closing 0xF7 is
// continued by 0xF7 packets until one ends with 0xF7.
class TSysExAssembler {
 public:
  TSysExAssembler(TMIDIFileTrack& track, std::vector<std::string>& warnings, size_t trackNumber)
      : fTrack(track), fWarnings(warnings), fTrackNumber(trackNumber) {}

  void Packet(uint8_t status, int64_t tick, std::span<const uint8_t> bytes) {
    if (status == 0xF0) {
      Flush();
      Begin(tick, bytes);
    } else if (fActive) {
      Append(tick, bytes);
    } else if (!bytes.empty() && bytes[0] == 0xF0) {
      Begin(tick, bytes.subspan(1));  // an escaped complete message
    }
    // Other escaped bytes (real-time messages and the like) are not queued.
  }

  // Queues an unfinished message as it is, at the tick of its last packet.
  void Flush() {
    if (fActive && !fDiscard) Emit();
    fActive = fDiscard = false;
    fPayload.clear();
  }

 private:
  void Begin(int64_t tick, std::span<const uint8_t> bytes) {
    fActive = true;
    fDiscard = false;
    fPayload.clear();
    Append(tick, bytes);
  }
  void Append(int64_t tick, std::span<const uint8_t> bytes) {
    fTick = tick;  // the message takes effect when its last byte arrives
    if (!fDiscard) {
      if (fPayload.size() + bytes.size() > MaxSysExBytes) {
        fWarnings.push_back("track " + std::to_string(fTrackNumber) + ": system-exclusive message longer than " +
                            std::to_string(MaxSysExBytes) + " bytes dropped");
        fDiscard = true;
        fPayload.clear();
      } else {
        fPayload.insert(fPayload.end(), bytes.begin(), bytes.end());
      }
    }
    if (!bytes.empty() && bytes.back() == 0xF7) {
      if (!fDiscard) Emit();
      fActive = fDiscard = false;
      fPayload.clear();
    }
  }
  void Emit() {
    TMIDIFileEvent event;
    event.Tick = fTick;
    event.Command = 0xF0;
    event.Payload = fPayload;
    fTrack.Events.push_back(std::move(event));
  }

  TMIDIFileTrack& fTrack;
  std::vector<std::string>& fWarnings;
  size_t fTrackNumber;
  std::vector<uint8_t> fPayload;
  int64_t fTick = 0;
  bool fActive = false;
  bool fDiscard = false;  // the current message grew too long
};

void ParseTrack(TTrackReader reader, TMIDIFileTrack& track, std::vector<std::string>& warnings, size_t trackNumber) {
  const std::string where = "track " + std::to_string(trackNumber) + ": ";
  TSysExAssembler sysEx(track, warnings, trackNumber);
  int64_t tick = 0;
  uint8_t runningStatus = 0;  // only channel messages set it; meta and system events leave it
  std::vector<uint8_t> bytes;
  auto truncated = [&] { warnings.push_back(where + "truncated"); };

  while (!reader.AtEnd()) {
    uint32_t delta;
    const auto vlq = reader.VariableLength(delta);
    if (vlq == TTrackReader::TVLQ::TooLong) {
      warnings.push_back(where + "delta time longer than 4 bytes");
      break;
    }
    if (vlq == TTrackReader::TVLQ::Truncated) {
      truncated();
      break;
    }
    tick += delta;
    if (reader.AtEnd()) {
      truncated();
      break;
    }

    uint8_t status = reader.Peek();
    if (status & 0x80) {
      reader.Skip(1);
    } else if (runningStatus != 0) {
      status = runningStatus;
    } else {
      warnings.push_back(where + "data byte without a running status");
      break;
    }

    if (status < 0xF0) {
      runningStatus = status;
      TMIDIFileEvent event;
      event.Tick = tick;
      event.Command = status;
      bool complete = true;
      for (int i = 0; i < ChannelDataBytes(status) && complete; i++) {
        complete = reader.Byte(event.Data[static_cast<size_t>(i)]);
        event.Data[static_cast<size_t>(i)] &= 0x7F;
      }
      if (!complete) {
        truncated();
        break;
      }
      track.Events.push_back(event);
    } else if (status == 0xF0 || status == 0xF7) {
      uint32_t length;
      if (reader.VariableLength(length) != TTrackReader::TVLQ::Ok || !reader.Bytes(length, bytes)) {
        truncated();
        break;
      }
      sysEx.Packet(status, tick, bytes);
    } else if (status == 0xFF) {
      uint8_t type;
      uint32_t length;
      if (!reader.Byte(type) || reader.VariableLength(length) != TTrackReader::TVLQ::Ok ||
          !reader.Bytes(length, bytes)) {
        truncated();
        break;
      }
      if (type == 0x2F) break;  // end of track
      TMIDIFileEvent event;
      event.Tick = tick;
      event.Command = 0xFF;
      event.Data[0] = type;
      if (type == 0x51 && bytes.size() >= 3) std::copy_n(bytes.begin(), 3, event.Data.begin() + 1);
      event.Payload = bytes;
      track.Events.push_back(std::move(event));
    } else if (!reader.Skip(static_cast<size_t>(SystemCommonDataBytes(status)))) {
      truncated();
      break;
    }
  }
  sysEx.Flush();
}

// TimeDivision and initial tempo for a division word.
void ConvertDivision(TMIDIFile& file) {
  const uint16_t division = file.Division;
  file.SMPTE = (division & 0x8000) != 0;
  if (!file.SMPTE) {
    file.TimeDivision = division;
    file.Tempo = DefaultMIDITempo;
    return;
  }
  const int32_t ticksPerFrame = division & 0xFF;
  const int32_t framesCode = static_cast<int8_t>(division >> 8);
  switch (framesCode) {
    case -24:
      file.TimeDivision = 12 * ticksPerFrame;
      file.Tempo = 500000;
      break;
    case -25:
      file.TimeDivision = 10 * ticksPerFrame;
      file.Tempo = 400000;
      break;
    case -29:  // 29.97 frames per second (drop frame)
      file.TimeDivision = 2997 * ticksPerFrame;
      file.Tempo = 100000000;
      break;
    case -30:
      file.TimeDivision = 15 * ticksPerFrame;
      file.Tempo = 500000;
      break;
    default:
      file.TimeDivision = (256 - (division >> 8)) * ticksPerFrame;
      file.Tempo = 1000000;
      break;
  }
}

}  // namespace

std::optional<TMIDIFile> ParseMIDIFile(std::span<const uint8_t> Bytes) {
  if (Bytes.size() < 14 || !HasID(Bytes.data(), "MThd")) return std::nullopt;
  const uint8_t* data = Bytes.data();
  const size_t size = Bytes.size();

  TMIDIFile file;
  const uint32_t headerLength = ReadBE32(data + 4);
  file.Format = ReadBE16(data + 8);
  file.AnnouncedTracks = ReadBE16(data + 10);
  file.Division = ReadBE16(data + 12);
  ConvertDivision(file);

  // A longer header is skipped by its length when it fits the file.
  size_t position = 14;
  if (headerLength > 6 && headerLength <= size - 8) position = 8 + size_t{headerLength};

  for (int32_t chunk = 0; chunk < file.AnnouncedTracks; chunk++) {
    if (size - position < 8) {
      if (position < size) file.Warnings.push_back("truncated chunk header");
      break;
    }
    const uint8_t* header = data + position;
    const uint64_t length = ReadBE32(header + 4);
    const size_t bodyStart = position + 8;
    size_t bodyEnd = bodyStart + static_cast<size_t>(std::min<uint64_t>(length, size - bodyStart));
    if (bodyEnd - bodyStart < length) file.Warnings.push_back("chunk " + std::to_string(chunk) + " runs past the end");
    if (HasID(header, "MTrk")) {
      file.Tracks.emplace_back();
      ParseTrack(TTrackReader(data + bodyStart, data + bodyEnd), file.Tracks.back(), file.Warnings,
                 file.Tracks.size() - 1);
    }
    position = bodyEnd;
  }
  return file;
}

std::optional<std::span<const uint8_t>> FindRMIDSong(std::span<const uint8_t> Bytes) {
  if (Bytes.size() < 12 || !HasID(Bytes.data(), "RIFF") || !HasID(Bytes.data() + 8, "RMID")) return std::nullopt;
  size_t position = 12;
  while (Bytes.size() - position >= 8) {
    const uint8_t* header = Bytes.data() + position;
    const uint64_t length = ReadLE32(header + 4);
    const size_t bodyStart = position + 8;
    const size_t available = std::min<uint64_t>(length, Bytes.size() - bodyStart);
    if (HasID(header, "data")) return Bytes.subspan(bodyStart, available);
    position = bodyStart + available;
  }
  return std::span<const uint8_t>();
}

__int128 MIDISamplesPerTick(int32_t SampleRate, int32_t TimeDivision, int32_t Tempo) {
  const __int128 rate = std::max(SampleRate, 0);
  const __int128 division = TimeDivision > 0 ? TimeDivision : 1;
  // ticks per second = division * 1e6 / tempo (exactly, as a fraction), at least 1
  __int128 numerator;
  __int128 denominator;
  if (Tempo == 0) {
    numerator = division * 2;
    denominator = 1;
  } else {
    numerator = division * 1000000;
    denominator = Tempo > 0 ? Tempo : -static_cast<__int128>(Tempo);
  }
  if (numerator < denominator) numerator = denominator = 1;
  return (rate << 32) * denominator / numerator;
}

std::vector<TScheduledMIDIEvent> ScheduleMIDIFile(const TMIDIFile& File, int32_t SampleRate) {
  struct TRef {
    int64_t Tick;
    size_t Track;
    size_t Index;
  };
  std::vector<TRef> order;
  for (size_t t = 0; t < File.Tracks.size(); t++) {
    const auto& events = File.Tracks[t].Events;
    for (size_t i = 0; i < events.size(); i++) order.push_back({events[i].Tick, t, i});
  }
  std::sort(order.begin(), order.end(), [](const TRef& a, const TRef& b) {
    if (a.Tick != b.Tick) return a.Tick < b.Tick;
    if (a.Track != b.Track) return a.Track < b.Track;
    return a.Index < b.Index;
  });
  auto eventOf = [&](const TRef& ref) -> const TMIDIFileEvent& { return File.Tracks[ref.Track].Events[ref.Index]; };

  int64_t startOffset = 0;
  for (const TRef& ref : order) {
    if ((eventOf(ref).Command & 0xF0) == 0x90) {
      startOffset = ref.Tick;
      break;
    }
  }

  std::vector<TScheduledMIDIEvent> scheduled;
  __int128 samplesPerTick = MIDISamplesPerTick(SampleRate, File.TimeDivision, File.Tempo);
  __int128 accumulator = 0;  // 32.32 frames
  int64_t lastTick = 0;
  auto advanceTo = [&](int64_t tick) {
    tick = std::max<int64_t>(0, tick - startOffset);
    accumulator += static_cast<__int128>(tick - lastTick) * samplesPerTick;
    lastTick = tick;
  };
  for (const TRef& ref : order) {
    const TMIDIFileEvent& event = eventOf(ref);
    if (event.Command >= 0x80 && event.Command <= 0xF0) {
      advanceTo(event.Tick);
      TScheduledMIDIEvent out;
      out.Position = static_cast<int64_t>(
          std::min<__int128>((accumulator + (__int128{1} << 31)) >> 32, MaxScheduledPosition));
      out.Command = event.Command;
      out.Data = event.Data;
      if (event.Command == 0xF0) out.SysEx = event.Payload;
      scheduled.push_back(std::move(out));
    } else if (event.Command == 0xFF && event.Data[0] == 0x51 && event.Payload.size() >= 3 && !File.SMPTE) {
      // The ticks up to the change still run at the old tempo.
      advanceTo(event.Tick);
      const int32_t tempo = (event.Data[1] << 16) | (event.Data[2] << 8) | event.Data[3];
      samplesPerTick = MIDISamplesPerTick(SampleRate, File.TimeDivision, tempo);
    }
  }
  return scheduled;
}

}  // namespace kelvane
