// TSynth::SaveSoundFontExtended: writes the whole bank state as one SFX file.

#include <cstring>
#include <ostream>
#include <unordered_map>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "banks/sfx_format.h"
#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

using TSampleNumbers = std::unordered_map<const TSample*, int32_t>;

int32_t NumberOf(const TSampleNumbers& numbers, const TSample* sample) {
  if (!sample) return -1;
  const auto it = numbers.find(sample);
  return it == numbers.end() ? -1 : it->second;
}

void AppendVarUInts(std::vector<uint8_t>& out, std::initializer_list<int32_t> values) {
  for (int32_t v : values) AppendVarUInt(out, static_cast<uint32_t>(v));
}

// A negative loop index is "no loop" to the envelope; it is always written as -1.
int32_t LoopIndex(int32_t index) { return index < 0 ? -1 : index; }

TSFXFieldWriter EnvelopeRecord(const TPresetLayerEnvelope& e) {
  TSFXFieldWriter r;
  r.Bool("acti", e.Active);
  r.Int("cont", static_cast<int32_t>(e.Points.size()));
  r.Int("lost", LoopIndex(e.LoopStart));
  r.Int("loen", LoopIndex(e.LoopEnd));
  r.Int("slst", LoopIndex(e.SustainLoopStart));
  r.Int("slen", LoopIndex(e.SustainLoopEnd));
  if (!e.Points.empty()) {
    std::vector<uint8_t> points;
    for (const TPresetLayerEnvelopePoint& p : e.Points) AppendVarUInts(points, {p.Mode, p.Time, p.Value});
    r.Raw("points", points);
  }
  return r;
}

TSFXFieldWriter LayerRecord(const TPresetLayer& layer, const TSampleNumbers& numbers) {
  TSFXFieldWriter r;
  r.String("name", layer.Name);
  for (const TPresetLayerSelector* s : layer.Selectors) {
    TSFXFieldWriter f;
    f.Int("type", s->fSelectorType);
    f.Int("cchi", s->fCCHi);
    f.Int("cclo", s->fCCLo);
    f.Int("rahi", s->fRange.Hi);
    f.Int("ralo", s->fRange.Lo);
    r.Record("selc", f);
  }
  for (const TPresetLayerGenerator* g : layer.Generators) {
    TSFXFieldWriter f;
    f.Int("gen", g->fGenerator);
    f.Int("val", g->fValue);
    r.Record("gen", f);
  }
  for (const TPresetLayerModulator* m : layer.Modulators) {
    TSFXFieldWriter f;
    f.Int("dest", m->fDest);
    f.Int("src1", m->fSrc1);
    f.Int("flags1", m->fFlags1);
    f.Int("src2", m->fSrc2);
    f.Int("flags2", m->fFlags2);
    f.Int("id", m->fID);
    f.Int("idgroup", m->fIDGroup);
    f.Double("amount", m->fAmount);
    r.Record("modu", f);
  }
  {
    const TPresetLayerCuePoints& c = layer.CuePoints;
    TSFXFieldWriter f;
    f.Bool("acti", c.Active);
    f.Int("cont", static_cast<int32_t>(c.Points.size()));
    f.Int("roke", c.RootKey);
    if (!c.Points.empty()) {
      std::vector<uint8_t> points;
      for (int32_t p : c.Points) AppendVarUInt(points, static_cast<uint32_t>(p));
      f.Raw("points", points);
    }
    r.Record("cue", f);
  }
  r.Record("voen", EnvelopeRecord(layer.VolEnvelope));
  r.Record("moen", EnvelopeRecord(layer.ModEnvelope));
  r.Record("m2en", EnvelopeRecord(layer.Mod2Envelope));
  for (const TPresetLayerCrossFade& x : layer.Crossfades) {
    TSFXFieldWriter f;
    f.Int("type", x.CrossFadeType);
    f.Int("cuty", x.CurveType);
    f.Int("cclo", x.CCLo);
    f.Int("cchi", x.CCHi);
    f.Int("thre", x.Threshold);
    f.Int("inst", x.InStart);
    f.Int("inen", x.InEnd);
    f.Int("oust", x.OutStart);
    f.Int("ouen", x.OutEnd);
    r.Record("crfa", f);
  }
  r.Int("mapo", layer.MaxPolyphony);
  r.Int("samp", NumberOf(numbers, layer.Sample));
  for (const TPresetLayer* child : layer.Layers) r.Record("layer", LayerRecord(*child, numbers));
  return r;
}

TSFXFieldWriter SampleRecord(TSample& s, int32_t number, const TSampleNumbers& numbers) {
  TSFXFieldWriter r;
  r.Int("index", number);
  r.String("name", s.Name);
  r.Int("length", s.Length);
  r.Int("sara", s.SampleRate);
  r.Int("lost", s.LoopStart);
  r.Int("loen", s.LoopEnd);
  r.Double("ampl", s.AmpLeft);
  r.Double("ampr", s.AmpRight);
  r.Int("orpi", s.OriginalPitch);
  r.Int("pico", s.PitchCorrection);
  r.Int("lisa", NumberOf(numbers, s.LinkSample));
  if (s.Length > 0) {
    s.Load(false);
    TReadLockGuard guard(s.MultipleReaderSingleWriterLock);
    // A sample that its bank cannot load either (a ROM or terminal record)
    // goes without frames and stays unloaded after reading, as it is now.
    if (!s.Loaded || !s.Data) return r;
    std::vector<uint8_t> data(4 * static_cast<size_t>(s.Length));
    const float* frames = s.Data.get() + SampleGuardFrames;
    for (size_t i = 0; i < static_cast<size_t>(s.Length); ++i) {
      uint32_t bits;
      std::memcpy(&bits, &frames[i], 4);
      for (int b = 0; b < 4; ++b) data[4 * i + static_cast<size_t>(b)] = static_cast<uint8_t>(bits >> (8 * b));
    }
    r.Raw("data", data);
  }
  return r;
}

void Put(std::ostream& out, const std::vector<uint8_t>& bytes) {
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

bool TSynth::SaveSoundFontExtended(std::ostream& Stream) {
  try {
    const std::streampos start = Stream.tellp();
    TSFXFieldWriter head;
    head.Bytes.assign(SFXMagic, SFXMagic + SFXMagicSize);
    head.Bytes.resize(SFXHeaderSize, 0);
    const TSFSoundBankInfo& info = SoundBankInfo;
    head.String("enginename", info.EngineName);
    head.String("romname", info.ROMName);
    head.Int("romverhi", info.ROMVersion.Major);
    head.Int("romverlo", info.ROMVersion.MInor);
    head.String("bankname", info.BankName);
    head.String("date", info.Date);
    head.String("author", info.Author);
    head.String("product", info.Product);
    head.String("copyright", info.Copyright);
    head.String("comment", info.Comment);
    head.String("software", info.Software);
    head.String("description", info.Description);
    head.Int("generalmidimode", GeneralMIDIMode);
    head.Int("voiceallocationalgorithm", VoiceAllocationAlgorithm);
    head.Bool("emu10k1mode", EMU10K1Mode);
    head.Bool("modulatevelocitytofiltercutoff", ModulateVelocityToFilterCutOff);
    if (Chorus) {
      const TChorusSettings& c = Chorus->Settings;
      TSFXFieldWriter f;
      f.Bool("force", c.Force);
      f.Int("wavetype", c.WaveType);
      f.Double("depthms", c.DepthMS);
      f.Double("gain", c.Gain);
      f.Double("feedback", c.FeedBack);
      f.Double("reverbsend", c.ReverbSend);
      f.Double("speedhz", c.SpeedHz);
      f.Int("numberofblocks", c.NumberBlocks);
      head.Record("chorus", f);
    }
    if (Reverb) {
      const TReverbSettings& v = Reverb->Settings;
      TSFXFieldWriter f;
      f.Bool("force", v.Force);
      f.Double("gain", v.Gain);
      f.Double("roomsize", v.RoomSize);
      f.Double("damp", v.Damp);
      f.Double("wet", v.Wet);
      f.Double("width", v.Width);
      f.Double("stretch", v.Stretch);
      f.Double("delaytime", v.DelayTime);
      head.Record("reverb", f);
    }
    Put(Stream, head.Bytes);
    uint64_t body = head.Bytes.size() - SFXHeaderSize;

    TSampleNumbers numbers;
    for (int64_t i = 0; i < Samples.Count(); ++i) numbers[Samples[i]] = static_cast<int32_t>(i);
    // One sample at a time, so that a large bank is never twice in memory.
    for (int64_t i = 0; i < Samples.Count(); ++i) {
      TSFXFieldWriter f;
      f.Record("sample", SampleRecord(*Samples[i], static_cast<int32_t>(i), numbers));
      Put(Stream, f.Bytes);
      body += f.Bytes.size();
    }
    TSFXFieldWriter tail;
    if (RootPresetLayer) tail.Record("layer", LayerRecord(*RootPresetLayer, numbers));
    tail.Raw("end", nullptr, 0);
    Put(Stream, tail.Bytes);
    body += tail.Bytes.size();

    const std::streampos end = Stream.tellp();
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(body >> (8 * i));
    Stream.seekp(start + std::streamoff(SFXMagicSize));
    Stream.write(reinterpret_cast<const char*>(length), 8);
    Stream.seekp(end);
    return static_cast<bool>(Stream);
  } catch (const std::exception&) {  // stream, allocation and sample-loading errors alike
    return false;
  }
}

}  // namespace kelvane
