// SPDX-License-Identifier: MIT
// The run driver: banner, command line, input and output files, parameter
// report, block loop, the writer's report and the error handlers.
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>

#include "aiff/AiffLayout.h"
#include "aiff/wraiff.h"
#include "app/Tarvio.h"
#include "common/Interrupt.h"
#include "common/SafeOutput.h"
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

// About the most the output can take: the header and four 16-bit samples
// for every frame the input file's size can hold (a header that promises
// more than the file has cannot raise it), within what an AIFF file can
// describe. 0 when the input is not a regular file and its size says
// nothing.
std::uint64_t outputBound(const char* input, int channels) {
    struct stat st;
    if (::stat(input, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
        return 0;
    const std::uint64_t frames =
        static_cast<std::uint64_t>(st.st_size) / (2u * static_cast<unsigned>(channels)) + 1;
    const std::uint64_t data = frames * 8u;
    return aiff::kHeaderBytes + (data < aiff::kMaxDataBytes ? data : aiff::kMaxDataBytes);
}

SpatializerParams parseParams(int argc, const char* const* argv) {
    SpatializerParams params;
    params.f1_init = std::atof(argv[3]);
    params.f1_end = std::atof(argv[4]);
    params.f2_init = std::atof(argv[5]);
    params.f2_end = std::atof(argv[6]);
    params.angle1 = std::atof(argv[7]);
    params.angle2 = std::atof(argv[8]);
    params.norm = argc - 1 == 9 ? std::atof(argv[9]) : 1.0;
    return params;
}

void printReport(std::ostream& out, const SpatializerParams& params, double rate, int channels,
                 unsigned frames) {
    out << "sampling rate        = " << rate << std::endl;
    out << "original channels    = " << channels << std::endl;
    out << "natural frequency    = " << rate / static_cast<double>(frames) << " Hz" << std::endl;
    out << "rotation frequencies = " << params.f1_init << " Hz -> " << params.f1_end << " and "
        << params.f2_init << " Hz -> " << params.f2_end << " Hz" << std::endl;
    out << "starting angles      = " << params.angle1 << " deg, " << params.angle2 << " deg"
        << std::endl;
    out << "amp. normalization   = " << params.norm << std::endl;
    out << std::endl;
}

// The working buffers grow with the channel count (channels x 1024 samples,
// 268 MB for the 32767 channels a WAV header can declare); when they do not
// fit, say so in words. They are allocated before the output is created, so
// that a shortage touches no file.
Spatializer makeSpatializer(const SpatializerParams& params, int channels, double rate,
                            int frames) {
    try {
        return Spatializer(params, channels, rate, frames);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("not enough memory for the working buffers of " +
                                 std::to_string(channels) + " channels");
    }
}

// The block loop. A signal is looked at before every block; a read that
// failed (not the end of the file, but a device error) ends the run, since
// the output would silently lack the rest of the input.
void processAll(WavInFile& reader, WRAIFF& writer, Spatializer& spatializer,
                const char* inputName) {
    while (!reader.eof()) {
        interrupt::check();
        const int n = reader.read(spatializer.inBlock(), spatializer.inBlockCapacity());
        if (reader.hasReadError()) {
            interrupt::check();  // a signal can cut a read short, too
            throw std::runtime_error(std::string("read error in file \"") + inputName + "\"");
        }
        const int blockFrames = spatializer.processBlock(n);
        writer.write(spatializer.outBlock(), blockFrames);
        spatializer.advanceSweeps();
    }
    interrupt::check();
}

// Everything between creating the output and closing it: report, block loop
// and the writer's report. The spatializer's buffers are released before the
// caller closes the writer.
void spatializeInto(WRAIFF& writer, WavInFile& reader, Spatializer& spatializer,
                    const SpatializerParams& params, const char* inputName, std::ostream& out) {
    const int channels = reader.getNumChannels();
    printReport(out, params, reader.getSampleRate(), channels, reader.getNumSamples());
    out << "spatializing..." << std::flush;
    processAll(reader, writer, spatializer, inputName);
    out << "done" << std::endl;
    out << std::endl;
    // A report that cannot be written (standard output closed or full) does
    // not make the run fail: the file is what the user asked for.
    if (out)
        writer.info(out);
    spatializer.release();
}

// One whole run after the banner. Everything that owns a file or a buffer is
// local here, so that when an exception leaves, the buffers are released, the
// writer and the reader are destroyed, and the unfinished output is removed,
// before the caller's handler prints its line.
void spatialize(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
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

    // Replacing the output must not touch the file still to be read.
    if (sameFile(argv[1], argv[2]))
        throw std::runtime_error("input and output are the same file");
    SafeOutput output(argv[2], &err);
    output.check();

    const SpatializerParams params = parseParams(argc, argv);
    Spatializer spatializer =
        makeSpatializer(params, channels, rate, framesForSetup(reader.getNumSamples()));

    output.prepare();
    output.reserve(outputBound(argv[1], channels));
    WRAIFF writer;
    if (output.inPlace())
        writer.open(output.writePath().c_str(), rate, 4, 16);
    else
        writer.open_created(output.writePath().c_str(), rate, 4, 16);
    if (!writer.is_open())
        throw std::runtime_error("cannot create output AIFF file");
    writer.warnings_to(&err);
    output.opened();
    writer.report_as(argv[2]);
    interrupt::check();
    try {
        spatializeInto(writer, reader, spatializer, params, argv[1], out);
        writer.close();
    } catch (const char*) {
        // At the size limit the file holds every frame the writer took, and
        // the writer can still finish it: that file is the run's result.
        if (writer.at_size_limit() && writer.finish())
            output.commit();
        throw;
    }
    output.commit();
}  // the writer, then the output (removed unless committed), then the reader go

// The exit status of a run that a signal stopped, 0 when none did.
int stoppedBySignal() {
    const int sig = interrupt::pending();
    return sig != 0 ? 128 + sig : 0;
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    printBanner(out);
    try {
        spatialize(argc, argv, out, err);
        return 0;
    } catch (const Interrupted& stop) {
        // Stopped on request: nothing more to say.
        return 128 + stop.signal;
    } catch (const char* message) {
        // The AIFF writer's texts end with their own newline.
        if (const int status = stoppedBySignal())
            return status;
        out << "Error: " << (message ? message : "") << std::endl;
    } catch (const std::exception& e) {
        if (const int status = stoppedBySignal())
            return status;
        out << "Error: " << e.what() << std::endl;
    } catch (...) {
        if (const int status = stoppedBySignal())
            return status;
        out << "Fatal error: unknown exception" << std::endl;
    }
    return 1;
}

}  // namespace tarvio
