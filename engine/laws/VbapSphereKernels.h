// SPDX-License-Identifier: MIT
// The block kernel of vbap on the sphere: eight frames at a time that one
// triangle holds. Every variant gives the portable kernel's bytes, which
// are the per-frame law's: each lane does its operations in its order, with
// no fused multiply-add (the files are compiled without contraction), and
// the per-frame law's branches are selects between values computed alike.
#ifndef TARVIO_ENGINE_LAWS_VBAPSPHEREKERNELS_H
#define TARVIO_ENGINE_LAWS_VBAPSPHEREKERNELS_H

#include "common/Cpu.h"
#include "engine/SpeakerLayout.h"
#include "engine/laws/VbapSphere.h"

namespace tarvio {
namespace laws {

// sphereSpread() for kSphereLanes frames at (x, y) at the elevation whose
// cosine and sine are given, with `channels` samples a frame, where triangle
// `triangle` holds every one of them and none of its rivals holds any.
// Returns false, writing nothing, where a frame lies elsewhere (or the
// frame has more than kMaxSpeakers channels).
using SphereLanesFn = bool (*)(const SphereLayout& s, int triangle, const double* x,
                               const double* y, double cosE, double sinE, const double* mono,
                               int channels, double* out);

bool sphereLanes_portable(const SphereLayout& s, int triangle, const double* x, const double* y,
                          double cosE, double sinE, const double* mono, int channels, double* out);
#if defined(TARVIO_HAVE_AVX512)
bool sphereLanes_avx512(const SphereLayout& s, int triangle, const double* x, const double* y,
                        double cosE, double sinE, const double* mono, int channels, double* out);
#endif

// Every variant this build has, portable first; and the widest this
// processor runs.
cpu::VariantRows<SphereLanesFn> sphereLanesVariants();
SphereLanesFn defaultSphereLanes();

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_ENGINE_LAWS_VBAPSPHEREKERNELS_H
