// SPDX-License-Identifier: MIT
// Fuzzes WavInFile: open, every getter, read to the end in each sample type,
// rewind, and read again. Any input must end in a runtime_error or a clean
// result; a read loop that stops making progress is reported as a hang.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "wav/WavFile.h"

namespace {

constexpr int kChunk = 4093;  // odd, so frames are split across calls

template <typename T>
void drain(WavInFile& in, T* buffer, int chunk) {
    try {
        int idleReads = 0;
        while (!in.eof()) {
            int n = in.read(buffer, chunk);
            if (n < 0 || n > chunk)
                std::abort();
            // One empty read may be needed to notice the physical end of the
            // file; a second one in a row means the loop would never end.
            idleReads = n == 0 ? idleReads + 1 : 0;
            if (idleReads > 1)
                std::abort();
        }
        if (in.read(buffer, chunk) != 0)
            std::abort();
    } catch (const std::runtime_error&) {
        // Refused widths end the loop with an exception; that is fine.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = fuzzsupport::scratchPath(".wav");
    static char bytes[kChunk];
    static short shorts[kChunk];
    static float floats[kChunk];
    static double doubles[kChunk];
    fuzzsupport::writeFile(path, data, size);
    try {
        WavInFile in(path.c_str());
        volatile unsigned sink = 0;
        sink = sink + static_cast<unsigned>(in.getNumChannels()) +
               static_cast<unsigned>(in.getNumBits()) + in.getBytesPerSample() +
               in.getSampleRate() + in.getDataSizeInBytes() + in.getNumSamples() + in.getLengthMS();
        drain(in, bytes, kChunk);
        in.rewind();
        drain(in, shorts, kChunk);
        in.rewind();
        drain(in, floats, 3);
        in.rewind();
        drain(in, doubles, kChunk);
        in.close();
        in.close();
    } catch (const std::runtime_error&) {
        // A refused file is a correct outcome.
    }
    return 0;
}
