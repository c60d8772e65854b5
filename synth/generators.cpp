#include "synth/generators.h"

#include <cmath>
#include <mutex>

namespace kelvane {

namespace {

struct TGeneratorRecord {
  int32_t Gen;
  std::string_view Name;
  int32_t NRPNScale;
  int32_t Min;
  int32_t Max;
  int32_t Default;
  TGeneratorMerge Merge;
  int32_t Class;
};

// Generators -1..58 and 100..168; 59..99 have no record.
constexpr TGeneratorRecord GeneratorRecords[] = {
    {-1, "initialPitch", 0, 0, 127, 0, gmAddSigned, 0},
    {0, "startAddrsOffset", 1, 0, 1000000000, 0, gmAddSigned, 2},
    {1, "endAddrsOffset", 1, -1000000000, 0, 0, gmAddSigned, 2},
    {2, "startloopAddrsOffset", 1, -1000000000, 1000000000, 0, gmAddSigned, 2},
    {3, "endloopAddrsOffset", 1, -1000000000, 1000000000, 0, gmAddSigned, 2},
    {4, "startAddrsCoarseOffset", 1, 0, 1000000000, 0, gmAddSigned, 3},
    {5, "modLfoToPitch", 2, -12000, 12000, 0, gmAddSigned, 14},
    {6, "vibLfoToPitch", 2, -12000, 12000, 0, gmAddSigned, 14},
    {7, "modEnvToPitch", 2, -12000, 12000, 0, gmAddSigned, 14},
    {8, "initialFilterFc", 2, 1500, 13500, 13500, gmAddSigned, 5},
    {9, "initialFilterQ", 1, 0, 960, 0, gmAddSigned, 6},
    {10, "modLfoToFilterFc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {11, "modEnvToFilterFc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {12, "endAddrsCoarseOffset", 1, -1000000000, 0, 0, gmAddSigned, 3},
    {13, "modLfoToVolume", 1, -960, 960, 0, gmAddSigned, 16},
    {14, "unused1", 0, 0, 0, 0, gmAddSigned, 0},
    {15, "chorusEffectsSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {16, "reverbEffectsSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {17, "pan", 1, -500, 500, 0, gmAddSigned, 8},
    {18, "unused2", 0, 0, 0, 0, gmAddSigned, 0},
    {19, "unused3", 0, 0, 0, 0, gmAddSigned, 0},
    {20, "unused4", 0, 0, 0, 0, gmAddSigned, 0},
    {21, "delayModLFO", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {22, "freqModLFO", 4, -16000, 4500, 0, gmAddSigned, 13},
    {23, "delayVibLFO", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {24, "freqVibLFO", 4, -16000, 4500, 0, gmAddSigned, 13},
    {25, "delayModEnv", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {26, "attackModEnv", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {27, "holdModEnv", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {28, "decayModEnv", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {29, "sustainModEnv", 1, 0, 1000, 0, gmAddSigned, 17},
    {30, "releaseModEnv", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {31, "keynumToModEnvHold", 1, -1200, 1200, 0, gmAddSigned, 12},
    {32, "keynumToModEnvDecay", 1, -1200, 1200, 0, gmAddSigned, 12},
    {33, "delayVolEnv", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {34, "attackVolEnv", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {35, "holdVolEnv", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {36, "decayVolEnv", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {37, "sustainVolEnv", 1, 0, 1440, 0, gmAddSigned, 18},
    {38, "releaseVolEnv", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {39, "keynumToVolEnvHold", 1, -1200, 1200, 0, gmAddSigned, 12},
    {40, "keynumToVolEnvDecay", 1, -1200, 1200, 0, gmAddSigned, 12},
    {41, "instrument", 0, 0, 0, 0, gmInstLink, 1},
    {42, "reserved1", 0, 0, 0, 0, gmAddSigned, 0},
    {43, "keyRange", 0, 0, 32512, 32512, gmRange, 4},
    {44, "velRange", 0, 0, 32512, 32512, gmRange, 4},
    {45, "startloopAddrsCoarseOffset", 1, -1000000000, 1000000000, 0, gmAddSigned, 3},
    {46, "keynum", 0, 0, 127, -1, gmReplace, 1},
    {47, "velocity", 1, 0, 127, -1, gmReplace, 1},
    {48, "initialAttenuation", 1, 0, 1440, 0, gmAddSigned, 9},
    {49, "reserved2", 0, 0, 0, 0, gmAddSigned, 0},
    {50, "endloopAddrsCoarseOffset", 1, -1000000000, 1000000000, 0, gmAddSigned, 3},
    {51, "coarseTune", 1, -120, 120, 0, gmAddSigned, 1},
    {52, "fineTune", 1, -99, 99, 0, gmAddSigned, 1},
    {53, "sampleID", 0, 0, 0, 0, gmSampleLink, 1},
    {54, "sampleModes", 0, 0, 0, 0, gmReplace, 1},
    {55, "reserved3", 0, 0, 0, 0, gmReplace, 1},
    {56, "scaleTuning", 1, 0, 1200, 100, gmAddSigned, 10},
    {57, "exclusiveClass", 0, 0, 127, 0, gmReplace, 1},
    {58, "overridingRootKey", 0, 0, 127, -1, gmReplace, 1},
    {100, "filterType", 0, 1, 7, 1, gmReplace, 1},
    {101, "filterGain", 0, -1440, 1440, 0, gmAddSigned, 1},
    {102, "initialFilter2Fc", 2, 1500, 13500, 13500, gmAddSigned, 5},
    {103, "initialFilter2Q", 1, 0, 960, 0, gmAddSigned, 6},
    {104, "filter2Type", 0, 1, 7, 0, gmReplace, 1},
    {105, "filter2Gain", 0, -1440, 1440, 0, gmAddSigned, 1},
    {106, "initialFilter3Fc", 2, 1500, 13500, 13500, gmAddSigned, 5},
    {107, "initialFilter3Q", 1, 0, 960, 0, gmAddSigned, 6},
    {108, "filter3Type", 0, 1, 7, 0, gmReplace, 1},
    {109, "filter3Gain", 0, -1440, 1440, 0, gmAddSigned, 1},
    {110, "loopCrossFadeType", 0, 0, 2, 0, gmReplace, 1},
    {111, "loopCrossFadeSamples", 0, 0, 1073741824, 0, gmAddSigned, 1},
    {112, "delayMod2Env", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {113, "attackMod2Env", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {114, "holdMod2Env", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {115, "decayMod2Env", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {116, "sustainMod2Env", 1, 0, 1000, 0, gmAddSigned, 17},
    {117, "releaseMod2Env", 2, -12000, 8000, -12000, gmAddSigned, 11},
    {118, "keynumToMod2EnvHold", 1, -1200, 1200, 0, gmAddSigned, 12},
    {119, "keynumToMod2EnvDecay", 1, -1200, 1200, 0, gmAddSigned, 12},
    {120, "mod2EnvToVolume", 1, -960, 960, 0, gmAddSigned, 16},
    {121, "mod2EnvToPitch", 2, -12000, 12000, 0, gmAddSigned, 14},
    {122, "mod2EnvToFilterFc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {123, "mod2EnvToFilterQ", 2, -960, 950, 0, gmAddSigned, 6},
    {124, "mod2EnvToFilter2Fc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {125, "mod2EnvToFilter2Q", 2, -960, 950, 0, gmAddSigned, 6},
    {126, "mod2EnvToFilter3Fc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {127, "mod2EnvToFilter3Q", 2, -960, 950, 0, gmAddSigned, 6},
    {128, "mod2EnvToReverbSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {129, "mod2EnvToChorusSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {130, "delayMod2LFO", 2, -12000, 5000, -12000, gmAddSigned, 11},
    {131, "freqMod2LFO", 4, -16000, 4500, 0, gmAddSigned, 13},
    {132, "mod2LfoToVolume", 1, -960, 960, 0, gmAddSigned, 16},
    {133, "mod2LfoToPitch", 2, -12000, 12000, 0, gmAddSigned, 14},
    {134, "mod2LfoToFilterFc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {135, "mod2LfoToFilterQ", 2, -960, 950, 0, gmAddSigned, 6},
    {136, "mod2LfoToFilter2Fc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {137, "mod2LfoToFilter2Q", 2, -960, 950, 0, gmAddSigned, 6},
    {138, "mod2LfoToFilter3Fc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {139, "mod2LfoToFilter3Q", 2, -960, 950, 0, gmAddSigned, 6},
    {140, "mod2LfoToReverbSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {141, "mod2LfoToChorusSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {142, "modEnvToVolume", 1, -960, 960, 0, gmAddSigned, 16},
    {143, "modEnvToFilterQ", 2, -960, 950, 0, gmAddSigned, 6},
    {144, "modEnvToFilter2Fc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {145, "modEnvToFilter2Q", 2, -960, 950, 0, gmAddSigned, 6},
    {146, "modEnvToFilter3Fc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {147, "modEnvToFilter3Q", 2, -960, 950, 0, gmAddSigned, 6},
    {148, "modEnvToReverbSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {149, "modEnvToChorusSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {150, "modLfoToFilterQ", 2, -960, 950, 0, gmAddSigned, 6},
    {151, "modLfoToFilter2Fc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {152, "modLfoToFilter2Q", 2, -960, 950, 0, gmAddSigned, 6},
    {153, "modLfoToFilter3Fc", 2, -12000, 12000, 0, gmAddSigned, 15},
    {154, "modLfoToFilter3Q", 2, -960, 950, 0, gmAddSigned, 6},
    {155, "modLfoToReverbSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {156, "modLfoToChorusSend", 1, 0, 1000, 0, gmAddSigned, 7},
    {157, "vibLfoWaveType", 1, 0, 4, 0, gmReplace, 1},
    {158, "modLfoWaveType", 1, 0, 4, 0, gmReplace, 1},
    {159, "mod2LfoWaveType", 1, 0, 4, 0, gmReplace, 1},
    {160, "attackVolEnvCurve", 2, 0, 5, 0, gmReplace, 1},
    {161, "decayVolEnvCurve", 2, 0, 5, 0, gmReplace, 1},
    {162, "releaseVolEnvCurve", 2, 0, 5, 0, gmReplace, 1},
    {163, "attackModEnvCurve", 2, 0, 5, 0, gmReplace, 1},
    {164, "decayModEnvCurve", 2, 0, 5, 0, gmReplace, 1},
    {165, "releaseModEnvCurve", 2, 0, 5, 0, gmReplace, 1},
    {166, "attackMod2EnvCurve", 2, 0, 5, 0, gmReplace, 1},
    {167, "decayMod2EnvCurve", 2, 0, 5, 0, gmReplace, 1},
    {168, "releaseMod2EnvCurve", 2, 0, 5, 0, gmReplace, 1},
};
static_assert(std::size(GeneratorRecords) == 129);

TGeneratorInfoTable GeneratorInfoStorage;
TCurveTable ConcaveStorage;
TCurveTable ConvexStorage;
std::once_flag TablesBuilt;

// -20/96: 20 log10 of a squared amplitude ratio, over the 96 dB range.
constexpr double CurveFactor = -0.20833333333333334;

void BuildGeneratorTables() {
  GeneratorInfoStorage.Fill(TGeneratorInfo{0, 0, 0, 0, gmReplace, 1});
  for (int32_t g = GenFirst; g <= GenLast; ++g) {
    for (const TGeneratorRecord& r : GeneratorRecords) {
      if (r.Gen == g) {
        GeneratorInfoStorage[g] = TGeneratorInfo{r.NRPNScale, r.Min, r.Max, r.Default, r.Merge, r.Class};
        break;
      }
    }
  }

  const double ln10 = std::log(10.0);
  ConcaveStorage[0] = 0.0f;
  ConcaveStorage[127] = 1.0f;
  ConvexStorage[0] = 0.0f;
  ConvexStorage[127] = 1.0f;
  for (int x = 1; x <= 126; ++x) {
    const double down = (127.0 - x) / 127.0;
    const double up = x / 127.0;
    ConcaveStorage[x] = static_cast<float>(CurveFactor * (std::log(down * down) / ln10));
    ConvexStorage[x] = static_cast<float>(1.0 - CurveFactor * (std::log(up * up) / ln10));
  }
}

// Concave shapes: trunc(x) <= 0 -> 0, trunc(x) > 126 -> 1.
double ConcaveLimited(double x) {
  if (!(x >= 1.0)) return 0.0;
  if (x >= 127.0) return 1.0;
  return CurveTableValue(ConcaveTable, x);
}

// Convex shapes: x <= 0 -> 0, x >= 127 -> 1.
double ConvexLimited(double x) {
  if (!(x > 0.0)) return 0.0;
  if (x >= 127.0) return 1.0;
  return CurveTableValue(ConvexTable, x);
}

constexpr TDefaultModulator DefaultModulatorsOld[DefaultModulatorCount] = {
    {gen::initialAttenuation, msVelocity, 5, msNone, 0, 960},
    {gen::initialFilterFc, msVelocity, 1, msVelocity, 13, -2400},
    {gen::vibLfoToPitch, msChannelPressure, 0, msNone, 0, 50},
    {gen::vibLfoToPitch, 1, 16, msNone, 0, 50},
    {gen::initialAttenuation, 7, 21, msNone, 0, 960},
    {gen::pan, 10, 18, msNone, 0, 500},
    {gen::initialAttenuation, 11, 21, msNone, 0, 960},
    {gen::reverbEffectsSend, 91, 16, msNone, 0, 200},
    {gen::chorusEffectsSend, 93, 16, msNone, 0, 200},
    {gen::initialPitch, msPitchWheel, 2, msPitchWheelSensitivity, 0, 12700},
};

constexpr TDefaultModulator DefaultModulators204[DefaultModulatorCount] = {
    DefaultModulatorsOld[0],
    {gen::initialFilterFc, msVelocity, 1, msNone, 0, -2400},
    DefaultModulatorsOld[2],
    DefaultModulatorsOld[3],
    DefaultModulatorsOld[4],
    DefaultModulatorsOld[5],
    DefaultModulatorsOld[6],
    DefaultModulatorsOld[7],
    DefaultModulatorsOld[8],
    DefaultModulatorsOld[9],
};

}  // namespace

const TGeneratorInfoTable& GeneratorInfoTable = GeneratorInfoStorage;
const TCurveTable& ConcaveTable = ConcaveStorage;
const TCurveTable& ConvexTable = ConvexStorage;

void InitGeneratorTables() { std::call_once(TablesBuilt, BuildGeneratorTables); }

std::string_view GeneratorName(int32_t gen) {
  for (const TGeneratorRecord& r : GeneratorRecords) {
    if (r.Gen == gen) return r.Name;
  }
  return {};
}

double CurveTableValue(const TCurveTable& table, double x) {
  if (!(x > 0.0)) return table[0];
  if (x >= 127.0) return table[127];
  const auto i = static_cast<size_t>(x);
  const double t0 = table[i];
  return t0 + (table[i + 1] - t0) * (x - static_cast<double>(i));
}

double ModulatorSourceShape(double a, double b, int32_t flags) {
  const double c = 2.0 * (a - 64.0);
  const double d = 2.0 * (64.0 - a);
  switch (flags & mfShapeMask) {
    case 0:
      return a / b;
    case 1:
      return 1.0 - a / b;
    case 2:
      return 2.0 * a / b - 1.0;
    case 3:
      return 1.0 - 2.0 * a / b;
    case 4:
      return ConcaveLimited(a);
    case 5:
      return ConcaveLimited(127.0 - a);
    case 6:
      return a <= 64.0 ? -ConcaveLimited(d) : ConcaveLimited(c);
    case 7:
      return a <= 64.0 ? ConcaveLimited(d) : -ConcaveLimited(c);
    case 8:
      return ConvexLimited(a);
    case 9:
      return ConvexLimited(127.0 - a);
    case 10:
      return a <= 64.0 ? -ConvexLimited(d) : ConvexLimited(c);
    case 11:
      return a <= 64.0 ? ConvexLimited(d) : -ConvexLimited(c);
    case 12:
      return a >= 64.0 ? 1.0 : 0.0;
    case 13:
      return a >= 64.0 ? 0.0 : 1.0;
    case 14:
      return a >= 64.0 ? 1.0 : -1.0;
    default:  // 15
      return a >= 64.0 ? -1.0 : 1.0;
  }
}

double GetModulatorSourceValue(const TModulatorSourceInputs& inputs, int32_t modulatorIndex, int32_t src,
                               int32_t flags, bool isAmountSource) {
  if (src < 1) return isAmountSource ? 1.0 : 0.0;
  // Unlisted sources (and an unreachable link) read 1 as amount source, else 0.
  double a = isAmountSource ? 1.0 : 0.0;
  double b = 127.0;
  if ((flags & mfController) != 0) {
    // Numbers past the 256-byte controller array read 0.
    a = (inputs.Controllers != nullptr && src < 256) ? inputs.Controllers[src] : 0.0;
  } else {
    switch (src) {
      case msVelocity:
        a = inputs.Velocity;
        break;
      case msKey:
        a = inputs.Key;
        break;
      case msPolyPressure:
        a = inputs.PolyPressure;
        break;
      case msChannelPressure:
        a = inputs.ChannelPressure;
        break;
      case msPitchWheel:
        a = inputs.PitchWheel;
        b = 16384.0;
        break;
      case msPitchWheelSensitivity:
        a = inputs.PitchWheelSensitivity;
        break;
      case msLink:
        if (modulatorIndex >= 0 && static_cast<size_t>(modulatorIndex) < inputs.LinkValues.size()) {
          a = inputs.LinkValues[static_cast<size_t>(modulatorIndex)];
        }
        break;
      default:
        break;
    }
  }
  return ModulatorSourceShape(a, b, flags);
}

std::span<const TDefaultModulator, DefaultModulatorCount> DefaultModulators(bool sf204) {
  return sf204 ? std::span<const TDefaultModulator, DefaultModulatorCount>(DefaultModulators204)
               : std::span<const TDefaultModulator, DefaultModulatorCount>(DefaultModulatorsOld);
}

}  // namespace kelvane
