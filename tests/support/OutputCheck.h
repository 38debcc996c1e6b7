// SPDX-License-Identifier: MIT
// Reads back the output of the tarvio program (a four-channel 16-bit AIFF
// file in the writer's layout) and tells whether its header agrees with its
// data. Shared by the tests and the fuzz targets, so it uses no test
// framework.
#ifndef TARVIO_TESTS_SUPPORT_OUTPUTCHECK_H
#define TARVIO_TESTS_SUPPORT_OUTPUTCHECK_H

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// What the tests read from the program's output: the header, checked against
// the file's size, and the samples.
struct OutputFile {
    std::string fault;  // empty when the file is a consistent 4-channel 16-bit AIFF
    int channels = 0;
    int bits = 0;
    std::uint32_t frames = 0;
    double rate = 0;
    std::vector<std::int16_t> samples;  // only when the header agrees with the data
    bool ok() const { return fault.empty(); }
};

OutputFile readOutputFile(const std::string& path);

// The sample bytes of an AIFF file in the writer's layout (everything after
// the header), for comparing runs.
std::vector<unsigned char> sampleBytes(const std::string& path);

}  // namespace testsupport

#endif  // TARVIO_TESTS_SUPPORT_OUTPUTCHECK_H
