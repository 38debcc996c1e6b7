// SPDX-License-Identifier: MIT
// Fixtures for the tests that run the tarvio program: input WAV files built
// byte by byte, running the built binary, and reading back its output.
#ifndef TARVIO_TESTS_SUPPORT_PROGRAMFIXTURES_H
#define TARVIO_TESTS_SUPPORT_PROGRAMFIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/OutputCheck.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WavFixtures.h"

namespace testsupport {

using wavfix::wavBytes;
using wavfix::WavSpec;

void writeWav(const std::string& path, const WavSpec& w);

// Mono samples of both signs, zero among them.
std::vector<std::int16_t> samplePattern(int n);

// The program's arguments: input, output and the numbers (the six rotation
// parameters; a seventh is norm).
std::vector<std::string> programArgs(const std::string& in, const std::string& out,
                                     std::vector<std::string> numbers = {"1", "2", "0.5", "0.25",
                                                                         "0", "90"});

// The shell command that runs the built tarvio with `args`.
std::string tarvioCommand(const std::vector<std::string>& args,
                          const std::string& binary = TARVIO_BINARY);

// Runs the built tarvio with `args`; `prefix` is shell text put before the
// command (for example a ulimit).
CommandResult runTarvio(const std::vector<std::string>& args, const std::string& prefix = "");

bool endsWith(const std::string& s, const std::string& tail);

}  // namespace testsupport

#endif  // TARVIO_TESTS_SUPPORT_PROGRAMFIXTURES_H
