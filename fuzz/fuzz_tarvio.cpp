// SPDX-License-Identifier: MIT
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
#include "tests/support/OutputCheck.h"

namespace {

bool outputExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

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

    // The report and the warnings (clipping, mostly) are not looked at.
    std::ostringstream out;
    std::ostringstream warnings;
    int status = tarvio::run(static_cast<int>(args.size()), argv.data(), out, warnings);
    if (status != 0 && status != 1)
        __builtin_trap();
    // A successful run leaves a complete output whose header agrees with its
    // size; a failed one leaves none (or, at the size limit, a finished one).
    if (status == 0 || outputExists(outPath)) {
        if (!testsupport::readOutputFile(outPath).ok())
            __builtin_trap();
    }
    std::remove(outPath.c_str());
    return 0;
}
