// SPDX-License-Identifier: MIT
// tarvio-render's output formats against their table: every output format
// with every sample format it holds, written by the built program and read
// back through libsndfile, must hold the engine's samples as pcm/ encodes
// them, in the row's channel order and under the row's header; and the
// generated manual page and bash completion must name the rows of the
// option table and of the tables the options take their values from.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Spatializer.h"
#include "pcm/Pcm.h"
#include "engine/GainLaw.h"
#include "engine/SpeakerLayout.h"
#include "render/Options.h"
#include "render/OutputFormat.h"
#include "tests/support/TestSupport.h"

using tarvio::ChannelOrder;
using tarvio::render::OutputFormat;
using tarvio::render::outputFormats;
using tarvio::render::SampleFormat;
using tarvio::render::sampleFormats;
using testsupport::CommandResult;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

namespace {

constexpr int kRate = 8000;
constexpr int kInChannels = 2;
constexpr int kFrames = 5000;  // four whole engine blocks and part of a fifth
constexpr int kOutChannels = 4;

// The run's options, on the command line and as the engine's parameters.
const std::vector<std::string> kOptions = {"--rot1=3:5", "--rot2=2:4", "--angle1=30",
                                           "--angle2=200", "--norm=1.6"};

tarvio::SpatializerParams engineParams() {
    tarvio::SpatializerParams p;
    p.f1_init = 3;
    p.f1_end = 5;
    p.f2_init = 2;
    p.f2_end = 4;
    p.angle1 = 30;
    p.angle2 = 200;
    p.norm = 1.6;
    return p;
}

// Stereo input: a quiet first half and a loud second half that --norm 1.6
// drives past full scale wherever the point nears a corner.
std::vector<std::int16_t> inputSamples() {
    std::vector<std::int16_t> s;
    for (int f = 0; f < kFrames; ++f) {
        const double amplitude = f < kFrames / 2 ? 9000 : 31000;
        s.push_back(static_cast<std::int16_t>(std::lround(amplitude * std::sin(0.05 * f))));
        s.push_back(static_cast<std::int16_t>(std::lround(amplitude * std::sin(0.05 * f + 0.3))));
    }
    return s;
}

// A plain 16-bit WAV file, which tarvio-render reads with the project's own
// reader, as it reads tarvio's inputs.
void writeInput(const std::string& path, const std::vector<std::int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = kInChannels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(sf_writef_short(sf, samples.data(), kFrames), kFrames);
    sf_close(sf);
}

// The engine's output for the input, block by block as tarvio-render feeds
// it, in the engine's channel order.
std::vector<double> engineOutput(const std::vector<std::int16_t>& in) {
    tarvio::SpatializerOptions options;
    tarvio::Spatializer sp(engineParams(), kInChannels, kRate, kFrames, options);
    EXPECT_EQ(sp.outputChannels(), kOutChannels);
    std::vector<double> out;
    for (std::size_t at = 0; at < in.size();) {
        const std::size_t n =
            std::min(in.size() - at, static_cast<std::size_t>(sp.inBlockCapacity()));
        for (std::size_t i = 0; i < n; ++i)
            sp.inBlock()[i] = in[at + i] / 32768.0;
        at += n;
        const int frames = sp.processBlock(static_cast<int>(n));
        out.insert(out.end(), sp.outBlock(), sp.outBlock() + kOutChannels * frames);
        sp.advanceSweeps();
    }
    return out;
}

// The engine's frames in the row's channel order: the WAV family and FLAC
// put front left, front right, back left, back right, which are the engine's
// channels 2, 1, 4, 3.
std::vector<double> inFileOrder(const std::vector<double>& engine, ChannelOrder order) {
    if (order == ChannelOrder::Engine)
        return engine;
    static const int kFromEngine[kOutChannels] = {1, 0, 3, 2};
    std::vector<double> out(engine.size());
    for (std::size_t f = 0; f < engine.size(); f += kOutChannels) {
        for (int c = 0; c < kOutChannels; ++c)
            out[f + c] = engine[f + kFromEngine[c]];
    }
    return out;
}

// The samples pcm/ encodes at `bits`, as libsndfile's sf_read_int gives
// them back: the value at the top of a 32-bit int. `clipped` gets the count.
std::vector<int> encodedInts(const std::vector<double>& x, int bits, std::uint32_t& clipped) {
    const int bytes = bits / 8;
    std::vector<unsigned char> raw(x.size() * bytes);
    switch (bits) {
        case 16:
            clipped = tarvio::pcm::s16le_from_double(x.data(), x.size(), raw.data());
            break;
        case 24:
            clipped = tarvio::pcm::s24le_from_double(x.data(), x.size(), raw.data());
            break;
        case 32:
            clipped = tarvio::pcm::s32le_from_double(x.data(), x.size(), raw.data());
            break;
        default:
            ADD_FAILURE() << bits << " bits";
            return {};
    }
    std::vector<long long> values(x.size());
    tarvio::pcm::pickDecoder<long long>(bytes, tarvio::pcm::ByteOrder::Little)(raw.data(), x.size(),
                                                                               values.data());
    std::vector<int> out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        out[i] = static_cast<int>(values[i] * (1LL << (32 - bits)));
    return out;
}

// Where two sample sequences first differ, as "frame F channel C: a != b",
// or "" when they are equal.
template <typename T>
std::string firstDifference(const std::vector<T>& got, const std::vector<T>& want) {
    if (got.size() != want.size())
        return std::to_string(got.size()) + " samples, expected " + std::to_string(want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!(got[i] == want[i])) {
            std::ostringstream s;
            s.precision(9);
            s << "frame " << i / kOutChannels << " channel " << i % kOutChannels + 1 << ": "
              << got[i] << ", expected " << want[i];
            return s.str();
        }
    }
    return "";
}

// The count of the summary's "clipped:" line, or -1.
long long summaryClipped(const std::string& summary) {
    std::smatch m;
    static const std::regex line("\nclipped: +([0-9]+) samples?\n");
    return std::regex_search(summary, m, line) ? std::stoll(m[1]) : -1;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A manual page as it reads: no font changes, "\-" a dash, "\e" a
// backslash.
std::string plainManual(const std::string& page) {
    std::string text = std::regex_replace(page, std::regex(R"(\\f[BIRP])"), "");
    text = std::regex_replace(text, std::regex(R"(\\&)"), "");
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    return std::regex_replace(text, std::regex(R"(\\e)"), "\\");
}

// What the generated bash completion offers for the command line
// "tarvio-render WORDS...", the last word being completed, in an empty
// folder.
std::set<std::string> completions(const std::vector<std::string>& words) {
    TempDir dir;
    std::string script = "cd " + shellQuote(dir.path()) + " && source " +
                         shellQuote(TARVIO_RENDER_COMPLETION) + " && COMP_WORDS=(tarvio-render";
    for (const std::string& w : words)
        script += " " + shellQuote(w);
    script += ") && COMP_CWORD=" + std::to_string(words.size()) +
              " && _tarvio_render && printf '%s\\n' \"${COMPREPLY[@]}\"";
    const CommandResult r = runCommand("bash -c " + shellQuote(script));
    EXPECT_EQ(r.status, 0) << r.err;
    std::set<std::string> offered;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty())
            offered.insert(line);
    }
    return offered;
}

}  // namespace

// A lossy format: written where the installed libsndfile can (read back with
// every loudspeaker and about the input's length, levels within what a codec
// keeps), or refused before any work naming the formats it can write.
void checkLossy(const OutputFormat& format, const SampleFormat& samples, const std::string& input,
                const TempDir& dir) {
    SCOPED_TRACE(format.name);
    const std::string output = dir.file("out." + format.extensions.front());
    std::string command = shellQuote(TARVIO_RENDER_BINARY) + " --quality 8";
    for (const std::string& o : kOptions)
        command += " " + o;
    const CommandResult r = runCommand(command + " " + shellQuote(input) + " " + shellQuote(output));
    if (r.status != 0) {
        EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("it can write aiff"), std::string::npos) << r.err;
        return;
    }
    EXPECT_NE(r.out.find(std::string(": ") + format.summary + ", " + samples.summary), std::string::npos)
        << r.out;
    SF_INFO info{};
    SNDFILE* sf = sf_open(output.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.channels, kOutChannels);
    std::vector<float> got(static_cast<std::size_t>(kFrames * 2) * kOutChannels);
    const sf_count_t frames = sf_readf_float(sf, got.data(), kFrames * 2);
    sf_close(sf);
    EXPECT_NEAR(static_cast<double>(frames), kFrames, kFrames * 0.1);
    float peak = 0;
    for (float v : got)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.5f);
    EXPECT_LT(peak, 1.2f);
}

// Every output format with every sample format it holds, the format taken
// from the file's extension: the header (major format, subtype, channels,
// rate, frames, and the loudspeakers where the row declares them), the
// samples exactly as pcm/ encodes the engine's output (floats compared as
// floats), and the summary's count of clipped samples. Float output runs
// once more with --no-clip, keeping what lies beyond full scale.
TEST(FormatMatrix, EveryFormatHoldsTheEncodedEngineSamples) {
    TempDir dir;
    const std::vector<std::int16_t> in = inputSamples();
    const std::string input = dir.file("in.wav");
    writeInput(input, in);
    const std::vector<double> engine = engineOutput(in);
    ASSERT_EQ(engine.size(), static_cast<std::size_t>(kFrames) * kOutChannels);
    // The input must test what it is meant to: every loudspeaker sounds, and
    // some samples (not most) pass full scale.
    std::size_t overs = 0;
    double channelPeak[kOutChannels] = {};
    for (std::size_t i = 0; i < engine.size(); ++i) {
        overs += std::fabs(engine[i]) > 1.0;
        channelPeak[i % kOutChannels] =
            std::max(channelPeak[i % kOutChannels], std::fabs(engine[i]));
    }
    ASSERT_GT(overs, 100u);
    ASSERT_LT(overs, engine.size() / 4);
    for (double p : channelPeak)
        ASSERT_GT(p, 0.5) << overs;

    int runs = 0;
    for (const OutputFormat& format : outputFormats()) {
        const std::vector<double> expected = inFileOrder(engine, format.order);
        for (const SampleFormat& samples : sampleFormats()) {
            if (!format.holds(samples))
                continue;
            if (samples.lossy) {
                checkLossy(format, samples, input, dir);
                continue;
            }
            for (bool keepOvers : {false, true}) {
                if (keepOvers && !samples.isFloat)
                    continue;
                SCOPED_TRACE(std::string(format.name) + " " + samples.name +
                             (keepOvers ? " --no-clip" : ""));
                ++runs;
                const std::string output = dir.file("out." + format.extensions.front());
                std::string command = shellQuote(TARVIO_RENDER_BINARY) + " --bits " + samples.name;
                if (keepOvers)
                    command += " --no-clip";
                for (const std::string& o : kOptions)
                    command += " " + o;
                command += " " + shellQuote(input) + " " + shellQuote(output);
                const CommandResult r = runCommand(command);
                ASSERT_EQ(r.status, 0) << r.err;
                EXPECT_NE(r.out.find(std::string(": ") + format.summary + ", " + samples.summary +
                                     ", 4 channels, " + std::to_string(kFrames) + " frames\n"),
                          std::string::npos)
                    << r.out;

                SF_INFO info{};
                SNDFILE* sf = sf_open(output.c_str(), SFM_READ, &info);
                ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
                EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, format.sndfileMajor);
                EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, samples.sndfileSubtype);
                EXPECT_EQ(info.channels, kOutChannels);
                EXPECT_EQ(info.samplerate, kRate);
                EXPECT_EQ(info.frames, kFrames);
                if (format.channelMask) {
                    int map[kOutChannels] = {};
                    EXPECT_EQ(sf_command(sf, SFC_GET_CHANNEL_MAP_INFO, map, sizeof map), SF_TRUE);
                    EXPECT_EQ(
                        std::vector<int>(map, map + kOutChannels),
                        (std::vector<int>{SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT,
                                          SF_CHANNEL_MAP_REAR_LEFT, SF_CHANNEL_MAP_REAR_RIGHT}))
                        << "FL FR BL BR";
                }
                std::uint32_t clipped = 0;
                if (samples.isFloat) {
                    std::vector<float> want(expected.size());
                    clipped = tarvio::pcm::float_from_double(
                        expected.data(), expected.size(), want.data(),
                        keepOvers ? tarvio::pcm::FloatRange::Unclipped
                                  : tarvio::pcm::FloatRange::FullScale);
                    std::vector<float> got(expected.size());
                    EXPECT_EQ(sf_readf_float(sf, got.data(), kFrames), kFrames);
                    EXPECT_EQ(firstDifference(got, want), "");
                } else {
                    const std::vector<int> want = encodedInts(expected, samples.bits, clipped);
                    std::vector<int> got(expected.size());
                    EXPECT_EQ(sf_readf_int(sf, got.data(), kFrames), kFrames);
                    EXPECT_EQ(firstDifference(got, want), "");
                }
                sf_close(sf);
                EXPECT_EQ(clipped, keepOvers ? 0u : overs);
                EXPECT_EQ(summaryClipped(r.out), static_cast<long long>(clipped)) << r.out;
            }
        }
    }
    EXPECT_GE(runs, 18);
}

// The generated manual page and bash completion against the tables they
// come from: every option of the option table has an entry in the manual
// page and is offered by the completion, which offers no other; and the
// entries and the completion of --law, --layout, --format and --bits name
// every gain law, layout, output format and sample format.
TEST(FormatMatrix, TheManualAndTheCompletionNameEveryRowOfEveryTable) {
    std::vector<std::string> formats, bits;
    for (const OutputFormat& f : outputFormats())
        formats.push_back(f.name);
    for (const SampleFormat& s : sampleFormats()) {
        if (!s.lossy)
            bits.push_back(s.name);
    }
    const std::vector<std::pair<std::string, std::vector<std::string>>> tables = {
        {"--law", tarvio::panLawNames()},
        {"--layout", tarvio::layoutNames()},
        {"--format", formats},
        {"--bits", bits},
    };
    const std::string manual = plainManual(readText(TARVIO_RENDER_MANUAL));
    std::set<std::string> names;
    for (const tarvio::render::OptionRow& row : tarvio::render::optionTable()) {
        std::string tag;
        for (const std::string& name : row.allNames()) {
            tag += (tag.empty() ? "" : ", ") + name;
            names.insert(name);
        }
        EXPECT_NE(manual.find(".TP\n" + tag), std::string::npos) << "no entry for " << tag;
    }
    EXPECT_EQ(completions({"-"}), names);
    for (const auto& [option, values] : tables) {
        SCOPED_TRACE(option);
        const std::size_t at = manual.find(".TP\n" + option + " ");
        ASSERT_NE(at, std::string::npos);
        const std::size_t start = at + option.size() + 5;
        const std::string listed = "|" + manual.substr(start, manual.find('\n', start) - start) +
                                   "|";
        const std::set<std::string> offered = completions({option, ""});
        for (const std::string& value : values) {
            EXPECT_NE(listed.find("|" + value + "|"), std::string::npos) << value << ": " << listed;
            // A pattern such as "ring:N[:FIRST]" is offered up to its colon.
            const std::size_t colon = value.find(':');
            const std::string word =
                colon == std::string::npos ? value : value.substr(0, colon + 1);
            EXPECT_EQ(offered.count(word), 1u) << value;
        }
    }
}
