// SPDX-License-Identifier: MIT
// wav2aiff in.wav out.aif: the samples of a 16-bit WAV file in an AIFF file.
#include <tarvio/aiff/wraiff.h>
#include <tarvio/wav/WavFile.h>

#include <iostream>
#include <vector>

int main(int argc, char** argv) try {
    if (argc != 3)
        return 2;
    WavInFile in(argv[1]);  // throws std::runtime_error
    const int channels = in.getNumChannels();
    WRAIFF out(argv[2], in.getSampleRate(), channels, 16);  // throws const char*
    std::vector<short> block(1024 * channels);
    while (int n = in.read(block.data(), static_cast<int>(block.size())))
        out.write(block.data(), n / channels);
    out.close();
    return 0;
} catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
} catch (const char* message) {
    std::cerr << message;
    return 1;
}
