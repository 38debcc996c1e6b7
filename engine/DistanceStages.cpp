// SPDX-License-Identifier: MIT

#include "engine/DistanceStages.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tarvio {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kHalf = DopplerDelay::kTaps / 2;

// The zeroth-order modified Bessel function, for the Kaiser window.
double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// The polyphase table: row p holds the kTaps taps for a read position
// p / kPhases of a frame past a sample; the taps reach from kHalf - 1
// samples before that sample to kHalf after it. A sinc cut at 0.95 of the
// Nyquist frequency under a Kaiser window (beta 8), each row summing to 1.
const std::vector<double>& sincTable() {
    static const std::vector<double> table = [] {
        constexpr int taps = DopplerDelay::kTaps;
        constexpr int phases = DopplerDelay::kPhases;
        constexpr double cut = 0.95;
        constexpr double beta = 8.0;
        std::vector<double> t(static_cast<std::size_t>(phases + 1) * taps);
        for (int p = 0; p <= phases; ++p) {
            const double frac = static_cast<double>(p) / phases;
            double sum = 0.0;
            double* row = &t[static_cast<std::size_t>(p) * taps];
            for (int k = 0; k < taps; ++k) {
                const double at = k - (kHalf - 1) - frac;  // from the read position
                const double s = at == 0.0 ? cut : std::sin(kPi * cut * at) / (kPi * at);
                const double w = at / kHalf;
                const double win = std::fabs(w) >= 1.0
                                       ? 0.0
                                       : besselI0(beta * std::sqrt(1.0 - w * w)) / besselI0(beta);
                row[k] = s * win;
                sum += row[k];
            }
            for (int k = 0; k < taps; ++k)
                row[k] /= sum;
        }
        return t;
    }();
    return table;
}

}  // namespace

DopplerDelay::DopplerDelay(double maxMetres, double rate, int blockFrames)
    : rate_(rate),
      maxDelay_(std::max(maxMetres, 0.0) / kSpeedOfSound * rate + kHalf),
      tail_(tailFramesFor(maxMetres, rate)) {
    sincTable();
    std::int64_t size = 1;
    const double need = maxDelay_ + kTaps + blockFrames + 1.0;
    while (static_cast<double>(size) < need)
        size *= 2;
    mask_ = size - 1;
    ring_.reset(new double[static_cast<std::size_t>(size)]());
}

int DopplerDelay::tailFramesFor(double maxMetres, double rate) {
    const double longest = std::max(maxMetres, 0.0) / kSpeedOfSound * rate + kHalf;
    return static_cast<int>(std::ceil(longest)) + kHalf;
}

void DopplerDelay::process(const double* in, const double* metres, int n, double* out) {
    for (int j = 0; j < n; ++j)
        ring_[static_cast<std::size_t>((written_ + j) & mask_)] = in[j];
    const double* table = sincTable().data();
    const double* ring = ring_.get();
    double last = lastMetres_ < 0.0 && n > 0 ? metres[0] : lastMetres_;
    // A speed is bounded to half the speed of sound either way: a jump of a
    // path would otherwise stop or reverse time.
    const double maxSpeed = kSpeedOfSound / 2.0;
    for (int j = 0; j < n; ++j) {
        const double d = metres[j];
        const double speed = std::clamp((d - last) * rate_, -maxSpeed, maxSpeed);
        last = d;
        const double delay =
            std::clamp(d / (kSpeedOfSound + speed) * rate_, static_cast<double>(kHalf), maxDelay_);
        const double at = static_cast<double>(written_ + j) - delay;
        const double whole = std::floor(at);
        const double phase = (at - whole) * kPhases;
        const int p = std::min(static_cast<int>(phase), kPhases - 1);
        const double blend = phase - p;
        const double* a = table + static_cast<std::size_t>(p) * kTaps;
        const double* b = a + kTaps;
        const std::int64_t first = static_cast<std::int64_t>(whole) - (kHalf - 1);
        double sum = 0.0;
        for (int k = 0; k < kTaps; ++k) {
            const double tap = a[k] + blend * (b[k] - a[k]);
            sum += tap * ring[static_cast<std::size_t>((first + k) & mask_)];
        }
        out[j] = sum;
    }
    lastMetres_ = last;
    written_ += n;
}

AirFilter::AirFilter(double rate) : rate_(rate) {}

namespace {

// The terms of ISO 9613-1's attenuation of air that do not depend on the
// frequency, at T = 20 degrees C, 50 % relative humidity and 101.325 kPa
// (the reference pressure, so every pa/pr factor is 1).
struct AirTerms {
    double classical;  // 1.84e-11 (T/T0)^(1/2)
    double oxygen;     // 0.01275 e^(-2239.1/T) (T/T0)^(-5/2)
    double nitrogen;   // 0.1068 e^(-3352/T) (T/T0)^(-5/2)
    double frO;        // the relaxation frequencies of oxygen and nitrogen, Hz
    double frN;
};

const AirTerms& airTerms() {
    static const AirTerms terms = [] {
        constexpr double T = 293.15;
        constexpr double T0 = 293.15;
        constexpr double T01 = 273.16;
        constexpr double hr = 50.0;
        const double psat = std::pow(10.0, -6.8346 * std::pow(T01 / T, 1.261) + 4.6151);
        const double h = hr * psat;  // molar concentration of water vapour, %
        const double t = T / T0;
        AirTerms a;
        a.classical = 1.84e-11 * std::sqrt(t);
        a.oxygen = 0.01275 * std::exp(-2239.1 / T) * std::pow(t, -2.5);
        a.nitrogen = 0.1068 * std::exp(-3352.0 / T) * std::pow(t, -2.5);
        a.frO = 24.0 + 4.04e4 * h * (0.02 + h) / (0.391 + h);
        a.frN = std::pow(t, -0.5) *
                (9.0 + 280.0 * h * std::exp(-4.170 * (std::pow(t, -1.0 / 3.0) - 1.0)));
        return a;
    }();
    return terms;
}

}  // namespace

double AirFilter::absorption(double hz) {
    const AirTerms& a = airTerms();
    const double f2 = hz * hz;
    return 8.686 * f2 *
           (a.classical + a.oxygen / (a.frO + f2 / a.frO) + a.nitrogen / (a.frN + f2 / a.frN));
}

double AirFilter::cutoff(double metres) const {
    if (!(metres > 0.0))
        return INFINITY;
    // The absorption grows with the frequency: halve the interval on a
    // logarithmic scale until it is a hundredth of a percent wide.
    const double target = 3.0 / metres;
    double lo = 1.0;
    double hi = 1e6;
    if (absorption(hi) < target)
        return INFINITY;
    for (int k = 0; k < 60 && hi / lo > 1.0001; ++k) {
        const double mid = std::sqrt(lo * hi);
        (absorption(mid) < target ? lo : hi) = mid;
    }
    return std::sqrt(lo * hi);
}

void AirFilter::process(double* samples, const double* metres, int n) {
    if (n <= 0)
        return;
    const double fc = cutoff(metres[n / 2]);
    if (!(fc < 0.45 * rate_)) {
        x1_ = y1_ = samples[n - 1];
        return;
    }
    const double k = std::tan(kPi * fc / rate_);
    const double b = k / (1.0 + k);
    const double a = (k - 1.0) / (k + 1.0);
    double x1 = x1_;
    double y1 = y1_;
    for (int j = 0; j < n; ++j) {
        const double x = samples[j];
        const double y = b * (x + x1) - a * y1;
        x1 = x;
        y1 = y;
        samples[j] = y;
    }
    x1_ = x1;
    y1_ = y1;
}

}  // namespace tarvio
