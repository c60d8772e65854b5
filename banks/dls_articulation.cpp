// DLS articulation (connection blocks) as SF2 generator values and modulators.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "banks/dls_bank.h"
#include "synth/generators.h"

namespace kelvane {

namespace {

// DLS connection sources and destinations.
enum : uint16_t {
  srcNone = 0, srcLFO = 1, srcVelocity = 2, srcKeyNumber = 3, srcEG1 = 4, srcEG2 = 5, srcPitchWheel = 6,
  srcPolyPressure = 7, srcChannelPressure = 8, srcVibrato = 9, srcCC0 = 0x80, srcCCLast = 0xFF,
  srcRPN0 = 0x100,
};
enum : uint16_t {
  dstGain = 1, dstPitch = 3, dstPan = 4, dstKeyNumber = 5, dstChorus = 0x80, dstReverb = 0x81,
  dstLFOFrequency = 0x104, dstLFODelay = 0x105, dstVibratoFrequency = 0x114, dstVibratoDelay = 0x115,
  dstEG1Attack = 0x206, dstEG1Decay = 0x207, dstEG1Release = 0x209, dstEG1Sustain = 0x20A, dstEG1Delay = 0x20B,
  dstEG1Hold = 0x20C, dstEG2Attack = 0x30A, dstEG2Decay = 0x30B, dstEG2Release = 0x30D, dstEG2Sustain = 0x30E,
  dstEG2Delay = 0x30F, dstEG2Hold = 0x310, dstFilterCutoff = 0x500, dstFilterQ = 0x501,
};

constexpr uint16_t TransformSourceBipolar = 0x4000;
constexpr uint16_t TransformSourceInvert = 0x8000;
constexpr uint16_t TransformControlBipolar = 0x100;
constexpr uint16_t TransformControlInvert = 0x200;

// The generator a constant connection to dest sets; -1 = none.
int32_t ConstantSlot(uint16_t dest) {
  switch (dest) {
    case dstGain: return gen::initialAttenuation;
    case dstPitch: return gen::fineTune;  // split into coarse and fine tuning below
    case dstPan: return gen::pan;
    case dstKeyNumber: return gen::keynum;
    case dstChorus: return gen::chorusEffectsSend;
    case dstReverb: return gen::reverbEffectsSend;
    case dstLFOFrequency: return gen::freqModLFO;
    case dstLFODelay: return gen::delayModLFO;
    case dstVibratoFrequency: return gen::freqVibLFO;
    case dstVibratoDelay: return gen::delayVibLFO;
    case dstEG1Attack: return gen::attackVolEnv;
    case dstEG1Decay: return gen::decayVolEnv;
    case dstEG1Release: return gen::releaseVolEnv;
    case dstEG1Sustain: return gen::sustainVolEnv;
    case dstEG1Delay: return gen::delayVolEnv;
    case dstEG1Hold: return gen::holdVolEnv;
    case dstEG2Attack: return gen::attackModEnv;
    case dstEG2Decay: return gen::decayModEnv;
    case dstEG2Release: return gen::releaseModEnv;
    case dstEG2Sustain: return gen::sustainModEnv;
    case dstEG2Delay: return gen::delayModEnv;
    case dstEG2Hold: return gen::holdModEnv;
    case dstFilterCutoff: return gen::initialFilterFc;
    case dstFilterQ: return gen::initialFilterQ;
    default: return -1;
  }
}

// The depth generator of an internal source (LFO, vibrato, EG2) at dest.
int32_t DepthSlot(uint16_t source, uint16_t dest) {
  if (source == srcLFO && dest == dstGain) return gen::modLfoToVolume;
  if (source == srcLFO && dest == dstPitch) return gen::modLfoToPitch;
  if (source == srcLFO && dest == dstFilterCutoff) return gen::modLfoToFilterFc;
  if (source == srcVibrato && dest == dstPitch) return gen::vibLfoToPitch;
  if (source == srcEG2 && dest == dstPitch) return gen::modEnvToPitch;
  if (source == srcEG2 && dest == dstFilterCutoff) return gen::modEnvToFilterFc;
  return -1;
}

// Key-number scaling of an envelope time.
int32_t KeyScaleSlot(uint16_t dest) {
  switch (dest) {
    case dstEG1Decay: return gen::keynumToVolEnvDecay;
    case dstEG1Hold: return gen::keynumToVolEnvHold;
    case dstEG2Decay: return gen::keynumToModEnvDecay;
    case dstEG2Hold: return gen::keynumToModEnvHold;
    default: return -1;
  }
}

int32_t KeyScaledTime(int32_t keyScaleSlot) {
  switch (keyScaleSlot) {
    case gen::keynumToVolEnvDecay: return gen::decayVolEnv;
    case gen::keynumToVolEnvHold: return gen::holdVolEnv;
    case gen::keynumToModEnvDecay: return gen::decayModEnv;
    default: return gen::holdModEnv;
  }
}

// A MIDI source as a modulator source (index and flags as the layers store
// them: 16 controller, 1 inverted, 2 bipolar, 4 x curve).
std::optional<std::pair<int32_t, int32_t>> ModulatorSource(uint16_t source, bool bipolar, bool invert,
                                                           int32_t curve) {
  int32_t index;
  int32_t flags = (bipolar ? 2 : 0) + (invert ? 1 : 0) + 4 * curve;
  switch (source) {
    case srcVelocity: index = msVelocity; break;
    case srcKeyNumber: index = msKey; break;
    case srcPitchWheel: index = msPitchWheel; break;
    case srcPolyPressure: index = msPolyPressure; break;
    case srcChannelPressure: index = msChannelPressure; break;
    default:
      if (source < srcCC0 || source > srcCCLast) return std::nullopt;
      index = source - srcCC0;
      flags += 16;
      break;
  }
  return std::make_pair(index, flags);
}

// The generator a source-controlled connection to dest modulates, and the
// factor from DLS units (after the 16-bit shift) to the generator's unit.
std::optional<std::pair<int32_t, double>> ModulatedGenerator(uint16_t dest) {
  switch (dest) {
    case dstGain: return std::make_pair(int32_t{gen::initialAttenuation}, -1.0);
    case dstPitch: return std::make_pair(int32_t{gen::initialPitch}, 1.0);
    case dstPan: return std::make_pair(int32_t{gen::pan}, 1.0);
    case dstEG1Sustain:
    case dstEG2Sustain:
    case dstKeyNumber: return std::nullopt;
    default: {
      const int32_t g = ConstantSlot(dest);
      if (g < 0) return std::nullopt;
      return std::make_pair(g, 1.0);
    }
  }
}

// Connections the default modulator set already provides.
bool IsImpliedConnection(const TConnectionBlock& c) {
  const uint16_t s = c.Source, k = c.ControlSource, d = c.Destination;
  return (s == srcVelocity && k == srcNone && d == dstGain) || (s == srcCC0 + 7 && k == srcNone && d == dstGain) ||
         (s == srcCC0 + 11 && k == srcNone && d == dstGain) ||
         (s == srcPitchWheel && k == srcRPN0 && d == dstPitch) || (s == srcCC0 + 10 && k == srcNone && d == dstPan) ||
         (s == srcCC0 + 91 && k == srcNone && d == dstReverb) || (s == srcCC0 + 93 && k == srcNone && d == dstChorus);
}

int32_t Clamp(int64_t v, int32_t lo, int32_t hi) { return static_cast<int32_t>(std::clamp<int64_t>(v, lo, hi)); }
int32_t Sat32(int64_t v) { return Clamp(v, INT32_MIN, INT32_MAX); }

}  // namespace

TDLSLeafValues ConvertDLSRegion(const TDLSRegion& Region, const TDLSConnections& Connection) {
  TDLSLeafValues r;
  for (int32_t g = 0; g < SFGeneratorCount; ++g) r.Generators[static_cast<size_t>(g)] = GeneratorInfoTable[g].Default;
  auto& gens = r.Generators;
  gens[gen::exclusiveClass] = Region.KeyGroup;

  struct TSlot {
    bool Set = false;
    int64_t Sum = 0;
  };
  std::array<TSlot, SFGeneratorCount> slots{};
  auto add = [&slots](int32_t g, int32_t scale) {
    TSlot& s = slots[static_cast<size_t>(g)];
    s.Sum = s.Set ? s.Sum + scale : scale;
    s.Set = true;
  };
  // Key scaling of envelope times: (scale, bipolar) per keynumTo* generator.
  std::array<std::optional<std::pair<int64_t, bool>>, SFGeneratorCount> keyScale{};

  for (const TConnectionBlock& c : Connection.ConnectionBlocks) {
    if (c.Source == srcNone && c.ControlSource == srcNone) {
      const int32_t g = ConstantSlot(c.Destination);
      if (g >= 0) add(g, c.Scale);
      continue;
    }
    const int32_t outputTransform = c.Transform & 15;
    const int32_t controlTransform = (c.Transform >> 4) & 15;
    const int32_t sourceTransform = (c.Transform >> 10) & 15;
    const bool bipolar = (c.Transform & TransformSourceBipolar) != 0;
    const bool invert = (c.Transform & TransformSourceInvert) != 0;
    if (outputTransform != 0 || controlTransform > 3 || sourceTransform > 3) continue;
    const bool internal = c.Source == srcLFO || c.Source == srcVibrato || c.Source == srcEG2;

    if (internal && c.ControlSource == srcNone && !invert && sourceTransform == 0) {
      const int32_t g = DepthSlot(c.Source, c.Destination);
      if (g >= 0) add(g, c.Scale);
      continue;
    }
    if (internal) {
      // A controller scaling a depth (modulation wheel or pressure to
      // vibrato) modulates the depth generator.
      const int32_t g = DepthSlot(c.Source, c.Destination);
      const auto control =
          ModulatorSource(c.ControlSource, (c.Transform & TransformControlBipolar) != 0,
                          (c.Transform & TransformControlInvert) != 0, controlTransform);
      if (g < 0 || !control) continue;
      TSF2Modulator m;
      m.Dest = g;
      m.Src1 = control->first;
      m.Flags1 = control->second;
      m.Amount = c.Scale / 65536.0;
      r.Modulators.push_back(m);
      continue;
    }
    if (c.Source == srcKeyNumber && c.ControlSource == srcNone && !invert && sourceTransform == 0) {
      if (const int32_t g = KeyScaleSlot(c.Destination); g >= 0) {
        auto& k = keyScale[static_cast<size_t>(g)];
        k = std::make_pair((k ? k->first : 0) + c.Scale, bipolar);
        continue;
      }
      if (c.Destination == dstPitch && !bipolar) {
        add(gen::scaleTuning, c.Scale);
        continue;
      }
    }
    if (IsImpliedConnection(c)) continue;
    const auto source = ModulatorSource(c.Source, bipolar, invert, sourceTransform);
    const auto target = ModulatedGenerator(c.Destination);
    if (!source || !target) continue;
    TSF2Modulator m;
    m.Dest = target->first;
    m.Src1 = source->first;
    m.Flags1 = source->second;
    if (c.ControlSource != srcNone) {
      const auto control =
          ModulatorSource(c.ControlSource, (c.Transform & TransformControlBipolar) != 0,
                          (c.Transform & TransformControlInvert) != 0, controlTransform);
      if (!control) continue;
      m.Src2 = control->first;
      m.Flags2 = control->second;
    }
    m.Amount = c.Scale / 65536.0 * target->second;
    r.Modulators.push_back(m);
  }

  // Region gain and a constant gain connection add; both are gains, so
  // attenuation is their negation.
  int64_t gain = DLSGainToSF2Centibles(Region.Attenuation);
  for (int32_t g = 0; g < SFGeneratorCount; ++g) {
    const TSlot& s = slots[static_cast<size_t>(g)];
    if (!s.Set) continue;
    const int32_t v = Sat32(s.Sum);
    switch (g) {
      case gen::delayModLFO: case gen::delayVibLFO: case gen::delayModEnv: case gen::holdModEnv:
      case gen::delayVolEnv: case gen::holdVolEnv:
        gens[g] = Clamp(DLSAbsTimeToSF2AbsTime(v), -12000, 5000);
        break;
      case gen::attackModEnv: case gen::decayModEnv: case gen::releaseModEnv: case gen::attackVolEnv:
      case gen::decayVolEnv: case gen::releaseVolEnv:
        gens[g] = Clamp(DLSAbsTimeToSF2AbsTime(v), -12000, 8000);
        break;
      case gen::freqModLFO: case gen::freqVibLFO:
        gens[g] = Clamp(DLSAbsPitchToSF2AbsPitch(v), -16000, 4500);
        break;
      case gen::initialFilterFc: gens[g] = Clamp(DLSAbsPitchToSF2AbsPitch(v), 1500, 13500); break;
      case gen::initialFilterQ: gens[g] = Clamp(DLSGainToSF2Centibles(v), 0, 960); break;
      case gen::initialAttenuation: gain += DLSGainToSF2Centibles(v); break;
      case gen::modLfoToVolume: gens[g] = Clamp(DLSGainToSF2Centibles(v), -960, 960); break;
      case gen::chorusEffectsSend: case gen::reverbEffectsSend:
        gens[g] = Clamp(DLSPercentToSF2TenthPercent(v), 0, 1000);
        break;
      // DLS pan is -50 %..50 % in 0.1 % steps, the generator's own range.
      case gen::pan: gens[g] = Clamp(DLSPercentToSF2TenthPercent(v), -500, 500); break;
      case gen::keynum: gens[g] = Clamp(static_cast<int64_t>(std::trunc(DLSRelPitchToCents(v))), 0, 127); break;
      // Sustain is a level in 0.1 % of full scale, on the 96 dB scale the
      // DLS volume envelope spans; the modulation envelope's is a decrease.
      case gen::sustainVolEnv: {
        const int32_t level = Clamp(DLSPercentToSF2TenthPercent(v), 0, 1000);
        gens[g] = Clamp(std::lround((1000 - level) * 0.96), 0, 1440);
        break;
      }
      case gen::sustainModEnv: gens[g] = 1000 - Clamp(DLSPercentToSF2TenthPercent(v), 0, 1000); break;
      case gen::fineTune: {
        // A tuning offset in cents: whole semitones to coarseTune.
        const auto cents = Clamp(std::llround(DLSRelPitchToCents(v)), -12000, 12000);
        gens[gen::coarseTune] = Clamp(cents / 100, -120, 120);
        gens[gen::fineTune] = cents - 100 * (cents / 100);
        break;
      }
      // Key tracking: the scale spans all 128 keys.
      case gen::scaleTuning: gens[g] = Clamp(std::llround(DLSRelPitchToCents(v) / 128.0), 0, 1200); break;
      case gen::modLfoToPitch: case gen::vibLfoToPitch: case gen::modEnvToPitch:
        gens[g] = Clamp(static_cast<int64_t>(std::trunc(DLSRelPitchToCents(v))), -1200, 1200);
        break;
      case gen::modLfoToFilterFc: case gen::modEnvToFilterFc:
        gens[g] = Clamp(static_cast<int64_t>(std::trunc(DLSRelPitchToCents(v))), -12000, 12000);
        break;
      default: break;
    }
  }
  gens[gen::initialAttenuation] = Clamp(-gain, 0, 1440);

  // time(key) = base + scale * source(key); the generator form is
  // base' + (60 - key) * perKey, so perKey = -scale / span and base' is the
  // time at key 60.
  for (int32_t g : {gen::keynumToVolEnvDecay, gen::keynumToVolEnvHold, gen::keynumToModEnvDecay,
                    gen::keynumToModEnvHold}) {
    const auto& k = keyScale[static_cast<size_t>(g)];
    if (!k) continue;
    const double cents = k->first / 65536.0;
    const double span = k->second ? 64.0 : 128.0;
    const double atKey60 = k->second ? cents * (60.0 - 64.0) / 64.0 : cents * 60.0 / 128.0;
    gens[g] = Clamp(std::llround(-cents / span), -1200, 1200);
    const int32_t t = KeyScaledTime(g);
    const int32_t hi = (t == gen::holdVolEnv || t == gen::holdModEnv) ? 5000 : 8000;
    gens[t] = Clamp(std::llround(gens[t] + atKey60), -12000, hi);
  }
  return r;
}

}  // namespace kelvane
