// SPDX-License-Identifier: MIT
// The one place that knows which instruction sets this build compiled and
// which this processor runs. Kernels with vector variants list them in a
// table of Variant rows (name, instruction set, function); pick() takes the
// last row the processor runs, so a table is written from the portable
// reference up to the widest variant. Tests and benchmarks walk the same
// tables, so every variant is compared with the reference it replaces.
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

// The instruction set's name as the variant tables and the tests print it.
const char* name(Isa isa);

// Whether this build contains code for `isa` and this processor runs it.
// The processor is asked once.
bool supported(Isa isa);

// One implementation of a kernel.
template <class Fn>
struct Variant {
    const char* name;
    Isa isa;
    Fn fn;
};

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
