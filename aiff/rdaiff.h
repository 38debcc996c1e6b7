// SPDX-License-Identifier: MIT
// AIFF reader: opens and validates uncompressed AIFF files and hands out their
// interleaved sample frames in one of seven destination types.
//
// Failures are thrown as `const char*` message texts beginning "RDAIFF: ".
#ifndef TARVIO_AIFF_RDAIFF_H
#define TARVIO_AIFF_RDAIFF_H

#include <ostream>

class RDAIFF_impl;

class RDAIFF {
  public:
    // A reader with no file open.
    RDAIFF();
    // A reader that opens `name` at once; throws what open throws.
    explicit RDAIFF(const char* name);
    // Closes an open file silently.
    ~RDAIFF();

    RDAIFF(const RDAIFF&) = delete;
    RDAIFF& operator=(const RDAIFF&) = delete;

    // Opens and validates the file and positions the reader at its first
    // sample frame.
    void open(const char* name);
    bool is_open();
    // Writes a short report of the open file on `os`.
    void info(std::ostream& os);

    double samplerate();
    short channels();
    short bits();
    long long frames();
    long long frames_togo();
    // The name given to the most recent open; never null.
    const char* name();

    // Read `frames` interleaved frames into `dst`. Floating-point
    // destinations get sample / 2^(8 * bytes per sample - 1); integer
    // destinations get the stored sample values. A destination that cannot
    // hold the file's samples exactly is refused.
    void read(float* dst, long frames);
    void read(double* dst, long frames);
    void read(signed char* dst, long frames);
    void read(short* dst, long frames);
    void read(int* dst, long frames);
    void read(long* dst, long frames);
    void read(long long* dst, long frames);

    // Returns to the first sample frame.
    void rewind();
    void close();

  private:
    RDAIFF_impl* impl;
};

#endif  // TARVIO_AIFF_RDAIFF_H
