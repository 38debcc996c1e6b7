// SPDX-License-Identifier: MIT
// Files written by libsndfile open with their parameters and read back with
// exactly the samples they hold, also with extra chunks around COMM and SSND.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstring>
#include <vector>

#include "common/byteorder.h"
#include "tests/rdaiff/PeerCheck.h"
#include "tests/support/AiffFixtures.h"
#include "tests/support/TestSupport.h"

using namespace fixture;
using namespace peer;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// Splits a FORM/AIFF file into its chunks (header, body and pad byte each).
std::vector<Bytes> chunksOf(const Bytes& file) {
    std::vector<Bytes> out;
    std::size_t p = 12;
    while (p + 8 <= file.size()) {
        std::size_t size = tarvio::bytes::getU32BE(&file[p + 4]);
        std::size_t end = p + 8 + size + (size % 2);
        if (end > file.size())
            end = file.size();
        out.emplace_back(file.begin() + static_cast<long>(p),
                         file.begin() + static_cast<long>(end));
        p = end;
    }
    return out;
}

bool isChunk(const Bytes& c, const char* id) {
    return std::memcmp(c.data(), id, 4) == 0;
}

class PeerTest : public ::testing::Test {
  protected:
    TempDir dir;
};

}  // namespace

TEST_F(PeerTest, LibsndfileFiles) {
    const int formats[] = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32};
    const int widths[] = {8, 16, 24, 32};
    for (int k = 0; k < 4; ++k) {
        for (int channels : {1, 3}) {
            const int bits = widths[k];
            const std::string path = dir.file("sf.aif");
            const auto expected = makeSamples(bits, static_cast<std::size_t>(channels) * 1000);
            // An even frame count: libsndfile pads odd 8-bit mono data with
            // a whole extra frame and counts it in COMM.
            SF_INFO info = {};
            info.samplerate = 22050;
            info.channels = channels;
            info.format = SF_FORMAT_AIFF | formats[k];
            SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
            ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
            sf_set_string(sf, SF_STR_TITLE, "odd");
            sf_set_string(sf, SF_STR_COMMENT, "a comment");
            std::vector<int> ints;
            for (long long v : expected)
                ints.push_back(static_cast<int>(v * (1LL << (32 - bits))));
            ASSERT_EQ(sf_write_int(sf, ints.data(), static_cast<sf_count_t>(ints.size())),
                      static_cast<sf_count_t>(ints.size()));
            sf_close(sf);
            SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
            expectReadsBack(path, channels, bits, 22050, expected);

            // The same file with odd-sized NAME and ANNO chunks moved in
            // front of COMM and a COMT chunk after SSND.
            Bytes before, after, rest;
            chunk(before, "NAME", {'a', 'b', 'c'});
            chunk(before, "ANNO", {'x'});
            chunk(after, "COMT", {0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 'h', 'i'});
            for (const Bytes& c : chunksOf(readFile(path))) {
                Bytes& to = isChunk(c, "COMM") || isChunk(c, "SSND") ? rest : before;
                to.insert(to.end(), c.begin(), c.end());
            }
            before.insert(before.end(), rest.begin(), rest.end());
            before.insert(before.end(), after.begin(), after.end());
            writeFile(path, form(before));
            expectReadsBack(path, channels, bits, 22050, expected);
        }
    }
}
