// SPDX-License-Identifier: MIT

#include "render/Progress.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

namespace tarvio::render {

namespace {

constexpr double kInterval = 0.1;  // seconds between two drawings at least
constexpr int kBarWidth = 30;

// Writes seconds as m:ss or h:mm:ss into buf; returns the length.
int formatTime(char* buf, std::size_t size, double seconds) {
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    long long t = std::llround(std::min(seconds, 359999999.0));  // below 100000 hours
    if (t >= 3600)
        return std::snprintf(buf, size, "%lld:%02lld:%02lld", t / 3600, t / 60 % 60, t % 60);
    return std::snprintf(buf, size, "%lld:%02lld", t / 60, t % 60);
}

}  // namespace

bool progressWanted(bool quiet) {
    return !quiet && isatty(STDERR_FILENO) == 1;
}

double Progress::steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Progress::Progress(std::ostream& out, Clock clock)
    : out_(out), clock_(std::move(clock)), start_(clock_()), nextDraw_(start_) {}

void Progress::update(std::int64_t done, std::int64_t total) {
    done_ = done;
    total_ = total;
    double now = clock_();
    if (now >= nextDraw_ && !finished_) {
        draw(now);
        nextDraw_ = now + kInterval;
    }
}

void Progress::finish() {
    if (finished_)
        return;
    draw(clock_());
    out_.put('\n');
    out_.flush();
    finished_ = true;
}

void Progress::draw(double now) {
    const bool known = total_ > 0;
    const std::int64_t done = std::max<std::int64_t>(done_, 0);
    const double fraction = known ? std::min(1.0, static_cast<double>(done) / total_) : 0.0;
    const double elapsed = now - start_;

    char line[160];
    int n = 0;
    line[n++] = '\r';
    line[n++] = '[';
    const int filled = static_cast<int>(fraction * kBarWidth);
    for (int i = 0; i < kBarWidth; ++i)
        line[n++] = i < filled ? '#' : '-';
    line[n++] = ']';
    if (known)
        n += std::snprintf(line + n, sizeof line - n, " %3d%%", static_cast<int>(fraction * 100));
    else
        n += std::snprintf(line + n, sizeof line - n, "    ?%%");
    n += std::snprintf(line + n, sizeof line - n, "  elapsed ");
    n += formatTime(line + n, sizeof line - n, elapsed);
    n += std::snprintf(line + n, sizeof line - n, "  left ");
    if (known && done >= total_)
        n += formatTime(line + n, sizeof line - n, 0);
    else if (known && done > 0)
        n += formatTime(line + n, sizeof line - n,
                        elapsed * static_cast<double>(total_ - done) / static_cast<double>(done));
    else
        n += std::snprintf(line + n, sizeof line - n, "?");

    // Blank out what is left of a longer line drawn before.
    const int length = n - 1;
    for (int i = length; i < lastLength_ && n < static_cast<int>(sizeof line); ++i)
        line[n++] = ' ';
    lastLength_ = length;
    out_.write(line, n);
    out_.flush();
}

}  // namespace tarvio::render
