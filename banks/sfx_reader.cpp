// TSynth::LoadSoundFontExtended: the extended bank format (SFX) reader.

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "banks/sfx_format.h"
#include "banks/stream.h"
#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

// Any malformed field: the read fails as a whole.
struct ESFXReadFailure {};

[[noreturn]] void Fail() { throw ESFXReadFailure{}; }

// Deeper layer trees are refused rather than risk the reader's stack.
constexpr int MaxLayerDepth = 256;

int32_t IntOf(TSFXCursor payload) {
  uint32_t v;
  if (!payload.ReadVarUInt32(v)) Fail();
  return static_cast<int32_t>(v);
}
bool BoolOf(TSFXCursor payload) {
  if (payload.Remaining() < 1) Fail();
  return *payload.Here() != 0;
}
double DoubleOf(TSFXCursor payload) {
  if (payload.Remaining() < 8) Fail();
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | payload.Here()[i];
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}
std::string StringOf(const TSFXCursor& payload) {
  return std::string(reinterpret_cast<const char*>(payload.Here()), static_cast<size_t>(payload.Remaining()));
}

// Calls f(name, payload) for each field of an in-memory record.
template <typename F>
void ForEachField(TSFXCursor record, F&& f) {
  while (record.Remaining() > 0) {
    uint32_t nameLength;
    uint64_t payloadLength;
    if (!record.ReadVarUInt32(nameLength) || nameLength > record.Remaining()) Fail();
    const std::string name(reinterpret_cast<const char*>(record.Here()), nameLength);
    record.Skip(nameLength);
    if (!record.ReadVarUInt(payloadLength) || payloadLength > static_cast<uint64_t>(record.Remaining())) Fail();
    const TSFXCursor payload(record.Here(), static_cast<int64_t>(payloadLength));
    record.Skip(static_cast<int64_t>(payloadLength));
    f(name, payload);
  }
}

// Reads the VarUInts of a "points" payload; count comes from "cont".
std::vector<int32_t> PointValues(TSFXCursor payload, int64_t count) {
  // Each value takes at least one byte: a larger count cannot be there.
  if (count < 0 || count > payload.Remaining()) Fail();
  std::vector<int32_t> values(static_cast<size_t>(count));
  for (int32_t& v : values) {
    uint32_t u;
    if (!payload.ReadVarUInt32(u)) Fail();
    v = static_cast<int32_t>(u);
  }
  return values;
}

class TSFXReader {
 public:
  TSFXReader(TSynth& synth, TAttachedSoundFont& bank, TStream& stream, int64_t bodyEnd)
      : fSynth(synth), fBank(bank), fStream(stream), fBodyEnd(bodyEnd) {}

  void Read() {
    fStream.Seek(SFXHeaderSize);
    while (fStream.Position() < fBodyEnd) {
      const std::string name = ReadName();
      const int64_t length = ReadPayloadLength();
      const int64_t start = fStream.Position();
      if (name == "end") break;
      if (name == "sample") {
        ReadSample(start, length);
      } else if (IsKnownTopLevel(name)) {
        const std::vector<uint8_t> bytes = ReadBytes(length);
        ApplyTopLevel(name, TSFXCursor(bytes.data(), static_cast<int64_t>(bytes.size())));
      }
      fStream.Seek(start + length);
    }
    LinkSamples();
  }

  std::vector<TSample*> Table;  // the file's sample numbers; gaps are null

 private:
  uint64_t ReadStreamVarUInt() {
    uint64_t value = 0;
    for (;;) {
      uint8_t b;
      if (fStream.Position() >= fBodyEnd || !fStream.TryRead(&b, 1)) Fail();
      value = (value << 7) | (b & 127u);
      if ((b & 128u) == 0) return value;
    }
  }
  std::string ReadName() {
    const auto n = static_cast<uint32_t>(ReadStreamVarUInt());
    if (n > fBodyEnd - fStream.Position()) Fail();
    std::string name(n, '\0');
    if (!fStream.TryRead(name.data(), n)) Fail();
    return name;
  }
  int64_t ReadPayloadLength() {
    const uint64_t p = ReadStreamVarUInt();
    if (p > static_cast<uint64_t>(fBodyEnd - fStream.Position())) Fail();  // past the body
    return static_cast<int64_t>(p);
  }
  std::vector<uint8_t> ReadBytes(int64_t length) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!fStream.TryRead(bytes.data(), length)) Fail();
    return bytes;
  }

  static bool IsKnownTopLevel(const std::string& n) {
    static const char* const names[] = {"enginename", "romname", "romverhi", "romverlo", "bankname", "date",
                                        "author", "product", "copyright", "comment", "software", "description",
                                        "generalmidimode", "voiceallocationalgorithm", "emu10k1mode",
                                        "modulatevelocitytofiltercutoff", "chorus", "reverb", "layer"};
    return std::any_of(std::begin(names), std::end(names), [&](const char* k) { return n == k; });
  }

  void ApplyTopLevel(const std::string& n, const TSFXCursor& p) {
    TSFSoundBankInfo& info = fSynth.SoundBankInfo;
    if (n == "enginename") info.EngineName = StringOf(p);
    else if (n == "romname") info.ROMName = StringOf(p);
    else if (n == "romverhi") {
      const auto v = static_cast<uint32_t>(IntOf(p));
      info.ROMVersion.Major = static_cast<uint16_t>(v);
      info.ROMVersion.MInor = static_cast<uint16_t>(v >> 16);
    } else if (n == "romverlo") info.ROMVersion.MInor = static_cast<uint16_t>(IntOf(p));
    else if (n == "bankname") info.BankName = StringOf(p);
    else if (n == "date") info.Date = StringOf(p);
    else if (n == "author") info.Author = StringOf(p);
    else if (n == "product") info.Product = StringOf(p);
    else if (n == "copyright") info.Copyright = StringOf(p);
    else if (n == "comment") info.Comment = StringOf(p);
    else if (n == "software") info.Software = StringOf(p);
    else if (n == "description") info.Description = StringOf(p);
    else if (n == "generalmidimode") fSynth.GeneralMIDIMode = IntOf(p);
    else if (n == "voiceallocationalgorithm") fSynth.VoiceAllocationAlgorithm = IntOf(p);
    else if (n == "emu10k1mode") fSynth.EMU10K1Mode = BoolOf(p);
    else if (n == "modulatevelocitytofiltercutoff") fSynth.ModulateVelocityToFilterCutOff = BoolOf(p);
    else if (n == "chorus") ReadChorus(p);
    else if (n == "reverb") ReadReverb(p);
    else if (n == "layer") ReadLayer(p, *fSynth.RootPresetLayer, 1);
  }

  void ReadChorus(const TSFXCursor& record) {
    TChorusSettings s{false, 0, 0.0, 0.0, 0.0, 0.0, 0.0, 0};
    ForEachField(record, [&](const std::string& n, const TSFXCursor& p) {
      if (n == "force") s.Force = BoolOf(p);
      else if (n == "wavetype") s.WaveType = IntOf(p);
      else if (n == "depthms") s.DepthMS = DoubleOf(p);
      else if (n == "gain") s.Gain = DoubleOf(p);
      else if (n == "feedback") s.FeedBack = DoubleOf(p);
      else if (n == "reverbsend") s.ReverbSend = DoubleOf(p);
      else if (n == "speedhz") s.SpeedHz = DoubleOf(p);
      else if (n == "numberofblocks") s.NumberBlocks = IntOf(p);
    });
    if (fSynth.Chorus) fSynth.Chorus->Settings = s;
  }

  void ReadReverb(const TSFXCursor& record) {
    TReverbSettings s{false, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    ForEachField(record, [&](const std::string& n, const TSFXCursor& p) {
      if (n == "force") s.Force = BoolOf(p);
      else if (n == "gain") s.Gain = DoubleOf(p);
      else if (n == "roomsize") s.RoomSize = DoubleOf(p);
      else if (n == "damp") s.Damp = DoubleOf(p);
      else if (n == "wet") s.Wet = DoubleOf(p);
      else if (n == "width") s.Width = DoubleOf(p);
      else if (n == "stretch") s.Stretch = DoubleOf(p);
      else if (n == "delaytime") s.DelayTime = DoubleOf(p);
    });
    if (fSynth.Reverb) fSynth.Reverb->Settings = s;
  }

  // Fields are read from the stream one by one so that "data" is only
  // located, not read.
  void ReadSample(int64_t start, int64_t length) {
    auto* sample = new TSample(&fSynth);
    sample->Index = static_cast<int32_t>(fSynth.Samples.Add(sample));
    sample->AttachedSoundFont = &fBank;
    int32_t& link = fLinks[sample];
    link = -1;
    const int64_t end = start + length;
    const int64_t bodyEnd = fBodyEnd;
    fBodyEnd = end;  // the record's fields may not leave it
    int64_t dataBytes = 0;
    while (fStream.Position() < end) {
      const std::string n = ReadName();
      const int64_t p = ReadPayloadLength();
      const int64_t at = fStream.Position();
      if (n == "data") {
        sample->SFXOffset = at;
        dataBytes = p;
      } else if (n == "index" || n == "name" || n == "length" || n == "sara" || n == "lost" || n == "loen" ||
                 n == "ampl" || n == "ampr" || n == "orpi" || n == "pico" || n == "lisa") {
        const std::vector<uint8_t> bytes = ReadBytes(p);
        const TSFXCursor c(bytes.data(), static_cast<int64_t>(bytes.size()));
        if (n == "index") PlaceInTable(sample, IntOf(c));
        else if (n == "name") sample->Name = StringOf(c);
        else if (n == "length") sample->Length = IntOf(c);
        else if (n == "sara") sample->SampleRate = IntOf(c);
        else if (n == "lost") sample->LoopStart = IntOf(c);
        else if (n == "loen") sample->LoopEnd = IntOf(c);
        else if (n == "ampl") sample->AmpLeft = DoubleOf(c);
        else if (n == "ampr") sample->AmpRight = DoubleOf(c);
        else if (n == "orpi") sample->OriginalPitch = IntOf(c);
        else if (n == "pico") sample->PitchCorrection = IntOf(c);
        else if (n == "lisa") link = IntOf(c);
      }
      fStream.Seek(at + p);
    }
    fBodyEnd = bodyEnd;
    // Frames are read from the sample's own payload only: a length beyond it
    // would let many small records each load the same large stretch of file.
    if (sample->SFXOffset != 0 && sample->Length > 0 && dataBytes < 4 * static_cast<int64_t>(sample->Length)) Fail();
  }

  void PlaceInTable(TSample* sample, int32_t index) {
    // A gap wider than the body cannot come from a real file; refusing it
    // keeps the table within the file's size.
    if (index < 0 || index > fBodyEnd) throw EKelvaneRangeError();
    if (static_cast<size_t>(index) > Table.size()) Table.resize(static_cast<size_t>(index), nullptr);
    // Samples come in ascending order; out-of-order ones move the entries
    // after them, and a file that makes the reader move more entries than it
    // has bytes is refused instead of taking quadratic time.
    fMovedEntries += static_cast<int64_t>(Table.size()) - index;
    if (fMovedEntries > std::max<int64_t>(fBodyEnd, 1 << 20)) Fail();
    Table.insert(Table.begin() + index, sample);
  }

  TSample* TableEntry(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= Table.size()) throw EKelvaneRangeError();
    return Table[static_cast<size_t>(index)];
  }

  void LinkSamples() {
    for (TSample* sample : Table) {
      if (!sample) continue;
      const int32_t link = fLinks[sample];
      if (link < 0) continue;
      sample->LinkSample = TableEntry(link);
      // Loading one sample of a chain loads the others with it.
      sample->SampleTypeFlags.Include(stfLinked);
    }
  }

  void ReadEnvelope(const TSFXCursor& record, TPresetLayerEnvelope& e) {
    e = TPresetLayerEnvelope{};
    // Absent loop fields mean no loop, not a loop over point 0.
    e.LoopStart = e.LoopEnd = e.SustainLoopStart = e.SustainLoopEnd = -1;
    int64_t count = 0;
    ForEachField(record, [&](const std::string& n, const TSFXCursor& p) {
      if (n == "acti") e.Active = BoolOf(p);
      else if (n == "cont") count = static_cast<uint32_t>(IntOf(p));
      else if (n == "lost") e.LoopStart = IntOf(p);
      else if (n == "loen") e.LoopEnd = IntOf(p);
      else if (n == "slst") e.SustainLoopStart = IntOf(p);
      else if (n == "slen") e.SustainLoopEnd = IntOf(p);
      else if (n == "points") {
        if (count > p.Remaining() / 3) Fail();
        const std::vector<int32_t> v = PointValues(p, 3 * count);
        e.Points.resize(static_cast<size_t>(count));
        for (size_t i = 0; i < e.Points.size(); ++i) e.Points[i] = {v[3 * i], v[3 * i + 1], v[3 * i + 2]};
      }
    });
  }

  void ReadLayer(const TSFXCursor& record, TPresetLayer& parent, int depth) {
    if (depth > MaxLayerDepth) Fail();
    auto* layer = new TPresetLayer(&fSynth, &parent);
    layer->AttachedSoundFont = &fBank;
    parent.Layers.Add(layer);
    ForEachField(record, [&](const std::string& n, const TSFXCursor& p) {
      if (n == "name") {
        layer->Name = StringOf(p);
      } else if (n == "selc") {
        TPresetLayerSelector* s = layer->AddSelector();
        ForEachField(p, [&](const std::string& f, const TSFXCursor& v) {
          if (f == "type") s->fSelectorType = static_cast<TPresetLayerSelectorType>(IntOf(v));
          else if (f == "cchi") s->fCCHi = static_cast<int16_t>(IntOf(v));
          else if (f == "cclo") s->fCCLo = static_cast<int16_t>(IntOf(v));
          else if (f == "rahi") s->fRange.Hi = IntOf(v);
          else if (f == "ralo") s->fRange.Lo = IntOf(v);
        });
      } else if (n == "gen") {
        TPresetLayerGenerator* g = layer->Generators[layer->Generators.Add(TPresetLayerGenerator(-2, 0))];
        ForEachField(p, [&](const std::string& f, const TSFXCursor& v) {
          if (f == "gen") g->fGenerator = IntOf(v);
          else if (f == "val") g->fValue = IntOf(v);
        });
      } else if (n == "modu") {
        auto* m = new TPresetLayerModulator();
        m->fIndex = static_cast<int32_t>(layer->Modulators.Add(m));
        ForEachField(p, [&](const std::string& f, const TSFXCursor& v) {
          if (f == "dest") m->fDest = IntOf(v);
          else if (f == "src1") m->fSrc1 = IntOf(v);
          else if (f == "flags1") m->fFlags1 = IntOf(v);
          else if (f == "src2") m->fSrc2 = IntOf(v);
          else if (f == "flags2") m->fFlags2 = IntOf(v);
          else if (f == "id") m->fID = IntOf(v);
          else if (f == "idgroup") m->fIDGroup = IntOf(v);
          else if (f == "amount") m->fAmount = DoubleOf(v);
        });
      } else if (n == "cue") {
        TPresetLayerCuePoints& c = layer->CuePoints;
        c = TPresetLayerCuePoints{};
        int64_t count = 0;
        ForEachField(p, [&](const std::string& f, const TSFXCursor& v) {
          if (f == "acti") c.Active = BoolOf(v);
          else if (f == "cont") count = static_cast<uint32_t>(IntOf(v));
          else if (f == "roke") c.RootKey = IntOf(v);
          else if (f == "points") c.Points = PointValues(v, count);
        });
      } else if (n == "voen") {
        ReadEnvelope(p, layer->VolEnvelope);
      } else if (n == "moen") {
        ReadEnvelope(p, layer->ModEnvelope);
      } else if (n == "m2en") {
        ReadEnvelope(p, layer->Mod2Envelope);
      } else if (n == "crfa") {
        TPresetLayerCrossFade& x = layer->Crossfades.emplace_back();
        ForEachField(p, [&](const std::string& f, const TSFXCursor& v) {
          if (f == "type") x.CrossFadeType = IntOf(v);
          else if (f == "cuty") x.CurveType = IntOf(v);
          else if (f == "cclo") x.CCLo = IntOf(v);
          else if (f == "cchi") x.CCHi = IntOf(v);
          else if (f == "thre") x.Threshold = IntOf(v);
          else if (f == "inst") x.InStart = IntOf(v);
          else if (f == "inen") x.InEnd = IntOf(v);
          else if (f == "oust") x.OutStart = IntOf(v);
          else if (f == "ouen") x.OutEnd = IntOf(v);
        });
      } else if (n == "mapo") {
        layer->MaxPolyphony = IntOf(p);
      } else if (n == "samp") {
        const int32_t index = IntOf(p);
        layer->Sample = index < 0 ? nullptr : TableEntry(index);
      } else if (n == "layer") {
        ReadLayer(p, *layer, depth + 1);
      }
    });
    layer->ShareDefaultModulators();
    layer->SetupLinkedModulators();
  }

  TSynth& fSynth;
  TAttachedSoundFont& fBank;
  TStream& fStream;
  int64_t fBodyEnd;
  std::unordered_map<const TSample*, int32_t> fLinks;  // "lisa" of each sample read
  int64_t fMovedEntries = 0;                           // table entries moved by out-of-order samples
};

// What a read changes outside the objects it creates.
struct TSFXSynthState {
  explicit TSFXSynthState(TSynth& synth)
      : SoundBankInfo(synth.SoundBankInfo),
        GeneralMIDIMode(synth.GeneralMIDIMode),
        VoiceAllocationAlgorithm(synth.VoiceAllocationAlgorithm),
        EMU10K1Mode(synth.EMU10K1Mode),
        ModulateVelocityToFilterCutOff(synth.ModulateVelocityToFilterCutOff),
        Chorus(synth.Chorus ? synth.Chorus->Settings : TChorusSettings{}),
        Reverb(synth.Reverb ? synth.Reverb->Settings : TReverbSettings{}),
        Samples(synth.Samples.Count()),
        Layers(synth.RootPresetLayer->Layers.Count()) {}

  void Restore(TSynth& synth) const {
    TPresetLayerList& layers = synth.RootPresetLayer->Layers;
    while (layers.Count() > Layers) layers.Delete(layers.Count() - 1);
    while (synth.Samples.Count() > Samples) synth.Samples.Delete(synth.Samples.Count() - 1);
    synth.SoundBankInfo = SoundBankInfo;
    synth.GeneralMIDIMode = GeneralMIDIMode;
    synth.VoiceAllocationAlgorithm = VoiceAllocationAlgorithm;
    synth.EMU10K1Mode = EMU10K1Mode;
    synth.ModulateVelocityToFilterCutOff = ModulateVelocityToFilterCutOff;
    if (synth.Chorus) synth.Chorus->Settings = Chorus;
    if (synth.Reverb) synth.Reverb->Settings = Reverb;
  }

  TSFSoundBankInfo SoundBankInfo;
  int32_t GeneralMIDIMode;
  int32_t VoiceAllocationAlgorithm;
  bool EMU10K1Mode;
  bool ModulateVelocityToFilterCutOff;
  TChorusSettings Chorus;
  TReverbSettings Reverb;
  int64_t Samples;
  int64_t Layers;
};

// The body length, or 0 when the stream is no SFX file.
int64_t SFXBodyLength(TStream& stream) {
  uint8_t header[SFXHeaderSize];
  stream.Seek(0);
  if (!stream.TryRead(header, SFXHeaderSize)) return 0;
  if (std::memcmp(header, SFXMagic, SFXMagicSize) != 0) return 0;
  uint64_t length = 0;
  for (int i = 7; i >= 0; --i) length = (length << 8) | header[SFXMagicSize + i];
  const auto body = static_cast<int64_t>(length);
  if (body < 1 || body > stream.Size() - SFXHeaderSize) return 0;
  return body;
}

}  // namespace

TAttachedSoundFont* TSynth::LoadSoundFontExtended(TStreamPtr& Stream, bool DelayLoadSamples, bool InAttach) {
  if (!Stream || !RootPresetLayer) return nullptr;
  int64_t body = 0;
  try {
    body = SFXBodyLength(*Stream);
  } catch (const EKelvane&) {
  }
  if (body == 0) {
    if (!InAttach) Stream.reset();
    return nullptr;
  }

  const TSFXSynthState before(*this);
  auto* bank = new TAttachedSoundFont(this);
  AttachedSoundFonts.Add(bank);
  bank->SoundBankType = sbtSFX;
  bank->Stream = std::move(Stream);
  bool ok = false;
  try {
    TSFXReader reader(*this, *bank, *bank->Stream, SFXHeaderSize + body);
    reader.Read();
    if (!DelayLoadSamples) {
      for (TSample* s : reader.Table) {
        if (s) s->Load(false);
      }
    }
    bank->SoundBankInfo = SoundBankInfo;
    ok = true;
  } catch (const ESFXReadFailure&) {
  } catch (const EKelvane&) {
  } catch (const std::bad_alloc&) {
  }

  if (!ok) {
    // A failed read leaves the synthesizer as it found it.
    before.Restore(*this);
    if (InAttach) Stream = std::move(bank->Stream);
    AttachedSoundFonts.Remove(bank);
    return nullptr;
  }
  if (!DelayLoadSamples) {
    if (InAttach) Stream = std::move(bank->Stream);
    bank->Stream.reset();
  }
  Recache();
  if (Chorus) Chorus->Update();
  if (Reverb) Reverb->Update();
  return bank;
}

}  // namespace kelvane
