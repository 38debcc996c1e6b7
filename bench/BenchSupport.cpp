// SPDX-License-Identifier: MIT

#include "bench/BenchSupport.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tarvio::bench {

void fillNoise(double* out, std::size_t count, double amplitude) {
    std::uint32_t state = 12345u;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const double unit = static_cast<double>(state >> 8) / 16777216.0;  // [0, 1)
        out[i] = (2.0 * unit - 1.0) * amplitude;
    }
}

ScratchFile::ScratchFile(const char* stem) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/tarvio-bench-" + stem + "-" +
            std::to_string(static_cast<long>(::getpid()));
}

ScratchFile::~ScratchFile() {
    std::remove(path_.c_str());
}

}  // namespace tarvio::bench
