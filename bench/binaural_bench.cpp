// SPDX-License-Identifier: MIT
// tarvio-render's headphone output as its block loop calls it: blocks of
// 1024 frames at 48 kHz through the default HRIR set into two ears, for
// layouts of 4 to 64 loudspeakers, both ways:
//   BM_BinauralFeeds: every loudspeaker's feed convolved with its HRIR pair
//     (Binaural);
//   BM_BinauralSource: one moving source, the loudspeakers' HRIRs weighted
//     by the panner's gains (BinauralSource);
//   BM_BinauralPipeline: the same with the convolution on a second thread
//     in batches of 16 blocks, as tarvio-render runs it (BinauralPipeline;
//     wall-clock time).
// The "frame" counter is the time per frame; "held_bytes" what the
// convolution holds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/GainLaw.h"
#include "engine/SpeakerLayout.h"
#include "render/Binaural.h"
#include "render/BinauralPipeline.h"
#include "render/BinauralSource.h"

namespace {

constexpr int kBlockFrames = 1024;
constexpr int kRate = 48000;
// Blocks of positions the moving source goes through, round and round.
constexpr int kPathBlocks = 64;

void countFrames(benchmark::State& state, std::size_t heldBytes) {
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
    state.counters["frame"] = benchmark::Counter(
        static_cast<double>(kBlockFrames),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["held_bytes"] = static_cast<double>(heldBytes);
}

void BM_BinauralFeeds(benchmark::State& state, const char* layoutName) {
    const tarvio::SpeakerLayout layout = *tarvio::findLayout(layoutName);
    tarvio::render::Binaural binaural(tarvio::render::kDefaultSofaFile, layout, kRate,
                                      kBlockFrames);
    std::vector<double> speakers(static_cast<std::size_t>(kBlockFrames) * layout.size());
    tarvio::bench::fillNoise(speakers.data(), speakers.size(), 0.5);
    std::vector<double> stereo(static_cast<std::size_t>(kBlockFrames) * 2);
    for (auto _ : state) {
        binaural.process(speakers.data(), kBlockFrames, stereo.data());
        benchmark::DoNotOptimize(stereo.data());
        benchmark::ClobberMemory();
    }
    countFrames(state, binaural.heldBytes());
}
BENCHMARK_CAPTURE(BM_BinauralFeeds, quad, "quad");
BENCHMARK_CAPTURE(BM_BinauralFeeds, 7.1, "7.1");
BENCHMARK_CAPTURE(BM_BinauralFeeds, ring16, "ring:16");
BENCHMARK_CAPTURE(BM_BinauralFeeds, ring64, "ring:64");

// The source circles the middle of the square once a second: its signal
// for a block, and its positions for kPathBlocks blocks.
struct Circling {
    std::vector<double> mono, x, y;
    Circling()
        : mono(kBlockFrames), x(static_cast<std::size_t>(kPathBlocks) * kBlockFrames), y(x.size()) {
        tarvio::bench::fillNoise(mono.data(), mono.size(), 0.5);
        for (std::size_t f = 0; f < x.size(); ++f) {
            const double turn = 2 * 3.14159265358979323846 * static_cast<double>(f) / kRate;
            x[f] = 0.5 + 0.4 * std::sin(turn);
            y[f] = 0.5 + 0.4 * std::cos(turn);
        }
    }
};

tarvio::Panner pannerFor(const tarvio::SpeakerLayout& layout, const char* law) {
    return tarvio::Panner(law ? *tarvio::findPanLaw(law) : *tarvio::defaultPanLaw(layout), layout);
}

void BM_BinauralSource(benchmark::State& state, const char* layoutName, const char* law) {
    const tarvio::SpeakerLayout layout = *tarvio::findLayout(layoutName);
    const tarvio::Panner panner = pannerFor(layout, law);
    tarvio::render::BinauralSource source(
        tarvio::render::HrirSet::load(tarvio::render::kDefaultSofaFile, layout, kRate), panner,
        kBlockFrames);
    const Circling path;
    const std::vector<double>& mono = path.mono;
    const std::vector<double>& x = path.x;
    const std::vector<double>& y = path.y;
    std::vector<double> stereo(static_cast<std::size_t>(kBlockFrames) * 2);
    std::size_t block = 0;
    for (auto _ : state) {
        const std::size_t first = block * kBlockFrames;
        std::fill(stereo.begin(), stereo.end(), 0.0);
        source.process(mono.data(), x.data() + first, y.data() + first, kBlockFrames,
                       stereo.data());
        benchmark::DoNotOptimize(stereo.data());
        benchmark::ClobberMemory();
        block = (block + 1) % kPathBlocks;
    }
    countFrames(state, source.heldBytes());
}
BENCHMARK_CAPTURE(BM_BinauralSource, quad, "quad", nullptr);
BENCHMARK_CAPTURE(BM_BinauralSource, 7.1, "7.1", nullptr);
BENCHMARK_CAPTURE(BM_BinauralSource, ring16, "ring:16", nullptr);
BENCHMARK_CAPTURE(BM_BinauralSource, ring64, "ring:64", nullptr);
// Every loudspeaker's gain above zero: the weighted sum at its largest.
BENCHMARK_CAPTURE(BM_BinauralSource, ring64_dbap, "ring:64", "dbap");

void BM_BinauralPipeline(benchmark::State& state, const char* layoutName) {
    const tarvio::SpeakerLayout layout = *tarvio::findLayout(layoutName);
    const tarvio::Panner panner = pannerFor(layout, nullptr);
    tarvio::render::BinauralPipeline pipeline(
        tarvio::render::HrirSet::load(tarvio::render::kDefaultSofaFile, layout, kRate), panner,
        kBlockFrames, 16);
    const Circling path;
    std::size_t block = 0;
    for (auto _ : state) {
        const std::size_t first = block * kBlockFrames;
        const tarvio::render::BinauralPipeline::Output ready = pipeline.process(
            path.mono.data(), path.x.data() + first, path.y.data() + first, kBlockFrames);
        benchmark::DoNotOptimize(ready.stereo);
        benchmark::ClobberMemory();
        block = (block + 1) % kPathBlocks;
    }
    countFrames(state, pipeline.heldBytes());
}
BENCHMARK_CAPTURE(BM_BinauralPipeline, quad, "quad")->UseRealTime();
BENCHMARK_CAPTURE(BM_BinauralPipeline, ring64, "ring:64")->UseRealTime();

}  // namespace
