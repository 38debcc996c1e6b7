// SPDX-License-Identifier: MIT
// The spatializer's block processing for a stereo input: mixdown, both
// rotations and the four-channel spread, one block of 1024 frames at a time,
// once for each row of the kernel table that this build and processor run
// (BM_SpatializerStereoBlock/portable, /sse2, ...), each with the widest
// mixdown of no wider an instruction set. The "frame" counter is the time
// per frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/SpatialKernels.h"
#include "engine/Spatializer.h"

namespace {

void BM_SpatializerStereoBlock(benchmark::State& state, tarvio::SpatialKernel kernel) {
    tarvio::SpatializerParams params;
    params.f1_init = 0.25;
    params.f1_end = 3.0;
    params.f2_init = 0.5;
    params.f2_end = 1.75;
    params.angle1 = 0.0;
    params.angle2 = 90.0;
    // The 10-minute job of bench/compare.sh. Past the file's last block the
    // sweeps would run on to ever higher frequencies, so the measurement
    // starts the file again there: the time per frame is that of the job,
    // however many blocks the benchmark decides to run.
    constexpr int kFrames = 44100 * 600;
    constexpr int kBlocks = kFrames / tarvio::BLOCK_SIZE;
    auto spat = std::make_unique<tarvio::Spatializer>(params, 2, 44100.0, kFrames, kernel);
    tarvio::bench::fillNoise(spat->inBlock(), static_cast<std::size_t>(spat->inBlockCapacity()),
                             0.8);
    const int n = spat->inBlockCapacity();
    std::vector<double> input(spat->inBlock(), spat->inBlock() + n);
    int block = 0;
    for (auto _ : state) {
        const int frames = spat->processBlock(n);
        benchmark::DoNotOptimize(spat->outBlock());
        benchmark::DoNotOptimize(frames);
        benchmark::ClobberMemory();
        spat->advanceSweeps();
        if (++block == kBlocks) {
            state.PauseTiming();
            spat = std::make_unique<tarvio::Spatializer>(params, 2, 44100.0, kFrames, kernel);
            std::copy(input.begin(), input.end(), spat->inBlock());
            block = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations() * tarvio::BLOCK_SIZE);
    state.counters["frame"] =
        benchmark::Counter(tarvio::BLOCK_SIZE, benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}

// The mixdown that goes with a kernel of instruction set `isa`.
tarvio::MixDownFn mixDownFor(tarvio::cpu::Isa isa) {
    tarvio::MixDownFn chosen = tarvio::mixDown_portable;
    for (const auto& row : tarvio::mixDownVariants()) {
        if (row.isa <= isa && tarvio::cpu::supported(row.isa))
            chosen = row.fn;
    }
    return chosen;
}

const bool registered = [] {
    for (const auto& row : tarvio::spatializeVariants()) {
        if (!tarvio::cpu::supported(row.isa))
            continue;
        benchmark::RegisterBenchmark(
            (std::string("BM_SpatializerStereoBlock/") + row.name).c_str(),
            BM_SpatializerStereoBlock, tarvio::SpatialKernel{row.fn, mixDownFor(row.isa)});
    }
    return true;
}();

}  // namespace
