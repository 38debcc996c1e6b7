// The spatializer's vector loop against a plain per-sample rendering of the
// same rules, bit for bit, over many blocks: sweeps, wraps in both
// directions, increments of a whole turn and more, non-finite frequencies,
// phases that round up to a full turn, short and empty blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "app/Tarvio.h"

namespace {

using tarvio::BLOCK_SIZE;
using tarvio::TABLE_SIZE;

// One rotation, advanced and read exactly as the rules say.
struct PlainRotation {
    double scale, phase, frequency, sweep, step;

    double next(const std::vector<double>& table) {
        phase += frequency * scale;
        if (!(phase >= 0.0 && phase < TABLE_SIZE)) {
            if (!std::isfinite(phase)) {
                phase = 0.0;
            } else {
                phase = std::fmod(phase, static_cast<double>(TABLE_SIZE));
                if (phase < 0.0)
                    phase += TABLE_SIZE;
                else if (phase == 0.0)
                    phase = 0.0;
            }
        }
        const int k = static_cast<int>(phase);
        const double frac = phase - k;
        return table[k] + frac * (table[(k + 1) % TABLE_SIZE] - table[k]);
    }
};

struct Case {
    double f1i, f1e, f2i, f2e, a1, a2, norm;
    int channels;
    double rate;
};

class PlainSpatializer {
  public:
    PlainSpatializer(const Case& c, int frames)
        : channels(c.channels),
          gain((1.0 / c.channels) * c.norm),
          x(TABLE_SIZE + 1),
          y(TABLE_SIZE + 1) {
        drawPath(SQUARE, x.data(), y.data(), TABLE_SIZE);
        const double scale = TABLE_SIZE / (c.rate > 2.0 ? c.rate : 44100.0);
        const int blocks = frames / BLOCK_SIZE;
        r1 = make(scale, c.a1, c.f1i, c.f1e, blocks);
        r2 = make(scale, c.a2, c.f2i, c.f2e, blocks);
    }

    // Processes n samples of `in` (channels * BLOCK_SIZE long) into `out`.
    int process(std::vector<double>& in, int n, std::vector<double>& out) {
        const int frames = static_cast<int>(std::ceil(static_cast<double>(n) / channels));
        for (int i = n; i < frames * channels; ++i)
            in[i] = 0.0;
        std::vector<double> bx(BLOCK_SIZE), by(BLOCK_SIZE);
        for (int i = 0; i < BLOCK_SIZE; ++i)
            bx[i] = r1.next(x);
        for (int i = 0; i < BLOCK_SIZE; ++i)
            by[i] = r2.next(y);
        for (int j = 0; j < frames; ++j) {
            double sum = 0.0;
            for (int ch = 0; ch < channels; ++ch)
                sum += in[j * channels + ch];
            const double s = sum * gain;
            out[4 * j] = bx[j] * by[j] * s;
            out[4 * j + 1] = (1.0 - bx[j]) * by[j] * s;
            out[4 * j + 2] = bx[j] * (1.0 - by[j]) * s;
            out[4 * j + 3] = (1.0 - bx[j]) * (1.0 - by[j]) * s;
        }
        for (PlainRotation* r : {&r1, &r2}) {
            r->frequency = r->sweep;
            r->sweep += r->step;
        }
        return frames;
    }

    PlainRotation r1{}, r2{};

  private:
    static PlainRotation make(double scale, double angle, double fi, double fe, int blocks) {
        const double u = angle / 360.0;
        const double phase = (u >= 0.0 && u <= 1.0) ? u * TABLE_SIZE : 0.0;
        return PlainRotation{scale, phase, fi, fi, (fe - fi) / blocks};
    }

    int channels;
    double gain;
    std::vector<double> x, y;
};

TEST(SpatializerPaths, VectorLoopEqualsThePlainRulesBitForBit) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {0.25, 3, 0.5, 1.75, 0, 90, 1, 2, 44100},          // the usual sweeps
        {-5, 7000, 3, -2000, 45, 359, 1.5, 2, 44100},      // fast, both directions
        {1, 1, 1, 1, 0, 0, 1, 1, 4096},                    // one table unit per sample
        {100000, -3e7, 1e-9, 2, 360, -90, 0.7, 3, 48000},  // several turns per sample
        {inf, 1, nan, 2, 10, 20, 1, 2, 44100},             // not finite
        {-1e-13, -1e-13, 1e-13, -3e-13, 0, 360, 1, 2, 2},  // wraps that round up to a turn
        {0, 0, 0, 0, 360, 360, 1, 5, 22050},               // standing at a full turn
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "f1 " << c.f1i << ".." << c.f1e << ", f2 " << c.f2i
                                        << ".." << c.f2e << ", channels " << c.channels);
        const int blocks = 300;
        tarvio::SpatializerParams p;
        p.f1_init = c.f1i;
        p.f1_end = c.f1e;
        p.f2_init = c.f2i;
        p.f2_end = c.f2e;
        p.angle1 = c.a1;
        p.angle2 = c.a2;
        p.norm = c.norm;
        tarvio::Spatializer fast(p, c.channels, c.rate, blocks * BLOCK_SIZE);
        PlainSpatializer plain(c, blocks * BLOCK_SIZE);
        std::vector<double> in(static_cast<std::size_t>(c.channels) * BLOCK_SIZE);
        std::vector<double> out(4 * BLOCK_SIZE);
        std::uint32_t lcg = 99;
        for (int b = 0; b < blocks; ++b) {
            int n = fast.inBlockCapacity();
            for (int i = 0; i < n; ++i) {
                lcg = lcg * 1664525u + 1013904223u;
                in[i] = (static_cast<int>(lcg >> 16) - 32768) / 32768.0;
            }
            if (b % 7 == 3)
                n = static_cast<int>(lcg % static_cast<std::uint32_t>(n));  // a short block
            std::memcpy(fast.inBlock(), in.data(), in.size() * sizeof(double));
            const int frames = fast.processBlock(n);
            ASSERT_EQ(frames, plain.process(in, n, out)) << "block " << b;
            ASSERT_EQ(std::memcmp(fast.outBlock(), out.data(), sizeof(double) * 4 * frames), 0)
                << "block " << b;
            fast.advanceSweeps();
            const double phases[2] = {fast.rotation1().phase, fast.rotation2().phase};
            const double expected[2] = {plain.r1.phase, plain.r2.phase};
            ASSERT_EQ(std::memcmp(phases, expected, sizeof phases), 0) << "block " << b;
        }
    }
}

}  // namespace
