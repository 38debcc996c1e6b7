// SPDX-License-Identifier: MIT
// The peak magnitude of a block of samples: running maxima side by side, so
// that no chain of comparisons waits on itself (one chain would take longer
// than the conversion that follows it). Every variant also notes whether a
// sample was NaN, which a maximum alone passes over, and then reports +inf.
// The variants are in pcm/PeakSse2.cpp and pcm/PeakAvx512.cpp.
#include <cmath>

#include "pcm/Kernels.h"
#include "pcm/Pcm.h"

namespace tarvio::pcm {

namespace {

constexpr cpu::Variant<Peak> kPeak[] = {
    TARVIO_VARIANT(peak, portable),
#if defined(TARVIO_HAVE_SSE2)
    TARVIO_VARIANT(peak, sse2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(peak, avx512),
#endif
};
static_assert(cpu::ordered(kPeak), "portable first, then ever wider sets");

}  // namespace

double peak_portable(const double* x, std::size_t n, double peak) {
    double m[4] = {peak, peak, peak, peak};
    bool nan = peak != peak;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double a = std::fabs(x[i + k]);
            m[k] = a > m[k] ? a : m[k];
            nan |= a != a;
        }
    }
    for (; i < n; ++i) {
        const double a = std::fabs(x[i]);
        m[0] = a > m[0] ? a : m[0];
        nan |= a != a;
    }
    const double a = m[0] > m[1] ? m[0] : m[1];
    const double b = m[2] > m[3] ? m[2] : m[3];
    return reportedPeak(a > b ? a : b, nan);
}

Variants<Peak> peakVariants() {
    return cpu::rowsOf(kPeak);
}

double peak(const double* x, std::size_t n, double peak) {
    static const Peak fn = cpu::pick(kPeak).fn;
    return fn(x, n, peak);
}

}  // namespace tarvio::pcm
