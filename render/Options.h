// SPDX-License-Identifier: MIT
// The command line of tarvio-render.
#ifndef TARVIO_RENDER_OPTIONS_H
#define TARVIO_RENDER_OPTIONS_H

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "engine/GainLaw.h"
#include "engine/SpeakerLayout.h"
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
    // The loudspeakers: --layout's name or file, or --ambisonics ORDER as
    // "ambisonics:ORDER"; read when the run starts (see loadLayout).
    std::string layout = "quad";
    const PanLaw* law = nullptr;  // a row of panLaws(); null: the layout's default
    LawParams lawParams;          // --rolloff and --blur
    // --binaural: the SOFA file whose HRTFs turn the loudspeakers into two
    // ears; unset for loudspeaker output.
    std::optional<std::string> binaural;
    std::string pathFile;  // a breakpoint path instead of the rotations
    const OutputFormat* format = nullptr;  // a row of outputFormats()
    // A row of sampleFormats(); null until the input's precision decides
    // (see chooseSamples).
    const SampleFormat* samples = nullptr;
    // TPDF dither on or off as asked; unset: on when the output keeps fewer
    // bits than the input has.
    std::optional<bool> dither;
    std::optional<double> quality;      // 0..10, for the lossy formats
    std::optional<double> compression;  // 0..8, for FLAC
    std::string traceFile;
    double traceStep = 0.01;
    bool traceStepGiven = false;  // --trace-step was on the command line
    std::string plotFile;
    bool noClip = false;  // float output keeps samples beyond full scale
    double gainDb = 0.0;  // --gain, on top of --norm
    // --normalize: the output's peak at this many dBFS; --loudness: its
    // integrated loudness at this many LUFS. Each takes a first pass that
    // renders without writing.
    std::optional<double> normalizeTo;
    std::optional<double> loudnessTo;
    bool dryRun = false;  // the trace, the picture and the summary; no audio
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

// The output's sample format when --bits did not say: the input's precision
// where the format holds it (16-bit in, 16-bit out; 24 to 24; floating
// point to float), else the nearest the format holds (FLAC at most 24).
// `inputBits` is 0 for floating-point input.
const SampleFormat& chooseSamples(const OutputFormat& format, int inputBits);

// The loudspeakers `o.layout` names: a built-in layout, a ring, Ambisonic
// channels or a layout file. Throws UsageError for a name that is neither a
// layout nor a readable file, and std::runtime_error("FILE: line N: reason")
// for a malformed file.
SpeakerLayout loadLayout(const Options& o);

// The layout file `o.layout` names, or "" when it names a built-in layout,
// a ring or Ambisonic channels: the file the run reads for its loudspeakers.
std::string layoutFile(const Options& o);

// The law and the layout as one: throws UsageError when the law does not fit
// the layout (naming those that do) or its parameters are out of range.
Panner pannerFor(const Options& o, const SpeakerLayout& layout);

// Whether to dither: as asked, else when the output is integer and keeps
// fewer bits than the input (floating-point input counts as more than 24).
bool wantsDither(const Options& o, int inputBits);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_OPTIONS_H
