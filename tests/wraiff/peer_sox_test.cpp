// SPDX-License-Identifier: MIT
// sox and soxi as independent readers of the writer's files.
#include <gtest/gtest.h>

#include <vector>

#include "tests/wraiff/WriterTestUtil.h"

using testsupport::runCommand;
using testsupport::shellQuote;

namespace {

std::string soxi(const std::string& option, const std::string& path) {
    const testsupport::CommandResult r = runCommand("soxi " + option + " " + shellQuote(path));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

}  // namespace

TEST(WraiffPeerSox, FilesOfEveryCommonDepthReadBackExactly) {
    TARVIO_REQUIRE_PROGRAM("sox");
    TARVIO_REQUIRE_PROGRAM("soxi");
    testsupport::TempDir dir;
    for (const auto& f : wraifftest::peerFormats()) {
        SCOPED_TRACE(testing::Message() << f.bits << " bits");
        const std::string path = dir.file("peer" + std::to_string(f.bits) + ".aif");
        const std::string raw = dir.file("peer" + std::to_string(f.bits) + ".raw");
        const std::vector<long> values =
            wraifftest::peerValues(f.bits, static_cast<std::size_t>(f.frames * f.channels));
        wraifftest::writePeerFile(path, f.rate, f.channels, f.bits, values);

        EXPECT_EQ(soxi("-c", path), std::to_string(f.channels) + "\n");
        EXPECT_EQ(soxi("-s", path), std::to_string(f.frames) + "\n");
        EXPECT_EQ(soxi("-r", path), std::to_string(f.rate) + "\n");
        EXPECT_EQ(soxi("-b", path), std::to_string(f.bits) + "\n");

        // decoded by sox and written again little-endian: a real round trip
        const testsupport::CommandResult r =
            runCommand("sox " + shellQuote(path) + " -t raw -e signed-integer -b " +
                       std::to_string(f.bits) + " -L " + shellQuote(raw));
        ASSERT_EQ(r.status, 0) << r.err;
        testsupport::Bytes expected;
        for (long v : values)
            testsupport::appendLE(expected, static_cast<std::uint64_t>(v), f.bits / 8);
        EXPECT_EQ(testsupport::readFile(raw), expected);
    }
}
