// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/Motion.h"
#include "engine/Spatializer.h"
#include "engine/SpeakerLayout.h"

using namespace tarvio;

namespace {

std::string parseError(const std::string& text) {
    std::istringstream in(text);
    try {
        Motion::parse(in, "p.txt");
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// The azimuth and distance of the frames of a motion at the given seconds.
std::vector<std::pair<double, double>> polarAt(Motion m, const std::vector<double>& seconds) {
    std::vector<std::pair<double, double>> out;
    for (double t : seconds) {
        double x = 0, y = 0, e = 0;
        m.fill(static_cast<std::int64_t>(std::llround(t * 1000.0)), 1000.0, 1, &x, &y, &e);
        out.push_back({azimuthOf(x, y), distanceOf(x, y)});
    }
    return out;
}

// The frequency of a sine from its rising zero crossings in [from, to).
double frequency(const std::vector<double>& s, std::size_t from, std::size_t to, double rate) {
    double first = -1, last = -1;
    int count = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (s[i - 1] < 0.0 && s[i] >= 0.0) {
            const double at = static_cast<double>(i - 1) + s[i - 1] / (s[i - 1] - s[i]);
            if (first < 0)
                first = at;
            else
                ++count;
            last = at;
        }
    }
    return count * rate / (last - first);
}

}  // namespace

TEST(Motion, PathFilesNameTheirColumnsAndKeepLineNumbers) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"seconds x y\n0 0 0\n1 1 1\n", ""},
        {"# polar\nseconds azimuth elevation distance\n0 350 10 1\n1 370 -10 2\n", ""},
        {"seconds azimuth distance\n0 0 1\n1 0 101\n",
         "p.txt: line 3: distance must lie in [0, 100], got 101"},
        {"seconds azimuth elevation\n0 0 91\n",
         "p.txt: line 2: elevation must lie in [-90, 90], got 91"},
        {"\nseconds azimuth\n0 0\n0 5\n", "p.txt: line 4: times must increase (0 after 0)"},
        {"seconds azimuth\n0 0 1\n", "p.txt: line 2: expected 2 numbers, got 3"},
        {"seconds y x\n0 0 0\n",
         "p.txt: line 1: unknown columns; expected \"seconds x y\" or \"seconds azimuth "
         "[elevation] [distance]\""},
        {"seconds azimuth\n", "p.txt: no points"},
        {"0 0 0\nseconds x y\n", "p.txt: line 2: not a number: \"seconds\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseError(c.text), c.message) << c.text;
}

TEST(Motion, PolarPathsCrossTheFrontAndOrbitsTurnLeft) {
    std::istringstream in("seconds azimuth distance\n0 350 1\n2 370 3\n");
    const auto path = polarAt(Motion::parse(in, "p"), {0.0, 0.5, 1.0, 2.0, 3.0});
    const double azimuths[] = {-10.0, -5.0, 0.0, 10.0, 10.0};
    const double distances[] = {1.0, 1.5, 2.0, 3.0, 3.0};
    for (std::size_t k = 0; k < path.size(); ++k) {
        EXPECT_NEAR(path[k].first, azimuths[k], 1e-9) << k;
        EXPECT_NEAR(path[k].second, distances[k], 1e-12) << k;
    }
    // 0.25 Hz from 30 degrees: a quarter turn a second, counter-clockwise.
    const auto orbit = polarAt(Motion::orbit({30.0, 0.25, 0.25, 2.0, 0.0}, 10.0), {0, 1, 2, 3});
    const double expected[] = {30.0, 120.0, -150.0, -60.0};
    for (std::size_t k = 0; k < orbit.size(); ++k) {
        EXPECT_NEAR(orbit[k].first, expected[k], 1e-9) << k;
        EXPECT_NEAR(orbit[k].second, 2.0, 1e-12) << k;
    }
    double x = 0, y = 0;
    polarPoint(90.0, 1.0, x, y);  // left, exactly
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.5);
}

// A receding source sounds lower by c / (c + v): measured on the mono
// signal the gains spread.
TEST(Motion, DopplerOfARecedingSource) {
    const double rate = 48000.0;
    const int seconds = 3;
    for (double v : {20.0, 60.0}) {
        std::istringstream in("seconds azimuth distance\n0 0 1\n" + std::to_string(seconds) +
                              " 0 " + std::to_string(1.0 + v * seconds / 2.0) + "\n");
        const Motion m = Motion::parse(in, "p");
        SpatializerOptions o;
        o.motion = &m;
        o.doppler = true;
        o.distanceLaw.kind = DistanceLaw::Kind::None;
        Spatializer sp(SpatializerParams(), 1, rate, seconds * 48000, o);
        std::vector<double> mono;
        for (int b = 0; b * BLOCK_SIZE < seconds * 48000; ++b) {
            for (int j = 0; j < BLOCK_SIZE; ++j)
                sp.inBlock()[j] = std::sin(2 * M_PI * 1000.0 * (b * BLOCK_SIZE + j) / rate);
            const int n = sp.processBlock(BLOCK_SIZE);
            mono.insert(mono.end(), sp.monoBlock(), sp.monoBlock() + n);
        }
        const double f = frequency(mono, 24000, mono.size() - 24000, rate);
        EXPECT_NEAR(f / (1000.0 * 343.0 / (343.0 + v)), 1.0, 1e-3) << v;
    }
}

// Headphones place the sound themselves from the mono block and the
// positions: beyond the loudspeakers, with Doppler and air, these must
// still be exactly what the gains spread.
TEST(Motion, TheMonoBlockIsWhatTheGainsSpread) {
    const SpeakerLayout ring = *findLayout("ring:8");
    const Motion m = Motion::orbit({30.0, 0.5, 2.0, 3.0, 0.0}, 1.0);
    SpatializerOptions o;
    o.motion = &m;
    o.layout = &ring;
    o.doppler = true;
    o.air = true;
    Spatializer sp(SpatializerParams(), 2, 8000.0, 8000, o);
    const Panner panner(*defaultPanLaw(ring), ring);
    double gains[8];
    for (int b = 0; b < 4; ++b) {
        for (int i = 0; i < 2 * BLOCK_SIZE; ++i)
            sp.inBlock()[i] = std::sin(0.01 * (b * 2 * BLOCK_SIZE + i));
        const int n = sp.processBlock(2 * BLOCK_SIZE);
        for (int j = 0; j < n; ++j) {
            ASSERT_NEAR(distanceOf(sp.positionsX()[j], sp.positionsY()[j]), 1.0, 1e-12);
            ASSERT_NEAR(sp.distances()[j], 3.0, 1e-12);
            panner.gains(sp.positionsX()[j], sp.positionsY()[j], gains);
            for (int c = 0; c < 8; ++c)
                ASSERT_NEAR(sp.outBlock()[j * 8 + c], gains[c] * sp.monoBlock()[j], 1e-12)
                    << "block " << b << ", frame " << j << ", channel " << c;
        }
    }
}
