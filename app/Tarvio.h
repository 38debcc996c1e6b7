// SPDX-License-Identifier: MIT
// Tarvio: a four-channel spatializer. A mono mixdown of the input moves
// around four loudspeakers at the corners of a unit square, driven by two
// swept rotations around a square path.
#ifndef TARVIO_APP_TARVIO_H
#define TARVIO_APP_TARVIO_H

#include <iostream>
#include <ostream>

#include "engine/Spatializer.h"
#include "engine/SquarePath.h"

namespace tarvio {

// Runs the whole program: banner, argument check, files, report, block loop.
// The report and error lines go to `out`, the writer's warnings and the
// report of a file that could not be removed to `err`; returns the process
// exit status.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err = std::cerr);

}  // namespace tarvio

#endif  // TARVIO_APP_TARVIO_H
