// SPDX-License-Identifier: MIT
// The decoders: the portable loops for every width and byte order, and the
// table of the 16-bit decoder's variants (pcm/DecodeAvx2.cpp).
#include <cstring>
#include <type_traits>

#include "common/byteorder.h"
#include "pcm/Kernels.h"
#include "pcm/Pcm.h"

namespace tarvio::pcm {

namespace {

// The unsigned NB-byte number at p in byte order O.
template <int NB, ByteOrder O>
inline std::uint64_t get(const unsigned char* p) {
    if constexpr (O == ByteOrder::Big) {
        return bytes::getBE(p, NB);
    } else {
        static_assert(O == ByteOrder::Little, "a byte order without its code");
        return bytes::getLE(p, NB);
    }
}

// The NB-byte two's-complement value at p.
template <int NB, ByteOrder O>
inline std::int64_t signedAt(const unsigned char* p) {
    const std::uint64_t u = get<NB, O>(p);
    if constexpr (NB == 8) {
        return u < 0x8000000000000000u
                   ? static_cast<std::int64_t>(u)
                   : static_cast<std::int64_t>(u - 0x8000000000000000u) -
                         std::int64_t{0x7FFFFFFFFFFFFFFF} - 1;
    } else {
        constexpr std::uint64_t half = std::uint64_t{1} << (8 * NB - 1);
        return u < half ? static_cast<std::int64_t>(u)
                        : static_cast<std::int64_t>(u) - static_cast<std::int64_t>(2 * half);
    }
}

// Floating-point destinations get value / 2^(8 NB - 1), an exact division by
// a power of two; integer destinations the value.
template <int NB, ByteOrder O, typename T>
void decode(const unsigned char* in, std::size_t n, T* out) {
    const double half = static_cast<double>(std::uint64_t{1} << (8 * NB - 1));
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t v = signedAt<NB, O>(in + i * NB);
        if constexpr (std::is_floating_point<T>::value)
            out[i] = static_cast<T>(static_cast<double>(v) / half);
        else
            out[i] = static_cast<T>(v);
    }
}

template <int NB, typename T>
Decoder<T> decoderFor(ByteOrder order) {
    switch (order) {
        case ByteOrder::Little:
            return &decode<NB, ByteOrder::Little, T>;
        case ByteOrder::Big:
            return &decode<NB, ByteOrder::Big, T>;
    }
    return nullptr;
}

constexpr cpu::Variant<DoubleFromS16> kDoubleFromS16[] = {
    TARVIO_VARIANT(double_from_s16, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(double_from_s16, avx2),
#endif
};
static_assert(cpu::ordered(kDoubleFromS16), "portable first, then ever wider sets");

DoubleFromS16 doubleFromS16() {
    static const DoubleFromS16 fn = cpu::pick(kDoubleFromS16).fn;
    return fn;
}

template <ByteOrder O>
void doubleFromS16In(const unsigned char* in, std::size_t n, double* out) {
    doubleFromS16()(in, n, out, O);
}

// The IEEE 754 number of F's size at p, as a double.
template <typename F, ByteOrder O>
void doubleFromFloatBytes(const unsigned char* in, std::size_t n, double* out) {
    for (std::size_t i = 0; i < n; ++i) {
        if constexpr (sizeof(F) == 4) {
            const std::uint32_t u = static_cast<std::uint32_t>(get<4, O>(in + 4 * i));
            float f;
            std::memcpy(&f, &u, sizeof f);
            out[i] = f;
        } else {
            const std::uint64_t u = get<8, O>(in + 8 * i);
            double d;
            std::memcpy(&d, &u, sizeof d);
            out[i] = d;
        }
    }
}

}  // namespace

void double_from_s16_portable(const unsigned char* in, std::size_t n, double* out,
                              ByteOrder order) {
    switch (order) {
        case ByteOrder::Little:
            decode<2, ByteOrder::Little>(in, n, out);
            break;
        case ByteOrder::Big:
            decode<2, ByteOrder::Big>(in, n, out);
            break;
    }
}

Variants<DoubleFromS16> doubleFromS16Variants() {
    return cpu::rowsOf(kDoubleFromS16);
}

template <typename T>
Decoder<T> pickDecoder(int bytes, ByteOrder order) {
    if constexpr (std::is_same<T, double>::value) {
        if (bytes == 2) {
            switch (order) {
                case ByteOrder::Little:
                    return &doubleFromS16In<ByteOrder::Little>;
                case ByteOrder::Big:
                    return &doubleFromS16In<ByteOrder::Big>;
            }
        }
    }
    switch (bytes) {
        case 1:
            return decoderFor<1, T>(order);
        case 2:
            return decoderFor<2, T>(order);
        case 3:
            return decoderFor<3, T>(order);
        case 4:
            return decoderFor<4, T>(order);
        case 5:
            return decoderFor<5, T>(order);
        case 6:
            return decoderFor<6, T>(order);
        case 7:
            return decoderFor<7, T>(order);
        default:
            return decoderFor<8, T>(order);
    }
}

template Decoder<double> pickDecoder<double>(int, ByteOrder);
template Decoder<float> pickDecoder<float>(int, ByteOrder);
template Decoder<long long> pickDecoder<long long>(int, ByteOrder);
template Decoder<long> pickDecoder<long>(int, ByteOrder);
template Decoder<int> pickDecoder<int>(int, ByteOrder);
template Decoder<short> pickDecoder<short>(int, ByteOrder);
template Decoder<signed char> pickDecoder<signed char>(int, ByteOrder);

void double_from_s8(const unsigned char* in, std::size_t n, double* out) {
    decode<1, ByteOrder::Big>(in, n, out);
}
void double_from_s16le(const unsigned char* in, std::size_t n, double* out) {
    doubleFromS16()(in, n, out, ByteOrder::Little);
}
void double_from_s16be(const unsigned char* in, std::size_t n, double* out) {
    doubleFromS16()(in, n, out, ByteOrder::Big);
}
void double_from_s24le(const unsigned char* in, std::size_t n, double* out) {
    decode<3, ByteOrder::Little>(in, n, out);
}
void double_from_s24be(const unsigned char* in, std::size_t n, double* out) {
    decode<3, ByteOrder::Big>(in, n, out);
}
void double_from_s32le(const unsigned char* in, std::size_t n, double* out) {
    decode<4, ByteOrder::Little>(in, n, out);
}
void double_from_s32be(const unsigned char* in, std::size_t n, double* out) {
    decode<4, ByteOrder::Big>(in, n, out);
}
void double_from_f32le(const unsigned char* in, std::size_t n, double* out) {
    doubleFromFloatBytes<float, ByteOrder::Little>(in, n, out);
}
void double_from_f32be(const unsigned char* in, std::size_t n, double* out) {
    doubleFromFloatBytes<float, ByteOrder::Big>(in, n, out);
}
void double_from_f64le(const unsigned char* in, std::size_t n, double* out) {
    doubleFromFloatBytes<double, ByteOrder::Little>(in, n, out);
}
void double_from_f64be(const unsigned char* in, std::size_t n, double* out) {
    doubleFromFloatBytes<double, ByteOrder::Big>(in, n, out);
}

}  // namespace tarvio::pcm
