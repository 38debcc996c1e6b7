#include "tests/support/ProgramFixtures.h"

#include <cmath>

namespace testsupport {

namespace {

std::uint64_t be(const Bytes& b, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | b[at + i];
    return v;
}

}  // namespace

Bytes wavBytes(const WavSpec& w) {
    const std::uint64_t sampleBytes = 2 * w.samples.size();
    const std::uint64_t blockAlign = w.blockAlign < 0
                                         ? static_cast<std::uint64_t>(w.bits * w.channels / 8)
                                         : static_cast<std::uint64_t>(w.blockAlign);
    Bytes b;
    appendTag(b, "RIFF");
    appendLE(b, 36 + w.before.size() + sampleBytes, 4);
    appendTag(b, "WAVE");
    b.insert(b.end(), w.before.begin(), w.before.end());
    appendTag(b, "fmt ");
    appendLE(b, 16, 4);
    appendLE(b, 1, 2);
    appendLE(b, static_cast<std::uint16_t>(w.channels), 2);
    appendLE(b, w.rate, 4);
    appendLE(b, std::uint64_t{w.rate} * blockAlign, 4);
    appendLE(b, blockAlign, 2);
    appendLE(b, static_cast<std::uint16_t>(w.bits), 2);
    appendTag(b, "data");
    appendLE(b, w.dataLength < 0 ? sampleBytes : static_cast<std::uint64_t>(w.dataLength), 4);
    for (std::int16_t s : w.samples)
        appendLE(b, static_cast<std::uint16_t>(s), 2);
    return b;
}

void writeWav(const std::string& path, const WavSpec& w) {
    writeFile(path, wavBytes(w));
}

std::vector<std::int16_t> samplePattern(int n) {
    std::vector<std::int16_t> s;
    for (int i = 0; i < n; ++i)
        s.push_back(static_cast<std::int16_t>((i * 2741LL) % 40001 - 20000));
    return s;
}

std::vector<std::string> programArgs(const std::string& in, const std::string& out,
                                     std::vector<std::string> numbers) {
    std::vector<std::string> a = {in, out};
    a.insert(a.end(), numbers.begin(), numbers.end());
    return a;
}

std::string tarvioCommand(const std::vector<std::string>& args) {
    std::string cmd = shellQuote(TARVIO_BINARY);
    for (const std::string& a : args)
        cmd += " " + shellQuote(a);
    return cmd;
}

CommandResult runTarvio(const std::vector<std::string>& args, const std::string& prefix) {
    return runCommand(prefix + tarvioCommand(args));
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

OutputFile readOutputFile(const std::string& path) {
    OutputFile a;
    const Bytes b = readFile(path);
    const std::uint64_t size = b.size();
    if (size < 54)
        return a.fault = "shorter than a header: " + std::to_string(size) + " bytes", a;
    if (std::string(b.begin(), b.begin() + 4) != "FORM" ||
        std::string(b.begin() + 8, b.begin() + 16) != "AIFFCOMM" || be(b, 16, 4) != 18 ||
        std::string(b.begin() + 38, b.begin() + 42) != "SSND")
        return a.fault = "not the writer's layout", a;
    a.channels = static_cast<int>(be(b, 20, 2));
    a.frames = static_cast<std::uint32_t>(be(b, 22, 4));
    a.bits = static_cast<int>(be(b, 26, 2));
    // The 80-bit rate: sign and exponent, then a 64-bit mantissa whose top bit
    // is the integer bit.
    const int exponent = static_cast<int>(be(b, 28, 2) & 0x7FFF);
    a.rate = std::ldexp(static_cast<double>(be(b, 30, 8)), exponent - 16383 - 63);
    if (a.channels != 4 || a.bits != 16)
        return a.fault = "not four channels of 16 bits", a;
    if (be(b, 4, 4) != size - 8)
        return a.fault = "FORM size " + std::to_string(be(b, 4, 4)) + ", file " +
                         std::to_string(size) + " bytes",
               a;
    if (be(b, 42, 4) != size - 46 || be(b, 46, 4) != 0 || be(b, 50, 4) != 0)
        return a.fault = "SSND size " + std::to_string(be(b, 42, 4)) + ", file " +
                         std::to_string(size) + " bytes",
               a;
    if (std::uint64_t{a.frames} * 8 != size - 54)
        return a.fault = std::to_string(a.frames) + " frames, " + std::to_string(size - 54) +
                         " data bytes",
               a;
    for (std::size_t i = 54; i + 1 < b.size(); i += 2)
        a.samples.push_back(static_cast<std::int16_t>(be(b, i, 2)));
    return a;
}

}  // namespace testsupport
