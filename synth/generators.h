#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kelvane {

// Generator numbers run from -1 to 168 (170 slots); 0..58 are the SoundFont 2.04
// generators, -1 and 100..168 the synthesizer's own, 59..99 unused.
inline constexpr int32_t GenFirst = -1;
inline constexpr int32_t GenLast = 168;
inline constexpr int32_t GenCount = GenLast - GenFirst + 1;
// A GenGlobalOverrideValues slot holding this value does not override.
inline constexpr int32_t GenNoOverride = -2147483647 - 1;

namespace gen {
enum TGeneratorNumber : int32_t {
  initialPitch = -1,
  startAddrsOffset = 0,
  endAddrsOffset = 1,
  startloopAddrsOffset = 2,
  endloopAddrsOffset = 3,
  startAddrsCoarseOffset = 4,
  modLfoToPitch = 5,
  vibLfoToPitch = 6,
  modEnvToPitch = 7,
  initialFilterFc = 8,
  initialFilterQ = 9,
  modLfoToFilterFc = 10,
  modEnvToFilterFc = 11,
  endAddrsCoarseOffset = 12,
  modLfoToVolume = 13,
  unused1 = 14,
  chorusEffectsSend = 15,
  reverbEffectsSend = 16,
  pan = 17,
  unused2 = 18,
  unused3 = 19,
  unused4 = 20,
  delayModLFO = 21,
  freqModLFO = 22,
  delayVibLFO = 23,
  freqVibLFO = 24,
  delayModEnv = 25,
  attackModEnv = 26,
  holdModEnv = 27,
  decayModEnv = 28,
  sustainModEnv = 29,
  releaseModEnv = 30,
  keynumToModEnvHold = 31,
  keynumToModEnvDecay = 32,
  delayVolEnv = 33,
  attackVolEnv = 34,
  holdVolEnv = 35,
  decayVolEnv = 36,
  sustainVolEnv = 37,
  releaseVolEnv = 38,
  keynumToVolEnvHold = 39,
  keynumToVolEnvDecay = 40,
  instrument = 41,
  reserved1 = 42,
  keyRange = 43,
  velRange = 44,
  startloopAddrsCoarseOffset = 45,
  keynum = 46,
  velocity = 47,
  initialAttenuation = 48,
  reserved2 = 49,
  endloopAddrsCoarseOffset = 50,
  coarseTune = 51,
  fineTune = 52,
  sampleID = 53,
  sampleModes = 54,
  reserved3 = 55,
  scaleTuning = 56,
  exclusiveClass = 57,
  overridingRootKey = 58,
  filterType = 100,
  filterGain = 101,
  initialFilter2Fc = 102,
  initialFilter2Q = 103,
  filter2Type = 104,
  filter2Gain = 105,
  initialFilter3Fc = 106,
  initialFilter3Q = 107,
  filter3Type = 108,
  filter3Gain = 109,
  loopCrossFadeType = 110,
  loopCrossFadeSamples = 111,
  delayMod2Env = 112,
  attackMod2Env = 113,
  holdMod2Env = 114,
  decayMod2Env = 115,
  sustainMod2Env = 116,
  releaseMod2Env = 117,
  keynumToMod2EnvHold = 118,
  keynumToMod2EnvDecay = 119,
  mod2EnvToVolume = 120,
  mod2EnvToPitch = 121,
  mod2EnvToFilterFc = 122,
  mod2EnvToFilterQ = 123,
  mod2EnvToFilter2Fc = 124,
  mod2EnvToFilter2Q = 125,
  mod2EnvToFilter3Fc = 126,
  mod2EnvToFilter3Q = 127,
  mod2EnvToReverbSend = 128,
  mod2EnvToChorusSend = 129,
  delayMod2LFO = 130,
  freqMod2LFO = 131,
  mod2LfoToVolume = 132,
  mod2LfoToPitch = 133,
  mod2LfoToFilterFc = 134,
  mod2LfoToFilterQ = 135,
  mod2LfoToFilter2Fc = 136,
  mod2LfoToFilter2Q = 137,
  mod2LfoToFilter3Fc = 138,
  mod2LfoToFilter3Q = 139,
  mod2LfoToReverbSend = 140,
  mod2LfoToChorusSend = 141,
  modEnvToVolume = 142,
  modEnvToFilterQ = 143,
  modEnvToFilter2Fc = 144,
  modEnvToFilter2Q = 145,
  modEnvToFilter3Fc = 146,
  modEnvToFilter3Q = 147,
  modEnvToReverbSend = 148,
  modEnvToChorusSend = 149,
  modLfoToFilterQ = 150,
  modLfoToFilter2Fc = 151,
  modLfoToFilter2Q = 152,
  modLfoToFilter3Fc = 153,
  modLfoToFilter3Q = 154,
  modLfoToReverbSend = 155,
  modLfoToChorusSend = 156,
  vibLfoWaveType = 157,
  modLfoWaveType = 158,
  mod2LfoWaveType = 159,
  attackVolEnvCurve = 160,
  decayVolEnvCurve = 161,
  releaseVolEnvCurve = 162,
  attackModEnvCurve = 163,
  decayModEnvCurve = 164,
  releaseModEnvCurve = 165,
  attackMod2EnvCurve = 166,
  decayMod2EnvCurve = 167,
  releaseMod2EnvCurve = 168,
};
}  // namespace gen

// An array indexed by generator number -1..168.
template <typename T>
struct TGenArray {
  std::array<T, GenCount> Items{};

  T& operator[](int32_t gen) { return Items[static_cast<size_t>(gen - GenFirst)]; }
  const T& operator[](int32_t gen) const { return Items[static_cast<size_t>(gen - GenFirst)]; }
  void Fill(T value) { Items.fill(value); }
  static constexpr bool IsValid(int32_t gen) { return gen >= GenFirst && gen <= GenLast; }
};

using TGenValues = TGenArray<int32_t>;     // raw values
using TGenWorkValues = TGenArray<double>;  // working values and modulator sums

// How the SF2 zone conversion combines a preset-level value with an
// instrument-level one.
enum TGeneratorMerge : int32_t {
  gmAddSigned,    // signed 16-bit add, then clamp to Min..Max
  gmAddUnsigned,  // unsigned 16-bit add, then clamp to Min..Max
  gmCopy,
  gmReplace,
  gmRange,      // key/velocity range intersection
  gmInstLink,   // instrument link, set once
  gmSampleLink  // sample link, set once
};

struct TGeneratorInfo {
  int32_t NRPNScale;  // multiplier for (data entry - 8192); 0 = not NRPN-controllable
  int32_t Min;        // clamp range of the SF2 preset + instrument sum
  int32_t Max;
  int32_t Default;  // value when no layer sets the generator
  TGeneratorMerge Merge;
  int32_t Class;  // unit class 0..18 for SoundFont 1 conversion
};

using TGeneratorInfoTable = TGenArray<TGeneratorInfo>;
using TCurveTable = std::array<float, 128>;

// Process-wide tables, filled by InitGeneratorTables and read-only afterwards.
extern const TGeneratorInfoTable& GeneratorInfoTable;
extern const TCurveTable& ConcaveTable;
extern const TCurveTable& ConvexTable;

// Builds the process-wide generator information and curve tables; run by
// InitSynth before any synthesizer exists. Thread-safe; later calls do nothing.
void InitGeneratorTables();

// The generator's name ("initialFilterFc"); empty for unused slots (59..99)
// and numbers outside -1..168.
std::string_view GeneratorName(int32_t gen);

// Modulator flags word: flags & 15 selects the transfer shape.
enum TModulatorFlag : int32_t {
  mfNegative = 1,  // maximum to minimum
  mfBipolar = 2,   // -1..1 instead of 0..1
  mfCurveMask = 12,
  mfCurveShift = 2,
  mfController = 16,  // the source number is a MIDI controller number
  mfShapeMask = 15
};

// Curve type, (flags & mfCurveMask) >> mfCurveShift.
enum TModulatorCurveType : int32_t { mctLinear = 0, mctConcave = 1, mctConvex = 2, mctSwitch = 3 };

// General source numbers (flags bit 4 clear).
enum TModulatorSource : int32_t {
  msNone = 0,
  msVelocity = 2,
  msKey = 3,
  msPolyPressure = 10,
  msChannelPressure = 13,
  msPitchWheel = 14,
  msPitchWheelSensitivity = 16,
  msLink = 127  // summed output of the modulators feeding this one
};

// Linear interpolation in a curve table: T[i] + (T[i+1] - T[i]) * frac(x),
// i = trunc(x). x outside 0..127 (or NaN) reads the nearest end.
double CurveTableValue(const TCurveTable& table, double x);

// Transfer shape flags & 15 applied to raw source value a with full scale b.
// Curves and switches work on a on the 0..127 scale whatever b is. Reads
// ConcaveTable/ConvexTable only; safe on the render path.
double ModulatorSourceShape(double a, double b, int32_t flags);

// What a voice knows about its sources when it evaluates a modulator.
struct TModulatorSourceInputs {
  int32_t Velocity = 0;         // note-on velocity
  int32_t Key = 0;              // key number
  int32_t PolyPressure = 0;     // polyphonic key pressure of the voice
  int32_t ChannelPressure = 0;  // channel pressure
  int32_t PitchWheel = 8192;    // 0..16383
  double PitchWheelSensitivity = 0.0;  // semitones + cents/100
  const uint8_t* Controllers = nullptr;  // 256 controller bytes; null reads 0
  std::span<const double> LinkValues;    // ModulatorSourceValues, by modulator index
};

// One modulator source value: source number src with flags, for the modulator
// with index modulatorIndex (selects the link value of source 127).
// isAmountSource is true for the second (amount) source.
double GetModulatorSourceValue(const TModulatorSourceInputs& inputs, int32_t modulatorIndex, int32_t src,
                               int32_t flags, bool isAmountSource);

// One modulator of the default set; appended with ID -1 and IDGroup 0.
struct TDefaultModulator {
  int32_t Dest;
  int32_t Src1;
  int32_t Flags1;
  int32_t Src2;
  int32_t Flags2;
  double Amount;  // in the destination generator's unit
};

inline constexpr size_t DefaultModulatorCount = 10;

// The default modulator set in append order. sf204 is true for SoundFont 2.04
// or later and false for older SoundFonts and DLS; it changes only the
// velocity-to-cutoff row (index 1).
std::span<const TDefaultModulator, DefaultModulatorCount> DefaultModulators(bool sf204);

}  // namespace kelvane
