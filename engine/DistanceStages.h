// SPDX-License-Identifier: MIT
// What distance does to a source's sound besides its level: the delay of
// the way to the listener, whose change is the Doppler shift, and the
// absorption of the air, which takes the high frequencies first.
#ifndef TARVIO_ENGINE_DISTANCESTAGES_H
#define TARVIO_ENGINE_DISTANCESTAGES_H

#include <cstdint>
#include <memory>

namespace tarvio {

constexpr double kSpeedOfSound = 343.0;  // metres per second, in air at 20 degrees C

// A delay line read at a varying delay: the delay of frame j is
// tau = D / (c + D'), D the source's distance in metres at that frame and D'
// its rate of change, which for a source moving at a constant speed is
// exactly the time its sound took, so that a source receding at v m/s
// sounds at f c / (c + v). Reading between samples is band-limited: a
// windowed sinc of kTaps taps from a polyphase table made once, the two
// nearest phases blended linearly. The delay never goes below kTaps / 2
// frames (the samples the kernel needs after its centre): a source nearer
// than that to the middle keeps that much delay (about 0.4 ms at 44.1 kHz).
class DopplerDelay {
  public:
    static constexpr int kTaps = 32;
    static constexpr int kPhases = 512;
    // Sized once for distances up to `maxMetres` at `rate` frames per
    // second, and blocks of up to `blockFrames`.
    DopplerDelay(double maxMetres, double rate, int blockFrames);

    // Writes the n samples of `in` and reads the delayed signal into `out`
    // (it may be `in`), for the distances metres[0..n). Allocates nothing.
    void process(const double* in, const double* metres, int n, double* out);
    // The frames the longest delay adds after the last input.
    int tailFrames() const { return tail_; }
    // The same, before a delay line is made.
    static int tailFramesFor(double maxMetres, double rate);

  private:
    double rate_;
    double maxDelay_;  // frames
    int tail_;
    std::int64_t written_ = 0;
    std::int64_t mask_;
    std::unique_ptr<double[]> ring_;
    double lastMetres_ = -1.0;  // the distance of the frame before, -1 before the first
};

// Absorption by the air over a way of D metres, as a first-order low-pass
// (the bilinear transform of an RC low-pass, prewarped so that its -3 dB
// point falls exactly on fc) whose fc is the frequency that ISO 9613-1's
// absorption of air at 20 degrees C, 50 % relative humidity and 101.325 kPa
// weakens by 3 dB over D metres. fc is set once per block, from the
// block's middle frame; at D = 0, or when fc lies above 0.45 times the
// rate, the signal passes untouched.
class AirFilter {
  public:
    explicit AirFilter(double rate);
    void process(double* samples, const double* metres, int n);
    // The -3 dB frequency for a way of `metres` metres (infinite for 0).
    double cutoff(double metres) const;
    // ISO 9613-1's attenuation coefficient of air in dB per metre at `hz`.
    static double absorption(double hz);

  private:
    double rate_;
    double x1_ = 0.0;  // the previous input and output sample
    double y1_ = 0.0;
};

}  // namespace tarvio

#endif  // TARVIO_ENGINE_DISTANCESTAGES_H
