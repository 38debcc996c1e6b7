// SPDX-License-Identifier: MIT
// Helpers shared by the AIFF writer tests: reading counts back from the
// writer's report, catching its `const char*` messages and the file's data.
#ifndef TARVIO_TESTS_WRAIFF_WRITERTESTUTIL_H
#define TARVIO_TESTS_WRAIFF_WRITERTESTUTIL_H

#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "aiff/AiffLayout.h"
#include "aiff/wraiff.h"
#include "common/byteorder.h"
#include "tests/support/TestSupport.h"

namespace wraifftest {

// The number after `label` in the writer's report, or 0 when the line is absent.
inline unsigned long long reportValue(WRAIFF& w, const std::string& label) {
    std::ostringstream os;
    w.info(os);
    const std::string text = os.str();
    const std::size_t at = text.find(label);
    if (at == std::string::npos)
        return 0;
    return std::stoull(text.substr(at + label.size()));
}
inline unsigned long long clippedCount(WRAIFF& w) {
    return reportValue(w, "clipped: ");
}
inline unsigned long long frameCount(WRAIFF& w) {
    return reportValue(w, "frames: ");
}

// What `sink` (a writer's warning sink) has collected since the last call;
// empties it.
inline std::string taken(std::ostringstream& sink) {
    const std::string text = sink.str();
    sink.str("");
    return text;
}

// Runs `f` and returns the `const char*` message it threw ("" if none).
template <typename F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const char* message) {
        return message;
    }
    return "";
}

// The sample bytes of a finished file (everything after the header).
inline testsupport::Bytes dataOf(const std::string& path) {
    constexpr std::size_t header = tarvio::aiff::kHeaderBytes;
    testsupport::Bytes b = testsupport::readFile(path);
    return b.size() < header ? testsupport::Bytes()
                             : testsupport::Bytes(b.begin() + header, b.end());
}

// Floating-point samples as a file of `bits` bits should hold them, built on
// std::round: the nearest integer, halves away from zero, clipped to the
// depth and counted in `clips`; NaN gives 0.
inline testsupport::Bytes referenceBytes(const std::vector<double>& in, int bits,
                                         unsigned long long& clips) {
    const double fs = std::ldexp(1.0, bits - 1);
    testsupport::Bytes out;
    clips = 0;
    for (double x : in) {
        double r = std::isnan(x) ? 0.0 : std::round(x * fs);
        if (r > fs - 1) {
            r = fs - 1;
            ++clips;
        } else if (r < -fs) {
            r = -fs;
            ++clips;
        }
        testsupport::appendBE(out, static_cast<std::uint64_t>(static_cast<long long>(r)), bits / 8);
    }
    return out;
}

// Sample values for the peer tests: both extremes of the depth, zero, +-1 and
// pseudo-random values across the whole range.
inline std::vector<long> peerValues(int bits, std::size_t count) {
    const long max = static_cast<long>((std::uint64_t{1} << (bits - 1)) - 1);
    std::vector<long> v = {-max - 1, max, 0, -1, 1};
    std::mt19937_64 rng(static_cast<unsigned>(bits));
    std::uniform_int_distribution<long> dist(-max - 1, max);
    while (v.size() < count)
        v.push_back(dist(rng));
    v.resize(count);
    return v;
}

// Writes `values` (at the file's depth) as a finished file.
inline void writePeerFile(const std::string& path, double rate, short channels, short bits,
                          const std::vector<long>& values) {
    WRAIFF w(path.c_str(), rate, channels, bits);
    w.write(values.data(), static_cast<long>(values.size() / channels));
    w.close();
}

// The depths, channel counts and rates of the peer files (odd frame and
// channel counts, so that 8-bit data has an odd size).
struct PeerFormat {
    short bits, channels;
    int rate;
    long frames;
};
inline std::vector<PeerFormat> peerFormats() {
    return {{8, 3, 8000, 333}, {16, 4, 44100, 2000}, {24, 2, 96000, 1001}, {32, 1, 22050, 777}};
}

}  // namespace wraifftest

#endif  // TARVIO_TESTS_WRAIFF_WRITERTESTUTIL_H
