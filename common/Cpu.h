// SPDX-License-Identifier: MIT
// The one place that knows which instruction sets this build compiled and
// which this processor runs, and the tables of the vector kernels.
//
// Vector code follows one convention:
//   - A kernel family has one file with its portable reference, its variant
//     tables and the functions that pick from them (pcm/Encode.cpp,
//     engine/SpatialKernels.cpp), and one file per instruction set with the
//     family's variants for it, named after the family and the set
//     (pcm/EncodeAvx2.cpp, engine/SpatialKernelsAvx512.cpp). The AVX-512
//     file holds the avx512 and the avx512vbmi variants.
//   - A variant is named <kernel>_<set>: s16_from_double_portable,
//     s16_from_double_sse2, _avx2, _avx512 (AVX-512 F), _avx512vbmi (F, BW
//     and VBMI), with one underscore (C++ reserves names with two).
//   - Its table lists the portable reference first, then the vector variants
//     from the narrowest set to the widest, each row written as
//     TARVIO_VARIANT(kernel, set), which takes the row's name, its set and
//     its function from that one suffix; pick() takes the last row the
//     processor runs. A static_assert of ordered() keeps each table so.
//   - Every vector file includes common/Simd.h, which gives the intrinsics,
//     the target attributes and the guard around AVX-512 code.
// Tests and benchmarks walk the same tables, so every variant is compared
// with the reference it replaces.
//
// The build leaves out an instruction set with TARVIO_NO_SIMD (all of them),
// TARVIO_NO_AVX2 (AVX2 and AVX-512) or TARVIO_NO_AVX512; the CMake options of
// the same names set them for every target.
#ifndef TARVIO_COMMON_CPU_H
#define TARVIO_COMMON_CPU_H

#include <cstddef>

// Which vector code this build contains. SSE2 comes with every x86-64
// compiler; AVX2 and AVX-512 are compiled per function (target attributes),
// so they need GCC or clang, and are used only where the processor has them.
#if defined(__SSE2__) && !defined(TARVIO_NO_SIMD)
#define TARVIO_HAVE_SSE2 1
#endif
#if defined(TARVIO_HAVE_SSE2) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(TARVIO_NO_AVX2)
#define TARVIO_HAVE_AVX2 1
#endif
#if defined(TARVIO_HAVE_AVX2) && !defined(TARVIO_NO_AVX512)
#define TARVIO_HAVE_AVX512 1
#endif

namespace tarvio::cpu {

// Instruction sets, each including the ones before it in what the variants
// written for it use.
enum class Isa {
    Portable,    // plain C++
    Sse2,        // every x86-64 processor
    Avx2,        // AVX2
    Avx512,      // AVX-512 F
    Avx512Vbmi,  // AVX-512 F, BW and VBMI (byte permutes)
};

// The instruction set's name: the suffix of its variants' functions, and the
// name of their rows as tests and benchmarks print it.
constexpr const char* name(Isa isa) {
    switch (isa) {
        case Isa::Portable:
            return "portable";
        case Isa::Sse2:
            return "sse2";
        case Isa::Avx2:
            return "avx2";
        case Isa::Avx512:
            return "avx512";
        case Isa::Avx512Vbmi:
            return "avx512vbmi";
    }
    return "?";
}

// The instruction set of each suffix, for TARVIO_VARIANT.
namespace suffix {
constexpr Isa portable = Isa::Portable;
constexpr Isa sse2 = Isa::Sse2;
constexpr Isa avx2 = Isa::Avx2;
constexpr Isa avx512 = Isa::Avx512;
constexpr Isa avx512vbmi = Isa::Avx512Vbmi;
}  // namespace suffix

// Whether this build contains code for `isa` and this processor runs it.
// The processor is asked once.
bool supported(Isa isa);

// The processors this process may run on (its affinity), at least 1.
int processors();

// One implementation of a kernel. `name` is name(isa).
template <class Fn>
struct Variant {
    const char* name;
    Isa isa;
    Fn fn;
};

// The row of kernel_set, e.g. TARVIO_VARIANT(peak, avx512) for peak_avx512:
// named "avx512", for Isa::Avx512. A suffix that names no instruction set
// does not compile.
#define TARVIO_VARIANT(kernel, set)                                                   \
    {                                                                                 \
        ::tarvio::cpu::name(::tarvio::cpu::suffix::set), ::tarvio::cpu::suffix::set, \
            &kernel##_##set                                                           \
    }

// Whether a table is as pick() wants it: the portable reference first, then
// instruction sets each wider than the one before.
template <class Fn, std::size_t N>
constexpr bool ordered(const Variant<Fn> (&table)[N]) {
    if (table[0].isa != Isa::Portable)
        return false;
    for (std::size_t i = 1; i < N; ++i) {
        if (!(table[i - 1].isa < table[i].isa))
            return false;
    }
    return true;
}

// A whole table as its kernel's header hands it to tests and benchmarks,
// which walk every row.
template <class Fn>
struct VariantRows {
    const Variant<Fn>* first;
    std::size_t count;
    const Variant<Fn>* begin() const { return first; }
    const Variant<Fn>* end() const { return first + count; }
};

template <class Fn, std::size_t N>
VariantRows<Fn> rowsOf(const Variant<Fn> (&table)[N]) {
    return {table, N};
}

// The last row of `table` that this processor runs; the first row must be
// the portable reference, which always runs.
template <class Fn, std::size_t N>
const Variant<Fn>& pick(const Variant<Fn> (&table)[N]) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < N; ++i) {
        if (supported(table[i].isa))
            best = i;
    }
    return table[best];
}

}  // namespace tarvio::cpu

#endif  // TARVIO_COMMON_CPU_H
