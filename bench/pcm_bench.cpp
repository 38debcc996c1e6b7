// SPDX-License-Identifier: MIT
// Every variant of the encoders of doubles to 24- and 32-bit integers, to
// 32-bit ints scaled from 16 and 24 bits, to floats and to IEEE 754 bytes,
// on one block of four channels of noise below full scale (no sample clips),
// each in the byte order its main users write: little-endian for WAV, W64 and
// RF64, big-endian for AIFF. The integer encoders also take noise that clips
// about one sample in eleven ("_clipping"), which sends nearly every group
// of samples down the vector variants' exact path. "per_sample" is the time
// per sample.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Cpu.h"
#include "pcm/Pcm.h"

namespace {

namespace pcm = tarvio::pcm;

constexpr std::size_t kSamples = 4 * 1024;

// Runs `encode(in, out)` on the block, `outPerSample` values of Out to each
// sample, and reports the time per sample.
template <typename Out, class Encode>
void perSample(benchmark::State& state, std::size_t outPerSample, Encode encode,
               double amplitude = 0.9) {
    std::vector<double> in(kSamples);
    tarvio::bench::fillNoise(in.data(), in.size(), amplitude);
    std::vector<Out> out(outPerSample * kSamples);
    for (auto _ : state) {
        benchmark::DoNotOptimize(encode(in.data(), out.data()));
        benchmark::ClobberMemory();
    }
    const double samples = static_cast<double>(state.iterations()) * kSamples;
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(sizeof(Out) * outPerSample * kSamples));
}

// One benchmark per row of `table` that this processor runs, named
// "<name>/<variant>".
template <class Fn, class Register>
void eachRow(pcm::Variants<Fn> table, const std::string& name, Register reg) {
    for (const auto& v : table) {
        if (tarvio::cpu::supported(v.isa))
            reg((name + "/" + v.name).c_str(), v.fn);
    }
}

const bool kRegistered = [] {
    using pcm::ByteOrder;
    using pcm::FloatRange;
    const auto bytes = [](const char* name, auto fn, std::size_t width, ByteOrder order,
                          double amplitude = 0.9) {
        benchmark::RegisterBenchmark(name, [fn, width, order, amplitude](benchmark::State& state) {
            perSample<unsigned char>(
                state, width,
                [&](const double* in, unsigned char* out) { return fn(in, kSamples, out, order); },
                amplitude);
        });
    };
    eachRow(pcm::s24FromDoubleVariants(), "BM_EncodeS24le",
            [&](const char* name, pcm::S24FromDouble fn) { bytes(name, fn, 3, ByteOrder::Little); });
    eachRow(pcm::s24FromDoubleVariants(), "BM_EncodeS24be",
            [&](const char* name, pcm::S24FromDouble fn) { bytes(name, fn, 3, ByteOrder::Big); });
    eachRow(pcm::s32FromDoubleVariants(), "BM_EncodeS32le",
            [&](const char* name, pcm::S32FromDouble fn) { bytes(name, fn, 4, ByteOrder::Little); });
    eachRow(pcm::s32FromDoubleVariants(), "BM_EncodeS32be",
            [&](const char* name, pcm::S32FromDouble fn) { bytes(name, fn, 4, ByteOrder::Big); });
    eachRow(pcm::s24FromDoubleVariants(), "BM_EncodeS24le_clipping",
            [&](const char* name, pcm::S24FromDouble fn) {
                bytes(name, fn, 3, ByteOrder::Little, 1.1);
            });
    eachRow(pcm::s32FromDoubleVariants(), "BM_EncodeS32le_clipping",
            [&](const char* name, pcm::S32FromDouble fn) {
                bytes(name, fn, 4, ByteOrder::Little, 1.1);
            });

    const auto floatBytes = [](const char* name, auto fn, std::size_t width, ByteOrder order,
                               FloatRange range) {
        benchmark::RegisterBenchmark(name, [fn, width, order, range](benchmark::State& state) {
            perSample<unsigned char>(state, width, [&](const double* in, unsigned char* out) {
                return fn(in, kSamples, out, order, range);
            });
        });
    };
    eachRow(pcm::f32FromDoubleVariants(), "BM_EncodeF32le", [&](const char* name, auto fn) {
        floatBytes(name, fn, 4, ByteOrder::Little, FloatRange::FullScale);
    });
    eachRow(pcm::f32FromDoubleVariants(), "BM_EncodeF32le_unclipped",
            [&](const char* name, auto fn) {
                floatBytes(name, fn, 4, ByteOrder::Little, FloatRange::Unclipped);
            });
    eachRow(pcm::f32FromDoubleVariants(), "BM_EncodeF32be", [&](const char* name, auto fn) {
        floatBytes(name, fn, 4, ByteOrder::Big, FloatRange::FullScale);
    });
    eachRow(pcm::f64FromDoubleVariants(), "BM_EncodeF64le", [&](const char* name, auto fn) {
        floatBytes(name, fn, 8, ByteOrder::Little, FloatRange::FullScale);
    });

    eachRow(pcm::floatFromDoubleVariants(), "BM_FloatFromDouble",
            [](const char* name, pcm::FloatFromDouble fn) {
                benchmark::RegisterBenchmark(name, [fn](benchmark::State& state) {
                    perSample<float>(state, 1, [&](const double* in, float* out) {
                        return fn(in, kSamples, out, FloatRange::FullScale);
                    });
                });
            });
    for (const int bits : {16, 24}) {
        eachRow(pcm::s32ScaledFromDoubleVariants(),
                "BM_S32ScaledFromDouble" + std::to_string(bits),
                [bits](const char* name, pcm::S32ScaledFromDouble fn) {
                    benchmark::RegisterBenchmark(name, [fn, bits](benchmark::State& state) {
                        perSample<std::int32_t>(state, 1, [&](const double* in, std::int32_t* out) {
                            return fn(in, kSamples, bits, out);
                        });
                    });
                });
    }
    return true;
}();

}  // namespace
