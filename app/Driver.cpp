// SPDX-License-Identifier: MIT
// The run driver: banner, command line, input and output files, parameter
// report, block loop, the writer's report and the error handlers.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>

#include "aiff/AiffLayout.h"
#include "aiff/wraiff.h"
#include "app/Tarvio.h"
#include "cli/Interrupt.h"
#include "cli/SafeOutput.h"
#include "engine/Spatializer.h"
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

// The reader counts frames unsigned; the spatializer only needs the number of
// whole blocks from it. A count beyond INT_MAX (possible only when a header's
// block alignment does not match its sample format) is held at INT_MAX, so the
// block count stays positive and the sweeps keep their direction.
int framesForSetup(unsigned frames) {
    return frames > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(frames);
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

// Reads the input's next piece of 16-bit samples as the file holds them. A
// read that failed (not the end of the file, but a device error) ends the
// run, since the output would silently lack the rest of the input.
int readPiece(WavInFile& reader, const char* name, const unsigned char*& bytes, int capacity) {
    const int n = reader.readRaw16(bytes, capacity);
    if (reader.hasReadError()) {
        interrupt::check();  // a signal can cut a read short, too
        throw std::runtime_error(std::string("read error in file \"") + name + "\"");
    }
    return n;
}

// An input that can seek is read in pieces of many blocks, about this many
// bytes (one block at least): the reader then takes them from the file
// straight into its buffer, one system call a piece. A pipe is read a block
// at a time, as before: a piece would wait for data until it is whole, and
// a stop signal that comes meanwhile, without cutting a read short, would
// not be seen until then.
constexpr std::size_t kPieceBytes = std::size_t{256} * 1024;

// One block of `n` samples at `bytes`, spatialized straight into the
// writer's buffer as 16-bit frames.
void spatializeBlock(Spatializer& spatializer, const unsigned char* bytes, int n, WRAIFF& writer) {
    const int frames = spatializer.framesOf(n);
    unsigned char* out = writer.room(frames);
    std::uint32_t clipped = 0;
    spatializer.processBlockS16(bytes, n, out, clipped);
    writer.commit(frames, clipped);
    spatializer.advanceSweeps();
}

// The block loop: each piece of the input is cut into blocks of the
// spatializer's capacity, the last one short where the piece is; a piece
// that brings nothing is one empty block. A stop signal is looked at before
// every block and once after the last, so an interrupted run never looks
// finished.
void spatializeBlocks(WavInFile& reader, const char* name, Spatializer& spatializer,
                      WRAIFF& writer) {
    const int capacity = spatializer.inBlockCapacity();
    const std::size_t blockBytes = 2 * static_cast<std::size_t>(capacity);
    const int blocksPerPiece = !reader.canSeek() || blockBytes >= kPieceBytes
                                   ? 1
                                   : static_cast<int>(kPieceBytes / blockBytes);
    while (reader.eof() == 0) {
        interrupt::check();
        const unsigned char* bytes = nullptr;
        const int got = readPiece(reader, name, bytes, blocksPerPiece * capacity);
        int done = 0;
        for (;;) {
            const int n = std::min(capacity, got - done);
            spatializeBlock(spatializer, bytes + 2 * static_cast<std::size_t>(done), n, writer);
            done += n;
            if (done >= got)
                break;
            interrupt::check();
        }
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
    spatializeBlocks(reader, inputName, spatializer, writer);
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
    SafeOutput output(argv[2], &err);
    output.checkApartFrom(argv[1]);
    output.check();

    // The buffers come before the output, so that a shortage touches no file.
    const SpatializerParams params = parseParams(argc, argv);
    const std::unique_ptr<Spatializer> spatializer =
        makeSpatializer(params, channels, rate, framesForSetup(reader.getNumSamples()));

    // The room for a 16-bit sample of each loudspeaker for every frame the
    // input's size can hold, within what an AIFF file can describe.
    const int outChannels = spatializer->outputChannels();
    output.prepare();
    output.reserve(SafeOutput::roomFor(argv[1], 0, 2u * static_cast<unsigned>(channels),
                                       2u * static_cast<unsigned>(outChannels), aiff::kHeaderBytes,
                                       aiff::kMaxDataBytes));
    WRAIFF writer;
    if (output.inPlace())
        writer.open(output.writePath().c_str(), rate, static_cast<short>(outChannels), 16);
    else
        writer.open_created(output.writePath().c_str(), rate, static_cast<short>(outChannels), 16);
    if (!writer.is_open())
        throw std::runtime_error("cannot create output AIFF file");
    writer.warnings_to(&err);
    output.opened();
    writer.report_as(argv[2]);
    interrupt::check();
    try {
        spatializeInto(writer, reader, *spatializer, params, argv[1], out);
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
        if (const int status = interrupt::exitStatus())
            return status;
        out << "Error: " << (message ? message : "") << std::endl;
    } catch (const std::exception& e) {
        if (const int status = interrupt::exitStatus())
            return status;
        out << "Error: " << e.what() << std::endl;
    } catch (...) {
        if (const int status = interrupt::exitStatus())
            return status;
        out << "Fatal error: unknown exception" << std::endl;
    }
    return 1;
}

}  // namespace tarvio
