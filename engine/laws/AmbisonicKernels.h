// SPDX-License-Identifier: MIT
// The block kernels of the Ambisonic encoder: the channels of a block of
// positions, each frame's direction and harmonics worked out with the very
// operations of the per-frame law (laws/Ambisonic.cpp), in its order, so
// that every variant gives its bytes: for the sound at (u, v) = (2x - 1,
// 2y - 1), length = sqrt(u^2 + v^2), (cos, sin) = (v, -u) / length ((1, 0)
// where length is 0), r = max(|u|, |v|); cos m theta and sin m theta by the
// turn recurrence; channel k is weight_k times its turn, times r for degree
// 1 and up, times the mono sample. The files are compiled without
// contraction, so no multiply and add are fused in one variant and not in
// another.
#ifndef TARVIO_ENGINE_LAWS_AMBISONICKERNELS_H
#define TARVIO_ENGINE_LAWS_AMBISONICKERNELS_H

#include <vector>

#include "common/Cpu.h"

namespace tarvio {
namespace laws {

// The channels of an encoder as the kernels read them, in ACN order.
struct AmbisonicChannels {
    const double* weight;  // N(n, |m|) P(n, |m|)(0)
    // Which turn channel k takes: |m| for cos |m| theta, order + 1 + |m|
    // for sin |m| theta.
    const int* turn;
    const unsigned char* scaled;  // degree 1 and up: times r
    int count;                    // channels of an output frame
    int order;                    // 1 to kMaxAmbisonicOrder
};

// The channels of an encoder, owned, as the law works them out.
struct AmbisonicTable {
    std::vector<double> weight;
    std::vector<int> turn;
    std::vector<unsigned char> scaled;
    int order = 0;
    AmbisonicChannels view() const {
        return {weight.data(), turn.data(), scaled.data(), static_cast<int>(weight.size()),
                order};
    }
};
// The channels of the encoder of `order`, kMinAmbisonicOrder to
// kMaxAmbisonicOrder. (In Ambisonic.cpp, with the law.)
AmbisonicTable ambisonicTable(int order);

// Spreads `frames` frames at positions (x[j], y[j]) with mono samples
// mono[j] into `out` (frame j at out + j * count).
using AmbisonicSpreadFn = void (*)(const AmbisonicChannels& channels, const double* x,
                                   const double* y, const double* mono, int frames, double* out);

// The variants, portable first (see common/Cpu.h).
cpu::VariantRows<AmbisonicSpreadFn> ambisonicSpreadVariants();
// The last row this processor runs, chosen once.
AmbisonicSpreadFn defaultAmbisonicSpread();

void ambisonicSpread_portable(const AmbisonicChannels& channels, const double* x, const double* y,
                              const double* mono, int frames, double* out);
#if defined(TARVIO_HAVE_AVX2)
// Four frames per vector.
void ambisonicSpread_avx2(const AmbisonicChannels& channels, const double* x, const double* y,
                          const double* mono, int frames, double* out);
#endif
#if defined(TARVIO_HAVE_AVX512)
// Eight frames per vector.
void ambisonicSpread_avx512(const AmbisonicChannels& channels, const double* x, const double* y,
                            const double* mono, int frames, double* out);
#endif

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_ENGINE_LAWS_AMBISONICKERNELS_H
