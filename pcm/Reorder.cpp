// SPDX-License-Identifier: MIT
// Frames of four channels gathered into another channel order, as an
// output whose file order differs from the engine's needs them (the square
// of loudspeakers in a WAV file: engine channels 2, 1, 4, 3). The AVX2
// variant is in pcm/ReorderAvx2.cpp.
#include "common/Cpu.h"
#include "pcm/Kernels.h"
#include "pcm/Pcm.h"

namespace tarvio::pcm {

namespace {

constexpr cpu::Variant<Reorder4> kReorder4[] = {
    TARVIO_VARIANT(reorder4, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(reorder4, avx2),
#endif
};
static_assert(cpu::ordered(kReorder4), "portable first, then ever wider sets");

}  // namespace

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

Variants<Reorder4> reorder4Variants() {
    return cpu::rowsOf(kReorder4);
}

void reorder4(const double* in, std::size_t frames, const int order[4], double* out) {
    static const Reorder4 fn = cpu::pick(kReorder4).fn;
    fn(in, frames, order, out);
}

}  // namespace tarvio::pcm
