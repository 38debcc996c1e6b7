// SPDX-License-Identifier: MIT
// The command line of tarvio-render.
#ifndef TARVIO_RENDER_OPTIONS_H
#define TARVIO_RENDER_OPTIONS_H

#include <ostream>
#include <stdexcept>
#include <string>

#include "engine/GainLaw.h"

namespace tarvio::render {

enum class Format { Aiff, Wav, W64, Rf64, Flac };
enum class Depth { Pcm16, Pcm24, Pcm32, Float };

// A rotation frequency sweeping from `init` to `end` Hz over the file.
struct Sweep {
    double init = 0.0;
    double end = 0.0;
};

struct Options {
    std::string input;
    std::string output;
    Sweep rot1;  // drives x
    Sweep rot2;  // drives y
    double angle1 = 0.0;
    double angle2 = 0.0;
    double norm = 1.0;
    GainLaw law = GainLaw::Bilinear;
    std::string pathFile;  // a breakpoint path instead of the rotations
    Format format = Format::Aiff;
    Depth depth = Depth::Pcm16;
    std::string traceFile;
    double traceStep = 0.01;
    bool traceStepGiven = false;  // --trace-step was on the command line
    std::string plotFile;
    bool noClip = false;  // float output keeps samples beyond full scale
    bool quiet = false;
};

// A usage error found after the command line was read (one that needs the
// input's header): the program ends with status 2, like for a bad option.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads the command line into `options`. Returns -1 when the run should go
// on; otherwise the exit status the program ends with, after printing what
// it had to: 0 for --help (on `out`) and --version, 2 for a usage error (one
// line on `err`).
int parseOptions(int argc, const char* const* argv, Options& options, std::ostream& out,
                 std::ostream& err);

// Names for messages and the summary.
const char* formatName(Format format);
const char* depthName(Depth depth);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_OPTIONS_H
