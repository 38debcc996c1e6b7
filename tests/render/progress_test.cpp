// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "render/Progress.h"

using tarvio::render::Progress;

namespace {

long drawings(const std::string& s) {
    return static_cast<long>(std::count(s.begin(), s.end(), '\r'));
}

}  // namespace

TEST(Progress, DrawsAtMostTenTimesASecondAndEndsWithTheFinalLine) {
    double now = 100;
    std::ostringstream out;
    Progress progress(out, [&now] { return now; });

    progress.update(0, 1000);  // the first call draws at once
    EXPECT_EQ(out.str(), "\r[------------------------------]   0%  elapsed 0:00  left ?");

    // A burst of calls within a tenth of a second draws nothing more.
    for (int i = 1; i <= 1000; ++i) {
        now = 100 + 0.099 * i / 1000;
        progress.update(i / 10, 1000);
    }
    EXPECT_EQ(drawings(out.str()), 1);

    now = 100.1;
    progress.update(100, 1000);
    EXPECT_EQ(drawings(out.str()), 2);

    now = 104;
    progress.update(500, 1000);
    const std::string half = "\r[###############---------------]  50%  elapsed 0:04  left 0:04";
    EXPECT_EQ(out.str().substr(out.str().size() - half.size()), half);

    // finish() draws the last state at once and ends the line, once.
    now = 104.01;
    progress.update(1000, 1000);
    EXPECT_EQ(drawings(out.str()), 3);
    now = 104.02;
    progress.finish();
    progress.finish();
    const std::string last = "\r[##############################] 100%  elapsed 0:04  left 0:00\n";
    ASSERT_GE(out.str().size(), last.size());
    EXPECT_EQ(out.str().substr(out.str().size() - last.size()), last);
    EXPECT_EQ(drawings(out.str()), 4);

    // An unknown total neither divides by zero nor guesses.
    std::ostringstream unknown;
    now = 0;
    Progress open(unknown, [&now] { return now; });
    now = 3661;
    open.update(12345, 0);
    open.finish();
    const std::string line = "\r[------------------------------]    ?%  elapsed 1:01:01  left ?";
    EXPECT_EQ(unknown.str(), line + line + "\n");
}
