// SPDX-License-Identifier: MIT
// The headers of audio written to a pipe, which cannot be rewound to fill
// in the length once it is known: WAV with 0xFFFFFFFF as the RIFF and data
// sizes, and AU with its data size "unknown" (0xFFFFFFFF), as ffmpeg and sox
// write them; players read such a stream to its end.
#ifndef TARVIO_RENDER_STREAMHEADER_H
#define TARVIO_RENDER_STREAMHEADER_H

#include <cstdint>
#include <vector>

#include "render/OutputFormat.h"

namespace tarvio::render {

// Whether `format` can be written as a stream (WAV and AU).
bool streamable(const OutputFormat& format);

// The header of a stream of `format` with `samples`, `channels` at `rate`;
// WAV declares `channelMask` (WAVE_FORMAT_EXTENSIBLE, as the files of the
// WAV row). The sizes read unknown.
std::vector<unsigned char> streamHeader(const OutputFormat& format, const SampleFormat& samples,
                                        int channels, int rate, std::uint32_t channelMask);

// A size field of a stream's header and its value once the data is known.
struct SizeField {
    std::size_t offset;
    unsigned char bytes[4];
};

// The size fields of a header of `headerBytes` (as streamHeader made it)
// over `dataBytes` bytes of samples; none when the sizes cannot hold them.
std::vector<SizeField> streamSizes(const OutputFormat& format, std::size_t headerBytes,
                                   std::uint64_t dataBytes);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_STREAMHEADER_H
