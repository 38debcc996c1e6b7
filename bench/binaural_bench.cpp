// SPDX-License-Identifier: MIT
// tarvio-render's headphone output as its block loop calls it: one block of
// 1024 four-channel (quad) frames at 48 kHz through the default HRIR set
// into two ears. The "frame" counter is the time per frame.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/BenchSupport.h"
#include "engine/SpeakerLayout.h"
#include "render/Binaural.h"

namespace {

constexpr int kBlockFrames = 1024;

void BM_BinauralQuadBlock(benchmark::State& state) {
    tarvio::render::Binaural binaural(tarvio::render::kDefaultSofaFile, tarvio::layouts::quad(),
                                      48000, kBlockFrames);
    std::vector<double> speakers(static_cast<std::size_t>(kBlockFrames) * 4);
    tarvio::bench::fillNoise(speakers.data(), speakers.size(), 0.5);
    std::vector<double> stereo(static_cast<std::size_t>(kBlockFrames) * 2);
    for (auto _ : state) {
        binaural.process(speakers.data(), kBlockFrames, stereo.data());
        benchmark::DoNotOptimize(stereo.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
    state.counters["frame"] = benchmark::Counter(
        static_cast<double>(kBlockFrames),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["held_bytes"] = static_cast<double>(binaural.heldBytes());
}
BENCHMARK(BM_BinauralQuadBlock);

}  // namespace
