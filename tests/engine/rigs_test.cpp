// SPDX-License-Identifier: MIT
// The layouts a command line names or reads from a file, and the laws that
// serve any of them: vbap, dbap and Ambisonic encoding.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/GainLaw.h"
#include "engine/SpeakerLayout.h"
#include "engine/Speakers.h"

namespace {

using tarvio::Panner;
using tarvio::SpeakerLayout;

SpeakerLayout named(const std::string& name) {
    return *tarvio::findLayout(name);
}

std::vector<double> gainsAt(const Panner& p, double x, double y) {
    std::vector<double> g(p.layout().size(), -1.0);
    p.gains(x, y, g.data());
    return g;
}

// The point on the edge of the square in the direction of `azimuth`.
std::vector<double> gainsToward(const Panner& p, double azimuth) {
    const tarvio::SpeakerPosition at = tarvio::pointAt(azimuth);
    return gainsAt(p, at.x, at.y);
}

TEST(Layouts, BuiltInsRingsAndAmbisonicChannelsByName) {
    const SpeakerLayout quad = named("quad");
    EXPECT_TRUE(quad.sameSpeakers(tarvio::layouts::quad()));
    EXPECT_EQ(named("stereo").channelMask(), 0x3u);
    EXPECT_EQ(named("5.1").channelMask(), 0x3Fu);
    EXPECT_EQ(named("7.1").channelMask(), 0x63Fu);
    EXPECT_EQ(named("7.1").labels()[6], "SL");
    EXPECT_FALSE(named("5.1")[3].position);  // LFE

    const SpeakerLayout ring = named("ring:8:22.5");
    EXPECT_EQ(ring.labels(), (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"}));
    EXPECT_EQ(ring[1].position->azimuth, -22.5);  // clockwise seen from above
    EXPECT_EQ(ring[4].position->azimuth, -157.5);
    EXPECT_EQ(ring[7].position->azimuth, 67.5);
    EXPECT_EQ(ring.channelMask(), 0u);

    const SpeakerLayout ambi = named("ambisonics:2");
    EXPECT_EQ(ambi.size(), 9);
    EXPECT_EQ(ambi.ambisonicOrder(), 2);
    EXPECT_EQ(ambi.labels()[8], "ACN8");
    EXPECT_EQ(ambi.channelMask(), 0u);

    EXPECT_FALSE(tarvio::findLayout("octagon"));
    for (const char* bad : {"ring:1", "ring:65", "ring:", "ring:x", "ring:4:", "ring:4:nan",
                            "ring:4:1e999", "ambisonics:0", "ambisonics:4", "ambisonics:"})
        EXPECT_THROW(tarvio::findLayout(bad), std::invalid_argument) << bad;
}

// A ring starts wherever its first loudspeaker is put, however far round
// that is said: its loudspeakers stay 360 / N degrees apart, so vbap (which
// wants distinct directions) is the default.
TEST(Layouts, RingsStartAnywhereAndStayEvenlySpaced) {
    for (const char* name :
         {"ring:3:1e308", "ring:3:-1e308", "ring:4:7200.5", "ring:64:1e300", "ring:5:-181"}) {
        SCOPED_TRACE(name);
        const SpeakerLayout ring = named(name);
        const double step = 360.0 / ring.size();
        for (int k = 0; k < ring.size(); ++k) {
            const double a = ring[k].position->azimuth;
            const double next = ring[(k + 1) % ring.size()].position->azimuth;
            EXPECT_GT(a, -180.0);
            EXPECT_LE(a, 180.0);
            EXPECT_NEAR(std::remainder(a - next - step, 360.0), 0.0, 1e-9) << k;
        }
        EXPECT_STREQ(tarvio::defaultPanLaw(ring)->name, "vbap");
    }
    EXPECT_EQ(named("ring:4:-181")[0].position->azimuth, 179.0);
}

SpeakerLayout parse(const std::string& text) {
    std::istringstream in(text);
    return tarvio::parseLayout(in, "rig.txt");
}

// The message of a file that is refused.
std::string refusal(const std::string& text) {
    try {
        parse(text);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "accepted";
}

TEST(LayoutFile, ReadsLoudspeakersAndRefusesMalformedLinesByNumber) {
    const SpeakerLayout standard = parse("# a 3.1 rig\nFL 30\n\nFR -30  # right\nLFE\nFC 360\n");
    EXPECT_EQ(standard.labels(), (std::vector<std::string>{"FL", "FR", "LFE", "FC"}));
    EXPECT_EQ(standard.channelMask(), 0xFu);
    EXPECT_EQ(standard[3].position->azimuth, 0.0);
    EXPECT_EQ(parse("FL 30\nFR -30\nTOP 180\n").channelMask(), 0u);  // one name not standard

    EXPECT_EQ(refusal("L 30\nR -3O\n"), "rig.txt: line 2: not a number: \"-3O\"");
    EXPECT_EQ(refusal("L 30\n\nL -30\n"), "rig.txt: line 3: label L again (line 1)");
    EXPECT_EQ(refusal("L 30\nR -30 0 1\n"),
              "rig.txt: line 2: expected \"LABEL AZIMUTH [ELEVATION]\", got 4 fields");
    EXPECT_EQ(refusal("L 30\nR\n"),
              "rig.txt: line 2: expected \"LABEL AZIMUTH [ELEVATION]\", got 1 fields");
    EXPECT_EQ(refusal("L 30\nLFE 0\n"), "rig.txt: line 2: LFE takes no azimuth: it gets no signal");
    EXPECT_EQ(refusal("L 30\nR 390\n"), "rig.txt: line 2: azimuth 390 is taken by line 1");
    EXPECT_EQ(refusal("\xef\xbb\xbfL 30\nR -30\n"),
              "rig.txt: line 1: a label has only letters, digits, '-', '_' and '.', and begins "
              "with a letter or a digit: \"\\xef\\xbb\\xbfL\"");
    EXPECT_EQ(refusal("L 30\nLFE\n"),
              "rig.txt: a layout needs at least two loudspeakers with an azimuth, got 1");
}

// Every standard loudspeaker, the height ones too, keeps its mask bit in a
// file that names only standard loudspeakers; the LFE stands without an
// azimuth.
TEST(LayoutFile, StandardLabelsOfEveryLayerHaveTheirMaskBits) {
    EXPECT_EQ(parse("FL 30\nFR -30\nTFL 45\nTBR -135\n").channelMask(), 0x21003u);
    EXPECT_EQ(parse("TC 0\nTFC 20\nTBC 180\nBC 170\n").channelMask(), 0x12900u);

    std::string all;
    double azimuth = 0;
    for (const tarvio::StandardSpeaker& s : tarvio::kStandardSpeakers)
        all +=
            std::string(s.label) + (s.direction ? " " + std::to_string(azimuth += 20) : "") + "\n";
    const SpeakerLayout standard = parse(all);
    ASSERT_EQ(standard.size(), static_cast<int>(tarvio::kStandardSpeakerCount));
    for (std::size_t k = 0; k < tarvio::kStandardSpeakerCount; ++k) {
        const tarvio::StandardSpeaker& s = tarvio::kStandardSpeakers[k];
        EXPECT_EQ(standard[static_cast<int>(k)].maskBit, s.maskBit) << s.label;
        EXPECT_EQ(standard[static_cast<int>(k)].position.has_value(), s.direction.has_value())
            << s.label;
        EXPECT_EQ(tarvio::wavMaskBit(s.label), s.maskBit) << s.label;
    }
    EXPECT_EQ(tarvio::wavMaskBit("fl"), 0u);  // labels are case-sensitive
    EXPECT_EQ(tarvio::wavMaskBit("TOP"), 0u);
}

// The lines of `count` loudspeakers S1, S2, ... `step` degrees apart.
std::string evenRig(int count, double step) {
    std::string text;
    for (int k = 0; k < count; ++k)
        text += "S" + std::to_string(k + 1) + " " + std::to_string(k * step) + "\n";
    return text;
}

// Loudspeakers that share a direction in all but name, more loudspeakers
// than a layout has, a file too large to be one, and labels that would be
// CSV syntax or a spreadsheet formula in a trace's header.
TEST(LayoutFile, RefusesDegenerateUnboundedAndUnsafeFiles) {
    const std::string kLabelRule =
        "a label has only letters, digits, '-', '_' and '.', and begins with a letter or a "
        "digit: ";
    const struct {
        std::string text, message;
    } kCases[] = {
        {"A 0\nB 4.9e-324\n",
         "rig.txt: line 2: azimuth 4.9e-324 is less than 1 degree from azimuth 0 (line 1)"},
        {"A 359.5\n# round the back\nB 90\nC 0\n",
         "rig.txt: line 4: azimuth 0 is less than 1 degree from azimuth 359.5 (line 1)"},
        {"A 10\nB 1e308\nC 1e308\n", "rig.txt: line 3: azimuth 1e308 is taken by line 2"},
        {evenRig(65, 5), "rig.txt: line 65: a layout has at most 64 loudspeakers"},
        {"L 30\nR -30\n" + std::string(tarvio::kMaxLayoutFileBytes, '#'),
         "rig.txt: larger than 65536 bytes, the most a layout file may hold"},
        {"L 30\na,b -30\n", "rig.txt: line 2: " + kLabelRule + "\"a,b\""},
        {"L 30\n\"R -30\n", "rig.txt: line 2: " + kLabelRule + "\"\\\"R\""},
        {"=A1 30\nR -30\n", "rig.txt: line 1: " + kLabelRule + "\"=A1\""},
        {"-1 30\nR -30\n", "rig.txt: line 1: " + kLabelRule + "\"-1\""},
        {"L 30\n@R -30\n", "rig.txt: line 2: " + kLabelRule + "\"@R\""},
        {"L 30\n.R -30\n", "rig.txt: line 2: " + kLabelRule + "\".R\""},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(refusal(c.text), c.message) << c.text.substr(0, 40);

    // At the limits: 1 degree apart, 64 loudspeakers, labels of every kind
    // of character allowed.
    EXPECT_EQ(parse("A 0\nB 1\nC -1\n").size(), 3);
    EXPECT_EQ(parse(evenRig(64, 5.625) + "# the last line\n").size(), 64);
    EXPECT_EQ(parse("Top-1_a.b 0\n2nd 90\n").labels(),
              (std::vector<std::string>{"Top-1_a.b", "2nd"}));
}

// Which laws fit which layout, asked of the laws themselves: a new law may
// fit a layout too without this test changing.
TEST(PanLaw, WhichLawsFitWhichLayoutAndTheDefaults) {
    const auto fits = [](const char* layout, const char* law) {
        const std::vector<std::string> laws = tarvio::panLawsFor(named(layout));
        return std::find(laws.begin(), laws.end(), law) != laws.end();
    };
    for (const char* law : {"bilinear", "power", "vbap", "dbap"})
        EXPECT_TRUE(fits("quad", law)) << law;
    for (const char* law : {"vbap", "dbap"})
        EXPECT_TRUE(fits("5.1", law)) << law;
    for (const char* law : {"bilinear", "power", "ambisonic"})
        EXPECT_FALSE(fits("5.1", law)) << law;
    EXPECT_TRUE(fits("ambisonics:3", "ambisonic"));
    for (const char* law : {"bilinear", "power", "vbap", "dbap"})
        EXPECT_FALSE(fits("ambisonics:3", law)) << law;
    EXPECT_STREQ(tarvio::defaultPanLaw(named("quad"))->name, "bilinear");
    EXPECT_STREQ(tarvio::defaultPanLaw(named("ring:6"))->name, "vbap");
    EXPECT_STREQ(tarvio::defaultPanLaw(named("ring:4:45"))->name, "bilinear");  // the corners
    EXPECT_STREQ(tarvio::defaultPanLaw(named("ambisonics:1"))->name, "ambisonic");
    try {
        Panner(*tarvio::findPanLaw("power"), named("stereo"));
        ADD_FAILURE() << "power on stereo accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "the power law does not fit layout stereo; laws that fit: vbap, dbap");
    }
    tarvio::LawParams params;
    params.rolloff = -3;
    EXPECT_THROW(Panner(*tarvio::findPanLaw("dbap"), named("stereo"), params),
                 std::invalid_argument);
}

// A loudspeaker's own point gives it all of vbap's gain and dbap's largest;
// the squared gains add up to 1 everywhere; an LFE gets nothing.
TEST(PanLaw, VbapAndDbapOnEveryKindOfLayout) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (const char* name :
         {"quad", "stereo", "5.1", "7.1", "ring:8:22.5", "ring:5:10", "ring:2"}) {
        const SpeakerLayout layout = named(name);
        const Panner vbap(*tarvio::findPanLaw("vbap"), layout);
        const Panner dbap(*tarvio::findPanLaw("dbap"), layout);
        for (int ch = 0; ch < layout.size(); ++ch) {
            if (!layout[ch].position)
                continue;
            SCOPED_TRACE(std::string(name) + " " + layout[ch].label);
            const std::vector<double> v =
                gainsAt(vbap, layout[ch].position->x, layout[ch].position->y);
            const std::vector<double> d =
                gainsAt(dbap, layout[ch].position->x, layout[ch].position->y);
            for (int other = 0; other < layout.size(); ++other) {
                EXPECT_NEAR(v[other], other == ch ? 1.0 : 0.0, 1e-12) << other;
                if (other != ch) {
                    EXPECT_LT(d[other], d[ch]) << other;
                }
            }
        }
        for (int i = 0; i < 200; ++i) {
            const double x = unit(random), y = unit(random);
            for (const Panner* p : {&vbap, &dbap}) {
                const std::vector<double> g = gainsAt(*p, x, y);
                double power = 0;
                for (int ch = 0; ch < layout.size(); ++ch) {
                    EXPECT_GE(g[ch], 0.0);
                    power += g[ch] * g[ch];
                    if (!layout[ch].position) {
                        EXPECT_EQ(g[ch], 0.0);
                    }
                }
                EXPECT_NEAR(power, 1.0, 1e-12)
                    << name << " " << p->law().name << " " << x << ", " << y;
            }
        }
        // The middle feeds every loudspeaker alike.
        const std::vector<double> mid = gainsAt(vbap, 0.5, 0.5);
        EXPECT_NEAR(mid[0], mid[1], 1e-15) << name;
    }
}

// Behind a stereo pair the direction is mirrored to the front; what stays
// outside the pair goes to the nearer loudspeaker.
TEST(PanLaw, VbapStereoBackArcMirrorsAndClamps) {
    const Panner vbap(*tarvio::findPanLaw("vbap"), named("stereo"));  // FL 30, FR -30
    EXPECT_EQ(gainsToward(vbap, 90), (std::vector<double>{1, 0}));
    EXPECT_EQ(gainsToward(vbap, 120), (std::vector<double>{1, 0}));
    EXPECT_EQ(gainsToward(vbap, -100), (std::vector<double>{0, 1}));
    const std::vector<double> back = gainsToward(vbap, 170), front = gainsToward(vbap, 10);
    EXPECT_NEAR(back[0], front[0], 1e-12);
    EXPECT_NEAR(back[1], front[1], 1e-12);
    EXPECT_GT(front[0], front[1]);
    EXPECT_NEAR(gainsToward(vbap, 180)[0], std::sqrt(0.5), 1e-12);
}

TEST(PanLaw, AmbisonicGainsAndTheCentre) {
    const Panner first(*tarvio::findPanLaw("ambisonic"), named("ambisonics:1"));
    for (double azimuth : {0.0, 30.0, 90.0, 135.0, -60.0, 180.0}) {
        const double t = azimuth * M_PI / 180.0;
        const std::vector<double> g = gainsToward(first, azimuth);
        EXPECT_EQ(g[0], 1.0) << azimuth;                   // W
        EXPECT_NEAR(g[1], std::sin(t), 1e-12) << azimuth;  // Y
        EXPECT_EQ(g[2], 0.0) << azimuth;                   // Z
        EXPECT_NEAR(g[3], std::cos(t), 1e-12) << azimuth;  // X
    }
    EXPECT_EQ(gainsAt(first, 0.5, 0.5), (std::vector<double>{1, 0, 0, 0}));
    EXPECT_NEAR(gainsAt(first, 0.75, 0.5)[1], -0.5, 1e-15);  // halfway to the right

    // Degree 2 on the horizon: ACN 4 = sqrt(3)/2 sin 2t, 6 = -1/2, 8 = sqrt(3)/2 cos 2t.
    const Panner second(*tarvio::findPanLaw("ambisonic"), named("ambisonics:2"));
    const std::vector<double> g = gainsToward(second, 30.0);
    EXPECT_NEAR(g[4], std::sqrt(3.0) / 2 * std::sin(M_PI / 3), 1e-12);
    EXPECT_NEAR(g[5], 0.0, 1e-15);
    EXPECT_NEAR(g[6], -0.5, 1e-15);
    EXPECT_NEAR(g[8], std::sqrt(3.0) / 2 * std::cos(M_PI / 3), 1e-12);
}

}  // namespace
