// SPDX-License-Identifier: MIT
// Round trips with libsndfile as an independent reader and writer of WAV.
#include <sndfile.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "wav/WavFile.h"

using testsupport::TempDir;

namespace {

struct Shape {
    int bits;
    int channels;
    int frames;
};

const Shape kShapes[] = {{16, 1, 1001}, {16, 2, 777}, {8, 1, 1001}, {8, 2, 333}, {16, 2, 1}};

// Deterministic samples covering the extremes; for 8-bit files only values
// the format holds exactly (multiples of 256).
std::vector<short> samplesFor(const Shape& s) {
    std::vector<short> v(static_cast<std::size_t>(s.frames) * s.channels);
    for (std::size_t i = 0; i < v.size(); ++i) {
        int x = static_cast<int>((i * 40503u + 12345u) % 65536u) - 32768;
        if (i % 11 == 0)
            x = (i % 22 == 0) ? 32767 : -32768;
        if (s.bits == 8)
            x = x / 256 * 256;
        v[i] = static_cast<short>(x);
    }
    return v;
}

std::string label(const Shape& s) {
    return std::to_string(s.bits) + " bit, " + std::to_string(s.channels) + " ch, " +
           std::to_string(s.frames) + " frames";
}

}  // namespace

TEST(WavPeer, FilesWrittenByLibsndfileReadExactly) {
    TempDir dir;
    for (const Shape& s : kShapes) {
        SCOPED_TRACE(label(s));
        const std::string path = dir.file("sf.wav");
        const std::vector<short> v = samplesFor(s);
        SF_INFO info = {};
        info.samplerate = 22050;
        info.channels = s.channels;
        info.format = SF_FORMAT_WAV | (s.bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
        SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
        ASSERT_EQ(sf_writef_short(sf, v.data(), s.frames), s.frames);
        sf_close(sf);

        WavInFile in(path.c_str());
        EXPECT_EQ(in.getNumBits(), s.bits);
        EXPECT_EQ(in.getNumChannels(), s.channels);
        EXPECT_EQ(in.getSampleRate(), 22050u);
        EXPECT_EQ(in.getNumSamples(), static_cast<unsigned>(s.frames));
        std::vector<short> got(v.size() + 8);
        EXPECT_EQ(in.read(got.data(), static_cast<int>(got.size())), static_cast<int>(v.size()));
        got.resize(v.size());
        EXPECT_EQ(got, v);
        EXPECT_EQ(in.eof(), 1);
    }
}

TEST(WavPeer, FilesWrittenByWavOutFileReadExactlyInLibsndfile) {
    TempDir dir;
    for (const Shape& s : kShapes) {
        SCOPED_TRACE(label(s));
        const std::string path = dir.file("ours.wav");
        const std::vector<short> v = samplesFor(s);
        {
            WavOutFile out(path.c_str(), 48000, s.bits, s.channels);
            // Two writes that split a frame, as a caller may do.
            out.write(v.data(), 1);
            out.write(v.data() + 1, static_cast<int>(v.size()) - 1);
        }
        SF_INFO info = {};
        SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.channels, s.channels);
        EXPECT_EQ(info.samplerate, 48000);
        EXPECT_EQ(info.frames, s.frames);
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK,
                  s.bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
        std::vector<short> got(v.size());
        EXPECT_EQ(sf_readf_short(sf, got.data(), s.frames), s.frames);
        sf_close(sf);
        EXPECT_EQ(got, v);
    }
}
