// SPDX-License-Identifier: MIT
// readback in.wav out.aif: reads the AIFF file that wav2aiff made with RDAIFF
// and checks it against the WAV file, read again with WavInFile: the format
// and every sample.
#include <tarvio/aiff/rdaiff.h>
#include <tarvio/wav/WavFile.h>

#include <algorithm>
#include <iostream>
#include <vector>

int main(int argc, char** argv) try {
    if (argc != 3)
        return 2;
    WavInFile wav(argv[1]);
    RDAIFF aiff(argv[2]);
    const int channels = wav.getNumChannels();
    if (aiff.channels() != channels || aiff.bits() != 16 ||
        aiff.samplerate() != wav.getSampleRate() || aiff.frames() != wav.getNumSamples()) {
        std::cerr << "the AIFF file's format differs from the WAV file's\n";
        return 1;
    }
    std::vector<short> expected(1024 * channels), got(expected.size());
    long long frames = 0;
    while (int n = wav.read(expected.data(), static_cast<int>(expected.size()))) {
        aiff.read(got.data(), n / channels);
        if (!std::equal(expected.begin(), expected.begin() + n, got.begin())) {
            std::cerr << "samples differ in the block at frame " << frames << '\n';
            return 1;
        }
        frames += n / channels;
    }
    if (frames == 0 || aiff.frames_togo() != 0) {
        std::cerr << "read " << frames << " frames of " << aiff.frames() << '\n';
        return 1;
    }
    std::cout << frames << " frames of " << channels << " channels read back\n";
    return 0;
} catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
} catch (const char* message) {
    std::cerr << message;
    return 1;
}
