// SPDX-License-Identifier: MIT
// libsndfile as an independent reader of the writer's files.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <vector>

#include "tests/wraiff/WriterTestUtil.h"

TEST(WraiffPeerSndfile, FilesOfEveryCommonDepthReadBackExactly) {
    testsupport::TempDir dir;
    for (const auto& f : wraifftest::peerFormats()) {
        SCOPED_TRACE(testing::Message() << f.bits << " bits");
        const std::string path = dir.file("peer" + std::to_string(f.bits) + ".aif");
        const std::vector<long> values =
            wraifftest::peerValues(f.bits, static_cast<std::size_t>(f.frames * f.channels));
        wraifftest::writePeerFile(path, f.rate, f.channels, f.bits, values);

        SF_INFO info = {};
        SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.channels, f.channels);
        EXPECT_EQ(info.frames, f.frames);
        EXPECT_EQ(info.samplerate, f.rate);
        EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_AIFF);
        const int subtype[] = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24,
                               SF_FORMAT_PCM_32};
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, subtype[f.bits / 8 - 1]);

        // libsndfile scales every depth to the top of a 32-bit int
        std::vector<int> got(values.size() + f.channels, 12345);
        EXPECT_EQ(sf_readf_int(sf, got.data(), f.frames + 1), f.frames);
        sf_close(sf);
        const int shift = 32 - f.bits;
        for (std::size_t i = 0; i < values.size(); ++i)
            ASSERT_EQ(got[i], static_cast<int>(static_cast<unsigned long>(values[i]) << shift))
                << "sample " << i;
    }
}

// The application's path: doubles into a 16-bit file, read as shorts.
TEST(WraiffPeerSndfile, DoublesWrittenAt16BitsReadBackAsTheRoundedShorts) {
    testsupport::TempDir dir;
    const std::string path = dir.file("doubles.aif");
    std::vector<double> in;
    std::vector<short> expected;
    for (int k = -32768; k <= 32767; k += 7) {
        in.push_back((k + 0.25) / 32768.0);  // rounds down to k
        expected.push_back(static_cast<short>(k));
    }
    in.resize(in.size() / 4 * 4);
    expected.resize(in.size());
    {
        WRAIFF w(path.c_str(), 48000.0, 4, 16);
        w.write(in.data(), static_cast<long>(in.size() / 4));
        w.close();
    }
    SF_INFO info = {};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.samplerate, 48000);
    std::vector<short> got(expected.size());
    EXPECT_EQ(sf_readf_short(sf, got.data(), info.frames), static_cast<sf_count_t>(in.size() / 4));
    sf_close(sf);
    EXPECT_EQ(got, expected);
}
