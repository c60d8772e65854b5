#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

namespace kelvane::test {

inline void AppendVariableLength(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t groups[5];
  int count = 0;
  do {
    groups[count++] = value & 0x7F;
    value >>= 7;
  } while (value != 0);
  while (count > 0) {
    count--;
    out.push_back(static_cast<uint8_t>(groups[count] | (count > 0 ? 0x80 : 0)));
  }
}

inline void AppendBE(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void AppendLE32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void AppendID(std::vector<uint8_t>& out, const char* id) { out.insert(out.end(), id, id + 4); }

// Track body writer: each event is a delta time followed by its bytes as given
// (leave out the status byte to use running status).
class TSMFTrack {
 public:
  TSMFTrack& Event(uint32_t delta, std::initializer_list<uint8_t> bytes) {
    AppendVariableLength(Bytes, delta);
    Bytes.insert(Bytes.end(), bytes);
    return *this;
  }
  TSMFTrack& NoteOn(uint32_t delta, uint8_t channel, uint8_t key, uint8_t velocity = 100) {
    return Event(delta, {static_cast<uint8_t>(0x90 | channel), key, velocity});
  }
  TSMFTrack& NoteOff(uint32_t delta, uint8_t channel, uint8_t key) {
    return Event(delta, {static_cast<uint8_t>(0x80 | channel), key, 0});
  }
  TSMFTrack& Controller(uint32_t delta, uint8_t channel, uint8_t number, uint8_t value) {
    return Event(delta, {static_cast<uint8_t>(0xB0 | channel), number, value});
  }
  TSMFTrack& Tempo(uint32_t delta, uint32_t microsecondsPerQuarter) {
    AppendVariableLength(Bytes, delta);
    Bytes.insert(Bytes.end(), {0xFF, 0x51, 0x03});
    AppendBE(Bytes, microsecondsPerQuarter, 3);
    return *this;
  }
  TSMFTrack& Meta(uint32_t delta, uint8_t type, const std::vector<uint8_t>& data) {
    AppendVariableLength(Bytes, delta);
    Bytes.push_back(0xFF);
    Bytes.push_back(type);
    AppendVariableLength(Bytes, static_cast<uint32_t>(data.size()));
    Bytes.insert(Bytes.end(), data.begin(), data.end());
    return *this;
  }
  // status 0xF0 or 0xF7, then the stored length and bytes.
  TSMFTrack& SysEx(uint32_t delta, uint8_t status, const std::vector<uint8_t>& data) {
    AppendVariableLength(Bytes, delta);
    Bytes.push_back(status);
    AppendVariableLength(Bytes, static_cast<uint32_t>(data.size()));
    Bytes.insert(Bytes.end(), data.begin(), data.end());
    return *this;
  }
  TSMFTrack& EndOfTrack(uint32_t delta = 0) { return Meta(delta, 0x2F, {}); }

  std::vector<uint8_t> Bytes;
};

// A Standard MIDI File; Build writes the header with the number of chunks.
class TSMFBuilder {
 public:
  explicit TSMFBuilder(uint16_t division = 480, uint16_t format = 1) : fDivision(division), fFormat(format) {}

  TSMFTrack& Track() {
    fChunks.push_back({"MTrk", {}});
    return fTracks.emplace_back();
  }
  // A chunk of another type, counted among the announced tracks.
  void ForeignChunk(const char* id, std::vector<uint8_t> body) { fChunks.push_back({id, std::move(body)}); }

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> out;
    AppendID(out, "MThd");
    AppendBE(out, 6, 4);
    AppendBE(out, fFormat, 2);
    AppendBE(out, static_cast<uint32_t>(fChunks.size()), 2);
    AppendBE(out, fDivision, 2);
    size_t track = 0;
    for (const auto& chunk : fChunks) {
      const std::vector<uint8_t>& body = chunk.Id == "MTrk" ? fTracks[track++].Bytes : chunk.Body;
      AppendID(out, chunk.Id.c_str());
      AppendBE(out, static_cast<uint32_t>(body.size()), 4);
      out.insert(out.end(), body.begin(), body.end());
    }
    return out;
  }

 private:
  struct TChunk {
    std::string Id;
    std::vector<uint8_t> Body;
  };
  uint16_t fDivision;
  uint16_t fFormat;
  std::vector<TChunk> fChunks;
  std::deque<TSMFTrack> fTracks;  // references from Track() stay valid
};

// Wraps a song (and optional further chunks) into a RIFF "RMID" container.
inline std::vector<uint8_t> BuildRMID(const std::vector<uint8_t>& song,
                                      const std::vector<std::pair<std::string, std::vector<uint8_t>>>& before = {},
                                      const std::vector<std::pair<std::string, std::vector<uint8_t>>>& after = {}) {
  std::vector<uint8_t> body;
  AppendID(body, "RMID");
  auto chunk = [&](const std::string& id, const std::vector<uint8_t>& data) {
    AppendID(body, id.c_str());
    AppendLE32(body, static_cast<uint32_t>(data.size()));
    body.insert(body.end(), data.begin(), data.end());
  };
  for (const auto& [id, data] : before) chunk(id, data);
  chunk("data", song);
  for (const auto& [id, data] : after) chunk(id, data);
  std::vector<uint8_t> out;
  AppendID(out, "RIFF");
  AppendLE32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace kelvane::test
