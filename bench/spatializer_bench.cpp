// SPDX-License-Identifier: MIT
// The spatializer's block processing for a stereo input: mixdown, both
// rotations and the four-channel spread, one block of 1024 frames at a time,
// once for each kernel this build and processor run
// (BM_SpatializerStereoBlock/portable, /sse2, ...). The "frame" counter is
// the time per frame.
#include <benchmark/benchmark.h>

#include <string>

#include "engine/SpatialKernels.h"
#include "engine/Spatializer.h"
#include "bench/BenchSupport.h"

namespace {

void BM_SpatializerStereoBlock(benchmark::State& state, const tarvio::SpatialKernel* kernel) {
    tarvio::SpatializerParams params;
    params.f1_init = 0.25;
    params.f1_end = 3.0;
    params.f2_init = 0.5;
    params.f2_end = 1.75;
    params.angle1 = 0.0;
    params.angle2 = 90.0;
    // A long file, so the sweeps run for the whole measurement.
    tarvio::Spatializer spat(params, 2, 44100.0, 44100 * 600, *kernel);
    tarvio::bench::fillNoise(spat.inBlock(), static_cast<std::size_t>(spat.inBlockCapacity()), 0.8);
    const int n = spat.inBlockCapacity();
    for (auto _ : state) {
        const int frames = spat.processBlock(n);
        benchmark::DoNotOptimize(spat.outBlock());
        benchmark::DoNotOptimize(frames);
        benchmark::ClobberMemory();
        spat.advanceSweeps();
    }
    state.SetItemsProcessed(state.iterations() * tarvio::BLOCK_SIZE);
    state.counters["frame"] =
        benchmark::Counter(tarvio::BLOCK_SIZE, benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}

const bool registered = [] {
    for (const tarvio::SpatialKernel* kernel : tarvio::spatialKernels()) {
        benchmark::RegisterBenchmark(
            (std::string("BM_SpatializerStereoBlock/") + kernel->name).c_str(),
            BM_SpatializerStereoBlock, kernel);
    }
    return true;
}();

}  // namespace
