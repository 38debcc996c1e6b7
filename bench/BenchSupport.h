// SPDX-License-Identifier: MIT
// Shared helpers of the micro-benchmarks: deterministic test signals and
// scratch file names.
#ifndef TARVIO_BENCH_BENCHSUPPORT_H
#define TARVIO_BENCH_BENCHSUPPORT_H

#include <cstddef>
#include <string>

namespace tarvio::bench {

// Fills `out` with `count` values in [-amplitude, amplitude): integer LCG
// noise, so every run sees the same signal.
void fillNoise(double* out, std::size_t count, double amplitude);

// A file name in the temporary directory that no other process uses; the
// file is removed by the destructor.
class ScratchFile {
  public:
    explicit ScratchFile(const char* stem);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const char* path() const { return path_.c_str(); }

  private:
    std::string path_;
};

}  // namespace tarvio::bench

#endif  // TARVIO_BENCH_BENCHSUPPORT_H
