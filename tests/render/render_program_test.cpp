// SPDX-License-Identifier: MIT
// End-to-end tests of tarvio-render: the built binary against tarvio, sox and
// libsndfile.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

using testsupport::CommandResult;
using testsupport::endsWith;
using testsupport::programArgs;
using testsupport::readFile;
using testsupport::runCommand;
using testsupport::runTarvio;
using testsupport::samplePattern;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::WavSpec;
using testsupport::writeFile;
using testsupport::writeWav;

namespace {

CommandResult render(const std::vector<std::string>& args, const std::string& prefix = "") {
    std::string cmd = prefix + shellQuote(TARVIO_RENDER_BINARY);
    for (const std::string& a : args)
        cmd += " " + shellQuote(a);
    return runCommand(cmd);
}

// The samples of any file libsndfile reads, interleaved, as 16-bit values
// (or full-scale doubles).
struct Audio {
    int channels = 0;
    int rate = 0;
    std::vector<short> shorts;
    std::vector<double> doubles;
};

Audio readAudio(const std::string& path) {
    Audio a;
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(sf, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!sf)
        return a;
    a.channels = info.channels;
    a.rate = info.samplerate;
    a.shorts.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_short(sf, a.shorts.data(), info.frames);
    sf_seek(sf, 0, SEEK_SET);
    a.doubles.resize(a.shorts.size());
    sf_readf_double(sf, a.doubles.data(), info.frames);
    sf_close(sf);
    return a;
}

std::vector<std::vector<double>> readCsv(const std::string& path, std::string& header) {
    std::ifstream in(path);
    std::getline(in, header);
    std::vector<std::vector<double>> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<double> row;
        std::stringstream fields(line);
        for (std::string f; std::getline(fields, f, ',');)
            row.push_back(std::stod(f));
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

// The classic job: with the bilinear law and 16-bit AIFF output, every frame
// is the frame tarvio writes, for inputs tarvio takes (odd ones included).
TEST(RenderProgram, GivesTarviosSamplesForTheClassicJob) {
    TempDir dir;
    struct Input {
        const char* name;
        WavSpec wav;
    };
    std::vector<Input> inputs(5);
    inputs[0].name = "mono";
    inputs[0].wav.samples = samplePattern(5000);
    inputs[1].name = "stereo48k";
    inputs[1].wav.channels = 2, inputs[1].wav.rate = 48000;
    inputs[1].wav.samples = samplePattern(9001 * 2);
    inputs[2].name = "threeCutShort";
    inputs[2].wav.channels = 3;
    inputs[2].wav.samples = samplePattern(3 * 4000 + 2);  // a last frame cut short
    inputs[2].wav.dataLength = 1000000;                   // claims more than it holds
    inputs[3].name = "alignZero";
    inputs[3].wav.blockAlign = 0;
    inputs[3].wav.samples = samplePattern(3000);
    inputs[4].name = "claimsFourGB";  // sized by the frames it holds, not refused
    inputs[4].wav.samples = samplePattern(7000);
    inputs[4].wav.dataLength = 0xFFFFFFF0;
    const std::vector<std::vector<std::string>> params = {
        {"1", "2", "0.5", "0.25", "0", "90"},
        {"0.25", "3", "0.5", "1.75", "45", "270", "2"},
        {"-1", "1", "3", "-2", "360", "270", "0.5"},
    };
    for (const Input& in : inputs) {
        const std::string wav = dir.file(std::string(in.name) + ".wav");
        writeWav(wav, in.wav);
        for (const auto& p : params) {
            SCOPED_TRACE(std::string(in.name) + " " + p[0] + " " + p[1]);
            ASSERT_EQ(runTarvio(programArgs(wav, dir.file("t.aif"), p)).status, 0);
            // Negative values as words of their own, as users write them.
            std::vector<std::string> args = {"-q",
                                             "--rot1",
                                             p[0] + ":" + p[1],
                                             "--rot2",
                                             p[2] + ":" + p[3],
                                             "--angle1",
                                             p[4],
                                             "--angle2",
                                             p[5],
                                             "--norm=" + (p.size() > 6 ? p[6] : "1"),
                                             wav,
                                             dir.file("r.aif")};
            CommandResult r = render(args);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, "");
            const Audio t = readAudio(dir.file("t.aif"));
            const Audio o = readAudio(dir.file("r.aif"));
            EXPECT_EQ(o.channels, 4);
            EXPECT_EQ(o.rate, t.rate);
            EXPECT_EQ(o.shorts, t.shorts);
            // The room set aside for what the header announces is given back.
            struct stat st;
            ASSERT_EQ(::stat(dir.file("r.aif").c_str(), &st), 0);
            EXPECT_LT(static_cast<long long>(st.st_blocks) * 512, st.st_size + (64 << 10));
        }
    }
    // WAV's size fields hold 4 GB too.
    CommandResult r = render({"-q", dir.file("claimsFourGB.wav"), dir.file("r.wav")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readAudio(dir.file("r.wav")).shorts.size(), 4u * 7000);
}

// sox writes WAV files with more than two channels or more than 16 bits in
// the extensible format, which tarvio refuses; FLAC it cannot read at all.
// With the point held in the corner of channel 4, that channel carries the
// mean of the input's channels.
TEST(RenderProgram, ReadsExtensibleWavAndFlacFromSox) {
    TARVIO_REQUIRE_PROGRAM("sox");
    TempDir dir;
    const std::string wav = dir.file("six.wav");
    const std::string flac = dir.file("in.flac");
    ASSERT_EQ(runCommand("sox -R -D -n -r 48000 -b 24 -c 6 " + shellQuote(wav) +
                         " synth 0.5 sine 300 sine 500 sine 700 sine 900 sine 1100 sine 1300 "
                         "vol 0.5")
                  .status,
              0);
    ASSERT_EQ(readFile(wav)[20], 0xFE) << "sox wrote the extensible format";
    ASSERT_EQ(runCommand("sox -R -D -n -r 44100 -b 16 -c 2 " + shellQuote(flac) +
                         " synth 0.5 sine 440 sine 660")
                  .status,
              0);
    for (const std::string& in : {wav, flac}) {
        SCOPED_TRACE(in);
        const std::string out = dir.file("out.aif");
        CommandResult r = render({"-q", "--bits", "24", in, out});
        ASSERT_EQ(r.status, 0) << r.err;
        const Audio src = readAudio(in);
        const Audio got = readAudio(out);
        ASSERT_EQ(got.channels, 4);
        EXPECT_EQ(got.rate, src.rate);
        ASSERT_EQ(got.doubles.size() / 4, src.doubles.size() / src.channels);
        double worst = 0;
        for (std::size_t f = 0; f < got.doubles.size() / 4; ++f) {
            double sum = 0;
            for (int c = 0; c < src.channels; ++c)
                sum += src.doubles[f * src.channels + c];
            worst = std::max(worst, std::fabs(got.doubles[4 * f + 3] - sum / src.channels));
            ASSERT_EQ(got.doubles[4 * f], 0.0);
        }
        EXPECT_LT(worst, 1.0 / (1 << 22)) << "24-bit output within one step";
    }
}

// WAV output declares front left, front right, back left, back right in its
// channel mask, and puts the channels in that order. With the point in the
// corner of channel 4 (back left), the third channel of the file sounds.
TEST(RenderProgram, WavOutputDeclaresTheLoudspeakersInItsChannelMask) {
    TARVIO_REQUIRE_PROGRAM("sox");
    TempDir dir;
    WavSpec w;
    w.samples = samplePattern(2000);
    writeWav(dir.file("in.wav"), w);
    const std::string out = dir.file("out.wav");
    ASSERT_EQ(render({"-q", dir.file("in.wav"), out}).status, 0);
    const testsupport::Bytes b = readFile(out);
    ASSERT_GT(b.size(), 44u);
    EXPECT_EQ(b[20] | b[21] << 8, 0xFFFE) << "extensible format";
    EXPECT_EQ(b[40] | b[41] << 8 | b[42] << 16 | b[43] << 24, 0x33) << "FL FR BL BR";
    EXPECT_EQ(runCommand("soxi -c " + shellQuote(out)).out, "4\n");
    CommandResult raw = runCommand("sox " + shellQuote(out) + " -t raw -e signed -b 16 -L -");
    ASSERT_EQ(raw.out.size(), 2000u * 8);
    for (std::size_t f = 0; f < 2000; ++f) {
        for (int c = 0; c < 4; ++c) {
            const std::size_t at = 8 * f + 2 * c;
            const int v =
                static_cast<std::int16_t>(static_cast<unsigned char>(raw.out[at]) |
                                          static_cast<unsigned char>(raw.out[at + 1]) << 8);
            ASSERT_EQ(v, c == 2 ? w.samples[f] : 0) << "frame " << f << " channel " << c;
        }
    }
}

// The trace of the power law: the squared gains add up to 1 wherever the
// point goes; a breakpoint path passes through its points.
TEST(RenderProgram, TracesThePowerLawAndABreakpointPath) {
    TempDir dir;
    WavSpec w;
    w.rate = 8000;
    w.samples.assign(16000, 10000);
    writeWav(dir.file("in.wav"), w);
    std::string header;
    CommandResult r =
        render({"-q", "--law", "power", "--rot1", "0.7:2", "--rot2", "0.3", "--angle2", "45",
                "--trace", dir.file("t.csv"), dir.file("in.wav"), dir.file("out.aif")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<double>> rows = readCsv(dir.file("t.csv"), header);
    EXPECT_EQ(header, "seconds,x,y,azimuth,r,elevation,distance,FR,FL,BR,BL");
    ASSERT_EQ(rows.size(), 200u);  // 2 s every 0.01 s
    for (const auto& row : rows) {
        EXPECT_EQ(row[5], 0.0);     // elevation
        EXPECT_EQ(row[6], row[4]);  // distance: r, inside the square
        EXPECT_NEAR(row[7] * row[7] + row[8] * row[8] + row[9] * row[9] + row[10] * row[10], 1.0,
                    1e-7);
    }

    writeFile(dir.file("path.txt"), {'0', ' ',  '0', ' ', '0', '\n', '1', ' ', '1', ' ',
                                     '0', '\n', '1', '.', '5', ' ',  '1', ' ', '1', '\n'});
    r = render({"-q", "--path", dir.file("path.txt"), "--trace", dir.file("p.csv"), "--trace-step",
                "0.25", dir.file("in.wav"), dir.file("out.aif")});
    ASSERT_EQ(r.status, 0) << r.err;
    rows = readCsv(dir.file("p.csv"), header);
    ASSERT_EQ(rows.size(), 8u);
    const double want[8][3] = {{0, 0, 0}, {0.25, 0.25, 0}, {0.5, 0.5, 0}, {0.75, 0.75, 0},
                               {1, 1, 0}, {1.25, 1, 0.5},  {1.5, 1, 1},   {1.75, 1, 1}};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(rows[i][0], want[i][0]);
        EXPECT_EQ(rows[i][1], want[i][1]) << "x at " << want[i][0] << " s";
        EXPECT_EQ(rows[i][2], want[i][2]) << "y at " << want[i][0] << " s";
    }
    // At 1 s the point is at (1, 0), the corner of channel 3.
    const Audio a = readAudio(dir.file("out.aif"));
    EXPECT_EQ(a.shorts[4 * 8000 + 2], 10000);
    EXPECT_EQ(a.shorts[4 * 8000 + 0], 0);
}

TEST(RenderProgram, PlotIsValidXml) {
    TARVIO_REQUIRE_PROGRAM("xmllint");
    TempDir dir;
    WavSpec w;
    w.samples = samplePattern(44100);
    writeWav(dir.file("in.wav"), w);
    CommandResult r = render({"--rot1", "1:3", "--rot2", "2", "--plot", dir.file("p.svg"),
                              dir.file("in.wav"), dir.file("out.aif")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("clipped:  0 samples"), std::string::npos) << r.out;
    EXPECT_EQ(runCommand("xmllint --noout " + shellQuote(dir.file("p.svg"))).status, 0);
}

// The summary reports the largest magnitude before clipping and how many
// samples were clipped: the point is held in the corner of channel 4, which
// carries the mono samples times the norm.
TEST(RenderProgram, SummaryReportsThePeakBeforeClipping) {
    TempDir dir;
    WavSpec w;
    w.samples.assign(5000, 8192);
    w.samples[4133] = -29491;  // -0.9 of full scale, -1.8 after the norm
    writeWav(dir.file("in.wav"), w);
    CommandResult r =
        render({"--rot1=0", "--rot2=0", "--norm=2", dir.file("in.wav"), dir.file("out.aif")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("peak:     5.1 dBFS\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("clipped:  1 sample\n"), std::string::npos) << r.out;
}

// Usage errors end with status 2 and one line; a malformed path file and a
// failed write end with status 1, the earlier output as it was.
TEST(RenderProgram, RefusesWithClearErrors) {
    TempDir dir;
    WavSpec w;
    w.samples = samplePattern(100000);
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    writeWav(in, w);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {in},
                                               {"--bits", "12", in, out},
                                               {"--format", "flac", "--bits", "float", in, out},
                                               {"--rot1", "fast", in, out},
                                               {"--frobnicate", in, out},
                                               {in, dir.file("out.xyz")},
                                               {"--path", "p.txt", "--rot1", "1", in, out},
                                               {"--orbit", "1", "--rot1", "1", in, out},
                                               {"--elevation", "10:91", in, out},
                                               {"--elevation", "10", "--path", "p.txt", in, out}}) {
        CommandResult r = render(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // --help says what the program is for and shows the loudspeakers of the
    // layout asked for, the square by default.
    CommandResult help = render({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("around a loudspeaker rig"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("Loudspeakers of quad"), std::string::npos) << help.out;
    help = render({"--layout", "5.1", "--help"});
    EXPECT_NE(help.out.find("Loudspeakers of 5.1"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("\n  LFE "), std::string::npos) << help.out;

    const testsupport::Bytes earlier(1000, 9);
    writeFile(out, earlier);
    writeFile(dir.file("bad.txt"), {'0', ' ', '0', ' ', '0', '\n', '1', ' ', '2', ' ', '0', '\n'});
    CommandResult r = render({"--path", dir.file("bad.txt"), in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "tarvio-render: " + dir.file("bad.txt") + ": line 2: x must lie in [0, 1], got 2\n");
    // The file outgrows what the shell allows, for raw bytes and for FLAC,
    // whose batches are compressed on the writing thread.
    const std::string flac = dir.file("out.flac");
    writeFile(flac, earlier);
    for (const std::string& o : {out, flac}) {
        r = render({"--bits", "24", in, o}, "ulimit -f 100; ");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(endsWith(r.err, "write failed: System error.\n") ||
                    r.err.find(o) != std::string::npos)
            << r.err;
        EXPECT_EQ(readFile(o), earlier);
    }
}

// With two processors the encoded batches are written on a second thread,
// with one in place; the files are the same, for raw bytes and for FLAC.
TEST(RenderProgram, OneProcessorAndTwoWriteTheSameFiles) {
    if (std::system("taskset -c 0 true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "taskset cannot pin this process to one processor";
    TempDir dir;
    WavSpec w;
    w.samples = samplePattern(300000);
    const std::string in = dir.file("in.wav");
    writeWav(in, w);
    for (const std::string ext : {"wav", "flac"}) {
        const std::string one = dir.file("one." + ext), two = dir.file("two." + ext);
        ASSERT_EQ(render({"-q", "--bits", "24", in, one}, "taskset -c 0 ").status, 0);
        ASSERT_EQ(render({"-q", "--bits", "24", in, two}).status, 0);
        EXPECT_GT(readFile(one).size(), 100000u);
        EXPECT_EQ(readFile(one), readFile(two)) << ext;
    }
}
