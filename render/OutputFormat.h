// SPDX-License-Identifier: MIT
// The output formats and sample formats tarvio-render writes, one row each.
// Everything that depends on the format reads its row: the command line's
// choices and the extension rule, the libsndfile format, the byte order of
// the samples, the channel order and mask, the size limit, the size
// estimate and the summary, and the help, the manual page and the bash
// completion, which are made from the rows. Adding a format is adding a
// row.
#ifndef TARVIO_RENDER_OUTPUTFORMAT_H
#define TARVIO_RENDER_OUTPUTFORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine/SpeakerLayout.h"
#include "pcm/Pcm.h"

namespace tarvio::render {

// How samples reach libsndfile.
enum class SampleTransfer {
    Bytes,       // encoded as the file stores them, in the row's byte order
    ScaledInts,  // ints scaled to 32 bits, which libsndfile encodes (FLAC)
    Floats,      // floats within full scale, which libsndfile's encoder takes (lossy formats)
};

struct SampleFormat {
    const char* name;     // on the command line: "16", "24", "32", "float"
    const char* summary;  // in the summary: "16-bit", ..., "32-bit float"
    int bits;             // the precision it keeps (24 for the lossy encoders)
    int bytes;            // in the file; 0 when an encoder decides
    bool isFloat;
    int sndfileSubtype;  // SF_FORMAT_PCM_16, ...
    bool lossy;          // an encoder's own format, chosen by the container, not by --bits
};

struct OutputFormat {
    const char* name;     // on the command line: "aiff", "wav", ...
    const char* summary;  // in the summary and messages: "AIFF", "WAV", ...
    std::vector<std::string> extensions;  // lower case, without the dot
    int sndfileMajor;                     // SF_FORMAT_AIFF, ...
    SampleTransfer transfer;
    pcm::ByteOrder byteOrder;  // of the samples in the file (for Bytes)
    ChannelOrder order;  // where the loudspeakers go in the file
    bool channelMask;  // the file declares its loudspeakers
    // The most sample bytes the file's size fields can describe; 0 when
    // there is no limit worth checking.
    std::uint64_t maxDataBytes;
    std::vector<std::string> samples;  // the sample formats it holds
    bool compressed;                   // its size cannot be known beforehand
    // --quality maps 0..10 onto the encoder's variable bit rate quality.
    bool hasQuality;
    // --compression maps 0..8 onto the encoder's compression level (FLAC).
    bool hasCompression;
    // The only sample rates the format holds; empty for any.
    std::vector<int> rates = {};

    // Whether the format holds `rate`.
    bool holdsRate(int rate) const;
    // Whether `frames` frames of `channels` channels of `s` stay within what
    // the file's size fields can describe (maxDataBytes).
    bool fits(const SampleFormat& s, int channels, std::int64_t frames) const;
    // Why an output that does not fit is refused, and what to do instead.
    std::string tooLong() const;

    bool holds(const SampleFormat& s) const;
    // The first sample format of the row: what it holds when nothing else
    // decides.
    const SampleFormat& firstSamples() const;
};

const std::vector<OutputFormat>& outputFormats();
const std::vector<SampleFormat>& sampleFormats();

// The row of a name, or null.
const OutputFormat* findOutputFormat(const std::string& name);
const SampleFormat* findSampleFormat(const std::string& name);
// A file name's extension in lower case, without the dot; "" for none.
std::string extensionOf(const std::string& fileName);
// The format a file name's extension names (case does not matter), or null.
const OutputFormat* formatForFileName(const std::string& fileName);

// The names of every row, joined by `separator` ("aiff|wav|..."); for the
// sample formats, those --bits takes.
std::string outputFormatNames(const char* separator);
std::string sampleFormatNames(const char* separator);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_OUTPUTFORMAT_H
