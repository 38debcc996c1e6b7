// Fuzzes the whole program: a fuzzed WAV input run with fuzzed numeric
// arguments. The first byte chooses whether `norm` is given, the next 56 bytes
// are the seven numbers (as doubles, printed the way a user could type them,
// infinities and NaNs included), and the rest is the input file. Besides
// crashes and undefined behaviour it catches a run that leaves an output
// whose header disagrees with its data.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "app/Tarvio.h"
#include "fuzz/FuzzSupport.h"

namespace {

bool outputExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

// The four-channel 16-bit file of the program: FORM size = file size - 8,
// SSND size = file size - 46, frames x 8 = the data bytes.
bool completeOutput(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned char h[54];
    const bool whole = std::fread(h, 1, sizeof h, f) == sizeof h;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    if (!whole || size < 54)
        return false;
    const std::uint64_t data = static_cast<std::uint64_t>(size) - 54;
    return std::memcmp(h, "FORM", 4) == 0 && be32(h + 4) == data + 46 &&
           std::memcmp(h + 8, "AIFFCOMM", 8) == 0 && std::memcmp(h + 38, "SSND", 4) == 0 &&
           be32(h + 42) == data + 8 && std::uint64_t{be32(h + 22)} * 8 == data;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silenceStderrStream();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHead = 1 + 7 * sizeof(double);
    if (size < kHead)
        return 0;
    static const std::string inPath = fuzzsupport::scratchPath(".wav");
    static const std::string outPath = fuzzsupport::scratchPath("-out.aif");
    fuzzsupport::writeFile(inPath, data + kHead, size - kHead);

    std::vector<std::string> args = {"tarvio", inPath, outPath};
    const int numbers = (data[0] & 1) ? 7 : 6;
    for (int i = 0; i < numbers; ++i) {
        double v;
        std::memcpy(&v, data + 1 + i * sizeof(double), sizeof v);
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", v);
        args.push_back(text);
    }
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);

    std::ostringstream out;
    int status = tarvio::run(static_cast<int>(args.size()), argv.data(), out);
    if (status != 0 && status != 1)
        __builtin_trap();
    // A successful run leaves a complete output whose header agrees with its
    // size; a failed one leaves either none or one the writer could finish.
    if (status == 0 || outputExists(outPath)) {
        if (!completeOutput(outPath))
            __builtin_trap();
    }
    std::remove(outPath.c_str());
    return 0;
}
