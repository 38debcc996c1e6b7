// Fixtures for the tests that run the tarvio program: input WAV files built
// byte by byte, running the built binary, and reading back its output.
#ifndef TARVIO_TESTS_SUPPORT_PROGRAMFIXTURES_H
#define TARVIO_TESTS_SUPPORT_PROGRAMFIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testsupport {

// A PCM WAV file built byte by byte; a test overrides the fields it falsifies,
// everything else follows the sample format.
struct WavSpec {
    int channels = 1;
    std::uint32_t rate = 44100;
    int bits = 16;
    std::vector<std::int16_t> samples;  // 16-bit samples, interleaved
    long blockAlign = -1;               // -1: bits * channels / 8
    long long dataLength = -1;          // -1: the bytes of `samples`
    Bytes before;                       // blocks between "WAVE" and "fmt "
};

Bytes wavBytes(const WavSpec& w);
void writeWav(const std::string& path, const WavSpec& w);

// Mono samples of both signs, zero among them.
std::vector<std::int16_t> samplePattern(int n);

// The program's arguments: input, output and the numbers (the six rotation
// parameters; a seventh is norm).
std::vector<std::string> programArgs(const std::string& in, const std::string& out,
                                     std::vector<std::string> numbers = {"1", "2", "0.5", "0.25",
                                                                         "0", "90"});

// The shell command that runs the built tarvio with `args`.
std::string tarvioCommand(const std::vector<std::string>& args);

// Runs the built tarvio with `args`; `prefix` is shell text put before the
// command (for example a ulimit).
CommandResult runTarvio(const std::vector<std::string>& args, const std::string& prefix = "");

bool endsWith(const std::string& s, const std::string& tail);

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

}  // namespace testsupport

#endif  // TARVIO_TESTS_SUPPORT_PROGRAMFIXTURES_H
