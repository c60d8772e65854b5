#include "banks/dls_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kelvane {

namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return U16(p) | (static_cast<uint32_t>(U16(p + 2)) << 16); }
uint32_t U32Big(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
bool IdIs(const uint8_t* id, const char* name) { return std::memcmp(id, name, 4) == 0; }

// Lists deeper than this come from no real bank; refusing them bounds the
// reader's stack.
constexpr int MaxListDepth = 16;

// Bank files larger than this are refused before they are copied.
constexpr int64_t MaxBankBytes = int64_t{1} << 31;

std::string TextOf(const uint8_t* p, uint32_t size) {
  const uint32_t n = std::min<uint32_t>(size, 255);
  std::string s(reinterpret_cast<const char*>(p), n);
  const size_t zero = s.find('\0');
  if (zero != std::string::npos) s.resize(zero);
  return s;
}

// Query identifiers of "cdl " expressions, as stored (GUID byte order).
struct TDLSQuery {
  uint8_t Id[16];
  uint32_t Value;
};
constexpr uint8_t GuidTail1[8] = {0xa7, 0x60, 0x00, 0x00, 0xf8, 0x75, 0xac, 0x12};
constexpr uint8_t GuidTail2[8] = {0xa1, 0xef, 0x00, 0x60, 0x08, 0x33, 0xdb, 0xd8};

void MakeGuid(uint8_t* out, uint32_t d1, uint16_t d2, uint16_t d3, const uint8_t* tail) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(d1 >> (8 * i));
  out[4] = static_cast<uint8_t>(d2);
  out[5] = static_cast<uint8_t>(d2 >> 8);
  out[6] = static_cast<uint8_t>(d3);
  out[7] = static_cast<uint8_t>(d3 >> 8);
  std::memcpy(out + 8, tail, 8);
}

// What this synthesizer answers: General MIDI and GS capable, DLS levels 1
// and 2, no XG, plenty of sample memory, 44.1 kHz.
std::vector<TDLSQuery> DLSQueries() {
  static const uint8_t dls2Tail[8] = {0xaf, 0xa6, 0x00, 0xaa, 0x00, 0x24, 0xd8, 0xb6};
  static const uint8_t rateTail[8] = {0xbb, 0xdf, 0x00, 0x60, 0x08, 0x33, 0xdb, 0xd8};
  std::vector<TDLSQuery> q(9);
  MakeGuid(q[0].Id, 0x178f2f24, 0xc364, 0x11d1, GuidTail1);  // GM in hardware
  q[0].Value = 1;
  MakeGuid(q[1].Id, 0x178f2f25, 0xc364, 0x11d1, GuidTail1);  // GS in hardware
  q[1].Value = 1;
  MakeGuid(q[2].Id, 0x178f2f26, 0xc364, 0x11d1, GuidTail1);  // XG in hardware
  q[2].Value = 0;
  MakeGuid(q[3].Id, 0x178f2f27, 0xc364, 0x11d1, GuidTail1);  // DLS level 1
  q[3].Value = 1;
  MakeGuid(q[4].Id, 0xf14599e5, 0x4689, 0x11d2, dls2Tail);  // DLS level 2
  q[4].Value = 1;
  MakeGuid(q[5].Id, 0x178f2f28, 0xc364, 0x11d1, GuidTail1);  // sample memory
  q[5].Value = 0x7FFFFFFF;
  MakeGuid(q[6].Id, 0xb03e1181, 0x8095, 0x11d2, GuidTail2);  // manufacturer
  q[6].Value = 0;
  MakeGuid(q[7].Id, 0xb03e1182, 0x8095, 0x11d2, GuidTail2);  // product
  q[7].Value = 0;
  MakeGuid(q[8].Id, 0x2a91f713, 0xa4bf, 0x11d2, rateTail);  // playback rate
  q[8].Value = 44100;
  return q;
}

// A read-only stream over bytes owned elsewhere: waves are decoded straight
// from the bank's copy.
class TMemoryView final : public TStream {
 public:
  TMemoryView(const uint8_t* data, int64_t size) : fData(data), fSize(size) {}
  int64_t Size() override { return fSize; }
  int64_t Position() override { return fPosition; }
  void Seek(int64_t position) override { fPosition = position < 0 ? 0 : position; }
  int64_t ReadSome(void* buffer, int64_t count) override {
    if (count <= 0 || fPosition >= fSize) return 0;
    const int64_t n = std::min(count, fSize - fPosition);
    std::memcpy(buffer, fData + fPosition, static_cast<size_t>(n));
    fPosition += n;
    return n;
  }

 private:
  const uint8_t* fData;
  int64_t fSize;
  int64_t fPosition = 0;
};

}  // namespace

double DLSRelPitchToCents(int32_t v) { return v / 65536.0; }

int32_t DLSAbsPitchToSF2AbsPitch(int32_t v) {
  const double hz = std::pow(2.0, (v / 65536.0 - 6900.0) / 1200.0) * 440.0;
  const double r = std::log(hz / 8.176) / std::log(2.0) * 1200.0 + 0.5;
  return static_cast<int32_t>(std::clamp(std::trunc(r), -2147483648.0, 2147483647.0));
}

namespace {
// To the nearest unit, halves up. Division truncating toward zero would move
// every exact negative value one unit up (-100 time cents to -99).
int32_t RoundedDiv65536(int32_t v) { return static_cast<int32_t>((static_cast<int64_t>(v) + 32768) >> 16); }
}  // namespace

int32_t DLSAbsTimeToSF2AbsTime(int32_t v) { return RoundedDiv65536(v); }
int32_t DLSGainToSF2Centibles(int32_t v) { return RoundedDiv65536(v); }
int32_t DLSPercentToSF2TenthPercent(int32_t v) { return RoundedDiv65536(v); }

bool EvaluateDLSCondition(const uint8_t* Data, uint32_t Size) {
  static const std::vector<TDLSQuery> queries = DLSQueries();
  std::vector<uint32_t> stack;
  uint32_t p = 0;
  auto pop = [&](uint32_t& v) {
    if (stack.empty()) return false;
    v = stack.back();
    stack.pop_back();
    return true;
  };
  while (p + 2 <= Size) {
    const uint16_t op = U16(Data + p);
    p += 2;
    if (op == 0x10) {  // constant
      if (p + 4 > Size) return false;
      stack.push_back(U32(Data + p));
      p += 4;
    } else if (op == 0x11 || op == 0x12) {  // query, query supported
      if (p + 16 > Size) return false;
      const TDLSQuery* found = nullptr;
      for (const TDLSQuery& q : queries) {
        if (std::memcmp(q.Id, Data + p, 16) == 0) found = &q;
      }
      p += 16;
      stack.push_back(op == 0x12 ? (found ? 1u : 0u) : (found ? found->Value : 0u));
    } else if (op == 0x0F) {  // not
      uint32_t a;
      if (!pop(a)) return false;
      stack.push_back(a == 0 ? 1u : 0u);
    } else if (op >= 0x01 && op <= 0x0E) {
      uint32_t b, a;
      if (!pop(b) || !pop(a)) return false;
      uint32_t r = 0;
      switch (op) {
        case 0x01: r = a & b; break;
        case 0x02: r = a | b; break;
        case 0x03: r = a ^ b; break;
        case 0x04: r = a + b; break;
        case 0x05: r = a - b; break;
        case 0x06: r = a * b; break;
        case 0x07: r = b == 0 ? 0 : a / b; break;
        case 0x08: r = (a && b) ? 1 : 0; break;
        case 0x09: r = (a || b) ? 1 : 0; break;
        case 0x0A: r = a < b; break;
        case 0x0B: r = a <= b; break;
        case 0x0C: r = a > b; break;
        case 0x0D: r = a >= b; break;
        case 0x0E: r = a == b; break;
        default: break;
      }
      stack.push_back(r);
    } else {
      return false;
    }
    if (stack.size() > Size) return false;
  }
  return !stack.empty() && stack.back() != 0;
}

void TDLS::Clear() {
  BankInfo = TDLSSOUNDBANKINFO{};
  BankStream.clear();
  BankStream.shrink_to_fit();
  WavePoolOffset = 0;
  CountInstruments = 0;
  CountWaveforms = 0;
  CountConnections = 0;
  MaxWaveLink = 0;
  Waveforms.clear();
  Instruments.clear();
  Connections.clear();
  Level2 = false;
  Error.clear();
}

bool TDLS::Fail(const std::string& Message) {
  if (Error.empty()) Error = Message;
  return false;
}

bool TDLS::IsBank(TStream& Stream) {
  uint8_t h[12];
  Stream.Seek(0);
  if (!Stream.TryRead(h, 12)) return false;
  if (IdIs(h, "FORM")) {
    int64_t position = 0;
    for (int steps = 0; U32Big(h + 4) > 4; ++steps) {
      if (IdIs(h + 8, "XDLS")) {
        if (!Stream.TryRead(h, 12)) return false;
        break;
      }
      position += 8 + static_cast<int64_t>(U32Big(h + 4));
      Stream.Seek(position);
      if (!Stream.TryRead(h, 12)) break;
      if (!IdIs(h, "FORM") || steps > 1000000) break;
    }
  } else if (IdIs(h, "RIFF") && IdIs(h + 8, "RMID")) {
    int64_t position = 12;
    const int64_t size = Stream.Size();
    while (position < size) {
      Stream.Seek(position);
      if (!Stream.TryRead(h, 12)) return false;
      if (IdIs(h + 8, "DLS ")) break;
      const uint32_t chunkSize = U32(h + 4);
      if (chunkSize < 5) break;
      position += 8 + static_cast<int64_t>(chunkSize);
      uint8_t pad = 1;
      if ((chunkSize & 1) != 0 && (Stream.Seek(position), Stream.TryRead(&pad, 1)) && pad == 0) ++position;
    }
  }
  return IdIs(h, "RIFF") && U32(h + 4) >= 256 && (IdIs(h + 8, "DLS ") || IdIs(h + 8, "MLS "));
}

bool TDLS::Open(TStream& Stream) {
  Clear();
  const int64_t size = Stream.Size();
  if (size < 12) return Fail("shorter than a RIFF header");
  if (size > MaxBankBytes) return Fail("larger than 2 GB");
  BankStream.resize(static_cast<size_t>(size));
  Stream.Seek(0);
  if (!Stream.TryRead(BankStream.data(), size)) {
    Clear();
    return Fail("short read");
  }
  const uint8_t* d = BankStream.data();
  const auto n = static_cast<uint64_t>(size);

  // Locate the DLS form: inside an RMID, after XDLS headers, or at the start.
  uint64_t p = 0;
  if (IdIs(d, "RIFF") && IdIs(d + 8, "RMID")) {
    p = 12;
    while (p + 12 <= n && !(IdIs(d + p, "RIFF") && IdIs(d + p + 8, "DLS "))) {
      p += 8 + static_cast<uint64_t>(U32(d + p + 4));
      if (p < n && (p & 1) != 0 && d[p] == 0 && p + 1 + 12 <= n && !IdIs(d + p, "RIFF")) ++p;  // pad byte
    }
  }
  if (p + 12 <= n && IdIs(d + p, "FORM")) {
    while (p + 24 <= n && IdIs(d + p, "FORM")) {
      const uint64_t formSize = U32Big(d + p + 4);
      if (IdIs(d + p + 8, "XDLS")) {
        p += 12;  // the RIFF DLS form follows the XDLS header
        break;
      }
      if (formSize < 5 || formSize >= n - p) break;
      p += 8 + formSize;
    }
  }
  if (p + 12 > n || !IdIs(d + p, "RIFF") || !(IdIs(d + p + 8, "DLS ") || IdIs(d + p + 8, "MLS ")))
    return Fail("no RIFF DLS form");
  const uint64_t end = p + 8 + static_cast<uint64_t>(U32(d + p + 4));
  if (end > n) return Fail("the DLS form runs past the end of the file");

  uint32_t filled = 0;
  bool haveColh = false;
  bool haveTable = false;
  uint64_t poolEnd = 0;
  for (uint64_t c = p + 12; c + 8 <= end;) {
    if (d[c] == 0 && c + 9 <= end && d[c + 1] != 0) ++c;  // pad byte
    const uint64_t chunkSize = U32(d + c + 4);
    const uint64_t data = c + 8;
    if (data + chunkSize > end) break;
    const uint8_t* id = d + c;
    if (IdIs(id, "colh") && chunkSize >= 4 && !haveColh) {
      haveColh = true;
      const uint32_t count = U32(d + data);
      // Each instrument needs a list of at least 12 bytes.
      if (count > (end - c) / 12) return Fail("instrument count past the end of the file");
      CountInstruments = count;
      Instruments.resize(count);
    } else if (IdIs(id, "ptbl") && chunkSize >= 8 && !haveTable) {
      haveTable = true;
      const uint64_t cbSize = U32(d + data);
      const uint64_t cues = U32(d + data + 4);
      if (cbSize + 4 * cues > chunkSize) return Fail("pool table past its chunk");
      CountWaveforms = static_cast<uint32_t>(cues);
      Waveforms.resize(cues);
      for (uint64_t i = 0; i < cues; ++i) Waveforms[i] = U32(d + data + cbSize + 4 * i);
    } else if (IdIs(id, "LIST") && chunkSize >= 4 && IdIs(d + data, "wvpl")) {
      WavePoolOffset = static_cast<uint32_t>(c + 12);
      poolEnd = data + chunkSize;
    } else if (IdIs(id, "LIST") && chunkSize >= 4) {
      const bool info = IdIs(d + data, "INFO");
      for (uint64_t s = data + 4; s + 8 <= data + chunkSize;) {
        if (d[s] == 0) {
          ++s;
          if (s + 8 > data + chunkSize) break;
        }
        const uint64_t subSize = U32(d + s + 4);
        if (s + 8 + subSize > data + chunkSize) break;
        const uint8_t* sid = d + s;
        const uint8_t* sdata = d + s + 8;
        if (info && subSize > 0) {
          const auto sz = static_cast<uint32_t>(subSize);
          if (IdIs(sid, "INAM")) BankInfo.BankName = TextOf(sdata, sz);
          else if (IdIs(sid, "IENG")) BankInfo.Engineer = TextOf(sdata, sz);
          else if (IdIs(sid, "ICOP") || IdIs(sid, "Copy")) BankInfo.Copyright = TextOf(sdata, sz);
          else if (IdIs(sid, "ICMT")) BankInfo.Comments = TextOf(sdata, sz);
          else if (IdIs(sid, "ISFT")) BankInfo.Software = TextOf(sdata, sz);
          else if (IdIs(sid, "ISBJ")) BankInfo.Description = TextOf(sdata, sz);
        } else if (IdIs(sid, "LIST") && subSize >= 4 && IdIs(sdata, "ins ") && filled < CountInstruments) {
          if (!UpdateInstrumentDefinition(filled, static_cast<uint32_t>(s), static_cast<uint32_t>(subSize + 8))) {
            return false;
          }
          ++filled;
        }
        s += 8 + subSize;
      }
    }
    c = data + chunkSize;
  }

  if (!haveTable && WavePoolOffset != 0) {
    // Without a pool table the waves are the pool's lists in order.
    for (uint64_t w = WavePoolOffset; w + 8 <= poolEnd && Waveforms.size() < MaxWaveLink;) {
      if (d[w] == 0) {
        ++w;
        continue;
      }
      const uint64_t waveSize = U32(d + w + 4);
      if (IdIs(d + w, "LIST")) Waveforms.push_back(static_cast<uint32_t>(w - WavePoolOffset));
      w += 8 + waveSize;
    }
    CountWaveforms = static_cast<uint32_t>(Waveforms.size());
  }
  return true;
}

TDLSRegion* TDLS::CurrentRegion(TDLSInstrument& Inst) {
  if (Inst.CountRegions >= DLSMaxRegions) return nullptr;
  if (Inst.Regions.size() <= Inst.CountRegions) Inst.Regions.resize(Inst.CountRegions + 1);
  return &Inst.Regions[Inst.CountRegions];
}

bool TDLS::UpdateInstrumentDefinition(uint32_t Ins, uint32_t Chunk, uint32_t MaxLen) {
  return ParseList(Ins, Chunk, MaxLen, 0, false);
}

// One chunk of an instrument; lists are walked. False only for a file the
// whole read must refuse (nesting too deep).
bool TDLS::ParseList(uint32_t Ins, uint32_t Chunk, uint32_t MaxLen, int Depth, bool InRegion) {
  if (Ins >= Instruments.size() || MaxLen < 8 || static_cast<uint64_t>(Chunk) + MaxLen > BankStream.size()) return true;
  TDLSInstrument& inst = Instruments[Ins];
  const uint8_t* d = BankStream.data() + Chunk;
  const uint32_t size = U32(d + 4);
  if (static_cast<uint64_t>(size) + 8 > MaxLen) return true;
  const uint8_t* data = d + 8;

  if (IdIs(d, "LIST")) {
    if (size < 4) return true;
    if (Depth >= MaxListDepth) return Fail("lists nested too deeply");
    const bool region = IdIs(data, "rgn ") || IdIs(data, "rgn2");
    if (IdIs(data, "rgn2")) Level2 = true;
    if (region && inst.CountRegions >= DLSMaxRegions) return true;
    bool skipped = false;
    for (uint64_t s = 12; s + 8 <= static_cast<uint64_t>(size) + 8;) {
      if (d[s] == 0) {
        ++s;
        continue;
      }
      const uint64_t subSize = U32(d + s + 4);
      const uint64_t subEnd = s + 8 + subSize;
      if (subEnd > static_cast<uint64_t>(size) + 8) break;
      if (IdIs(d + s, "cdl ")) {
        // A condition that does not hold drops the rest of its list.
        Level2 = true;
        if (!EvaluateDLSCondition(d + s + 8, static_cast<uint32_t>(subSize))) {
          skipped = true;
          break;
        }
      } else if (!ParseList(Ins, Chunk + static_cast<uint32_t>(s), static_cast<uint32_t>(subEnd - s), Depth + 1,
                            InRegion || region)) {
        return false;
      }
      s = subEnd;
    }
    if (region) {
      if (skipped) {
        if (TDLSRegion* r = CurrentRegion(inst)) *r = TDLSRegion{};
      } else if (inst.CountRegions < DLSMaxRegions) {
        CurrentRegion(inst);
        ++inst.CountRegions;
      }
    }
    return true;
  }

  if (IdIs(d, "insh") && size >= 12) {
    inst.Bank = U32(data + 4);
    inst.Instrument = U32(data + 8);
  } else if (IdIs(d, "rgnh") && size >= 12) {
    if (TDLSRegion* r = CurrentRegion(inst)) {
      r->KeyMin = static_cast<uint8_t>(std::min<uint16_t>(U16(data), 127));
      r->KeyMax = static_cast<uint8_t>(std::min<uint16_t>(U16(data + 2), 127));
      r->VelocityMin = static_cast<uint8_t>(std::min<uint16_t>(U16(data + 4), 127));
      r->VelocityMax = static_cast<uint8_t>(std::min<uint16_t>(U16(data + 6), 127));
      r->KeyGroup = U16(data + 10);
      r->Options = static_cast<uint16_t>((r->Options & ~0x8Fu) | (r->KeyGroup & DLSRegionKeyGroupMask) |
                                         ((U16(data + 8) & 1) ? DLSRegionSelfNonExclusive : 0));
    }
  } else if (IdIs(d, "wlnk") && size >= 12) {
    if (TDLSRegion* r = CurrentRegion(inst)) {
      const uint32_t index = U32(data + 8);
      r->WaveLink = index < 65535 ? static_cast<uint16_t>(index + 1) : 0;
      MaxWaveLink = std::max<uint32_t>(MaxWaveLink, r->WaveLink);
    }
  } else if (IdIs(d, "wsmp") && size >= 20) {
    if (TDLSRegion* r = CurrentRegion(inst)) {
      const uint32_t cbSize = U32(data);
      r->Options |= DLSRegionHasWSMP;
      r->UnityNote = static_cast<uint8_t>(std::min<uint16_t>(U16(data + 4), 127));
      r->FineTune = static_cast<int16_t>(U16(data + 6));
      r->Attenuation = static_cast<int32_t>(U32(data + 8));
      const uint32_t loops = U32(data + 16);
      if (loops != 0 && static_cast<uint64_t>(cbSize) + 16 <= size) {
        const uint8_t* loop = data + cbSize;
        const uint32_t start = U32(loop + 8), length = U32(loop + 12);
        if (length > 3) {
          r->Options |= DLSRegionHasLoop;
          // Level 2's loop-and-release kind plays the loop only while the key is held.
          if (U32(loop + 4) == 1) r->Options |= DLSRegionSustainLoop;
          r->LoopStart = start;
          r->LoopEnd = start + length;
        }
      }
    }
  } else if ((IdIs(d, "art1") || IdIs(d, "art2")) && size >= 8) {
    AddConnections(Ins, Chunk + 8, size, IdIs(d, "art2"), InRegion);
  } else if (IdIs(d, "INAM")) {
    inst.Name = TextOf(data, size);
  }
  return true;
}

void TDLS::AddConnections(uint32_t Ins, uint32_t Data, uint32_t Size, bool Level2Chunk, bool InRegion) {
  if (CountConnections >= DLSMaxConnectionBlocks) return;
  TDLSInstrument& inst = Instruments[Ins];
  const uint8_t* data = BankStream.data() + Data;
  const uint64_t cbSize = U32(data);
  const uint64_t count = U32(data + 4);
  if (cbSize + 12 * count > Size) return;
  if (Level2Chunk) {
    // Level 2 places articulation by where it stands: in a region for that
    // region, else for the whole instrument, drums included.
    Level2 = true;
    if (InRegion) {
      TDLSRegion* r = CurrentRegion(inst);
      if (!r) return;
      r->PrecConnection = static_cast<uint16_t>(CountConnections + 1);
    } else {
      inst.MelodicConnection = CountConnections + 1;
    }
  } else if (!inst.IsDrum()) {
    inst.MelodicConnection = CountConnections + 1;
  } else {
    TDLSRegion* r = CurrentRegion(inst);
    if (!r) return;
    r->PrecConnection = static_cast<uint16_t>(CountConnections + 1);
  }
  TDLSConnections& block = Connections.emplace_back();
  block.ConnectionBlocks.resize(count);
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* c = data + cbSize + 12 * i;
    block.ConnectionBlocks[i] = {U16(c), U16(c + 2), U16(c + 4), U16(c + 6), static_cast<int32_t>(U32(c + 8))};
  }
  ++CountConnections;
}

bool TDLS::ExtractInstrument(TDLSInst& Inst, uint32_t Ins) const { return ExtractInstrument(Inst, Ins, true); }

bool TDLS::ExtractInstrument(TDLSInst& Inst, uint32_t Ins, bool WithSamples) const {
  if (Ins >= Instruments.size() || Instruments[Ins].CountRegions == 0) return false;
  const TDLSInstrument& ins = Instruments[Ins];
  Inst.Name = ins.Name;
  Inst.Preset = static_cast<int32_t>(ins.Instrument & 127);
  Inst.Bank = ins.IsDrum() ? 16384 : static_cast<int32_t>(((ins.Bank >> 8) & 127) * 128 + (ins.Bank & 127));
  Inst.Layers.clear();
  Inst.Layers.resize(ins.CountRegions);
  for (uint32_t r = 0; r < ins.CountRegions; ++r) {
    TDLSInstLayer& layer = Inst.Layers[r];
    layer.Region = ins.Regions[r];
    if (WithSamples) ExtractSample(layer.Sample, layer, Ins, r);
    // A region's own articulation wins; else the instrument's. Level-1
    // files set only the one that fits the instrument kind.
    const uint32_t index = layer.Region.PrecConnection != 0 ? layer.Region.PrecConnection : ins.MelodicConnection;
    if (index != 0 && index <= CountConnections) layer.Connection = Connections[index - 1];
  }
  return true;
}

bool TDLS::ExtractWaveform(uint32_t Ins, uint32_t Rgn, TMemoryStream& WaveformData) const {
  WaveformData = TMemoryStream();
  const TDLSRegion* region = WaveRegion(Ins, Rgn);
  if (!region) return false;
  uint64_t position = 0, length = 0;
  if (!WaveSpan(region->WaveLink, position, length)) return false;
  WaveformData = TMemoryStream(BankStream.data() + position, static_cast<size_t>(length));
  return true;
}

const TDLSRegion* TDLS::WaveRegion(uint32_t Ins, uint32_t Rgn) const {
  if (Ins >= Instruments.size() || WavePoolOffset == 0 || Waveforms.empty()) return nullptr;
  const TDLSInstrument& ins = Instruments[Ins];
  if (Rgn >= ins.CountRegions) return nullptr;
  const TDLSRegion& region = ins.Regions[Rgn];
  if (region.WaveLink < 1 || region.WaveLink > Waveforms.size()) return nullptr;
  return &region;
}

bool TDLS::WaveSpan(uint32_t WaveLink, uint64_t& Position, uint64_t& Length) const {
  if (WaveLink < 1 || WaveLink > Waveforms.size()) return false;
  const uint64_t at = static_cast<uint64_t>(WavePoolOffset) + Waveforms[WaveLink - 1];
  if (at + 12 > BankStream.size()) return false;
  const uint8_t* d = BankStream.data() + at;
  const uint64_t size = U32(d + 4);
  if (!IdIs(d, "LIST") || !IdIs(d + 8, "wave") || size <= 4 || at + 8 + size > BankStream.size()) return false;
  Position = at;
  Length = size + 8;
  return true;
}

bool TDLS::ExtractSample(TWAVSample& ASample, TDLSInstLayer& Layer, uint32_t Ins, uint32_t Rgn) const {
  ClearSample(ASample);
  const TDLSRegion* region = WaveRegion(Ins, Rgn);
  uint64_t position = 0, length = 0;
  if (!region || !WaveSpan(region->WaveLink, position, length) || length <= 15) return false;
  TMemoryView wave(BankStream.data() + position, static_cast<int64_t>(length));
  int64_t wsmp = 0;
  if (!LoadWAVSample(wave, ASample, wsmp)) ClearSample(ASample);
  if (ASample.length == 0) return false;
  ApplyRegionInfo(ASample, Layer, position, length, wsmp);
  return true;
}

bool TDLS::ResolveRegionSample(TWAVSample& ASample, TDLSInstLayer& Layer) const {
  ClearSample(ASample);
  uint64_t position = 0, length = 0;
  if (!WaveSpan(Layer.Region.WaveLink, position, length)) return false;
  // The wave's last "wsmp", found as the decoder finds it.
  int64_t wsmp = 0;
  const uint8_t* d = BankStream.data() + position;
  for (uint64_t c = 12; c + 8 < length;) {
    if (IdIs(d + c, "wsmp")) wsmp = static_cast<int64_t>(c);
    c += 8 + static_cast<uint64_t>(U32(d + c + 4));
  }
  ApplyRegionInfo(ASample, Layer, position, length, wsmp);
  return true;
}

void TDLS::ApplyRegionInfo(TWAVSample& ASample, TDLSInstLayer& Layer, uint64_t position, uint64_t length,
                           int64_t wsmp) const {
  TDLSRegion& r = Layer.Region;
  ASample.Loop.LoopType = 0;
  ASample.SustainLoop.LoopType = 0;
  const int32_t kind = (r.Options & DLSRegionAlternatingLoop) ? 2 : 1;
  TSampleLoop& loop = (r.Options & DLSRegionSustainLoop) ? ASample.SustainLoop : ASample.Loop;
  if ((r.Options & (DLSRegionHasLoop | DLSRegionSustainLoop)) && r.LoopStart < r.LoopEnd) {
    loop.LoopType = kind;
    loop.LoopStart = static_cast<int32_t>(std::min<uint32_t>(r.LoopStart, std::numeric_limits<int32_t>::max()));
    loop.LoopEnd = static_cast<int32_t>(std::min<uint32_t>(r.LoopEnd, std::numeric_limits<int32_t>::max()));
  }
  if (wsmp != 0 && !(r.Options & DLSRegionHasWSMP) && static_cast<uint64_t>(wsmp) + 28 <= length) {
    // The wave's own sample info stands in for the region's.
    const uint8_t* w = BankStream.data() + position + wsmp + 8;
    const uint32_t wsmpSize = U32(BankStream.data() + position + wsmp + 4);
    r.UnityNote = static_cast<uint8_t>(std::min<uint16_t>(U16(w + 4), 127));
    r.FineTune = static_cast<int16_t>(U16(w + 6));
    r.Attenuation = static_cast<int32_t>(U32(w + 8));
    const uint32_t cbSize = U32(w);
    const uint32_t loops = U32(w + 16);
    if (loops != 0 && static_cast<uint64_t>(cbSize) + 16 <= wsmpSize &&
        static_cast<uint64_t>(wsmp) + 8 + cbSize + 16 <= length) {
      const uint32_t start = U32(w + cbSize + 8), loopLength = U32(w + cbSize + 12);
      if (loopLength > 3) {
        // Loop kind 1 (loop and release) is the sustain loop.
        TSampleLoop& target = U32(w + cbSize + 4) == 1 ? ASample.SustainLoop : ASample.Loop;
        target.LoopType = 1;
        target.LoopStart = static_cast<int32_t>(std::min<uint32_t>(start, std::numeric_limits<int32_t>::max()));
        target.LoopEnd = static_cast<int32_t>(
            std::min<uint64_t>(static_cast<uint64_t>(start) + loopLength, std::numeric_limits<int32_t>::max()));
      }
    }
  }
}

}  // namespace kelvane
