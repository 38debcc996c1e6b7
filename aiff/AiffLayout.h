// SPDX-License-Identifier: MIT
// The layout of the AIFF files this library writes: a 54-byte header (FORM
// chunk header, COMM chunk, SSND chunk head) followed directly by the
// interleaved big-endian sample data. Sizes, field offsets, the 80-bit
// extended encoding of the sample rate and the composition of the header live
// here, for the writer, the reader and the tests alike.
#ifndef TARVIO_AIFF_AIFFLAYOUT_H
#define TARVIO_AIFF_AIFFLAYOUT_H

#include <cstddef>
#include <cstdint>

namespace tarvio {
namespace aiff {

// The whole header, up to the first sample byte.
constexpr std::size_t kHeaderBytes = 54;

// Where each field of the header starts.
constexpr std::size_t kFormIdAt = 0;        // "FORM"
constexpr std::size_t kFormSizeAt = 4;      // u32: bytes after this field
constexpr std::size_t kFormTypeAt = 8;      // "AIFF"
constexpr std::size_t kCommIdAt = 12;       // "COMM"
constexpr std::size_t kCommSizeAt = 16;     // u32: kCommBodyBytes
constexpr std::size_t kChannelsAt = 20;     // u16
constexpr std::size_t kFramesAt = 22;       // u32
constexpr std::size_t kBitsAt = 26;         // u16
constexpr std::size_t kRateAt = 28;         // 80-bit extended
constexpr std::size_t kSsndIdAt = 38;       // "SSND"
constexpr std::size_t kSsndSizeAt = 42;     // u32: bytes after this field
constexpr std::size_t kDataOffsetAt = 46;   // u32: 0
constexpr std::size_t kBlockSizeAt = 50;    // u32: 0
constexpr std::size_t kExtendedBytes = 10;  // size of the rate field

// The COMM chunk's body: channels, frames, bits and the rate.
constexpr std::uint32_t kCommBodyBytes = 18;
// The FORM size is kFormOverhead + D and the SSND size kSsndOverhead + D for
// D bytes of sample data: the header after the FORM size field, and the
// offset and block-size fields of SSND.
constexpr std::uint32_t kFormOverhead = 46;
constexpr std::uint32_t kSsndOverhead = 8;
// The largest data size whose FORM size still fits in 32 bits.
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFu - kFormOverhead;

// The data size of `frames` frames, in unsigned 32 bits as the header holds
// it (a count too large wraps, as the fields would).
inline std::uint32_t dataBytes(std::uint32_t frames, unsigned channels, unsigned bits) {
    return frames * static_cast<std::uint32_t>(channels) * static_cast<std::uint32_t>(bits / 8);
}

// The two names keep the spelling of the public `encode_extended`, which
// wraiff.h makes available outside this namespace.
//
// Fills `out` with the 80-bit IEEE 754 extended encoding of `r`, big-endian:
// exact for every double; infinity and NaN become the infinite exponent with
// a zero mantissa.
void encode_extended(double r, unsigned char out[kExtendedBytes]);
// The value of the 80-bit big-endian extended number at `in`: zero for an
// all-zero number, infinity (with the sign) for the largest exponent.
double decode_extended(const unsigned char in[kExtendedBytes]);

// Writes the 54 header bytes of a file of `frames` frames to `out`; the sizes
// are computed in unsigned 32 bits.
void composeHeader(unsigned char out[kHeaderBytes], unsigned channels, std::uint32_t frames,
                   unsigned bits, double rate);

}  // namespace aiff
}  // namespace tarvio

#endif  // TARVIO_AIFF_AIFFLAYOUT_H
