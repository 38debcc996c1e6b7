// SPDX-License-Identifier: MIT
// The tarvio-render program: command line, input, engine, outputs, progress
// and summary.
#ifndef TARVIO_RENDER_RENDER_H
#define TARVIO_RENDER_RENDER_H

#include <ostream>

namespace tarvio::render {

// Runs the whole program. The summary goes to `out`, the progress bar and
// errors to `err`. Returns the exit status: 0 done, 1 failed, 2 usage error,
// 128 + N after signal N.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_RENDER_H
