// SPDX-License-Identifier: MIT

#include "common/Cpu.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace tarvio::cpu {

namespace {

// What the processor has, read once.
struct Features {
    bool sse2 = false;
    bool avx2 = false;
    bool avx512 = false;
    bool avx512vbmi = false;
};

Features probe() {
    Features f;
#if defined(TARVIO_HAVE_SSE2)
    f.sse2 = true;  // the build's own target
#endif
#if defined(TARVIO_HAVE_AVX2)
    __builtin_cpu_init();  // in case this runs before the static constructors
    f.avx2 = __builtin_cpu_supports("avx2");
#endif
#if defined(TARVIO_HAVE_AVX512)
    f.avx512 = f.avx2 && __builtin_cpu_supports("avx512f");
    f.avx512vbmi = f.avx512 && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vbmi");
#endif
    return f;
}

}  // namespace

bool supported(Isa isa) {
    static const Features f = probe();
    switch (isa) {
        case Isa::Portable:
            return true;
        case Isa::Sse2:
            return f.sse2;
        case Isa::Avx2:
            return f.avx2;
        case Isa::Avx512:
            return f.avx512;
        case Isa::Avx512Vbmi:
            return f.avx512vbmi;
    }
    return false;
}

int processors() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
#endif
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace tarvio::cpu
