// SPDX-License-Identifier: MIT
// tarvio-render's output as its block loop calls it: blocks of 1024
// four-channel frames into a 16-bit AIFF file (the peak, the conversion and
// the collected writes through libsndfile). The file is made anew well
// before it grows large; the samples stay inside full scale.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "bench/BenchSupport.h"
#include "render/AudioOutput.h"

namespace {

constexpr int kBlockFrames = 1024;
constexpr long kRenewFrames = 1L << 22;

std::unique_ptr<tarvio::render::AudioOutput> makeOutput(const char* path) {
    return std::make_unique<tarvio::render::AudioOutput>(
        path, -1, path, *tarvio::render::findOutputFormat("aiff"),
        *tarvio::render::findSampleFormat("16"), tarvio::layouts::quad(), 44100, 0);
}

void BM_RenderOutputBlock(benchmark::State& state) {
    tarvio::bench::ScratchFile file("render");
    std::vector<double> block(static_cast<std::size_t>(kBlockFrames) *
                              4);
    tarvio::bench::fillNoise(block.data(), block.size(), 0.9);
    std::unique_ptr<tarvio::render::AudioOutput> out = makeOutput(file.path());
    long frames = 0;
    for (auto _ : state) {
        out->write(block.data(), kBlockFrames);
        frames += kBlockFrames;
        if (frames >= kRenewFrames) {
            state.PauseTiming();
            out->close();
            out = makeOutput(file.path());
            frames = 0;
            state.ResumeTiming();
        }
    }
    out->close();
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_RenderOutputBlock);

}  // namespace
