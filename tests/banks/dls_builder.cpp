#include "banks/dls_builder.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace kelvane::test {

void PutLE16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutLE32(Bytes& out, uint32_t v) {
  PutLE16(out, v & 0xFFFF);
  PutLE16(out, v >> 16);
}

namespace {
void PutId(Bytes& out, const char* id) { out.insert(out.end(), id, id + 4); }
void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
}  // namespace

Bytes Chunk(const char* id, const Bytes& data) {
  Bytes out;
  PutId(out, id);
  PutLE32(out, static_cast<uint32_t>(data.size()));
  Append(out, data);
  if (data.size() % 2 != 0) out.push_back(0);
  return out;
}

Bytes List(const char* type, const std::vector<Bytes>& chunks, const char* id) {
  Bytes body;
  PutId(body, type);
  for (const Bytes& c : chunks) Append(body, c);
  return Chunk(id, body);
}

Bytes Riff(const char* form, const std::vector<Bytes>& chunks) { return List(form, chunks, "RIFF"); }

Bytes WsmpChunk(const DlsSampleInfo& info) {
  Bytes d;
  PutLE32(d, 20);
  PutLE16(d, info.UnityNote);
  PutLE16(d, static_cast<uint16_t>(info.FineTune));
  PutLE32(d, static_cast<uint32_t>(info.Gain));
  PutLE32(d, 0);
  PutLE32(d, static_cast<uint32_t>(info.Loops.size()));
  for (const DlsLoop& l : info.Loops) {
    PutLE32(d, 16);
    PutLE32(d, l.Type);
    PutLE32(d, l.Start);
    PutLE32(d, l.Length);
  }
  return Chunk("wsmp", d);
}

namespace {

std::vector<Bytes> ArticulationChunks(const DlsArticulation& a) {
  Bytes d;
  PutLE32(d, 8);
  PutLE32(d, static_cast<uint32_t>(a.Connections.size()));
  for (const DlsConnection& c : a.Connections) {
    PutLE16(d, c.Source);
    PutLE16(d, c.Control);
    PutLE16(d, c.Destination);
    PutLE16(d, c.Transform);
    PutLE32(d, static_cast<uint32_t>(c.Scale));
  }
  std::vector<Bytes> inner;
  if (a.Condition) inner.push_back(Chunk("cdl ", *a.Condition));
  inner.push_back(Chunk(a.Level2 ? "art2" : "art1", d));
  return {List(a.Level2 ? "lar2" : "lart", inner)};
}

}  // namespace

DlsWave DlsWave::Pcm16(const std::vector<int16_t>& frames, uint32_t rate) {
  DlsWave w;
  w.Rate = rate;
  for (int16_t v : frames) PutLE16(w.Data, static_cast<uint16_t>(v));
  return w;
}

std::vector<int16_t> SineFrames(int32_t frames, double period, double amplitude) {
  std::vector<int16_t> out(static_cast<size_t>(frames));
  for (int32_t i = 0; i < frames; i++)
    out[static_cast<size_t>(i)] = static_cast<int16_t>(amplitude * std::sin(2.0 * std::numbers::pi * i / period));
  return out;
}

Bytes DlsBank::Build() const {
  Bytes colh;
  PutLE32(colh, static_cast<uint32_t>(Instruments.size()));
  std::vector<Bytes> instruments;
  for (const DlsInstrument& inst : Instruments) {
    Bytes insh;
    PutLE32(insh, static_cast<uint32_t>(inst.Regions.size()));
    PutLE32(insh, inst.Bank);
    PutLE32(insh, inst.Program);
    std::vector<Bytes> regions;
    for (const DlsRegion& r : inst.Regions) {
      std::vector<Bytes> parts;
      if (r.Condition) parts.push_back(Chunk("cdl ", *r.Condition));
      Bytes rgnh;
      PutLE16(rgnh, r.KeyLo);
      PutLE16(rgnh, r.KeyHi);
      PutLE16(rgnh, r.VelLo);
      PutLE16(rgnh, r.VelHi);
      PutLE16(rgnh, 0);
      PutLE16(rgnh, r.KeyGroup);
      parts.push_back(Chunk("rgnh", rgnh));
      if (r.SampleInfo) parts.push_back(WsmpChunk(*r.SampleInfo));
      Bytes wlnk;
      PutLE16(wlnk, 0);
      PutLE16(wlnk, 0);
      PutLE32(wlnk, 1);
      PutLE32(wlnk, r.Wave);
      parts.push_back(Chunk("wlnk", wlnk));
      if (r.Articulation) {
        for (Bytes& a : ArticulationChunks(*r.Articulation)) parts.push_back(a);
      }
      regions.push_back(List(r.Level2 ? "rgn2" : "rgn ", parts));
    }
    std::vector<Bytes> parts = {Chunk("insh", insh), List("lrgn", regions)};
    if (inst.Articulation) {
      for (Bytes& a : ArticulationChunks(*inst.Articulation)) parts.push_back(a);
    }
    Bytes name(inst.Name.begin(), inst.Name.end());
    name.push_back(0);
    parts.push_back(List("INFO", {Chunk("INAM", name)}));
    instruments.push_back(List("ins ", parts));
  }

  std::vector<Bytes> waves;
  Bytes table;
  PutLE32(table, 8);
  PutLE32(table, static_cast<uint32_t>(Waves.size()));
  uint32_t offset = 0;
  for (const DlsWave& w : Waves) {
    Bytes fmt;
    PutLE16(fmt, w.FormatTag);
    PutLE16(fmt, 1);
    PutLE32(fmt, w.Rate);
    PutLE32(fmt, w.Rate * (w.Bits / 8));
    PutLE16(fmt, w.Bits / 8);
    PutLE16(fmt, w.Bits);
    std::vector<Bytes> parts = {Chunk("fmt ", fmt)};
    if (w.SampleInfo) parts.push_back(WsmpChunk(*w.SampleInfo));
    parts.push_back(Chunk("data", w.Data));
    waves.push_back(List("wave", parts));
    PutLE32(table, offset);
    offset += static_cast<uint32_t>(waves.back().size());
  }

  Bytes bankName(Name.begin(), Name.end());
  bankName.push_back(0);
  std::vector<Bytes> top = {Chunk("colh", colh), List("lins", instruments)};
  if (PoolTable) top.push_back(Chunk("ptbl", table));
  top.push_back(List("wvpl", waves));
  top.push_back(List("INFO", {Chunk("INAM", bankName), Chunk("IENG", {'E', 'n', 'g', 0})}));
  return Riff("DLS ", top);
}

}  // namespace kelvane::test
