// SPDX-License-Identifier: MIT

#include "aiff/AiffLayout.h"

#include <cmath>
#include <cstring>

#include "common/byteorder.h"

namespace tarvio {
namespace aiff {

void encode_extended(double r, unsigned char out[kExtendedBytes]) {
    unsigned sign = 0;
    if (r < 0) {
        sign = 0x8000u;
        r = -r;
    }
    unsigned expon = 0;
    std::uint32_t hi = 0;
    std::uint32_t lo = 0;
    if (r != 0) {
        int e = 0;
        double m = std::frexp(r, &e);
        if (e > 16384 || !(m < 1)) {  // too large, infinite or NaN
            expon = sign | 0x7FFFu;
        } else {
            e += 16382;
            if (e < 0) {  // below the normal range: denormalize
                m = std::ldexp(m, e);
                e = 0;
            }
            expon = static_cast<unsigned>(e) | sign;
            m = std::ldexp(m, 32);
            const double h = std::floor(m);
            hi = static_cast<std::uint32_t>(h);
            m = std::ldexp(m - h, 32);
            lo = static_cast<std::uint32_t>(std::floor(m));
        }
    }
    bytes::putU16BE(out, static_cast<std::uint16_t>(expon));
    bytes::putU32BE(out + 2, hi);
    bytes::putU32BE(out + 6, lo);
}

// The two 32-bit halves of the mantissa are scaled separately: the high half
// holds the bits 2^0 to 2^-31 of a number with exponent e (biased by 16383),
// the low half the bits below.
double decode_extended(const unsigned char in[kExtendedBytes]) {
    const bool negative = (in[0] & 0x80u) != 0;
    const int exponent = ((in[0] & 0x7F) << 8) | in[1];
    const std::uint32_t hi = bytes::getU32BE(in + 2);
    const std::uint32_t lo = bytes::getU32BE(in + 6);
    double value;
    if (exponent == 0 && hi == 0 && lo == 0) {
        value = 0.0;
    } else if (exponent == 0x7FFF) {
        value = HUGE_VAL;
    } else {
        value = std::ldexp(static_cast<double>(hi), exponent - 16414) +
                std::ldexp(static_cast<double>(lo), exponent - 16446);
    }
    return negative ? -value : value;
}

void composeHeader(unsigned char out[kHeaderBytes], unsigned channels, std::uint32_t frames,
                   unsigned bits, double rate) {
    const std::uint32_t data = dataBytes(frames, channels, bits);
    std::memcpy(out + kFormIdAt, "FORM", 4);
    bytes::putU32BE(out + kFormSizeAt, kFormOverhead + data);
    std::memcpy(out + kFormTypeAt, "AIFF", 4);
    std::memcpy(out + kCommIdAt, "COMM", 4);
    bytes::putU32BE(out + kCommSizeAt, kCommBodyBytes);
    bytes::putU16BE(out + kChannelsAt, static_cast<std::uint16_t>(channels));
    bytes::putU32BE(out + kFramesAt, frames);
    bytes::putU16BE(out + kBitsAt, static_cast<std::uint16_t>(bits));
    encode_extended(rate, out + kRateAt);
    std::memcpy(out + kSsndIdAt, "SSND", 4);
    bytes::putU32BE(out + kSsndSizeAt, kSsndOverhead + data);
    bytes::putU32BE(out + kDataOffsetAt, 0u);
    bytes::putU32BE(out + kBlockSizeAt, 0u);
}

}  // namespace aiff
}  // namespace tarvio
