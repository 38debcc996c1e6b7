// SPDX-License-Identifier: MIT
// tarvio-render with several sources: scene files, sources that start late
// or come at another rate, the warning of a mixdown that cancels, and the
// output on standard output; sources placed by direction and distance:
// orbits, polar paths, the level and the Doppler shift of distance, and
// channels kept apart. Outputs are read back through libsndfile (and
// sox, for the stream); where the sources are is worked out here from the
// scene, not taken from the program.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

using testsupport::Bytes;
using testsupport::CommandResult;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Audio {
    int channels = 0;
    int rate = 0;
    std::vector<double> samples;  // interleaved
    std::int64_t frames() const { return channels ? samples.size() / channels : 0; }
    double at(std::int64_t frame, int channel) const {
        return samples[static_cast<std::size_t>(frame * channels + channel)];
    }
};

// Writes `channels` interleaved channels of float samples as WAV.
void writeAudio(const std::string& path, int rate, int channels, const std::vector<double>& x) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr) << path;
    sf_writef_double(sf, x.data(), static_cast<sf_count_t>(x.size() / channels));
    sf_close(sf);
}

// A tone of `hz` at `amplitude` for `frames` frames, starting at its peak.
std::vector<double> tone(double hz, double amplitude, int rate, int frames) {
    std::vector<double> x(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i)
        x[i] = amplitude * std::cos(2 * kPi * hz * i / rate);
    return x;
}

Audio readAudio(const std::string& path) {
    Audio a;
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(sf, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!sf)
        return a;
    a.channels = info.channels;
    a.rate = info.samplerate;
    a.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_double(sf, a.samples.data(), info.frames);
    sf_close(sf);
    return a;
}

// The frequency of the tone in `channel` over frames [from, to), from its
// upward zero crossings, each placed between its two samples.
double frequency(const Audio& a, int channel, std::int64_t from, std::int64_t to) {
    double first = -1, last = -1;
    int crossings = 0;
    for (std::int64_t i = from + 1; i < to; ++i) {
        const double p = a.at(i - 1, channel), q = a.at(i, channel);
        if (p < 0 && q >= 0) {
            const double t = (i - 1) + p / (p - q);
            if (first < 0)
                first = t;
            last = t;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * a.rate / (last - first) : 0.0;
}

double peakOf(const Audio& a, int channel, std::int64_t from, std::int64_t to) {
    double p = 0;
    for (std::int64_t i = from; i < to; ++i)
        p = std::max(p, std::fabs(a.at(i, channel)));
    return p;
}

class Scenes : public ::testing::Test {
  protected:
    // Runs tarvio-render with `args` through bash, which may go on with a
    // pipe.
    CommandResult render(const std::string& args) {
        return runCommand("cd " + shellQuote(dir.path()) + " && bash -c " +
                          shellQuote(shellQuote(TARVIO_RENDER_BINARY) + " " + args));
    }
    void writeText(const std::string& name, const std::string& text) {
        writeFile(dir.file(name), Bytes(text.begin(), text.end()));
    }
    TempDir dir;
};

// The channels of quad in WAV files.
enum { FL, FR, BL, BR };

}  // namespace

// Two sources: one still at the front left corner from the start, at -6
// dB; one that moves and starts 0.3 s in, after the first has ended, not on
// a block's edge. Each sounds where and when its table says: the first
// alone on FL at its gain, then silence, then the second exactly as it
// renders alone, shifted by its start; the output lasts until it ends. The
// trace gives each source its own columns, empty while it is silent.
TEST_F(Scenes, EachSourceSoundsWhereAndWhenItsTableSays) {
    const int rate = 8000;
    writeAudio(dir.file("a.wav"), rate, 1, tone(250, 0.5, rate, 1600));
    writeAudio(dir.file("b.wav"), rate, 1, tone(440, 0.5, rate, 5000));
    writeText("corner.txt", "0 0 1\n");
    writeText("s.toml",
              "bits = \"float\"\n"
              "[[source]]\ninput = \"a.wav\"\npath = \"corner.txt\"\ngain = -6\n"
              "[[source]]\ninput = \"b.wav\"\nrot1 = \"0.5:2\"\nrot2 = 1\nstart = 0.3\n");
    const CommandResult r = render("-q --scene s.toml --trace t.csv o.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(render("-q --bits float --rot1 0.5:2 --rot2 1 b.wav alone.wav").status, 0);
    const Audio o = readAudio(dir.file("o.wav"));
    const Audio alone = readAudio(dir.file("alone.wav"));
    const int start = 2400;  // 0.3 s
    ASSERT_EQ(o.frames(), start + 5000);
    const double gain = std::pow(10.0, -6.0 / 20);
    const std::vector<double> a = tone(250, 0.5, rate, 1600);
    for (std::int64_t i = 0; i < o.frames(); ++i) {
        for (int c = 0; c < 4; ++c) {
            double want = 0;
            if (i < 1600 && c == FL)
                want = static_cast<float>(static_cast<float>(a[i]) * gain);
            else if (i >= start)
                want = alone.at(i - start, c);
            ASSERT_EQ(o.at(i, c), want) << "frame " << i << ", channel " << c;
        }
    }
    const Bytes bytes = testsupport::readFile(dir.file("t.csv"));
    const std::string trace(bytes.begin(), bytes.end());
    EXPECT_EQ(trace.substr(0, trace.find('\n')),
              "seconds,s1.x,s1.y,s1.azimuth,s1.r,s1.elevation,s1.distance,s1.FL,s1.FR,s1.BL,"
              "s1.BR,s2.x,s2.y,s2.azimuth,s2.r,s2.elevation,s2.distance,s2.FL,s2.FR,s2.BL,"
              "s2.BR");
    // At 0.25 s the first has ended and the second not begun.
    EXPECT_NE(trace.find("\n0.250000,,,,,,,,,,,,,,,,,,,,\n"), std::string::npos);
}

// Sources at other rates are brought to the scene's: the first source's, or
// --rate's. A source keeps its length in seconds and its pitch, and the
// output lasts until the longest ends.
TEST_F(Scenes, SourcesAtOtherRatesKeepTheirPitchAndLength) {
    writeAudio(dir.file("a44.wav"), 44100, 1, tone(1000, 0.5, 44100, 44100));
    writeAudio(dir.file("b22.wav"), 22050, 1, tone(1000, 0.5, 22050, 33075));
    writeText("corners.txt", "0 1 0\n");  // the back right corner
    writeText("s.toml",
              "[[source]]\ninput = \"a44.wav\"\n"
              "[[source]]\ninput = \"b22.wav\"\npath = \"corners.txt\"\n");
    struct Case {
        std::string args;
        int rate;
        std::int64_t frames;
        int channel;  // where b22.wav sounds alone
    };
    for (const Case& c : {Case{"--scene s.toml o.wav", 44100, 66150, BR},
                          Case{"--rate 48000 b22.wav o.wav", 48000, 72000, BL}}) {
        const CommandResult r = render("-q --bits float " + c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        const Audio o = readAudio(dir.file("o.wav"));
        EXPECT_EQ(o.rate, c.rate) << c.args;
        ASSERT_EQ(o.frames(), c.frames) << c.args;
        const std::int64_t from = o.rate / 10, to = o.frames() - o.rate / 10;
        const double hz = frequency(o, c.channel, from, to);
        std::cout << std::setprecision(9) << c.args << ": " << hz << " Hz, peak "
                  << peakOf(o, c.channel, from, to) << "\n";
        EXPECT_NEAR(hz, 1000.0, 0.1) << c.args;
        EXPECT_NEAR(peakOf(o, c.channel, from, to), 0.5, 0.005) << c.args;
    }
}

// A stereo input whose channels cancel in the mixdown is warned of, even
// with -q, naming the way out; channels that add up are not.
TEST_F(Scenes, AMixdownThatCancelsIsWarnedOf) {
    const int frames = 8000;
    const std::vector<double> t = tone(300, 0.5, 8000, frames);
    struct Case {
        const char* name;
        double right;  // the right channel is the left one times this
        std::string warning;
    };
    const std::vector<Case> cases = {
        {"same.wav", 1.0, ""},
        {"unrelated.wav", 0.0, ""},  // 3 dB: one channel silent
        {"almost.wav", -0.9,
         "tarvio-render: warning: almost.wav: the mixdown is 25.6 dB below its channels "
         "(opposite phases?); --channels keep keeps them apart\n"},
        {"opposite.wav", -1.0,
         "tarvio-render: warning: opposite.wav: the mixdown is silent although its channels "
         "are not (opposite phases?); --channels keep keeps them apart\n"},
    };
    for (const Case& c : cases) {
        std::vector<double> x;
        for (double v : t) {
            x.push_back(v);
            x.push_back(c.right * v);
        }
        writeAudio(dir.file(c.name), 8000, 2, x);
        const CommandResult r = render(std::string("-q ") + c.name + " o.wav");
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, c.warning) << c.name;
    }
}

// "-" as OUTPUT streams WAV (or AU) to standard output, which sox reads
// through a pipe as the same samples the file holds; the summary goes to
// standard error. A reader that goes away ends the run quietly with status 0.
TEST_F(Scenes, StandardOutputStreamsToAPipe) {
    TARVIO_REQUIRE_PROGRAM("sox");
    writeAudio(dir.file("in.wav"), 44100, 2, tone(440, 0.5, 44100, 2 * 30000));
    ASSERT_EQ(render("-q --rot1 1 --bits 24 in.wav file.wav").status, 0);
    const Audio file = readAudio(dir.file("file.wav"));
    for (const char* format : {"wav", "au"}) {
        const CommandResult r =
            render(std::string("--rot1 1 --bits 24 --format ") + format +
                   " in.wav - | sox -V1 - piped.wav; echo \"${PIPESTATUS[*]}\"");
        EXPECT_EQ(r.out, "0 0\n") << format << ": " << r.err;
        EXPECT_NE(r.err.find("output:   standard output: " +
                             std::string(format[0] == 'w' ? "WAV" : "AU") + ", 24-bit"),
                  std::string::npos)
            << r.err;
        const Audio piped = readAudio(dir.file("piped.wav"));
        EXPECT_EQ(piped.channels, 4) << format;
        EXPECT_EQ(piped.samples, file.samples) << format;
    }
    const CommandResult closed =
        render("--rot1 1 in.wav - | head -c 100 >/dev/null; echo \"${PIPESTATUS[0]}\"");
    EXPECT_EQ(closed.out, "0\n");
    EXPECT_EQ(closed.err, "");
}

// A malformed scene is refused before any work, naming the file, the line,
// the source and the key, and the cause in the option's own words.
TEST_F(Scenes, AMalformedSceneNamesTheFileTheLineAndTheKey) {
    writeAudio(dir.file("a.wav"), 8000, 1, tone(300, 0.5, 8000, 800));
    const std::string one = "[[source]]\ninput = \"a.wav\"\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {one + "[[source]]\ninput = \"a.wav\"\n\nrot1 = \"fast\"\n",
         "s.toml: line 6: source 2: rot1: not a number: \"fast\""},
        {one + "rot11 = 2\n", "s.toml: line 3: source 1: rot11: unknown key; did you mean rot1?"},
        {"layuot = \"5.1\"\n" + one, "s.toml: line 1: layuot: unknown key; did you mean layout?"},
        {"law = \"loud\"\n" + one,
         "s.toml: line 1: law: \"loud\" is not one of bilinear, power, vbap, dbap, ambisonic"},
        {one + "gain = \"-3\"\n",
         "s.toml: line 3: source 1: gain: expected a number, got a string"},
        {one + "rot1 = 1\npath = \"p.txt\"\n",
         "s.toml: line 4: source 1: path: a breakpoint path replaces the rotations; leave out "
         "rot1, rot2, angle1 and angle2"},
        {"[[source]]\nrot1 = 1\n",
         "s.toml: line 1: source 1: no input; name its file with "
         "input = \"FILE\""},
        {one + "start = 1\nstart = 2\n",
         "s.toml: line 4: cannot redefine existing integer 'start'"},
        {"gain = 3\n", "s.toml: no [[source]] table; a scene holds at least one source"},
    };
    for (const auto& c : cases) {
        writeText("s.toml", c.first);
        const CommandResult r = render("-q --scene s.toml o.wav");
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(r.err, "tarvio-render: " + c.second + "\n") << c.first;
    }
    EXPECT_FALSE(testsupport::fileExists(dir.file("o.wav")));
}

// ---- Sources by direction and distance ----

// One turn in 2 s on ring:8 (channel k at -45 (k - 1) degrees): every 0.25
// s the source stands on the next loudspeaker counter-clockwise, which has
// it alone; halfway between two it is heard equally on both, so that it
// turns at a constant speed.
TEST_F(Scenes, AnOrbitReachesEachLoudspeakerInTurn) {
    const int rate = 8000;
    writeAudio(dir.file("dc.wav"), rate, 1, std::vector<double>(2 * rate, 0.5));
    ASSERT_EQ(render("-q --layout ring:8 --bits float --orbit 0.5 dc.wav o.wav").status, 0);
    const Audio o = readAudio(dir.file("o.wav"));
    ASSERT_EQ(o.channels, 8);
    for (int m = 0; m < 8; ++m) {
        const int on = (8 - m) % 8;     // azimuth 45 m degrees
        const int next = (15 - m) % 8;  // 45 degrees further on
        const std::int64_t at = m * rate / 4;
        for (int c = 0; c < 8; ++c)
            EXPECT_NEAR(o.at(at, c), c == on ? 0.5 : 0.0, 1e-6) << m * 0.25 << " s, channel " << c;
        const std::int64_t half = at + rate / 8;
        EXPECT_NEAR(o.at(half, on), o.at(half, next), 1e-6) << m * 0.25 + 0.125 << " s";
        EXPECT_GT(o.at(half, next), 0.3) << m * 0.25 + 0.125 << " s";
    }
}

// A polar path file drives the trace: its azimuths as written (350 to 370
// crosses the front), its distance beyond the loudspeakers while x, y and r
// stay on the square's edge, where the law places the sound.
TEST_F(Scenes, APolarPathDrivesTheTrace) {
    writeAudio(dir.file("a.wav"), 8000, 1, tone(300, 0.5, 8000, 24000));
    writeText("p.txt",
              "# a pass in front, moving away\nseconds azimuth distance\n"
              "0 350 1\n2 370 3\n");
    ASSERT_EQ(render("-q --path p.txt --trace t.csv --trace-step 0.5 a.wav o.wav").status, 0);
    const Bytes bytes = testsupport::readFile(dir.file("t.csv"));
    const std::string trace(bytes.begin(), bytes.end());
    EXPECT_EQ(trace.substr(0, trace.find('\n')),
              "seconds,x,y,azimuth,r,elevation,distance,FL,FR,BL,BR");
    std::istringstream rows(trace.substr(trace.find('\n') + 1));
    const double want[][3] = {{-10, 1}, {-5, 1.5}, {0, 2}, {5, 2.5}, {10, 3}, {10, 3}};
    std::string row;
    for (const auto& w : want) {
        ASSERT_TRUE(std::getline(rows, row));
        std::vector<double> f;
        std::istringstream fields(row);
        for (std::string v; std::getline(fields, v, ',');)
            f.push_back(std::stod(v));
        ASSERT_EQ(f.size(), 11u) << row;
        EXPECT_NEAR(f[3], w[0], 1e-6) << row;  // azimuth
        EXPECT_EQ(f[4], 1.0) << row;           // r
        EXPECT_NEAR(f[6], w[1], 1e-9) << row;  // distance
        EXPECT_NEAR(std::atan2(-(2 * f[1] - 1), 2 * f[2] - 1) * 180 / kPi, w[0], 1e-6) << row;
    }
}

// A scene's elevation key, a sweep like the option's, reaches the trace:
// 10 to 50 degrees over the source's 2 s, while the azimuth stays put.
TEST_F(Scenes, AnElevationSweepReachesTheTrace) {
    writeAudio(dir.file("a.wav"), 8000, 1, tone(300, 0.5, 8000, 16000));
    writeText("s.toml", "[[source]]\ninput = \"a.wav\"\nazimuth = 30\nelevation = \"10:50\"\n");
    ASSERT_EQ(render("-q --dry-run --scene s.toml --trace t.csv --trace-step 0.5 o.wav").status, 0);
    const Bytes bytes = testsupport::readFile(dir.file("t.csv"));
    std::istringstream rows(std::string(bytes.begin(), bytes.end()));
    std::string row;
    std::getline(rows, row);
    ASSERT_EQ(row, "seconds,x,y,azimuth,r,elevation,distance,FL,FR,BL,BR");
    for (const double want : {10.0, 20.0, 30.0, 40.0}) {
        ASSERT_TRUE(std::getline(rows, row));
        std::vector<double> f;
        std::istringstream fields(row);
        for (std::string v; std::getline(fields, v, ',');)
            f.push_back(std::stod(v));
        ASSERT_GE(f.size(), 7u) << row;
        EXPECT_NEAR(f[3], 30.0, 1e-9) << row;  // azimuth
        EXPECT_NEAR(f[5], want, 1e-9) << row;  // elevation
    }
}

// Beyond the loudspeakers the level falls with the distance: by half at
// distance 2 (inverse, the default), not at all with none, and by the dB
// asked per doubling; inside them, the sound keeps its level.
TEST_F(Scenes, DistanceTwoIsHalfTheAmplitude) {
    writeAudio(dir.file("a.wav"), 8000, 1, tone(300, 0.5, 8000, 8000));
    ASSERT_EQ(render("-q --bits float --azimuth 90 a.wav near.wav").status, 0);
    const Audio near = readAudio(dir.file("near.wav"));
    const struct {
        const char* args;
        double factor;
    } cases[] = {
        {"--distance 2", 0.5},
        {"--distance 4 --rolloff-distance 3", std::pow(10.0, -6.0 / 20)},
        {"--distance 2 --rolloff-distance none", 1.0},
        {"--distance 0.5", 1.0},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(
            render(std::string("-q --bits float --azimuth 90 ") + c.args + " a.wav o.wav").status,
            0);
        const Audio o = readAudio(dir.file("o.wav"));
        ASSERT_EQ(o.samples.size(), near.samples.size()) << c.args;
        // The square's bilinear gains add up to 1 wherever the point is, so
        // the sum of the channels' peaks is the source's level.
        double level = 0, nearLevel = 0;
        for (int channel : {FL, FR, BL, BR}) {
            level += peakOf(o, channel, 0, 8000);
            nearLevel += peakOf(near, channel, 0, 8000);
        }
        EXPECT_NEAR(level / nearLevel, c.factor, 1e-6) << c.args;
    }
}

// --doppler: a source receding at v m/s sounds at f 343 / (343 + v), and
// the output runs on until the delayed sound has arrived.
TEST_F(Scenes, ARecedingSourceSoundsLower) {
    const int rate = 48000;
    writeAudio(dir.file("a.wav"), rate, 1, tone(1000, 0.5, rate, 3 * rate));
    for (double v : {20.0, 60.0}) {
        // From the loudspeakers (2 m away) straight out in front.
        std::ostringstream path;
        path << "seconds azimuth distance\n0 0 1\n3 0 " << 1 + v * 3 / 2 << "\n";
        writeText("away.txt", path.str());
        const CommandResult r =
            render("-q --bits float --doppler --rolloff-distance none --path away.txt a.wav o.wav");
        ASSERT_EQ(r.status, 0) << r.err;
        const Audio o = readAudio(dir.file("o.wav"));
        const double delay = 2 * (1 + v * 3 / 2) / 343.0;
        EXPECT_GT(o.frames(), 3 * rate + delay * rate) << v;
        const double f = frequency(o, FL, rate / 2, 3 * rate - rate / 2);
        EXPECT_NEAR(f / (1000 * 343 / (343 + v)), 1.0, 1e-3) << v << " m/s: " << f << " Hz";
        // The last of the tone arrives before the output ends.
        EXPECT_GT(peakOf(o, FL, 3 * rate + static_cast<std::int64_t>(delay * rate) - 2000,
                         3 * rate + static_cast<std::int64_t>(delay * rate) - 100),
                  0.2)
            << v;
    }
}

// channels = "keep": a stereo pair becomes two sources spread over the
// width around the point, the left channel to the left; mixed down, both
// sides hear both.
TEST_F(Scenes, KeptChannelsStayOnTheirSide) {
    std::vector<double> lr;
    for (double x : tone(300, 0.5, 8000, 8000)) {
        lr.push_back(x);
        lr.push_back(0.0);
    }
    writeAudio(dir.file("lr.wav"), 8000, 2, lr);
    for (const char* channels : {"keep", "mix"}) {
        writeText("s.toml", std::string("bits = \"float\"\n[[source]]\ninput = \"lr.wav\"\n"
                                        "azimuth = 0\nwidth = 90\nchannels = \"") +
                                channels + "\"\n");
        ASSERT_EQ(render("-q --scene s.toml o.wav").status, 0) << channels;
        const Audio o = readAudio(dir.file("o.wav"));
        const double left = peakOf(o, FL, 0, 8000), right = peakOf(o, FR, 0, 8000);
        if (channels[0] == 'k') {
            EXPECT_NEAR(left, 0.5, 1e-6);
            EXPECT_LT(right, 1e-9);
        } else {
            EXPECT_NEAR(left, right, 1e-9);
        }
    }
}
