// SPDX-License-Identifier: MIT
// What the headphone convolutions share of KissFFT: real FFTs owned by
// unique_ptr with the bytes of their tables counted, the partition size for
// a block size, and the complex multiply-add of a spectrum by a filter.
#ifndef TARVIO_RENDER_REALFFT_H
#define TARVIO_RENDER_REALFFT_H

#include <kiss_fft.h>
#include <kiss_fftr.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

namespace tarvio::render::fft {

struct FftrFree {
    void operator()(kiss_fftr_state* cfg) const { kiss_fftr_free(cfg); }
};
using Fftr = std::unique_ptr<kiss_fftr_state, FftrFree>;

// A real FFT of n points, forward or inverse (unscaled both ways); adds the
// bytes its tables take to `bytes`.
inline Fftr makeFftr(int n, bool inverse, std::size_t& bytes) {
    std::size_t needed = 0;
    kiss_fftr_alloc(n, inverse ? 1 : 0, nullptr, &needed);
    bytes += needed;
    kiss_fftr_cfg cfg = kiss_fftr_alloc(n, inverse ? 1 : 0, nullptr, nullptr);
    if (cfg == nullptr) {
        throw std::bad_alloc();
    }
    return Fftr(cfg);
}

// Smaller partitions only add FFT calls per frame.
inline constexpr int kSmallestPartition = 32;

// The partition for blocks of up to maxBlockFrames: the block size, moved up
// to a size KissFFT splits into factors 2, 3 and 5.
inline int partitionFor(int maxBlockFrames) {
    return kiss_fft_next_fast_size(std::max(maxBlockFrames, kSmallestPartition));
}

// acc[b] += x[b] * h[b] for `bins` complex values.
inline void multiplyAdd(const kiss_fft_cpx* x, const kiss_fft_cpx* h, kiss_fft_cpx* acc, int bins) {
    for (int b = 0; b < bins; ++b) {
        acc[b].r += x[b].r * h[b].r - x[b].i * h[b].i;
        acc[b].i += x[b].r * h[b].i + x[b].i * h[b].r;
    }
}

}  // namespace tarvio::render::fft

#endif  // TARVIO_RENDER_REALFFT_H
