// SPDX-License-Identifier: MIT
// The layout of the WAV files this library writes, and of the parts of a WAV
// file it reads: the canonical 44-byte header (RIFF header, a format block
// with a 16-byte body, the data block's head) followed directly by the
// interleaved little-endian sample data. Sizes and field offsets live here,
// for the writer, the reader and the tests alike.
#ifndef TARVIO_WAV_WAVLAYOUT_H
#define TARVIO_WAV_WAVLAYOUT_H

#include <cstddef>
#include <cstdint>

namespace tarvio {
namespace wav {

// The whole canonical header, up to the first sample byte.
constexpr std::size_t kHeaderBytes = 44;

// Where each field of the canonical header starts.
constexpr std::size_t kRiffIdAt = 0;        // "RIFF"
constexpr std::size_t kRiffLengthAt = 4;    // u32: bytes after this field
constexpr std::size_t kFormTypeAt = 8;      // "WAVE"
constexpr std::size_t kFormatIdAt = 12;     // "fmt "
constexpr std::size_t kFormatLengthAt = 16; // u32: kFormatBodyBytes
constexpr std::size_t kFormatBodyAt = 20;   // the format body, below
constexpr std::size_t kDataIdAt = 36;       // "data"
constexpr std::size_t kDataLengthAt = 40;   // u32: sample bytes

// The RIFF header alone: id, length and form type.
constexpr std::size_t kRiffHeaderBytes = 12;

// The part of a format block's body that is kept (a longer body is skipped
// after it), with each field's offset from the body's start.
constexpr std::size_t kFormatBodyBytes = 16;
constexpr std::size_t kFormatTagAt = 0;       // u16: 1 for integer PCM
constexpr std::size_t kChannelsAt = 2;        // u16
constexpr std::size_t kSampleRateAt = 4;      // u32
constexpr std::size_t kBytesPerSecondAt = 8;  // u32
constexpr std::size_t kBlockAlignAt = 12;     // u16: bytes per frame
constexpr std::size_t kBitsAt = 14;           // u16

// The format tag of integer PCM, the only encoding read and written.
constexpr std::uint16_t kFormatPcm = 1;

// The RIFF length is kRiffOverhead + D for D bytes of sample data: the
// header after the RIFF length field.
constexpr std::uint32_t kRiffOverhead = 36;
// The largest data size whose RIFF length still fits in 32 bits.
constexpr std::uint32_t kMaxDataBytes = 0xFFFFFFFFu - kRiffOverhead;

}  // namespace wav
}  // namespace tarvio

#endif  // TARVIO_WAV_WAVLAYOUT_H
