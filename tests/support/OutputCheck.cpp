// SPDX-License-Identifier: MIT

#include "tests/support/OutputCheck.h"

#include <fstream>
#include <iterator>

#include "aiff/AiffLayout.h"

namespace testsupport {

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::size_t kHeaderBytes = tarvio::aiff::kHeaderBytes;

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint64_t be(const Bytes& b, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | b[at + i];
    return v;
}

}  // namespace

OutputFile readOutputFile(const std::string& path) {
    namespace at = tarvio::aiff;
    OutputFile a;
    const Bytes b = readAll(path);
    const std::uint64_t size = b.size();
    if (size < kHeaderBytes)
        return a.fault = "shorter than a header: " + std::to_string(size) + " bytes", a;
    const std::string tags(b.begin(), b.begin() + kHeaderBytes);
    if (tags.compare(at::kFormIdAt, 4, "FORM") != 0 ||
        tags.compare(at::kFormTypeAt, 8, "AIFFCOMM") != 0 ||
        be(b, at::kCommSizeAt, 4) != at::kCommBodyBytes ||
        tags.compare(at::kSsndIdAt, 4, "SSND") != 0)
        return a.fault = "not the writer's layout", a;
    a.channels = static_cast<int>(be(b, at::kChannelsAt, 2));
    a.frames = static_cast<std::uint32_t>(be(b, at::kFramesAt, 4));
    a.bits = static_cast<int>(be(b, at::kBitsAt, 2));
    a.rate = at::decode_extended(b.data() + at::kRateAt);
    if (a.channels != 4 || a.bits != 16)
        return a.fault = "not four channels of 16 bits", a;
    const std::uint64_t data = size - kHeaderBytes;
    if (be(b, at::kFormSizeAt, 4) != at::kFormOverhead + data)
        return a.fault = "FORM size " + std::to_string(be(b, at::kFormSizeAt, 4)) + ", file " +
                         std::to_string(size) + " bytes",
               a;
    if (be(b, at::kSsndSizeAt, 4) != at::kSsndOverhead + data || be(b, at::kDataOffsetAt, 4) != 0 ||
        be(b, at::kBlockSizeAt, 4) != 0)
        return a.fault = "SSND size " + std::to_string(be(b, at::kSsndSizeAt, 4)) + ", file " +
                         std::to_string(size) + " bytes",
               a;
    if (std::uint64_t{a.frames} * 8 != data)
        return a.fault =
                   std::to_string(a.frames) + " frames, " + std::to_string(data) + " data bytes",
               a;
    for (std::size_t i = kHeaderBytes; i + 1 < b.size(); i += 2)
        a.samples.push_back(static_cast<std::int16_t>(be(b, i, 2)));
    return a;
}

std::vector<unsigned char> sampleBytes(const std::string& path) {
    const Bytes b = readAll(path);
    return b.size() < kHeaderBytes ? Bytes() : Bytes(b.begin() + kHeaderBytes, b.end());
}

}  // namespace testsupport
