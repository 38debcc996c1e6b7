// SPDX-License-Identifier: MIT
// The command line of tarvio-render.
#ifndef TARVIO_RENDER_OPTIONS_H
#define TARVIO_RENDER_OPTIONS_H

#include <ostream>
#include <stdexcept>
#include <string>

#include "engine/GainLaw.h"
#include "render/OutputFormat.h"

namespace tarvio::render {

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
    const PanLaw* law = findPanLaw("bilinear");  // a row of panLaws()
    std::string pathFile;  // a breakpoint path instead of the rotations
    const OutputFormat* format = nullptr;  // a row of outputFormats()
    const SampleFormat* samples = nullptr;  // a row of sampleFormats()
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

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_OPTIONS_H
