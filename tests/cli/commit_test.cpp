// SPDX-License-Identifier: MIT
// Several outputs moved into place together: when one target cannot take
// its file, none of the others changes, whatever the order of the failure.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <stdexcept>
#include <string>

#include "cli/SafeOutput.h"
#include "tests/support/TestSupport.h"

using testsupport::Bytes;
using testsupport::entries;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

void fill(tarvio::SafeOutput& out, const Bytes& bytes) {
    out.prepare();
    ASSERT_FALSE(out.inPlace());
    writeFile(out.writePath(), bytes);
    out.opened();
}

}  // namespace

TEST(CommitAll, ATargetThatBecameADirectoryChangesNothing) {
    const Bytes earlier(100, 1);
    const Bytes fresh(50, 2);
    for (int broken : {0, 1, 2}) {
        SCOPED_TRACE(broken);
        TempDir dir;
        const std::string names[] = {"a.csv", "b.svg", "c.aif"};
        tarvio::SafeOutput a(dir.file(names[0]));
        tarvio::SafeOutput b(dir.file(names[1]));
        tarvio::SafeOutput c(dir.file(names[2]));
        for (const std::string& n : names)
            writeFile(dir.file(n), earlier);
        fill(a, fresh);
        fill(b, fresh);
        fill(c, fresh);
        ::unlink(dir.file(names[broken]).c_str());
        ASSERT_EQ(::mkdir(dir.file(names[broken]).c_str(), 0700), 0);
        EXPECT_THROW(tarvio::SafeOutput::commitAll({&a, &b, &c}), std::runtime_error);
        for (int i = 0; i < 3; ++i) {
            if (i != broken) {
                EXPECT_EQ(readFile(dir.file(names[i])), earlier) << names[i];
            }
        }
    }
}

TEST(CommitAll, AllMoveTogetherAndLeaveNothingBehind) {
    TempDir dir;
    writeFile(dir.file("a.csv"), Bytes(10, 1));
    tarvio::SafeOutput a(dir.file("a.csv"));
    tarvio::SafeOutput b(dir.file("b.aif"));
    fill(a, Bytes(3, 7));
    fill(b, Bytes(4, 8));
    tarvio::SafeOutput::commitAll({&a, &b});
    EXPECT_EQ(readFile(dir.file("a.csv")), Bytes(3, 7));
    EXPECT_EQ(readFile(dir.file("b.aif")), Bytes(4, 8));
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"a.csv", "b.aif"}));
}
