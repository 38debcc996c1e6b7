// SPDX-License-Identifier: MIT
// The portable block kernel of the Ambisonic encoder, and the table of its
// variants (AmbisonicKernelsAvx2.cpp, AmbisonicKernelsAvx512.cpp).
#include "engine/laws/AmbisonicKernels.h"

#include <cstddef>

#include "engine/SpeakerLayout.h"
#include "engine/laws/Laws.h"

namespace tarvio {
namespace laws {

namespace {

constexpr cpu::Variant<AmbisonicSpreadFn> kAmbisonicSpread[] = {
    TARVIO_VARIANT(ambisonicSpread, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(ambisonicSpread, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(ambisonicSpread, avx512),
#endif
};
static_assert(cpu::ordered(kAmbisonicSpread), "portable first, then ever wider sets");

}  // namespace

void ambisonicSpread_portable(const AmbisonicChannels& channels, const double* x, const double* y,
                              const double* mono, int frames, double* out) {
    const std::size_t n = static_cast<std::size_t>(channels.count);
    // cos m theta (turns[m]) and sin m theta (turns[order + 1 + m]).
    double turns[2 * (kMaxAmbisonicOrder + 1)];
    const int sines = channels.order + 1;
    for (int j = 0; j < frames; ++j) {
        const Direction d = directionOf(x[j], y[j]);
        turns[0] = 1.0;
        turns[sines] = 0.0;
        for (int m = 1; m <= channels.order; ++m) {
            turns[m] = turns[m - 1] * d.cos - turns[sines + m - 1] * d.sin;
            turns[sines + m] = turns[sines + m - 1] * d.cos + turns[m - 1] * d.sin;
        }
        double* o = out + static_cast<std::size_t>(j) * n;
        for (std::size_t k = 0; k < n; ++k) {
            const double g = channels.weight[k] * turns[channels.turn[k]];
            o[k] = (channels.scaled[k] ? g * d.r : g) * mono[j];
        }
    }
}

cpu::VariantRows<AmbisonicSpreadFn> ambisonicSpreadVariants() {
    return cpu::rowsOf(kAmbisonicSpread);
}

AmbisonicSpreadFn defaultAmbisonicSpread() {
    static const AmbisonicSpreadFn chosen = cpu::pick(kAmbisonicSpread).fn;
    return chosen;
}

}  // namespace laws
}  // namespace tarvio
