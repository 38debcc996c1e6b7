// SPDX-License-Identifier: MIT
// tarvio-render on rigs other than the square: built-in layouts, rings,
// layout files and Ambisonic channels, read back through libsndfile and
// ffprobe. The loudspeaker points are worked out here from the azimuths, not
// taken from the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

using testsupport::Child;
using testsupport::CommandResult;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::WavSpec;
using testsupport::writeFile;
using testsupport::writeWav;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLevel = 0.5;  // the input: a constant at half of full scale

struct Rig {
    std::string option;            // what --layout takes
    std::vector<double> azimuths;  // in the file's channel order; NAN for LFE
};

// The point on the square's edge in the direction `degrees` (0 front,
// positive to the left).
void edgePoint(double degrees, double& x, double& y) {
    const double a = degrees * kPi / 180.0;
    const double s = -std::sin(a), c = std::cos(a);
    const double m = std::max(std::fabs(s), std::fabs(c));
    x = (s / m + 1) / 2;
    y = (c / m + 1) / 2;
}

struct Frames {
    int channels = 0;
    std::vector<float> samples;
};

Frames readFloats(const std::string& path) {
    Frames f;
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(sf, nullptr) << path;
    if (!sf)
        return f;
    f.channels = info.channels;
    f.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(sf, f.samples.data(), info.frames);
    sf_close(sf);
    return f;
}

class Layouts : public ::testing::Test {
  protected:
    void SetUp() override {
        WavSpec w;
        w.rate = 8000;
        w.samples.assign(4000, 16384);
        writeWav(dir.file("in.wav"), w);
    }
    // `prefix` goes before the program, as "timeout 20 ".
    CommandResult render(const std::string& args, const std::string& prefix = "") {
        return runCommand("cd " + shellQuote(dir.path()) + " && " + prefix +
                          shellQuote(TARVIO_RENDER_BINARY) + " -q " + args + " in.wav out.wav");
    }
    // The output of a sound held at (x, y).
    Frames still(const std::string& options, double x, double y) {
        const std::string line =
            std::to_string(0) + " " + std::to_string(x) + " " + std::to_string(y) + "\n";
        writeFile(dir.file("still.txt"), testsupport::Bytes(line.begin(), line.end()));
        const CommandResult r = render("--bits float --path still.txt " + options);
        EXPECT_EQ(r.status, 0) << options << ": " << r.err;
        return readFloats(dir.file("out.wav"));
    }
    TempDir dir;
};

const std::vector<Rig> kRigs = {
    {"stereo", {30, -30}},
    {"5.1", {30, -30, 0, NAN, 110, -110}},
    {"7.1", {30, -30, 0, NAN, 150, -150, 90, -90}},
    {"ring:8:22.5", {22.5, -22.5, -67.5, -112.5, -157.5, 157.5, 112.5, 67.5}},
    {"quad --law vbap", {45, -45, 135, -135}},  // WAV order FL FR BL BR
};

}  // namespace

// A sound standing at a loudspeaker is that loudspeaker's alone, under vbap
// (the default off the square) and, for the square, when asked for.
TEST_F(Layouts, ASoundAtALoudspeakerFeedsOnlyThatOne) {
    for (const Rig& rig : kRigs) {
        for (std::size_t k = 0; k < rig.azimuths.size(); ++k) {
            if (std::isnan(rig.azimuths[k]))
                continue;
            SCOPED_TRACE(rig.option + ", channel " + std::to_string(k + 1));
            double x, y;
            edgePoint(rig.azimuths[k], x, y);
            const Frames f = still("--layout " + rig.option, x, y);
            ASSERT_EQ(f.channels, static_cast<int>(rig.azimuths.size()));
            for (int c = 0; c < f.channels; ++c)
                EXPECT_NEAR(f.samples[100 * f.channels + c], c == static_cast<int>(k) ? kLevel : 0,
                            2e-5)
                    << "channel " << c + 1;
        }
    }
}

// A moving sound keeps its power: the squared gains add up to 1 wherever it
// goes, for vbap and dbap.
TEST_F(Layouts, AMovingSoundKeepsItsPower) {
    for (const std::string& options :
         {std::string("--layout 5.1"), std::string("--layout ring:5 --law dbap"),
          std::string("--layout 7.1 --law dbap --rolloff 4 --blur 0.1")}) {
        SCOPED_TRACE(options);
        const CommandResult r = render("--bits float --rot1 0.7:2 --rot2 1.3 " + options);
        ASSERT_EQ(r.status, 0) << r.err;
        const Frames f = readFloats(dir.file("out.wav"));
        ASSERT_GT(f.channels, 0);
        double worst = 0;
        for (std::size_t i = 0; i + f.channels <= f.samples.size(); i += f.channels) {
            double power = 0;
            for (int c = 0; c < f.channels; ++c)
                power += static_cast<double>(f.samples[i + c]) * f.samples[i + c];
            worst = std::max(worst, std::fabs(power / (kLevel * kLevel) - 1));
        }
        EXPECT_LT(worst, 1e-6);
    }
}

// Surround files declare their loudspeakers so that ffprobe names the
// layouts, and their LFE channel stays silent. ffmpeg 5.1 has no name for
// the height layouts and lists their channels; later versions name them.
// A sound rising from the horizon to 60 degrees reaches the upper ones.
TEST_F(Layouts, SurroundFilesAreRecognisedWithASilentLfe) {
    TARVIO_REQUIRE_PROGRAM("ffprobe");
    struct Case {
        std::string name, motion, listed;
        int firstUpper;  // the first upper channel in the file, or 0
    };
    const Case cases[] = {
        {"5.1", "--rot1 0.5 --rot2 0.25", "", 0},
        {"7.1", "--rot1 0.5 --rot2 0.25", "", 0},
        {"5.1.4", "--orbit 0.5 --elevation 0:60",
         "10 channels (FL+FR+FC+LFE+BL+BR+TFL+TFR+TBL+TBR)", 6},
        {"7.1.4", "--orbit 0.5 --elevation 0:60",
         "12 channels (FL+FR+FC+LFE+BL+BR+SL+SR+TFL+TFR+TBL+TBR)", 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(render("--layout " + c.name + " " + c.motion).status, 0);
        const CommandResult probe =
            runCommand("ffprobe -v error -show_entries stream=channel_layout -of csv=p=0 " +
                       shellQuote(dir.file("out.wav")));
        std::cout << c.name << ": ffprobe says " << probe.out;
        if (probe.out != c.name + "\n") {
            EXPECT_EQ(probe.out, c.listed + "\n");
        }
        const Frames f = readFloats(dir.file("out.wav"));
        ASSERT_GE(f.channels, 4);
        float lfe = 0, rest = 0, upper = 0;
        for (std::size_t i = 0; i < f.samples.size(); ++i) {
            const int ch = static_cast<int>(i % f.channels);
            (ch == 3 ? lfe : rest) += std::fabs(f.samples[i]);
            if (c.firstUpper > 0 && ch >= c.firstUpper)
                upper += std::fabs(f.samples[i]);
        }
        EXPECT_EQ(lfe, 0.0f);
        EXPECT_GT(rest, 0.0f);
        if (c.firstUpper > 0) {
            EXPECT_GT(upper, 0.1f * rest);
        }
    }
}

// First-order Ambisonics (ACN, SN3D): W = 1, Y = r sin θ, Z = 0, X = r cos θ
// for a sound in direction θ at distance r from the middle.
TEST_F(Layouts, FirstOrderAmbisonicsFollowTheFormula) {
    for (const auto& p :
         std::vector<std::pair<double, double>>{{0.2, 0.7}, {1, 0.25}, {0.5, 0.5}}) {
        SCOPED_TRACE(std::to_string(p.first) + ", " + std::to_string(p.second));
        const Frames f = still("--ambisonics 1", p.first, p.second);
        ASSERT_EQ(f.channels, 4);
        const double u = 2 * p.first - 1, v = 2 * p.second - 1;
        const double theta = std::atan2(-u, v), r = std::max(std::fabs(u), std::fabs(v));
        const double want[4] = {1, r * std::sin(theta), 0, r * std::cos(theta)};
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(f.samples[400 + c], kLevel * want[c], 2e-5) << "ACN " << c;
    }
}

// A layout file: its loudspeakers by label and azimuth; a malformed one is
// refused with its line; a law that does not fit is a usage error.
// The picture of a rig other than the square stands its loudspeakers on a
// circle, one mark each, and lists a loudspeaker without a direction.
TEST_F(Layouts, ThePictureOfARingIsACircleOfItsLoudspeakers) {
    for (const auto& rig : kRigs) {
        if (rig.option.compare(0, 4, "quad") == 0)
            continue;  // the square keeps its own picture
        SCOPED_TRACE(rig.option);
        ASSERT_EQ(
            render("--dry-run --rot1 0.25 --rot2 0.25 --plot p.svg --layout " + rig.option).status,
            0);
        const testsupport::Bytes svg = testsupport::readFile(dir.file("p.svg"));
        const std::string text(svg.begin(), svg.end());
        std::size_t marks = 0;
        for (std::size_t at = text.find(" rx="); at != std::string::npos;
             at = text.find(" rx=", at + 1))
            ++marks;
        std::size_t directed = 0;
        for (double azimuth : rig.azimuths)
            directed += std::isnan(azimuth) ? 0 : 1;
        EXPECT_EQ(marks, directed);
        EXPECT_EQ(text.find("LFE \xe2\x80\x94 no direction") != std::string::npos,
                  directed < rig.azimuths.size());
    }
    // A dome's upper loudspeakers are drawn hollow, inside the circle: the
    // ring at 45 degrees at 0.71 of its radius, the top one in the middle.
    ASSERT_EQ(
        render("--dry-run --rot1 0.25 --rot2 0.25 --plot p.svg --layout dome:8@0,4@45,1@90").status,
        0);
    const testsupport::Bytes svg = testsupport::readFile(dir.file("p.svg"));
    const std::string text(svg.begin(), svg.end());
    std::size_t filled = 0, hollow = 0;
    const std::string open = " rx=\"3\" fill=\"#fff\" stroke=\"#333\"";
    for (std::size_t at = text.find(" rx="); at != std::string::npos;
         at = text.find(" rx=", at + 1))
        (text.compare(at, open.size(), open) == 0 ? hollow : filled) += 1;
    EXPECT_EQ(filled, 8u);
    EXPECT_EQ(hollow, 5u);

    // Seen from above, an orbit at 60 degrees of elevation is drawn at half
    // the radius of one at ear height, as the loudspeakers at that height.
    double radius[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(render(std::string("--dry-run --orbit 0.25 --elevation ") + (k ? "60" : "0") +
                         " --plot p.svg --layout dome:8@0,4@45,1@90")
                      .status,
                  0);
        const testsupport::Bytes orbit = testsupport::readFile(dir.file("p.svg"));
        const std::string drawn(orbit.begin(), orbit.end());
        std::vector<std::pair<double, double>> pts;
        for (std::size_t at = drawn.find("points=\""); at != std::string::npos;
             at = drawn.find("points=\"", at + 1)) {
            std::istringstream in(drawn.substr(at + 8, drawn.find('"', at + 8) - at - 8));
            double px, py;
            char comma;
            while (in >> px >> comma >> py)
                pts.emplace_back(px, py);
        }
        ASSERT_GT(pts.size(), 10u);
        double cx = 0, cy = 0;
        for (const auto& q : pts)
            cx += q.first / static_cast<double>(pts.size()),
                cy += q.second / static_cast<double>(pts.size());
        for (const auto& q : pts)
            radius[k] += std::hypot(q.first - cx, q.second - cy) / static_cast<double>(pts.size());
    }
    EXPECT_NEAR(radius[1] / radius[0], 0.5, 0.03);
}

TEST_F(Layouts, LayoutFilesAndTheirFaults) {
    const std::string good = "# a front pair and a back one\nL 30\nR -30\n\nB 180\n";
    writeFile(dir.file("rig.txt"), testsupport::Bytes(good.begin(), good.end()));
    double x, y;
    edgePoint(180, x, y);
    const Frames f = still("--layout rig.txt", x, y);
    ASSERT_EQ(f.channels, 3);
    EXPECT_NEAR(f.samples[300 + 2], kLevel, 2e-5);

    const std::string bad = "L 30\nR -30\nR 40\n";
    writeFile(dir.file("bad.txt"), testsupport::Bytes(bad.begin(), bad.end()));
    CommandResult r = render("--layout bad.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("tarvio-render: bad.txt: line 3: ", 0), 0u) << r.err;
    r = render("--layout stereo --law bilinear");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("laws that fit: vbap, dbap"), std::string::npos) << r.err;
}

namespace {

long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

}  // namespace

// Layout files that would make a degenerate or unbounded rig, or put CSV
// syntax or a formula into the trace's header, are refused at once, naming
// the line; so is a "file" that never ends.
TEST_F(Layouts, UnusableLayoutFilesAreRefusedAtOnce) {
    std::string many;
    for (int k = 0; k < 65; ++k)
        many += "S" + std::to_string(k + 1) + " " + std::to_string(k * 5) + "\n";
    const std::string kLabelRule =
        "a label has only letters, digits, '-', '_' and '.', and begins with a letter or a "
        "digit: ";
    const struct {
        std::string text;  // the file's text, or empty for /dev/zero
        std::string message;
    } kCases[] = {
        {"A 0\nB 4.9e-324\nC 90\n",
         "rig.txt: line 2: azimuth 4.9e-324 is less than 1 degree from azimuth 0 (line 1)"},
        {many, "rig.txt: line 65: a layout has at most 64 loudspeakers"},
        {"L 30\nR -30\n" + std::string(70000, '#'),
         "rig.txt: larger than 65536 bytes, the most a layout file may hold"},
        {"", "/dev/zero: larger than 65536 bytes, the most a layout file may hold"},
        {"L 30\na,b -30\nB 180\n", "rig.txt: line 2: " + kLabelRule + "\"a,b\""},
        {"L 30\nR -30\n\"B 180\n", "rig.txt: line 3: " + kLabelRule + "\"\\\"B\""},
        {"=1+1 30\nR -30\n", "rig.txt: line 1: " + kLabelRule + "\"=1+1\""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.message);
        writeFile(dir.file("rig.txt"), testsupport::Bytes(c.text.begin(), c.text.end()));
        const auto start = std::chrono::steady_clock::now();
        const CommandResult r = render(
            "--trace t.csv --layout " + std::string(c.text.empty() ? "/dev/zero" : "rig.txt"),
            "timeout -s KILL 20 ");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tarvio-render: " + c.message + "\n");
        EXPECT_LT(millisecondsSince(start), 5000);
        EXPECT_FALSE(testsupport::fileExists(dir.file("t.csv")));
    }
    // A path file is bounded the same way.
    const auto start = std::chrono::steady_clock::now();
    const CommandResult r = render("--path /dev/zero", "timeout -s KILL 20 ");
    EXPECT_EQ(r.err,
              "tarvio-render: /dev/zero: larger than 16777216 bytes, the most a path file may "
              "hold\n");
    EXPECT_LT(millisecondsSince(start), 5000);
}

// A stop signal while the layout file or the path file is a pipe that
// stalls, before it is opened for writing or after a first line, ends the
// run within a second with 128 + SIGTERM. Should the run go on waiting, the
// pipe is closed after two seconds, so that the test fails instead of
// hanging.
TEST_F(Layouts, AStopSignalWhileTheLayoutFileStallsEndsTheRun) {
    ::signal(SIGPIPE, SIG_IGN);
    for (const std::string option : {"--layout", "--path"}) {
        for (const bool opened : {false, true}) {
            SCOPED_TRACE(option + (opened ? " stalled read" : " stalled open"));
            const std::string fifo =
                dir.file(option.substr(2) + (opened ? "read.fifo" : "open.fifo"));
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
            Child run(
                {TARVIO_RENDER_BINARY, "-q", option, fifo, dir.file("in.wav"), dir.file("out.wav")},
                dir.file("err"));
            // A writer can open the pipe without blocking once the run has it open.
            const auto openWriter = [&fifo] {
                return ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            };
            int feed = -1;
            for (int i = 0; opened && feed < 0 && i < 500; ++i) {
                feed = openWriter();
                if (feed < 0)
                    ::usleep(10000);
            }
            if (opened) {
                ASSERT_GE(feed, 0);
                ASSERT_EQ(::write(feed, "L 30\n", 5), 5);
            }
            ::usleep(300000);
            std::atomic<bool> ended{false};
            std::thread release([&] {
                for (int i = 0; i < 200 && !ended; ++i)
                    ::usleep(10000);
                if (!ended)
                    ::close(opened ? feed : openWriter());
            });
            const auto start = std::chrono::steady_clock::now();
            run.signal(SIGTERM);
            EXPECT_EQ(run.wait(), 128 + SIGTERM);
            EXPECT_LT(millisecondsSince(start), 1000);
            ended = true;
            release.join();
            if (opened)
                ::close(feed);
            EXPECT_FALSE(testsupport::fileExists(dir.file("out.wav")));
        }
    }
}
