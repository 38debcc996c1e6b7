// SPDX-License-Identifier: MIT
// The block loop both programs run: read a block of interleaved input,
// spatialize it, hand the frames to the output, let an observer look at the
// block (positions, progress), move the sweeps on. A stop signal is looked
// at before every block and once after the last, so an interrupted run
// never looks finished.
#ifndef TARVIO_CLI_RUNBLOCKS_H
#define TARVIO_CLI_RUNBLOCKS_H

#include <cstdint>

#include "cli/Interrupt.h"
#include "engine/Spatializer.h"

namespace tarvio {

// An observer that looks at nothing.
struct NoObserver {
    void block(std::int64_t /*first*/, int /*frames*/, const Spatializer& /*sp*/) {}
};

// Runs every block of `source` through `sp` into `sink` and returns the
// frames written.
//   Source: int read(double* samples, int capacity) (throws on a read error)
//           and bool eof() const;
//   Sink:   void write(const double* frames, int count);
//   Observer: void block(std::int64_t first, int frames, const Spatializer&),
//           called after the block was written, before the sweeps move on;
//           `first` is the block's first frame in the file.
template <class Source, class Sink, class Observer = NoObserver>
std::int64_t runBlocks(Source& source, Spatializer& sp, Sink& sink, Observer&& observer = {}) {
    std::int64_t written = 0;
    while (!source.eof()) {
        interrupt::check();
        const int n = source.read(sp.inBlock(), sp.inBlockCapacity());
        const int frames = sp.processBlock(n);
        sink.write(sp.outBlock(), frames);
        observer.block(written, frames, sp);
        sp.advanceSweeps();
        written += frames;
    }
    interrupt::check();
    return written;
}

}  // namespace tarvio

#endif  // TARVIO_CLI_RUNBLOCKS_H
