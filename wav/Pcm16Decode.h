// SPDX-License-Identifier: MIT
// Decoding of 16-bit little-endian PCM bytes to floating-point samples with
// full scale 1.0: each value v becomes v / 32768, which is exact. The WAV
// reader takes the decoder of the last variant; all give the same values.
#ifndef TARVIO_WAV_PCM16DECODE_H
#define TARVIO_WAV_PCM16DECODE_H

#include <cstddef>
#include <vector>

namespace tarvio {
namespace wav {

// Decodes the `samples` 16-bit values at `bytes` into out[0, samples).
using Pcm16Decoder = void (*)(const unsigned char* bytes, std::size_t samples, double* out);

// The variants this build and this processor run, by name: "portable"
// (plain C++, decoding byte by byte, always built) first, "avx2" (sixteen
// samples at a time, where the processor has AVX2) last when present.
struct Pcm16Variant {
    const char* name;
    Pcm16Decoder decode;
};
const std::vector<Pcm16Variant>& pcm16Variants();

}  // namespace wav
}  // namespace tarvio

#endif  // TARVIO_WAV_PCM16DECODE_H
