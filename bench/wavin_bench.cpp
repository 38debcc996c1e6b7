// SPDX-License-Identifier: MIT
// WavInFile::read(double*, int) on a 16-bit stereo file, in the driver's
// block size (2 x 1024 samples). The file is small enough to stay in the
// page cache, so this measures the reader, not the disk.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/BenchSupport.h"
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

}  // namespace
