// SPDX-License-Identifier: MIT
// AIFF writer: creates an uncompressed AIFF file (FORM/AIFF with one COMM and
// one SSND chunk), converts, clips and counts the caller's samples, and
// rewrites the header with the final sizes when the file is closed.
//
// Failures are thrown as `const char*` message texts, each ending in "\n".
#ifndef TARVIO_AIFF_WRAIFF_H
#define TARVIO_AIFF_WRAIFF_H

#include <cstddef>
#include <cstdint>
#include <ostream>

#include "aiff/AiffLayout.h"

// The frame count of the provisional header written at open, and the size
// beyond which the writer warns that the file is growing huge
// (2 hours of 44.1 kHz audio).
constexpr std::uint32_t huge_frames = 317520000u;

// The text thrown when a write would take the data past what the header's
// 32-bit sizes can describe; the file written so far can still be finished.
extern const char* const wraiff_too_large;

// encode_extended(double r, unsigned char out[10]) fills `out` with the 80-bit
// IEEE 754 extended encoding of `r`, big-endian (see aiff/AiffLayout.h).
using tarvio::aiff::encode_extended;

class WRAIFF_impl;

class WRAIFF {
  public:
    // A writer with no file open.
    WRAIFF();
    // A writer that opens `name` at once; throws what open throws.
    WRAIFF(const char* name, double samplerate, short channels, short bits);
    // Finishes a file that is still open, as finish does.
    ~WRAIFF();

    WRAIFF(const WRAIFF&) = delete;
    WRAIFF& operator=(const WRAIFF&) = delete;

    // Validates the arguments, creates the file and writes the provisional
    // header.
    void open(const char* name, double samplerate, short channels, short bits);
    // As open, for a file the caller has just created empty (exclusively,
    // under a temporary name): it is opened without being truncated. Some
    // file systems flush a truncated file when it is closed, which costs a
    // large file dearly.
    void open_created(const char* name, double samplerate, short channels, short bits);

    // Append `nframes` interleaved frames. Floating-point samples have full
    // scale 1.0; integer samples are taken as values at the file's depth.
    // A block that would take the data past what the header's 32-bit sizes
    // can describe is refused, before anything is written, with
    // wraiff_too_large ("AIFF file too large!\n").
    void write(const double* buffer, long nframes);
    void write(const float* buffer, long nframes);
    void write(const long* buffer, long nframes);
    void write(const int* buffer, long nframes);
    void write(const short* buffer, long nframes);
    void write(const signed char* buffer, long nframes);

    // For a caller that encodes its frames itself, straight into the
    // writer's buffer: room for `nframes` frames at the file's depth,
    // big-endian, refused as write refuses a block (and with "Wrong
    // argument(s)!\n" beyond max_direct_bytes). The caller fills exactly
    // that room and hands it over with commit before any other call; commit
    // takes the frames as write(const double*, ...) takes its own, with
    // `clipped` samples clipped in the encoding.
    unsigned char* room(long nframes);
    void commit(long nframes, std::uint32_t clipped);
    static constexpr std::size_t max_direct_bytes = 64 * 1024;

    bool is_open();
    // Whether a write of the open file (or of the last one) was refused
    // because the data would pass the size limit (wraiff_too_large): the
    // file holds every frame taken before, and finish completes it.
    bool at_size_limit() const;
    // Prints a short report of the open file on `os`.
    void info(std::ostream& os);
    // Makes the report name the file `name` instead of the name it was opened
    // with: for a file written under a temporary name and renamed when done.
    void report_as(const char* name);
    // Rewrites the header with the final counts and closes the file.
    void close();
    // Finishes the open file as close does, but reports a failure on the
    // warning sink instead of throwing it. Returns whether the file was
    // completed: header rewritten and file closed without error. With no
    // file open it reports nothing and returns false.
    bool finish() noexcept;

    // Where the writer's warnings go from now on: the floating-point writes'
    // "Clipped!\n" and "AIFF file growing huge!\n" (the integer writes throw
    // them) and the failure of a finish. Standard error until changed; a null
    // pointer drops them. The stream must outlive its use by the writer.
    void warnings_to(std::ostream* sink);

  private:
    WRAIFF_impl* impl;
};

#endif  // TARVIO_AIFF_WRAIFF_H
