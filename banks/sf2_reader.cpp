#include "banks/sf2_reader.h"

#include <cstring>

namespace kelvane {

namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return U16(p) | (static_cast<uint32_t>(U16(p + 2)) << 16); }

bool IdIs(const uint8_t* id, const char* name) { return std::memcmp(id, name, 4) == 0; }

void CopyName(char (&to)[20], const uint8_t* from) { std::memcpy(to, from, 20); }

TSFPresetHeader ParsePresetHeader(const uint8_t* p) {
  TSFPresetHeader r;
  CopyName(r.Name, p);
  r.Preset = U16(p + 20);
  r.Bank = U16(p + 22);
  r.PresetBagNdx = U16(p + 24);
  r.LibraryNdx = U32(p + 26);
  r.Genre = U32(p + 30);
  r.Morphology = U32(p + 34);
  return r;
}

TSFBag ParseBag(const uint8_t* p) { return {U16(p), U16(p + 2)}; }

TSFMod ParseMod(const uint8_t* p) {
  return {U16(p), U16(p + 2), static_cast<int16_t>(U16(p + 4)), U16(p + 6), U16(p + 8)};
}

TSFGen ParseGen(const uint8_t* p) { return {U16(p), TSFGenAmount{U16(p + 2)}}; }

TSFInst ParseInst(const uint8_t* p) {
  TSFInst r;
  CopyName(r.InstName, p);
  r.InstBagNdx = U16(p + 20);
  return r;
}

TSFSample ParseSample(const uint8_t* p) {
  TSFSample r = TSFSample::FromBytes(p);
  if (r.OriginalPitch == 255) r.OriginalPitch = 60;  // "unpitched" marker
  return r;
}

// SoundFont 1 headers hold only the positions; the rest is fixed.
TSFSample ParseVersion1Sample(const uint8_t* p) {
  TSFSample r{};
  r.lwStart = U32(p);
  r.lwEnd = U32(p + 4);
  r.LoopStart = U32(p + 8);
  r.LoopEnd = U32(p + 12) + 2;
  r.SampleRate = 44100;
  r.OriginalPitch = 60;
  r.SampleType = 0x8001;  // mono, ROM
  return r;
}

class TChunkWalker {
 public:
  TChunkWalker(TStream& stream, TSF2File& file) : fStream(stream), fFile(file), fStreamSize(stream.Size()) {}

  TSF2ReadResult Walk() {
    uint8_t header[12];
    fStream.Seek(0);
    if (!fStream.TryRead(header, 12) || !IdIs(header, "RIFF") || !IdIs(header + 8, "sfbk")) return srrNotSF2;
    const int64_t riffSize = U32(header + 4);
    int64_t position = 12;
    while (!fTruncated && position < fStreamSize && position < riffSize) {
      uint8_t id[4];
      int64_t size = 0;
      if (!ReadHeader(id, size)) break;
      const int64_t end = position + 8 + size;  // no pad byte for odd sizes
      if (IdIs(id, "LIST")) WalkList(end);
      fStream.Seek(end);
      position = end;
    }
    return fTruncated ? srrTruncated : srrOK;
  }

 private:
  bool ReadHeader(uint8_t (&id)[4], int64_t& size) {
    uint8_t header[8];
    if (!fStream.TryRead(header, 8)) {
      fTruncated = true;
      return false;
    }
    std::memcpy(id, header, 4);
    size = U32(header + 4);
    return true;
  }

  // Reads size payload bytes; a payload reaching past the end of the stream is
  // a short read, found before anything is allocated.
  bool ReadPayload(int64_t size, std::vector<uint8_t>& bytes) {
    const int64_t available = fStreamSize - fStream.Position();
    if (size > available) {
      fTruncated = true;
      return false;
    }
    bytes.resize(static_cast<size_t>(size));
    if (size > 0 && !fStream.TryRead(bytes.data(), size)) {
      fTruncated = true;
      return false;
    }
    return true;
  }

  void WalkList(int64_t listEnd) {
    uint8_t type[4];
    if (!fStream.TryRead(type, 4)) {
      fTruncated = true;
      return;
    }
    int64_t position = fStream.Position();
    while (!fTruncated && position < listEnd) {
      uint8_t id[4];
      int64_t size = 0;
      if (!ReadHeader(id, size)) return;
      const int64_t end = position + 8 + size;
      if (IdIs(type, "INFO")) {
        ReadInfoChunk(id, size);
      } else if (IdIs(type, "sdta")) {
        ReadSdtaChunk(id, size, position + 8);
      } else if (IdIs(type, "pdta")) {
        ReadPdtaChunk(id, size);
      }
      fStream.Seek(end);
      position = end;
    }
  }

  void ReadVersion(uint16_t& major, uint16_t& minor) {
    uint8_t v[4];
    if (!fStream.TryRead(v, 4)) {
      fTruncated = true;
      return;
    }
    major = U16(v);
    minor = U16(v + 2);
  }

  void ReadText(int64_t size, std::string& text) {
    std::vector<uint8_t> bytes;
    if (ReadPayload(size, bytes)) text.assign(bytes.begin(), bytes.end());
  }

  void ReadInfoChunk(const uint8_t* id, int64_t size) {
    TSF2Info& info = fFile.Info;
    if (IdIs(id, "ifil")) {
      ReadVersion(fFile.VersionMajor, fFile.VersionMinor);
    } else if (IdIs(id, "iver")) {
      ReadVersion(info.ROMVersionMajor, info.ROMVersionMinor);
    } else {
      struct TText {
        const char* Id;
        std::string TSF2Info::*Field;
      };
      static constexpr TText texts[] = {
          {"isng", &TSF2Info::EngineName}, {"INAM", &TSF2Info::BankName},  {"irom", &TSF2Info::ROMName},
          {"ICRD", &TSF2Info::Date},       {"IENG", &TSF2Info::Author},    {"IPRD", &TSF2Info::Product},
          {"ICOP", &TSF2Info::Copyright},  {"ICMT", &TSF2Info::Comment},   {"ISFT", &TSF2Info::Software}};
      for (const TText& t : texts) {
        if (IdIs(id, t.Id)) {
          ReadText(size, info.*t.Field);
          return;
        }
      }
    }
  }

  void ReadSdtaChunk(const uint8_t* id, int64_t size, int64_t dataPosition) {
    if (IdIs(id, "smpl")) {
      fFile.SmplOfs = dataPosition;
      fFile.SmplSize = size;
    } else if (IdIs(id, "sm24") && fFile.VersionMajor > 1 && fFile.VersionMinor > 3) {
      fFile.SM24Ofs = dataPosition;
      fFile.SM24Size = size;
    }
  }

  template <typename TRecord, typename TParse>
  void ReadArray(int64_t size, int64_t recordSize, std::vector<TRecord>& records, TParse parse) {
    const int64_t count = size / recordSize;
    std::vector<uint8_t> bytes;
    if (!ReadPayload(count * recordSize, bytes)) return;
    records.clear();
    records.reserve(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) records.push_back(parse(bytes.data() + i * recordSize));
  }

  void ReadPdtaChunk(const uint8_t* id, int64_t size) {
    TSF2File& f = fFile;
    if (IdIs(id, "phdr")) {
      ReadArray(size, TSFPresetHeader::RecordSize, f.PresetHeaders, ParsePresetHeader);
    } else if (IdIs(id, "pbag")) {
      ReadArray(size, TSFBag::RecordSize, f.PresetBags, ParseBag);
    } else if (IdIs(id, "pmod")) {
      ReadArray(size, TSFMod::RecordSize, f.PresetMods, ParseMod);
    } else if (IdIs(id, "pgen")) {
      ReadArray(size, TSFGen::RecordSize, f.PresetGens, ParseGen);
    } else if (IdIs(id, "inst")) {
      ReadArray(size, TSFInst::RecordSize, f.Instruments, ParseInst);
    } else if (IdIs(id, "ibag")) {
      ReadArray(size, TSFBag::RecordSize, f.InstrumentBags, ParseBag);
    } else if (IdIs(id, "imod")) {
      ReadArray(size, TSFMod::RecordSize, f.InstrumentMods, ParseMod);
    } else if (IdIs(id, "igen")) {
      ReadArray(size, TSFGen::RecordSize, f.InstrumentGens, ParseGen);
    } else if (IdIs(id, "shdr")) {
      if (f.IsVersion1()) {
        ReadArray(size, SF1SampleRecordSize, f.SampleHeaders, ParseVersion1Sample);
      } else {
        ReadArray(size, static_cast<int64_t>(TSFSample::StoredSize), f.SampleHeaders, ParseSample);
      }
    }
  }

  TStream& fStream;
  TSF2File& fFile;
  const int64_t fStreamSize;
  bool fTruncated = false;
};

}  // namespace

void TSF2File::Clear() { *this = TSF2File(); }

TSF2ReadResult TSF2File::Read(TStream& stream) {
  Clear();
  return TChunkWalker(stream, *this).Walk();
}

}  // namespace kelvane
