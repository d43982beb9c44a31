#include "tools/meter-sim/SimHistory.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillon::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kOmega = 2 * kPi / 86400;   // one turn a day
constexpr int64_t kCommissioned = 946684800;  // 2000-01-01: the counters start at zero here

// A household's load over the day, 1 on average: lowest around 04:00, peaks
// around 08:00 and 20:00. Never below 0.3, so energy always rises.
constexpr double kA1 = 0.45, kP1 = -kPi / 2 - kOmega * 4 * 3600;
constexpr double kA2 = 0.25, kP2 = kPi / 2 - 2 * kOmega * 8 * 3600;
// Solar export, 1 on average, highest at 13:00, never below 0.1.
constexpr double kAE = 0.9, kPE = kPi / 2 - kOmega * 13 * 3600;

double Load(double t) { return 1 + kA1 * std::sin(kOmega * t + kP1) + kA2 * std::sin(2 * kOmega * t + kP2); }
double Solar(double t) { return 1 + kAE * std::sin(kOmega * t + kPE); }

// Integrals of the shapes from the commissioning day to t, in seconds.
double LoadIntegral(double t) {
  double t0 = static_cast<double>(kCommissioned);
  auto f = [](double x) {
    return x - kA1 / kOmega * std::cos(kOmega * x + kP1) - kA2 / (2 * kOmega) * std::cos(2 * kOmega * x + kP2);
  };
  return t <= t0 ? 0 : f(t) - f(t0);
}
double SolarIntegral(double t) {
  double t0 = static_cast<double>(kCommissioned);
  auto f = [](double x) { return x - kAE / kOmega * std::cos(kOmega * x + kPE); };
  return t <= t0 ? 0 : f(t) - f(t0);
}

// Deterministic noise in [-1, 1] for a moment and a quantity.
double Noise(int64_t t, uint64_t key) {
  uint64_t z = static_cast<uint64_t>(t) * 0x9E3779B97F4A7C15ull + key * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / static_cast<double>(1ull << 52) - 1;
}

// Average powers (W, var, VA) of the energy quantities by value group C.
bool AveragePower(int c, double& watts, bool& solar) {
  solar = false;
  switch (c) {
    case 1: watts = 1500; return true;   // active import
    case 2: watts = 600; solar = true; return true;  // active export
    case 3: watts = 420; return true;    // reactive import
    case 4: watts = 60; return true;     // reactive export
    case 9: watts = 1560; return true;   // apparent import
    case 10: watts = 620; solar = true; return true;  // apparent export
    case 15: watts = 2100; return true;  // active, absolute
    default: return false;
  }
}

double Voltage(int64_t t, int phase) {
  double ts = static_cast<double>(t);
  return 230 + 3 * std::sin(kOmega * ts + 2 * kPi * phase / 3) - 4 * (Load(ts) - 1) + 0.8 * Noise(t, 100 + phase);
}

}  // namespace

bool HistoricValue(const PduStr& ln, int64_t t, double& value) {
  if (ln.size() != 6) return false;
  auto at = [&](size_t i) { return static_cast<uint8_t>(ln[i]); };
  int a = at(0), c = at(2), d = at(3), e = at(4);
  double ts = static_cast<double>(t);
  if (a == 1 && d == 8) {
    double watts;
    bool solar;
    if (!AveragePower(c, watts, solar)) return false;
    // Tariff 1 takes 60 % and tariff 2 40 % of the total.
    double share = e == 0 ? 1 : e == 1 ? 0.6 : e == 2 ? 0.4 : 0;
    if (share == 0) return false;
    value = share * watts * (solar ? SolarIntegral(ts) : LoadIntegral(ts)) / 3600;
    return true;
  }
  if (a == 1 && d == 7 && e == 0) {
    double watts;
    bool solar;
    if (AveragePower(c, watts, solar)) {
      value = watts * (solar ? Solar(ts) : Load(ts)) * (1 + 0.05 * Noise(t, static_cast<uint64_t>(c)));
      return true;
    }
    switch (c) {
      case 32: case 52: case 72:
        value = Voltage(t, (c - 32) / 20);
        return true;
      case 31: case 51: case 71: {
        int phase = (c - 31) / 20;
        static const double kShare[] = {1.15, 0.85, 1.0};
        value = 1500 * Load(ts) / 3 / Voltage(t, phase) * kShare[phase] * (1 + 0.08 * Noise(t, 200 + phase));
        return true;
      }
      case 14:
        value = 50 + 0.04 * Noise(t, 14);
        return true;
      case 13:
        value = 0.93 + 0.04 * std::sin(kOmega * ts) + 0.01 * Noise(t, 13);
        return true;
      default:
        return false;
    }
  }
  if (a == 0 && c == 96 && d == 10) {
    // Status word: now and then "clock adjusted" (bit 3).
    value = Noise(t, 9610) > 0.88 ? 0x08 : 0x00;
    return true;
  }
  if (a == 0 && c == 96 && d == 11) {
    // Event codes: power down / up, clock adjusted, parameters changed, ...
    static const int kEvents[] = {1, 2, 4, 5, 47, 48, 49};
    value = kEvents[static_cast<int>((Noise(t, 9611) + 1) / 2 * 6.999)];
    return true;
  }
  return false;
}

std::unique_ptr<T_Data> ScaledLike(const T_Data& like, double value, int scaler, bool counter) {
  std::unique_ptr<T_Data> out(static_cast<T_Data*>(like.Clone().release()));
  double raw = value / std::pow(10.0, scaler);
  if (auto* f = dynamic_cast<T_Float32*>(out->Value.get())) {
    f->Value = static_cast<float>(raw);
  } else if (auto* g = dynamic_cast<T_Float64*>(out->Value.get())) {
    g->Value = raw;
  } else if (auto* n = dynamic_cast<TNumericBase*>(out->Value.get())) {
    raw = counter ? std::floor(raw) : std::round(raw);
    int bits = n->ByteCount() * 8;
    bool isSigned = like.Tag == 5 || like.Tag == 15 || like.Tag == 16 || like.Tag == 20;
    // 64-bit types are held below 2^62, which a double and an int64 both carry.
    double low = isSigned ? -std::ldexp(1.0, std::min(bits, 63) - 1) : 0;
    double high = bits == 64 ? std::ldexp(1.0, 62) : isSigned ? std::ldexp(1.0, bits - 1) - 1 : std::ldexp(1.0, bits) - 1;
    raw = std::fmin(std::fmax(raw, low), high);
    uint64_t b = static_cast<uint64_t>(static_cast<int64_t>(raw));
    if (bits < 64) b &= (uint64_t{1} << bits) - 1;
    n->SetBits(b);
  }
  return out;
}

}  // namespace quillon::sim
