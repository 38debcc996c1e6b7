// SPDX-License-Identifier: MIT
// WRAIFF::write(const double*, long) for four-channel 16- and 24-bit files,
// one block of 1024 frames per call as the driver hands them over, and each
// variant of the double to 16-bit conversion on its own. The file is reopened
// well before it grows large, so the writer's size warning never comes into
// play; the samples stay inside full scale, so nothing clips.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/Cpu.h"
#include "pcm/Pcm.h"
#include "aiff/wraiff.h"
#include "bench/BenchSupport.h"

namespace {

constexpr short kChannels = 4;
constexpr long kBlockFrames = 1024;
constexpr long kReopenFrames = 1L << 22;  // ~4M frames, far below huge_frames

// Argument 0: bits per sample. Argument 1: 1 writes to /dev/null (the
// writer's own cost), 0 to a scratch file in the temporary directory.
void BM_WraiffWriteDouble(benchmark::State& state) {
    const short bits = static_cast<short>(state.range(0));
    const bool devNull = state.range(1) != 0;
    tarvio::bench::ScratchFile file("wraiff");
    const char* path = devNull ? "/dev/null" : file.path();

    std::vector<double> block(static_cast<std::size_t>(kBlockFrames) * kChannels);
    tarvio::bench::fillNoise(block.data(), block.size(), 0.9);

    WRAIFF writer(path, 44100.0, kChannels, bits);
    long framesInFile = 0;
    for (auto _ : state) {
        writer.write(block.data(), kBlockFrames);
        framesInFile += kBlockFrames;
        if (framesInFile >= kReopenFrames) {
            state.PauseTiming();
            writer.close();
            writer.open(path, 44100.0, kChannels, bits);
            framesInFile = 0;
            state.ResumeTiming();
        }
    }
    writer.close();
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}
BENCHMARK(BM_WraiffWriteDouble)
    ->ArgNames({"bits", "devnull"})
    ->Args({16, 1})
    ->Args({24, 1})
    ->Args({16, 0})
    ->Args({24, 0});

// One variant of the double to 16-bit conversion on one block of the driver
// (4096 samples), into memory; `per_sample` is the time per sample. The
// noise reaches `amplitude`: 0.9 never clips, 1.1 clips about one sample in
// eleven (a run with a norm above 1).
void BM_ConvertDouble16(benchmark::State& state, tarvio::pcm::S16FromDouble convert,
                        double amplitude) {
    std::vector<double> in(static_cast<std::size_t>(kBlockFrames) * kChannels);
    tarvio::bench::fillNoise(in.data(), in.size(), amplitude);
    std::vector<unsigned char> out(2 * in.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            convert(in.data(), in.size(), out.data(), tarvio::pcm::ByteOrder::Big));
        benchmark::ClobberMemory();
    }
    const double samples = static_cast<double>(state.iterations()) * static_cast<double>(in.size());
    state.SetItemsProcessed(static_cast<std::int64_t>(samples));
    // Seconds per sample, shown with a unit prefix (0.47ns).
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every variant this build and CPU run, by name: BM_ConvertDouble16/avx2,
// and on a signal that clips: BM_ConvertDouble16/avx2/clipping, ...
const bool kVariantsRegistered = [] {
    for (const auto& v : tarvio::pcm::s16FromDoubleVariants()) {
        if (!tarvio::cpu::supported(v.isa))
            continue;
        const std::string name = std::string("BM_ConvertDouble16/") + v.name;
        benchmark::RegisterBenchmark(name.c_str(), BM_ConvertDouble16, v.fn, 0.9);
        benchmark::RegisterBenchmark((name + "/clipping").c_str(), BM_ConvertDouble16, v.fn, 1.1);
    }
    return true;
}();

}  // namespace
