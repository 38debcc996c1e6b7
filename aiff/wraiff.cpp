// AIFF writer. The file is laid out as in aiff/AiffLayout.h: the 54-byte
// header followed directly by the interleaved big-endian sample data. The
// header is written once at open with a provisional frame count and rewritten
// in place with the real one when the file is closed.
#include "aiff/wraiff.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "aiff/AiffLayout.h"
#include "common/byteorder.h"

#if defined(__SSE2__) && !defined(TARVIO_NO_SIMD)
#define TARVIO_WRAIFF_SSE2 1
#include <emmintrin.h>
#endif
// Where the compiler can build AVX2 code for one function and ask the CPU at
// run time whether it has it, 16-bit conversion uses it when it can.
#if defined(TARVIO_WRAIFF_SSE2) && defined(__x86_64__) && \
    (defined(__GNUC__) || defined(__clang__)) && !defined(TARVIO_NO_AVX2)
#define TARVIO_WRAIFF_AVX2 1
#include <immintrin.h>
#endif

namespace {

// Samples are converted into this many bytes of scratch space, which collects
// the bytes of several calls and is handed to the stream in one piece when it
// is full (and before the header is rewritten). The stream writes a piece this
// large straight to the file: one system call per 64 KiB instead of one per
// call of write.
constexpr std::size_t kScratchBytes = 64 * 1024;

// A write that would take the data past the largest size the header can
// describe is refused: a header with wrapped sizes would describe a shorter
// file and hide the rest of the data.
using tarvio::aiff::kHeaderBytes;
using tarvio::aiff::kMaxDataBytes;

// What a conversion routine needs to know about the file's depth.
struct Depth {
    double full_scale;  // 2^(bits-1)
    double clamp_low;   // min_value as a double (exact)
    double clamp_high;  // max_value as a double (exact for depths up to 48 bits)
    double clip_low;    // scaled values at or below this round below min_value
    double clip_high;   // scaled values at or above this round above max_value
    std::int64_t min_value;
    std::int64_t max_value;
};

// Rounds a finite value that lies inside the range of Int to the nearest
// integer, halves away from zero. The fractional part y - trunc(y) is exact in
// floating point, so unlike adding 0.5 before truncating this never rounds
// twice (0.49999999999999994 gives 0, 2^52 + 1 stays 2^52 + 1).
template <typename Int>
inline Int roundHalfAway(double y) {
    const Int t = static_cast<Int>(y);
    const double frac = y - static_cast<double>(t);
    return static_cast<Int>(t + static_cast<Int>(frac >= 0.5) - static_cast<Int>(frac <= -0.5));
}

#if defined(TARVIO_WRAIFF_SSE2)
// Two doubles of a 16-bit file at a time, by the same steps as the scalar
// loop in convertFloat: NaN to 0, count the values beyond the clip limits,
// clamp to the bounds, truncate, and move away from zero by one where the
// exact fraction is at least a half. Leaves the two results as 32-bit
// integers in the low half; adds the clip masks (-1 each) to `clips`.
inline __m128i round16x2(const double* in, __m128d fs, __m128d clamp_low, __m128d clamp_high,
                         __m128d clip_low, __m128d clip_high, __m128i& clips) {
    __m128d y = _mm_mul_pd(_mm_loadu_pd(in), fs);
    y = _mm_and_pd(y, _mm_cmpord_pd(y, y));  // NaN becomes +0.0
    clips = _mm_add_epi64(clips, _mm_castpd_si128(_mm_cmple_pd(y, clip_low)));
    clips = _mm_add_epi64(clips, _mm_castpd_si128(_mm_cmpge_pd(y, clip_high)));
    y = _mm_max_pd(y, clamp_low);  // y > low ? y : low, as in the scalar loop
    y = _mm_min_pd(y, clamp_high);
    const __m128i t = _mm_cvttpd_epi32(y);
    const __m128d frac = _mm_sub_pd(y, _mm_cvtepi32_pd(t));
    const __m128i up = _mm_castpd_si128(_mm_cmpge_pd(frac, _mm_set1_pd(0.5)));
    const __m128i down = _mm_castpd_si128(_mm_cmple_pd(frac, _mm_set1_pd(-0.5)));
    // The masks are -1 where true, so down - up is +1 where the value goes
    // up and -1 where it goes down; its 64-bit lanes move to 32-bit lanes 0
    // and 1, next to t.
    const __m128i adjust = _mm_shuffle_epi32(_mm_sub_epi64(down, up), _MM_SHUFFLE(3, 3, 2, 0));
    return _mm_add_epi32(t, adjust);
}

// The bulk of a 16-bit conversion of doubles, eight samples at a time.
// Returns how many samples it converted (a multiple of 8; the caller does the
// rest) and adds the clipped ones to `clipped`.
std::size_t convertDouble16Sse2(const double* in, std::size_t n, unsigned char* out, const Depth& d,
                                std::uint32_t& clipped) {
    const __m128d fs = _mm_set1_pd(d.full_scale);
    const __m128d clamp_low = _mm_set1_pd(d.clamp_low);
    const __m128d clamp_high = _mm_set1_pd(d.clamp_high);
    const __m128d clip_low = _mm_set1_pd(d.clip_low);
    const __m128d clip_high = _mm_set1_pd(d.clip_high);
    __m128i clips = _mm_setzero_si128();
    const std::size_t bulk = n - n % 8;
    for (std::size_t i = 0; i < bulk; i += 8) {
        const __m128i a = round16x2(in + i, fs, clamp_low, clamp_high, clip_low, clip_high, clips);
        const __m128i b =
            round16x2(in + i + 2, fs, clamp_low, clamp_high, clip_low, clip_high, clips);
        const __m128i c =
            round16x2(in + i + 4, fs, clamp_low, clamp_high, clip_low, clip_high, clips);
        const __m128i e =
            round16x2(in + i + 6, fs, clamp_low, clamp_high, clip_low, clip_high, clips);
        // Every value lies within -32768..32767 by now: packing never
        // saturates. Then swap the bytes of each 16-bit value: big-endian.
        const __m128i v = _mm_packs_epi32(_mm_unpacklo_epi64(a, b), _mm_unpacklo_epi64(c, e));
        const __m128i be = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), be);
    }
    // Each lane counted its clips as -1s.
    alignas(16) std::int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), clips);
    clipped += static_cast<std::uint32_t>(-(lanes[0] + lanes[1]));
    return bulk;
}
#endif

#if defined(TARVIO_WRAIFF_AVX2)
// round16x2 for four doubles: the same steps, the same results.
__attribute__((target("avx2"))) inline __m128i round16x4(const double* in, __m256d fs,
                                                         __m256d clamp_low, __m256d clamp_high,
                                                         __m256d clip_low, __m256d clip_high,
                                                         __m256i& clips) {
    __m256d y = _mm256_mul_pd(_mm256_loadu_pd(in), fs);
    y = _mm256_and_pd(y, _mm256_cmp_pd(y, y, _CMP_ORD_Q));  // NaN becomes +0.0
    clips = _mm256_add_epi64(clips, _mm256_castpd_si256(_mm256_cmp_pd(y, clip_low, _CMP_LE_OQ)));
    clips = _mm256_add_epi64(clips, _mm256_castpd_si256(_mm256_cmp_pd(y, clip_high, _CMP_GE_OQ)));
    y = _mm256_max_pd(y, clamp_low);
    y = _mm256_min_pd(y, clamp_high);
    const __m128i t = _mm256_cvttpd_epi32(y);
    const __m256d frac = _mm256_sub_pd(y, _mm256_cvtepi32_pd(t));
    const __m256i up = _mm256_castpd_si256(_mm256_cmp_pd(frac, _mm256_set1_pd(0.5), _CMP_GE_OQ));
    const __m256i down = _mm256_castpd_si256(_mm256_cmp_pd(frac, _mm256_set1_pd(-0.5), _CMP_LE_OQ));
    // +1 where the value goes up, -1 where it goes down; the low halves of
    // the four 64-bit lanes gathered into 32-bit lanes 0 to 3.
    const __m256i adjust = _mm256_permutevar8x32_epi32(_mm256_sub_epi64(down, up),
                                                       _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    return _mm_add_epi32(t, _mm256_castsi256_si128(adjust));
}

// convertDouble16Sse2 sixteen samples at a time with AVX2.
__attribute__((target("avx2"))) std::size_t convertDouble16Avx2(const double* in, std::size_t n,
                                                                unsigned char* out, const Depth& d,
                                                                std::uint32_t& clipped) {
    const __m256d fs = _mm256_set1_pd(d.full_scale);
    const __m256d clamp_low = _mm256_set1_pd(d.clamp_low);
    const __m256d clamp_high = _mm256_set1_pd(d.clamp_high);
    const __m256d clip_low = _mm256_set1_pd(d.clip_low);
    const __m256d clip_high = _mm256_set1_pd(d.clip_high);
    // Swaps the two bytes of every 16-bit value: big-endian.
    const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1,
                                          0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    __m256i clips = _mm256_setzero_si256();
    const std::size_t bulk = n - n % 16;
    for (std::size_t i = 0; i < bulk; i += 16) {
        const __m128i a = round16x4(in + i, fs, clamp_low, clamp_high, clip_low, clip_high, clips);
        const __m128i b =
            round16x4(in + i + 4, fs, clamp_low, clamp_high, clip_low, clip_high, clips);
        const __m128i c =
            round16x4(in + i + 8, fs, clamp_low, clamp_high, clip_low, clip_high, clips);
        const __m128i e =
            round16x4(in + i + 12, fs, clamp_low, clamp_high, clip_low, clip_high, clips);
        // Packing works within each 128-bit half: (a, b) in the low half and
        // (c, e) in the high half come out as a, b, c, e in order. Nothing
        // saturates: every value lies within -32768..32767.
        const __m256i v = _mm256_packs_epi32(_mm256_set_m128i(c, a), _mm256_set_m128i(e, b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), _mm256_shuffle_epi8(v, swap));
    }
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), clips);
    clipped += static_cast<std::uint32_t>(-(lanes[0] + lanes[1] + lanes[2] + lanes[3]));
    return bulk;
}

// Asked once: does this CPU run AVX2 code?
bool haveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2") != 0;
    return have;
}
#endif

// Converts n floating-point samples to NB-byte big-endian integers in `out`
// and returns how many of them were clipped. NaN becomes 0 and is not
// counted. All comparisons happen on doubles before anything is turned into an
// integer, so no input (however large, or infinite) can overflow.
template <int NB, typename T>
std::uint32_t convertFloat(const T* in, std::size_t n, unsigned char* out, const Depth& d) {
    // Local copies: the compiler cannot tell that the byte stores leave `d`
    // alone and would reload it for every sample.
    const double full_scale = d.full_scale, clamp_low = d.clamp_low, clamp_high = d.clamp_high,
                 clip_low = d.clip_low, clip_high = d.clip_high;
    const std::int64_t min_value = d.min_value, max_value = d.max_value;
    // Rounding in 32 bits where the depth allows it is cheaper.
    using Int = typename std::conditional<NB <= 4, std::int32_t, std::int64_t>::type;
    std::uint32_t clipped = 0;
    std::size_t i = 0;
#if defined(TARVIO_WRAIFF_SSE2)
    // The program's own case, four channels of 16 bits from doubles, has a
    // vector path; it gives the same bytes and counts as the loop below.
    if constexpr (NB == 2 && std::is_same<T, double>::value) {
#if defined(TARVIO_WRAIFF_AVX2)
        if (haveAvx2())
            i = convertDouble16Avx2(in, n, out, d, clipped);
#endif
        i += convertDouble16Sse2(in + i, n - i, out + 2 * i, d, clipped);
    }
#endif
    for (; i < n; ++i) {
        double y = static_cast<double>(in[i]) * full_scale;
        std::int64_t v;
        if constexpr (NB <= 6) {
            // Bounds and the halfway points beyond them are exact doubles at
            // these depths: clamp first, then round, without branches.
            y = (y == y) ? y : 0.0;
            clipped += static_cast<std::uint32_t>(y <= clip_low) +
                       static_cast<std::uint32_t>(y >= clip_high);
            y = y < clamp_low ? clamp_low : y;
            y = y > clamp_high ? clamp_high : y;
            v = roundHalfAway<Int>(y);
        } else {
            // max_value is not a double at 56 and 64 bits: decide on the
            // clipping first and convert only values known to fit.
            if (y >= clip_high) {
                v = max_value;
                ++clipped;
            } else if (y <= clip_low) {
                v = min_value;
                ++clipped;
            } else if (y != y) {
                v = 0;
            } else {
                v = roundHalfAway<Int>(y);
            }
        }
        tarvio::bytes::putBE(out + i * NB, static_cast<std::uint64_t>(v), NB);
    }
    return clipped;
}

// Integer samples are values at the file's depth already: only clipped.
template <int NB, typename T>
std::uint32_t convertInt(const T* in, std::size_t n, unsigned char* out, const Depth& d) {
    const std::int64_t min_value = d.min_value, max_value = d.max_value;
    std::uint32_t clipped = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t v = static_cast<std::int64_t>(in[i]);
        clipped +=
            static_cast<std::uint32_t>(v < min_value) + static_cast<std::uint32_t>(v > max_value);
        v = v < min_value ? min_value : v;
        v = v > max_value ? max_value : v;
        tarvio::bytes::putBE(out + i * NB, static_cast<std::uint64_t>(v), NB);
    }
    return clipped;
}

template <typename T>
using Converter = std::uint32_t (*)(const T*, std::size_t, unsigned char*, const Depth&);

template <int NB, typename T>
constexpr Converter<T> converterFor() {
    if constexpr (std::is_floating_point<T>::value)
        return &convertFloat<NB, T>;
    else
        return &convertInt<NB, T>;
}

template <typename T>
Converter<T> pickConverter(int n_bytes) {
    switch (n_bytes) {
        case 1:
            return converterFor<1, T>();
        case 2:
            return converterFor<2, T>();
        case 3:
            return converterFor<3, T>();
        case 4:
            return converterFor<4, T>();
        case 5:
            return converterFor<5, T>();
        case 6:
            return converterFor<6, T>();
        case 7:
            return converterFor<7, T>();
        default:
            return converterFor<8, T>();
    }
}

}  // namespace

const char* const wraiff_too_large = "AIFF file too large!\n";

class WRAIFF_impl {
  public:
    void open(const char* name, double samplerate, short channels, short bits);
    template <typename T>
    void write(const T* buffer, long nframes);
    bool is_open() const { return stream.is_open(); }
    void info(std::ostream& os);
    void report_as(const char* name) { filename = name ? name : ""; }
    void close();
    // The destructor's close: finishes an open file, reporting a failure on
    // standard error instead of throwing it.
    void finish_quietly() noexcept;

  private:
    void write_header();
    void flush_scratch();
    void finish();
    Depth depth() const;

    std::ofstream stream;
    std::string filename;
    std::uint32_t n_frames = 0;
    std::int16_t n_channels = 0;
    std::int16_t n_bits = 0;
    std::int16_t n_bytes = 0;
    double rate = 0.0;
    double full_scale = 0.0;
    std::int64_t min_value = 0;
    std::int64_t max_value = 0;
    std::uint32_t clipped = 0;

    // Conversion space for write; lives as long as the writer. The first
    // `pending` bytes are converted samples not yet handed to the stream.
    unsigned char scratch[kScratchBytes];
    std::size_t pending = 0;
    bool data_sent = false;  // sample bytes have gone to the stream
};

void WRAIFF_impl::open(const char* name, double samplerate, short channels, short bits) {
    if (name == nullptr)
        throw "No filename!\n";
    if (name[0] == '\0')
        throw "Empty filename!\n";
    // Written so that a NaN rate is refused as well.
    if (!(samplerate >= 1.0 && samplerate <= 128000.0))
        throw "Samplerate out of range!\n";
    if (channels < 1 || channels > 128)
        throw "Too many or too less channels!\n";
    if (bits % 8 != 0 || bits < 8 || bits > 64)
        throw "Wrong number of bits!\n";
    if (is_open())
        throw "An AIFF file is already open!\n";

    try {
        filename = name;
    } catch (const std::bad_alloc&) {
        throw "Not enough memory (to hold a copy of the filename)!\n";
    }

    stream.open(name, std::ios::out | std::ios::binary | std::ios::trunc);
    if (stream.is_open())
        stream.clear();
    if (!stream.is_open() || !stream.good()) {
        if (stream.is_open())
            stream.close();
        throw "Could not open AIFF file!\n";
    }

    rate = samplerate;
    n_channels = channels;
    n_bits = bits;
    n_bytes = static_cast<std::int16_t>(bits / 8);
    full_scale = std::ldexp(1.0, bits - 1);
    max_value = static_cast<std::int64_t>((std::uint64_t{1} << (bits - 1)) - 1u);
    min_value = -max_value - 1;
    clipped = 0;
    pending = 0;
    data_sent = false;
    n_frames = huge_frames;
    write_header();
    n_frames = 0;
    if (!stream.good()) {
        stream.close();
        throw "Failed to write AIFF header!\n";
    }
}

void WRAIFF_impl::write_header() {
    unsigned char h[kHeaderBytes];
    tarvio::aiff::composeHeader(h, static_cast<unsigned>(n_channels), n_frames,
                                static_cast<unsigned>(n_bits), rate);
    stream.write(reinterpret_cast<const char*>(h), static_cast<std::streamsize>(kHeaderBytes));
}

Depth WRAIFF_impl::depth() const {
    Depth d;
    d.full_scale = full_scale;
    d.min_value = min_value;
    d.max_value = max_value;
    d.clamp_low = static_cast<double>(min_value);
    d.clamp_high = static_cast<double>(max_value);  // only used up to 48 bits
    // A scaled value y rounds above max_value exactly when y >= max_value + 0.5
    // and below min_value exactly when y <= min_value - 0.5. Up to 48 bits both
    // limits are doubles. At 56 and 64 bits the doubles next to the bounds are
    // spaced wider than 1: max_value + 0.5 rounds to full_scale (still the
    // right limit), while the low limit is the first double below min_value.
    d.clip_high = full_scale - 0.5;
    d.clip_low = n_bits <= 48
                     ? -full_scale - 0.5
                     : std::nextafter(-full_scale, -std::numeric_limits<double>::infinity());
    return d;
}

template <typename T>
void WRAIFF_impl::write(const T* buffer, long nframes) {
    if (buffer == nullptr || nframes < 0)
        throw "Wrong argument(s)!\n";
    if (!is_open())
        throw "No AIFF file currently open!\n";

    const std::uint64_t frame_bytes =
        static_cast<std::uint64_t>(n_channels) * static_cast<std::uint64_t>(n_bytes);
    const std::uint64_t max_frames = kMaxDataBytes / frame_bytes;
    if (n_frames > max_frames || static_cast<std::uint64_t>(nframes) > max_frames - n_frames)
        throw wraiff_too_large;

    const std::uint32_t clipped_before = clipped;
    const std::uint32_t frames_before = n_frames;

    const Depth d = depth();
    const Converter<T> convert = pickConverter<T>(n_bytes);
    const std::size_t sample_bytes = static_cast<std::size_t>(n_bytes);
    std::size_t remaining =
        static_cast<std::size_t>(nframes) * static_cast<std::size_t>(n_channels);
    while (remaining > 0) {
        std::size_t room = (kScratchBytes - pending) / sample_bytes;
        if (room == 0) {
            flush_scratch();
            room = kScratchBytes / sample_bytes;
        }
        const std::size_t n = remaining < room ? remaining : room;
        clipped += convert(buffer, n, scratch + pending, d);
        pending += n * sample_bytes;
        buffer += n;
        remaining -= n;
    }
    // The first samples of a file go to the stream at once, so that an output
    // that takes no data at all (a full device) fails the first write that
    // has any, not only the close.
    if (!data_sent && pending > 0) {
        flush_scratch();
        data_sent = true;
    }
    // Counted even when the stream failed: the frames were handed over.
    n_frames += static_cast<std::uint32_t>(nframes);
    if (stream.bad())
        throw "AIFF file gone bad!\n";

    const bool first_clip = clipped_before == 0 && clipped != 0;
    const bool grew_huge = frames_before <= huge_frames && n_frames > huge_frames;
    if constexpr (std::is_floating_point<T>::value) {
        if (first_clip)
            std::cerr << "Clipped!\n";
        if (grew_huge)
            std::cerr << "AIFF file growing huge!\n";
    } else {
        if (first_clip)
            throw "Clipped!\n";
        if (grew_huge)
            throw "AIFF file growing huge!\n";
    }
}

void WRAIFF_impl::info(std::ostream& os) {
    static const char line[] = "--------------------------------------\n";
    if (os.fail())
        throw "NULL argument!\n";
    if (!is_open())
        throw "No AIFF file currently open!\n";

    const int frame_bytes = n_channels * n_bytes;
    // 64-bit: the largest file allowed is a few bytes above 2^32 - 1.
    const std::uint64_t file_bytes =
        static_cast<std::uint64_t>(frame_bytes) * n_frames + kHeaderBytes;
    os << line;
    os << "   AIFF file: " << filename << "\n";
    os << "    channels: " << static_cast<unsigned>(n_channels) << "\n";
    os << "      frames: " << n_frames << "\n";
    os << "        bits: " << static_cast<unsigned>(n_bits) << "\n";
    os << "  samplerate: " << rate << " Hz\n";
    os << " bytes/frame: " << frame_bytes << "\n";
    os << "    filesize: " << file_bytes << " bytes\n";
    os << "    duration: ";
    const double seconds = n_frames / rate;
    if (seconds >= 3600)
        os << seconds / 3600 << " hours\n";
    else if (seconds >= 60)
        os << seconds / 60 << " minutes\n";
    else
        os << seconds << " seconds\n";
    if (clipped > 0) {
        os << "     clipped: " << clipped << " sample";
        if (clipped > 1)
            os << "s";
        os << "!\n";
    }
    os << line;
}

void WRAIFF_impl::close() {
    if (!is_open())
        throw "No AIFF file currently open!\n";
    finish();
}

// Hands the collected sample bytes to the stream; a failure shows in the
// stream's state.
void WRAIFF_impl::flush_scratch() {
    if (pending > 0)
        stream.write(reinterpret_cast<const char*>(scratch), static_cast<std::streamsize>(pending));
    pending = 0;
}

// Rewrites the header with the final counts and closes the file; the stream is
// closed whichever step fails.
void WRAIFF_impl::finish() {
    flush_scratch();
    if (!stream.good()) {
        stream.close();
        throw "AIFF file gone bad. No header-rewrite!\n";
    }
    stream.seekp(0);
    if (stream.fail()) {
        stream.close();
        throw "Failed to rewind AIFF file!\n";
    }
    write_header();
    if (!stream.good()) {
        stream.close();
        throw "Failed to rewrite AIFF header!\n";
    }
    stream.close();
    if (stream.fail())
        throw "Failure during closing AIFF file!\n";
}

void WRAIFF_impl::finish_quietly() noexcept {
    if (!is_open())
        return;
    try {
        finish();
    } catch (const char* message) {
        try {
            std::cerr << message;
        } catch (...) {
        }
    } catch (...) {
    }
    if (stream.is_open()) {
        try {
            stream.close();
        } catch (...) {
        }
    }
}

WRAIFF::WRAIFF() : impl(new WRAIFF_impl) {}

WRAIFF::WRAIFF(const char* name, double samplerate, short channels, short bits)
    : impl(new WRAIFF_impl) {
    try {
        impl->open(name, samplerate, channels, bits);
    } catch (...) {
        delete impl;
        throw;
    }
}

WRAIFF::~WRAIFF() {
    impl->finish_quietly();
    delete impl;
}

void WRAIFF::open(const char* name, double samplerate, short channels, short bits) {
    impl->open(name, samplerate, channels, bits);
}

void WRAIFF::write(const double* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const float* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const long* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const int* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const short* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const signed char* buffer, long nframes) {
    impl->write(buffer, nframes);
}

bool WRAIFF::is_open() {
    return impl->is_open();
}

void WRAIFF::info(std::ostream& os) {
    impl->info(os);
}

void WRAIFF::report_as(const char* name) {
    impl->report_as(name);
}

void WRAIFF::close() {
    impl->close();
}
