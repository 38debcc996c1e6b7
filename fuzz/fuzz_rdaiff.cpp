// SPDX-License-Identifier: MIT
// Fuzzes RDAIFF: open, every accessor (the name too), the report, reads in every destination
// type that fits, and rewind. Any input must end in a `const char*` message or
// a clean result.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "aiff/rdaiff.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr long kFrames = 64;         // frames per read call
constexpr long kMaxChannels = 1000;  // the most channels the reader opens

template <typename T>
void drain(RDAIFF& in, std::vector<T>& buffer) {
    try {
        // Each successful call consumes whole frames, so the loop ends; the
        // frame count of a hostile header is bounded by the data present.
        while (in.frames_togo() > 0) {
            long want = in.frames_togo() < kFrames ? static_cast<long>(in.frames_togo()) : kFrames;
            in.read(buffer.data(), want);
        }
        in.read(buffer.data(), 0);
    } catch (const char*) {
        // Refused destination types and short data end here.
    }
    try {
        in.rewind();
    } catch (const char*) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = fuzzsupport::scratchPath(".aif");
    static std::vector<float> floats(kFrames * kMaxChannels);
    static std::vector<double> doubles(kFrames * kMaxChannels);
    static std::vector<signed char> chars(kFrames * kMaxChannels);
    static std::vector<short> shorts(kFrames * kMaxChannels);
    static std::vector<int> ints(kFrames * kMaxChannels);
    static std::vector<long> longs(kFrames * kMaxChannels);
    static std::vector<long long> longlongs(kFrames * kMaxChannels);
    fuzzsupport::writeFile(path, data, size);

    RDAIFF in;
    bool opened = true;
    try {
        in.open(path.c_str());
    } catch (const char*) {
        opened = false;
    }
    if (!in.is_open())
        return 0;
    try {
        std::ostringstream report;
        in.info(report);
        volatile double sink = in.samplerate() + in.channels() + in.bits() +
                               static_cast<double>(in.frames()) +
                               static_cast<double>(in.frames_togo()) +
                               static_cast<double>(std::string(in.name()).size());
        (void)sink;
    } catch (const char*) {
        std::abort();  // the accessors of an open reader never refuse
    }
    if (opened && (in.channels() < 1 || in.channels() > kMaxChannels))
        std::abort();
    if (!opened) {
        // An open that failed after the file was opened leaves it open with
        // whatever was read; reading from it must still be safe.
        if (in.channels() >= 1 && in.channels() <= kMaxChannels) {
            try {
                in.read(doubles.data(), 1);
            } catch (const char*) {
            }
        }
        in.close();
        return 0;
    }
    drain(in, floats);
    drain(in, doubles);
    drain(in, chars);
    drain(in, shorts);
    drain(in, ints);
    drain(in, longs);
    drain(in, longlongs);
    try {
        in.close();
    } catch (const char*) {
    }
    return 0;
}
