// SPDX-License-Identifier: MIT
// What every file of vector code includes: the intrinsics of the instruction
// sets this build contains, the target attribute of each, and the guard
// around AVX-512 code. Where the files live and how their variants are
// named is in common/Cpu.h.
//
// SSE2 is the build's own target on x86-64 and needs no attribute. AVX2 and
// AVX-512 are compiled per function: every function of a variant carries its
// set's attribute, the inlined helpers included (a helper is inlined only
// into callers built for the same set or a wider one).
#ifndef TARVIO_COMMON_SIMD_H
#define TARVIO_COMMON_SIMD_H

#include "common/Cpu.h"

// GCC 12 takes the self-initialised "undefined" registers inside its AVX-512
// intrinsics (the unset operand of a masked instruction with every lane
// selected) for uninitialised values once they are inlined (fixed in GCC 13).
// The warnings point into <immintrin.h>, which is included inside the guard,
// and into the functions that inline those intrinsics: each AVX-512 file puts
// its code between TARVIO_AVX512_BEGIN and TARVIO_AVX512_END.
#if defined(__GNUC__) && !defined(__clang__)
#define TARVIO_AVX512_BEGIN                                                                    \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"") \
        _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#define TARVIO_AVX512_END _Pragma("GCC diagnostic pop")
#else
#define TARVIO_AVX512_BEGIN
#define TARVIO_AVX512_END
#endif

#if defined(TARVIO_HAVE_SSE2)
#include <emmintrin.h>
#endif
#if defined(TARVIO_HAVE_AVX2)
TARVIO_AVX512_BEGIN
#include <immintrin.h>
TARVIO_AVX512_END
#endif

// The target attribute of each instruction set's functions (see
// cpu::Isa). AVX-512 F includes AVX2.
#define TARVIO_TARGET_AVX2 __attribute__((target("avx2")))
#define TARVIO_TARGET_AVX512 __attribute__((target("avx512f")))
#define TARVIO_TARGET_AVX512VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// A step of a kernel, split out to be named and read on its own, that must
// still be compiled into the kernel's loop.
#define TARVIO_INLINE inline __attribute__((always_inline))

#endif  // TARVIO_COMMON_SIMD_H
