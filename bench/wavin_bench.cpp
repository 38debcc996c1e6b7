// SPDX-License-Identifier: MIT
// WavInFile::read(double*, int) on a 16-bit stereo file, in the driver's
// block size (2 x 1024 samples). The file is small enough to stay in the
// page cache, so this measures the reader, not the disk. And each variant
// of the 16-bit decoder on its own.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Cpu.h"
#include "pcm/Pcm.h"
#include "wav/WavFile.h"

namespace {

constexpr int kChannels = 2;
constexpr int kFileFrames = 44100 * 10;
constexpr int kBlockSamples = kChannels * 1024;

void writeInput(const char* path) {
    std::vector<double> samples(static_cast<std::size_t>(kFileFrames) * kChannels);
    tarvio::bench::fillNoise(samples.data(), samples.size(), 0.9);
    WavOutFile out(path, 44100, 16, kChannels);
    out.write(samples.data(), static_cast<int>(samples.size()));
    out.close();
}

void BM_WavInReadDoubleStereo16(benchmark::State& state) {
    tarvio::bench::ScratchFile file("wavin");
    writeInput(file.path());
    WavInFile in(file.path());
    std::vector<double> block(kBlockSamples);
    long long samples = 0;
    for (auto _ : state) {
        const int got = in.read(block.data(), kBlockSamples);
        benchmark::DoNotOptimize(block.data());
        samples += got;
        if (in.eof()) {
            in.rewind();  // once every ~430 blocks: negligible
        }
    }
    state.SetItemsProcessed(samples / kChannels);
}
BENCHMARK(BM_WavInReadDoubleStereo16);

// One variant of the 16-bit decoder on one stereo block (2048 samples) in
// memory; `per_sample` is the time per sample.
void BM_DecodePcm16(benchmark::State& state, tarvio::pcm::DoubleFromS16 decode) {
    std::vector<unsigned char> bytes(2 * kBlockSamples);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    std::vector<double> out(kBlockSamples);
    for (auto _ : state) {
        decode(bytes.data(), out.size(), out.data(), tarvio::pcm::ByteOrder::Little);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double samples = static_cast<double>(state.iterations()) * kBlockSamples;
    state.SetItemsProcessed(static_cast<std::int64_t>(samples));
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every variant this build and CPU run, by name: BM_DecodePcm16/avx2, ...
const bool kDecodersRegistered = [] {
    for (const auto& v : tarvio::pcm::doubleFromS16Variants()) {
        if (!tarvio::cpu::supported(v.isa))
            continue;
        const std::string name = std::string("BM_DecodePcm16/") + v.name;
        benchmark::RegisterBenchmark(name.c_str(), BM_DecodePcm16, v.fn);
    }
    return true;
}();

}  // namespace
