// SPDX-License-Identifier: MIT
// WAV file reading and writing: a RIFF/WAVE container with one format block
// and one data block of integer PCM samples (8-bit unsigned or 16-bit signed
// little-endian).
#ifndef TARVIO_WAV_WAVFILE_H
#define TARVIO_WAV_WAVFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/ChunkReader.h"

// The outer RIFF block: id, length of everything after the length, form type.
struct WavRiff {
    char riff_id[4];
    std::uint32_t riff_length;
    char form_type[4];
};

// The format block as far as it is used: id, declared body length and the
// first 16 bytes of the body.
struct WavFormat {
    char format_id[4];
    std::uint32_t format_length;
    std::uint16_t format_tag;
    std::int16_t channel_count;
    std::uint32_t samples_per_sec;
    std::uint32_t avg_bytes_per_sec;
    std::int16_t block_align;
    std::int16_t bits_per_sample;
};

// The head of the data block: id and the number of sample bytes that follow.
struct WavData {
    char data_id[4];
    std::uint32_t data_length;
};

// The canonical 44-byte header, field for field (offsets in wav/WavLayout.h).
// The record is never read from or written to a file as raw memory; see
// WavShared.h for the byte-wise encoding.
struct WavFileHeader {
    WavRiff riff;
    WavFormat format;
    WavData data;
};

// Reads the samples of a WAV file's data block.
class WavInFile {
  public:
    // Opens `fileName` and parses its header; throws std::runtime_error when
    // the file cannot be opened, is not a valid WAV file, or is not PCM.
    explicit WavInFile(const char* fileName);
    ~WavInFile();

    WavInFile(const WavInFile&) = delete;
    WavInFile& operator=(const WavInFile&) = delete;

    // Each read stores up to `maxElems` values and returns how many it stored.
    // Counts are single samples (one value of one channel), interleaved.
    int read(char* buffer, int maxElems);    // 8-bit files only, raw bytes
    int read(short* buffer, int maxElems);   // 8- or 16-bit files
    int read(float* buffer, int maxElems);   // value / 32768
    int read(double* buffer, int maxElems);  // value / 32768
    // 16-bit files only: up to `maxElems` samples as the file holds them,
    // two bytes each, little-endian, not decoded. Points `bytes` at them (in
    // the reader's own buffer of that size, valid until the next read,
    // rewind or close) and returns how many, as read(double*, ...) counts
    // them.
    int readRaw16(const unsigned char*& bytes, int maxElems);

    // Whether the file can seek: a regular file, not a pipe. Reads larger
    // than the reader's stream buffer then go straight from the file into
    // the reader's buffer; on a pipe they wait until they are whole.
    bool canSeek() const { return input.canSeek(); }

    // 1 when the data block is used up or the file has ended, else 0.
    int eof() const;
    // True when a read failed for a reason other than the end of the file (a
    // device error, for instance); eof() is then 1 as well, but the data
    // block was not read to its end.
    bool hasReadError() const;
    // Returns to the first sample of the data block.
    void rewind();
    // Closes the file; a second call does nothing.
    void close();

    int getNumChannels() const;
    int getNumBits() const;
    unsigned getBytesPerSample() const;  // bytes of one whole frame
    unsigned getSampleRate() const;
    unsigned getDataSizeInBytes() const;
    unsigned getNumSamples() const;  // frames in the data block
    unsigned getLengthMS() const;

  private:
    int readWavHeaders();
    int readRIFFBlock();
    int readHeaderBlock();
    int checkCharTags() const;

    // Reads the body of a format block of `length` bytes and its pad byte;
    // false when the file ends inside it.
    bool readFormatBody(std::uint32_t length);
    // Reads up to `wanted` bytes of the data block into `dst` (never past the
    // data block) and counts them; returns the number of bytes read.
    std::size_t readDataBytes(unsigned char* dst, std::size_t wanted);
    // Grows byteBuffer to at least `size` bytes (bounded by the chunk size,
    // or by what readRaw16 is asked for).
    unsigned char* bytesFor(std::size_t size);
    // The floating-point reads: value / 32768 in the type T.
    template <typename T>
    int readScaled(T* buffer, int maxElems);

    tarvio::chunk::Reader input;
    WavFileHeader header;
    std::uint32_t dataBytesRead;
    bool readFailed;                        // a read error other than end of file
    std::vector<short> convertBuffer;       // reused by the floating-point reads
    std::vector<unsigned char> byteBuffer;  // reused for raw sample bytes
};

// Writes a WAV file with the canonical 44-byte header.
class WavOutFile {
  public:
    // Creates `fileName` (truncating it) and writes a header with both lengths
    // 0; throws std::runtime_error when the file cannot be opened or the
    // header cannot be written.
    WavOutFile(const char* fileName, int sampleRate, int bits, int channels);
    ~WavOutFile();

    WavOutFile(const WavOutFile&) = delete;
    WavOutFile& operator=(const WavOutFile&) = delete;

    void write(const char* buffer, int numElems);    // 8-bit files only
    void write(const short* buffer, int numElems);   // 8- or 16-bit files
    void write(const float* buffer, int numElems);   // trunc(x * 32768), limited
    void write(const double* buffer, int numElems);  // trunc(x * 32768), limited

    // Finishes the header and closes the file; a second call does nothing.
    // Throws std::runtime_error when the header cannot be rewritten or the
    // close fails (the file is closed all the same). The destructor closes
    // a file still open and reports such a failure on standard error.
    void close();

    // Sets every header field for the given format, with both lengths 0.
    void fillInHeader(unsigned sampleRate, unsigned bits, unsigned channels);
    // Writes the header at the start of the file and returns to its end;
    // throws std::runtime_error when a seek or the write fails.
    void writeHeader();
    // Brings both lengths up to date with the data written so far and writes
    // the header; writing may continue afterwards.
    void finishHeader();

  private:
    // Encodes `numElems` values of type T as sample bytes and appends them,
    // in pieces through byteBuffer; counts them only when all were written.
    template <typename T>
    void writeSamples(const T* buffer, int numElems);

    std::FILE* fileHandle;
    WavFileHeader header;
    std::uint32_t dataBytesWritten;
    std::vector<unsigned char> byteBuffer;  // reused for encoded sample bytes
};

#endif  // TARVIO_WAV_WAVFILE_H
