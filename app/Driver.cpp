// The run driver: banner, command line, input and output files, parameter
// report, block loop, the writer's report and the error handlers.
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>

#include "aiff/wraiff.h"
#include "app/Tarvio.h"
#include "wav/WavFile.h"

namespace tarvio {

namespace {

const char* const kUsage =
    "syntax is 'tarvio in.wav out.aif f1_init f1_end f2_init f2_end angle1 angle2 [norm]\n";

void printBanner(std::ostream& out) {
    out << "[Tarvio, ver. 1.00]" << std::endl;
    out << std::endl;
    out << "minimalistic four-channel spatializer" << std::endl;
    out << "moves a mono mixdown of a WAV file around four loudspeakers of a square" << std::endl;
    out << "free software: anyone may use, copy, change and pass it on" << std::endl;
    out << std::endl;
}

// True when both paths name one existing file: the same device and inode,
// however the paths are spelled (relative, through "..", a hard or a symbolic
// link). A path that does not exist (yet) names no file that could be shared.
bool sameFile(const char* a, const char* b) {
    struct stat sa;
    struct stat sb;
    if (::stat(a, &sa) != 0 || ::stat(b, &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The reader counts frames unsigned; the spatializer only needs the number of
// whole blocks from it. A count beyond INT_MAX (possible only when a header's
// block alignment does not match its sample format) is held at INT_MAX, so the
// block count stays positive and the sweeps keep their direction.
int framesForSetup(unsigned frames) {
    return frames > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(frames);
}

// The output file a run has created: the file itself (a symbolic link is
// followed to it), remembered by device and inode so that a failed run removes
// exactly that file and nothing else (not a device such as /dev/full, not a
// file that has taken the name's place since).
struct CreatedOutput {
    bool known = false;
    bool finished = false;  // the writer completed the header; the file is consistent
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

void rememberOutput(const char* path, CreatedOutput& output) {
    char* resolved = ::realpath(path, nullptr);
    if (!resolved)
        return;
    output.path = resolved;
    std::free(resolved);
    struct stat st;
    if (::lstat(output.path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        output.known = true;
        output.device = st.st_dev;
        output.inode = st.st_ino;
    }
}

// A run that fails after creating its output keeps the output only when the
// writer could finish it: then its header holds exactly the frames written.
// A write that failed half-way (a full disk, a file size limit) leaves the
// provisional header, which claims far more frames than the file holds; such
// a file is removed.
void removeUnfinishedOutput(const CreatedOutput& output) {
    struct stat st;
    if (!output.known || output.finished || ::lstat(output.path.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return;
    if (st.st_dev == output.device && st.st_ino == output.inode)
        std::remove(output.path.c_str());
}

// The working buffers grow with the channel count (channels x 1024 samples,
// 268 MB for the 32767 channels a WAV header can declare); when they do not
// fit, say so in words.
Spatializer makeSpatializer(const SpatializerParams& params, int channels, double rate,
                            int frames) {
    try {
        return Spatializer(params, channels, rate, frames);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("not enough memory for the working buffers of " +
                                 std::to_string(channels) + " channels");
    }
}

// After a failure, finishes the output as the writer's destructor would, but
// learns whether the header could be completed. A failure to finish is told on
// the error stream, as the destructor tells it.
void finishAfterFailure(WRAIFF& writer, CreatedOutput& output) {
    if (!writer.is_open())
        return;
    try {
        writer.close();
        output.finished = true;
    } catch (const char* message) {
        std::cerr << (message ? message : "") << std::flush;
    }
}

// Everything between creating the output and closing it: arguments, report,
// setup and the block loop. The spatializer's buffers are released before the
// caller closes the writer.
void spatializeInto(WRAIFF& writer, WavInFile& reader, int argc, const char* const* argv,
                    std::ostream& out, bool& progressOpen) {
    const int nargs = argc - 1;
    const int channels = reader.getNumChannels();
    const double rate = reader.getSampleRate();
    const unsigned frames = reader.getNumSamples();

    SpatializerParams params;
    params.f1_init = std::atof(argv[3]);
    params.f1_end = std::atof(argv[4]);
    params.f2_init = std::atof(argv[5]);
    params.f2_end = std::atof(argv[6]);
    params.angle1 = std::atof(argv[7]);
    params.angle2 = std::atof(argv[8]);
    params.norm = nargs == 9 ? std::atof(argv[9]) : 1.0;

    out << "sampling rate        = " << rate << std::endl;
    out << "original channels    = " << channels << std::endl;
    out << "natural frequency    = " << rate / static_cast<double>(frames) << " Hz" << std::endl;
    out << "rotation frequencies = " << params.f1_init << " Hz -> " << params.f1_end << " and "
        << params.f2_init << " Hz -> " << params.f2_end << " Hz" << std::endl;
    out << "starting angles      = " << params.angle1 << " deg, " << params.angle2 << " deg"
        << std::endl;
    out << "amp. normalization   = " << params.norm << std::endl;
    out << std::endl;

    Spatializer spatializer = makeSpatializer(params, channels, rate, framesForSetup(frames));

    out << "spatializing..." << std::flush;
    progressOpen = true;
    while (!reader.eof()) {
        const int n = reader.read(spatializer.inBlock(), spatializer.inBlockCapacity());
        const int blockFrames = spatializer.processBlock(n);
        writer.write(spatializer.outBlock(), blockFrames);
        spatializer.advanceSweeps();
    }
    out << "done" << std::endl;
    progressOpen = false;
    out << std::endl;

    writer.info(out);
    spatializer.release();
}

// One whole run after the banner. Everything that owns a file or a buffer is
// local here, so that when an exception leaves, the buffers are released, the
// output is finished as far as it can be, and the writer and the reader are
// destroyed, in that order, before the caller's handler prints its line.
// `progressOpen` is true while the progress text waits for its "done".
void spatialize(int argc, const char* const* argv, std::ostream& out, bool& progressOpen,
                CreatedOutput& output) {
    const int nargs = argc - 1;
    if (nargs != 8 && nargs != 9)
        throw std::runtime_error(kUsage);

    WavInFile reader(argv[1]);
    if (reader.getNumBits() != 16)
        throw std::runtime_error("invalid format: only 16 bit files allowed");
    const int channels = reader.getNumChannels();
    if (channels < 1)
        throw std::runtime_error("invalid format: channel count must be at least 1");
    const double rate = reader.getSampleRate();

    // Creating the output truncates it; it must not be the file still to be read.
    if (sameFile(argv[1], argv[2]))
        throw std::runtime_error("input and output are the same file");

    WRAIFF writer(argv[2], rate, 4, 16);
    if (!writer.is_open())
        throw std::runtime_error("cannot create output AIFF file");
    rememberOutput(argv[2], output);
    try {
        spatializeInto(writer, reader, argc, argv, out, progressOpen);
        writer.close();
        output.finished = true;
    } catch (...) {
        finishAfterFailure(writer, output);
        throw;
    }
}  // the writer, then the reader, are destroyed here

// An error line always starts a line of its own, also when it interrupts the
// progress text.
void endProgress(std::ostream& out, bool& progressOpen) {
    if (progressOpen)
        out << std::endl;
    progressOpen = false;
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out) {
    printBanner(out);
    bool progressOpen = false;
    CreatedOutput output;
    try {
        spatialize(argc, argv, out, progressOpen, output);
        return 0;
    } catch (const char* message) {
        // The AIFF writer's texts end with their own newline.
        endProgress(out, progressOpen);
        out << "Error: " << (message ? message : "") << std::endl;
    } catch (const std::exception& e) {
        endProgress(out, progressOpen);
        out << "Error: " << e.what() << std::endl;
    } catch (...) {
        endProgress(out, progressOpen);
        out << "Fatal error: unknown exception" << std::endl;
    }
    removeUnfinishedOutput(output);
    return 1;
}

}  // namespace tarvio
