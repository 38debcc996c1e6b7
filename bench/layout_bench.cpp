// SPDX-License-Identifier: MIT
// The kernels the rigs, the file formats and the peak added: the
// spatializer's N-channel path for an octophonic ring, stereo and a ring of
// two under vbap, 7.1 and a ring of 16 under dbap and first- and
// third-order Ambisonics, one block of 1024 stereo frames at a time against
// the square's fused kernel; every variant of its positions stage and of
// vbap's block kernels (narrow and wide layouts); every variant of the
// peak and of the 16-bit little-endian encoding, and the portable 24-bit
// encodings, on one block of four channels; a source orbiting beyond the
// ring with its distance stages (gain alone, with Doppler, with air, with
// both) against the same orbit inside it. "frame" and "per_sample" are the
// time per frame and per sample.
#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Cpu.h"
#include "engine/GainLaw.h"
#include "engine/Motion.h"
#include "engine/SpatialKernels.h"
#include "engine/Spatializer.h"
#include "engine/SpeakerLayout.h"
#include "engine/SquarePath.h"
#include "engine/laws/VbapKernels.h"
#include "pcm/Pcm.h"

namespace {

void BM_SpatializeLayout(benchmark::State& state, std::string layoutName, std::string lawName) {
    const tarvio::SpeakerLayout layout = *tarvio::findLayout(layoutName);
    tarvio::SpatializerParams params;
    params.f1_init = 0.25;
    params.f1_end = 3.0;
    params.f2_init = 0.5;
    params.f2_end = 1.75;
    params.angle2 = 90.0;
    tarvio::SpatializerOptions options;
    options.layout = &layout;
    options.law = tarvio::findPanLaw(lawName);
    constexpr int kFrames = 44100 * 600;
    tarvio::Spatializer sp(params, 2, 44100.0, kFrames, options);
    tarvio::bench::fillNoise(sp.inBlock(), static_cast<std::size_t>(sp.inBlockCapacity()), 0.8);
    const int n = sp.inBlockCapacity();
    std::vector<double> input(sp.inBlock(), sp.inBlock() + n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(sp.processBlock(n));
        benchmark::DoNotOptimize(sp.outBlock());
        benchmark::ClobberMemory();
        sp.advanceSweeps();
    }
    state.SetItemsProcessed(state.iterations() * tarvio::BLOCK_SIZE);
    state.counters["frame"] =
        benchmark::Counter(tarvio::BLOCK_SIZE, benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_SpatializeLayout, quad_bilinear, std::string("quad"), std::string("bilinear"));
BENCHMARK_CAPTURE(BM_SpatializeLayout, quad_vbap, std::string("quad"), std::string("vbap"));
BENCHMARK_CAPTURE(BM_SpatializeLayout, ring8_vbap, std::string("ring:8"), std::string("vbap"));
BENCHMARK_CAPTURE(BM_SpatializeLayout, s71_dbap, std::string("7.1"), std::string("dbap"));
BENCHMARK_CAPTURE(BM_SpatializeLayout, ambisonics3, std::string("ambisonics:3"),
                  std::string("ambisonic"));
BENCHMARK_CAPTURE(BM_SpatializeLayout, ambisonics1, std::string("ambisonics:1"),
                  std::string("ambisonic"));
BENCHMARK_CAPTURE(BM_SpatializeLayout, stereo_vbap, std::string("stereo"), std::string("vbap"));
BENCHMARK_CAPTURE(BM_SpatializeLayout, ring2_vbap, std::string("ring:2"), std::string("vbap"));
BENCHMARK_CAPTURE(BM_SpatializeLayout, ring16_dbap, std::string("ring:16"), std::string("dbap"));

// An orbit of ring:8 under vbap, a turn every 4 s, its distance swinging
// between 1 and 5 over 2 s along a polar path (so that the Doppler delay
// changes every frame), one block of stereo noise at a time. distance 0.9
// keeps it inside the ring: no stage runs.
void BM_DistanceStages(benchmark::State& state, double distance, bool doppler, bool air) {
    const tarvio::SpeakerLayout layout = *tarvio::findLayout("ring:8");
    std::string rows = "seconds azimuth distance\n";
    for (int k = 0; k <= 300; ++k)
        rows += std::to_string(k) + " " + std::to_string(90 * k) + " " +
                std::to_string(k % 2 ? distance : (distance > 1 ? 1.0 : distance)) + "\n";
    std::istringstream in(rows);
    const tarvio::Motion motion = tarvio::Motion::parse(in, "bench");
    tarvio::SpatializerOptions options;
    options.layout = &layout;
    options.motion = &motion;
    options.doppler = doppler;
    options.air = air;
    tarvio::Spatializer sp(tarvio::SpatializerParams(), 2, 44100.0, 44100 * 300, options);
    tarvio::bench::fillNoise(sp.inBlock(), static_cast<std::size_t>(sp.inBlockCapacity()), 0.8);
    const int n = sp.inBlockCapacity();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sp.processBlock(n));
        benchmark::DoNotOptimize(sp.outBlock());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * tarvio::BLOCK_SIZE);
    state.counters["frame"] =
        benchmark::Counter(tarvio::BLOCK_SIZE, benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_DistanceStages, inside, 0.9, false, false);
BENCHMARK_CAPTURE(BM_DistanceStages, gain, 5.0, false, false);
BENCHMARK_CAPTURE(BM_DistanceStages, doppler, 5.0, true, false);
BENCHMARK_CAPTURE(BM_DistanceStages, air, 5.0, false, true);
BENCHMARK_CAPTURE(BM_DistanceStages, doppler_air, 5.0, true, true);

// One variant of vbap's block kernel on a block of the octophonic ring:
// positions turning three times round the square, three quarters of the
// block on its edge (as the rotations' points mostly are) and the rest at
// 0.9 of the way out, and noise. The time per frame of the gains and the
// spreading alone.
void BM_SpatializeNarrowVbap(benchmark::State& state, tarvio::laws::NarrowSpreadFn spread) {
    const tarvio::laws::NarrowArcs arcs = *tarvio::laws::narrowArcs(*tarvio::findLayout("ring:8"));
    const tarvio::laws::NarrowLayout layout = arcs.view();
    constexpr int kFrames = tarvio::BLOCK_SIZE;
    std::vector<double> x(kFrames), y(kFrames), mono(kFrames);
    for (int j = 0; j < kFrames; ++j) {
        const tarvio::SpeakerPosition edge = tarvio::pointAt(360.0 * 3.0 * j / kFrames);
        const double radius = j < kFrames * 3 / 4 ? 1.0 : 0.9;
        x[j] = 0.5 + radius * (edge.x - 0.5);
        y[j] = 0.5 + radius * (edge.y - 0.5);
    }
    tarvio::bench::fillNoise(mono.data(), mono.size(), 0.8);
    std::vector<double> out(static_cast<std::size_t>(layout.channels) * kFrames);
    std::vector<int> left(kFrames);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            spread(layout, x.data(), y.data(), mono.data(), kFrames, out.data(), left.data()));
        benchmark::ClobberMemory();
    }
    state.counters["frame"] = benchmark::Counter(
        kFrames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One variant of vbap's block kernel of the wide layouts on a block of
// stereo, the positions as for the narrow kernel.
void BM_SpatializeWideVbap(benchmark::State& state, tarvio::laws::WideSpreadFn spread) {
    const tarvio::laws::WideArcs arcs = *tarvio::laws::wideArcs(*tarvio::findLayout("stereo"));
    const tarvio::laws::WideLayout layout = arcs.view();
    constexpr int kFrames = tarvio::BLOCK_SIZE;
    std::vector<double> x(kFrames), y(kFrames), mono(kFrames);
    for (int j = 0; j < kFrames; ++j) {
        const tarvio::SpeakerPosition edge = tarvio::pointAt(360.0 * 3.0 * j / kFrames);
        const double radius = j < kFrames * 3 / 4 ? 1.0 : 0.9;
        x[j] = 0.5 + radius * (edge.x - 0.5);
        y[j] = 0.5 + radius * (edge.y - 0.5);
    }
    tarvio::bench::fillNoise(mono.data(), mono.size(), 0.8);
    std::vector<double> out(static_cast<std::size_t>(layout.channels) * kFrames);
    std::vector<int> left(kFrames);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            spread(layout, x.data(), y.data(), mono.data(), kFrames, out.data(), left.data()));
        benchmark::ClobberMemory();
    }
    state.counters["frame"] = benchmark::Counter(
        kFrames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One variant of the positions stage of the N-channel path: both rotations
// of the usual job at their first frequencies, one block; the time per frame.
void BM_SpatializePositions(benchmark::State& state, tarvio::PositionsFn positions) {
    std::vector<double> pathX(tarvio::TABLE_SIZE + 1), pathY(tarvio::TABLE_SIZE + 1);
    drawPath(SQUARE, pathX.data(), pathY.data(), tarvio::TABLE_SIZE);
    std::vector<double> pairX(tarvio::kPairTableSize), pairY(tarvio::kPairTableSize);
    tarvio::buildPairTable(pathX.data(), pairX.data());
    tarvio::buildPairTable(pathY.data(), pairY.data());
    std::vector<double> x(tarvio::BLOCK_SIZE), y(tarvio::BLOCK_SIZE);
    const tarvio::KernelBuffers buffers{pairX.data(), pairY.data(), x.data(), y.data()};
    const double scale = tarvio::kTurn / 44100.0;
    tarvio::Rotation rot1{scale, 0.0, 0.25, 0.25, 0.0};
    tarvio::Rotation rot2{scale, tarvio::kTurn / 4, 0.5, 0.5, 0.0};
    for (auto _ : state) {
        positions(rot1, rot2, buffers);
        benchmark::ClobberMemory();
    }
    state.counters["frame"] =
        benchmark::Counter(tarvio::BLOCK_SIZE, benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}

constexpr std::size_t kSamples = 4 * 1024;

template <class Run>
void perSample(benchmark::State& state, Run run) {
    for (auto _ : state) {
        run();
        benchmark::ClobberMemory();
    }
    const double samples = static_cast<double>(state.iterations()) * kSamples;
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Peak(benchmark::State& state, tarvio::pcm::Peak peak) {
    std::vector<double> in(kSamples);
    tarvio::bench::fillNoise(in.data(), in.size(), 0.9);
    perSample(state, [&] { benchmark::DoNotOptimize(peak(in.data(), in.size(), 0.0)); });
}

void BM_EncodeS16le(benchmark::State& state, tarvio::pcm::S16FromDouble encode) {
    std::vector<double> in(kSamples);
    tarvio::bench::fillNoise(in.data(), in.size(), 0.9);
    std::vector<unsigned char> out(2 * kSamples);
    perSample(state, [&] {
        benchmark::DoNotOptimize(
            encode(in.data(), in.size(), out.data(), tarvio::pcm::ByteOrder::Little));
    });
}

void BM_EncodeS24(benchmark::State& state, bool little) {
    std::vector<double> in(kSamples);
    tarvio::bench::fillNoise(in.data(), in.size(), 0.9);
    std::vector<unsigned char> out(3 * kSamples);
    perSample(state, [&] {
        benchmark::DoNotOptimize(
            little ? tarvio::pcm::s24le_from_double(in.data(), kSamples, out.data())
                   : tarvio::pcm::s24be_from_double(in.data(), kSamples, out.data()));
    });
}
BENCHMARK_CAPTURE(BM_EncodeS24, le, true);
BENCHMARK_CAPTURE(BM_EncodeS24, be, false);

const bool kRegistered = [] {
    for (const auto& v : tarvio::positionsVariants()) {
        if (tarvio::cpu::supported(v.isa))
            benchmark::RegisterBenchmark((std::string("BM_SpatializePositions/") + v.name).c_str(),
                                         BM_SpatializePositions, v.fn);
    }
    for (const auto& v : tarvio::laws::narrowSpreadVariants()) {
        if (tarvio::cpu::supported(v.isa))
            benchmark::RegisterBenchmark(
                (std::string("BM_SpatializeNarrowVbap/ring8/") + v.name).c_str(),
                BM_SpatializeNarrowVbap, v.fn);
    }
    for (const auto& v : tarvio::laws::wideSpreadVariants()) {
        if (tarvio::cpu::supported(v.isa))
            benchmark::RegisterBenchmark(
                (std::string("BM_SpatializeWideVbap/stereo/") + v.name).c_str(),
                BM_SpatializeWideVbap, v.fn);
    }
    for (const auto& v : tarvio::pcm::peakVariants()) {
        if (tarvio::cpu::supported(v.isa))
            benchmark::RegisterBenchmark((std::string("BM_Peak/") + v.name).c_str(), BM_Peak, v.fn);
    }
    for (const auto& v : tarvio::pcm::s16FromDoubleVariants()) {
        if (tarvio::cpu::supported(v.isa))
            benchmark::RegisterBenchmark((std::string("BM_EncodeS16le/") + v.name).c_str(),
                                         BM_EncodeS16le, v.fn);
    }
    return true;
}();

}  // namespace
