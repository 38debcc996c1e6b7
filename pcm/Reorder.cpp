// SPDX-License-Identifier: MIT
// Frames of four channels gathered into another channel order, as an
// output whose file order differs from the engine's needs them (the square
// of loudspeakers in a WAV file: engine channels 2, 1, 4, 3).

#include "common/Cpu.h"
#include "pcm/Pcm.h"

#if defined(TARVIO_HAVE_AVX2)
#include <immintrin.h>
#endif

namespace tarvio::pcm {

namespace {

// The reference: out[4f + k] = in[4f + order[k]].
void reorder4_portable(const double* in, std::size_t frames, const int order[4], double* out) {
    const std::size_t a = static_cast<std::size_t>(order[0]), b = static_cast<std::size_t>(order[1]),
                      c = static_cast<std::size_t>(order[2]), d = static_cast<std::size_t>(order[3]);
    for (std::size_t f = 0; f < 4 * frames; f += 4) {
        out[f] = in[f + a];
        out[f + 1] = in[f + b];
        out[f + 2] = in[f + c];
        out[f + 3] = in[f + d];
    }
}

#if defined(TARVIO_HAVE_AVX2)
// A frame is one vector of four doubles; the order becomes an index of the
// eight 32-bit halves of those doubles, so one permute moves a frame
// whatever the order (the immediate of a double permute would fix it when
// compiling).
__attribute__((target("avx2"))) void reorder4_avx2(const double* in, std::size_t frames,
                                                   const int order[4], double* out) {
    const __m256i halves = _mm256_setr_epi32(2 * order[0], 2 * order[0] + 1, 2 * order[1],
                                             2 * order[1] + 1, 2 * order[2], 2 * order[2] + 1,
                                             2 * order[3], 2 * order[3] + 1);
    for (std::size_t f = 0; f < frames; ++f) {
        const __m256 frame = _mm256_castpd_ps(_mm256_loadu_pd(in + 4 * f));
        _mm256_storeu_pd(out + 4 * f,
                         _mm256_castps_pd(_mm256_permutevar8x32_ps(frame, halves)));
    }
}
#endif

const cpu::Variant<Reorder4> kReorder4[] = {
    {"portable", cpu::Isa::Portable, &reorder4_portable},
#if defined(TARVIO_HAVE_AVX2)
    {"avx2", cpu::Isa::Avx2, &reorder4_avx2},
#endif
};

}  // namespace

Variants<Reorder4> reorder4Variants() {
    return cpu::rowsOf(kReorder4);
}

void reorder4(const double* in, std::size_t frames, const int order[4], double* out) {
    static const Reorder4 fn = cpu::pick(kReorder4).fn;
    fn(in, frames, order, out);
}

}  // namespace tarvio::pcm
