#include "banks/sf2_builder.h"

#include <algorithm>

namespace kelvane::test {

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  PutU16(out, static_cast<uint16_t>(v));
  PutU16(out, static_cast<uint16_t>(v >> 16));
}

void PutName(std::vector<uint8_t>& out, const std::string& name) {
  for (size_t i = 0; i < 20; ++i) out.push_back(i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
}

namespace {

void PutId(std::vector<uint8_t>& out, const std::string& id) {
  for (size_t i = 0; i < 4; ++i) out.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
}

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
  out.insert(out.end(), more.begin(), more.end());
}

void PutGen(std::vector<uint8_t>& out, uint16_t oper, uint16_t amount) {
  PutU16(out, oper);
  PutU16(out, amount);
}

void PutMod(std::vector<uint8_t>& out, const Sf2ModRecord& m) {
  PutU16(out, m.Src);
  PutU16(out, m.Dest);
  PutU16(out, static_cast<uint16_t>(m.Amount));
  PutU16(out, m.AmtSrc);
  PutU16(out, m.Trans);
}

// bag, mod and gen arrays of a list of presets or instruments
struct ZoneArrays {
  std::vector<uint8_t> Bags, Mods, Gens;
  uint16_t BagCount = 0, ModCount = 0, GenCount = 0;

  void AddZone(const Sf2Zone& z) {
    PutU16(Bags, GenCount);
    PutU16(Bags, ModCount);
    ++BagCount;
    for (const auto& [oper, amount] : z.Gens) {
      PutGen(Gens, oper, amount);
      ++GenCount;
    }
    for (const Sf2ModRecord& m : z.Mods) {
      PutMod(Mods, m);
      ++ModCount;
    }
  }
  void Terminate() {
    PutU16(Bags, GenCount);
    PutU16(Bags, ModCount);
    PutMod(Mods, {});
    PutGen(Gens, 0, 0);
  }
};

}  // namespace

bool Sf2Builder::omitted(const std::string& id) const {
  return std::find(fOmitted.begin(), fOmitted.end(), id) != fOmitted.end();
}

std::vector<uint8_t> Sf2Builder::chunk(const std::string& id, const std::vector<uint8_t>& payload) const {
  std::vector<uint8_t> out;
  PutId(out, id);
  auto it = fSizeOverrides.find(id);
  PutU32(out, it != fSizeOverrides.end() ? it->second : static_cast<uint32_t>(payload.size()));
  Append(out, payload);
  return out;
}

std::vector<uint8_t> Sf2Builder::list(const std::string& type, const std::vector<std::vector<uint8_t>>& chunks) const {
  std::vector<uint8_t> body;
  PutId(body, type);
  for (const auto& c : chunks) Append(body, c);
  std::vector<uint8_t> out;
  PutId(out, "LIST");
  auto it = fSizeOverrides.find(type);
  PutU32(out, it != fSizeOverrides.end() ? it->second : static_cast<uint32_t>(body.size()));
  Append(out, body);
  return out;
}

std::vector<uint8_t> Sf2Builder::payloadOf(const std::string& id, std::vector<uint8_t> generated) const {
  auto it = fRawChunks.find(id);
  return it != fRawChunks.end() ? it->second : generated;
}

std::vector<uint8_t> Sf2Builder::infoList() const {
  std::vector<std::vector<uint8_t>> chunks;
  if (fVersion && !omitted("ifil")) {
    std::vector<uint8_t> v;
    PutU16(v, fVersion->Major);
    PutU16(v, fVersion->Minor);
    chunks.push_back(chunk("ifil", payloadOf("ifil", v)));
  }
  if (fRomVersion) {
    std::vector<uint8_t> v;
    PutU16(v, fRomVersion->Major);
    PutU16(v, fRomVersion->Minor);
    chunks.push_back(chunk("iver", v));
  }
  for (const auto& [id, text] : fInfoTexts) {
    std::vector<uint8_t> t(text.begin(), text.end());
    t.push_back(0);
    if (t.size() % 2 != 0) t.push_back(0);
    chunks.push_back(chunk(id, t));
  }
  return list("INFO", chunks);
}

std::vector<uint8_t> Sf2Builder::sdtaList() const {
  std::vector<uint8_t> smpl, low;
  for (const Sf2Sample& s : fSamples) {
    for (size_t i = 0; i < s.Frames.size(); ++i) {
      PutU16(smpl, static_cast<uint16_t>(s.Frames[i]));
      low.push_back(i < s.Low.size() ? s.Low[i] : 0);
    }
    for (uint32_t i = 0; i < SamplePadFrames; ++i) {
      PutU16(smpl, 0);
      low.push_back(0);
    }
  }
  std::vector<std::vector<uint8_t>> chunks;
  if (!omitted("smpl")) chunks.push_back(chunk("smpl", smpl));
  if (fSm24) {
    if (low.size() % 2 != 0) low.push_back(0);
    chunks.push_back(chunk("sm24", low));
  }
  return list("sdta", chunks);
}

std::vector<uint8_t> Sf2Builder::pdtaList() const {
  ZoneArrays p, i;
  std::vector<uint8_t> phdr, inst, shdr;

  for (const Sf2Preset& preset : fPresets) {
    PutName(phdr, preset.Name);
    PutU16(phdr, preset.Program);
    PutU16(phdr, preset.Bank);
    PutU16(phdr, p.BagCount);
    PutU32(phdr, 0);
    PutU32(phdr, 0);
    PutU32(phdr, 0);
    for (const Sf2Zone& z : preset.Zones) p.AddZone(z);
  }
  PutName(phdr, "EOP");
  for (int k = 0; k < 2; ++k) PutU16(phdr, 0);
  PutU16(phdr, p.BagCount);
  for (int k = 0; k < 3; ++k) PutU32(phdr, 0);
  p.Terminate();

  for (const Sf2Instrument& instrument : fInstruments) {
    PutName(inst, instrument.Name);
    PutU16(inst, i.BagCount);
    for (const Sf2Zone& z : instrument.Zones) i.AddZone(z);
  }
  PutName(inst, "EOI");
  PutU16(inst, i.BagCount);
  i.Terminate();

  const bool version1 = !fVersion || fVersion->Major == 1;
  const uint32_t recordSize = fShdrRecordSize.value_or(version1 ? 16 : 46);
  uint32_t start = 0;
  auto putHeader = [&](const std::string& name, uint32_t s, uint32_t e, uint32_t ls, uint32_t le, const Sf2Sample* x) {
    if (recordSize == 16) {
      PutU32(shdr, s);
      PutU32(shdr, e);
      PutU32(shdr, ls);
      PutU32(shdr, le);
      return;
    }
    PutName(shdr, name);
    PutU32(shdr, s);
    PutU32(shdr, e);
    PutU32(shdr, ls);
    PutU32(shdr, le);
    PutU32(shdr, x ? x->SampleRate : 0);
    shdr.push_back(x ? x->OriginalPitch : 0);
    shdr.push_back(x ? static_cast<uint8_t>(x->PitchCorrection) : 0);
    PutU16(shdr, x ? x->Link : 0);
    PutU16(shdr, x ? x->Type : 0);
  };
  for (const Sf2Sample& s : fSamples) {
    const uint32_t n = static_cast<uint32_t>(s.Frames.size());
    putHeader(s.Name, s.RawStart.value_or(start), s.RawEnd.value_or(start + n),
              s.RawLoopStart.value_or(start + s.LoopStart), s.RawLoopEnd.value_or(start + s.LoopEnd), &s);
    start += n + SamplePadFrames;
  }
  putHeader("EOS", 0, 0, 0, 0, nullptr);

  std::vector<std::vector<uint8_t>> chunks;
  const std::pair<const char*, std::vector<uint8_t>*> parts[] = {
      {"phdr", &phdr},   {"pbag", &p.Bags}, {"pmod", &p.Mods}, {"pgen", &p.Gens}, {"inst", &inst},
      {"ibag", &i.Bags}, {"imod", &i.Mods}, {"igen", &i.Gens}, {"shdr", &shdr}};
  for (const auto& [id, payload] : parts) {
    if (!omitted(id)) chunks.push_back(chunk(id, payloadOf(id, *payload)));
  }
  return list("pdta", chunks);
}

int64_t Sf2Builder::smplOffset() const {
  const int64_t info = omitted("INFO") ? 0 : static_cast<int64_t>(infoList().size());
  return 12 + info + 12 + 8;
}

std::vector<uint8_t> Sf2Builder::build() const {
  std::vector<uint8_t> body;
  PutId(body, fFormType);
  if (!omitted("INFO")) Append(body, infoList());
  if (!omitted("sdta")) Append(body, sdtaList());
  if (!omitted("pdta")) Append(body, pdtaList());
  std::vector<uint8_t> out;
  PutId(out, "RIFF");
  PutU32(out, fRiffSize.value_or(static_cast<uint32_t>(body.size())));
  Append(out, body);
  return out;
}

}  // namespace kelvane::test
