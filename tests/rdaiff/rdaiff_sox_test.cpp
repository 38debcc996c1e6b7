// SPDX-License-Identifier: MIT
// Files written by sox open with their parameters and read back with exactly
// the samples they hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/rdaiff/PeerCheck.h"
#include "tests/support/AiffFixtures.h"
#include "tests/support/TestSupport.h"

using namespace fixture;
using namespace peer;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::writeFile;

TEST(SoxPeer, SoxFiles) {
    TempDir dir;
    TARVIO_REQUIRE_PROGRAM("sox");
    for (int bits : {8, 16, 24, 32}) {
        for (int channels : {1, 2, 4}) {
            const auto expected = makeSamples(bits, static_cast<std::size_t>(channels) * 777);
            Bytes raw;
            for (long long v : expected)
                appendBE(raw, static_cast<std::uint64_t>(v), bits / 8);
            writeFile(dir.file("in.raw"), raw);
            const std::string out = dir.file("sox.aif");
            const auto r =
                runCommand("sox -t raw -r 48000 -e signed -b " + std::to_string(bits) + " -c " +
                           std::to_string(channels) + " -B " + shellQuote(dir.file("in.raw")) +
                           " --comment 'made by sox' " + shellQuote(out));
            ASSERT_EQ(r.status, 0) << r.err;
            SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
            expectReadsBack(out, channels, bits, 48000, expected);
        }
    }
}
