// SPDX-License-Identifier: MIT

#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzzsupport {

namespace {

// Scratch files are removed when the fuzzer exits normally.
std::vector<std::string>& scratchFiles() {
    static std::vector<std::string> files;
    return files;
}

void removeScratchFiles() {
    for (const std::string& f : scratchFiles())
        std::remove(f.c_str());
}

}  // namespace

std::string scratchPath(const char* suffix) {
    const char* base = std::getenv("TMPDIR");
    std::string path = std::string(base && *base ? base : "/tmp") + "/tarvio-fuzz-" +
                       std::to_string(static_cast<long>(::getpid())) + suffix;
    if (scratchFiles().empty())
        std::atexit(removeScratchFiles);
    scratchFiles().push_back(path);
    return path;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        std::abort();
    if (std::fclose(f) != 0)
        std::abort();
}

}  // namespace fuzzsupport
