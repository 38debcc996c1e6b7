// SPDX-License-Identifier: MIT
// Loudspeaker layouts and the gain-law table.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "engine/GainLaw.h"
#include "engine/SpeakerLayout.h"

namespace {

using tarvio::ChannelOrder;
using tarvio::Speaker;
using tarvio::SpeakerLayout;
using tarvio::SpeakerPosition;

TEST(SpeakerLayout, QuadOrdersMaskAndGeometry) {
    const SpeakerLayout& quad = tarvio::layouts::quad();
    ASSERT_EQ(quad.size(), 4);
    EXPECT_EQ(quad.labels(), (std::vector<std::string>{"FR", "FL", "BR", "BL"}));
    EXPECT_EQ(quad.channelMask(), 0x33u);
    EXPECT_EQ(quad.fileOrder(ChannelOrder::Engine), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(quad.fileOrder(ChannelOrder::Mask), (std::vector<int>{1, 0, 3, 2}));  // FL FR BL BR
    // The stored corners and azimuths agree through both formulas.
    for (const Speaker& s : quad.speakers()) {
        SCOPED_TRACE(s.label);
        const SpeakerPosition p = tarvio::pointAt(s.position->azimuth);
        EXPECT_NEAR(p.x, s.position->x, 1e-15);
        EXPECT_NEAR(p.y, s.position->y, 1e-15);
        EXPECT_NEAR(tarvio::azimuthAt(s.position->x, s.position->y), s.position->azimuth, 1e-12);
    }
    // Off the corners too, round the whole circle; the back is +180.
    for (double a : {0.0, 10.0, 90.0, -90.0, 120.0, -170.0, 180.0}) {
        const SpeakerPosition p = tarvio::pointAt(a);
        EXPECT_NEAR(tarvio::azimuthAt(p.x, p.y), a, 1e-12) << a;
        EXPECT_NEAR(std::max(std::fabs(2 * p.x - 1), std::fabs(2 * p.y - 1)), 1.0, 1e-15) << a;
    }
}

// Three loudspeakers and an LFE, as a layout read from a file would be.
SpeakerLayout triangle() {
    return SpeakerLayout("triangle", {
                                         {"C", tarvio::pointAt(0.0), 0x4},
                                         {"LFE", std::nullopt, 0},
                                         {"BR", tarvio::pointAt(-120.0), 0x20},
                                         {"BL", tarvio::pointAt(120.0), 0x10},
                                     });
}

TEST(SpeakerLayout, MaskOrderPutsUnmaskedLastAndBadListsAreRefused) {
    const SpeakerLayout t = triangle();
    EXPECT_EQ(t.fileOrder(ChannelOrder::Mask), (std::vector<int>{0, 3, 2, 1}));
    EXPECT_EQ(t.channelMask(), 0x34u);
    EXPECT_FALSE(t.sameSpeakers(tarvio::layouts::quad()));
    EXPECT_NE(tarvio::speakerTable(t).find("LFE      -"), std::string::npos);

    const auto at = [](double a) { return std::optional<SpeakerPosition>(tarvio::pointAt(a)); };
    EXPECT_THROW(SpeakerLayout("x", {}), std::invalid_argument);
    EXPECT_THROW(SpeakerLayout("x", {{"L", at(30), 1}, {"L", at(-30), 2}}), std::invalid_argument);
    EXPECT_THROW(SpeakerLayout("x", {{"L", at(30), 1}, {"R", at(-30), 1}}), std::invalid_argument);
    EXPECT_THROW(SpeakerLayout("x", {{"L", at(30), 3}}), std::invalid_argument);
    EXPECT_THROW(SpeakerLayout("x", {{"L", SpeakerPosition{0, 0.5, 1.5}, 1}}),
                 std::invalid_argument);
    // Labels that a trace's header or a spreadsheet would misread, and more
    // loudspeakers than any layout has.
    for (const char* label : {"", "a,b", "\"L", "=A1", "-1", "+1", "@L", "L R"})
        EXPECT_THROW(SpeakerLayout("x", {{label, at(30), 0}}), std::invalid_argument) << label;
    std::vector<Speaker> many;
    for (int k = 0; k <= tarvio::kMaxSpeakers; ++k)
        many.push_back({std::to_string(k + 1), std::nullopt, 0});
    EXPECT_THROW(SpeakerLayout("x", many), std::invalid_argument);
    many.pop_back();
    EXPECT_EQ(SpeakerLayout("x", many).size(), tarvio::kMaxSpeakers);
}

// Each row of the table is a law a command line can choose: found by its
// own name, which no other law has, and able to serve a layout that a
// command line can name, with finite gains there.
void expectEveryLawUsable() {
    const std::vector<std::string> names = tarvio::panLawNames();
    ASSERT_EQ(names.size(), tarvio::panLaws().size());
    std::vector<SpeakerLayout> named;
    for (const char* layout :
         {"quad", "stereo", "5.1", "7.1", "ring:8", "ambisonics:1", "ambisonics:3"})
        named.push_back(*tarvio::findLayout(layout));
    for (std::size_t k = 0; k < names.size(); ++k) {
        const tarvio::PanLaw& law = tarvio::panLaws()[k];
        SCOPED_TRACE(names[k]);
        EXPECT_EQ(names[k], law.name);
        EXPECT_EQ(tarvio::findPanLaw(names[k]), &law);  // the first of that name is this one
        EXPECT_NE(std::string(law.summary), "");
        int served = 0;
        for (const SpeakerLayout& layout : named) {
            if (!law.supports(layout))
                continue;
            ++served;
            const tarvio::Panner panner(law, layout);
            std::vector<double> g(static_cast<std::size_t>(layout.size()));
            panner.gains(0.3, 0.8, g.data());
            for (double v : g)
                EXPECT_TRUE(std::isfinite(v)) << layout.name();
        }
        EXPECT_GT(served, 0);
    }
}

TEST(PanLaw, TableNamesAndWhatEachLawPromises) {
    expectEveryLawUsable();
    EXPECT_EQ(tarvio::findPanLaw("cubic"), nullptr);

    const SpeakerLayout& quad = tarvio::layouts::quad();
    const SpeakerLayout quadLfe("4.1",
                                {quad[0], quad[1], {"LFE", std::nullopt, 0x8}, quad[2], quad[3]});
    for (const char* name : {"bilinear", "power"}) {
        const tarvio::PanLaw& law = *tarvio::findPanLaw(name);
        SCOPED_TRACE(law.name);
        EXPECT_TRUE(law.supports(quad));
        EXPECT_TRUE(law.supports(quadLfe));
        EXPECT_FALSE(law.supports(triangle()));
        const bool power = std::string(law.name) == "power";
        for (double x : {0.0, 0.3, 0.5, 1.0}) {
            for (double y : {0.0, 0.71, 1.0}) {
                double g[4], h[5];
                law.gains(x, y, quad, nullptr, g);
                law.gains(x, y, quadLfe, nullptr, h);
                EXPECT_EQ(h[2], 0.0);  // the LFE
                EXPECT_EQ(std::vector<double>(g, g + 4),
                          (std::vector<double>{h[0], h[1], h[3], h[4]}));
                double sum = 0;
                for (double v : g)
                    sum += power ? v * v : v;
                EXPECT_NEAR(sum, 1.0, 1e-15) << x << ", " << y;
                // Channel 1 stands at (1, 1): the louder the nearer.
                EXPECT_EQ(g[0] == 1.0, x == 1.0 && y == 1.0);
            }
        }
    }
}

}  // namespace
