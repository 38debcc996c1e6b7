// WRAIFF::write(const double*, long) for four-channel 16- and 24-bit files,
// one block of 1024 frames per call as the driver hands them over. The file
// is reopened well before it grows large, so the writer's size warning never
// comes into play; the samples stay inside full scale, so nothing clips.
#include <benchmark/benchmark.h>

#include <vector>

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

}  // namespace
