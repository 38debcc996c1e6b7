// SPDX-License-Identifier: MIT
// The portable spatializer kernel, the pair tables every kernel reads, and
// the one place that chooses among the kernel variants.
#include "engine/SpatialKernels.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tarvio {

namespace {

// The neighbour of path index k in the interpolation: index TABLE_SIZE - 1 is
// followed by index 0, and the closing point TABLE_SIZE by index 1.
inline int nextIndex(int k) {
    return (k + 1) & (TABLE_SIZE - 1);
}

// The weights of one axis: `one` for the two corners at coordinate 1 on it,
// `zero` for the two at 0.
struct AxisGains {
    double one;
    double zero;
};

inline AxisGains bilinearGains(double p) {
    return {p, 1.0 - p};
}

// Spreads the mono sample s over the four corners of output frame o:
// channels 1 to 4 sit at (1,1), (0,1), (1,0) and (0,0).
inline void spreadFrame(AxisGains gx, AxisGains gy, double s, double* o) {
    o[0] = gx.one * gy.one * s;
    o[1] = gx.zero * gy.one * s;
    o[2] = gx.one * gy.zero * s;
    o[3] = gx.zero * gy.zero * s;
}

// Each table from the portable reference up to the widest variant, as
// cpu::pick() wants it.
constexpr cpu::Variant<SpatializeFn> kSpatialize[] = {
    TARVIO_VARIANT(spatialize, portable),
#if defined(TARVIO_HAVE_SSE2)
    TARVIO_VARIANT(spatialize, sse2),
#endif
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(spatialize, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(spatialize, avx512),
#endif
};
static_assert(cpu::ordered(kSpatialize), "portable first, then ever wider sets");

// SSE2 has no row: the compiler vectorises the portable stereo loop.
constexpr cpu::Variant<MixDownFn> kMixDown[] = {
    TARVIO_VARIANT(mixDown, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(mixDown, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(mixDown, avx512),
#endif
};
static_assert(cpu::ordered(kMixDown), "portable first, then ever wider sets");

// SSE2 has no row: the phase chain is serial, the table reads scalar.
constexpr cpu::Variant<PositionsFn> kPositions[] = {
    TARVIO_VARIANT(positions, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(positions, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(positions, avx512),
#endif
};
static_assert(cpu::ordered(kPositions), "portable first, then ever wider sets");

}  // namespace

// Stereo, the usual case, has a loop of its own that the compiler can
// vectorise; the sums are the same.
void mixDown_portable(const double* in, int channels, int frames, double gain, double* mono) {
    if (channels == 2) {
        for (int j = 0; j < frames; ++j) {
            mono[j] = ((0.0 + in[2 * j]) + in[2 * j + 1]) * gain;
        }
        return;
    }
    for (int j = 0; j < frames; ++j) {
        const double* frame = in + static_cast<std::size_t>(j) * channels;
        double sum = 0.0;
        for (int ch = 0; ch < channels; ++ch) {
            sum += frame[ch];
        }
        mono[j] = sum * gain;
    }
}

bool mixDownS16_portable(const unsigned char* in, int channels, int frames, double gain,
                         double* mono) {
    for (int j = 0; j < frames; ++j) {
        const unsigned char* frame = in + 2 * static_cast<std::size_t>(j) * channels;
        double sum = 0.0;
        for (int ch = 0; ch < channels; ++ch) {
            const int v = static_cast<std::int16_t>(
                static_cast<std::uint16_t>(frame[2 * ch] | (frame[2 * ch + 1] << 8)));
            sum += static_cast<double>(v) / 32768.0;
        }
        mono[j] = sum * gain;
    }
    return true;
}

void buildPairTable(const double* path, double* pairs) {
    for (int k = 0; k <= TABLE_SIZE; ++k) {
        pairs[2 * k] = path[k];
        pairs[2 * k + 1] = path[nextIndex(k)];
    }
}

// Advance, wrap, interpolate between neighbouring path points. The closing
// point at index TABLE_SIZE (equal to point 0) is read only when the wrap
// rounded up to a full turn.
void rotationPositions_portable(Rotation& rot, const double* pairs, double* pos) {
    const double inc = rot.frequency * rot.scale;
    double phase = rot.phase;
    for (int i = 0; i < BLOCK_SIZE; ++i) {
        phase += inc;
        if (!(phase >= 0.0 && phase < kTurn)) {
            phase = wrapPhase(phase);
        }
        const int k = static_cast<int>(phase);
        const double frac = phase - k;
        const double a = pairs[2 * k];
        pos[i] = a + frac * (pairs[2 * k + 1] - a);
    }
    rot.phase = phase;
}

void spreadBilinear_portable(const double* x, const double* y, const double* mono, int frames,
                             double* out, const int* order) {
    for (int j = 0; j < frames; ++j) {
        double* o = out + kOutChannels * j;
        if (!order) {
            spreadFrame(bilinearGains(x[j]), bilinearGains(y[j]), mono[j], o);
            continue;
        }
        double frame[kOutChannels];
        spreadFrame(bilinearGains(x[j]), bilinearGains(y[j]), mono[j], frame);
        for (int k = 0; k < kOutChannels; ++k)
            o[k] = frame[order[k]];
    }
}

void positions_portable(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers) {
    rotationPositions_portable(rot1, buffers.pairX, buffers.blockX);
    rotationPositions_portable(rot2, buffers.pairY, buffers.blockY);
}

void spatialize_portable(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                         const double* mono, int frames, double* out) {
    positions_portable(rot1, rot2, buffers);
    spreadBilinear_portable(buffers.blockX, buffers.blockY, mono, frames, out, buffers.order);
}

VariantRows<SpatializeFn> spatializeVariants() {
    return cpu::rowsOf(kSpatialize);
}

VariantRows<MixDownFn> mixDownVariants() {
    return cpu::rowsOf(kMixDown);
}

VariantRows<PositionsFn> positionsVariants() {
    return cpu::rowsOf(kPositions);
}

const SpatialKernel& defaultSpatialKernel() {
    static const SpatialKernel chosen = [] {
        SpatialKernel k{cpu::pick(kSpatialize).fn, cpu::pick(kMixDown).fn,
                        cpu::pick(kPositions).fn};
#if defined(TARVIO_HAVE_AVX512)
        if (cpu::supported(cpu::Isa::Avx512Vbmi)) {
            k.runS16 = spatializeS16_avx512vbmi;
            k.runS16InRange = spatializeS16InRange_avx512vbmi;
            k.mixDownS16 = mixDownS16_avx512;
            k.runFromS16InRange = spatializeFromS16InRange_avx512vbmi;
        }
#endif
        return k;
    }();
    return chosen;
}

}  // namespace tarvio
