// SPDX-License-Identifier: MIT
// The SSE2 spatializer kernel: rotation 1 in the low lane and rotation 2 in
// the high lane of each vector. Every lane does exactly the operations of
// the portable kernel's stages, in the same order, so the results are the
// same to the last bit; the two rotations just share their instructions, and
// the coordinates go from registers straight into the spreading.
#include "engine/SpatialKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_SSE2)

namespace tarvio {

namespace {

// Brings each lane of a phase pair that left [0, kTurn) back, as wrapPhase
// does for one phase.
__m128d wrapLanes(__m128d phase) {
    alignas(16) double lanes[2];
    _mm_store_pd(lanes, phase);
    for (double& p : lanes) {
        if (!(p >= 0.0 && p < kTurn)) {
            p = wrapPhase(p);
        }
    }
    return _mm_load_pd(lanes);
}

// The constants of the phase steps of one block.
struct PhaseStep {
    __m128d inc;  // (increment of rotation 1, of rotation 2)
    __m128d zero;
    __m128d turn;
};

// True when both lanes lie in [0, kTurn).
inline bool bothInside(__m128d phase, const PhaseStep& st) {
    const __m128d inside = _mm_and_pd(_mm_cmpge_pd(phase, st.zero), _mm_cmplt_pd(phase, st.turn));
    return _mm_movemask_pd(inside) == 3;
}

// One frame of both rotations: advance, then wrap a lane that left the turn.
inline __m128d stepPhases(__m128d phase, const PhaseStep& st) {
    phase = _mm_add_pd(phase, st.inc);
    if (!bothInside(phase, st)) {
        phase = wrapLanes(phase);
    }
    return phase;
}

// The phases of the next kBatch frames, from `phase` on; returns the last.
// The wrap test is made once per batch: with a constant increment each lane
// moves in one direction only (rounding is monotonic), so when the last
// phase of a batch lies inside the turn, every phase before it did too, and
// no wrap was due. Otherwise the batch is done again, step by step.
constexpr int kBatch = 8;
inline __m128d stepBatch(__m128d phase, const PhaseStep& st, __m128d* phases) {
    __m128d p = phase;
    for (int m = 0; m < kBatch; ++m) {
        p = _mm_add_pd(p, st.inc);
        phases[m] = p;
    }
    if (!bothInside(p, st)) {
        p = phase;
        for (int m = 0; m < kBatch; ++m) {
            p = stepPhases(p, st);
            phases[m] = p;
        }
    }
    return p;
}

// Positions: interpolates both coordinates (x, y) of one frame from its
// phase pair: k = the integer part, frac = phase - k; a = path[k],
// b = path[next(k)], read side by side from the pair tables;
// value = a + frac * (b - a).
inline __m128d positionsAt(__m128d phase, const double* pairX, const double* pairY) {
    const __m128i k = _mm_cvttpd_epi32(phase);
    const __m128d frac = _mm_sub_pd(phase, _mm_cvtepi32_pd(k));
    const __m128i at = _mm_add_epi32(k, k);  // index of the pair, 0 to 2 * TABLE_SIZE
    const unsigned atX = static_cast<unsigned>(_mm_cvtsi128_si32(at));
    const unsigned atY = static_cast<unsigned>(_mm_cvtsi128_si32(_mm_shuffle_epi32(at, 1)));
    const __m128d px = _mm_loadu_pd(pairX + atX);
    const __m128d py = _mm_loadu_pd(pairY + atY);
    const __m128d a = _mm_unpacklo_pd(px, py);
    const __m128d b = _mm_unpackhi_pd(px, py);
    return _mm_add_pd(a, _mm_mul_pd(frac, _mm_sub_pd(b, a)));
}

// Bilinear gains and spreading of the mono sample s at position xy over the
// four corners of output frame o: (x, 1 - x) times (y, y) and times
// (1 - y, 1 - y), then times s, are the corners (1,1), (0,1) and (1,0), (0,0).
// In another order (see KernelBuffers::order) the frame is made in the
// engine's order and its places filled from it.
template <bool Ordered>
inline void spreadBilinear(__m128d xy, double s, double* o, const int* order) {
    const __m128d rest = _mm_sub_pd(_mm_set1_pd(1.0), xy);  // (1 - x, 1 - y)
    const __m128d xs = _mm_unpacklo_pd(xy, rest);           // (x, 1 - x)
    const __m128d yy = _mm_unpackhi_pd(xy, xy);             // (y, y)
    const __m128d restY = _mm_unpackhi_pd(rest, rest);      // (1 - y, 1 - y)
    const __m128d sv = _mm_set1_pd(s);
    const __m128d front = _mm_mul_pd(_mm_mul_pd(xs, yy), sv);
    const __m128d back = _mm_mul_pd(_mm_mul_pd(xs, restY), sv);
    if (!Ordered) {
        _mm_storeu_pd(o, front);
        _mm_storeu_pd(o + 2, back);
        return;
    }
    double frame[kOutChannels];
    _mm_storeu_pd(frame, front);
    _mm_storeu_pd(frame + 2, back);
    for (int k = 0; k < kOutChannels; ++k)
        o[k] = frame[order[k]];
}

// The frames of a block, in `order` when Ordered; returns the phases after
// the last frame written.
template <bool Ordered>
__m128d spreadBlock(__m128d phase, const PhaseStep& st, const double* pairX, const double* pairY,
                    const double* mono, int frames, const int* order, double* out) {
    int i = 0;
    for (; i + kBatch <= frames; i += kBatch) {
        __m128d phases[kBatch];
        phase = stepBatch(phase, st, phases);
        for (int m = 0; m < kBatch; ++m) {
            const __m128d xy = positionsAt(phases[m], pairX, pairY);
            spreadBilinear<Ordered>(xy, mono[i + m], out + kOutChannels * (i + m), order);
        }
    }
    for (; i < frames; ++i) {
        phase = stepPhases(phase, st);
        spreadBilinear<Ordered>(positionsAt(phase, pairX, pairY), mono[i],
                                out + kOutChannels * i, order);
    }
    return phase;
}

}  // namespace

void spatialize_sse2(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                     const double* mono, int frames, double* out) {
    const double* pairX = buffers.pairX;
    const double* pairY = buffers.pairY;
    const PhaseStep st{_mm_set_pd(rot2.frequency * rot2.scale, rot1.frequency * rot1.scale),
                       _mm_setzero_pd(), _mm_set1_pd(kTurn)};
    __m128d phase = _mm_set_pd(rot2.phase, rot1.phase);
    phase = buffers.order
                ? spreadBlock<true>(phase, st, pairX, pairY, mono, frames, buffers.order, out)
                : spreadBlock<false>(phase, st, pairX, pairY, mono, frames, nullptr, out);
    for (int i = frames < 0 ? 0 : frames; i < BLOCK_SIZE; ++i) {
        phase = stepPhases(phase, st);
    }
    alignas(16) double lanes[2];
    _mm_store_pd(lanes, phase);
    rot1.phase = lanes[0];
    rot2.phase = lanes[1];
}

}  // namespace tarvio

#endif  // TARVIO_HAVE_SSE2
