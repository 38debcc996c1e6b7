// SPDX-License-Identifier: MIT
// Writes the demo input of tarvio: eight seconds of mono 16-bit sound at
// 22050 Hz, a steady pulse of short noise bursts and pitched pings. Short
// percussive sounds are the easiest to place between loudspeakers, so the
// movement around the square is plain to hear.
//
//   make_demo [file.wav]      (default: demo.wav)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <iostream>
#include <vector>

#include "wav/WavFile.h"

namespace {

constexpr int kRate = 22050;
constexpr int kSeconds = 8;
constexpr int kPulsesPerSecond = 6;
constexpr double kPi = 3.14159265358979323846;

// A small deterministic noise source (xorshift), so that every build writes
// the same file.
class Noise {
  public:
    double next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<double>(state_) / 2147483648.0 - 1.0;
    }

  private:
    std::uint32_t state_ = 0x2545F491u;
};

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "demo.wav";
    const int total = kRate * kSeconds;
    const int pulse = kRate / kPulsesPerSecond;
    // Pings climb a pentatonic scale, one note per ping, so successive
    // positions can be told apart by pitch as well.
    const double scale[] = {392.0, 440.0, 523.25, 587.33, 659.25, 784.0};

    std::vector<double> samples(total);
    Noise noise;
    for (int i = 0; i < total; ++i) {
        const int n = i / pulse;                     // pulse number
        const double t = double(i % pulse) / kRate;  // seconds into the pulse
        double v;
        if (n % 2 == 0) {
            // Noise burst: sharp attack, 30 ms decay.
            v = 0.6 * noise.next() * std::exp(-t / 0.03);
        } else {
            // Ping: a sine with a 60 ms decay.
            const double f = scale[(n / 2) % 6];
            v = 0.7 * std::sin(2 * kPi * f * t) * std::exp(-t / 0.06);
        }
        // A 5 ms fade at both ends of the file avoids clicks.
        const double edge = std::min(i, total - 1 - i) / (0.005 * kRate);
        samples[i] = v * std::min(1.0, edge);
    }

    try {
        WavOutFile out(path, kRate, 16, 1);
        out.write(samples.data(), total);
        out.close();
    } catch (const std::exception& e) {
        std::cerr << "make_demo: " << e.what() << "\n";
        return 1;
    }
    std::cout << "wrote " << path << ": " << kSeconds << " s, mono, 16 bit, " << kRate << " Hz\n";
    return 0;
}
