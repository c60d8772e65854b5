#include "synth/resampling_tables.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <numbers>
#include <vector>

namespace kelvane {

namespace detail {
TResamplingTablePointers ResamplingTables;
}  // namespace detail

namespace {

constexpr std::align_val_t TableAlignment{64};  // cache line; rows need 16

struct TAlignedDelete {
  void operator()(float* p) const { ::operator delete[](p, TableAlignment); }
};
using TAlignedFloats = std::unique_ptr<float[], TAlignedDelete>;

TAlignedFloats AllocateTable(size_t count) {
  return TAlignedFloats(static_cast<float*>(::operator new[](count * sizeof(float), TableAlignment)));
}

// Table set slots: 0 cubic, 1 polyphase, 2 + j fast sinc for N = 8 << j.
constexpr int32_t TableSetCount = 10;

struct TTableStore {
  std::array<int32_t, TableSetCount> UseCounts = {};
  TAlignedFloats Cubic;
  std::array<TAlignedFloats, PolyphaseTableCount> Polyphase;
  std::array<TAlignedFloats, 8> FastSINC;
};

TTableStore& Store() {
  static TTableStore store;
  return store;
}

int32_t TableSetOf(int32_t method) {
  if (method == rmCubicSpline) return 0;
  if (method == rmPolyphaseFIR) return 1;
  if (method >= rmFastSINC8 && method < rmSINC8) return 2 + (method - rmFastSINC8);
  return -1;
}

// I0 of the tables: summed to full double precision.
constexpr double TableBesselTolerance = 1e-21;

TAlignedFloats BuildCubicTable() {
  TAlignedFloats table = AllocateTable(size_t{ResamplingTablePhases} * CubicTablePoints);
  for (int32_t row = 0; row < ResamplingTablePhases; ++row) {
    const double t = row / double(ResamplingTablePhases);
    const double t2 = t * t, t3 = t2 * t;
    float* r = table.get() + size_t(row) * CubicTablePoints;
    r[0] = float(-0.5 * t3 + t2 - 0.5 * t);
    r[1] = float(1.5 * t3 - 2.5 * t2 + 1.0);
    r[2] = float(-1.5 * t3 + 2.0 * t2 + 0.5 * t);
    r[3] = float(0.5 * t3 - 0.5 * t2);
  }
  return table;
}

// Kaiser-windowed sinc, 8 taps around frames i-3..i+4, cut-off c (fraction of Nyquist).
TAlignedFloats BuildPolyphaseTable(double c, double beta) {
  constexpr double pi = std::numbers::pi;
  const double i0Beta = BesselI0(beta, TableBesselTolerance);
  TAlignedFloats table = AllocateTable(size_t{ResamplingTablePhases} * PolyphaseTablePoints);
  for (int32_t p = 0; p < ResamplingTablePhases; ++p) {
    float* r = table.get() + size_t(p) * PolyphaseTablePoints;
    for (int32_t k = 0; k < PolyphaseTablePoints; ++k) {
      const double e = p / double(ResamplingTablePhases) - (k - 3);
      if (e == 0.0) {
        r[k] = float(c);
      } else {
        const double window = BesselI0(beta * std::sqrt(1.0 - e * e / 16.0), TableBesselTolerance) / i0Beta;
        r[k] = float(c * std::sin(pi * c * e) * window / (pi * c * e));
      }
    }
  }
  return table;
}

// [64 levels][4096 phases][N taps]; phase p stands for the offset p/4096 - 0.5.
TAlignedFloats BuildFastSINCTable(int32_t n) {
  constexpr double pi = std::numbers::pi;
  const int32_t half = n / 2;
  const double beta = SINCKaiserBeta();
  const double i0Beta = BesselI0(beta, TableBesselTolerance);
  const size_t phaseStride = size_t(n);
  const size_t levelStride = size_t(ResamplingTablePhases) * phaseStride;

  // The window depends on phase and tap only.
  std::vector<double> window(levelStride);
  for (int32_t p = 0; p < ResamplingTablePhases; ++p) {
    const double t = p / double(ResamplingTablePhases) - 0.5;
    for (int32_t k = 0; k < n; ++k) {
      const double r = (k - t - half) / half;
      window[size_t(p) * phaseStride + size_t(k)] =
          std::fabs(r) < 1.0 ? BesselI0(beta * std::sqrt(1.0 - r * r), TableBesselTolerance) / i0Beta : 0.0;
    }
  }

  TAlignedFloats table = AllocateTable(size_t(FastSINCLevels) * levelStride);
  // sin(c*pi*(m - t)) = sin(c*pi*m)*cos(c*pi*t) - cos(c*pi*m)*sin(c*pi*t), m = k - half.
  std::vector<double> sinM(static_cast<size_t>(n)), cosM(static_cast<size_t>(n));
  for (int32_t j = 0; j < FastSINCLevels; ++j) {
    const float cf = j == 0 ? 1.0f : std::clamp(float(std::pow(2.0, -j / 12.0)), 0.0f, 1.0f);
    const double c = cf;
    for (int32_t k = 0; k < n; ++k) {
      sinM[size_t(k)] = std::sin(c * pi * (k - half));
      cosM[size_t(k)] = std::cos(c * pi * (k - half));
    }
    float* level = table.get() + size_t(j) * levelStride;
    for (int32_t p = 0; p < ResamplingTablePhases; ++p) {
      const double t = p / double(ResamplingTablePhases) - 0.5;
      const double sinT = std::sin(c * pi * t), cosT = std::cos(c * pi * t);
      const double* w = window.data() + size_t(p) * phaseStride;
      float* row = level + size_t(p) * phaseStride;
      for (int32_t k = 0; k < n; ++k) {
        const double x = k - t - half;
        const double sinc =
            std::fabs(x) < 1e-10 ? c : (sinM[size_t(k)] * cosT - cosM[size_t(k)] * sinT) / (pi * x);
        row[k] = float(w[k] * sinc);
      }
    }
  }
  return table;
}

void Publish() {
  TTableStore& s = Store();
  auto& t = detail::ResamplingTables;
  t.Cubic = s.Cubic.get();
  for (int32_t i = 0; i < PolyphaseTableCount; ++i) t.Polyphase[size_t(i)] = s.Polyphase[size_t(i)].get();
  for (size_t j = 0; j < s.FastSINC.size(); ++j) t.FastSINC[j] = s.FastSINC[j].get();
}

}  // namespace

TResamplingMethodInfo ResamplingMethodInfo(int32_t Method) {
  TResamplingMethodInfo info;
  if (Method == rmLinear) {
    info.Points = 2;
    info.LoopStartOffset = -1;
  } else if (Method == rmCubicSpline) {
    info.Points = 4;
    info.LoopEndOffset = -1;
  } else if (Method == rmPolyphaseFIR) {
    info.Points = 8;
    info.LoopStartOffset = 2;
    info.LoopEndOffset = -3;
  } else if (Method >= rmFastSINC8 && Method <= rmLastMethod) {
    info.Points = SINCMethodPoints(Method);
    info.LoopStartOffset = info.Points / 2 - 2;
    info.LoopEndOffset = 1 - info.Points / 2;
  }
  if (Method >= rmCubicSpline && Method < rmSINC8) info.FracLen = ResamplingTableFracLen;
  info.FastSINCActive = Method >= rmFastSINC8 && Method < rmSINC8;
  return info;
}

double BesselI0(double X, double RelativeTolerance) {
  const double halfX = X * 0.5;
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 500; ++k) {
    const double f = halfX / k;
    term *= f * f;
    sum += term;
    if (term < RelativeTolerance * sum) break;
  }
  return sum;
}

double SINCKaiserBeta() {
  const double a = -20.0 * std::log10(std::pow(2.0, -24.0));
  if (a > 50.0) return 0.1102 * (a - 8.7);
  if (a > 21.0) return 0.5842 * std::pow(a - 21.0, 0.4) + 0.07886 * (a - 21.0);
  return 0.0;
}

void AcquireResamplingTables(int32_t Method) {
  const int32_t set = TableSetOf(Method);
  if (set < 0) return;
  TTableStore& s = Store();
  if (s.UseCounts[size_t(set)] == 0) {
    // Build before counting, so a failed allocation leaves no use behind.
    if (set == 0) {
      s.Cubic = BuildCubicTable();
    } else if (set == 1) {
      auto a = BuildPolyphaseTable(0.97, 9.6377);
      auto b = BuildPolyphaseTable(0.5, 8.5);
      auto c = BuildPolyphaseTable(0.425, 2.7625);
      s.Polyphase = {std::move(a), std::move(b), std::move(c)};
    } else {
      s.FastSINC[size_t(set - 2)] = BuildFastSINCTable(8 << (set - 2));
    }
    Publish();
  }
  ++s.UseCounts[size_t(set)];
}

void ReleaseResamplingTables(int32_t Method) {
  const int32_t set = TableSetOf(Method);
  if (set < 0) return;
  TTableStore& s = Store();
  if (s.UseCounts[size_t(set)] == 0) return;
  if (--s.UseCounts[size_t(set)] > 0) return;
  if (set == 0) {
    s.Cubic.reset();
  } else if (set == 1) {
    for (auto& t : s.Polyphase) t.reset();
  } else {
    s.FastSINC[size_t(set - 2)].reset();
  }
  Publish();
}

int32_t ResamplingTablesUseCount(int32_t Method) {
  const int32_t set = TableSetOf(Method);
  return set < 0 ? 0 : Store().UseCounts[size_t(set)];
}

}  // namespace kelvane
